#include "cli/Cli.h"
#include "cli/Commands.h"
#include "package/Unpacker.h"
#include "update/BinImage.h"

#include <QCommandLineParser>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstdio>

using namespace cli;

namespace {

// Each page's used addresses after decryption: "0x8000-0x81ff", or "empty" when every byte is 0xFF.
QStringList used_ranges(const QString& path)
{
    unpacker::Image image;
    unpacker::read_image(path, image);
    QStringList ranges;
    for (const unpacker::Page& page : image.pages) {
        int first = 0;
        int last = 0;
        ranges << (unpacker::used_range(page, first, last) ? QStringLiteral("0x%1-0x%2")
                                                                 .arg(first, 4, 16, QLatin1Char('0'))
                                                                 .arg(last, 4, 16, QLatin1Char('0'))
                                                           : QStringLiteral("empty"));
    }
    return ranges;
}

bool is_sound(const bin_image::Inspection& image)
{
    return image.has_identity && image.bad_lines() == 0 && image.trailing_bytes == 0;
}

void print_json(const QString& path, const bin_image::Inspection& image)
{
    const IdentityTexts texts = decode_identity(image.identity);
    const QStringList used = used_ranges(path);
    QJsonArray records;
    for (const auto& r : image.records)
        records.append(QJsonObject{{"page", QStringLiteral("0x%1").arg(r.page_base, 4, 16, QLatin1Char('0'))},
                                   {"bad_lines", r.bad_lines},
                                   {"used", used.value(records.size())}});
    QJsonObject out{{"file", path},
                    {"size", double(image.size)},
                    {"sound", is_sound(image)},
                    {"records", records},
                    {"record_count", int(image.records.size())},
                    {"bad_lines", image.bad_lines()},
                    {"trailing_bytes", double(image.trailing_bytes)}};
    if (image.has_identity) {
        const QByteArray bytes(reinterpret_cast<const char*>(image.identity.data()), 4);
        out.insert("identity", QJsonObject{{"bytes", QString::fromLatin1(bytes.toHex())},
                                           {"model", texts.model},
                                           {"mcu", texts.mcu},
                                           {"date", texts.date},
                                           {"version", texts.version}});
    }
    std::printf("%s", QJsonDocument(out).toJson().constData());
}

void print_text(const QString& path, const bin_image::Inspection& image)
{
    std::printf("File:      %s (%lld bytes)\n", qPrintable(path), static_cast<long long>(image.size));
    if (!image.has_identity) {
        std::printf("Identity:  none (shorter than 4 bytes)\n");
        return;
    }
    const IdentityTexts texts = decode_identity(image.identity);
    const QByteArray bytes(reinterpret_cast<const char*>(image.identity.data()), 4);
    std::printf("Identity:  %s\n", bytes.toHex(' ').constData());
    std::printf("Model:     %s\nMCU:       %s\nDate:      %s\nVersion:   %s\n", qPrintable(texts.model),
                qPrintable(texts.mcu), qPrintable(texts.date), qPrintable(texts.version));
    std::printf("Records:   %d\n", int(image.records.size()));
    const QStringList used = used_ranges(path);
    for (size_t i = 0; i < image.records.size(); ++i) {
        const auto& r = image.records[i];
        std::printf("  %4zu  page 0x%04x  used %-13s  %s\n", i, unsigned(r.page_base),
                    qPrintable(used.value(qsizetype(i))),
                    r.bad_lines == 0
                        ? "checksums hold"
                        : qPrintable(QStringLiteral("%1 lines with a bad checksum").arg(r.bad_lines)));
    }
    std::printf("Checksums: %s\n", image.bad_lines() == 0
                                       ? "every line holds"
                                       : qPrintable(QStringLiteral("%1 lines fail").arg(image.bad_lines())));
    std::printf(
        "Trailing:  %s\n",
        image.trailing_bytes == 0
            ? "none"
            : qPrintable(
                  QStringLiteral("%1 bytes, a partial record that is never sent").arg(image.trailing_bytes)));
}

} // namespace

int commands::info(const QStringList& arguments)
{
    QCommandLineParser parser;
    parser.addPositionalArgument(QStringLiteral("FILE.bin"), QStringLiteral("The image."));
    const QCommandLineOption json(QStringLiteral("json"), QStringLiteral("Prints JSON, for machines."));
    parser.addOption(json);
    int status = Success;
    if (!parse(parser, arguments,
               QStringLiteral(
                   "Shows what a BIN image holds. Exits 5 when a line checksum fails or the file ends "
                   "in a partial record."),
               1, status))
        return status;
    const QString path = parser.positionalArguments().at(0);
    const bin_image::Inspection image = bin_image::inspect(path);
    if (!image.opened)
        return tell(Message::BinCannotOpen, InputUnreadable);
    if (parser.isSet(json))
        print_json(path, image);
    else
        print_text(path, image);
    return is_sound(image) ? Success : InputRejected;
}
