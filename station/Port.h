#pragma once

#include <QString>

namespace station {

// A box's port: the name the user gave and what it stands for.
struct Port
{
    QString name;     // as the user gave it: "COM5", "/dev/ttyUSB0", "/dev/serial/by-id/..."
    QString device;   // what the system opens; empty where the name stands for no device
    QString identity; // the same for two names of one port (see port_names::identity)
};

} // namespace station
