#pragma once

#include <QString>

// Every message of the tool: the window shows each as a modal box (a short title, a fixed text, the single
// button Yes); the command line prints the same texts. They are the tool's own words, listed in Messages.cpp.
enum class Message
{
    SerialPortNotFound,
    PortUnavailable,
    PortGone, // the device went away during an exchange, in either tab
    TraceCannotWrite,
    TraceIncomplete,
    // Update tab
    BinNotFound,
    BinCannotOpen,
    BinChanged, // the image was rewritten in place while it was sent
    NotPrepared,
    CpuMismatch,
    ModelMismatch,
    TooOld,
    BinRejected,
    DataTransferError,
    NoFeedback,
    PageWriteError,
    UpdateFailed,
    UpdateCompleted,
    // Satellite Setting tab
    SatConnectionError,
    SatReadError,
    SatWriteError,
    SatReadDone,
    SatWriteDone,
    SatInterrupted, // takes the entries done
    NoCsvFile,
    CsvCannotOpen,
    CsvWriteFailed,
    CsvLineRefused,   // takes the line and why it is not read
    CsvLoadRemarks,   // takes what is to be told, one line each
    CsvCellsReplaced, // takes the rows
    // Package tab
    S19CannotRead, // "Fail to open S19 file!": not opened, or not read as it was checked (it changed)
    PackagePathsEmpty,
    S19CannotOpen,
    BinCannotCreate,
    BinWriteFailed,
    NoFirmwareInformation,
    BadS19Record, // takes the line number
    UnsupportedS19Records,
    // Before a job: the port's FTDI adapter holds replies back (takes ftdi_latency_advice's text)
    FtdiLatencyHigh,
};

struct MessageText
{
    bool information; // "Hint" boxes; the others are warnings
    QString title;
    QString text;
};

// A text with a place for a number (a line) or a list (rows) takes it from argument.
MessageText message_text(Message message, int argument = 0);
MessageText message_text(Message message, const QString& argument);

// An FTDI adapter whose latency timer (ms) holds each reply of the box back, and how to lower it.
QString ftdi_latency_advice(const QString& port, int latency_ms);

// The texts of the Update tab's status line.
namespace status_text {
constexpr const char* entering = "Getting into Bootloader Mode...";
constexpr const char* updating = "Starting updating";
constexpr const char* stopped = "Update process has been stopped!";
constexpr const char* completed = "Update completed!";
constexpr const char* failed = "Update process failed!";
} // namespace status_text

// The command line's own texts: its ports, and the trace it writes beside the exchange.
namespace command_text {
QString no_such_port(const QString& name, const QString& accepted_names);
constexpr const char* port_named_twice = "A port is named twice: each box has a port of its own";
QString trace_unwritable(const QString& path);
// Two of a job's files that are one file.
QString same_file(const QString& first, const QString& second);
QString trace_incomplete(const QString& path);
// A table read from the box whose CSV file another program holds open (Excel): kept beside it.
QString csv_held(const QString& path);
QString csv_kept_beside(const QString& path);
// The same, in a rack's table after the box's message.
constexpr const char* trace_incomplete_note = " (the trace is incomplete: a write to it failed)";
// The production log (--log).
QString log_unwritable(const QString& path);
QString log_record_lost(const QString& path);
QString log_record_unsynced(const QString& path);
// The log was rotated away under a running job; later records go to a new file of its name.
QString log_reopened(const QString& path);
// The same, in a rack's table or a watch's line after the box's message.
constexpr const char* log_record_lost_note = " (its record could not be written to the log)";
constexpr const char* log_record_unsynced_note = " (its record is in the log but may not be on disk)";
// How a rack's box ended before its update began.
constexpr const char* no_image_word = "no image";
constexpr const char* no_port_word = "no port";
// A box's port that opened, checked before a byte is sent.
constexpr const char* not_a_serial_device = "Not a serial device: nothing was sent";
constexpr const char* another_device =
    "The port led to another device by the time it opened: nothing was sent";
// What a watch leaves alone, and why, said once.
QString second_name(const QString& name, const QString& first);
// A watched name that moved from one device to another while both stay plugged.
QString shared_name(const QString& name, const QString& first_device, const QString& second_device);
QString folder_unreadable(const QString& folder, const QString& reason);
QString port_busy(const QString& port);
// A rack's box whose port still held its thread when the grace after Ctrl+C ran out.
constexpr const char* left_busy_word = "left busy";
constexpr const char* left_busy = "Still busy on its port after Ctrl+C; flash it again";
} // namespace command_text
