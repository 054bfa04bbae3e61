#include "common/SafeFile.h"

bool SafeFile::open(const QString& path)
{
    failed = false;
    file.setFileName(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Unbuffered);
}

void SafeFile::write(const char* data, qint64 size)
{
    if (!failed && file.write(data, size) != size)
        failed = true;
}

bool SafeFile::commit()
{
    if (failed || !file.flush()) {
        file.cancelWriting();
        file.commit();
        return false;
    }
    return file.commit();
}

void SafeFile::cancel()
{
    file.cancelWriting();
    file.commit();
}
