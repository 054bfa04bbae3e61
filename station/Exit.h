#pragma once

// How a job ends: one exit status per kind of failure (zorvane-cli's own), and the status each engine's
// outcome gives.
namespace bootloader {
enum class Outcome;
}
namespace satellite_protocol {
enum class Outcome;
}
namespace packager {
enum class Outcome;
}
namespace unpacker {
enum class Outcome;
}

namespace station {

enum Exit
{
    Success = 0,
    Usage = 2,
    InputUnreadable = 3,
    OutputUnwritable = 4,
    InputRejected = 5,
    PortUnavailable = 6,
    NoAnswer = 7,
    ImageRefused = 8,
    TransferFailed = 9,
    Stopped = 10,
    UpdateFailed = 11,
};

int exit_for(bootloader::Outcome outcome);
int exit_for(satellite_protocol::Outcome outcome);
int exit_for(packager::Outcome outcome);
int exit_for(unpacker::Outcome outcome);

} // namespace station
