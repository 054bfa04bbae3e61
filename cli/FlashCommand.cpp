#include "cli/Commands.h"
#include "cli/Ports.h"
#include "cli/Rack.h"
#include "cli/Terminal.h"
#include "cli/Watch.h"
#include "station/ProductionLog.h"
#include "station/Rack.h"

#include <QCommandLineParser>
#include <QFileInfo>

using namespace cli;

namespace {

struct WatchOptionNames
{
    QCommandLineOption watch{QStringLiteral("watch"),
                             QStringLiteral("Program each box as its serial device appears in DIR (given "
                                            "before FILE.bin; by default /dev/serial/by-id, on Windows the "
                                            "USB serial ports), once per plug, until Ctrl+C.")};
    QCommandLineOption new_only{
        QStringLiteral("new-only"),
        QStringLiteral("With --watch: leave the devices present at the start alone.")};
    QCommandLineOption match{QStringLiteral("match"),
                             QStringLiteral("With --watch: only the entries whose name matches the wildcard "
                                            "PATTERN (such as 'usb-FTDI_*'); on Windows the COM ports whose "
                                            "name or USB serial number matches it (COM7, 'A50285*')."),
                             QStringLiteral("PATTERN")};
    QCommandLineOption count{QStringLiteral("count"), QStringLiteral("With --watch: end after N boxes."),
                             QStringLiteral("N")};
};

// The watch's options from the command line; Success or Usage with the reason said.
int watch_options(const QCommandLineParser& parser, const WatchOptionNames& o, WatchOptions& options)
{
    const QStringList positional = parser.positionalArguments();
#ifdef Q_OS_WIN
    if (positional.size() == 2) {
        say(QStringLiteral("On Windows --watch looks at the COM ports: it takes no folder"));
        return Usage;
    }
#else
    // Absolute: the entries' paths are the ports, and a port is a device path.
    options.folder = positional.size() == 2 ? QFileInfo(positional.first()).absoluteFilePath()
                                            : QStringLiteral("/dev/serial/by-id");
    // udev makes /dev/serial/by-id with the first adapter and removes it with the last: a folder that is not
    // there yet is waited for, a path that is there must be a folder.
    const QFileInfo folder(options.folder);
    if (folder.exists() && !folder.isDir()) {
        say(QStringLiteral("%1 is no folder").arg(options.folder));
        return Usage;
    }
#endif
    options.new_only = parser.isSet(o.new_only);
    options.match = parser.value(o.match);
    if (parser.isSet(o.count)) {
        bool ok = false;
        options.count = parser.value(o.count).toInt(&ok);
        if (!ok || options.count < 1) {
            say(QStringLiteral("--count takes a number of boxes, 1 or more"));
            return Usage;
        }
    }
    return Success;
}

} // namespace

int commands::flash(const QStringList& arguments)
{
    QCommandLineParser parser;
    const QCommandLineOption port = port_option();
    const QCommandLineOption trace = trace_option();
    const QCommandLineOption log_file = log_option();
    const WatchOptionNames w;
    parser.addOptions({port, trace, log_file, w.watch, w.new_only, w.match, w.count});
    parser.addPositionalArgument(QStringLiteral("FILE.bin"), QStringLiteral("The image to program."),
                                 QStringLiteral("[DIR] FILE.bin"));
    int status = Success;
    if (!parse(
            parser, arguments,
            QStringLiteral("Programs a BIN image into the box through its bootloader. Ctrl+C stops after the "
                           "page in progress (nothing more is sent); a second Ctrl+C ends at once. --port "
                           "repeated programs every named box at the same time; --trace then writes one "
                           "file per port (FILE.COMn). --watch programs each box as it is plugged in; Ctrl+C "
                           "then ends after the boxes in progress."),
            1, status, 2))
        return status;
    const bool watching = parser.isSet(w.watch);
    if (!watching && (parser.positionalArguments().size() != 1 || parser.isSet(w.new_only) ||
                      parser.isSet(w.match) || parser.isSet(w.count))) {
        say(QStringLiteral("A folder, --new-only, --match and --count go with --watch"));
        return Usage;
    }
    if (watching && (parser.isSet(port) || parser.isSet(trace))) {
        say(QStringLiteral("--watch finds its ports itself, and keeps no trace: use --port and --trace "
                           "without it"));
        return Usage;
    }
    if (!watching && !parser.isSet(port)) {
        say(QStringLiteral("flash needs --port PORT"));
        return Usage;
    }
    WatchOptions options;
    if (watching) {
        if (const int usable = watch_options(parser, w, options))
            return usable;
    }
    // The image first: a box is worth naming only for an image that can go into it.
    const QString image = parser.positionalArguments().last();
    if (const int readable = check_image(image))
        return readable;
    QList<Port> ports;
    if (const int resolved = resolve_ports(parser.values(port), ports))
        return resolved;
    // Every file the job writes, before any is opened: the log, the trace, each box's trace.
    QStringList outputs;
    if (parser.isSet(log_file))
        outputs << parser.value(log_file);
    if (const std::optional<QString> traced = trace_path(parser, trace)) {
        if (ports.size() == 1) {
            outputs << *traced;
        } else {
            QStringList names;
            for (const Port& p : ports)
                names << p.name;
            for (const QString& suffix : station::trace_suffixes(names))
                outputs << *traced + QLatin1Char('.') + suffix;
        }
    }
    if (const int apart = distinct_files({image}, outputs))
        return apart;
    ProductionLog log;
    if (parser.isSet(log_file) && !log.open(parser.value(log_file), image)) {
        say(command_text::log_unwritable(parser.value(log_file)));
        return OutputUnwritable;
    }
    log.reopened = [](const QString& path) { say(command_text::log_reopened(path)); };
    ProductionLog* logged = log.is_open() ? &log : nullptr;
    if (watching)
        return watch_and_flash(image, options, logged);
    return flash_rack(image, ports, trace_path(parser, trace), logged);
}
