#include "update/BinImage.h"

namespace bin_image {

std::uint8_t line_checksum(const std::uint8_t* data16)
{
    unsigned sum = 0;
    for (int i = 0; i < line_data_size; ++i)
        sum += data16[i];
    return std::uint8_t((256 - sum % 256) % 256);
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
    if (!file.open(QIODevice::ReadOnly))
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
