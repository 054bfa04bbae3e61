#include "common/LineReader.h"

#include <QIODevice>

#include <cstring>

namespace {
constexpr qint64 chunk_size = 64 * 1024;

// Where the line ends in [start, start + left): the first LF, or with cr_ends the first CR or LF.
const char* line_end(const char* start, qsizetype left, bool cr_ends)
{
    const char* lf = static_cast<const char*>(std::memchr(start, '\n', size_t(left)));
    if (!cr_ends)
        return lf;
    const char* cr = static_cast<const char*>(std::memchr(start, '\r', size_t(lf ? lf - start : left)));
    return cr ? cr : lf;
}

// The CRs that [start, start + length) ends with.
qsizetype trailing_crs(const char* start, qsizetype length)
{
    qsizetype n = 0;
    while (n < length && start[length - 1 - n] == '\r')
        ++n;
    return n;
}
} // namespace

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
    ending = End::None;
    bool any = false;
    // Characters beyond the limit are looked at only to tell a run of CRs before the LF (part of the line
    // end) from text that is cut.
    const qsizetype keep = qsizetype(max_length);
    qsizetype crs_beyond = 0;
    for (;;) {
        if (position >= chunk.size() && !fill())
            break;
        if (lf_after_cr) {
            lf_after_cr = false;
            if (chunk[position] == '\n') {
                ++position;
                continue;
            }
        }
        any = true;
        const char* start = chunk.constData() + position;
        const qsizetype left = chunk.size() - position;
        const char* found = line_end(start, left, cr_ends);
        const qsizetype length = found ? found - start : left;
        const qsizetype room = qMax<qsizetype>(0, keep - line.size());
        line.append(start, qMin(length, room));
        if (length > room) {
            const qsizetype beyond = length - room;
            const qsizetype crs = trailing_crs(start + room, beyond);
            if (crs == beyond) {
                crs_beyond += crs;
            } else {
                cut = true;
                crs_beyond = crs;
            }
        }
        position += length;
        if (found) {
            ++position;
            if (*found == '\r') {
                ending = End::Cr;
                lf_after_cr = true;
            } else {
                ending = End::Lf;
            }
            break;
        }
    }
    if (!any)
        return false;
    qsizetype crs = crs_beyond;
    // In a cut line, CRs within the part kept were followed by more text: they do not end it.
    while (!cut && line.endsWith('\r')) {
        line.chop(1);
        ++crs;
    }
    // CRs at the very end of the input end the last line as well.
    if (ending == End::Lf && crs > 0)
        ending = crs == 1 ? End::CrLf : End::ManyCrsLf;
    if (ending == End::Cr && lf_after_cr && position < chunk.size() && chunk[position] == '\n') {
        lf_after_cr = false;
        ++position;
        ending = End::CrLf;
    }
    ++count;
    return true;
}
