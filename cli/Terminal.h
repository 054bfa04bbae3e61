#pragma once

// zorvane-cli's side of the terminal: messages on standard error, option parsing and --help, the progress
// bar, and Ctrl+C (on Windows also Ctrl+Break and the console's closing).
#include "outcome/Messages.h"
#include "station/Exit.h"
#include "update/Identity.h"

#include <QElapsedTimer>
#include <QString>
#include <QStringList>

class QCommandLineParser;

namespace cli {

// The commands speak the station's terms (exit statuses, ports, boxes) as their own.
using namespace station;

// The exit statuses in a few lines, for every --help.
extern const char* const exit_help;

// Where a standard stream leads, as far as its text is concerned.
enum class Sink
{
    Text,     // a file, a pipe or a device: UTF-8 bytes, plain lines
    Console,  // a Windows console that takes no escape sequences: UTF-16 (WriteConsoleW), plain lines
    Terminal, // a terminal or a console with escape sequences on: redrawn in place
};

// How to write to a stream from what it is: a console (or terminal) or not, and whether it took the
// request to interpret escape sequences.
Sink sink_for(bool console, bool escapes_taken);

// The sink of standard output (1) or standard error (2) as this process sees it. On Windows a console is
// asked to interpret escape sequences (ENABLE_VIRTUAL_TERMINAL_PROCESSING) the first time it is looked at,
// and given back its mode when the program ends.
Sink sink_of(int descriptor);

// Text on standard output or standard error, whatever its characters: to a Windows console as UTF-16 (the
// console shows every character, whatever its code page), everywhere else as UTF-8.
void print(const QString& text);
void print_error(const QString& text);

// A line on standard error.
void say(const QString& text);
// Says the message's text and returns status.
int tell(Message message, Exit status, int argument = 0);

// Parses a command's options and arguments (positional of them, or up to most where more may be given); on
// --help or a usage error it prints and sets status.
bool parse(QCommandLineParser& parser, const QStringList& arguments, const QString& synopsis, int positional,
           int& status, int most = -1);

// Standard error takes escape sequences: progress is redrawn in place there.
bool stderr_is_terminal();

// Ctrl+C (or a stop signal, SIGTERM or SIGHUP) while a job runs: the first asks the job to stop at its
// next safe point, a second ends the program at once.
void catch_interrupt();
void release_interrupt();
bool interrupted();
// Windows: the console is closing, or the user logging off or the system shutting down; the process has
// seconds left, so even the jobs that are let finish after Ctrl+C stop at their next safe point.
bool must_end_soon();

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

// The bar itself, "[#####-----] 3/13 pages" (the rack draws one per box); with nothing to do it is full
// once the job has ended.
QString progress_bar(int done, int total, const char* unit, bool ended);

// "model "...", MCU "...", date ..., version ..." of an identity block.
QString identity_line(const Identity& identity);

} // namespace cli
