#pragma once

#include "station/Watch.h"

#include <QString>

namespace cli {

using station::ProductionLog;
using station::WatchOptions;

// Flashes the image into each serial device as it appears, once per plug: one thread and one channel per
// box, as a rack. A line per box as it starts and ends, the rack's table at the end; Ctrl+C ends the watch
// after the boxes in progress. Returns the highest exit status among the boxes.
int watch_and_flash(const QString& image_path, const WatchOptions& options, ProductionLog* log);

} // namespace cli
