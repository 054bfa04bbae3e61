#pragma once

#include <QElapsedTimer>
#include <QFile>
#include <QString>

// A record of every exchange with the box, for the technician whose box misbehaves in the field: one line
// per event, written and flushed as it happens, so that a hang or a crash still leaves everything up to
// the last byte.
//
//     time since the port opened (ms, to the µs)  direction  step  bytes in hex
//         12.345  tool>box  page 3 line 5 attempt 1  00 11 22 ...
//       1020.117  wait      verdict  nothing came in 1001.2 ms
//       1030.001  unsent    finish  43
//
// Bytes are traced once the write is known to have left (or not: "unsent"), and bytes read are traced even
// when the read then fails. A write to the trace that fails is not retried and never holds the exchange up:
// the trace stops there, and failed() tells the caller to say so at the end.
class Trace
{
public:
    // Creates (or, with append, extends) the file; false when it cannot be written. Only a regular file, or
    // a new one, is taken (a FIFO would block, a device would get the text), and never the file named by
    // input, the job's own input or output.
    bool open(const QString& path, bool append = false, const QString& input = QString());
    // A line of its own ("# ..."), such as which port an exchange is on.
    void note(const QString& text);
    // The port opened: the times count from here.
    void start();
    void bytes(bool from_tool, const char* data, int count, const QString& step);
    void unsent(const char* data, int count, const QString& step);
    void empty_wait(qint64 waited_ns, const QString& step);
    // A line could not be written whole: the trace is incomplete.
    bool failed() const { return write_failed; }

private:
    void event(const char* direction, const QString& step, const QString& what);
    void line(const QString& text);

    QFile file;
    QElapsedTimer clock;
    bool write_failed = false;
};
