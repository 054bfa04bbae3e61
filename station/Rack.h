#pragma once

#include "station/Box.h"

#include <QString>
#include <QStringList>
#include <QThread>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace station {

using Boxes = std::vector<std::unique_ptr<Box>>;

// A name for each port's trace, told apart: "COM3" stays "COM3"; a device path gives its last part
// ("ttyUSB0"), or, where two ports end alike (/run/a/tty, /run/b/tty), its whole path ("run_a_tty"); a
// number is added while a name is still taken.
QStringList trace_suffixes(const QStringList& ports);

// Opens every box's trace at trace_path.<suffix>, or none: a file made here is removed again when a later
// one cannot be opened, and no file is emptied before all of them could be opened. Returns the file that
// could not be opened; none when all were.
std::optional<QString> open_traces(Boxes& boxes, const QString& trace_path, const QString& image_path);

// Flashes every box at the same time, one thread and one channel per box; a box that fails never disturbs
// the others. QThreads, not bare threads: each port's notifiers must live in a thread Qt knows.
std::vector<std::unique_ptr<QThread>> start_boxes(const Boxes& boxes, const QString& image_path);

// Waits for every box to end, calling show every 200 ms and once at the end. Once stopping() holds each box
// gets the time a page may still take (its lines and the box's slowest page write, 2.5 s, with room); one
// still busy then is left behind, so that the wait ends within a bound whatever a port does (five seconds
// from the stop). True when every box ended by itself.
bool await_boxes(const Boxes& boxes, const std::function<void()>& show, bool (*stopping)());

} // namespace station
