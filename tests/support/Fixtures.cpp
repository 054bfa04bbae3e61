#include "Fixtures.h"

#include <QFile>
#include <QRandomGenerator>

#include <openssl/evp.h>

#include <csignal>
#include <sys/resource.h>

namespace fixtures {

QByteArray aes_encrypt(const QByteArray& key16, const QByteArray& block16)
{
    unsigned char out[32];
    int n = 0;
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    EVP_EncryptInit_ex(ctx, EVP_aes_128_ecb(), nullptr,
                       reinterpret_cast<const unsigned char*>(key16.constData()), nullptr);
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    EVP_EncryptUpdate(ctx, out, &n, reinterpret_cast<const unsigned char*>(block16.constData()), 16);
    EVP_CIPHER_CTX_free(ctx);
    return QByteArray(reinterpret_cast<const char*>(out), 16);
}

QByteArray page_key()
{
    return QByteArray::fromHex("5a3c91e70d42b86fa117c4297e83f056");
}

QByteArray checked_line(const QByteArray& data16)
{
    unsigned sum = 0;
    for (char c : data16)
        sum += std::uint8_t(c);
    return data16 + char((256 - sum % 256) % 256);
}

QByteArray record(const Page& page)
{
    QByteArray r;
    r.append(char(page.base >> 8)).append(char(page.base & 0xFF));
    for (int line = 0; line < 32; ++line) {
        const QByteArray data = page.bytes.mid(line * 16, 16);
        r.append(checked_line(line == 0 ? aes_encrypt(page_key(), data) : data));
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

QByteArray s1_line(int address, const QByteArray& data)
{
    QByteArray bytes;
    bytes.append(char(data.size() + 3)).append(char(address >> 8)).append(char(address & 0xFF)).append(data);
    unsigned sum = 0;
    for (char c : bytes)
        sum += std::uint8_t(c);
    bytes.append(char(~sum & 0xFF));
    return "S1" + bytes.toHex().toUpper();
}

bool write_file(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QByteArray read_file(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

FileSizeLimit::FileSizeLimit(unsigned long max_bytes)
{
    rlimit limit{};
    getrlimit(RLIMIT_FSIZE, &limit);
    saved_limit = limit.rlim_cur;
    saved_handler = std::signal(SIGXFSZ, SIG_IGN);
    limit.rlim_cur = max_bytes;
    setrlimit(RLIMIT_FSIZE, &limit);
}

FileSizeLimit::~FileSizeLimit()
{
    rlimit limit{};
    getrlimit(RLIMIT_FSIZE, &limit);
    limit.rlim_cur = saved_limit;
    setrlimit(RLIMIT_FSIZE, &limit);
    std::signal(SIGXFSZ, saved_handler);
}

} // namespace fixtures
