#include "serial/Trace.h"

#include "common/RecordFile.h"

#include <QByteArray>

bool Trace::open(const QString& path, bool append, const QString& input)
{
    write_failed = false;
    if (file.isOpen())
        file.close();
    return open_record_file(file, path, append, input);
}

void Trace::note(const QString& text)
{
    line(QStringLiteral("# ") + text);
}

void Trace::start()
{
    clock.start();
}

void Trace::bytes(bool from_tool, const char* data, int count, const QString& step)
{
    event(from_tool ? "tool>box" : "box>tool", step, QString::fromLatin1(QByteArray(data, count).toHex(' ')));
}

void Trace::unsent(const char* data, int count, const QString& step)
{
    event("unsent  ", step, QString::fromLatin1(QByteArray(data, count).toHex(' ')));
}

void Trace::empty_wait(qint64 waited_ns, const QString& step)
{
    event("wait    ", step, QString::asprintf("nothing came in %.1f ms", double(waited_ns) / 1e6));
}

void Trace::event(const char* direction, const QString& step, const QString& what)
{
    const double ms = clock.isValid() ? double(clock.nsecsElapsed()) / 1e6 : 0.0;
    line(QString::asprintf("%12.3f  %s  ", ms, direction) + step + QStringLiteral("  ") + what);
}

void Trace::line(const QString& text)
{
    if (!file.isOpen() || write_failed)
        return;
    const QByteArray bytes = text.toUtf8() + '\n';
    // Unbuffered: the line reaches the system in this one write, or the trace is marked incomplete.
    if (file.write(bytes) != bytes.size())
        write_failed = true;
}
