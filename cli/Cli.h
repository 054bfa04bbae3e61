#pragma once

// What every command of zorvane-cli shares: exit statuses, messages on standard error, option parsing, the
// port, Ctrl+C and the progress bar.
#include "outcome/Messages.h"
#include "package/Packager.h"
#include "satellite/SatelliteProtocol.h"
#include "update/Bootloader.h"
#include "update/Identity.h"

#include <QCommandLineOption>
#include <QElapsedTimer>
#include <QString>
#include <QStringList>

class QCommandLineParser;
class SerialChannel;
class Trace;

namespace cli {

// Exit statuses, one per kind of failure.
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

extern const char* const exit_help;

// A line on standard error.
void say(const QString& text);
// Says the message's text and returns status.
int tell(Message message, Exit status, int argument = 0);

// Parses a command's options and arguments; on --help or a usage error it prints and sets status.
bool parse(QCommandLineParser& parser, const QStringList& arguments, const QString& synopsis, int positional,
           int& status);

// --port PORT, as every command that talks to the box takes it.
QCommandLineOption port_option();
// --trace FILE: a record of every byte of the exchange.
QCommandLineOption trace_option();
// Opens the trace file named by the option, if given, and hands it to the channel; Success, or
// OutputUnwritable with the reason said (before anything is sent).
int start_trace(const QCommandLineParser& parser, const QCommandLineOption& option, Trace& trace,
                SerialChannel& channel, const QString& port);
// "The trace file ... cannot be written; nothing was sent."
QString trace_unwritable(const QString& path);
// After the exchange: a trace that lost lines is said, and turns a success into OutputUnwritable.
int end_trace(const Trace& trace, const QString& path, int status);
// A port name the tool can try; otherwise false, with the names it takes said.
bool port_name_taken(const QString& name);
// Opens the named port; the channel is closed again when it goes. Success or the exit status.
int open_port(SerialChannel& channel, const QString& name);

// Standard error is a terminal: progress is redrawn in place there.
bool stderr_is_terminal();

// Ctrl+C while a job runs: the first asks the job to stop at its next safe point, a second ends the
// program at once.
void catch_interrupt();
void release_interrupt();
bool interrupted();

// A progress bar on standard error: redrawn in place on a terminal, one line per step otherwise.
class Progress
{
public:
    Progress(const char* unit_name, int step_count);
    ~Progress();
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;
    void show(int done);

private:
    const char* unit;
    int total;
    bool terminal;
    QElapsedTimer clock;
};

int exit_for(bootloader::Outcome outcome);
int exit_for(satellite_protocol::Outcome outcome);
int exit_for(packager::Outcome outcome);

// The lines of a CSV table that the box would get (at most 99), read once: what is checked is what is sent.
struct TableLines
{
    QList<QByteArray> lines;
    QList<bool> cut; // the line was longer than the reader takes
};
// Success, or InputUnreadable with the message said.
int read_table_lines(const QString& path, TableLines& table);

// Checks a CSV table's lines on their way into the box (printing each row as the box receives it when
// asked), and warns on standard error wherever a cell is changed. Success, or InputRejected when it warned.
int check_table(const QString& path, const TableLines& table, bool print_rows);

// "model "...", MCU "...", date ..., version ..." of an identity block.
QString identity_line(const Identity& identity);

} // namespace cli
