#pragma once

// The box's port on the command line: every --port is checked and resolved once, right after the options
// are parsed, into a Port that the command (and each box of a rack) takes from there; and the trace of
// the exchange on it.
#include "station/Port.h"

#include <QCommandLineOption>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

class QCommandLineParser;
class SerialChannel;
class Trace;

namespace cli {

using station::Port;

// --port PORT, as every command that talks to the box takes it.
QCommandLineOption port_option();
// --trace FILE: a record of every byte of the exchange.
QCommandLineOption trace_option();
// --log FILE: the production log, a record of each box's job.
QCommandLineOption log_option();

// Resolves the names; Success, or Usage with the reason said: a name the tool cannot try, or one port
// named twice (COM5 and /dev/ttyUSB0, or two links to one adapter, would have two jobs talk to one box).
int resolve_ports(const QStringList& names, QList<Port>& ports);

// Opens the port; Success, or PortUnavailable with the message said. The channel closes it when it goes.
int open_port(SerialChannel& channel, const Port& port);

// --trace's file when it is given (an empty name is given, and cannot be written).
std::optional<QString> trace_path(const QCommandLineParser& parser, const QCommandLineOption& option);

// Opens the trace file at path, if one is named; Success, or OutputUnwritable with the reason said (before
// anything is sent). job_file, the command's own file, is never taken as it. The trace begins with the job
// and the port it is on.
int open_trace(const std::optional<QString>& path, const QString& job_file, const Port& port, Trace& trace);
// No output file of a job may be another of its files (its image or CSV, its log, its trace, any box's
// trace): Success, or Usage with the two names said, before anything is opened for writing.
int distinct_files(const QStringList& inputs, const QStringList& outputs);

// After the exchange: a trace that lost lines is said, and turns a success into OutputUnwritable.
int end_trace(const Trace& trace, const QString& path, int status);

} // namespace cli
