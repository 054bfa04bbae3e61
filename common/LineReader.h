#pragma once

#include <QByteArray>

#include <functional>

class QIODevice;

// Reads text lines one at a time, holding no more than one line's worth of text whatever the input:
// a line ends at LF or CR LF (neither is part of it); a last line without a line end is a line too; a
// line longer than max_length is cut to its first max_length characters and the rest of it is skipped.
class LineReader
{
public:
    LineReader(QIODevice& device, int max_length);

    // False at the end of the input (or on a read error, see failed()).
    bool next(QByteArray& line);
    // The line last returned was longer than max_length.
    bool truncated() const { return cut; }
    // The device reported an error; what was read before it was returned.
    bool failed() const { return error; }
    // Lines returned so far.
    int lines_read() const { return count; }
    // Sees every chunk as it is read from the device, for a digest of the bytes as they were read.
    void set_tap(std::function<void(const QByteArray&)> each_chunk) { tap = std::move(each_chunk); }

private:
    bool fill();

    QIODevice& device;
    int max_length;
    QByteArray chunk;
    qsizetype position = 0;
    bool at_end = false;
    bool error = false;
    bool cut = false;
    int count = 0;
    std::function<void(const QByteArray&)> tap;
};
