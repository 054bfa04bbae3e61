#pragma once

#include <QDeadlineTimer>
#include <QString>

#include <chrono>
#include <memory>
#include <optional>

class Trace;
// The port itself, one class per platform with the same calls: QtSerialPort, and on Windows a plain
// synchronous COM handle (see Win32SerialPort.h for why).
#ifdef Q_OS_WIN
class Win32SerialPort;
using PortDevice = Win32SerialPort;
#else
class QSerialPort;
using PortDevice = QSerialPort;
#endif

// The one way to the box: a port opened with the box's fixed line settings, moving raw bytes.
// Failures are flags (true = failed); every command, reply, pause and retry belongs to the caller.
//
// Reads never wait for a first byte: with nothing arrived a read returns at once and leaves the buffer as
// it was. Once bytes have arrived, a read waits at most inter_byte_timeout_ms for each further byte.
// A write returns only after its bytes have left (or its bound of write_timeout_ms per byte ran out).
//
// The byte operations are virtual so that a stand-in without a device can take the channel's place where
// the protocols are driven with arbitrary answers (the fuzzers).
class SerialChannel
{
public:
    static constexpr int baud_rate = 57600;
    static constexpr int inter_byte_timeout_ms = 20;
    static constexpr int write_timeout_ms = 20;
    // A reply cannot be back sooner than this after a write has left (at 57600 baud a one-byte command and a
    // one-byte answer alone take 0.35 ms): a poll in that window waits for it instead of reporting nothing.
    static constexpr int turnaround_ms = 1;
    // The longest a port's close waits for output that the device does not take.
    static constexpr int close_timeout_ms = 100;
    // How long a byte takes on the line at 57600 8N1 (10 bits: start, 8 data, stop), rounded up.
    static constexpr qint64 wire_ns_per_byte = (qint64(1000000000) * 10 + baud_rate - 1) / baud_rate;
    // How long count bytes take on the line.
    static constexpr std::chrono::nanoseconds wire_time(int count)
    {
        return std::chrono::nanoseconds(wire_ns_per_byte * qMax(count, 0));
    }
    // How often a write looks again whether the driver has handed its bytes on.
    static constexpr qint64 queue_poll_ns = 100000;

    SerialChannel();
    virtual ~SerialChannel();
    SerialChannel(const SerialChannel&) = delete;
    SerialChannel& operator=(const SerialChannel&) = delete;

    // Opens a port name ("COM1" .. "COM15", see port_names::device_for); true = the port is not open
    // (missing, busy, not permitted). Call only on a channel that holds no port.
    bool open(const QString& port_name);
    // The same for the device that a name stands for (empty: none, the port is not open).
    virtual bool open_device(const QString& device);

    // Why the last open failed, as a person would be told: no such device, held by another program, or
    // not permitted to this user. None after an open that succeeded.
    enum class Refusal
    {
        None,
        Missing,
        Busy,
        NotPermitted,
    };
    Refusal refusal() const { return refused; }

    // What the open port is, so that a caller can make sure it opened the device it meant before a byte is
    // sent: a terminal or not, and its device number. None where the port is not open or the system does
    // not tell (Windows).
    struct OpenedDevice
    {
        bool terminal = false;
        quint64 number = 0;
    };
    std::optional<OpenedDevice> opened_device() const;
    // When the open port was opened (taken just after the open returned, so never before the device saw
    // it); none where no port is open (a stand-in included).
    std::optional<std::chrono::steady_clock::time_point> opened_at() const;

    // Bytes written and transmitted, or -1. The write returns once the driver holds none of them (the
    // adapter or the UART has them all), and tells the thread's pauses that the line carries them for their
    // wire time from then on (line_busy_until): a pause after a write starts when its last byte has left.
    virtual int write(const char* bytes, int count);

    // True while no byte is waiting to be read, and when the device has failed.
    virtual bool nothing_waiting();

    // At most count bytes into buffer; true only on a device error. Bytes that did not arrive leave the
    // buffer unchanged; received, when given, tells how many came.
    virtual bool read(char* buffer, int count, int* received = nullptr);

    // True once the device has gone (an adapter pulled out, a line hung up) or failed: no byte can come or
    // go any more. A channel without a port of its own (a stand-in) never is.
    bool gone() const;

    // Closes and destroys the port; the channel can open again afterwards.
    void release_port();

    // Every byte written and read from now on goes into the trace (null: none), under the current step.
    void set_trace(Trace* to) { trace = to; }
    bool tracing() const { return trace != nullptr; }
    // What the bytes that follow belong to ("page 3 line 5 attempt 1"); only kept while tracing.
    void set_step(const QString& name) { step = name; }
    // A wait for a reply that ended with nothing, and how long it took.
    void note_empty_wait(qint64 waited_ns);

private:
    // A write that did not leave: traced as such; -1.
    int unsent(const char* bytes, int count);
    // Lets the port take in whatever the driver holds, without blocking.
    void poll_device();
    // True once the device reported an error other than a time-out (unplugged, read or write failure).
    bool device_failed() const;
    // Waits, within the deadline, until the driver has handed every queued byte (the written ones) to the
    // adapter or the UART; when it saw that, in emptied. False if the deadline came first or the driver
    // cannot tell.
    bool wait_until_handed_on(const QDeadlineTimer& deadline, int written,
                              std::chrono::steady_clock::time_point& emptied);
    // Asks the driver to pass received bytes on at once (see the .cpp); put back as it was on release.
    void ask_low_latency();
    void restore_latency();

    std::unique_ptr<PortDevice> port;
    Refusal refused = Refusal::None;
    std::chrono::steady_clock::time_point open_time;
    // The port's serial flags before ask_low_latency changed them; none when it changed nothing.
    std::optional<int> flags_before;
    QDeadlineTimer reply_window;
    Trace* trace = nullptr;
    QString step;
};

// Names the step of the bytes that follow, building the name only while the channel is traced.
template <typename MakeName> void trace_step(SerialChannel& channel, MakeName&& make_name)
{
    if (channel.tracing())
        channel.set_step(make_name());
}
