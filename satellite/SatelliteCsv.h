#pragma once

#include "common/LineReader.h"
#include "common/SafeFile.h"
#include "satellite/SatelliteRecord.h"

#include <QCryptographicHash>
#include <QFile>
#include <QList>

#include <memory>
#include <optional>

// The satellite table as a text file: one line per row, four fields each followed by a comma, CR LF,
// ISO 8859-1. No header, no quoting. That is what the tool writes, and such a file is read as it always
// was: a file the tool wrote reads back as the table it saved.
//
// A table that went through a spreadsheet, a script or an editor comes back in their ways of writing CSV,
// and is read as such: a header line (skipped and told), quoted fields (a field that begins with a double
// quote ends at the next lone one, and "" inside stands for one "), no comma after the last field, notes
// columns after the fourth, LF, CR LF, CR CR LF or CR line ends, ";" or tabs between the fields, UTF-8
// (marked by a byte-order mark, or a file that is UTF-8 throughout), UTF-16 with its byte-order mark,
// Windows-1252. Numbers must then be plain numbers. What cannot be read is refused with its line: nothing
// of such a file is used.
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
    Tabs = 16,         // tabs between the fields
    Utf16 = 32,        // UTF-16 text, told by its byte-order mark
    Windows1252 = 64,  // 8-bit text whose bytes 0x80-0x9F are Windows-1252 characters
    CrLineEnds = 128,  // lines end with a CR alone
};

// Why a line is not read.
enum class Problem
{
    None,
    TooFewFields,   // fewer than four fields (an empty line, a cut line, a missing separator)
    OpenQuote,      // a quoted field that does not end on its line
    TextAfterQuote, // a quoted field followed by more than a separator
    LongLine,       // longer than max_line_length, and its fields do not lie within them
    NotANumber,     // a number field that is not a plain number (refused_field, refused_text)
    Ambiguous,      // ";" and commas between what could be fields, in a file not read as a ";" file
};

// One line as read: its fields as 8-bit text (the quotes taken off), at least four of them. Further
// fields are ignored. Outside the tool's own form the number fields hold a sign and digits only.
struct Line
{
    QList<QByteArray> fields;
    unsigned form = Own;
    int number = 0;    // the line of the file, from 1
    bool cut = false;  // the file's line was longer than max_line_length: the rest was skipped
    QString lost_name; // the name as the file spelled it, when it held characters that became "?"
};

struct Table
{
    QList<Line> lines;    // at most 99, in file order; empty when refused
    int refused_line = 0; // the first line (from 1) that is not read; 0: none
    Problem problem = Problem::None;
    int refused_field = 0; // with NotANumber: 1 position, 2 vertical, 3 horizontal
    QString refused_text;  // with NotANumber: the field as the file spells it
    QString header;        // the first line, skipped as a header; empty: none
    int rows_beyond = 0;   // rows after the 99th, which the box has no entries for: not read
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

// A number as a person writes it: spaces, an optional sign, digits, optionally a decimal point (a comma in
// a ";" file) followed by zeros only, spaces. Gives the sign and digits, empty for an empty field; nullopt
// for anything else.
std::optional<QByteArray> plain_number(const QByteArray& field, bool decimal_comma);

// A row as the tool writes it, so that it reads back as the same row. A cell holding what a line of the
// file cannot hold (a comma, a CR, an LF, a zero byte) has that character written as "?"; replaced tells
// so. A name that begins with a double quote is written in quotes (else one holding "" would be read as a
// quoted field). The file's first line cannot begin with a byte-order mark (a name read from a box may:
// "ï»¿" or "ÿþ" in ISO 8859-1), or the file would be read back as UTF-8 or UTF-16: the first of its bytes
// is written as "?" there; nor look like a header, or it would be skipped: a "0" goes before a position
// that holds letters and no digit there (the number it reads as is the same).
QByteArray format_line(const SatelliteCells& cells, bool* replaced = nullptr, bool first_line = false);

// Text from a file for a message: control characters are shown escaped ("\r", "\x1b"), never sent to a
// terminal or a message box as they are.
QString printable(const QString& text);

// Reads the first 99 lines of a file, judged together (a file is read in one way throughout).
class Reader
{
public:
    bool open(const QString& path);
    // The file is read to its end (the rows beyond the 99th are counted); digest, when given, sees every
    // byte as it is read.
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
