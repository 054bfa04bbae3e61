#pragma once

#include "common/LineReader.h"
#include "common/SafeFile.h"
#include "satellite/SatelliteRecord.h"

#include <QCryptographicHash>
#include <QFile>
#include <QList>

#include <memory>

// The satellite table as a text file: one line per row, four fields each followed by a comma, CR LF,
// ISO 8859-1. No header, no quoting. That is what the tool writes, and such a file is read exactly as it
// always was.
//
// A table that went through a spreadsheet comes back in the spreadsheet's own way of writing CSV, and is
// read as such: quoted fields (a field that begins with a double quote ends at the next lone one, and ""
// inside stands for one "), no comma after the last field, LF line ends, ";" between the fields, UTF-8
// (marked by a byte-order mark, or a file that is UTF-8 throughout). What cannot be read as four fields
// is refused with its line: nothing of such a file is used.
namespace satellite_csv {

constexpr int max_lines = 99;
constexpr int max_line_length = 254;

// How a line was read where it differs from the tool's own file (flags; 0: as the tool writes it).
enum Form : unsigned
{
    Own = 0,
    Quoted = 1,        // a field in double quotes
    Semicolons = 2,    // ";" between the fields
    Utf8 = 4,          // UTF-8 text, told by its bytes
    ByteOrderMark = 8, // UTF-8 text, told by the byte-order mark the file starts with
};

// Why a line does not read as four fields.
enum class Problem
{
    None,
    TooFewFields,   // fewer than four fields (an empty line, a cut line, a missing separator)
    OpenQuote,      // a quoted field that does not end on its line
    TextAfterQuote, // a quoted field followed by more than a separator
};

// One line as read: its fields as 8-bit text (the quotes taken off), at least four of them. Further
// fields are ignored.
struct Line
{
    QList<QByteArray> fields;
    unsigned form = Own;
    bool cut = false;  // the file's line was longer than max_line_length: the rest was skipped
    QString lost_name; // the name as the file spelled it, when it held characters that became "?"
};

struct Table
{
    QList<Line> lines;    // at most 99, in file order; empty when refused
    int refused_line = 0; // the first line (from 1) that does not read as four fields; 0: none
    Problem problem = Problem::None;
};

// Every byte of a file as it was read: for a record of what was sent.
struct Digest
{
    QCryptographicHash sha256{QCryptographicHash::Sha256};
    qint64 size = 0;
    bool complete = false; // the file was read to its end without an error
};

// A line's cells: the name cut to 16 characters; the numbers read as the box's firmware tools always
// have (every character but a sign counts as a digit, the last sign wins), wrapped to 16 and 8 bits.
SatelliteCells cells(const Line& line);

// A row as the tool writes it. A cell holding what a line of the file cannot hold (a comma, a CR, an LF,
// a zero byte) has that character written as "?"; replaced tells so. The file's first line cannot begin
// with the three bytes of a UTF-8 byte-order mark (a name read from a box may: "ï»¿" in ISO 8859-1), or the
// file would be read back as UTF-8 without them: the first of them is written as "?" there.
QByteArray format_line(const SatelliteCells& cells, bool* replaced = nullptr, bool first_line = false);

// Reads the first 99 lines of a file, judged together (a file is read in one way throughout).
class Reader
{
public:
    bool open(const QString& path);
    // With digest, the rest of the file is read too, so that it covers every byte of the file.
    Table read(Digest* digest = nullptr);

private:
    QFile file;
};

// Writes a file so that an existing one stays whole until the new one is complete.
class Writer
{
public:
    bool open(const QString& path);
    void write_row(const SatelliteCells& cells);
    // False when anything could not be written; the old file, if any, is then unchanged.
    bool commit();
    // The rows (from 1) in which a character was written as "?" (see format_line).
    const QList<int>& replaced_rows() const { return replaced; }

private:
    SafeFile file;
    int rows = 0;
    QList<int> replaced;
};

} // namespace satellite_csv
