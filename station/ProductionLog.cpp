#include "station/ProductionLog.h"

#include "common/RecordFile.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QFileInfo>
#include <QJsonDocument>
#include <QRegularExpression>
#ifdef Q_OS_WIN
#include <QSerialPortInfo>
#endif
#include <QSysInfo>

#ifdef Q_OS_LINUX
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace station {

bool ProductionLog::open(const QString& path, const QString& job_file)
{
    return open_record_file(file, path, true, job_file);
}

ProductionLog::Appended ProductionLog::append_record(const QJsonObject& record)
{
    const QByteArray line = QJsonDocument(record).toJson(QJsonDocument::Compact) + '\n';
    std::lock_guard<std::mutex> guard(lock);
    if (!file.isOpen())
        return Appended::Lost;
#ifdef Q_OS_LINUX
    const int fd = file.handle();
    // Other zorvane-cli processes on the same log (two watches, a rack beside a sat-write) take the same
    // lock, so the size taken below is where this record lands and a cut-back never reaches another's
    // record. Unguarded still: a writer that takes no lock (another program), and file systems that do not
    // share the lock between machines (some network ones).
    struct Held
    {
        int fd;
        bool locked;
        ~Held()
        {
            if (locked)
                static_cast<void>(::flock(fd, LOCK_UN));
        }
    } held{fd, ::flock(fd, LOCK_EX) == 0};
    struct stat before
    {
    };
    if (fstat(fd, &before) != 0)
        return Appended::Lost;
    // The room is taken first where the file system can: a full disk then refuses the record whole.
    if (fallocate(fd, FALLOC_FL_KEEP_SIZE, before.st_size, off_t(line.size())) != 0 && errno != EOPNOTSUPP &&
        errno != ENOSYS && errno != EINVAL)
        return Appended::Lost;
    const ssize_t written = ::write(fd, line.constData(), size_t(line.size()));
    if (written != ssize_t(line.size())) {
        // Part of a line would spoil the record and the next one: what this write left is taken back.
        if (written > 0)
            static_cast<void>(ftruncate(fd, before.st_size));
        return Appended::Lost;
    }
    // The record is in the file; a failed sync leaves it there, unsure to survive a crash.
    return fdatasync(fd) == 0 ? Appended::Synced : Appended::Unsynced;
#else
    const qint64 before = file.size();
    if (file.write(line) != line.size()) {
        file.resize(before);
        return Appended::Lost;
    }
    return file.flush() ? Appended::Synced : Appended::Unsynced;
#endif
}

QString utc_now()
{
    return QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs);
}

QJsonObject file_fields(const QString& path)
{
    QJsonObject fields{{"file", QFileInfo(path).absoluteFilePath()}};
    QFile file(path);
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (file.open(QIODevice::ReadOnly) && hash.addData(&file)) {
        fields.insert("size", double(file.size()));
        fields.insert("sha256", QString::fromLatin1(hash.result().toHex()));
    } else {
        fields.insert("size", QJsonValue());
        fields.insert("sha256", QJsonValue());
    }
    return fields;
}

QJsonObject file_fields(const QString& path, qint64 size, const std::optional<QByteArray>& sha256)
{
    QJsonObject fields{{"file", QFileInfo(path).absoluteFilePath()}};
    fields.insert("size", sha256 ? QJsonValue(double(size)) : QJsonValue());
    fields.insert("sha256", sha256 ? QJsonValue(QString::fromLatin1(sha256->toHex())) : QJsonValue());
    return fields;
}

void add_identity(QJsonObject& fields, const Identity& identity)
{
    const IdentityTexts t = decode_identity(identity);
    fields.insert("model", t.model);
    fields.insert("mcu", t.mcu);
    fields.insert("date", t.date);
    fields.insert("version", t.version);
    fields.insert("identity",
                  QString::fromLatin1(QByteArray(reinterpret_cast<const char*>(identity.data()), 4).toHex()));
}

QJsonObject job_record(const char* job, const QString& port, const QString& device, const QString& serial)
{
    const QString resolved = QFileInfo(device).canonicalFilePath();
    return QJsonObject{{"job", QLatin1String(job)},
                       {"host", QSysInfo::machineHostName()},
                       {"port", port},
                       {"device", resolved.isEmpty() ? device : resolved},
                       {"serial", serial.isEmpty() ? QJsonValue() : QJsonValue(serial)}};
}

void add_ending(QJsonObject& record, const QString& outcome, int exit_status, const QString& message,
                double seconds)
{
    record.insert("end", utc_now());
    record.insert("outcome", outcome);
    record.insert("exit", exit_status);
    record.insert("message", message);
    record.insert("seconds", seconds);
}

QString adapter_serial(const QString& port, const QString& device)
{
#ifdef Q_OS_WIN
    Q_UNUSED(device);
    for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts()) {
        if (info.portName() == port && !info.serialNumber().isEmpty())
            return info.serialNumber();
    }
#else
    // The USB device above the tty's interface holds its serial number in sysfs; read there, nothing under
    // /dev is opened (asking QSerialPortInfo may probe the on-board ports).
    const QString tty = QFileInfo(QFileInfo(device).canonicalFilePath()).fileName();
    if (!tty.isEmpty()) {
        QFile serial(QStringLiteral("/sys/class/tty/%1/device/../serial").arg(tty));
        if (serial.open(QIODevice::ReadOnly)) {
            const QString number = QString::fromLatin1(serial.readLine(256)).trimmed();
            if (!number.isEmpty())
                return number;
        }
    }
#endif
    // udev's by-id names are usb-<maker>_<model>_<serial>-if<n>[-port<n>]; a serial has a digit in it, a
    // maker's or model's last word ("Controller") seldom does.
    static const QRegularExpression by_id(QStringLiteral("^usb-.+_([A-Za-z0-9]*[0-9][A-Za-z0-9]*)-if[0-9]+"));
    const QRegularExpressionMatch m = by_id.match(QFileInfo(port).fileName());
    return m.hasMatch() ? m.captured(1) : QString();
}

} // namespace station
