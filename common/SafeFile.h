#pragma once

#include <QByteArray>
#include <QFileDevice>

#include <memory>

// Writes a file so that an existing one stays whole until the new one is complete and on disk.
//
// QSaveFile alone is not enough: when a buffered write fails at flush time (a full disk, a size limit),
// its commit() still reports success and puts the truncated file in place. Here the bytes are gathered in a
// buffer of our own and handed to the file in large blocks; the result of every hand-over, the last one in
// commit() included, is kept, and one that falls short cancels the whole save.
//
// A target that exists and is no regular file (a device, a pipe) is written directly: renaming a new file
// over it would replace the device node itself.
class SafeFile
{
public:
    bool open(const QString& path);
    void write(const char* data, qint64 size);
    void write(const QByteArray& bytes) { write(bytes.constData(), bytes.size()); }
    // Puts the new file in place; false (the old file unchanged) when anything could not be written.
    bool commit();
    // Drops what was written; the old file stays.
    void cancel();

    // Whether another program holds the file open so that it cannot be replaced: on Windows, opened
    // without delete sharing (Excel keeps a workbook so; an antivirus or the indexer, briefly). A failed
    // commit over such a file may succeed once it is let go. Never elsewhere.
    static bool held_elsewhere(const QString& path);

private:
    // Hands the gathered bytes to the file; false (and the save failed) when they did not all go.
    bool hand_over();

    std::unique_ptr<QFileDevice> file;
    QByteArray pending;
    bool direct = false;
    bool failed = false;
};
