#include "cli/Commands.h"
#include "cli/Ports.h"
#include "cli/Rack.h"
#include "cli/Terminal.h"

#include <QCommandLineParser>

using namespace cli;

int commands::flash(const QStringList& arguments)
{
    QCommandLineParser parser;
    const QCommandLineOption port = port_option();
    const QCommandLineOption trace = trace_option();
    parser.addOptions({port, trace});
    parser.addPositionalArgument(QStringLiteral("FILE.bin"), QStringLiteral("The image to program."));
    int status = Success;
    if (!parse(
            parser, arguments,
            QStringLiteral("Programs a BIN image into the box through its bootloader. Ctrl+C stops after the "
                           "page in progress (nothing more is sent); a second Ctrl+C ends at once. --port "
                           "repeated programs every named box at the same time; --trace then writes one "
                           "file per port (FILE.COMn)."),
            1, status))
        return status;
    if (!parser.isSet(port)) {
        say(QStringLiteral("flash needs --port PORT"));
        return Usage;
    }
    // The image first: a box is worth naming only for an image that can go into it.
    const QString image = parser.positionalArguments().at(0);
    if (const int readable = check_image(image))
        return readable;
    QList<Port> ports;
    if (const int resolved = resolve_ports(parser.values(port), ports))
        return resolved;
    return flash_rack(image, ports, trace_path(parser, trace));
}
