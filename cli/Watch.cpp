#include "cli/Watch.h"

#include "cli/Box.h"
#include "cli/ProductionLog.h"
#include "cli/Terminal.h"
#include "serial/PortNames.h"

#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QRegularExpression>
#include <QThread>

#include <algorithm>

#include <chrono>
#include <cstdio>
#include <map>
#include <thread>

#ifdef Q_OS_WIN
#include <QSerialPortInfo>
#else
#include <QFile>

#include <sys/stat.h>
#endif

namespace cli {
namespace {

// How often the folder is looked at: a plug is seen within this, well inside the 300 ms from a new entry
// to the first byte sent (which the bootloader's own 200 ms pause before its request takes most of).
#ifdef Q_OS_WIN
// Asking Windows for its COM ports costs more than reading a folder.
constexpr int look_every_ms = 100;
#else
constexpr int look_every_ms = 40;
#endif

// A serial device as the folder names it now.
struct Entry
{
    QString name; // as the --match pattern sees it
    Port port;    // the entry's path as the port, the device it stands for
};

// The entries that are serial devices and match; keyed by name and device, so that an entry that comes
// back for another device is a new plug.
std::map<QString, Entry> look(const WatchOptions& options, const QRegularExpression& match)
{
    std::map<QString, Entry> found;
#ifdef Q_OS_WIN
    Q_UNUSED(options);
    for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts()) {
        const QString name = info.portName();
        if (!match.match(name).hasMatch())
            continue;
        const Port port{name, port_names::device_for(name), port_names::identity(name)};
        found.emplace(name + QLatin1Char('\n') + port.identity, Entry{name, port});
    }
#else
    QDirIterator entries(options.folder, QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
    while (entries.hasNext()) {
        const QString path = entries.next();
        const QString name = entries.fileName();
        if (!match.match(name).hasMatch())
            continue;
        // A link whose device is not there (yet) is no device.
        struct stat node
        {
        };
        if (::stat(QFile::encodeName(path).constData(), &node) != 0 || !S_ISCHR(node.st_mode))
            continue;
        const Port port{path, path, port_names::identity(path)};
        found.emplace(name + QLatin1Char('\n') + port.identity, Entry{name, port});
    }
#endif
    return found;
}

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

struct Running
{
    Box* box;
    std::unique_ptr<QThread> thread;
};

// The watch's state between two looks at the folder.
class Watcher
{
public:
    Watcher(const QString& image, const WatchOptions& o, ProductionLog* production_log)
        : image_path(image), options(o), log(production_log),
          match(QRegularExpression::wildcardToRegularExpression(o.match.isEmpty() ? QStringLiteral("*")
                                                                                  : o.match))
    {
    }

    bool watching() const { return !interrupted() && (options.count == 0 || started < options.count); }
    bool busy() const { return !running.empty(); }
    const std::vector<std::unique_ptr<Box>>& all_boxes() const { return boxes; }

    // New entries wait for their turn; an entry that went away is forgotten, so that its next plug counts.
    void look_for_plugs()
    {
        std::map<QString, Entry> now = look(options, match);
        for (const auto& [key, entry] : now) {
            if (present.count(key) == 0 && !(first_look && options.new_only))
                waiting.emplace(key, entry);
        }
        for (auto it = waiting.begin(); it != waiting.end();)
            it = now.count(it->first) == 0 ? waiting.erase(it) : std::next(it);
        present = std::move(now);
        first_look = false;
    }

    // Boxes that ended give their line and free their device.
    void reap()
    {
        for (auto it = running.begin(); it != running.end();) {
            if (!it->box->done) {
                ++it;
                continue;
            }
            it->thread->wait();
            tell_end(*it->box);
            it = running.erase(it);
        }
    }

    // A waiting entry starts once its device is free (a plug during the last box's ending waits for it).
    void start_boxes()
    {
        for (auto it = waiting.begin(); watching() && it != waiting.end();) {
            const QString& device = it->second.port.identity;
            if (std::any_of(running.begin(), running.end(),
                            [&](const Running& r) { return r.box->port.identity == device; })) {
                ++it;
                continue;
            }
            start(it->second.port);
            it = waiting.erase(it);
        }
    }

private:
    void start(const Port& port)
    {
        boxes.push_back(std::make_unique<Box>());
        Box* box = boxes.back().get();
        box->port = port;
        box->log = log;
        box->stop_on_interrupt = false;
        box->serial = adapter_serial(port.name, port.device);
        tell_start(*box);
        const QString image = image_path;
        running.push_back(Running{
            box, std::unique_ptr<QThread>(QThread::create([box, image] { run_box(*box, image, nullptr); }))});
        running.back().thread->start();
        ++started;
    }

    const QString image_path;
    const WatchOptions& options;
    ProductionLog* log;
    const QRegularExpression match;
    std::vector<std::unique_ptr<Box>> boxes;
    std::vector<Running> running;
    std::map<QString, Entry> present;
    std::map<QString, Entry> waiting;
    int started = 0;
    bool first_look = true;
};

} // namespace

int watch_and_flash(const QString& image_path, const WatchOptions& options, ProductionLog* log)
{
    catch_interrupt();
    Watcher watcher(image_path, options, log);
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
        std::this_thread::sleep_for(std::chrono::milliseconds(look_every_ms));
        if (watcher.watching())
            watcher.look_for_plugs();
    }
    release_interrupt();
    return print_table(watcher.all_boxes());
}

} // namespace cli
