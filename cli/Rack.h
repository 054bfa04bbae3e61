#pragma once

#include "cli/Ports.h"
#include "station/Box.h"

#include <QList>
#include <QString>

#include <memory>
#include <optional>
#include <vector>

namespace cli {

using station::ProductionLog;

// Success when the image can be flashed at all; otherwise InputUnreadable, with the message said.
int check_image(const QString& image_path);

// Programs the image (checked) into every given box at the same time, one thread and one channel per box; a
// box that fails never disturbs the others. Each box goes the same way: its image, its port, the bootloader,
// its outcome. One box is shown as a terminal job (its phases, a progress bar, the status line and the
// message), with its trace at trace_path; several as one progress line per box and then a table of port,
// outcome, seconds and message, each trace at trace_path.<port>. With a log, each box's job is a record
// in it. Returns the box's exit status, or the
// highest among the boxes.
int flash_rack(const QString& image_path, const QList<Port>& ports, const std::optional<QString>& trace_path,
               ProductionLog* log);

// The end of a rack or a watch: a table of port, outcome, seconds and message on standard output; the
// highest exit status among the boxes.
int print_table(const std::vector<std::unique_ptr<station::Box>>& boxes);

} // namespace cli
