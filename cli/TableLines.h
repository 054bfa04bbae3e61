#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

namespace cli {

// The lines of a CSV table that the box would get (at most 99), read once: what is checked is what is sent.
struct TableLines
{
    QList<QByteArray> lines;
    QList<bool> cut; // the line was longer than the reader takes
};
// Success, or InputUnreadable with the message said.
int read_table_lines(const QString& path, TableLines& table);

// Checks a CSV table's lines on their way into the box (printing each row as the box receives it when
// asked), and warns on standard error wherever a cell is changed. Success, or InputRejected when it warned.
int check_table(const QString& path, const TableLines& table, bool print_rows);

} // namespace cli
