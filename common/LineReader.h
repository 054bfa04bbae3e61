#pragma once

#include <QByteArray>

#include <functional>

class QIODevice;

// Reads text lines one at a time, holding no more than one line's worth of text whatever the input:
// a line ends at LF, and CRs right before the LF belong to the line end (Windows programs that add a CR to
// a CR LF write "\r\r\n"); a last line without a line end is a line too; a line longer than max_length is
// cut to its first max_length characters and the rest of it is skipped. With cr_ends, a CR alone ends a
// line as well (the line end of old Macintosh text), and a CR LF is one line end.
class LineReader
{
public:
    LineReader(QIODevice& device, int max_length);

    enum class End
    {
        None,      // the last line, without a line end
        Lf,        // LF alone
        CrLf,      // exactly one CR, then LF
        ManyCrsLf, // two or more CRs, then LF
        Cr,        // a CR alone (with cr_ends)
    };

    void set_cr_ends(bool on) { cr_ends = on; }
    // False at the end of the input (or on a read error, see failed()).
    bool next(QByteArray& line);
    // The line last returned was longer than max_length.
    bool truncated() const { return cut; }
    // How the line last returned ended.
    End end() const { return ending; }
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
    bool cr_ends = false;
    bool lf_after_cr = false; // with cr_ends: an LF that comes next belongs to the CR before it
    End ending = End::None;
    int count = 0;
    std::function<void(const QByteArray&)> tap;
};
