#include "cli/Commands.h"
#include "cli/Terminal.h"
#include "outcome/MessageFor.h"
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
    if (result.outcome != unpacker::Outcome::Done) {
        say(unpack_text(result, bin, s19));
        return exit_for(result.outcome);
    }
    cli::print(QString::asprintf("%s: %d page records, %s\n", qUtf8Printable(s19), result.record_count,
                                 qUtf8Printable(identity_line(result.identity))));
    return Success;
}
