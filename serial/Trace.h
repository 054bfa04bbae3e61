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
class Trace
{
public:
    // Creates (or, with append, extends) the file; false when it cannot be written.
    bool open(const QString& path, bool append = false);
    // A line of its own ("# ..."), such as which port an exchange is on.
    void note(const QString& text);
    // The port opened: the times count from here.
    void start();
    void bytes(bool from_tool, const char* data, int count, const QString& step);
    void empty_wait(qint64 waited_ns, const QString& step);

private:
    void line(const QString& text);

    QFile file;
    QElapsedTimer clock;
};
