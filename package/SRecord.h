#pragma once

#include "update/Identity.h"

#include <QByteArray>
#include <QString>

#include <cstdint>

// Motorola S-record lines with 16-bit addresses (S19), read by fixed character positions: type digit at
// character 2, byte count at 3-4, address at 5-8, data from 9 on (counting from 1).
namespace srecord {

// Longest line read whole. An S1 record holds at most 252 data bytes: 2 + 2 + 4 + 504 + 2 = 514 characters.
constexpr int max_line_length = 1024;
// The identity block is the first data of the record at this address; records starting in the area up to
// identity_area_end are no part of the pages.
constexpr std::uint16_t identity_address = 0x3100;
constexpr std::uint16_t identity_area_end = 0x31FF;

// The most data bytes one S1 record carries: its count byte (255 at most) also counts the address and the
// checksum.
constexpr int max_data_bytes = 252;

// Hex digits of either case; any other character counts with its character code.
std::uint8_t hex_pair_to_byte(char c1, char c2);
std::uint16_t bytes_to_word(std::uint8_t high, std::uint8_t low);

struct Fields
{
    int type; // the type digit's value
    std::uint8_t byte_count;
    std::uint8_t address_high;
    std::uint8_t address_low;
    std::uint16_t address;
    int data_count() const { return byte_count - 3; } // none when 3 or less
};

Fields decode(const QByteArray& line);
std::uint8_t data_byte(const QByteArray& line, int index);

enum class Kind
{
    Data,        // S1: firmware bytes at a 16-bit address
    Unsupported, // S2, S3: 24- and 32-bit addresses, which this firmware cannot have
    Other,       // blank lines, headers, counts, termination records
};
Kind kind_of(const QByteArray& line);

// An S1 record that can be trusted: "S1", hex digits only, a byte count that matches the line's length,
// and a checksum that holds.
bool is_sound(const QByteArray& line);

// One S-record line, its count and checksum computed, upper-case hex, CR LF: type '0', '1' or '9', a 16-bit
// address and at most max_data_bytes of data.
QByteArray encode(char type, std::uint16_t address, const std::uint8_t* data, int count);

enum class IdentityOutcome
{
    Found,
    CannotOpen,
    Missing,
    BadRecord,
    UnsupportedRecords, // S2 or S3 records: the identity is not looked for, the file cannot be packaged
};
struct IdentitySearch
{
    IdentityOutcome outcome;
    Identity config; // the identity block; bytes the record does not give keep their earlier value
    int line;        // of the record, counting from 1
};

// Finds the identity record of an S19 file, starting at its first S1 record. A file with S2 or S3 records
// is refused first: a tool chain that writes those has no S1 identity record to find, and the user should
// hear about the format rather than look for a missing identity.
IdentitySearch find_identity(const QString& path, const Identity& earlier);

} // namespace srecord
