#include "serial/SerialChannel.h"

#include "serial/Deadline.h"
#include "serial/PortNames.h"
#include "serial/Trace.h"

#include <QFile>
#include <QSerialPort>
#include <QThread>

#include <utility>

#if defined(Q_OS_WIN)
#include "serial/Win32SerialPort.h"

#include <windows.h>
#elif defined(Q_OS_UNIX)
#include <cerrno>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#endif

namespace {

// Whether this user may open the device for reading and writing, whoever holds it now.
bool user_permitted(const QString& device)
{
#if defined(Q_OS_UNIX)
    return ::access(QFile::encodeName(device).constData(), R_OK | W_OK) == 0 || errno != EACCES;
#else
    // A COM port has no permissions of its own for a user: refused, it is held by another program.
    Q_UNUSED(device);
    return true;
#endif
}

// Why an open failed, from the port's error and whether this user may open the device at all: the
// system reports a port held elsewhere and a port denied to the user alike.
SerialChannel::Refusal refusal_for(QSerialPort::SerialPortError error, bool user_permitted)
{
    switch (error) {
    case QSerialPort::PermissionError:
        // Another program's lock or exclusive hold (Linux), or its open handle (Windows: COM ports are
        // opened exclusively) is reported as this, and so is a device the user may not open.
        return user_permitted ? SerialChannel::Refusal::Busy : SerialChannel::Refusal::NotPermitted;
    default:
        return SerialChannel::Refusal::Missing;
    }
}

} // namespace

SerialChannel::SerialChannel() = default;

SerialChannel::~SerialChannel()
{
    release_port();
}

bool SerialChannel::open(const QString& port_name)
{
    return open_device(port_names::device_for(port_name));
}

bool SerialChannel::open_device(const QString& device)
{
    // Held at once, so that destroying the channel always releases it, whatever fails below.
    port = std::make_unique<PortDevice>();
    port->setPortName(device);
    port->setBaudRate(baud_rate);
    port->setFlowControl(QSerialPort::NoFlowControl);
    port->setParity(QSerialPort::NoParity);
    port->setDataBits(QSerialPort::Data8);
    port->setStopBits(QSerialPort::OneStop);
    // An empty device would make QSerialPort try "/dev/" itself.
    if (!device.isEmpty() && !port->isOpen())
        port->open(QIODevice::ReadWrite);
    if (!port->isOpen()) {
        refused = device.isEmpty() ? Refusal::Missing : refusal_for(port->error(), user_permitted(device));
        return true;
    }
    refused = Refusal::None;
    open_time = std::chrono::steady_clock::now();
    // From no earlier than the open time: a trace's times never make a pause look longer than it was.
    if (trace != nullptr)
        trace->start();
    return false;
}

std::optional<SerialChannel::OpenedDevice> SerialChannel::opened_device() const
{
#if defined(Q_OS_UNIX)
    if (!port || !port->isOpen())
        return std::nullopt;
    const int fd = int(port->handle());
    struct stat node
    {
    };
    if (fd < 0 || ::fstat(fd, &node) != 0)
        return std::nullopt;
    return OpenedDevice{::isatty(fd) == 1 && S_ISCHR(node.st_mode), quint64(node.st_rdev)};
#else
    return std::nullopt;
#endif
}

std::optional<std::chrono::steady_clock::time_point> SerialChannel::opened_at() const
{
    if (!port || !port->isOpen())
        return std::nullopt;
    return open_time;
}

void SerialChannel::release_port()
{
    if (!port)
        return;
    if (port->isOpen()) {
#if defined(Q_OS_UNIX)
        // A terminal's last close waits for the output still queued to leave, up to the driver's closing
        // wait (30 s for a USB adapter): an adapter that stopped taking data would hold the command, or the
        // window, that long. The last close is made on a copy of the descriptor, within a bound of its own;
        // whatever was still queued could not leave within its write's bound anyway.
        const int spare = deadline_cuts_calls() ? ::fcntl(int(port->handle()), F_DUPFD_CLOEXEC, 0) : -1;
        port->close();
        if (spare >= 0) {
            // Closed once: a close that was cut short has let go of the descriptor all the same.
            bool closed = false;
            call_within(QDeadlineTimer(close_timeout_ms),
                        [&] { return std::exchange(closed, true) ? 0 : ::close(spare); });
        }
#else
        port->close();
#endif
    }
    port.reset();
}

int SerialChannel::write(const char* bytes, int count)
{
    if (!port || !port->isOpen() || count < 0)
        return -1;
    if (port->write(bytes, count) != count)
        return unsent(bytes, count);
    // QSerialPort only queues on write; without an event loop the bytes leave when we push them out.
    QDeadlineTimer deadline(qint64(write_timeout_ms) * qMax(count, 1));
    port->flush();
    while (port->bytesToWrite() > 0 && !device_failed()) {
        if (deadline.hasExpired())
            break;
        port->waitForBytesWritten(int(qMax<qint64>(deadline.remainingTime(), 1)));
    }
    if (port->bytesToWrite() > 0 || device_failed() || !drain(deadline)) {
        // Whatever could not leave in time must not trail into the next exchange.
        port->clear(QSerialPort::Output);
        return unsent(bytes, count);
    }
    if (port->error() == QSerialPort::TimeoutError)
        port->clearError();
    reply_window.setRemainingTime(turnaround_ms);
    // Traced once they are known to have left.
    if (trace != nullptr)
        trace->bytes(true, bytes, count, step);
    return count;
}

int SerialChannel::unsent(const char* bytes, int count)
{
    if (trace != nullptr)
        trace->unsent(bytes, count, step);
    return -1;
}

// QSerialPort's flush ends when the bytes reach the driver. A USB adapter then sends whatever has piled up
// back to back, and the pauses the box needs between bytes (1 ms in a satellite frame) collapse.
//
// Every step is held to the write's own bound (write_timeout_ms per byte: the line needs 0.17 ms per byte,
// so a write still queued after that is not coming out), and an adapter that stops taking data ends in a
// failed write, never in a frozen window or worker.
bool SerialChannel::drain(const QDeadlineTimer& deadline)
{
#if defined(Q_OS_WIN)
    // FlushFileBuffers waits with no bound at all: the driver's output queue is watched instead.
    const auto handle = static_cast<HANDLE>(port->handle());
    for (;;) {
        COMSTAT status{};
        DWORD errors = 0;
        if (!ClearCommError(handle, &errors, &status))
            return false;
        if (status.cbOutQue == 0)
            return true;
        if (deadline.hasExpired())
            return false;
        QThread::usleep(100);
    }
#elif defined(Q_OS_UNIX)
    // tcdrain sleeps until the driver's queue and then the adapter itself are empty, woken by the driver: no
    // polling, which four boxes on one CPU would pay for at every write.
    const int fd = port->handle();
    if (deadline_cuts_calls())
        return call_within(deadline, [fd] { return tcdrain(fd); });
    // Where nothing could cut a tcdrain that never returns, the driver's queue is watched instead.
    int queued = 0;
    while (ioctl(fd, TIOCOUTQ, &queued) == 0 && queued > 0) {
        if (deadline.hasExpired())
            return false;
        QThread::usleep(100);
    }
    return true;
#else
    Q_UNUSED(deadline);
    return true;
#endif
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

bool SerialChannel::gone() const
{
    return port && (!port->isOpen() || device_failed());
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

bool SerialChannel::read(char* buffer, int count, int* received)
{
    int got = 0;
    // What came is traced on every way out, a failing one included.
    const auto report = [&](bool failed) {
        if (received != nullptr)
            *received = got;
        if (trace != nullptr && got > 0)
            trace->bytes(false, buffer, got, step);
        return failed;
    };
    if (!port || !port->isOpen())
        return report(true);
    if (count <= 0)
        return report(false);
    if (port->bytesAvailable() == 0)
        poll_device();
    if (device_failed())
        return report(true);
    while (port->bytesAvailable() > 0) {
        const qint64 n = port->read(buffer + got, count - got);
        if (n < 0)
            return report(true);
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
    return report(device_failed());
}

void SerialChannel::note_empty_wait(qint64 waited_ns)
{
    if (trace != nullptr)
        trace->empty_wait(waited_ns, step);
}
