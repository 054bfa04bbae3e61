#include "cli/Cli.h"
#include "cli/Commands.h"
#include "outcome/OutcomeMessages.h"
#include "serial/SerialChannel.h"
#include "update/BinImage.h"
#include "update/Bootloader.h"

#include <QCommandLineParser>

using namespace cli;

int commands::flash(const QStringList& arguments)
{
    QCommandLineParser parser;
    const QCommandLineOption port = port_option();
    parser.addOption(port);
    parser.addPositionalArgument(QStringLiteral("FILE.bin"), QStringLiteral("The image to program."));
    int status = Success;
    if (!parse(
            parser, arguments,
            QStringLiteral("Programs a BIN image into the box through its bootloader. Ctrl+C stops after the "
                           "page in progress (nothing more is sent); a second Ctrl+C ends at once."),
            1, status))
        return status;
    if (!parser.isSet(port)) {
        say(QStringLiteral("flash needs --port PORT"));
        return Usage;
    }
    bin_image::Reader image;
    Identity identity{};
    int count = 0;
    if (image.open(parser.positionalArguments().at(0), identity, count) != bin_image::OpenResult::Opened)
        return tell(Message::BinCannotOpen, InputUnreadable);
    SerialChannel channel;
    if (const int opened = open_port(channel, parser.value(port)))
        return opened;

    struct Terminal : bootloader::Observer
    {
        explicit Terminal(int count) : bar("pages", count) {}
        void phase(bootloader::Phase phase) override { say(QString::fromLatin1(status_for(phase))); }
        void progress(int pages_sent) override { bar.show(pages_sent); }
        void pump() override {}
        bool stop_requested() override { return interrupted(); }
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
    return exit_for(outcome);
}
