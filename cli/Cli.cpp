#include "cli/Cli.h"

#include "serial/PortNames.h"
#include "serial/SerialChannel.h"
#include "serial/Trace.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <atomic>
#include <csignal>
#include <cstdio>

#ifdef Q_OS_WIN
#include <io.h>
#else
#include <unistd.h>
#endif

namespace cli {

const char* const exit_help =
    "Exit status: 0 success, 2 usage, 3 input file unreadable, 4 output file not "
    "written, 5 input not acceptable,\n6 port not available, 7 box did not answer, "
    "8 box refused the image, 9 transfer failed, 10 stopped,\n11 update not confirmed.";

void say(const QString& text)
{
    std::fprintf(stderr, "%s\n", qPrintable(text));
}

int tell(Message message, Exit status, int argument)
{
    say(message_text(message, argument).text);
    return status;
}

namespace {

// QCommandLineParser names the program by its path ("Usage: /usr/bin/zorvane-cli [options] FILE.bin"); a
// person types "zorvane-cli flash", which arguments[0] holds.
QString help_text(const QCommandLineParser& parser, const QString& command)
{
    QString text = parser.helpText();
    const QString path = QCoreApplication::arguments().value(0);
    const qsizetype at = text.indexOf(path);
    if (!path.isEmpty() && at >= 0 && at < text.indexOf(QLatin1Char('\n')))
        text.replace(at, path.size(), command);
    return text;
}

} // namespace

// Parses a subcommand's options and arguments; on --help or a usage error it prints and sets status.
bool parse(QCommandLineParser& parser, const QStringList& arguments, const QString& synopsis, int positional,
           int& status)
{
    parser.setApplicationDescription(synopsis + QStringLiteral("\n\n") + QString::fromLatin1(exit_help));
    const QCommandLineOption help({"h", "help"}, QStringLiteral("Shows this help."));
    parser.addOption(help);
    if (!parser.parse(arguments)) {
        say(parser.errorText());
        status = Usage;
        return false;
    }
    if (parser.isSet(help)) {
        std::printf("%s", qPrintable(help_text(parser, arguments.value(0))));
        status = Success;
        return false;
    }
    if (parser.positionalArguments().size() != positional) {
        std::fprintf(stderr, "%s", qPrintable(help_text(parser, arguments.value(0))));
        status = Usage;
        return false;
    }
    return true;
}

QCommandLineOption trace_option()
{
    return QCommandLineOption(
        QStringLiteral("trace"),
        QStringLiteral("Record every byte of the exchange, its time and its step in FILE."),
        QStringLiteral("FILE"));
}

int start_trace(const QCommandLineParser& parser, const QCommandLineOption& option, Trace& trace,
                SerialChannel& channel, const QString& port)
{
    if (!parser.isSet(option))
        return Success;
    // A port the tool cannot try leaves no trace file behind.
    if (!port_name_taken(port))
        return Usage;
    const QString path = parser.value(option);
    if (!trace.open(path, false, parser.positionalArguments().value(0))) {
        say(trace_unwritable(path));
        return OutputUnwritable;
    }
    trace.note(QStringLiteral("%1 on %2").arg(parser.positionalArguments().value(0), port));
    channel.set_trace(&trace);
    return Success;
}

QString trace_unwritable(const QString& path)
{
    return QStringLiteral("The trace file %1 cannot be written; nothing was sent.").arg(path);
}

int end_trace(const Trace& trace, const QString& path, int status)
{
    if (!trace.failed())
        return status;
    say(QStringLiteral("The trace file %1 is incomplete: a write to it failed during the exchange.")
            .arg(path));
    return status == Success ? OutputUnwritable : status;
}

QCommandLineOption port_option()
{
    return QCommandLineOption(QStringLiteral("port"),
                              QStringLiteral("The box's port: %1.").arg(port_names::accepted_names()),
                              QStringLiteral("PORT"));
}

bool port_name_taken(const QString& name)
{
    if (port_names::accepts(name))
        return true;
    say(QStringLiteral("No such port: %1 (the ports are %2)").arg(name, port_names::accepted_names()));
    return false;
}

// Opens the named port; the channel is closed again when it goes.
int open_port(SerialChannel& channel, const QString& name)
{
    if (!port_name_taken(name))
        return Usage;
    if (channel.open(name))
        return tell(Message::PortUnavailable, PortUnavailable);
    return Success;
}

namespace {

std::atomic<bool> stop_requested{false};

void on_interrupt(int)
{
    stop_requested = true;
    // A second Ctrl+C ends the program at once.
    std::signal(SIGINT, SIG_DFL);
}

} // namespace

bool stderr_is_terminal()
{
#ifdef Q_OS_WIN
    return _isatty(_fileno(stderr)) != 0;
#else
    return isatty(STDERR_FILENO) != 0;
#endif
}

void catch_interrupt()
{
    std::signal(SIGINT, on_interrupt);
}

void release_interrupt()
{
    std::signal(SIGINT, SIG_DFL);
}

bool interrupted()
{
    return stop_requested;
}

Progress::Progress(const char* unit_name, int step_count)
    : unit(unit_name), total(step_count), terminal(stderr_is_terminal())
{
    clock.start();
}

Progress::~Progress()
{
    if (terminal)
        std::fputc('\n', stderr);
}

void Progress::show(int done)
{
    const int width = 30;
    const int filled = total > 0 ? width * done / total : width;
    const int percent = total > 0 ? 100 * done / total : 100;
    QString left;
    if (done > 0 && done < total)
        left = QStringLiteral("  %1 s left").arg((clock.elapsed() * (total - done) / done + 500) / 1000);
    const QString line =
        QStringLiteral("[%1%2] %3/%4 %5 %6%%7")
            .arg(QString(filled, QLatin1Char('#')), QString(width - filled, QLatin1Char('-')))
            .arg(done)
            .arg(total)
            .arg(QLatin1String(unit))
            .arg(percent, 3)
            .arg(left);
    std::fprintf(stderr, terminal ? "\r%s\033[K" : "%s\n", qPrintable(line));
    std::fflush(stderr);
}

int exit_for(bootloader::Outcome outcome)
{
    using bootloader::Outcome;
    switch (outcome) {
    case Outcome::Completed:
        return Success;
    case Outcome::FinishFailed:
        return UpdateFailed;
    case Outcome::Stopped:
        return Stopped;
    case Outcome::ImageUnreadable:
        return InputUnreadable;
    case Outcome::CpuMismatch:
    case Outcome::ModelMismatch:
    case Outcome::TooOld:
    case Outcome::Rejected:
        return ImageRefused;
    case Outcome::LineRejected:
    case Outcome::PageNotWritten:
        return TransferFailed;
    case Outcome::NotPrepared:
    case Outcome::NoGoAhead:
    case Outcome::NoVerdict:
    case Outcome::NoLineFeedback:
        return NoAnswer;
    }
    return NoAnswer;
}

int exit_for(satellite_protocol::Outcome outcome)
{
    switch (outcome) {
    case satellite_protocol::Outcome::Done:
        return Success;
    case satellite_protocol::Outcome::ConnectionError:
        return NoAnswer;
    case satellite_protocol::Outcome::ReadError:
    case satellite_protocol::Outcome::WriteError:
        return TransferFailed;
    }
    return NoAnswer;
}

int exit_for(packager::Outcome outcome)
{
    switch (outcome) {
    case packager::Outcome::Done:
        return Success;
    case packager::Outcome::S19CannotOpen:
    case packager::Outcome::S19Changed:
        return InputUnreadable;
    case packager::Outcome::BinCannotOpen:
    case packager::Outcome::WriteFailed:
        return OutputUnwritable;
    case packager::Outcome::BadRecord:
    case packager::Outcome::UnsupportedRecords:
        return InputRejected;
    }
    return InputRejected;
}

QString identity_line(const Identity& identity)
{
    const IdentityTexts t = decode_identity(identity);
    return QStringLiteral("model \"%1\", MCU \"%2\", date %3, version %4")
        .arg(t.model, t.mcu, t.date, t.version);
}

} // namespace cli
