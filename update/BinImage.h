#pragma once

#include "update/Identity.h"

#include <QCryptographicHash>
#include <QFile>
#include <QString>

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

// The BIN image: the identity block, then one 546-byte record per 512-byte firmware page: the page base
// address (high byte first), then 32 lines of 16 bytes and their checksum (line 0 encrypted).
namespace bin_image {

constexpr int identity_size = 4;
constexpr int page_size = 512;
constexpr int header_size = 2;
constexpr int line_data_size = 16;
constexpr int line_size = line_data_size + 1;
constexpr int lines_per_page = page_size / line_data_size;
constexpr int record_size = header_size + lines_per_page * line_size; // 546

using Record = std::array<std::uint8_t, record_size>;

inline int page_base(const Record& record)
{
    return record[0] * 256 + record[1];
}

// The 17 bytes of line L as stored: 16 data bytes, then their checksum.
inline const std::uint8_t* line(const Record& record, int index)
{
    return record.data() + header_size + index * line_size;
}

// Two's complement of the byte sum, so that a line's 17 bytes add up to 0 modulo 256.
std::uint8_t line_checksum(const std::uint8_t* data16);

// The line checksums cover no header: a page base must be checked on its own. The packager only writes
// multiples of 0x200, that is an even high byte and a low byte of 0x00.
bool header_holds(const Record& record);

// What one record holds, as judged on its own.
struct RecordCheck
{
    bool header_holds = true;
    int bad_lines = 0;       // lines whose 17 bytes do not add up to 0
    int first_bad_line = -1; // counting from 0
};
RecordCheck check_record(const Record& record);

enum class OpenResult
{
    Opened,
    CannotOpen, // missing, unreadable, or no regular file
    TooShort,   // shorter than an identity block
};

// An image file being inspected and sent: it is read one record at a time, never held whole.
class Reader
{
public:
    Reader() = default;
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;

    // Replaces any image that is open. On success the identity is read, the complete records are counted
    // and the image stands again at offset 0.
    OpenResult open(const QString& path, Identity& identity, int& record_count);
    // Opens the image and reads its identity; the records follow. Nothing is counted.
    OpenResult open_at_records(const QString& path, Identity& identity);
    bool is_open() const;
    void close();
    // The file's size when it was opened (kept after a TooShort).
    qint64 size() const;
    // The SHA-256 of the bytes open() read as it counted the records, through the descriptor the records
    // then come from. None: not opened by open(), or unreadable.
    std::optional<QByteArray> sha256() const { return opened_hash; }
    // The records read since open() are all it counted, and every byte read since (the rest of the file
    // included, read now) is the byte it hashed: what was sent is the image as it was when opened, not a
    // file replaced or rewritten in place meanwhile.
    bool sent_as_opened(int records_sent);
    // The complete records open() counted.
    int record_count() const { return opened_records; }

    // From the current position; false (and out unchanged) when fewer bytes are left.
    bool read_identity(Identity& out);
    bool read_record(Record& out);
    // The bytes the last read_record found after the last whole record (a partial record), or 0.
    qint64 trailing_bytes() const { return trailing; }

private:
    QFile file;
    qint64 file_size = 0;
    qint64 trailing = 0;
    // Every byte read through the descriptor since the image stood at offset 0, and how many.
    QCryptographicHash read_hash{QCryptographicHash::Sha256};
    qint64 read_size = 0;
    std::optional<QByteArray> opened_hash;
    int opened_records = 0;
};

// What an image holds, for a person to judge it before it is sent. The image is walked once, a record at a
// time, whatever its size: a visitor sees each record as it is read, and only the totals are kept.
struct Inspection
{
    bool opened = false;
    qint64 size = 0;
    bool has_identity = false;
    Identity identity{};
    int record_count = 0;
    int bad_lines = 0;
    int bad_headers = 0;
    qint64 trailing_bytes = 0; // a partial record at the end, never sent
    // An identity, every line and every header holding, no partial record.
    bool sound() const;
};

class RecordVisitor
{
public:
    virtual ~RecordVisitor() = default;
    virtual void record(int index, const Record& record, const RecordCheck& check) = 0;
};

Inspection inspect(const QString& path, RecordVisitor* visitor = nullptr);

} // namespace bin_image
