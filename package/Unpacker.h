#pragma once

#include "update/BinImage.h"
#include "update/Identity.h"

#include <QString>

#include <array>
#include <cstdint>
#include <vector>

// The way back from a BIN image to S-records, for a firmware engineer who receives an image from someone
// else: line 0 of each page decrypted with the inverse page cipher, every line checksum checked.
namespace unpacker {

struct Page
{
    int base; // from the record's header
    std::array<std::uint8_t, bin_image::page_size> bytes;
};

enum class Outcome
{
    Done,
    CannotOpen,
    TooShort,      // not even the identity block
    BadChecksum,   // at record, line
    PartialRecord, // trailing bytes after the last whole record
};

struct Image
{
    Identity identity{};
    std::vector<Page> pages; // one per record, in the image's order
};

struct Result
{
    Outcome outcome = Outcome::Done;
    int record = -1; // counting from 0, for BadChecksum
    int line = -1;   // counting from 0
    qint64 trailing_bytes = 0;
};

// Reads and decrypts every whole record, even past damage; the result names the first damage.
Result read_image(const QString& path, Image& image);

// The lowest and highest address of the page whose byte is not 0xFF; false when every byte is.
bool used_range(const Page& page, int& first, int& last);

// The image as an S19 file: an S0 header, the identity record at 0x3100, each page's 512 bytes as S1
// records of 32 bytes in the image's order, an S9. A page visited more than once is written where its first
// visit stands, with the bytes of its last (the box's flash ends the same). False when it could not be
// written whole (an old file is then kept).
bool write_s19(const Image& image, const QString& path);

} // namespace unpacker
