#pragma once

#include <QString>

#include <optional>

// An FTDI adapter passes what it received on to the PC when its latency timer runs out, 16 ms unless set
// otherwise: every reply of the box can wait that long in the chip. On Linux the channel asks the driver for
// 1 ms while a port is open. On Windows the timer is a setting of the FTDI driver, kept per adapter in the
// registry, which anyone may read and only an administrator may change: the tool can only say so.
namespace ftdi_latency {

// The highest latency timer the tool leaves unmentioned, in ms.
constexpr int acceptable_ms = 2;

// The latency timer of the FTDI adapter behind a Windows port name ("COM5"), in ms; none where the port is
// no FTDI adapter, the driver keeps no such setting, or the system is not Windows.
std::optional<int> of_port(const QString& port_name);

} // namespace ftdi_latency
