#include "serial/Win32SerialPort.h"

#include <QDeadlineTimer>

#include <windows.h>

namespace {

HANDLE as_handle(void* device)
{
    return static_cast<HANDLE>(device);
}

// Reads take what is there and never wait; a write may take write_timeout_ms per byte.
COMMTIMEOUTS per_byte_timeouts()
{
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.WriteTotalTimeoutMultiplier = DWORD(Win32SerialPort::write_timeout_ms);
    return timeouts;
}

DWORD WINAPI close_handle(void* handle)
{
    return CloseHandle(static_cast<HANDLE>(handle)) ? 0 : 1;
}

} // namespace

Win32SerialPort::~Win32SerialPort()
{
    close();
}

bool Win32SerialPort::open(QIODevice::OpenMode)
{
    if (isOpen())
        return true;
    // "\\.\COMn": the only form that reaches COM10 and beyond.
    const QString path = QStringLiteral("\\\\.\\") + port_name;
    const HANDLE h = CreateFileW(reinterpret_cast<const wchar_t*>(path.utf16()), GENERIC_READ | GENERIC_WRITE,
                                 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        // Windows refuses a COM port that another program holds with "access denied"; Wine says "sharing
        // violation". Either way the port is there, and busy.
        const DWORD reason = GetLastError();
        last_error = reason == ERROR_ACCESS_DENIED || reason == ERROR_SHARING_VIOLATION
                         ? QSerialPort::PermissionError
                         : QSerialPort::DeviceNotFoundError;
        return false;
    }
    DCB dcb{};
    dcb.DCBlength = sizeof(dcb);
    // Reads return at once with what is there; a write may take 20 ms per byte, as the line settings say.
    COMMTIMEOUTS timeouts = per_byte_timeouts();
    const bool configured = GetCommState(h, &dcb) != 0 && [&] {
        dcb.BaudRate = DWORD(baud);
        dcb.ByteSize = 8;
        dcb.Parity = NOPARITY;
        dcb.StopBits = ONESTOPBIT;
        dcb.fBinary = TRUE;
        dcb.fParity = FALSE;
        dcb.fOutxCtsFlow = FALSE;
        dcb.fOutxDsrFlow = FALSE;
        dcb.fDtrControl = DTR_CONTROL_ENABLE;
        dcb.fRtsControl = RTS_CONTROL_ENABLE;
        dcb.fDsrSensitivity = FALSE;
        dcb.fOutX = FALSE;
        dcb.fInX = FALSE;
        dcb.fNull = FALSE;
        dcb.fAbortOnError = FALSE;
        return SetCommState(h, &dcb) != 0;
    }() && SetCommTimeouts(h, &timeouts) != 0;
    if (!configured) {
        CloseHandle(h);
        last_error = QSerialPort::UnsupportedOperationError;
        return false;
    }
    PurgeComm(h, PURGE_RXCLEAR | PURGE_TXCLEAR);
    device = h;
    last_error = QSerialPort::NoError;
    return true;
}

bool Win32SerialPort::isOpen() const
{
    return device != nullptr;
}

// A COM port's close waits in the driver for what it still holds: a USB adapter that stopped taking data
// (pulled mid-write, a hung driver) would hold the command, or the window, with no end. What is queued is
// dropped first (it could not leave within its write's bound anyway) and any call still waiting on the
// handle cancelled; the close itself then runs on a thread of its own and is waited for close_timeout_ms.
// A close that takes longer finishes by itself, or with the process.
void Win32SerialPort::close()
{
    if (device != nullptr) {
        const HANDLE handle = as_handle(device);
        PurgeComm(handle, PURGE_TXABORT | PURGE_TXCLEAR | PURGE_RXABORT | PURGE_RXCLEAR);
        CancelIoEx(handle, nullptr);
        const HANDLE closing = CreateThread(nullptr, 0, close_handle, handle, 0, nullptr);
        if (closing == nullptr) {
            CloseHandle(handle);
        } else {
            WaitForSingleObject(closing, DWORD(close_timeout_ms));
            CloseHandle(closing);
        }
    }
    device = nullptr;
    incoming.clear();
    outgoing.clear();
}

qint64 Win32SerialPort::write(const char* data, qint64 size)
{
    if (!isOpen() || size < 0)
        return -1;
    outgoing.append(data, qsizetype(size));
    return size;
}

bool Win32SerialPort::flush()
{
    return send_within(QDeadlineTimer(qint64(write_timeout_ms) * qMax<qint64>(outgoing.size(), 1)), true);
}

bool Win32SerialPort::waitForBytesWritten(int msecs)
{
    return send_within(QDeadlineTimer(qMax(msecs, 0)), false);
}

// The device's write time-out counts from each WriteFile: after a partial write a fresh call would get a
// fresh 20 ms per byte, and a driver that takes a few bytes at a time could stretch the write far beyond
// its bound. So only a flush's first call runs on the per-byte time-out (which then is the whole bound), and
// every other call gets what is left of the deadline.
bool Win32SerialPort::send_within(const QDeadlineTimer& deadline, bool first_on_device_bound)
{
    if (!isOpen())
        return false;
    bool on_device_bound = first_on_device_bound;
    bool bounded = false;
    bool sent = true;
    while (sent && !outgoing.isEmpty()) {
        const qint64 left = deadline.remainingTime();
        if (left == 0) {
            last_error = QSerialPort::TimeoutError;
            sent = false;
            break;
        }
        if (!on_device_bound) {
            COMMTIMEOUTS timeouts = per_byte_timeouts();
            timeouts.WriteTotalTimeoutMultiplier = 0;
            timeouts.WriteTotalTimeoutConstant = DWORD(qMax<qint64>(left, 1));
            if (!SetCommTimeouts(as_handle(device), &timeouts)) {
                last_error = QSerialPort::WriteError;
                sent = false;
                break;
            }
            bounded = true;
        }
        on_device_bound = false;
        DWORD written = 0;
        if (!WriteFile(as_handle(device), outgoing.constData(), DWORD(outgoing.size()), &written, nullptr)) {
            last_error = QSerialPort::WriteError;
            sent = false;
        } else if (written == 0) {
            last_error = QSerialPort::TimeoutError;
            sent = false;
        }
        outgoing.remove(0, qsizetype(written));
    }
    if (bounded) {
        COMMTIMEOUTS timeouts = per_byte_timeouts();
        SetCommTimeouts(as_handle(device), &timeouts);
    }
    return sent;
}

bool Win32SerialPort::clear(QSerialPort::Directions directions)
{
    if (!isOpen())
        return false;
    DWORD flags = 0;
    if (directions & QSerialPort::Input) {
        flags |= PURGE_RXCLEAR | PURGE_RXABORT;
        incoming.clear();
    }
    if (directions & QSerialPort::Output) {
        flags |= PURGE_TXCLEAR | PURGE_TXABORT;
        outgoing.clear();
    }
    return PurgeComm(as_handle(device), flags) != 0;
}

qint64 Win32SerialPort::driver_queue()
{
    COMSTAT status{};
    DWORD errors = 0;
    if (!ClearCommError(as_handle(device), &errors, &status)) {
        // The adapter was pulled out: nothing can come any more.
        last_error = QSerialPort::ResourceError;
        return -1;
    }
    return qint64(status.cbInQue);
}

bool Win32SerialPort::take_in()
{
    const qint64 queued = driver_queue();
    if (queued <= 0)
        return false;
    QByteArray bytes(qsizetype(queued), '\0');
    DWORD got = 0;
    if (!ReadFile(as_handle(device), bytes.data(), DWORD(queued), &got, nullptr)) {
        last_error = QSerialPort::ReadError;
        return false;
    }
    incoming.append(bytes.constData(), qsizetype(got));
    return got > 0;
}

bool Win32SerialPort::waitForReadyRead(int msecs)
{
    if (!isOpen())
        return false;
    // Polled in steps of a millisecond, the system's sleep granule, up to the time given.
    const QDeadlineTimer deadline(qMax(msecs, 0));
    for (;;) {
        if (take_in())
            return true;
        if (last_error != QSerialPort::NoError && last_error != QSerialPort::TimeoutError)
            return false;
        if (deadline.hasExpired()) {
            last_error = QSerialPort::TimeoutError;
            return false;
        }
        Sleep(1);
    }
}

qint64 Win32SerialPort::read(char* data, qint64 max_size)
{
    if (!isOpen())
        return -1;
    const qsizetype n = qsizetype(qMin<qint64>(max_size, incoming.size()));
    std::copy(incoming.constData(), incoming.constData() + n, data);
    incoming.remove(0, n);
    return n;
}
