#include "satellite/SatelliteCheck.h"

#include "satellite/SatelliteCsv.h"

#include <QList>
#include <QStringDecoder>

#include <limits>

namespace satellite_check {
namespace {

struct Field
{
    const char* name;
    qint64 low;
    qint64 high;
};

// The three numbers in the order of the file, with the range each is read into.
constexpr Field numbers[] = {
    {"position", std::numeric_limits<std::int16_t>::min(), std::numeric_limits<std::int16_t>::max()},
    {"vertical", std::numeric_limits<std::int8_t>::min(), std::numeric_limits<std::int8_t>::max()},
    {"horizontal", std::numeric_limits<std::int8_t>::min(), std::numeric_limits<std::int8_t>::max()},
};

QString quoted(const QByteArray& bytes)
{
    return QLatin1Char('"') + satellite_csv::printable(QString::fromLatin1(bytes)) + QLatin1Char('"');
}

// Bytes above 0x7F that read as UTF-8: the file was saved as UTF-8, and the box would show each byte as a
// character of its own.
bool looks_like_utf8(const QByteArray& bytes)
{
    bool high = false;
    for (const char c : bytes)
        high = high || static_cast<unsigned char>(c) > 0x7F;
    if (!high)
        return false;
    QStringDecoder utf8(QStringDecoder::Utf8);
    const QString text = utf8.decode(bytes);
    return !utf8.hasError() && !text.isEmpty();
}

void check_name(const QByteArray& field, const QString& lost, QStringList& warnings)
{
    if (!lost.isEmpty()) {
        bool wide = false;
        for (const uint c : lost.toUcs4())
            wide = wide || c > 0xFF;
        const char* what = !wide                              ? "a CR"
                           : lost.contains(QLatin1Char('\r')) ? "characters outside ISO 8859-1 and a CR"
                                                              : "characters outside ISO 8859-1";
        warnings << QStringLiteral("name \"%1\" holds %2: sent as %3")
                        .arg(satellite_csv::printable(lost), QLatin1String(what), quoted(field));
    }
    if (field.size() > satellite_record::name_length)
        warnings << QStringLiteral("name %1 is cut to %2 bytes: %3")
                        .arg(quoted(field))
                        .arg(satellite_record::name_length)
                        .arg(quoted(field.left(satellite_record::name_length)));
    if (looks_like_utf8(field))
        warnings << QStringLiteral(
                        "name %1 holds characters outside ISO 8859-1 (UTF-8 \"%2\"); the box shows "
                        "each byte as a character")
                        .arg(quoted(field), satellite_csv::printable(QString::fromUtf8(field)));
}

// The value the digits stand for, before the reader wraps it (as the reader does, every character other
// than a sign counts as a digit).
void check_number(const Field& f, const QByteArray& field, const QString& wrapped, QStringList& warnings)
{
    constexpr qint64 limit = qint64(1) << 40;
    qint64 value = 0;
    bool minus = false;
    bool number = true;
    for (const char c : field) {
        if (c == '-' || c == '+') {
            minus = c == '-';
            continue;
        }
        number = number && c >= '0' && c <= '9';
        // Characters below "0" count negative: the value may run away in either direction.
        value = qBound(-limit, value * 10 + (static_cast<unsigned char>(c) - '0'), limit);
    }
    if (!number)
        warnings << QStringLiteral("%1 %2 is not a number").arg(QLatin1String(f.name), quoted(field));
    if (minus)
        value = -value;
    if (value < f.low || value > f.high)
        warnings << QStringLiteral("%1 %2 wraps to %3").arg(QLatin1String(f.name)).arg(value).arg(wrapped);
}

} // namespace

Row check_line(const satellite_csv::Line& line)
{
    Row row;
    if (line.cut)
        row.warnings << QStringLiteral("line is longer than %1 characters; the rest is skipped")
                            .arg(satellite_csv::max_line_length);
    const SatelliteCells cells = satellite_csv::cells(line);
    row.record = satellite_record::encode(cells);
    const QList<QByteArray>& fields = line.fields;
    check_name(fields.value(0), line.lost_name, row.warnings);
    const QString* wrapped[] = {&cells.position, &cells.vertical, &cells.horizontal};
    for (int i = 0; i < 3; ++i)
        check_number(numbers[i], fields.value(i + 1), *wrapped[i], row.warnings);

    const int position = cells.position.toInt();
    if (position > satellite_record::position_limit)
        row.warnings << QStringLiteral("position %1 is above %2: sent as 0")
                            .arg(position)
                            .arg(satellite_record::position_limit);
    const QString* angles[] = {&cells.vertical, &cells.horizontal};
    const int replacements[] = {satellite_record::vertical_default, satellite_record::horizontal_default};
    for (int i = 0; i < 2; ++i) {
        const int value = angles[i]->toInt();
        if (value < -satellite_record::angle_limit || value > satellite_record::angle_limit)
            row.warnings << QStringLiteral("%1 %2 is outside -%3..%3: sent as %4")
                                .arg(QLatin1String(numbers[i + 1].name))
                                .arg(value)
                                .arg(satellite_record::angle_limit)
                                .arg(replacements[i]);
    }
    return row;
}

} // namespace satellite_check
