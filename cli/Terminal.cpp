#include "cli/Terminal.h"

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
    "written, 5 input not acceptable,\n6 port not available or gone, 7 box did not answer, "
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
        std::printf("%s", qPrintable(help_text(parser, arguments.value(0))));
        status = Success;
        return false;
    }
    const qsizetype given = parser.positionalArguments().size();
    if (given < positional || given > qMax(positional, most)) {
        std::fprintf(stderr, "%s", qPrintable(help_text(parser, arguments.value(0))));
        status = Usage;
        return false;
    }
    return true;
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
    std::fprintf(stderr, terminal ? "\r%s\033[K" : "%s\n", qPrintable(line));
    std::fflush(stderr);
}

QString identity_line(const Identity& identity)
{
    const IdentityTexts t = decode_identity(identity);
    return QStringLiteral("model \"%1\", MCU \"%2\", date %3, version %4")
        .arg(t.model, t.mcu, t.date, t.version);
}

} // namespace cli
