#include "serial/SerialChannel.h"

#include "serial/Deadline.h"
#include "serial/PortNames.h"
#include "serial/ReplyWait.h"
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
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#endif
#if defined(Q_OS_LINUX)
#include <linux/serial.h>
#include <sys/prctl.h>
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
    ask_low_latency();
    return false;
}

// An FTDI adapter holds what it received until its latency timer runs out, 16 ms unless asked otherwise:
// every reply of the box would wait that long in the chip. Its driver lowers the timer to 1 ms while the port
// has ASYNC_LOW_LATENCY, which any user may set. The other fields go back as they were read: a user who is
// not root may not change the close delays. A driver that has no such flags (a pseudo-terminal) is left
// alone.
#if defined(Q_OS_LINUX)
constexpr int low_latency_flag = int(ASYNC_LOW_LATENCY);
#endif

void SerialChannel::ask_low_latency()
{
#if defined(Q_OS_LINUX)
    const int fd = int(port->handle());
    serial_struct settings{};
    const auto not_set = [this](const char* what) {
        if (trace != nullptr)
            trace->note(QStringLiteral("low latency not set: %1 (%2)")
                            .arg(QLatin1String(what), QString::fromLocal8Bit(std::strerror(errno))));
    };
    if (::ioctl(fd, TIOCGSERIAL, &settings) != 0)
        return not_set("the driver has no serial settings");
    if ((settings.flags & low_latency_flag) != 0)
        return;
    const int before = settings.flags;
    settings.flags |= low_latency_flag;
    if (::ioctl(fd, TIOCSSERIAL, &settings) != 0)
        return not_set("the driver refused it");
    flags_before = before;
    if (trace != nullptr)
        trace->note(QStringLiteral("low latency set"));
#endif
}

void SerialChannel::restore_latency()
{
#if defined(Q_OS_LINUX)
    if (!flags_before)
        return;
    const int fd = int(port->handle());
    serial_struct settings{};
    // A device that is gone has nothing left to put back.
    if (::ioctl(fd, TIOCGSERIAL, &settings) == 0) {
        settings.flags = (settings.flags & ~low_latency_flag) | (*flags_before & low_latency_flag);
        ::ioctl(fd, TIOCSSERIAL, &settings);
    }
    flags_before.reset();
#endif
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
        restore_latency();
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
    std::chrono::steady_clock::time_point emptied;
    if (port->bytesToWrite() > 0 || device_failed() || !wait_until_handed_on(deadline, count, emptied)) {
        // Whatever could not leave in time must not trail into the next exchange.
        port->clear(QSerialPort::Output);
        return unsent(bytes, count);
    }
    if (port->error() == QSerialPort::TimeoutError)
        port->clearError();
    // Once the driver's queue is empty the adapter's chip or the UART holds at most these bytes, and sends
    // them back to back: the last has left within their wire time from the moment the queue was seen empty
    // (never sooner than that moment, so the box never gets a gap shorter than the pause that follows).
    const auto on_line_until = emptied + wire_time(count);
    line_busy_until(on_line_until);
    reply_window = QDeadlineTimer(on_line_until + std::chrono::milliseconds(turnaround_ms));
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
// back to back, and the pauses the box needs between bytes (1 ms in a satellite frame) collapse. So a write
// waits until the driver's own queue is empty: for a USB adapter its transfer has completed, for a UART the
// bytes are in its FIFO. Not for the line itself (tcdrain): what that costs is the driver's choice, a jiffy
// of 4 ms a look on a 16550 and a USB control transfer a look on FTDI and CP210x adapters, at every byte.
// The wire time that remains is counted by the caller (see write).
//
// Every step is held to the write's own bound (write_timeout_ms per byte: the line needs 0.17 ms per byte,
// so a write still queued after that is not coming out), and an adapter that stops taking data ends in a
// failed write, never in a frozen window or worker.
bool SerialChannel::wait_until_handed_on(const QDeadlineTimer& deadline, int written,
                                         std::chrono::steady_clock::time_point& emptied)
{
#if defined(Q_OS_WIN)
    const auto handle = static_cast<HANDLE>(port->handle());
    const auto began = std::chrono::steady_clock::now();
    for (;;) {
        COMSTAT status{};
        DWORD errors = 0;
        if (!ClearCommError(handle, &errors, &status))
            return false;
        emptied = std::chrono::steady_clock::now();
        if (status.cbOutQue == 0)
            return true;
        if (deadline.hasExpired())
            return false;
        // Windows rounds every sleep up to a timer tick (1 ms at best): for the short wait that a few bytes
        // need the thread only yields; an adapter that takes longer is looked at once a tick.
        if (emptied - began < wire_time(written) + std::chrono::milliseconds(2))
            QThread::yieldCurrentThread();
        else
            QThread::usleep(100);
    }
#elif defined(Q_OS_UNIX)
#if defined(Q_OS_LINUX)
    // The default timer slack would add some 50 µs to every look.
    static thread_local const bool precise = ::prctl(PR_SET_TIMERSLACK, 1UL) == 0;
    Q_UNUSED(precise);
#endif
    const int fd = int(port->handle());
    int queued = 0;
    bool looked = false;
    while (::ioctl(fd, TIOCOUTQ, &queued) == 0) {
        emptied = std::chrono::steady_clock::now();
        if (queued <= 0)
            return true;
        const qint64 left_ns = deadline.remainingTimeNSecs();
        if (left_ns <= 0)
            return false;
        // Asleep for as long as the write's bytes need at the least, then looked at finely: four boxes on one
        // CPU still spend little on it, and the write ends close to when the driver has let go. Counted from
        // the write, not from the queue: cdc-acm tells its queue in whole transfer buffers (hundreds of bytes
        // for a byte written), which would put a byte to sleep for their wire time.
        const qint64 pause_ns =
            qMin(left_ns, looked ? queue_poll_ns : qMax(queue_poll_ns, written * wire_ns_per_byte));
        looked = true;
        const timespec pause{time_t(pause_ns / 1000000000), long(pause_ns % 1000000000)};
        ::nanosleep(&pause, nullptr);
    }
    // Not a terminal any more (gone): whether the bytes left cannot be told.
    return false;
#else
    Q_UNUSED(deadline);
    Q_UNUSED(written);
    emptied = std::chrono::steady_clock::now();
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
