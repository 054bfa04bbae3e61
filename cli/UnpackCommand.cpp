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
                              "0x3100, then each page as S1 records of 32 bytes, in the image's order, so "
                              "that packing the file gives the image back. A damaged image (a line checksum "
                              "that fails, a header that is no page base, a partial record) is named and "
                              "nothing is written."),
               2, status))
        return status;
    const QString bin = parser.positionalArguments().at(0);
    const QString s19 = parser.positionalArguments().at(1);
    const unpacker::Result result = unpacker::unpack(bin, s19);
    const QString page = QStringLiteral("0x%1").arg(result.base, 4, 16, QLatin1Char('0'));
    switch (result.outcome) {
    case unpacker::Outcome::Done:
        break;
    case unpacker::Outcome::CannotOpen:
        return tell(Message::BinCannotOpen, InputUnreadable);
    case unpacker::Outcome::TooShort:
        say(QStringLiteral("%1: shorter than its 4-byte identity block").arg(bin));
        return InputRejected;
    case unpacker::Outcome::BadChecksum:
        say(QStringLiteral("%1: record %2 (page %3), line %4: the checksum fails")
                .arg(bin)
                .arg(result.record)
                .arg(page)
                .arg(result.line));
        return InputRejected;
    case unpacker::Outcome::BadHeader:
        say(QStringLiteral("%1: record %2: the header %3 is no page base (pages start at multiples of 0x200)")
                .arg(bin)
                .arg(result.record)
                .arg(page));
        return InputRejected;
    case unpacker::Outcome::PartialRecord:
        say(QStringLiteral("%1: ends in a partial record of %2 bytes").arg(bin).arg(result.trailing_bytes));
        return InputRejected;
    case unpacker::Outcome::Unreachable:
        say(QStringLiteral("%1: record %2 (page %3) holds a byte at 0x%4, in the identity area, that no S1 "
                           "record starting below 0x3100 can reach")
                .arg(bin)
                .arg(result.record)
                .arg(page)
                .arg(result.address, 4, 16, QLatin1Char('0')));
        return InputRejected;
    case unpacker::Outcome::WriteFailed:
        say(QStringLiteral("%1: cannot be written (an old file stays as it was)").arg(s19));
        return OutputUnwritable;
    }
    std::printf("%s: %d page records, %s\n", qPrintable(s19), result.record_count,
                qPrintable(identity_line(result.identity)));
    return Success;
}
