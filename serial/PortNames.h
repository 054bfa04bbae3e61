#pragma once

#include <QString>
#include <QStringList>

// The window lists the box's ports by their Windows names, "COM1" to "COM15". Elsewhere each name stands
// for a device file: KDR7_COM<n> names it when set (set but empty: that name has no device), otherwise a
// fixed table of the usual on-board, USB and CDC-ACM adapters applies.
namespace port_names {

constexpr int port_count = 15;

// "COM1" .. "COM15", in list order.
QStringList all();

// The device that open() hands to the operating system for a port name; empty when the name has none.
// Beyond the listed names, a device path ("/dev/ttyUSB0", "/dev/serial/by-id/...") stands for itself
// outside Windows, and on Windows every name is the port itself.
QString device_for(const QString& name);

// Whether a port named by a person (on the command line) is one the tool can try: a listed name, a device
// path outside Windows, any "COMn" on Windows.
bool accepts(const QString& name);

// What a port name stands for, so that two names of one port can be told to be one: outside Windows the
// device's number (COM5 and /dev/ttyUSB0, or two links to one adapter, are one port), or its resolved path
// where it does not exist; on Windows the COM name in upper case.
QString identity(const QString& name);

// The identity of a character device by its number (st_rdev): what identity() gives for a name leading to it.
QString device_identity(quint64 number);

// What accepts() takes, in a few words for help texts and usage errors.
QString accepted_names();

} // namespace port_names
