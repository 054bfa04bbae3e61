#include "cli/Commands.h"
#include "cli/Terminal.h"
#include "package/Unpacker.h"
#include "update/BinImage.h"

#include <QCommandLineParser>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstdio>

using namespace cli;

namespace {

QString hex4(int value)
{
    return QStringLiteral("0x%1").arg(value, 4, 16, QLatin1Char('0'));
}

// The page's used addresses after decryption: "0x8000-0x81ff", "empty" when every byte is 0xFF, "-" when
// the header is no page base and so no address can be told.
QString used_text(const bin_image::Record& record, const bin_image::RecordCheck& check)
{
    if (!check.header_holds)
        return QStringLiteral("-");
    int first = 0;
    int last = 0;
    return unpacker::used_range(unpacker::plain_page(record), first, last)
               ? hex4(first) + QLatin1Char('-') + hex4(last)
               : QStringLiteral("empty");
}

QString record_state(const bin_image::RecordCheck& check)
{
    QStringList parts;
    if (!check.header_holds)
        parts << QStringLiteral("the header is no page base");
    if (check.bad_lines > 0)
        parts << QStringLiteral("%1 lines with a bad checksum").arg(check.bad_lines);
    return parts.isEmpty() ? QStringLiteral("checksums hold") : parts.join(QStringLiteral(", "));
}

// Each record as a line, printed as it is read.
struct TextRecords : bin_image::RecordVisitor
{
    void record(int index, const bin_image::Record& record, const bin_image::RecordCheck& check) override
    {
        cli::print(QString::asprintf(
            "  %4d  page 0x%04x  used %-13s  %s\n", index, unsigned(bin_image::page_base(record)),
            qUtf8Printable(used_text(record, check)), qUtf8Printable(record_state(check))));
    }
};

// Each record as an element of the "records" array, printed as it is read, laid out as QJsonDocument lays
// out the rest of the object.
struct JsonRecords : bin_image::RecordVisitor
{
    void record(int index, const bin_image::Record& record, const bin_image::RecordCheck& check) override
    {
        const QJsonObject element{{"page", hex4(bin_image::page_base(record))},
                                  {"bad_lines", check.bad_lines},
                                  {"header_holds", check.header_holds},
                                  {"used", used_text(record, check)}};
        QByteArray text = QJsonDocument(element).toJson().trimmed();
        text.replace("\n", "\n        ");
        cli::print(QString::asprintf("%s        %s", index > 0 ? ",\n" : "", text.constData()));
    }
};

// The summary through QJsonDocument, with the records streamed in where it would have put them: the
// object is never held whole, however many records the image has.
bin_image::Inspection print_json(const QString& path, const bin_image::Inspection& image)
{
    const QString marker = QStringLiteral("records-go-here");
    QJsonObject out{{"file", path},
                    {"size", double(image.size)},
                    {"sound", image.sound()},
                    {"records", marker},
                    {"record_count", image.record_count},
                    {"bad_lines", image.bad_lines},
                    {"bad_headers", image.bad_headers},
                    {"trailing_bytes", double(image.trailing_bytes)}};
    if (image.has_identity) {
        const IdentityTexts texts = decode_identity(image.identity);
        const QByteArray bytes(reinterpret_cast<const char*>(image.identity.data()), 4);
        out.insert("identity", QJsonObject{{"bytes", QString::fromLatin1(bytes.toHex())},
                                           {"model", texts.model},
                                           {"mcu", texts.mcu},
                                           {"date", texts.date},
                                           {"version", texts.version}});
    }
    const QByteArray whole = QJsonDocument(out).toJson();
    const QByteArray placeholder = "\"" + marker.toLatin1() + "\"";
    const qsizetype at = whole.indexOf(placeholder);
    cli::print(QString::asprintf("%s[", whole.left(at).constData()));
    bin_image::Inspection walked = image;
    cli::print(QStringLiteral("\n"));
    if (image.record_count > 0) {
        JsonRecords records;
        walked = bin_image::inspect(path, &records);
        cli::print(QStringLiteral("\n"));
    }
    cli::print(QString::asprintf("    ]%s", whole.mid(at + placeholder.size()).constData()));
    return walked;
}

bin_image::Inspection print_text(const QString& path, const bin_image::Inspection& image)
{
    cli::print(QString::asprintf("File:      %s (%lld bytes)\n", qUtf8Printable(path),
                                 static_cast<long long>(image.size)));
    if (!image.has_identity) {
        cli::print(QStringLiteral("Identity:  none (shorter than 4 bytes)\n"));
        return image;
    }
    const IdentityTexts texts = decode_identity(image.identity);
    const QByteArray bytes(reinterpret_cast<const char*>(image.identity.data()), 4);
    cli::print(QString::asprintf("Identity:  %s\n", bytes.toHex(' ').constData()));
    cli::print(QString::asprintf("Model:     %s\nMCU:       %s\nDate:      %s\nVersion:   %s\n",
                                 qUtf8Printable(texts.model), qUtf8Printable(texts.mcu),
                                 qUtf8Printable(texts.date), qUtf8Printable(texts.version)));
    cli::print(QString::asprintf("Records:   %d\n", image.record_count));
    TextRecords records;
    const bin_image::Inspection walked = bin_image::inspect(path, &records);
    cli::print(QString::asprintf("Checksums: %s\n",
                                 image.bad_lines == 0
                                     ? "every line holds"
                                     : qUtf8Printable(QStringLiteral("%1 lines fail").arg(image.bad_lines))));
    if (image.bad_headers > 0)
        cli::print(QString::asprintf("Headers:   %d records have a header that is no page base\n",
                                     image.bad_headers));
    cli::print(
        QString::asprintf("Trailing:  %s\n",
                          image.trailing_bytes == 0
                              ? "none"
                              : qUtf8Printable(QStringLiteral("%1 bytes, a partial record that is never sent")
                                                   .arg(image.trailing_bytes))));
    return walked;
}

bool same_totals(const bin_image::Inspection& a, const bin_image::Inspection& b)
{
    return a.opened == b.opened && a.size == b.size && a.identity == b.identity &&
           a.record_count == b.record_count && a.bad_lines == b.bad_lines && a.bad_headers == b.bad_headers &&
           a.trailing_bytes == b.trailing_bytes;
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
                   "Shows what a BIN image holds. Exits 5 when a line checksum fails, a header is no page "
                   "base or the file ends in a partial record."),
               1, status))
        return status;
    const QString path = parser.positionalArguments().at(0);
    // The totals first, so that they can be printed ahead of the records, which a second walk prints as it
    // reads them.
    const bin_image::Inspection image = bin_image::inspect(path);
    if (!image.opened)
        return tell(Message::BinCannotOpen, InputUnreadable);
    const bin_image::Inspection walked =
        parser.isSet(json) ? print_json(path, image) : print_text(path, image);
    if (!same_totals(image, walked)) {
        say(QStringLiteral("%1 changed while it was read: what is shown is not one image").arg(path));
        return InputUnreadable;
    }
    return image.sound() ? Success : InputRejected;
}
