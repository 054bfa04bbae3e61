#include "FuzzSupport.h"

#include "serial/ReplyWait.h"

#include <QDir>
#include <QFile>
#include <QtGlobal>

#include <unistd.h>

QString bytes_to_file(const std::uint8_t* data, std::size_t size)
{
    static const QString path = QDir::temp().filePath(QStringLiteral("kdr7-fuzz-%1.in").arg(::getpid()));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        file.write(reinterpret_cast<const char*>(data), qint64(size)) != qint64(size))
        qFatal("cannot write %s", qPrintable(path));
    return path;
}

void prepare_fuzzing()
{
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString& text) {
        if (type == QtFatalMsg)
            qt_assert_x("fuzz", qPrintable(text), __FILE__, __LINE__);
    });
    replace_sleep([](int) {});
}
