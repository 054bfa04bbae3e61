#pragma once

#include "common/LineReader.h"
#include "common/SafeFile.h"
#include "satellite/SatelliteRecord.h"

#include <QFile>

#include <memory>

// The satellite table as a text file: one line per row, four fields each followed by a comma, CR LF,
// ISO 8859-1. No header, no quoting.
namespace satellite_csv {

constexpr int max_lines = 99;
constexpr int max_line_length = 254;

// One line as the cells of a row: the name cut to 16 characters, the numbers wrapped to 16 and 8 bits.
// Missing fields count as empty (0).
SatelliteCells parse_line(const QByteArray& line);
QByteArray format_line(const SatelliteCells& cells);

// Reads at most 99 lines of a file.
class Reader
{
public:
    bool open(const QString& path);
    // The next row's cells; false after the 99th line or at the end of the file.
    bool next(SatelliteCells& cells);
    // The same line as it stands in the file (cut at max_line_length), before it becomes cells.
    bool next_line(QByteArray& line);
    // The line last returned was longer than max_line_length.
    bool line_cut() const { return lines && lines->truncated(); }

private:
    QFile file;
    std::unique_ptr<LineReader> lines;
};

// Writes a file so that an existing one stays whole until the new one is complete.
class Writer
{
public:
    bool open(const QString& path);
    void write_row(const SatelliteCells& cells);
    // False when anything could not be written; the old file, if any, is then unchanged.
    bool commit();

private:
    SafeFile file;
};

} // namespace satellite_csv
