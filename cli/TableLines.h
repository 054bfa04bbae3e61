#pragma once

#include "satellite/SatelliteCsv.h"

#include <QString>

namespace cli {

// The lines of a CSV table that the box would get (at most 99), read once: what is checked is what is
// sent. With digest, every byte of the file goes through it as it is read. Says what the reading tells
// beside the rows (a header skipped, rows beyond the 99th). Success, InputUnreadable, or InputRejected for
// a file that does not read as a table (with its line said).
int read_table_lines(const QString& path, satellite_csv::Table& table,
                     satellite_csv::Digest* digest = nullptr);

// Checks a CSV table's lines on their way into the box (printing each row as the box receives it, and how
// a line was read where not as the tool writes its own file, when asked), and warns on standard error
// wherever a cell is changed. Success, or InputRejected when it warned or rows beyond the 99th are left out.
int check_table(const QString& path, const satellite_csv::Table& table, bool print_rows);

} // namespace cli
