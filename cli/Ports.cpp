#include "cli/Ports.h"

#include "cli/Terminal.h"
#include "outcome/Messages.h"
#include "serial/PortNames.h"
#include "serial/SerialChannel.h"
#include "serial/Trace.h"

#include <QCommandLineParser>
#include <QSet>

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

int end_trace(const Trace& trace, const QString& path, int status)
{
    if (!trace.failed())
        return status;
    say(command_text::trace_incomplete(path));
    return status == Success ? OutputUnwritable : status;
}

} // namespace cli
