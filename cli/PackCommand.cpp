#include "cli/Commands.h"
#include "cli/Terminal.h"
#include "outcome/MessageFor.h"
#include "package/Packager.h"
#include "package/SRecord.h"

#include <QCommandLineParser>

#include <cstdio>

using namespace cli;

int commands::pack(const QStringList& arguments)
{
    QCommandLineParser parser;
    parser.addPositionalArgument(QStringLiteral("FILE.s19"),
                                 QStringLiteral("The firmware, Motorola S-records."));
    parser.addPositionalArgument(QStringLiteral("FILE.bin"), QStringLiteral("The image to write."));
    int status = Success;
    if (!parse(parser, arguments,
               QStringLiteral("Packages an S19 firmware file into the BIN image the update sends."), 2,
               status))
        return status;
    const QString s19 = parser.positionalArguments().at(0);
    const QString bin = parser.positionalArguments().at(1);
    const srecord::IdentitySearch search = srecord::find_identity(s19, Identity{});
    if (search.outcome != srecord::IdentityOutcome::Found) {
        const Exit code =
            search.outcome == srecord::IdentityOutcome::CannotOpen ? InputUnreadable : InputRejected;
        return tell(*message_for(search.outcome), code, search.line);
    }
    packager::NoProgress quiet;
    const packager::Result result = packager::convert(s19, bin, search.config, quiet);
    if (const std::optional<Message> message = message_for(result.outcome))
        return tell(*message, Exit(exit_for(result.outcome)), result.line);
    cli::print(QString::asprintf("%s: %d page records, %s\n", qUtf8Printable(bin), result.page_count,
                                 qUtf8Printable(identity_line(search.config))));
    return Success;
}
