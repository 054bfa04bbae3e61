#include "serial/Trace.h"

#include <QByteArray>
#include <QFileInfo>

#ifdef Q_OS_WIN
#include <io.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

#ifdef Q_OS_WIN
bool same_file(HANDLE handle, const QString& other)
{
    const HANDLE second = CreateFileW(reinterpret_cast<const wchar_t*>(other.utf16()), 0,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (second == INVALID_HANDLE_VALUE)
        return false;
    BY_HANDLE_FILE_INFORMATION a{};
    BY_HANDLE_FILE_INFORMATION b{};
    const bool same = GetFileInformationByHandle(handle, &a) && GetFileInformationByHandle(second, &b) &&
                      a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
                      a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow;
    CloseHandle(second);
    return same;
}

// Opened for appending first, so that nothing is cut before the file is known to be the right one.
bool open_trace_file(QFile& file, const QString& path, bool append, const QString& input)
{
    file.setFileName(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered))
        return false;
    const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(file.handle()));
    if (GetFileType(handle) != FILE_TYPE_DISK || (!input.isEmpty() && same_file(handle, input)) ||
        (!append && !file.resize(0))) {
        file.close();
        return false;
    }
    return true;
}
#else
bool open_trace_file(QFile& file, const QString& path, bool append, const QString& input)
{
    // Without waiting: a FIFO with no reader fails at once instead of holding the job.
    const int fd = ::open(QFile::encodeName(path).constData(),
                          O_WRONLY | O_CREAT | O_APPEND | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd < 0)
        return false;
    struct stat trace_status
    {
    };
    struct stat input_status
    {
    };
    const bool is_input = !input.isEmpty() &&
                          ::stat(QFile::encodeName(input).constData(), &input_status) == 0 &&
                          fstat(fd, &trace_status) == 0 && trace_status.st_dev == input_status.st_dev &&
                          trace_status.st_ino == input_status.st_ino;
    if (fstat(fd, &trace_status) != 0 || !S_ISREG(trace_status.st_mode) || is_input ||
        (!append && ::ftruncate(fd, 0) != 0) || fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0 ||
        !file.open(fd, QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered,
                   QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return false;
    }
    return true;
}
#endif

} // namespace

bool Trace::open(const QString& path, bool append, const QString& input)
{
    write_failed = false;
    if (file.isOpen())
        file.close();
    return open_trace_file(file, path, append, input);
}

void Trace::note(const QString& text)
{
    line(QStringLiteral("# ") + text);
}

void Trace::start()
{
    clock.start();
}

void Trace::bytes(bool from_tool, const char* data, int count, const QString& step)
{
    event(from_tool ? "tool>box" : "box>tool", step, QString::fromLatin1(QByteArray(data, count).toHex(' ')));
}

void Trace::unsent(const char* data, int count, const QString& step)
{
    event("unsent  ", step, QString::fromLatin1(QByteArray(data, count).toHex(' ')));
}

void Trace::empty_wait(qint64 waited_ns, const QString& step)
{
    event("wait    ", step, QString::asprintf("nothing came in %.1f ms", double(waited_ns) / 1e6));
}

void Trace::event(const char* direction, const QString& step, const QString& what)
{
    const double ms = clock.isValid() ? double(clock.nsecsElapsed()) / 1e6 : 0.0;
    line(QString::asprintf("%12.3f  %s  ", ms, direction) + step + QStringLiteral("  ") + what);
}

void Trace::line(const QString& text)
{
    if (!file.isOpen() || write_failed)
        return;
    const QByteArray bytes = text.toUtf8() + '\n';
    // Unbuffered: the line reaches the system in this one write, or the trace is marked incomplete.
    if (file.write(bytes) != bytes.size())
        write_failed = true;
}
