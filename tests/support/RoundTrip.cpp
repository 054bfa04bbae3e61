#include "RoundTrip.h"

#include "package/Packager.h"
#include "package/SRecord.h"
#include "package/Unpacker.h"

#include <QFile>

namespace round_trip {
namespace {

// Reads the stream a byte at a time; zeros once it runs out.
struct Draw
{
    const std::uint8_t* data;
    std::size_t size;
    std::size_t at = 0;
    int byte() { return at < size ? data[at++] : 0; }
    int word() { return byte() << 8 | byte(); }
};

QByteArray read_all(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool write_all(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QString pack(const QString& s19, const QString& bin)
{
    packager::NoProgress quiet;
    const Identity identity{0x21, 0x31, 0x01, 0x00};
    const packager::Result result = packager::convert(s19, bin, identity, quiet);
    return result.outcome == packager::Outcome::Done
               ? QString()
               : QStringLiteral("packing %1 failed at line %2").arg(s19).arg(result.line);
}

} // namespace

QByteArray firmware(const std::uint8_t* data, std::size_t size)
{
    Draw draw{data, size};
    const std::uint8_t identity[] = {0x21, 0x31, 0x01, 0x00};
    QByteArray text = srecord::encode('1', srecord::identity_address, identity, 4);
    const int records = 1 + draw.byte() % 40;
    for (int r = 0; r < records && draw.at < size; ++r) {
        const int shape = draw.byte() % 6;
        int address = draw.word();
        int count = 1 + draw.byte() % 32;
        if (shape == 1) // into the identity area from below
            address = srecord::identity_address - 1 - draw.byte(), count = 1 + draw.byte() % 252;
        else if (shape == 2) // at the top, wrapping
            address = 0xFF00 | draw.byte(), count = 1 + draw.byte() % 252;
        else if (shape == 3) // across a page end
            address = (address & 0xFE00) + 0x200 - 1 - draw.byte() % 16;
        else if (shape == 4) // inside the identity area: dropped by the packager
            address = srecord::identity_address + draw.byte();
        QByteArray bytes(count, '\0');
        for (char& c : bytes)
            c = char(draw.byte());
        text += srecord::encode('1', std::uint16_t(address & 0xFFFF),
                                reinterpret_cast<const std::uint8_t*>(bytes.constData()), count);
    }
    return text + srecord::encode('9', 0, nullptr, 0);
}

QString fault(const QString& dir, const QByteArray& s19_text)
{
    const QString s19 = dir + QStringLiteral("/firmware.s19");
    const QString first = dir + QStringLiteral("/first.bin");
    const QString back = dir + QStringLiteral("/back.s19");
    const QString second = dir + QStringLiteral("/second.bin");
    if (!write_all(s19, s19_text))
        return QStringLiteral("cannot write %1").arg(s19);
    if (const QString failed = pack(s19, first); !failed.isEmpty())
        return failed;
    const unpacker::Result unpacked = unpacker::unpack(first, back);
    if (unpacked.outcome != unpacker::Outcome::Done)
        return QStringLiteral("unpack refused the packager's image (outcome %1, record %2, address 0x%3)")
            .arg(int(unpacked.outcome))
            .arg(unpacked.record)
            .arg(unpacked.address, 0, 16);
    if (const QString failed = pack(back, second); !failed.isEmpty())
        return failed;
    const QByteArray a = read_all(first);
    const QByteArray b = read_all(second);
    if (a == b)
        return QString();
    qsizetype at = 0;
    while (at < qMin(a.size(), b.size()) && a[at] == b[at])
        ++at;
    return QStringLiteral("the images differ from byte %1 (record %2); sizes %3 and %4")
        .arg(at)
        .arg((at - 4) / 546)
        .arg(a.size())
        .arg(b.size());
}

} // namespace round_trip
