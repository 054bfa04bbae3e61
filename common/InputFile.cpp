#include "common/InputFile.h"

#include <QFile>

#ifdef Q_OS_WIN
#include <io.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#ifdef Q_OS_WIN
bool open_input(QFile& file)
{
    // Windows opens a named pipe without waiting; the handle then says what was opened.
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(file.handle()));
    if (GetFileType(handle) == FILE_TYPE_DISK)
        return true;
    file.close();
    return false;
}
#else
bool open_input(QFile& file)
{
    const QByteArray path = QFile::encodeName(file.fileName());
    if (path.isEmpty())
        return false;
    const int fd = ::open(path.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat status
    {
    };
    // Reads of a regular file never wait anyway; the flag goes so that nothing downstream sees EAGAIN.
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) ||
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0 ||
        !file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return false;
    }
    return true;
}
#endif
