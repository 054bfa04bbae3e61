#include "common/SafeFile.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#ifdef Q_OS_WIN
#include "common/LongPath.h"

#include <windows.h>
#endif

namespace {
// Large enough that a long output costs few system calls, small enough to be nothing beside the window.
constexpr qsizetype block_size = 64 * 1024;
} // namespace

bool SafeFile::open(const QString& path)
{
    failed = false;
    pending.clear();
    const QFileInfo target(path);
    direct = target.exists() && !target.isFile();
    if (direct)
        file = std::make_unique<QFile>(path);
    else
        file = std::make_unique<QSaveFile>(path);
    return file->open(QIODevice::WriteOnly | QIODevice::Unbuffered);
}

void SafeFile::write(const char* data, qint64 size)
{
    if (failed || !file || size < 0) {
        failed = true;
        return;
    }
    pending.append(data, qsizetype(size));
    if (pending.size() >= block_size)
        hand_over();
}

bool SafeFile::hand_over()
{
    if (!failed && !pending.isEmpty() && file->write(pending) != pending.size())
        failed = true;
    pending.clear();
    return !failed;
}

bool SafeFile::commit()
{
    if (!file)
        return false;
    // The last block goes now: a failure here is as fatal as any earlier one.
    if (!hand_over() || !file->flush()) {
        cancel();
        return false;
    }
    if (direct) {
        file->close();
        return file->error() == QFileDevice::NoError;
    }
    return static_cast<QSaveFile*>(file.get())->commit();
}

void SafeFile::cancel()
{
    pending.clear();
    if (!file)
        return;
    if (direct) {
        file->close();
        return;
    }
    auto* save = static_cast<QSaveFile*>(file.get());
    save->cancelWriting();
    save->commit();
}

bool SafeFile::held_elsewhere(const QString& path)
{
#ifdef Q_OS_WIN
    // The rename over a file held without delete sharing fails with "access denied", which says nothing
    // of why; an open for deletion tells the sharing violation apart from a file that may not be replaced.
    const QString native = long_path(path);
    const HANDLE handle = CreateFileW(reinterpret_cast<const wchar_t*>(native.utf16()), DELETE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
        CloseHandle(handle);
        return false;
    }
    return GetLastError() == ERROR_SHARING_VIOLATION;
#else
    Q_UNUSED(path);
    return false;
#endif
}
