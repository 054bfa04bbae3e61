#include "satellite/SatelliteRecord.h"

#include <cstring>

namespace satellite_record {

namespace {

// QString::toInt keeps only the low 8 bits here, read as a signed byte.
std::int8_t angle(const QString& text, std::int8_t replacement)
{
    const auto value = static_cast<std::int8_t>(static_cast<std::uint8_t>(text.toInt(nullptr, 10) & 0xFF));
    return value > angle_limit || value < -angle_limit ? replacement : value;
}

} // namespace

QByteArray to_8bit(const QString& text)
{
    return text.toLatin1();
}

SatelliteCells decode(const Record& r)
{
    const auto* name = reinterpret_cast<const char*>(r.data());
    // A name field without its zero byte is taken whole, and never read past.
    const auto length = qsizetype(strnlen(name, name_field));
    SatelliteCells cells;
    cells.name = QString::fromLatin1(name, length);
    cells.position = QString::number(static_cast<std::int16_t>(std::uint16_t(r[17] << 8 | r[18])));
    cells.vertical = QString::number(static_cast<std::int8_t>(r[20]));
    cells.horizontal = QString::number(static_cast<std::int8_t>(r[19]));
    return cells;
}

Record encode(const SatelliteCells& cells)
{
    Record r{};
    const QByteArray name = to_8bit(cells.name);
    std::memcpy(r.data(), name.constData(), size_t(qMin<qsizetype>(name.size(), name_length)));
    r[16] = 0x00;
    short position = cells.position.toShort(nullptr, 10);
    if (position > position_limit)
        position = 0;
    r[17] = std::uint8_t(std::uint16_t(position) & 0xFF);
    r[18] = std::uint8_t(std::uint16_t(position) >> 8);
    r[19] = std::uint8_t(angle(cells.horizontal, horizontal_default));
    r[20] = std::uint8_t(angle(cells.vertical, vertical_default));
    return r;
}

} // namespace satellite_record
