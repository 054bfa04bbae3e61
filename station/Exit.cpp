#include "station/Exit.h"

#include "package/Packager.h"
#include "package/Unpacker.h"
#include "satellite/SatelliteProtocol.h"
#include "update/Bootloader.h"

namespace station {

int exit_for(bootloader::Outcome outcome)
{
    using bootloader::Outcome;
    switch (outcome) {
    case Outcome::Completed:
        return Success;
    case Outcome::FinishFailed:
        return UpdateFailed;
    case Outcome::Stopped:
        return Stopped;
    case Outcome::ImageUnreadable:
    case Outcome::ImageChanged:
        return InputUnreadable;
    case Outcome::CpuMismatch:
    case Outcome::ModelMismatch:
    case Outcome::TooOld:
    case Outcome::Rejected:
        return ImageRefused;
    case Outcome::LineRejected:
    case Outcome::PageNotWritten:
        return TransferFailed;
    case Outcome::NotPrepared:
    case Outcome::NoGoAhead:
    case Outcome::NoVerdict:
    case Outcome::NoLineFeedback:
        return NoAnswer;
    case Outcome::PortGone:
        return PortUnavailable;
    }
    return NoAnswer;
}

int exit_for(satellite_protocol::Outcome outcome)
{
    switch (outcome) {
    case satellite_protocol::Outcome::Done:
        return Success;
    case satellite_protocol::Outcome::ConnectionError:
        return NoAnswer;
    case satellite_protocol::Outcome::ReadError:
    case satellite_protocol::Outcome::WriteError:
        return TransferFailed;
    case satellite_protocol::Outcome::Stopped:
        return Stopped;
    case satellite_protocol::Outcome::PortGone:
        return PortUnavailable;
    }
    return NoAnswer;
}

int exit_for(packager::Outcome outcome)
{
    switch (outcome) {
    case packager::Outcome::Done:
        return Success;
    case packager::Outcome::S19CannotOpen:
    case packager::Outcome::S19Changed:
        return InputUnreadable;
    case packager::Outcome::BinCannotOpen:
    case packager::Outcome::WriteFailed:
        return OutputUnwritable;
    case packager::Outcome::BadRecord:
    case packager::Outcome::UnsupportedRecords:
        return InputRejected;
    }
    return InputRejected;
}

int exit_for(unpacker::Outcome outcome)
{
    switch (outcome) {
    case unpacker::Outcome::Done:
        return Success;
    case unpacker::Outcome::CannotOpen:
        return InputUnreadable;
    case unpacker::Outcome::WriteFailed:
        return OutputUnwritable;
    case unpacker::Outcome::TooShort:
    case unpacker::Outcome::BadChecksum:
    case unpacker::Outcome::BadHeader:
    case unpacker::Outcome::PartialRecord:
    case unpacker::Outcome::Unreachable:
        return InputRejected;
    }
    return InputRejected;
}

} // namespace station
