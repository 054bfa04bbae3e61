// Arbitrary bytes as a satellite CSV file: at most 99 rows of four fields or a refusal naming a line of the
// file, names of at most 16 characters; what the tool writes of the rows reads back as the same rows (but
// for the "?" written for a comma, CR, LF or zero byte).
#include "FuzzSupport.h"
#include "satellite/SatelliteCsv.h"

#include <cstdlib>

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    prepare_fuzzing();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    satellite_csv::Reader reader;
    if (!reader.open(bytes_to_file(data, size)))
        std::abort();
    const satellite_csv::Table table = reader.read();
    if (table.refused_line > 0) {
        // A header line may come before the 99 rows.
        if (!table.lines.isEmpty() || table.refused_line > satellite_csv::max_lines + 1)
            std::abort();
        return 0;
    }
    if (table.lines.size() > satellite_csv::max_lines)
        std::abort();
    QByteArray written;
    for (const satellite_csv::Line& line : table.lines) {
        const SatelliteCells cells = satellite_csv::cells(line);
        if (line.fields.size() < 4 || cells.name.size() > 16)
            std::abort();
        // What was read goes to the box as a record and comes back as the same numbers.
        const SatelliteCells again = satellite_record::decode(satellite_record::encode(cells));
        if (again.vertical.toInt() < -90 || again.vertical.toInt() > 90)
            std::abort();
        written += satellite_csv::format_line(cells, nullptr, written.isEmpty());
    }
    // The tool's own file of those rows is read back as the same rows.
    satellite_csv::Reader back;
    if (!back.open(bytes_to_file(reinterpret_cast<const std::uint8_t*>(written.constData()),
                                 std::size_t(written.size()))))
        std::abort();
    const satellite_csv::Table again = back.read();
    if (again.refused_line > 0 || again.lines.size() != table.lines.size())
        std::abort();
    for (qsizetype i = 0; i < table.lines.size(); ++i) {
        SatelliteCells a = satellite_csv::cells(table.lines[i]);
        const SatelliteCells b = satellite_csv::cells(again.lines[i]);
        // but for what a line of the file cannot hold, written as "?"
        for (const char c : {',', '\r', '\n', '\0'})
            a.name.replace(QLatin1Char(c), QLatin1Char('?'));
        // and for the first byte of a byte-order mark that the file's first line would begin with
        for (const char* mark : {"\xEF\xBB\xBF", "\xFF\xFE", "\xFE\xFF"}) {
            if (i == 0 && a.name.startsWith(QString::fromLatin1(mark)))
                a.name[0] = QLatin1Char('?');
        }
        if (a.name != b.name || a.position != b.position || a.vertical != b.vertical ||
            a.horizontal != b.horizontal)
            std::abort();
    }
    return 0;
}
