#include "cli/Cli.h"
#include "cli/Commands.h"
#include "package/Unpacker.h"

#include <QCommandLineParser>

#include <cstdio>

using namespace cli;

int commands::unpack(const QStringList& arguments)
{
    QCommandLineParser parser;
    parser.addPositionalArgument(QStringLiteral("FILE.bin"), QStringLiteral("The image."));
    parser.addPositionalArgument(QStringLiteral("FILE.s19"), QStringLiteral("The firmware to write."));
    int status = Success;
    if (!parse(parser, arguments,
               QStringLiteral("Decrypts a BIN image and writes its firmware as S-records: the identity at "
                              "0x3100, then each page as S1 records of 32 bytes. A damaged image (a line "
                              "checksum that fails, a partial record) is named and nothing is written."),
               2, status))
        return status;
    const QString bin = parser.positionalArguments().at(0);
    const QString s19 = parser.positionalArguments().at(1);
    unpacker::Image image;
    const unpacker::Result read = unpacker::read_image(bin, image);
    switch (read.outcome) {
    case unpacker::Outcome::Done:
        break;
    case unpacker::Outcome::CannotOpen:
        return tell(Message::BinCannotOpen, InputUnreadable);
    case unpacker::Outcome::TooShort:
        say(QStringLiteral("%1: shorter than its 4-byte identity block").arg(bin));
        return InputRejected;
    case unpacker::Outcome::BadChecksum:
        say(QStringLiteral("%1: record %2 (page 0x%3), line %4: the checksum fails")
                .arg(bin)
                .arg(read.record)
                .arg(image.pages[size_t(read.record)].base, 4, 16, QLatin1Char('0'))
                .arg(read.line));
        return InputRejected;
    case unpacker::Outcome::PartialRecord:
        say(QStringLiteral("%1: ends in a partial record of %2 bytes").arg(bin).arg(read.trailing_bytes));
        return InputRejected;
    }
    if (!unpacker::write_s19(image, s19)) {
        say(QStringLiteral("%1: cannot be written (an old file stays as it was)").arg(s19));
        return OutputUnwritable;
    }
    std::printf("%s: %d page records, %s\n", qPrintable(s19), int(image.pages.size()),
                qPrintable(identity_line(image.identity)));
    return Success;
}
