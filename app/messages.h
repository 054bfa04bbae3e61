#pragma once

// Every box the window shows: a static, modal box with no parent, a short title, a fixed text and the
// single button Yes. The texts are the tool's own words and are shown exactly as listed in messages.cpp.
enum class Message
{
    SerialPortNotFound,
    PortUnavailable,
    // Update tab
    BinNotFound,
    BinCannotOpen,
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
    NoCsvFile,
    CsvCannotOpen,
    CsvWriteFailed,
    // Package tab
    S19CannotOpenForIdentity,
    PackagePathsEmpty,
    S19CannotOpen,
    BinCannotCreate,
    BinWriteFailed,
    NoFirmwareInformation,
    BadS19Record, // takes the line number
    UnsupportedS19Records,
};

// Shows the box and returns once the user has closed it; its result carries no meaning. A text with a
// place for a number (a line) takes it from argument.
void show_message(Message message, int argument = 0);

// The texts of the Update tab's status line.
namespace status_text {
constexpr const char* entering = "Getting into Bootloader Mode...";
constexpr const char* updating = "Starting updating";
constexpr const char* stopped = "Update process has been stopped!";
constexpr const char* completed = "Update completed!";
constexpr const char* failed = "Update process failed!";
} // namespace status_text
