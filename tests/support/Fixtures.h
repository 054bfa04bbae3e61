#pragma once

#include <QByteArray>
#include <QString>

#include <array>
#include <cstdint>
#include <vector>

// Test and benchmark inputs made independently of the tool's own code: OpenSSL encrypts, and S-records and
// page records are put together here from their published layouts.
namespace fixtures {

// The identity block of the firmware the tests use: 2014/2/17, version 1, MC9S08PT60, Velantor KDR7.
inline const std::array<std::uint8_t, 4> kdr7_identity{0x21, 0x31, 0x01, 0x00};
inline const QByteArray kdr7_identity_bytes("\x21\x31\x01\x00", 4);

struct Page
{
    int base;         // a multiple of 0x200
    QByteArray bytes; // 512 firmware bytes
};

// AES-128 (ECB, one block) with OpenSSL.
QByteArray aes_encrypt(const QByteArray& key16, const QByteArray& block16);
QByteArray page_key();
// Sixteen bytes and their two's complement checksum.
QByteArray checked_line(const QByteArray& data16);
QByteArray record(const Page& page);
QByteArray image(const std::array<std::uint8_t, 4>& identity, const std::vector<Page>& pages);
// Reproducible firmware bytes for a page.
Page page_at(int base, std::uint32_t seed);

// An S1 record with a right byte count and checksum, without its line end.
QByteArray s1_line(int address, const QByteArray& data);

// Writes a whole file; false when it could not.
bool write_file(const QString& path, const QByteArray& bytes);
// A whole file; empty when it cannot be read.
QByteArray read_file(const QString& path);

// While it lives, no file of this process may grow past max_bytes: a write beyond fails as on a full disk
// (SIGXFSZ is ignored meanwhile, so the failure is an error, not the end of the process).
class FileSizeLimit
{
public:
    explicit FileSizeLimit(unsigned long max_bytes);
    ~FileSizeLimit();
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

private:
    unsigned long saved_limit;
    void (*saved_handler)(int);
};

} // namespace fixtures
