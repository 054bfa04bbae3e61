#include "cli/Commands.h"
#include "cli/Terminal.h"
#include "serial/PortNames.h"
#include "serial/SerialChannel.h"

#include <QCommandLineParser>
#include <QSerialPortInfo>

#include <cstdio>

using namespace cli;

namespace {

// What the system knows of its serial devices, so that a technician can tell the adapters apart.
void list_system_ports()
{
    const QList<QSerialPortInfo> found = QSerialPortInfo::availablePorts();
    cli::print(QString::asprintf("\nSerial devices the system reports: %d\n", int(found.size())));
    const auto or_dash = [](const QString& text) { return text.isEmpty() ? QStringLiteral("-") : text; };
    for (const QSerialPortInfo& port : found) {
        const QString usb = port.hasVendorIdentifier() && port.hasProductIdentifier()
                                ? QStringLiteral("%1:%2")
                                      .arg(port.vendorIdentifier(), 4, 16, QLatin1Char('0'))
                                      .arg(port.productIdentifier(), 4, 16, QLatin1Char('0'))
                                : QStringLiteral("-");
        cli::print(QString::asprintf(
            "%s\n  description: %s\n  manufacturer: %s\n  usb: %s\n  serial number: %s\n",
            qUtf8Printable(port.systemLocation()), qUtf8Printable(or_dash(port.description())),
            qUtf8Printable(or_dash(port.manufacturer())), qUtf8Printable(usb),
            qUtf8Printable(or_dash(port.serialNumber()))));
    }
}

// What became of a port's open, in the list's words.
const char* open_state(bool opens, SerialChannel::Refusal refusal)
{
    if (opens)
        return "opens";
    switch (refusal) {
    case SerialChannel::Refusal::Busy:
        return "busy";
    case SerialChannel::Refusal::NotPermitted:
        return "not permitted";
    case SerialChannel::Refusal::None:
    case SerialChannel::Refusal::Missing:
        break;
    }
    return "not found";
}

} // namespace

int commands::ports(const QStringList& arguments)
{
    QCommandLineParser parser;
    int status = Success;
    if (!parse(parser, arguments,
               QStringLiteral(
                   "Lists COM1 to COM15, the device each stands for (KDR7_COM<n>, or the default table) "
                   "and whether it opens now (or is busy: held by another program; not permitted; not "
                   "found), then every serial device the system reports, with its "
                   "description, manufacturer, USB vendor:product and serial number. Nothing is sent."),
               0, status))
        return status;
    SerialChannel channel;
    for (const QString& name : port_names::all()) {
        const QString device = port_names::device_for(name);
        const bool opens = !channel.open(name);
        channel.release_port();
        cli::print(QString::asprintf("%-6s %-24s %s\n", qUtf8Printable(name),
                                     device.isEmpty() ? "(no device)" : qUtf8Printable(device),
                                     open_state(opens, channel.refusal())));
    }
    list_system_ports();
    return Success;
}
