#include "common/LineReader.h"

#include <QIODevice>

#include <cstring>

namespace {
constexpr qint64 chunk_size = 64 * 1024;
}

LineReader::LineReader(QIODevice& input, int longest) : device(input), max_length(longest) {}

bool LineReader::fill()
{
    if (at_end)
        return false;
    chunk = device.read(chunk_size);
    position = 0;
    if (chunk.isEmpty()) {
        at_end = true;
        // read() gives nothing both at the end and on an error.
        error = !device.atEnd();
        return false;
    }
    if (tap)
        tap(chunk);
    return true;
}

bool LineReader::next(QByteArray& line)
{
    line.clear();
    cut = false;
    bool any = false;
    // One character more than the limit is kept, so that a CR of a CR LF at the limit can be told apart.
    const qsizetype keep = qsizetype(max_length) + 1;
    for (;;) {
        if (position >= chunk.size() && !fill())
            break;
        any = true;
        const char* start = chunk.constData() + position;
        const qsizetype left = chunk.size() - position;
        const void* found = std::memchr(start, '\n', size_t(left));
        const qsizetype length = found ? static_cast<const char*>(found) - start : left;
        const qsizetype room = keep - line.size();
        if (length > room)
            cut = true;
        line.append(start, qMin(length, room));
        position += length;
        if (found) {
            ++position;
            break;
        }
    }
    if (!any)
        return false;
    if (line.endsWith('\r'))
        line.chop(1);
    if (line.size() > max_length) {
        line.truncate(max_length);
        cut = true;
    }
    ++count;
    return true;
}
