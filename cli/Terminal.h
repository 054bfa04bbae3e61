#pragma once

// zorvane-cli's side of the terminal: messages on standard error, option parsing and --help, the progress
// bar, and Ctrl+C.
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

// A line on standard error.
void say(const QString& text);
// Says the message's text and returns status.
int tell(Message message, Exit status, int argument = 0);

// Parses a command's options and arguments (positional of them, or up to most where more may be given); on
// --help or a usage error it prints and sets status.
bool parse(QCommandLineParser& parser, const QStringList& arguments, const QString& synopsis, int positional,
           int& status, int most = -1);

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

// The bar itself, "[#####-----] 3/13 pages" (the rack draws one per box); with nothing to do it is full
// once the job has ended.
QString progress_bar(int done, int total, const char* unit, bool ended);

// "model "...", MCU "...", date ..., version ..." of an identity block.
QString identity_line(const Identity& identity);

} // namespace cli
