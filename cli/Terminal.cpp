#include "cli/Terminal.h"

#include "cli/ConsoleEvents.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace cli {

const char* const exit_help =
    "Exit status: 0 success, 2 usage, 3 input file unreadable, 4 output file not "
    "written, 5 input not acceptable,\n6 port not available or gone, 7 box did not answer, "
    "8 box refused the image, 9 transfer failed, 10 stopped,\n11 update not confirmed.";

Sink sink_for(bool console, bool escapes_taken)
{
    if (!console)
        return Sink::Text;
    return escapes_taken ? Sink::Terminal : Sink::Console;
}

namespace {

#ifdef Q_OS_WIN
HANDLE handle_of(int descriptor)
{
    return GetStdHandle(descriptor == 1 ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
}

// The console's modes as they were before we changed them (the console outlives us: its next program
// should find it as it was), one per output stream.
DWORD mode_before[2];
bool mode_changed[2];

void restore_modes()
{
    for (int i = 0; i < 2; ++i) {
        if (mode_changed[i])
            SetConsoleMode(handle_of(i + 1), mode_before[i]);
    }
}

// A console answers GetConsoleMode; a file, a pipe, NUL or a COM port does not.
Sink look_at(int descriptor)
{
    const HANDLE handle = handle_of(descriptor);
    DWORD mode = 0;
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE || GetFileType(handle) != FILE_TYPE_CHAR ||
        !GetConsoleMode(handle, &mode))
        return sink_for(false, false);
    if ((mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0)
        return sink_for(true, true);
    // The classic console shows "ESC[K" as text unless asked; older Windows refuse, and get plain lines.
    const bool taken = SetConsoleMode(handle, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
    if (taken) {
        mode_before[descriptor - 1] = mode;
        mode_changed[descriptor - 1] = true;
        static const bool registered = std::atexit(restore_modes) == 0;
        Q_UNUSED(registered);
    }
    return sink_for(true, taken);
}
#else
Sink look_at(int descriptor)
{
    const bool terminal = isatty(descriptor) != 0;
    return sink_for(terminal, terminal);
}
#endif

void write_to(int descriptor, std::FILE* stream, const QString& text)
{
#ifdef Q_OS_WIN
    if (sink_of(descriptor) != Sink::Text) {
        // What went through the C library before must come out first.
        std::fflush(stream);
        const HANDLE handle = handle_of(descriptor);
        const auto* units = reinterpret_cast<const wchar_t*>(text.utf16());
        qsizetype left = text.size();
        while (left > 0) {
            DWORD written = 0;
            if (!WriteConsoleW(handle, units, DWORD(qMin<qsizetype>(left, 8192)), &written, nullptr) ||
                written == 0)
                return;
            units += written;
            left -= qsizetype(written);
        }
        return;
    }
#else
    Q_UNUSED(descriptor);
#endif
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    // Messages are out as soon as they are said (a C library may buffer standard error into a file).
    if (stream == stderr)
        std::fflush(stream);
}

} // namespace

Sink sink_of(int descriptor)
{
    static const Sink sinks[2] = {look_at(1), look_at(2)};
    return sinks[descriptor == 2 ? 1 : 0];
}

void print(const QString& text)
{
    write_to(1, stdout, text);
}

void print_error(const QString& text)
{
    write_to(2, stderr, text);
}

void say(const QString& text)
{
    print_error(text + QLatin1Char('\n'));
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

bool parse(QCommandLineParser& parser, const QStringList& arguments, const QString& synopsis, int positional,
           int& status, int most)
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
        print(help_text(parser, arguments.value(0)));
        status = Success;
        return false;
    }
    const qsizetype given = parser.positionalArguments().size();
    if (given < positional || given > qMax(positional, most)) {
        print_error(help_text(parser, arguments.value(0)));
        status = Usage;
        return false;
    }
    return true;
}

namespace {

std::atomic<bool> stop_requested{false};
std::atomic<bool> ending_soon{false};

#ifndef Q_OS_WIN
// What ends a job the way Ctrl+C does: a supervisor's or timeout's stop (SIGTERM) and a terminal closed
// under a watch (SIGHUP) deserve the same records as a person's Ctrl+C.
constexpr int stop_signals[] = {
    SIGINT,
#ifdef SIGTERM
    SIGTERM,
#endif
#ifdef SIGHUP
    SIGHUP,
#endif
};

void on_interrupt(int)
{
    stop_requested = true;
    // A second stop, of any of them, ends the program at once.
    for (const int stop : stop_signals)
        std::signal(stop, SIG_DFL);
}
#else
// A console's control events, each in a thread of its own that the system starts for it (see
// ConsoleEvents.h). Ctrl+Break is what a script or a service manager can send to a process group:
// Ctrl+C cannot reach one. When this returns after a close, a logoff or a shutdown the system ends the
// process, so it holds on: the job stops its boxes and writes their records, and the program's own end
// ends this thread too.
static_assert(CTRL_C_EVENT == 0 && CTRL_BREAK_EVENT == 1 && CTRL_CLOSE_EVENT == 2 && CTRL_LOGOFF_EVENT == 5 &&
              CTRL_SHUTDOWN_EVENT == 6);
BOOL WINAPI on_console_event(DWORD event)
{
    constexpr DWORD hold_ms = 10000; // beyond the system's own bound: it decides
    switch (console_events::answer(event, stop_requested)) {
    case console_events::Answer::Stop:
        stop_requested = true;
        return TRUE;
    case console_events::Answer::StopAndHold:
        ending_soon = true;
        stop_requested = true;
        Sleep(hold_ms);
        return TRUE;
    case console_events::Answer::PassOn:
        break;
    }
    return FALSE;
}
#endif

} // namespace

bool stderr_is_terminal()
{
    return sink_of(2) == Sink::Terminal;
}

void catch_interrupt()
{
#ifdef Q_OS_WIN
    // A process started in a new process group inherits "ignore Ctrl+C": taken back, so that its console's
    // Ctrl+C reaches it too.
    SetConsoleCtrlHandler(nullptr, FALSE);
    SetConsoleCtrlHandler(on_console_event, TRUE);
#else
    for (const int stop : stop_signals)
        std::signal(stop, on_interrupt);
#endif
}

void release_interrupt()
{
#ifdef Q_OS_WIN
    SetConsoleCtrlHandler(on_console_event, FALSE);
#else
    for (const int stop : stop_signals)
        std::signal(stop, SIG_DFL);
#endif
}

bool interrupted()
{
    return stop_requested;
}

bool must_end_soon()
{
    return ending_soon;
}

Progress::Progress(const char* unit_name, int step_count)
    : unit(unit_name), total(step_count), terminal(stderr_is_terminal())
{
    clock.start();
}

Progress::~Progress()
{
    if (terminal)
        print_error(QStringLiteral("\n"));
}

QString progress_bar(int done, int total, const char* unit, bool ended)
{
    const int width = 30;
    const int filled = total > 0 ? width * done / total : (ended ? width : 0);
    return QStringLiteral("[%1%2] %3/%4 %5")
        .arg(QString(filled, QLatin1Char('#')), QString(width - filled, QLatin1Char('-')))
        .arg(done)
        .arg(total)
        .arg(QLatin1String(unit));
}

void Progress::show(int done)
{
    const int percent = total > 0 ? 100 * done / total : 100;
    QString left;
    if (done > 0 && done < total)
        left = QStringLiteral("  %1 s left").arg((clock.elapsed() * (total - done) / done + 500) / 1000);
    const QString line =
        QStringLiteral("%1 %2%%3").arg(progress_bar(done, total, unit, true)).arg(percent, 3).arg(left);
    print_error(terminal ? QStringLiteral("\r%1\033[K").arg(line) : line + QLatin1Char('\n'));
    std::fflush(stderr);
}

QString identity_line(const Identity& identity)
{
    const IdentityTexts t = decode_identity(identity);
    return QStringLiteral("model \"%1\", MCU \"%2\", date %3, version %4")
        .arg(t.model, t.mcu, t.date, t.version);
}

} // namespace cli
