#pragma once

#include <QString>
#include <QStringList>

namespace cli {

// Programs the image into every named box at the same time: one thread and one channel per port, one
// progress line per box, then a table of port, outcome, seconds and message. A box that fails never
// disturbs the others. With a trace path, each port has its trace in path.<port>. Returns 0 when every box
// completed, otherwise the highest exit status among the boxes.
int flash_rack(const QString& image_path, const QStringList& ports, const QString& trace_path);

} // namespace cli
