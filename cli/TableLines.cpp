#include "cli/TableLines.h"

#include "cli/Terminal.h"
#include "outcome/MessageFor.h"
#include "satellite/SatelliteCheck.h"

#include <cstdio>

using namespace cli;

int cli::read_table_lines(const QString& path, satellite_csv::Table& table, satellite_csv::Digest* digest)
{
    satellite_csv::Reader file;
    if (!file.open(path))
        return tell(Message::CsvCannotOpen, InputUnreadable);
    table = file.read(digest);
    if (table.refused_line > 0) {
        say(csv_refusal_text(path, table));
        return InputRejected;
    }
    for (const CsvNote& note : csv_notes(table)) {
        const QString where = note.line > 0 ? QStringLiteral("%1:%2").arg(path).arg(note.line) : path;
        say(QStringLiteral("%1: %2: %3")
                .arg(where, QLatin1String(note.warning ? "warning" : "note"), note.text));
    }
    return Success;
}

int cli::check_table(const QString& path, const satellite_csv::Table& table, bool print_rows)
{
    int warned = table.rows_beyond > 0 ? 1 : 0;
    for (qsizetype i = 0; i < table.lines.size(); ++i) {
        const int line_number = table.lines[i].number;
        const satellite_check::Row row = satellite_check::check_line(table.lines[i]);
        if (print_rows) {
            const satellite_record::Record& r = row.record;
            const QByteArray name(reinterpret_cast<const char*>(r.data()), satellite_record::name_field);
            const QString form = csv_form_text(table.lines[i].form);
            const QString read_as = form.isEmpty() ? QString() : QStringLiteral("  read as: ") + form;
            cli::print(QString::asprintf(
                "%2d  name %s  position %d  vertical %d  horizontal %d%s\n", line_number,
                name.toHex(' ').constData(), int(std::int16_t(std::uint16_t(r[18] << 8 | r[17]))),
                int(std::int8_t(r[20])), int(std::int8_t(r[19])), qUtf8Printable(read_as)));
        }
        for (const QString& warning : row.warnings) {
            say(QStringLiteral("%1:%2: warning: %3").arg(path).arg(line_number).arg(warning));
            ++warned;
        }
    }
    return warned == 0 ? Success : InputRejected;
}
