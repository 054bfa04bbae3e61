#include "common/SafeFile.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

bool SafeFile::open(const QString& path)
{
    failed = false;
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
    if (!failed && (!file || file->write(data, size) != size))
        failed = true;
}

bool SafeFile::commit()
{
    if (!file)
        return false;
    if (failed || !file->flush()) {
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
