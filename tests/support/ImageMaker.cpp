#include "ImageMaker.h"

#include <QRandomGenerator>

#include <openssl/evp.h>

namespace image_maker {

QByteArray encrypt_page_line(const QByteArray& block16)
{
    static const unsigned char key[16] = {0x5a, 0x3c, 0x91, 0xe7, 0x0d, 0x42, 0xb8, 0x6f,
                                          0xa1, 0x17, 0xc4, 0x29, 0x7e, 0x83, 0xf0, 0x56};
    QByteArray out(32, '\0');
    int n = 0;
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    EVP_EncryptInit_ex(ctx, EVP_aes_128_ecb(), nullptr, key, nullptr);
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    EVP_EncryptUpdate(ctx, reinterpret_cast<unsigned char*>(out.data()), &n,
                      reinterpret_cast<const unsigned char*>(block16.constData()), 16);
    EVP_CIPHER_CTX_free(ctx);
    return out.left(16);
}

QByteArray record(const Page& page)
{
    QByteArray r;
    r.append(char(page.base >> 8)).append(char(page.base & 0xFF));
    for (int line = 0; line < 32; ++line) {
        QByteArray data = page.bytes.mid(line * 16, 16);
        if (line == 0)
            data = encrypt_page_line(data);
        unsigned sum = 0;
        for (char c : data)
            sum += std::uint8_t(c);
        r.append(data).append(char((256 - sum % 256) % 256));
    }
    return r;
}

QByteArray image(const std::array<std::uint8_t, 4>& identity, const std::vector<Page>& pages)
{
    QByteArray bytes(reinterpret_cast<const char*>(identity.data()), 4);
    for (const Page& p : pages)
        bytes += record(p);
    return bytes;
}

Page page_at(int base, std::uint32_t seed)
{
    QRandomGenerator random(seed);
    QByteArray bytes(512, '\0');
    for (char& c : bytes)
        c = char(random.bounded(256));
    return Page{base, bytes};
}

} // namespace image_maker
