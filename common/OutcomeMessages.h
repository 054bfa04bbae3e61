#pragma once

#include "common/Messages.h"
#include "package/Packager.h"
#include "package/SRecord.h"
#include "satellite/SatelliteProtocol.h"
#include "update/Bootloader.h"

#include <optional>

// What the user is told at the end of each job, the same in the window and on the command line. Nothing
// means that the job ends without a message (a stopped update, a finished conversion).
std::optional<Message> message_for(bootloader::Outcome outcome);
Message message_for(satellite_protocol::Outcome outcome, bool reading);
std::optional<Message> message_for(packager::Outcome outcome);
std::optional<Message> message_for(srecord::IdentityOutcome outcome);
