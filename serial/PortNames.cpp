#include "serial/PortNames.h"

#include <QFileInfo>
#include <QtGlobal>

#ifndef Q_OS_WIN
#include <QFile>

#include <sys/stat.h>
#endif

namespace port_names {

QStringList all()
{
    QStringList names;
    for (int n = 1; n <= port_count; ++n)
        names << QStringLiteral("COM%1").arg(n);
    return names;
}

#ifdef Q_OS_WIN
QString device_for(const QString& name)
{
    return name;
}

bool accepts(const QString& name)
{
    // USB adapters come up as COM16 and beyond; Windows itself says which names exist. Its device names
    // know no case: "com5" is COM5.
    bool ok = false;
    return name.startsWith(QLatin1String("COM"), Qt::CaseInsensitive) && name.mid(3).toInt(&ok) > 0 && ok;
}

QString identity(const QString& name)
{
    QString port = name.toUpper();
    if (port.startsWith(QLatin1String("\\\\.\\")))
        port = port.mid(4);
    return port;
}

QString accepted_names()
{
    return QStringLiteral("COMn");
}
#else
namespace {

// COM1-COM4: on-board UARTs, COM5-COM10: USB serial adapters, COM11-COM15: CDC-ACM devices.
QString default_device(int n)
{
    if (n >= 1 && n <= 4)
        return QStringLiteral("/dev/ttyS%1").arg(n - 1);
    if (n >= 5 && n <= 10)
        return QStringLiteral("/dev/ttyUSB%1").arg(n - 5);
    if (n >= 11 && n <= 15)
        return QStringLiteral("/dev/ttyACM%1").arg(n - 11);
    return QString();
}

// A device file named by its path, as every serial tool here takes it.
bool is_device_path(const QString& name)
{
    return name.startsWith(QLatin1Char('/')) && name.size() > 1;
}

} // namespace

QString device_for(const QString& name)
{
    if (is_device_path(name))
        return name;
    if (!name.startsWith(QLatin1String("COM")))
        return QString();
    bool ok = false;
    const int n = name.mid(3).toInt(&ok);
    if (!ok || n < 1 || n > port_count || name != QStringLiteral("COM%1").arg(n))
        return QString();
    const QByteArray variable = "KDR7_COM" + QByteArray::number(n);
    if (qEnvironmentVariableIsSet(variable.constData()))
        return qEnvironmentVariable(variable.constData());
    return default_device(n);
}

bool accepts(const QString& name)
{
    return is_device_path(name) || all().contains(name);
}

QString identity(const QString& name)
{
    const QString device = device_for(name);
    if (device.isEmpty())
        return QStringLiteral("name:") + name;
    struct stat status
    {
    };
    if (::stat(QFile::encodeName(device).constData(), &status) == 0 && S_ISCHR(status.st_mode))
        return device_identity(quint64(status.st_rdev));
    const QFileInfo file(device);
    const QString resolved = file.canonicalFilePath();
    return QStringLiteral("path:") + (resolved.isEmpty() ? file.absoluteFilePath() : resolved);
}

QString accepted_names()
{
    return QStringLiteral("COM1 to COM15, or a device path such as /dev/ttyUSB0");
}
#endif

QString device_identity(quint64 number)
{
    return QStringLiteral("device:%1").arg(number);
}

} // namespace port_names
