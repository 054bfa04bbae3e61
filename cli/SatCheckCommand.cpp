#include "cli/Commands.h"
#include "cli/TableLines.h"
#include "cli/Terminal.h"

#include <QCommandLineParser>

using namespace cli;

int commands::sat_check(const QStringList& arguments)
{
    QCommandLineParser parser;
    parser.addPositionalArgument(
        QStringLiteral("FILE.csv"),
        QStringLiteral("The satellite table, as the window or a spreadsheet saves it."));
    int status = Success;
    if (!parse(
            parser, arguments,
            QStringLiteral("Reads a CSV file as \"Read from file\" does, prints each row as the box will "
                           "receive it (the 17 name bytes, position, vertical, horizontal, and how the line "
                           "was read when a spreadsheet wrote it: quoted, \";\" between the fields, UTF-8) "
                           "and warns, with the line, wherever a cell is changed on the way; notes a header "
                           "that is skipped. Exits 5 when it warned (rows beyond the 99th included), or when "
                           "a line cannot be read."),
            1, status))
        return status;
    const QString path = parser.positionalArguments().at(0);
    satellite_csv::Table table;
    if (const int read = read_table_lines(path, table))
        return read;
    return check_table(path, table, true);
}
