#include "cli/Watch.h"

#include "cli/Rack.h"
#include "cli/Terminal.h"
#include "station/FolderNotice.h"
#include "station/Watch.h"

#include <QDateTime>

#include <cstdio>

namespace cli {
namespace {

QString clock_time()
{
    return QDateTime::currentDateTime().toString(QStringLiteral("HH:mm:ss"));
}

// "start  PORT  serial SN" and "end    PORT  serial SN  OUTCOME  SECONDS s  MESSAGE", on standard output
// as they happen.
void tell_start(const Box& box)
{
    const QString serial = box.serial.value_or(QString());
    cli::print(QString::asprintf("%s start  %s  serial %s\n", qUtf8Printable(clock_time()),
                                 qUtf8Printable(box.port.name),
                                 serial.isEmpty() ? "-" : qUtf8Printable(serial)));
    std::fflush(stdout);
}

void tell_end(const Box& box)
{
    const QString serial = box.serial.value_or(QString());
    cli::print(QString::asprintf("%s end    %s  serial %s  %s  %.1f s  %s\n", qUtf8Printable(clock_time()),
                                 qUtf8Printable(box.port.name),
                                 serial.isEmpty() ? "-" : qUtf8Printable(serial), qUtf8Printable(box.word),
                                 box.seconds, qUtf8Printable(final_message(box))));
    std::fflush(stdout);
}

// The watch's lines: the boxes on standard output, what it leaves alone on standard error.
struct Lines : WatchListener
{
    void started(const Box& box) override { tell_start(box); }
    void ended(const Box& box) override { tell_end(box); }
    void port_busy(const Box& box) override { say(command_text::port_busy(box.port.name)); }
    void second_name(const QString& name, const Port& first) override
    {
        say(command_text::second_name(name, first.name));
    }
    void look_failed(const QString& folder, const QString& reason) override
    {
        say(command_text::folder_unreadable(folder, reason));
    }
    void shared_name(const QString& name, const Port& first, const Port& second) override
    {
        say(command_text::shared_name(name, first.device, second.device));
    }
};

} // namespace

int watch_and_flash(const QString& image_path, const WatchOptions& options, ProductionLog* log)
{
    catch_interrupt();
    Lines lines;
    WatchOptions watched = options;
    watched.must_end_soon = &must_end_soon;
    Watcher watcher(image_path, watched, log, &interrupted, lines);
    // The local time zone is read from the system at the first local time: here, not between a plug and
    // its box's first byte.
    static_cast<void>(clock_time());
    // Set before the first look, so that no change after it goes unnoticed.
    FolderNotice notice(options.folder);
    // The first look comes before the watch says it is watching: what is there by then was present at the
    // start (--new-only), what comes after is plugged.
    watcher.look_for_plugs();
#ifdef Q_OS_WIN
    say(QStringLiteral("Watching the COM ports for boxes (Ctrl+C ends after the boxes in progress)"));
#else
    say(QStringLiteral("Watching %1 for boxes (Ctrl+C ends after the boxes in progress)")
            .arg(options.folder));
#endif
    for (;;) {
        watcher.reap();
        watcher.start_boxes();
        if (!watcher.watching() && !watcher.busy())
            break;
        notice.wait(look_every_ms);
        if (watcher.watching())
            watcher.look_for_plugs();
    }
    release_interrupt();
    return print_table(watcher.all_boxes());
}

} // namespace cli
