#include "satellite/SatelliteCsv.h"

#include "common/InputFile.h"

#include <cstdint>

namespace satellite_csv {

namespace {

// Reads one numeric field from position j up to the next comma or the end of the line, in the width of T:
// every character other than a sign counts as a digit (its code minus "0"), the last sign wins.
template <typename T> T number_field(const QByteArray& line, qsizetype& j)
{
    using U = std::make_unsigned_t<T>;
    U value = 0;
    bool minus = false;
    for (; j < line.size() && line[j] != ','; ++j) {
        const auto c = static_cast<std::uint8_t>(line[j]);
        if (c == '-')
            minus = true;
        else if (c == '+')
            minus = false;
        else
            value = U(value * 10 + U(c - 0x30));
    }
    if (j < line.size())
        ++j; // over the comma
    return static_cast<T>(minus ? U(0 - value) : value);
}

} // namespace

SatelliteCells parse_line(const QByteArray& text)
{
    // A zero byte ends the line, as it ends the text of a line buffer.
    const qsizetype nul = text.indexOf('\0');
    const QByteArray line = nul < 0 ? text : text.left(nul);

    qsizetype j = 0;
    QByteArray name;
    while (j < line.size() && line[j] != ',' && name.size() < satellite_record::name_length)
        name.append(line[j++]);
    while (j < line.size() && line[j] != ',')
        ++j;
    if (j < line.size())
        ++j;

    SatelliteCells cells;
    cells.name = QString::fromLatin1(name);
    cells.position = QString::number(number_field<std::int16_t>(line, j));
    cells.vertical = QString::number(number_field<std::int8_t>(line, j));
    cells.horizontal = QString::number(number_field<std::int8_t>(line, j));
    return cells;
}

QByteArray format_line(const SatelliteCells& cells)
{
    QByteArray line;
    for (const QString* cell : {&cells.name, &cells.position, &cells.vertical, &cells.horizontal})
        line += satellite_record::to_8bit(*cell) + ',';
    return line + "\r\n";
}

bool Reader::open(const QString& path)
{
    file.setFileName(path);
    if (!open_input(file))
        return false;
    lines = std::make_unique<LineReader>(file, max_line_length);
    return true;
}

bool Reader::next_line(QByteArray& line)
{
    return lines && lines->lines_read() < max_lines && lines->next(line);
}

bool Reader::next(SatelliteCells& cells)
{
    QByteArray line;
    if (!next_line(line))
        return false;
    cells = parse_line(line);
    return true;
}

bool Writer::open(const QString& path)
{
    return file.open(path);
}

void Writer::write_row(const SatelliteCells& cells)
{
    file.write(format_line(cells));
}

bool Writer::commit()
{
    return file.commit();
}

} // namespace satellite_csv
