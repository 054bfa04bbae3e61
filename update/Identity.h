#pragma once

#include <QString>

#include <array>
#include <cstdint>

// The firmware identity block: 4 bytes naming build date, version, MCU and product model. It sits at
// address 0x3100 of the firmware, at the head of every BIN image, and is what the bootloader judges.
using Identity = std::array<std::uint8_t, 4>;

struct IdentityTexts
{
    QString model;
    QString mcu;
    QString date;
    QString version;
};

IdentityTexts decode_identity(const Identity& identity);
