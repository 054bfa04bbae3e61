#pragma once

#include "station/Box.h"
#include "station/Port.h"

#include <QRegularExpression>
#include <QString>
#include <QThread>

#include <map>
#include <memory>
#include <optional>
#include <set>
#include <utility>
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
    // A wildcard on the entry's name; empty: every entry. On Windows on the port's name ("COM7") or on its
    // USB serial number, in any case; empty: every USB serial port (the on-board port, Bluetooth serial
    // ports and modems are never taken unless a pattern names them).
    QString match;
    int count = 0; // end after this many boxes; 0: until Ctrl+C
    // Asked of the boxes in progress after each page: true once the program must end within seconds (its
    // console is closing), so that they stop where they are and are recorded. None: they always finish.
    bool (*must_end_soon)() = nullptr;
};

// How often the folder is looked at: a plug is seen within this, well inside the 300 ms from a new entry
// to the first byte sent (which the bootloader's own 200 ms pause before its request takes most of).
#ifdef Q_OS_WIN
// Asking Windows for its COM ports costs more than reading a folder.
constexpr int look_every_ms = 100;
#else
constexpr int look_every_ms = 40;
#endif

#ifndef Q_OS_WIN
// Which node of a device this is: a node made anew under the same name and number (the adapter plugged
// again between two looks) tells apart from the one before. On devtmpfs, where udev makes the nodes, each
// node made has an inode number of its own. Not its status change time there: udev touches a node's times
// at every event for its device (a "change", a trigger after a package's rules are installed), and so does
// a chmod, and a box plugged all along would be flashed again. A pseudo-terminal's node is told by that
// time alone, as devpts gives a terminal's index as its inode number.
qint64 node_instance(unsigned device_major, qint64 inode, qint64 changed_ns);
#endif

// A serial device as the folder names it now.
struct Entry
{
    QString name; // as the --match pattern sees it
    Port port;    // the entry's path as the port (shown with its odd bytes escaped), the device it leads to
    // The adapter's serial number, where the look itself told it (Windows); otherwise looked up per box.
    std::optional<QString> serial;
    // Which node this is, as made (node_instance): a node made anew is a new plug of whatever adapter,
    // though it has the same number. 0 where there is no node (Windows).
    qint64 node_made = 0;
};

// What a watch tells as it goes: each box as it starts and as it ends, and what it leaves alone, once.
class WatchListener
{
public:
    virtual ~WatchListener() = default;
    virtual void started(const Box& box) = 0;
    virtual void ended(const Box& box) = 0;
    // The port of a box that waits for its device to be free (said once per box).
    virtual void port_busy(const Box& box) = 0;
    // name leads to the device of first, a box in this plug already: left alone (said once per plug).
    virtual void second_name(const QString& name, const Port& first) = 0;
    // The folder could not be read (said once until a look succeeds again): nothing changes meanwhile.
    virtual void look_failed(const QString& folder, const QString& reason) = 0;
    // name led to the device of first and now leads to the device of second, both still there: adapters
    // that share one name (no serial number of their own). Said once per name.
    virtual void shared_name(const QString& name, const Port& first, const Port& second) = 0;
};

// A name as the per-box lines and the log show it: valid UTF-8 as it is, every other byte, a control
// character and the backslash escaped ("\n", "\xff", "\\"), so that any name stays on one line.
QString shown_name(const QByteArray& bytes);

// A watch's state between two looks at the folder: it flashes the image into each serial device as it
// appears, once per plug, one thread and one channel per box, as a rack does.
class Watcher
{
public:
    // stopping: the watch is asked to end (it then starts no box and lets those in progress finish).
    Watcher(const QString& image, const WatchOptions& o, ProductionLog* production_log, bool (*stopping)(),
            WatchListener& listener);

    bool watching() const;
    bool busy() const { return !running.empty(); }
    const std::vector<std::unique_ptr<Box>>& all_boxes() const { return boxes; }

    // A plug is a device (not a name): a device that appears waits for its turn, under the first of its
    // names; a device that went away (its node gone, or made anew) is forgotten, so that its next plug
    // counts. A device that no name leads to for a while (a folder made anew, a name that udev moved to
    // another adapter) is still the same plug while its node stays.
    void look_for_plugs();
    // Boxes that ended are told and free their device.
    void reap();
    // A waiting device starts once it is free (a plug during the last box's ending waits for it); each box
    // is told as its thread starts, before its end is.
    void start_boxes();

private:
    struct Running
    {
        Box* box;
        std::unique_ptr<QThread> thread;
        bool busy_told = false;
    };

    void start(const Entry& entry);

    const QString image_path;
    const WatchOptions& options;
    ProductionLog* log;
    bool (*stop)();
    WatchListener& tell;
    const QRegularExpression match;
    std::vector<std::unique_ptr<Box>> boxes;
    std::vector<Running> running;
    // Keyed by the device's identity.
    std::map<QString, Entry> present;
    std::map<QString, Entry> waiting;
    // The second names said, each with its device's identity, for as long as that device stays.
    std::set<std::pair<QString, QString>> said_second;
    // The device each name led to at the last look, and the names said to be shared.
    std::map<QString, QString> device_of_name;
    std::set<QString> said_shared;
    bool look_failing = false;
    int started_count = 0;
    bool first_look = true;
};

} // namespace station
