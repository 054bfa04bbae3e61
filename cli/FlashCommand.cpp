#include "cli/Cli.h"
#include "cli/Commands.h"
#include "cli/Rack.h"
#include "outcome/MessageFor.h"
#include "serial/PortNames.h"
#include "serial/SerialChannel.h"
#include "serial/Trace.h"
#include "update/BinImage.h"
#include "update/Bootloader.h"

#include <QCommandLineParser>
#include <QSet>

using namespace cli;

namespace {

// One box, with the progress bar and the window's texts on standard error.
int flash_one(const QCommandLineParser& parser, const QCommandLineOption& trace_file, const QString& port)
{
    bin_image::Reader image;
    Identity identity{};
    int count = 0;
    if (image.open(parser.positionalArguments().at(0), identity, count) != bin_image::OpenResult::Opened)
        return tell(Message::BinCannotOpen, InputUnreadable);
    SerialChannel channel;
    Trace trace;
    if (const int traced = start_trace(parser, trace_file, trace, channel, port))
        return traced;
    if (const int opened = open_port(channel, port))
        return opened;

    struct Terminal : bootloader::Observer
    {
        explicit Terminal(int pages) : bar("pages", pages) {}
        void phase(bootloader::Phase phase) override { say(QString::fromLatin1(status_for(phase))); }
        void progress(int pages_sent) override { bar.show(pages_sent); }
        bool stop_requested() override { return interrupted(); }
        bool stop_before_first_page() const override { return true; }
        Progress bar;
    };
    catch_interrupt();
    bootloader::Outcome outcome;
    {
        Terminal terminal(count);
        outcome = bootloader::program(channel, image, identity, terminal);
        if (ends_with_every_page(outcome))
            terminal.bar.show(count);
    }
    release_interrupt();
    if (const char* status_line = status_for(outcome))
        say(QString::fromLatin1(status_line));
    if (const std::optional<Message> message = message_for(outcome))
        say(message_text(*message).text);
    return end_trace(trace, parser.value(trace_file), exit_for(outcome));
}

} // namespace

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
    const QStringList ports = parser.values(port);
    if (ports.isEmpty()) {
        say(QStringLiteral("flash needs --port PORT"));
        return Usage;
    }
    // Told apart by the device, not by the text: COM5 and /dev/ttyUSB0, or two links to one adapter, would
    // have two threads talk to one box.
    QSet<QString> devices;
    for (const QString& name : ports)
        devices.insert(port_names::identity(name));
    if (devices.size() != ports.size()) {
        say(QStringLiteral("A port is named twice: each box has a port of its own"));
        return Usage;
    }
    if (ports.size() == 1)
        return flash_one(parser, trace, ports.first());
    return flash_rack(parser.positionalArguments().at(0), ports,
                      parser.isSet(trace) ? parser.value(trace) : QString());
}
