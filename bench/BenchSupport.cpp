#include "BenchSupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QProcess>

#include <sys/resource.h>

double cpu_ms()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000.0 +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000.0;
}

QString start_virtual_box(QProcess& box)
{
    box.start(QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("../kdr7-virtual-box")),
              {});
    if (!box.waitForStarted() || !box.waitForReadyRead(5000))
        return QString();
    // "Virtual Velantor KDR7 box on /dev/pts/N"
    const QString device = QString::fromLocal8Bit(box.readLine()).trimmed().section(QLatin1Char(' '), -1);
    qputenv("KDR7_COM1", device.toLocal8Bit());
    return device;
}
