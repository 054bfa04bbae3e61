#pragma once

#include "update/Identity.h"

#include <QFile>
#include <QJsonObject>
#include <QString>

#include <functional>
#include <mutex>
#include <optional>

namespace station {

// The production log (--log FILE): one JSON object per box and job, on a line of its own (JSON Lines),
// for proving afterwards which box got which image. A record is appended with a single write when the
// box's job ends and synced to the disk, so that a crash or a full disk never leaves half a record; the
// file is only ever appended to. The boxes of a rack or a watch share one log.
class ProductionLog
{
public:
    // Opens (or creates) the file for appending: false when it cannot be written, before anything is sent.
    // job_file, the image or the CSV, is never taken as the log.
    bool open(const QString& path, const QString& job_file);
    bool is_open() const { return file.isOpen(); }
    ~ProductionLog();
    // The path as given: the file is opened from a descriptor, which has no name of its own.
    QString path() const { return log_path; }

    // Called (from the appending thread) when the path no longer named the open file (the log was moved
    // away, or removed, as a rotation does) and a new file was opened under it: once per new file.
    std::function<void(const QString& path)> reopened;

    // How an append ended: the record is in the file and synced; not in the file at all (nothing of it is
    // left); or in the file, but the sync to the disk failed, so that it may not survive a crash.
    enum class Appended
    {
        Synced,
        Lost,
        Unsynced,
    };
    Appended append_record(const QJsonObject& record);

private:
#ifdef Q_OS_LINUX
    // The path names another file than the one open, or none: the open one was rotated away. The new file
    // is opened in its place; false when it cannot be.
    bool follow_path();
#endif
    std::mutex lock;
    QFile file;
    QString log_path;
    QString job_file;
#ifdef Q_OS_WIN
    // The records go through a handle of their own that may only append (see append_record()).
    void* append_handle = nullptr;
#endif
};

// The time now, UTC, ISO 8601 to the millisecond ("2026-12-07T18:41:31.123Z").
QString utc_now();

// What a record says of the job's file: its full path, size and SHA-256 (null when it cannot be read).
QJsonObject file_fields(const QString& path);
// The same, of a file already read: its size and SHA-256 as they were read (none: null).
QJsonObject file_fields(const QString& path, qint64 size, const std::optional<QByteArray>& sha256);

// The image's identity as info shows it: model, MCU, date, version and the four bytes in hex.
void add_identity(QJsonObject& fields, const Identity& identity);

// The fields every record has: the job, this machine, the port as given and the device it stands for, and
// the adapter's serial number (empty: not known).
QJsonObject job_record(const char* job, const QString& port, const QString& device, const QString& serial);

// The fields every record ends with: when, how (outcome word, exit status, the message the user saw) and
// how long.
void add_ending(QJsonObject& record, const QString& outcome, int exit_status, const QString& message,
                double seconds);

// The serial number of the adapter behind a device, where the system knows it (on Linux from sysfs, on
// Windows through QSerialPortInfo), or where a /dev/serial/by-id name holds one
// ("usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0"); empty otherwise.
QString adapter_serial(const QString& port, const QString& device);

// The serial number of the USB device above a tty, in a sysfs tree (the system's is "/sys"): empty where the
// tty is not on USB or its device has none.
QString usb_serial_in_sysfs(const QString& sysfs, const QString& tty);

} // namespace station
