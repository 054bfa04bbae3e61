#include "cli/Cli.h"
#include "cli/Commands.h"
#include "satellite/SatelliteCheck.h"
#include "satellite/SatelliteCsv.h"

#include <QCommandLineParser>

#include <cstdio>

using namespace cli;

int cli::check_table(const QString& path, bool print_rows)
{
    satellite_csv::Reader file;
    if (!file.open(path))
        return tell(Message::CsvCannotOpen, InputUnreadable);
    int line_number = 0;
    int warned = 0;
    QByteArray line;
    while (file.next_line(line)) {
        ++line_number;
        const satellite_check::Row row = satellite_check::check_line(line, file.line_cut());
        if (print_rows) {
            const satellite_record::Record& r = row.record;
            const QByteArray name(reinterpret_cast<const char*>(r.data()), satellite_record::name_field);
            std::printf("%2d  name %s  position %d  vertical %d  horizontal %d\n", line_number,
                        name.toHex(' ').constData(), int(std::int16_t(std::uint16_t(r[18] << 8 | r[17]))),
                        int(std::int8_t(r[20])), int(std::int8_t(r[19])));
        }
        for (const QString& warning : row.warnings) {
            say(QStringLiteral("%1:%2: warning: %3").arg(path).arg(line_number).arg(warning));
            ++warned;
        }
    }
    return warned == 0 ? Success : InputRejected;
}

int commands::sat_check(const QStringList& arguments)
{
    QCommandLineParser parser;
    parser.addPositionalArgument(QStringLiteral("FILE.csv"),
                                 QStringLiteral("The satellite table, as the window saves it."));
    int status = Success;
    if (!parse(
            parser, arguments,
            QStringLiteral("Reads a CSV file as \"Read from file\" does, prints each row as the box will "
                           "receive it (the 17 name bytes, position, vertical, horizontal) and warns, with "
                           "the line, wherever a cell is changed on the way. Exits 5 when it warned."),
            1, status))
        return status;
    return check_table(parser.positionalArguments().at(0), true);
}
