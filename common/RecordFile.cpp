#include "common/RecordFile.h"

#include <QFile>
#include <QString>

#ifdef Q_OS_WIN
#include "common/LongPath.h"

#include <io.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#ifdef Q_OS_WIN
namespace {

bool same_file(HANDLE handle, const QString& other)
{
    const QString native = long_path(other);
    const HANDLE second = CreateFileW(reinterpret_cast<const wchar_t*>(native.utf16()), 0,
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

} // namespace

// Opened for appending first, so that nothing is cut before the file is known to be the right one.
bool open_record_file(QFile& file, const QString& path, bool append, const QString& input)
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
bool open_record_file(QFile& file, const QString& path, bool append, const QString& input)
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
