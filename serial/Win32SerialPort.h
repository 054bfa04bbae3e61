#pragma once

#include <QByteArray>
#include <QDeadlineTimer>
#include <QSerialPort>
#include <QString>

// The port under SerialChannel on Windows: a plain synchronous COM handle (CreateFile, SetCommState,
// SetCommTimeouts, ReadFile, WriteFile, ClearCommError), as the box's first Windows tool drove it. It offers
// the few calls of QSerialPort that SerialChannel makes, with the same meaning, so that the channel reads
// the same on every platform.
//
// Why not QSerialPort here: its Windows back end waits for the driver's receive event (EV_RXCHAR), and an
// emulation of the driver can miss that event for a byte that arrived before the wait began. The box
// answers "0" within a millisecond of the bootloader request, so that first reply would be lost. Polling
// the input queue (cbInQue) sees every byte, whenever it came.
class Win32SerialPort
{
public:
    // A write's bound per byte, as the line settings give it.
    static constexpr int write_timeout_ms = 20;
    // How long a close may take (as SerialChannel's close_timeout_ms on Linux).
    static constexpr int close_timeout_ms = 100;

    Win32SerialPort() = default;
    ~Win32SerialPort();
    Win32SerialPort(const Win32SerialPort&) = delete;
    Win32SerialPort& operator=(const Win32SerialPort&) = delete;

    void setPortName(const QString& name) { port_name = name; }
    void setBaudRate(qint32 rate) { baud = rate; }
    // The line is always 8N1 without flow control: these only record what the channel asks for.
    void setFlowControl(QSerialPort::FlowControl) {}
    void setParity(QSerialPort::Parity) {}
    void setDataBits(QSerialPort::DataBits) {}
    void setStopBits(QSerialPort::StopBits) {}

    bool open(QIODevice::OpenMode mode);
    bool isOpen() const;
    void close();
    // The Win32 HANDLE.
    void* handle() const { return device; }

    // Queues the bytes; flush() sends them.
    qint64 write(const char* data, qint64 size);
    // Sends what is queued, all of it within write_timeout_ms per byte.
    bool flush();
    qint64 bytesToWrite() const { return outgoing.size(); }
    // Sends what is queued, all of it within msecs.
    bool waitForBytesWritten(int msecs);
    bool clear(QSerialPort::Directions directions);

    // Takes in what the driver holds; when nothing is there, polls for up to msecs. True when bytes came.
    bool waitForReadyRead(int msecs);
    qint64 bytesAvailable() const { return incoming.size(); }
    qint64 read(char* data, qint64 max_size);

    QSerialPort::SerialPortError error() const { return last_error; }
    void clearError() { last_error = QSerialPort::NoError; }

private:
    // Bytes the driver holds, or -1 when the device failed.
    qint64 driver_queue();
    bool take_in();
    bool send_within(const QDeadlineTimer& deadline, bool first_on_device_bound);

    QString port_name;
    qint32 baud = 57600;
    void* device = nullptr;
    QByteArray incoming;
    QByteArray outgoing;
    QSerialPort::SerialPortError last_error = QSerialPort::NoError;
};
