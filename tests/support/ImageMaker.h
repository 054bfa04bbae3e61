#pragma once

#include <QByteArray>

#include <array>
#include <cstdint>
#include <vector>

// BIN images made independently of the tool's own packager: OpenSSL encrypts line 0 of each page.
namespace image_maker {

struct Page
{
    int base;         // a multiple of 0x200
    QByteArray bytes; // 512 firmware bytes
};

// AES-128 of one block under the page key.
QByteArray encrypt_page_line(const QByteArray& block16);
QByteArray record(const Page& page);
QByteArray image(const std::array<std::uint8_t, 4>& identity, const std::vector<Page>& pages);
// Reproducible firmware bytes for a page.
Page page_at(int base, std::uint32_t seed);

} // namespace image_maker
