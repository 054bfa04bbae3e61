// zorvane-cli: the Velantor KDR7 Loader Editor's jobs from a terminal or a script, on the same engines as
// the window. Messages are the window's texts, on standard error; each kind of failure has its exit status.
#include "common/Messages.h"
#include "common/OutcomeMessages.h"
#include "package/Packager.h"
#include "package/SRecord.h"
#include "satellite/SatelliteCsv.h"
#include "satellite/SatelliteProtocol.h"
#include "serial/PortNames.h"
#include "serial/SerialChannel.h"
#include "update/BinImage.h"
#include "update/Bootloader.h"
#include "update/Identity.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSerialPortInfo>

#include <atomic>
#include <csignal>
#include <cstdio>

#ifdef Q_OS_WIN
#include <io.h>
#else
#include <unistd.h>
#endif

namespace {

// Exit statuses, one per kind of failure.
enum Exit
{
    Success = 0,
    Usage = 2,
    InputUnreadable = 3,
    OutputUnwritable = 4,
    InputRejected = 5,
    PortUnavailable = 6,
    NoAnswer = 7,
    ImageRefused = 8,
    TransferFailed = 9,
    Stopped = 10,
    UpdateFailed = 11,
};

constexpr const char* exit_help =
    "Exit status: 0 success, 2 usage, 3 input file unreadable, 4 output file not "
    "written, 5 input not acceptable,\n6 port not available, 7 box did not answer, "
    "8 box refused the image, 9 transfer failed, 10 stopped,\n11 update not confirmed.";

void say(const QString& text)
{
    std::fprintf(stderr, "%s\n", qPrintable(text));
}

int tell(Message message, Exit status, int argument = 0)
{
    say(message_text(message, argument).text);
    return status;
}

// Parses a subcommand's options and arguments; on --help or a usage error it prints and sets status.
bool parse(QCommandLineParser& parser, const QStringList& arguments, const QString& synopsis, int positional,
           int& status)
{
    parser.setApplicationDescription(synopsis + QStringLiteral("\n\n") + QString::fromLatin1(exit_help));
    const QCommandLineOption help({"h", "help"}, QStringLiteral("Shows this help."));
    parser.addOption(help);
    if (!parser.parse(arguments)) {
        say(parser.errorText());
        status = Usage;
        return false;
    }
    if (parser.isSet(help)) {
        std::printf("%s", qPrintable(parser.helpText()));
        status = Success;
        return false;
    }
    if (parser.positionalArguments().size() != positional) {
        std::fprintf(stderr, "%s", qPrintable(parser.helpText()));
        status = Usage;
        return false;
    }
    return true;
}

// Opens the named port; the channel is closed again when it goes.
int open_port(SerialChannel& channel, const QString& name)
{
    if (!port_names::accepts(name)) {
        say(QStringLiteral("No such port: %1 (the ports are %2)").arg(name, port_names::accepted_names()));
        return Usage;
    }
    if (channel.open(name))
        return tell(Message::PortUnavailable, PortUnavailable);
    return Success;
}

std::atomic<bool> stop_requested{false};

void on_interrupt(int)
{
    stop_requested = true;
    // A second Ctrl+C ends the program at once.
    std::signal(SIGINT, SIG_DFL);
}

bool stderr_is_terminal()
{
#ifdef Q_OS_WIN
    return _isatty(_fileno(stderr)) != 0;
#else
    return isatty(STDERR_FILENO) != 0;
#endif
}

// A progress bar on standard error: redrawn in place on a terminal, one line per step otherwise.
class Progress
{
public:
    Progress(const char* unit, int total) : unit(unit), total(total), terminal(stderr_is_terminal())
    {
        clock.start();
    }
    void show(int done)
    {
        const int width = 30;
        const int filled = total > 0 ? width * done / total : width;
        const int percent = total > 0 ? 100 * done / total : 100;
        QString left;
        if (done > 0 && done < total)
            left = QStringLiteral("  %1 s left").arg((clock.elapsed() * (total - done) / done + 500) / 1000);
        const QString line =
            QStringLiteral("[%1%2] %3/%4 %5 %6%%7")
                .arg(QString(filled, QLatin1Char('#')), QString(width - filled, QLatin1Char('-')))
                .arg(done)
                .arg(total)
                .arg(QLatin1String(unit))
                .arg(percent, 3)
                .arg(left);
        std::fprintf(stderr, terminal ? "\r%s\033[K" : "%s\n", qPrintable(line));
        std::fflush(stderr);
    }
    ~Progress()
    {
        if (terminal)
            std::fputc('\n', stderr);
    }

private:
    const char* unit;
    int total;
    bool terminal;
    QElapsedTimer clock;
};

int exit_for(bootloader::Outcome outcome)
{
    using bootloader::Outcome;
    switch (outcome) {
    case Outcome::Completed:
        return Success;
    case Outcome::FinishFailed:
        return UpdateFailed;
    case Outcome::Stopped:
        return Stopped;
    case Outcome::ImageUnreadable:
        return InputUnreadable;
    case Outcome::CpuMismatch:
    case Outcome::ModelMismatch:
    case Outcome::TooOld:
    case Outcome::Rejected:
        return ImageRefused;
    case Outcome::LineRejected:
    case Outcome::PageNotWritten:
        return TransferFailed;
    case Outcome::NotPrepared:
    case Outcome::NoGoAhead:
    case Outcome::NoVerdict:
    case Outcome::NoLineFeedback:
        return NoAnswer;
    }
    return NoAnswer;
}

int exit_for(satellite_protocol::Outcome outcome)
{
    switch (outcome) {
    case satellite_protocol::Outcome::Done:
        return Success;
    case satellite_protocol::Outcome::ConnectionError:
        return NoAnswer;
    case satellite_protocol::Outcome::ReadError:
    case satellite_protocol::Outcome::WriteError:
        return TransferFailed;
    }
    return NoAnswer;
}

int exit_for(packager::Outcome outcome)
{
    switch (outcome) {
    case packager::Outcome::Done:
        return Success;
    case packager::Outcome::S19CannotOpen:
    case packager::Outcome::S19Changed:
        return InputUnreadable;
    case packager::Outcome::BinCannotOpen:
    case packager::Outcome::WriteFailed:
        return OutputUnwritable;
    case packager::Outcome::BadRecord:
    case packager::Outcome::UnsupportedRecords:
        return InputRejected;
    }
    return InputRejected;
}

QString identity_line(const Identity& identity)
{
    const IdentityTexts t = decode_identity(identity);
    return QStringLiteral("model \"%1\", MCU \"%2\", date %3, version %4")
        .arg(t.model, t.mcu, t.date, t.version);
}

int pack(const QStringList& arguments)
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
    packager::PageBuffer page;
    aes_cipher cipher;
    const packager::Result result = packager::convert(s19, bin, search.config, page, cipher, quiet);
    if (const std::optional<Message> message = message_for(result.outcome))
        return tell(*message, Exit(exit_for(result.outcome)), result.line);
    const bin_image::Inspection image = bin_image::inspect(bin);
    std::printf("%s: %d page records, %s\n", qPrintable(bin), int(image.records.size()),
                qPrintable(identity_line(search.config)));
    return Success;
}

int info(const QStringList& arguments)
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
    const bool sound = image.has_identity && image.bad_lines() == 0 && image.trailing_bytes == 0;
    const IdentityTexts texts = decode_identity(image.identity);
    if (parser.isSet(json)) {
        QJsonArray records;
        for (const auto& r : image.records)
            records.append(
                QJsonObject{{"page", QStringLiteral("0x%1").arg(r.page_base, 4, 16, QLatin1Char('0'))},
                            {"bad_lines", r.bad_lines}});
        QJsonObject out{{"file", path},
                        {"size", double(image.size)},
                        {"sound", sound},
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
        return sound ? Success : InputRejected;
    }
    std::printf("File:      %s (%lld bytes)\n", qPrintable(path), static_cast<long long>(image.size));
    if (!image.has_identity) {
        std::printf("Identity:  none (shorter than 4 bytes)\n");
        return InputRejected;
    }
    const QByteArray bytes(reinterpret_cast<const char*>(image.identity.data()), 4);
    std::printf("Identity:  %s\n", bytes.toHex(' ').constData());
    std::printf("Model:     %s\nMCU:       %s\nDate:      %s\nVersion:   %s\n", qPrintable(texts.model),
                qPrintable(texts.mcu), qPrintable(texts.date), qPrintable(texts.version));
    std::printf("Records:   %d\n", int(image.records.size()));
    for (size_t i = 0; i < image.records.size(); ++i) {
        const auto& r = image.records[i];
        std::printf("  %4zu  page 0x%04x  %s\n", i, unsigned(r.page_base),
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
    return sound ? Success : InputRejected;
}

int flash(const QStringList& arguments)
{
    QCommandLineParser parser;
    const QCommandLineOption port(QStringLiteral("port"),
                                  QStringLiteral("The box's port: %1.").arg(port_names::accepted_names()),
                                  QStringLiteral("PORT"));
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
        void phase(bootloader::Phase phase) override
        {
            say(QString::fromLatin1(phase == bootloader::Phase::EnteringBootloader ? status_text::entering
                                                                                   : status_text::updating));
        }
        void progress(int pages_sent) override { bar.show(pages_sent); }
        void pump() override {}
        bool stop_requested() override { return ::stop_requested; }
        Progress bar;
    };
    std::signal(SIGINT, on_interrupt);
    bootloader::Outcome outcome;
    {
        Terminal terminal(count);
        outcome = bootloader::program(channel, image, identity, terminal);
        if (outcome == bootloader::Outcome::Completed || outcome == bootloader::Outcome::FinishFailed)
            terminal.bar.show(count);
    }
    std::signal(SIGINT, SIG_DFL);
    if (outcome == bootloader::Outcome::Stopped)
        say(QString::fromLatin1(status_text::stopped));
    else if (outcome == bootloader::Outcome::Completed)
        say(QString::fromLatin1(status_text::completed));
    else if (outcome == bootloader::Outcome::FinishFailed)
        say(QString::fromLatin1(status_text::failed));
    if (const std::optional<Message> message = message_for(outcome))
        say(message_text(*message).text);
    return exit_for(outcome);
}

// The satellite table between the box and a CSV file, without a grid: rows are entries - 1.
class FileTable : public satellite_protocol::Table
{
public:
    FileTable() : bar("entries", satellite_protocol::entry_count) {}
    void record_read(int entry, const satellite_record::Record& record) override
    {
        rows[entry - 1] = satellite_record::decode(record);
    }
    satellite_record::Record record_to_write(int entry) override
    {
        return satellite_record::encode(rows[entry - 1]);
    }
    void entry_done(int entry) override { bar.show(entry); }

    SatelliteCells rows[satellite_protocol::entry_count];
    Progress bar;
};

int satellites(const QStringList& arguments, bool reading)
{
    QCommandLineParser parser;
    const QCommandLineOption port(QStringLiteral("port"),
                                  QStringLiteral("The box's port: %1.").arg(port_names::accepted_names()),
                                  QStringLiteral("PORT"));
    parser.addOption(port);
    const QCommandLineOption allow_short(
        QStringLiteral("allow-short"),
        QStringLiteral("Write entries the file has no line for as empty entries."));
    if (!reading)
        parser.addOption(allow_short);
    parser.addPositionalArgument(QStringLiteral("FILE.csv"),
                                 QStringLiteral("The satellite table, as the window saves it."));
    int status = Success;
    const QString synopsis =
        reading ? QStringLiteral(
                      "Reads the box's 99 satellites into a CSV file (written only when the read succeeds).")
                : QStringLiteral(
                      "Writes a CSV file's 99 satellites into the box. A file with fewer lines is refused "
                      "unless --allow-short is given.");
    if (!parse(parser, arguments, synopsis, 1, status))
        return status;
    if (!parser.isSet(port)) {
        say(QStringLiteral("%1 needs --port PORT").arg(reading ? "sat-read" : "sat-write"));
        return Usage;
    }
    const QString path = parser.positionalArguments().at(0);
    auto table = std::make_unique<FileTable>();
    if (!reading) {
        satellite_csv::Reader file;
        if (!file.open(path))
            return tell(Message::CsvCannotOpen, InputUnreadable);
        int lines = 0;
        while (lines < satellite_protocol::entry_count && file.next(table->rows[lines]))
            ++lines;
        if (lines < satellite_protocol::entry_count && !parser.isSet(allow_short)) {
            say(QStringLiteral(
                    "%1 has %2 lines; the box's table has 99 (--allow-short writes the rest empty)")
                    .arg(path)
                    .arg(lines));
            return InputRejected;
        }
    }
    SerialChannel channel;
    if (const int opened = open_port(channel, parser.value(port)))
        return opened;
    const satellite_protocol::Outcome outcome = reading ? satellite_protocol::read_table(channel, *table)
                                                        : satellite_protocol::write_table(channel, *table);
    say(message_text(message_for(outcome, reading)).text);
    if (outcome != satellite_protocol::Outcome::Done || !reading)
        return exit_for(outcome);
    satellite_csv::Writer file;
    if (!file.open(path))
        return tell(Message::CsvCannotOpen, OutputUnwritable);
    for (const SatelliteCells& row : table->rows)
        file.write_row(row);
    if (!file.commit())
        return tell(Message::CsvWriteFailed, OutputUnwritable);
    return Success;
}

// What the system knows of its serial devices, so that a technician can tell the adapters apart.
void list_system_ports()
{
    const QList<QSerialPortInfo> found = QSerialPortInfo::availablePorts();
    std::printf("\nSerial devices the system reports: %d\n", int(found.size()));
    const auto or_dash = [](const QString& text) { return text.isEmpty() ? QStringLiteral("-") : text; };
    for (const QSerialPortInfo& port : found) {
        const QString usb = port.hasVendorIdentifier() && port.hasProductIdentifier()
                                ? QStringLiteral("%1:%2")
                                      .arg(port.vendorIdentifier(), 4, 16, QLatin1Char('0'))
                                      .arg(port.productIdentifier(), 4, 16, QLatin1Char('0'))
                                : QStringLiteral("-");
        std::printf("%s\n  description: %s\n  manufacturer: %s\n  usb: %s\n  serial number: %s\n",
                    qPrintable(port.systemLocation()), qPrintable(or_dash(port.description())),
                    qPrintable(or_dash(port.manufacturer())), qPrintable(usb),
                    qPrintable(or_dash(port.serialNumber())));
    }
}

int ports(const QStringList& arguments)
{
    QCommandLineParser parser;
    int status = Success;
    if (!parse(parser, arguments,
               QStringLiteral(
                   "Lists COM1 to COM15, the device each stands for (KDR7_COM<n>, or the default table) "
                   "and whether it opens now, then every serial device the system reports, with its "
                   "description, manufacturer, USB vendor:product and serial number. Nothing is sent."),
               0, status))
        return status;
    SerialChannel channel;
    for (const QString& name : port_names::all()) {
        const QString device = port_names::device_for(name);
        const bool opens = !channel.open(name);
        channel.release_port();
        std::printf("%-6s %-24s %s\n", qPrintable(name),
                    device.isEmpty() ? "(no device)" : qPrintable(device), opens ? "opens" : "not found");
    }
    list_system_ports();
    return Success;
}

const char* const usage =
    "Usage: zorvane-cli COMMAND [OPTIONS] ARGUMENTS\n\n"
    "Commands:\n"
    "  pack FILE.s19 FILE.bin             package S19 firmware into a BIN image\n"
    "  info [--json] FILE.bin             show what a BIN image holds\n"
    "  flash --port PORT FILE.bin         program an image into the box\n"
    "  sat-read --port PORT FILE.csv      read the box's satellite table into a CSV file\n"
    "  sat-write --port PORT FILE.csv     write a CSV file's satellite table into the box\n"
    "  ports                              list the ports and the system's serial devices\n\n"
    "PORT is COM1 to COM15; on Windows any COMn, elsewhere also a device path such as /dev/ttyUSB0.\n"
    "zorvane-cli COMMAND --help tells more. On other systems than Windows, KDR7_COM<n> names the "
    "device of COM<n>.\n";

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("zorvane-cli"));
    // Debug lines of the engines (page addresses and the like) are for developers, not for this output.
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString& text) {
        if (type != QtDebugMsg)
            std::fprintf(stderr, "%s\n", qPrintable(text));
    });
    QStringList arguments = app.arguments();
    if (arguments.size() < 2 || arguments.at(1) == QLatin1String("--help") ||
        arguments.at(1) == QLatin1String("-h")) {
        std::fprintf(arguments.size() < 2 ? stderr : stdout, "%s\n%s\n", usage, exit_help);
        return arguments.size() < 2 ? Usage : Success;
    }
    const QString command = arguments.takeAt(1);
    arguments[0] = QStringLiteral("zorvane-cli ") + command;
    if (command == QLatin1String("pack"))
        return pack(arguments);
    if (command == QLatin1String("info"))
        return info(arguments);
    if (command == QLatin1String("flash"))
        return flash(arguments);
    if (command == QLatin1String("sat-read"))
        return satellites(arguments, true);
    if (command == QLatin1String("sat-write"))
        return satellites(arguments, false);
    if (command == QLatin1String("ports"))
        return ports(arguments);
    std::fprintf(stderr, "zorvane-cli: unknown command %s\n\n%s", qPrintable(command), usage);
    return Usage;
}
