#pragma once

#include "package/AesCipher.h"
#include "update/BinImage.h"

#include <array>
#include <cstdint>

class SafeFile;

namespace packager {

// One page being assembled, laid out as its page record; bytes no record gives stay 0xFF.
class PageBuffer
{
public:
    PageBuffer() { reset_page(); }

    // No page open, all line bytes 0xFF.
    void reset_page();
    bool is_open() const { return open; }
    // Opens the page that holds the address.
    void open_page(std::uint16_t address);
    // Stores the byte when the address lies in the open page; true when it lies outside (nothing stored).
    bool place_byte(std::uint16_t address, std::uint8_t value);
    // Encrypts line 0 under a fresh copy of the page key, puts each line's checksum in place and appends
    // the record to the image.
    void flush_page(aes_cipher& cipher, SafeFile& image);

    std::uint8_t header(int index) const { return buffer[size_t(index)]; }
    // Pages appended to images so far.
    int pages_flushed() const { return flushed; }

private:
    bin_image::Record buffer;
    bool open = false; // its own state: the page at 0x0000 has the header 0x00 0x00 too
    std::array<std::uint8_t, 16> key_work{};
    int flushed = 0;
};

} // namespace packager
