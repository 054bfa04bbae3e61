#include "package/Unpacker.h"

#include "common/SafeFile.h"
#include "package/AesCipher.h"
#include "package/SRecord.h"

#include <optional>

namespace unpacker {
namespace {

constexpr int s19_data_bytes = 32;
constexpr int identity_start = srecord::identity_address;
constexpr int identity_end = srecord::identity_area_end;

int byte_at(const Page& page, int address)
{
    return page.bytes[size_t(address - page.base)];
}

void write_records(SafeFile& out, const Page& page, int from, int to_excluded)
{
    for (int address = from; address < to_excluded; address += s19_data_bytes) {
        const int count = qMin(s19_data_bytes, to_excluded - address);
        out.write(
            srecord::encode('1', std::uint16_t(address), page.bytes.data() + (address - page.base), count));
    }
}

// Writes the page's S1 records; on failure the first address that no record may hold.
std::optional<int> write_page(SafeFile& out, const Page& page)
{
    const int end = page.base + bin_image::page_size;
    if (identity_start < page.base || identity_start >= end) {
        write_records(out, page, page.base, end);
        return std::nullopt;
    }
    // The packager drops every record that starts in the identity area, but keeps the bytes that a record
    // starting below it carries into it.
    int last_held = -1;
    for (int address = identity_end; address >= identity_start && last_held < 0; --address) {
        if (byte_at(page, address) != 0xFF)
            last_held = address;
    }
    if (last_held < 0) {
        write_records(out, page, page.base, identity_start);
        write_records(out, page, identity_end + 1, end);
        return std::nullopt;
    }
    const int stretch_start = qMax(page.base, last_held - srecord::max_data_bytes + 1);
    if (stretch_start >= identity_start) {
        const int reach = identity_start - 1 + srecord::max_data_bytes - 1; // the last byte a record can give
        for (int address = reach + 1; address <= last_held; ++address) {
            if (byte_at(page, address) != 0xFF)
                return address;
        }
    }
    write_records(out, page, page.base, stretch_start);
    out.write(srecord::encode('1', std::uint16_t(stretch_start),
                              page.bytes.data() + (stretch_start - page.base),
                              last_held - stretch_start + 1));
    write_records(out, page, identity_end + 1, end);
    return std::nullopt;
}

// Damage that makes a record unusable, named in the result; nothing when the record holds.
bool record_damaged(const bin_image::Record& record, int index, Result& result)
{
    const bin_image::RecordCheck check = bin_image::check_record(record);
    if (check.header_holds && check.bad_lines == 0)
        return false;
    result.outcome = check.header_holds ? Outcome::BadChecksum : Outcome::BadHeader;
    result.record = index;
    result.line = check.first_bad_line;
    result.base = bin_image::page_base(record);
    return true;
}

} // namespace

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

Result unpack(const QString& bin_path, const QString& s19_path)
{
    Result result;
    bin_image::Reader image;
    switch (image.open_at_records(bin_path, result.identity)) {
    case bin_image::OpenResult::Opened:
        break;
    case bin_image::OpenResult::CannotOpen:
        result.outcome = Outcome::CannotOpen;
        return result;
    case bin_image::OpenResult::TooShort:
        result.outcome = Outcome::TooShort;
        return result;
    }
    SafeFile out;
    if (!out.open(s19_path)) {
        result.outcome = Outcome::WriteFailed;
        return result;
    }
    const QByteArray header = "kdr7-loader-editor";
    out.write(srecord::encode('0', 0, reinterpret_cast<const std::uint8_t*>(header.constData()),
                              int(header.size())));
    out.write(
        srecord::encode('1', srecord::identity_address, result.identity.data(), int(result.identity.size())));
    const auto give_up = [&](Outcome outcome) {
        out.cancel();
        result.outcome = outcome;
        return result;
    };
    // A page is written once the next record shows that it is not written again at once.
    std::optional<Page> pending;
    int pending_index = -1;
    const auto write_pending = [&] {
        const std::optional<int> address = write_page(out, *pending);
        if (address) {
            result.record = pending_index;
            result.base = pending->base;
            result.address = *address;
        }
        return !address;
    };
    bin_image::Record record;
    while (image.read_record(record)) {
        const int index = result.record_count++;
        if (record_damaged(record, index, result))
            return give_up(result.outcome);
        if (pending && pending->base != bin_image::page_base(record) && !write_pending())
            return give_up(Outcome::Unreachable);
        pending = plain_page(record);
        pending_index = index;
    }
    if (image.trailing_bytes() > 0) {
        result.trailing_bytes = image.trailing_bytes();
        return give_up(Outcome::PartialRecord);
    }
    if (pending && !write_pending())
        return give_up(Outcome::Unreachable);
    out.write(srecord::encode('9', 0, nullptr, 0));
    if (!out.commit())
        result.outcome = Outcome::WriteFailed;
    return result;
}

} // namespace unpacker
