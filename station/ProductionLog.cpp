#include "station/ProductionLog.h"

#include "common/RecordFile.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QFileInfo>
#include <QJsonDocument>
#include <QRegularExpression>
#ifdef Q_OS_WIN
#include "serial/WindowsPorts.h"
#endif
#include <QSysInfo>

#ifdef Q_OS_LINUX
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif
#ifdef Q_OS_WIN
#include "common/LongPath.h"

#include <io.h>
#include <windows.h>
#endif

namespace station {

#ifdef Q_OS_WIN
namespace {

HANDLE os_handle(const QFile& file)
{
    return reinterpret_cast<HANDLE>(_get_osfhandle(file.handle()));
}

bool same_file(HANDLE a, HANDLE b)
{
    BY_HANDLE_FILE_INFORMATION x{};
    BY_HANDLE_FILE_INFORMATION y{};
    return GetFileInformationByHandle(a, &x) && GetFileInformationByHandle(b, &y) &&
           x.dwVolumeSerialNumber == y.dwVolumeSerialNumber && x.nFileIndexHigh == y.nFileIndexHigh &&
           x.nFileIndexLow == y.nFileIndexLow;
}

} // namespace

bool ProductionLog::open(const QString& path, const QString& job)
{
    log_path = path;
    job_file = job;
    if (!open_record_file(file, path, true, job_file))
        return false;
    // FILE_APPEND_DATA without FILE_WRITE_DATA: Windows puts every write at the end of the file as it is
    // then. The file is the one just checked, or nothing is written.
    // In the form QFile opened it with: a log of 260 characters or more opens too.
    const QString native = long_path(file.fileName());
    const HANDLE handle =
        CreateFileW(reinterpret_cast<const wchar_t*>(native.utf16()), FILE_APPEND_DATA | SYNCHRONIZE,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE || !same_file(handle, os_handle(file))) {
        if (handle != INVALID_HANDLE_VALUE)
            CloseHandle(handle);
        file.close();
        return false;
    }
    append_handle = handle;
    return true;
}

ProductionLog::~ProductionLog()
{
    if (append_handle != nullptr)
        CloseHandle(static_cast<HANDLE>(append_handle));
}
#else
bool ProductionLog::open(const QString& path, const QString& job)
{
    log_path = path;
    job_file = job;
    return open_record_file(file, path, true, job_file);
}

ProductionLog::~ProductionLog() = default;
#endif

#ifdef Q_OS_LINUX
bool ProductionLog::follow_path()
{
    struct stat named
    {
    };
    struct stat held
    {
    };
    if (::stat(QFile::encodeName(log_path).constData(), &named) == 0 && fstat(file.handle(), &held) == 0 &&
        named.st_dev == held.st_dev && named.st_ino == held.st_ino)
        return true;
    // Moved away (and perhaps compressed and removed) by a rotation: what the path names now is the log.
    // A copy-and-truncate rotation keeps the file, and the appends land at its new end by themselves.
    QFile renewed;
    if (!open_record_file(renewed, log_path, true, job_file))
        return false;
    const int fd = ::fcntl(renewed.handle(), F_DUPFD_CLOEXEC, 0);
    if (fd < 0)
        return false;
    renewed.close();
    file.close();
    if (!file.open(fd, QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered,
                   QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return false;
    }
    if (reopened)
        reopened(log_path);
    return true;
}
#endif

ProductionLog::Appended ProductionLog::append_record(const QJsonObject& record)
{
    const QByteArray line = QJsonDocument(record).toJson(QJsonDocument::Compact) + '\n';
    std::lock_guard<std::mutex> guard(lock);
    if (!file.isOpen())
        return Appended::Lost;
#ifdef Q_OS_LINUX
    // A record appended to a file that is no longer the log would be lost to whoever reads the log.
    if (!follow_path())
        return Appended::Lost;
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
#elif defined(Q_OS_WIN)
    // Two zorvane-cli on one log (two lines, or a watch and a sat-write) each append whole records: Qt's
    // append mode seeks to the end once, at open, and its writes would land over the other's records; the
    // append-only handle's land at the end. A write that fails part way cannot be taken back here (another
    // process may have appended after it): it is reported as a lost record.
    //
    // Wine only emulates the append-only handle (it looks up the end, then writes there), and two processes
    // can meet in between: an exclusive lock on one byte far beyond any record, held for the write, keeps
    // them apart there as well. On Windows it costs a call.
    OVERLAPPED beyond_records{};
    beyond_records.Offset = 0xFFFFFFFEu;
    beyond_records.OffsetHigh = 0x7FFFFFFFu;
    if (!LockFileEx(os_handle(file), LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &beyond_records))
        return Appended::Lost;
    DWORD written = 0;
    const bool whole = WriteFile(static_cast<HANDLE>(append_handle), line.constData(), DWORD(line.size()),
                                 &written, nullptr) &&
                       written == DWORD(line.size());
    UnlockFileEx(os_handle(file), 0, 1, 0, &beyond_records);
    if (!whole)
        return Appended::Lost;
    // QFile::flush() reaches the system's cache only. FlushFileBuffers asks for write access, which the
    // QFile's own handle has; it puts the file's data on the disk, whichever handle wrote it. A failed one
    // leaves the record in the file, unsure to survive a crash.
    return FlushFileBuffers(os_handle(file)) != 0 ? Appended::Synced : Appended::Unsynced;
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

// cdc-acm hangs its tty off the USB interface, the usb-serial drivers (FTDI, CP210x, CH340, PL2303) off a
// port device below the interface: the serial number is on the USB device, the first node above that has an
// idVendor. The walk stops there, so a device without a serial never lends the hub's or the controller's.
QString usb_serial_in_sysfs(const QString& sysfs, const QString& tty)
{
    if (tty.isEmpty() || tty.contains(QLatin1Char('/')) || tty.startsWith(QLatin1Char('.')))
        return QString();
    const QString top = QFileInfo(sysfs).canonicalFilePath();
    QString node = QFileInfo(QStringLiteral("%1/class/tty/%2/device").arg(sysfs, tty)).canonicalFilePath();
    // tty's device, its interface (usb-serial), the USB device: three steps at the most.
    for (int step = 0; step < 3 && !node.isEmpty() && node.startsWith(top + QLatin1Char('/')); ++step) {
        if (QFileInfo::exists(node + QStringLiteral("/idVendor"))) {
            QFile serial(node + QStringLiteral("/serial"));
            if (!serial.open(QIODevice::ReadOnly))
                return QString();
            return QString::fromLatin1(serial.readLine(256)).trimmed();
        }
        node = QFileInfo(node).path();
    }
    return QString();
}

QString adapter_serial(const QString& port, const QString& device)
{
#ifdef Q_OS_WIN
    Q_UNUSED(device);
    for (const windows_ports::Device& found : windows_ports::present()) {
        if (found.port_name.compare(port, Qt::CaseInsensitive) == 0)
            return windows_ports::adapter_serial(found);
    }
#else
    // The USB device above the tty's interface holds its serial number in sysfs; read there, nothing under
    // /dev is opened (asking QSerialPortInfo may probe the on-board ports).
    const QString tty = QFileInfo(QFileInfo(device).canonicalFilePath()).fileName();
    const QString number = tty.isEmpty() ? QString() : usb_serial_in_sysfs(QStringLiteral("/sys"), tty);
    if (!number.isEmpty())
        return number;
#endif
    // udev's by-id names are usb-<maker>_<model>_<serial>-if<n>[-port<n>]; a serial has a digit in it, a
    // maker's or model's last word ("Controller") seldom does.
    static const QRegularExpression by_id(QStringLiteral("^usb-.+_([A-Za-z0-9]*[0-9][A-Za-z0-9]*)-if[0-9]+"));
    const QRegularExpressionMatch m = by_id.match(QFileInfo(port).fileName());
    return m.hasMatch() ? m.captured(1) : QString();
}

} // namespace station
