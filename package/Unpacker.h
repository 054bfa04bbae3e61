#pragma once

#include "update/BinImage.h"
#include "update/Identity.h"

#include <QString>

#include <array>
#include <cstdint>

// The way back from a BIN image to S-records, for a firmware engineer who receives an image from someone
// else: line 0 of each page decrypted with the inverse page cipher, every line checksum and page header
// checked. The image is read and the S19 written one record at a time, whatever the image's size.
namespace unpacker {

struct Page
{
    int base; // from the record's header
    std::array<std::uint8_t, bin_image::page_size> bytes;
};

// A record's firmware bytes, line 0 decrypted.
Page plain_page(const bin_image::Record& record);

// The lowest and highest address of the page whose byte is not 0xFF; false when every byte is.
bool used_range(const Page& page, int& first, int& last);

enum class Outcome
{
    Done,
    CannotOpen,
    TooShort,      // not even the identity block
    BadChecksum,   // at record, line
    BadHeader,     // at record: no page base (an odd high byte or a low byte other than 0x00)
    PartialRecord, // trailing bytes after the last whole record
    Unreachable,   // at record, address: a byte in the identity area that no S1 record can give back
    WriteFailed,
};

struct Result
{
    Outcome outcome = Outcome::Done;
    int record = -1; // counting from 0
    int line = -1;   // counting from 0, for BadChecksum
    int base = -1;   // the damaged record's header, high byte first
    int address = -1;
    qint64 trailing_bytes = 0;
    int record_count = 0;
    Identity identity{};
};

// The image as an S19 file: an S0 header, the identity record at 0x3100, each record's 512 bytes as S1
// records of 32 bytes in the image's order, an S9. Packing that file gives the image back. A record that is
// followed by one for the same page is left out (the box writes that page again at once, so it shapes
// nothing). The bytes a page holds in the identity area (0x3100-0x31FF), which the packager takes only
// from records that start below it, go into one record that starts below 0x3100.
// Nothing is written unless the whole image is sound; an old file then stays as it was.
Result unpack(const QString& bin_path, const QString& s19_path);

} // namespace unpacker
