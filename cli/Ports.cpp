#include "cli/Ports.h"

#include "cli/Terminal.h"
#include "outcome/Messages.h"
#include "serial/FtdiLatency.h"
#include "serial/PortNames.h"
#include "serial/SerialChannel.h"
#include "serial/Trace.h"

#include <QCommandLineParser>
#include <QFile>
#include <QFileInfo>
#include <QSet>

#include <sys/stat.h>

namespace cli {

QCommandLineOption port_option()
{
    return QCommandLineOption(QStringLiteral("port"),
                              QStringLiteral("The box's port: %1.").arg(port_names::accepted_names()),
                              QStringLiteral("PORT"));
}

QCommandLineOption trace_option()
{
    return QCommandLineOption(
        QStringLiteral("trace"),
        QStringLiteral("Record every byte of the exchange, its time and its step in FILE."),
        QStringLiteral("FILE"));
}

QCommandLineOption log_option()
{
    return QCommandLineOption(
        QStringLiteral("log"),
        QStringLiteral("Append a record of each box's job to FILE, one JSON object a line "
                       "(the production log)."),
        QStringLiteral("FILE"));
}

int resolve_ports(const QStringList& names, QList<Port>& ports)
{
    QSet<QString> seen;
    for (const QString& name : names) {
        if (!port_names::accepts(name)) {
            say(command_text::no_such_port(name, port_names::accepted_names()));
            return Usage;
        }
        const Port port{name, port_names::device_for(name), port_names::identity(name)};
        if (seen.contains(port.identity)) {
            say(QString::fromLatin1(command_text::port_named_twice));
            return Usage;
        }
        seen.insert(port.identity);
        ports << port;
        // Said before the job, once a port: the setting is the adapter's and stays as it is.
        const std::optional<int> latency = ftdi_latency::of_port(name);
        if (latency && *latency > ftdi_latency::acceptable_ms)
            say(ftdi_latency_advice(name, *latency));
    }
    return Success;
}

int open_port(SerialChannel& channel, const Port& port)
{
    if (channel.open_device(port.device))
        return tell(Message::PortUnavailable, PortUnavailable);
    return Success;
}

std::optional<QString> trace_path(const QCommandLineParser& parser, const QCommandLineOption& option)
{
    if (!parser.isSet(option))
        return std::nullopt;
    return parser.value(option);
}

int open_trace(const std::optional<QString>& path, const QString& job_file, const Port& port, Trace& trace)
{
    if (!path)
        return Success;
    if (!trace.open(*path, false, job_file)) {
        say(command_text::trace_unwritable(*path));
        return OutputUnwritable;
    }
    trace.note(QStringLiteral("%1 on %2").arg(job_file, port.name));
    return Success;
}

namespace {

// The same for two names of one file: an existing file by its inode (links, hard links, "./x" and "x"), a
// new one by its folder's real path and its name.
QString file_key(const QString& path)
{
#ifndef Q_OS_WIN
    struct stat node
    {
    };
    if (::stat(QFile::encodeName(path).constData(), &node) == 0)
        return QStringLiteral("inode:%1:%2").arg(qulonglong(node.st_dev)).arg(qulonglong(node.st_ino));
#endif
    const QFileInfo file(path);
    const QString folder = QFileInfo(file.absolutePath()).canonicalFilePath();
    QString key = QStringLiteral("path:") +
                  (folder.isEmpty() ? file.absoluteFilePath() : folder + QLatin1Char('/') + file.fileName());
#ifdef Q_OS_WIN
    key = key.toLower();
#endif
    return key;
}

} // namespace

int distinct_files(const QStringList& inputs, const QStringList& outputs)
{
    const QStringList all = inputs + outputs;
    QStringList keys;
    for (const QString& path : all)
        keys << file_key(path);
    for (qsizetype o = inputs.size(); o < all.size(); ++o) {
        for (qsizetype other = 0; other < all.size(); ++other) {
            if (other != o && keys[other] == keys[o]) {
                say(command_text::same_file(all[qMin(o, other)], all[qMax(o, other)]));
                return Usage;
            }
        }
    }
    return Success;
}

int end_trace(const Trace& trace, const QString& path, int status)
{
    if (!trace.failed())
        return status;
    say(command_text::trace_incomplete(path));
    return status == Success ? OutputUnwritable : status;
}

} // namespace cli
