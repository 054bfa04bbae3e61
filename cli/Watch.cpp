#include "cli/Watch.h"

#include "cli/Rack.h"
#include "cli/Terminal.h"
#include "station/Watch.h"

#include <QDateTime>

#include <chrono>
#include <cstdio>
#include <thread>

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
    std::printf("%s start  %s  serial %s\n", qPrintable(clock_time()), qPrintable(box.port.name),
                serial.isEmpty() ? "-" : qPrintable(serial));
    std::fflush(stdout);
}

void tell_end(const Box& box)
{
    const QString serial = box.serial.value_or(QString());
    std::printf("%s end    %s  serial %s  %s  %.1f s  %s\n", qPrintable(clock_time()),
                qPrintable(box.port.name), serial.isEmpty() ? "-" : qPrintable(serial), qPrintable(box.word),
                box.seconds, qPrintable(final_message(box)));
    std::fflush(stdout);
}

} // namespace

int watch_and_flash(const QString& image_path, const WatchOptions& options, ProductionLog* log)
{
    catch_interrupt();
    Watcher watcher(image_path, options, log, &interrupted);
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
        watcher.reap(tell_end);
        watcher.start_boxes(tell_start);
        if (!watcher.watching() && !watcher.busy())
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(look_every_ms));
        if (watcher.watching())
            watcher.look_for_plugs();
    }
    release_interrupt();
    return print_table(watcher.all_boxes());
}

} // namespace cli
