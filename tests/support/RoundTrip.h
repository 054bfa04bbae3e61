#pragma once

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <cstdint>

// The promise of unpack: for every image that the packager can make, packing the unpacked S19 gives the
// same image. Shared by the property test and its fuzz target.
namespace round_trip {

// S19 firmware drawn from a stream of bytes (random or a fuzzer's), with the shapes that strain the page
// logic: pages visited out of order and again, records crossing page boundaries, records running into the
// identity area at 0x3100 or starting inside it, records at 0xFFxx that wrap to 0x0000, and the identity
// record itself.
QByteArray firmware(const std::uint8_t* data, std::size_t size);

// Packs the firmware, unpacks the image and packs that again, in dir. Empty when both images are the same;
// otherwise what went wrong.
QString fault(const QString& dir, const QByteArray& s19_text);

} // namespace round_trip
