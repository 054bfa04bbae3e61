#include "serial/Trace.h"

#include <QByteArray>

bool Trace::open(const QString& path, bool append)
{
    file.setFileName(path);
    // Unbuffered: each line reaches the system as it is written.
    const QIODevice::OpenMode mode =
        QIODevice::WriteOnly | QIODevice::Unbuffered | (append ? QIODevice::Append : QIODevice::Truncate);
    return file.open(mode);
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
    const double ms = clock.isValid() ? double(clock.nsecsElapsed()) / 1e6 : 0.0;
    line(QString::asprintf("%12.3f  %s  ", ms, from_tool ? "tool>box" : "box>tool") + step +
         QStringLiteral("  ") + QString::fromLatin1(QByteArray(data, count).toHex(' ')));
}

void Trace::empty_wait(qint64 waited_ns, const QString& step)
{
    const double ms = clock.isValid() ? double(clock.nsecsElapsed()) / 1e6 : 0.0;
    line(QString::asprintf("%12.3f  wait      ", ms) + step +
         QString::asprintf("  nothing came in %.1f ms", double(waited_ns) / 1e6));
}

void Trace::line(const QString& text)
{
    if (file.isOpen()) {
        file.write(text.toUtf8() + '\n');
        file.flush();
    }
}
