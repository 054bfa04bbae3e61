#include "package/SRecord.h"

#include "common/InputFile.h"
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

// A hex digit's value, or -1. Built once; every line of a firmware file passes through it twice.
struct HexDigits
{
    signed char value[256];
    constexpr HexDigits() : value()
    {
        for (int c = 0; c < 256; ++c)
            value[c] = -1;
        for (int d = 0; d < 10; ++d)
            value['0' + d] = static_cast<signed char>(d);
        for (int d = 0; d < 6; ++d) {
            value['A' + d] = static_cast<signed char>(10 + d);
            value['a' + d] = static_cast<signed char>(10 + d);
        }
    }
};
constexpr HexDigits hex_digits;

int hex_value(char c)
{
    return hex_digits.value[static_cast<unsigned char>(c)];
}

// Any other character than a hex digit counts with its character code.
int digit_value(char c)
{
    const int value = hex_value(c);
    return value >= 0 ? value : static_cast<unsigned char>(c);
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
    if (line.size() < 4 || line[0] != 'S' || line[1] != '1' || line.size() % 2 != 0)
        return false;
    // Every pair after "S1" is a byte: the count, the address, the data, the checksum.
    const char* text = line.constData();
    unsigned sum = 0;
    for (qsizetype i = 2; i < line.size(); i += 2) {
        const int high = hex_value(text[i]);
        const int low = hex_value(text[i + 1]);
        if (high < 0 || low < 0)
            return false;
        sum += unsigned(high * 16 + low);
    }
    const int count = hex_pair_to_byte(line[2], line[3]);
    // The checksum is the ones' complement of the sum of the count, address and data bytes.
    return count >= 3 && line.size() == 4 + 2 * count && (sum & 0xFF) == 0xFF;
}

QByteArray encode(char type, std::uint16_t address, const std::uint8_t* data, int count)
{
    Q_ASSERT(count >= 0 && count <= max_data_bytes);
    QByteArray bytes;
    bytes.reserve(count + 4);
    bytes.append(char(count + 3));
    bytes.append(char(address >> 8));
    bytes.append(char(address & 0xFF));
    bytes.append(reinterpret_cast<const char*>(data), count);
    unsigned sum = 0;
    for (const char b : bytes)
        sum += static_cast<unsigned char>(b);
    // The checksum is the ones' complement of the sum of the count, address and data bytes.
    bytes.append(char(~sum & 0xFF));
    return QByteArray("S") + type + bytes.toHex().toUpper() + "\r\n";
}

IdentitySearch find_identity(const QString& path, const Identity& earlier)
{
    IdentitySearch result{IdentityOutcome::Missing, earlier, 0};
    QFile file(path);
    if (!open_input(file)) {
        result.outcome = IdentityOutcome::CannotOpen;
        return result;
    }
    QByteArray line;
    {
        LineReader all(file, max_line_length);
        while (all.next(line)) {
            if (kind_of(line) == Kind::Unsupported) {
                result.outcome = IdentityOutcome::UnsupportedRecords;
                result.line = all.lines_read();
                return result;
            }
        }
    }
    if (!file.seek(0)) {
        result.outcome = IdentityOutcome::CannotOpen;
        return result;
    }
    LineReader lines(file, max_line_length);
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
