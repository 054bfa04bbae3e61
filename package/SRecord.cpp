#include "package/SRecord.h"

#include "common/LineReader.h"

#include <QDebug>
#include <QFile>

namespace srecord {

namespace {

// Characters counted from 1; past the end of the line a position reads as a zero character.
char at(const QByteArray& line, int position)
{
    return position >= 1 && position <= line.size() ? line[position - 1] : '\0';
}

int digit_value(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return static_cast<unsigned char>(c);
}

bool is_hex(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

} // namespace

std::uint8_t hex_pair_to_byte(char c1, char c2)
{
    return std::uint8_t((digit_value(c1) * 16 + digit_value(c2)) % 256);
}

std::uint16_t bytes_to_word(std::uint8_t high, std::uint8_t low)
{
    return std::uint16_t(high * 256 + low);
}

Fields decode(const QByteArray& line)
{
    Fields f;
    f.type = at(line, 2) - '0';
    f.byte_count = hex_pair_to_byte(at(line, 3), at(line, 4));
    f.address_high = hex_pair_to_byte(at(line, 5), at(line, 6));
    f.address_low = hex_pair_to_byte(at(line, 7), at(line, 8));
    f.address = bytes_to_word(f.address_high, f.address_low);
    return f;
}

std::uint8_t data_byte(const QByteArray& line, int index)
{
    return hex_pair_to_byte(at(line, 9 + 2 * index), at(line, 10 + 2 * index));
}

Kind kind_of(const QByteArray& line)
{
    const char type = at(line, 2);
    if (type == '1')
        return Kind::Data;
    if (at(line, 1) == 'S' && (type == '2' || type == '3'))
        return Kind::Unsupported;
    return Kind::Other;
}

bool is_sound(const QByteArray& line)
{
    if (line.size() < 4 || at(line, 1) != 'S' || at(line, 2) != '1')
        return false;
    for (int position = 3; position <= line.size(); ++position) {
        if (!is_hex(at(line, position)))
            return false;
    }
    const int count = hex_pair_to_byte(at(line, 3), at(line, 4));
    if (count < 3 || line.size() != 4 + 2 * count)
        return false;
    // The checksum is the ones' complement of the sum of the count, address and data bytes.
    unsigned sum = 0;
    for (int i = 0; i <= count; ++i)
        sum += hex_pair_to_byte(at(line, 3 + 2 * i), at(line, 4 + 2 * i));
    return (sum & 0xFF) == 0xFF;
}

IdentitySearch find_identity(const QString& path, const Identity& earlier)
{
    IdentitySearch result{IdentityOutcome::Missing, earlier, 0};
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        result.outcome = IdentityOutcome::CannotOpen;
        return result;
    }
    LineReader lines(file, max_line_length);
    QByteArray line;
    bool found_s1 = false;
    while (!found_s1 && lines.next(line))
        found_s1 = decode(line).type == 1;
    if (!found_s1)
        return result;
    qDebug("Line: %s", line.constData());

    bool found = false;
    Fields fields{};
    do {
        fields = decode(line);
        qDebug("ADDR = 0x%x", unsigned(fields.address));
        found = fields.address == identity_address;
    } while (!found && lines.next(line));
    if (!found)
        return result;

    qDebug("Line: %s", line.constData());
    qDebug("Number: %d", int(fields.byte_count));
    result.line = lines.lines_read();
    if (lines.truncated() || !is_sound(line)) {
        result.outcome = IdentityOutcome::BadRecord;
        return result;
    }
    if (fields.data_count() < 1)
        return result; // a record at the address, but without any identity byte
    for (int i = 0; i < fields.data_count() && i < int(result.config.size()); ++i)
        result.config[size_t(i)] = data_byte(line, i);
    qDebug("config[0][1][2][3] = 0x%x, 0x%x, 0x%x, 0x%x", result.config[0], result.config[1],
           result.config[2], result.config[3]);
    result.outcome = IdentityOutcome::Found;
    return result;
}

} // namespace srecord
