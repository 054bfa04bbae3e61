#include "serial/SerialChannel.h"

#include "serial/PortNames.h"

#include <QSerialPort>

SerialChannel::SerialChannel() = default;

SerialChannel::~SerialChannel()
{
    release_port();
}

bool SerialChannel::open(const QString& port_name)
{
    // Held at once, so that destroying the channel always releases it, whatever fails below.
    port = std::make_unique<QSerialPort>();
    const QString device = port_names::device_for(port_name);
    port->setPortName(device);
    port->setBaudRate(baud_rate);
    port->setFlowControl(QSerialPort::NoFlowControl);
    port->setParity(QSerialPort::NoParity);
    port->setDataBits(QSerialPort::Data8);
    port->setStopBits(QSerialPort::OneStop);
    // An empty device would make QSerialPort try "/dev/" itself.
    if (!device.isEmpty() && !port->isOpen())
        port->open(QIODevice::ReadWrite);
    return !port->isOpen();
}

void SerialChannel::release_port()
{
    if (!port)
        return;
    if (port->isOpen())
        port->close();
    port.reset();
}

int SerialChannel::write(const char* bytes, int count)
{
    if (!port || !port->isOpen() || count < 0)
        return -1;
    if (port->write(bytes, count) != count)
        return -1;
    // QSerialPort only queues on write; without an event loop the bytes leave when we push them out.
    QDeadlineTimer deadline(qint64(write_timeout_ms) * qMax(count, 1));
    port->flush();
    while (port->bytesToWrite() > 0 && !device_failed()) {
        if (deadline.hasExpired())
            break;
        port->waitForBytesWritten(int(qMax<qint64>(deadline.remainingTime(), 1)));
    }
    if (port->bytesToWrite() > 0 || device_failed()) {
        // Whatever could not leave in time must not trail into the next exchange.
        port->clear(QSerialPort::Output);
        return -1;
    }
    if (port->error() == QSerialPort::TimeoutError)
        port->clearError();
    reply_window.setRemainingTime(turnaround_ms);
    return count;
}

void SerialChannel::poll_device()
{
    port->waitForReadyRead(int(reply_window.remainingTime()));
    if (port->error() == QSerialPort::TimeoutError)
        port->clearError();
}

bool SerialChannel::device_failed() const
{
    const QSerialPort::SerialPortError e = port->error();
    return e != QSerialPort::NoError && e != QSerialPort::TimeoutError;
}

bool SerialChannel::nothing_waiting()
{
    if (!port || !port->isOpen())
        return true;
    if (port->bytesAvailable() > 0)
        return false;
    poll_device();
    if (device_failed())
        return true;
    return port->bytesAvailable() < 1;
}

bool SerialChannel::read(char* buffer, int count)
{
    if (!port || !port->isOpen())
        return true;
    if (count <= 0)
        return false;
    if (port->bytesAvailable() == 0)
        poll_device();
    if (device_failed())
        return true;
    int got = 0;
    while (port->bytesAvailable() > 0) {
        const qint64 n = port->read(buffer + got, count - got);
        if (n < 0)
            return true;
        got += int(n);
        if (got >= count)
            break;
        // The inter-byte time-out: a further byte must follow within its bound, or the read ends short.
        if (!port->waitForReadyRead(inter_byte_timeout_ms)) {
            if (port->error() == QSerialPort::TimeoutError)
                port->clearError();
            break;
        }
    }
    return device_failed();
}
