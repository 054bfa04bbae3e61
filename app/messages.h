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
};

// Shows the box and returns once the user has closed it; its result carries no meaning.
void show_message(Message message);

// The texts of the Update tab's status line.
namespace status_text {
constexpr const char* entering = "Getting into Bootloader Mode...";
constexpr const char* updating = "Starting updating";
constexpr const char* stopped = "Update process has been stopped!";
constexpr const char* completed = "Update completed!";
constexpr const char* failed = "Update process failed!";
} // namespace status_text
