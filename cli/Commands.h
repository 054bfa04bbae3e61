#pragma once

#include <QStringList>

// The commands of zorvane-cli, one file each (cli/<Name>Command.cpp). A new command is a new file and a
// line here and in the table of main.cpp.
namespace commands {
int pack(const QStringList& arguments);
int info(const QStringList& arguments);
int flash(const QStringList& arguments);
int sat_read(const QStringList& arguments);
int sat_write(const QStringList& arguments);
int sat_check(const QStringList& arguments);
int unpack(const QStringList& arguments);
int ports(const QStringList& arguments);
} // namespace commands
