#include "update/BinImage.h"

#include "common/InputFile.h"

#include <QCryptographicHash>

namespace bin_image {

std::uint8_t line_checksum(const std::uint8_t* data16)
{
    unsigned sum = 0;
    for (int i = 0; i < line_data_size; ++i)
        sum += data16[i];
    return std::uint8_t((256 - sum % 256) % 256);
}

bool header_holds(const Record& record)
{
    return record[0] % 2 == 0 && record[1] == 0x00;
}

RecordCheck check_record(const Record& record)
{
    RecordCheck check;
    check.header_holds = header_holds(record);
    for (int l = 0; l < lines_per_page; ++l) {
        const std::uint8_t* data = line(record, l);
        if (line_checksum(data) != data[line_data_size]) {
            if (check.bad_lines++ == 0)
                check.first_bad_line = l;
        }
    }
    return check;
}

bool Inspection::sound() const
{
    return has_identity && bad_lines == 0 && bad_headers == 0 && trailing_bytes == 0;
}

Inspection inspect(const QString& path, RecordVisitor* visitor)
{
    Inspection report;
    Reader image;
    const OpenResult opened = image.open_at_records(path, report.identity);
    if (opened == OpenResult::CannotOpen)
        return report;
    report.opened = true;
    report.size = image.size();
    if (opened == OpenResult::TooShort) {
        report.trailing_bytes = report.size;
        return report;
    }
    report.has_identity = true;
    Record record;
    while (image.read_record(record)) {
        const RecordCheck check = check_record(record);
        report.bad_lines += check.bad_lines;
        report.bad_headers += check.header_holds ? 0 : 1;
        if (visitor != nullptr)
            visitor->record(report.record_count, record, check);
        ++report.record_count;
    }
    report.trailing_bytes = image.trailing_bytes();
    return report;
}

bool Reader::is_open() const
{
    return file.isOpen();
}

void Reader::close()
{
    if (file.isOpen())
        file.close();
    trailing = 0;
    read_hash.reset();
    read_size = 0;
    opened_hash.reset();
    opened_records = 0;
}

qint64 Reader::size() const
{
    return file_size;
}

OpenResult Reader::open_at_records(const QString& path, Identity& identity)
{
    close();
    file.setFileName(path);
    if (!open_input(file))
        return OpenResult::CannotOpen;
    file_size = file.size();
    Identity read_back{};
    if (!read_identity(read_back)) {
        close();
        return OpenResult::TooShort;
    }
    identity = read_back;
    return OpenResult::Opened;
}

OpenResult Reader::open(const QString& path, Identity& identity, int& record_count)
{
    const OpenResult opened = open_at_records(path, identity);
    if (opened != OpenResult::Opened)
        return opened;
    // One pass counts the records and hashes the bytes: a hash read apart from the count could be of
    // another file than the one counted.
    int count = 0;
    Record record;
    while (read_record(record))
        ++count;
    const QByteArray rest = file.readAll();
    read_hash.addData(rest);
    read_size += rest.size();
    if (file.error() == QFileDevice::NoError && read_size == file_size)
        opened_hash = read_hash.result();
    record_count = count;
    opened_records = count;
    if (!file.seek(0)) {
        close();
        return OpenResult::CannotOpen;
    }
    read_hash.reset();
    read_size = 0;
    trailing = 0;
    return OpenResult::Opened;
}

bool Reader::sent_as_opened(int records_sent)
{
    if (!file.isOpen() || !opened_hash || records_sent != opened_records)
        return false;
    const QByteArray rest = file.readAll();
    read_hash.addData(rest);
    read_size += rest.size();
    return file.error() == QFileDevice::NoError && read_size == file_size &&
           read_hash.result() == *opened_hash;
}

bool Reader::read_identity(Identity& out)
{
    Identity bytes;
    if (!file.isOpen())
        return false;
    const qint64 got = file.read(reinterpret_cast<char*>(bytes.data()), identity_size);
    if (got > 0) {
        read_hash.addData(QByteArrayView(reinterpret_cast<const char*>(bytes.data()), got));
        read_size += got;
    }
    if (got != identity_size)
        return false;
    out = bytes;
    return true;
}

bool Reader::read_record(Record& out)
{
    if (!file.isOpen())
        return false;
    Record bytes;
    const qint64 got = file.read(reinterpret_cast<char*>(bytes.data()), record_size);
    if (got > 0) {
        read_hash.addData(QByteArrayView(reinterpret_cast<const char*>(bytes.data()), got));
        read_size += got;
    }
    if (got != record_size) {
        trailing = qMax<qint64>(got, 0);
        return false;
    }
    out = bytes;
    return true;
}

} // namespace bin_image
