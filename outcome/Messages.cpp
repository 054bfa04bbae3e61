#include "outcome/Messages.h"

namespace {

enum class Kind
{
    Warning,
    Information
};

struct MessageEntry
{
    Message id;
    Kind kind;
    const char* title;
    const char* text;
};

constexpr MessageEntry message_texts[] = {
    {Message::SerialPortNotFound, Kind::Warning, "Warning", "Serial Port Not Found!"},
    {Message::PortUnavailable, Kind::Warning, "Warning",
     "The serial port is occupied or not exist, please try another port."},
    {Message::PortGone, Kind::Warning, "Warning",
     "The serial port is gone (the cable or the adapter was disconnected), please re-connect it and restart "
     "box and PC software"},
    {Message::TraceCannotWrite, Kind::Warning, "Warning", "Can not write the trace file named by KDR7_TRACE"},
    {Message::TraceIncomplete, Kind::Warning, "Warning",
     "The trace file named by KDR7_TRACE is incomplete: a write to it failed"},
    {Message::BinNotFound, Kind::Warning, "Warning", "Can not find BIN file"},
    {Message::SatInterrupted, Kind::Warning, "Warning", "interrupted after %1 of 99 entries"},
    {Message::BinCannotOpen, Kind::Warning, "Warning", "Can not open BIN file"},
    {Message::BinChanged, Kind::Warning, "Error",
     "The BIN file changed while it was sent: the box holds part of the old image and part of another; "
     "the update was not finished. Flash it again from a file that is not replaced meanwhile."},
    {Message::NotPrepared, Kind::Warning, "Warning",
     "Device has not been prepared, please re-connect cable and reboot the update software."},
    {Message::CpuMismatch, Kind::Warning, "Warning", "BIN file CPU does not corresponding with device's CPU"},
    {Message::ModelMismatch, Kind::Warning, "Warning",
     "BIN file model does not corresponding with device model"},
    {Message::TooOld, Kind::Warning, "Warning", "Too old BIN file"},
    {Message::BinRejected, Kind::Warning, "Warning",
     "Device rejected the BIN file, please restart box and PC software"},
    {Message::DataTransferError, Kind::Warning, "Warning",
     "Data transfer error, please restart box and PC software"},
    {Message::NoFeedback, Kind::Warning, "Warning",
     "Cannot receive feedback, please restart box and PC software"},
    {Message::PageWriteError, Kind::Warning, "Warning",
     "Data write error, please restart box and PC software"},
    {Message::UpdateFailed, Kind::Warning, "Error",
     "Update process failed, please reboot the device and restart the update program."},
    {Message::UpdateCompleted, Kind::Information, "Hint", "Update process completed."},
    {Message::SatConnectionError, Kind::Warning, "Error",
     "Data connection error, please restart box and PC software"},
    {Message::SatReadError, Kind::Warning, "Error", "Data read error, please restart box and PC software"},
    {Message::SatWriteError, Kind::Warning, "Error", "Data write error, please restart box and PC software"},
    {Message::SatReadDone, Kind::Information, "Hint", "Satellite data read successfully!"},
    {Message::SatWriteDone, Kind::Information, "Hint", "Satellite data write successfully!"},
    {Message::NoCsvFile, Kind::Warning, "Warning", "No CSV file"},
    {Message::CsvCannotOpen, Kind::Warning, "Warning", "Fail to open CSV file"},
    {Message::CsvWriteFailed, Kind::Warning, "Warning", "Fail to write CSV file"},
    {Message::CsvLineRefused, Kind::Warning, "Warning", "%1: nothing was loaded."},
    {Message::CsvLoadRemarks, Kind::Warning, "Warning", "The CSV file was loaded. Note:\n%1"},
    {Message::CsvCellsReplaced, Kind::Warning, "Warning",
     "A CSV file cannot hold a comma, a line end or a zero byte in a cell: saved as \"?\" in rows %1."},
    {Message::S19CannotRead, Kind::Warning, "Warning", "Fail to open S19 file!"},
    {Message::PackagePathsEmpty, Kind::Warning, "Warning", "S file and Bin file are all empty!"},
    {Message::S19CannotOpen, Kind::Warning, "Warning", "Fail to open S file!"},
    {Message::BinCannotCreate, Kind::Warning, "Warning", "Fail to open Bin file!"},
    {Message::BinWriteFailed, Kind::Warning, "Warning", "Fail to write Bin file!"},
    {Message::NoFirmwareInformation, Kind::Warning, "Warning", "No firmware information in S19 file!"},
    {Message::BadS19Record, Kind::Warning, "Warning", "Bad S19 record in line %1"},
    {Message::UnsupportedS19Records, Kind::Warning, "Warning", "S19 file has unsupported S2/S3 records"},
    {Message::FtdiLatencyHigh, Kind::Information, "Hint", "%1"},
};

const MessageEntry& lookup(Message id)
{
    for (const MessageEntry& entry : message_texts) {
        if (entry.id == id)
            return entry;
    }
    Q_UNREACHABLE();
}

} // namespace

MessageText message_text(Message message, int argument)
{
    return message_text(message, QString::number(argument));
}

MessageText message_text(Message message, const QString& argument)
{
    const MessageEntry& m = lookup(message);
    QString text = QString::fromLatin1(m.text);
    if (text.contains(QLatin1String("%1")))
        text = text.arg(argument);
    return MessageText{m.kind == Kind::Information, QString::fromLatin1(m.title), text};
}

namespace command_text {

QString no_such_port(const QString& name, const QString& accepted_names)
{
    return QStringLiteral("No such port: %1 (the ports are %2)").arg(name, accepted_names);
}

QString trace_unwritable(const QString& path)
{
    return QStringLiteral("The trace file %1 cannot be written; nothing was sent.").arg(path);
}

QString trace_incomplete(const QString& path)
{
    return QStringLiteral("The trace file %1 is incomplete: a write to it failed during the exchange.")
        .arg(path);
}

QString csv_held(const QString& path)
{
    return QStringLiteral("%1 is open in another program (Excel?): it was left as it was").arg(path);
}

QString csv_kept_beside(const QString& path)
{
    return QStringLiteral("The table read from the box is saved as %1").arg(path);
}

QString log_unwritable(const QString& path)
{
    return QStringLiteral("The log file %1 cannot be written; nothing was sent.").arg(path);
}

QString log_record_lost(const QString& path)
{
    return QStringLiteral("The log file %1 could not take the record of this job: it is not in the log.")
        .arg(path);
}

QString log_reopened(const QString& path)
{
    return QStringLiteral(
               "The log file %1 was moved away or removed: the records from now on go to a new file "
               "of that name.")
        .arg(path);
}

QString same_file(const QString& first, const QString& second)
{
    return QStringLiteral("%1 and %2 are one file: each of a job's files needs its own; nothing was written")
        .arg(first, second);
}

QString log_record_unsynced(const QString& path)
{
    return QStringLiteral("The log file %1 took the record of this job, but the system could not sync it: it "
                          "may not be on disk.")
        .arg(path);
}

QString shared_name(const QString& name, const QString& first_device, const QString& second_device)
{
    return QStringLiteral("%1 is ambiguous: it led to %2 and now leads to %3, both still plugged (adapters "
                          "without a serial number of their own share one name). Each is flashed once per "
                          "plug; to tell them apart, watch /dev/serial/by-path or pick them with --match")
        .arg(name, first_device, second_device);
}

QString second_name(const QString& name, const QString& first)
{
    return QStringLiteral("%1 leads to the device of %2: one device, one box; this name is left alone")
        .arg(name, first);
}

QString folder_unreadable(const QString& folder, const QString& reason)
{
    return QStringLiteral("Cannot read %1 (%2): no box counts as unplugged until it can be read again; "
                          "still looking")
        .arg(folder, reason);
}

QString port_busy(const QString& port)
{
    return QStringLiteral("%1 is busy: tried again at each look while it stays plugged").arg(port);
}

} // namespace command_text

QString ftdi_latency_advice(const QString& port, int latency_ms)
{
    return QStringLiteral(
               "%1 is an FTDI adapter whose latency timer is %2 ms: each answer of the box can wait "
               "that long in the adapter, and the box is paced slower. An administrator can lower it "
               "to 1 ms: Device Manager, the port's Properties, Port Settings, Advanced, Latency "
               "Timer (msec).")
        .arg(port)
        .arg(latency_ms);
}
