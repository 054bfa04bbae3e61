#pragma once

#include <QString>

namespace cli {

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

// Flashes the image into each serial device as it appears, once per plug: one thread and one channel per
// box, as a rack. A line per box as it starts and ends, the rack's table at the end; Ctrl+C ends the watch
// after the boxes in progress. Returns the highest exit status among the boxes.
int watch_and_flash(const QString& image_path, const WatchOptions& options, ProductionLog* log);

} // namespace cli
