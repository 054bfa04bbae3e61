#include "package/Packager.h"

#include "common/InputFile.h"
#include "common/LineReader.h"
#include "common/SafeFile.h"
#include "package/SRecord.h"

#include <QDebug>
#include <QFile>
#include <QHashFunctions>

namespace packager {

namespace {

// The file as read, line by line: the second pass must read the very file the first one proved sound.
// An editor or a build may rewrite it while the event loop runs between and during the passes. (A chained
// 64-bit hash: it has to catch a file that changed, not one forged to collide.)
void add_line(std::size_t& fingerprint, const QByteArray& line, bool truncated)
{
    fingerprint = qHashBits(line.constData(), size_t(line.size()), fingerprint) ^ (truncated ? 1U : 0U);
}

// Counts the lines and proves every record sound before anything is written.
Result check_lines(QFile& s19, int& count, std::size_t& fingerprint)
{
    std::size_t digest = 0;
    LineReader lines(s19, srecord::max_line_length);
    QByteArray line;
    while (lines.next(line)) {
        add_line(digest, line, lines.truncated());
        const srecord::Kind kind = srecord::kind_of(line);
        if (kind == srecord::Kind::Unsupported)
            return {Outcome::UnsupportedRecords, lines.lines_read()};
        if (kind == srecord::Kind::Data && (lines.truncated() || !srecord::is_sound(line)))
            return {Outcome::BadRecord, lines.lines_read()};
    }
    if (lines.failed())
        return {Outcome::S19CannotOpen, lines.lines_read()};
    count = lines.lines_read();
    fingerprint = digest;
    return {Outcome::Done, 0};
}

void take_record(const QByteArray& line, PageBuffer& page, aes_cipher& cipher, SafeFile& image)
{
    const srecord::Fields record = srecord::decode(line);
    if (record.type != 1 ||
        (record.address >= srecord::identity_address && record.address <= srecord::identity_area_end))
        return;
    std::uint16_t address = record.address;
    if (!page.is_open())
        page.open_page(address);
    // Characters 9 and 10 (counting from 1) hold data byte 0; a line shorter than its count says (only if the
    // file changed since it was checked) reads its missing characters as zeros.
    const char* text = line.constData();
    const bool whole = line.size() >= 8 + 2 * qsizetype(qMax(record.data_count(), 0));
    for (int i = 0; i < record.data_count(); ++i) {
        const std::uint8_t value =
            whole ? srecord::hex_pair_to_byte(text[8 + 2 * i], text[9 + 2 * i]) : srecord::data_byte(line, i);
        if (page.place_byte(address, value)) {
            qDebug("ADDR = 0x%x%x", page.header(0), page.header(1));
            page.flush_page(cipher, image);
            page.reset_page();
            page.open_page(address);
            page.place_byte(address, value);
        }
        ++address;
    }
}

} // namespace

Result convert(const QString& s19_path, const QString& bin_path, const Identity& config, PageBuffer& page,
               aes_cipher& cipher, Observer& observer)
{
    QFile s19(s19_path);
    if (!open_input(s19))
        return {Outcome::S19CannotOpen};
    int count = 0;
    std::size_t fingerprint = 0;
    const Result checked = check_lines(s19, count, fingerprint);
    if (checked.outcome != Outcome::Done)
        return checked;
    observer.lines_counted(count);

    SafeFile image;
    if (!image.open(bin_path))
        return {Outcome::BinCannotOpen};
    image.write(reinterpret_cast<const char*>(config.data()), qint64(config.size()));
    if (!s19.seek(0)) {
        image.cancel();
        return {Outcome::S19CannotOpen};
    }
    page.reset_page();
    const int flushed_before = page.pages_flushed();
    std::size_t digest = 0;
    LineReader lines(s19, srecord::max_line_length);
    QByteArray line;
    for (int index = 0; lines.next(line); ++index) {
        observer.line_started(index);
        add_line(digest, line, lines.truncated());
        // A file that grew is not read on; one that changed otherwise is caught by its fingerprint below
        // (take_record places even a damaged line safely, and the image is then cancelled).
        if (index >= count) {
            image.cancel();
            return {Outcome::S19Changed};
        }
        take_record(line, page, cipher, image);
    }
    if (lines.failed() || lines.lines_read() != count || digest != fingerprint) {
        image.cancel();
        return {Outcome::S19Changed};
    }
    qDebug("ADDR = 0x%x%x", page.header(0), page.header(1));
    page.flush_page(cipher, image);
    page.reset_page();
    observer.finished(count);
    if (!image.commit())
        return {Outcome::WriteFailed};
    return {Outcome::Done, 0, page.pages_flushed() - flushed_before};
}

Result convert(const QString& s19_path, const QString& bin_path, const Identity& config, Observer& observer)
{
    PageBuffer page;
    aes_cipher cipher;
    return convert(s19_path, bin_path, config, page, cipher, observer);
}

} // namespace packager
