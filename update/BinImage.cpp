#include "update/BinImage.h"

#include "common/InputFile.h"

namespace bin_image {

std::uint8_t line_checksum(const std::uint8_t* data16)
{
    unsigned sum = 0;
    for (int i = 0; i < line_data_size; ++i)
        sum += data16[i];
    return std::uint8_t((256 - sum % 256) % 256);
}

int Inspection::bad_lines() const
{
    int total = 0;
    for (const RecordReport& r : records)
        total += r.bad_lines;
    return total;
}

Inspection inspect(const QString& path)
{
    Inspection report;
    QFile file(path);
    if (!open_input(file))
        return report;
    report.opened = true;
    report.size = file.size();
    if (file.read(reinterpret_cast<char*>(report.identity.data()), identity_size) != identity_size) {
        report.trailing_bytes = report.size;
        return report;
    }
    report.has_identity = true;
    Record record;
    qint64 got = 0;
    while ((got = file.read(reinterpret_cast<char*>(record.data()), record_size)) == record_size) {
        Inspection::RecordReport r{page_base(record), 0};
        for (int l = 0; l < lines_per_page; ++l) {
            const std::uint8_t* data = line(record, l);
            if (line_checksum(data) != data[line_data_size])
                ++r.bad_lines;
        }
        report.records.push_back(r);
    }
    report.trailing_bytes = qMax<qint64>(got, 0);
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
}

OpenResult Reader::open(const QString& path, Identity& identity, int& record_count)
{
    close();
    file.setFileName(path);
    if (!open_input(file))
        return OpenResult::CannotOpen;
    Identity read_back{};
    if (!read_identity(read_back)) {
        close();
        return OpenResult::TooShort;
    }
    identity = read_back;
    int count = 0;
    Record record;
    while (read_record(record))
        ++count;
    record_count = count;
    if (!file.seek(0)) {
        close();
        return OpenResult::CannotOpen;
    }
    return OpenResult::Opened;
}

bool Reader::read_identity(Identity& out)
{
    Identity bytes;
    if (!file.isOpen() || file.read(reinterpret_cast<char*>(bytes.data()), identity_size) != identity_size)
        return false;
    out = bytes;
    return true;
}

bool Reader::read_record(Record& out)
{
    return file.isOpen() && file.read(reinterpret_cast<char*>(out.data()), record_size) == record_size;
}

} // namespace bin_image
