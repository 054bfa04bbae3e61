#pragma once

#include <QString>

#include <array>
#include <cstdint>

// One entry of the box's satellite table as the grid shows it: four cell texts.
struct SatelliteCells
{
    QString name;
    QString position;
    QString vertical;
    QString horizontal;
};

// The 21-byte record of an entry: name (16 characters and a zero byte, ISO 8859-1), Position (signed
// 16-bit), Horizontal, Vertical (signed 8-bit). The box sends Position high byte first and expects it low
// byte first.
namespace satellite_record {

constexpr int size = 21;
constexpr int name_field = 17;
constexpr int name_length = 16;
constexpr int position_limit = 3999;
constexpr int angle_limit = 90;
constexpr std::int8_t vertical_default = 45;
constexpr std::int8_t horizontal_default = -45;

using Record = std::array<std::uint8_t, size>;

// A record from the box as cell texts.
SatelliteCells decode(const Record& record);

// Cell texts as a record for the box. Values the box cannot take are replaced in the bytes only: a
// Position above 3999 by 0, angles outside -90..90 by 45 (Vertical) and -45 (Horizontal).
Record encode(const SatelliteCells& cells);

// Text as the box and the CSV file hold it: one byte per character, "?" for what ISO 8859-1 cannot hold.
QByteArray to_8bit(const QString& text);

} // namespace satellite_record
