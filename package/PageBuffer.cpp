#include "package/PageBuffer.h"

#include "common/SafeFile.h"
#include "package/SRecord.h"

namespace packager {

using bin_image::line_data_size;
using bin_image::line_size;
using bin_image::lines_per_page;
using bin_image::page_size;

void PageBuffer::reset_page()
{
    buffer.fill(0xFF);
    buffer[0] = 0x00;
    buffer[1] = 0x00;
    open = false;
}

void PageBuffer::open_page(std::uint16_t address)
{
    buffer[0] = std::uint8_t((address & 0xFE00) >> 8);
    buffer[1] = 0x00;
    open = true;
}

bool PageBuffer::place_byte(std::uint16_t address, std::uint8_t value)
{
    const std::uint16_t base = srecord::bytes_to_word(buffer[0], buffer[1]);
    const std::uint16_t offset = std::uint16_t(address - base);
    if (offset >= page_size)
        return true;
    buffer[size_t(bin_image::header_size + line_size * (offset / line_data_size) + offset % line_data_size)] =
        value;
    return false;
}

void PageBuffer::flush_page(aes_cipher& cipher, SafeFile& image)
{
    // The cipher leaves its last round key in the buffer: a fresh copy for every page.
    key_work = page_key;
    std::uint8_t* line0 = buffer.data() + bin_image::header_size;
    cipher.encrypt_block(line0, key_work.data());
    for (int line = 0; line < lines_per_page; ++line) {
        std::uint8_t* data = buffer.data() + bin_image::header_size + line * line_size;
        data[line_data_size] = bin_image::line_checksum(data);
    }
    image.write(reinterpret_cast<const char*>(buffer.data()), qint64(buffer.size()));
    ++flushed;
}

} // namespace packager
