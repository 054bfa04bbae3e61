#pragma once

#include "station/Box.h"
#include "station/Port.h"

#include <QRegularExpression>
#include <QString>
#include <QThread>

#include <functional>
#include <map>
#include <memory>
#include <vector>

namespace station {

class ProductionLog;

// What a watch looks at.
struct WatchOptions
{
    // The folder whose entries are (links to) serial devices; outside Windows /dev/serial/by-id by default,
    // where udev names each USB serial adapter when it is plugged. On Windows the system's COM ports.
    QString folder;
    bool new_only = false; // devices present at the start are left alone
    QString match;         // a wildcard on the entry's name; empty: every entry
    int count = 0;         // end after this many boxes; 0: until Ctrl+C
};

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

// A watch's state between two looks at the folder: it flashes the image into each serial device as it
// appears, once per plug, one thread and one channel per box, as a rack does.
class Watcher
{
public:
    // stopping: the watch is asked to end (it then starts no box and lets those in progress finish).
    Watcher(const QString& image, const WatchOptions& o, ProductionLog* production_log, bool (*stopping)());

    bool watching() const;
    bool busy() const { return !running.empty(); }
    const std::vector<std::unique_ptr<Box>>& all_boxes() const { return boxes; }

    // New entries wait for their turn; an entry that went away is forgotten, so that its next plug counts.
    void look_for_plugs();
    // Boxes that ended are told to ended and free their device.
    void reap(const std::function<void(const Box&)>& ended);
    // A waiting entry starts once its device is free (a plug during the last box's ending waits for it); each
    // box is told to started before its thread runs.
    void start_boxes(const std::function<void(const Box&)>& started);

private:
    struct Running
    {
        Box* box;
        std::unique_ptr<QThread> thread;
    };

    void start(const Port& port, const std::function<void(const Box&)>& started);

    const QString image_path;
    const WatchOptions& options;
    ProductionLog* log;
    bool (*stop)();
    const QRegularExpression match;
    std::vector<std::unique_ptr<Box>> boxes;
    std::vector<Running> running;
    std::map<QString, Entry> present;
    std::map<QString, Entry> waiting;
    int started_count = 0;
    bool first_look = true;
};

} // namespace station
