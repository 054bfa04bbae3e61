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

// The device that open() hands to the operating system for a listed name; empty when the name has none.
QString device_for(const QString& name);

} // namespace port_names
