#include "package/Unpacker.h"

#include "common/InputFile.h"
#include "common/SafeFile.h"
#include "package/AesCipher.h"
#include "package/SRecord.h"

#include <QFile>

#include <map>

namespace unpacker {
namespace {

constexpr int s19_data_bytes = 32;

Page plain_page(const bin_image::Record& record)
{
    Page page{bin_image::page_base(record), {}};
    for (int l = 0; l < bin_image::lines_per_page; ++l) {
        const std::uint8_t* data = bin_image::line(record, l);
        std::copy(data, data + bin_image::line_data_size, page.bytes.begin() + l * bin_image::line_data_size);
    }
    aes_cipher cipher;
    cipher.decrypt_block(page.bytes.data(), page_key.data());
    return page;
}

// One S-record line: type, address and data, with its count and checksum.
QByteArray s_record(char type, int address, const std::uint8_t* data, int count)
{
    QByteArray bytes;
    bytes.append(char(count + 3));
    bytes.append(char((address >> 8) & 0xFF));
    bytes.append(char(address & 0xFF));
    bytes.append(reinterpret_cast<const char*>(data), count);
    unsigned sum = 0;
    for (const char b : bytes)
        sum += static_cast<unsigned char>(b);
    bytes.append(char(~sum & 0xFF));
    return QByteArray("S") + type + bytes.toHex().toUpper() + "\r\n";
}

} // namespace

Result read_image(const QString& path, Image& image)
{
    Result result;
    QFile file(path);
    if (!open_input(file)) {
        result.outcome = Outcome::CannotOpen;
        return result;
    }
    if (file.read(reinterpret_cast<char*>(image.identity.data()), bin_image::identity_size) !=
        bin_image::identity_size) {
        result.outcome = Outcome::TooShort;
        return result;
    }
    bin_image::Record record;
    qint64 got = 0;
    while ((got = file.read(reinterpret_cast<char*>(record.data()), bin_image::record_size)) ==
           bin_image::record_size) {
        for (int l = 0; l < bin_image::lines_per_page && result.outcome == Outcome::Done; ++l) {
            const std::uint8_t* data = bin_image::line(record, l);
            if (bin_image::line_checksum(data) != data[bin_image::line_data_size]) {
                result = {Outcome::BadChecksum, int(image.pages.size()), l, 0};
            }
        }
        image.pages.push_back(plain_page(record));
    }
    if (got > 0 && result.outcome == Outcome::Done)
        result = {Outcome::PartialRecord, -1, -1, got};
    return result;
}

bool used_range(const Page& page, int& first, int& last)
{
    first = -1;
    for (int i = 0; i < bin_image::page_size; ++i) {
        if (page.bytes[size_t(i)] != 0xFF) {
            if (first < 0)
                first = page.base + i;
            last = page.base + i;
        }
    }
    return first >= 0;
}

bool write_s19(const Image& image, const QString& path)
{
    // Each page at the place of its first visit, with the bytes of its last.
    std::vector<int> order;
    std::map<int, const Page*> latest;
    for (const Page& page : image.pages) {
        if (latest.find(page.base) == latest.end())
            order.push_back(page.base);
        latest[page.base] = &page;
    }
    SafeFile out;
    if (!out.open(path))
        return false;
    const QByteArray header = "kdr7-loader-editor";
    out.write(
        s_record('0', 0, reinterpret_cast<const std::uint8_t*>(header.constData()), int(header.size())));
    out.write(s_record('1', srecord::identity_address, image.identity.data(), int(image.identity.size())));
    for (const int base : order) {
        const Page& page = *latest[base];
        for (int offset = 0; offset < bin_image::page_size; offset += s19_data_bytes)
            out.write(s_record('1', base + offset, page.bytes.data() + offset, s19_data_bytes));
    }
    out.write(s_record('9', 0, nullptr, 0));
    return out.commit();
}

} // namespace unpacker
