#include "PtyBox.h"

#include "RawPty.h"

#include <QFile>

#include <QDeadlineTimer>
#include <QtGlobal>

#include <poll.h>
#include <sys/inotify.h>
#include <termios.h>
#include <unistd.h>

PtyBox::PtyBox()
{
    RawPty pty;
    if (!open_raw_pty(pty))
        return;
    master = pty.master;
    slave = pty.slave;
    path = pty.path;
    watcher = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (watcher >= 0)
        inotify_add_watch(watcher, QFile::encodeName(path).constData(), IN_OPEN);
}

PtyBox::~PtyBox()
{
    unplug();
    if (slave >= 0)
        ::close(slave);
    if (watcher >= 0)
        ::close(watcher);
}

bool PtyBox::send(const QByteArray& bytes)
{
    qsizetype done = 0;
    QDeadlineTimer deadline(2000);
    while (master >= 0 && done < bytes.size() && !deadline.hasExpired()) {
        const ssize_t n = ::write(master, bytes.constData() + done, size_t(bytes.size() - done));
        if (n > 0)
            done += n;
        else
            usleep(1000);
    }
    return done == bytes.size();
}

QByteArray PtyBox::receive(int count, int timeout_ms)
{
    QByteArray got;
    QDeadlineTimer deadline(timeout_ms);
    while (master >= 0 && got.size() < count) {
        pollfd pfd{master, POLLIN, 0};
        const int left = int(qMax<qint64>(deadline.remainingTime(), 0));
        if (::poll(&pfd, 1, left) <= 0)
            break;
        char buffer[4096];
        const ssize_t n = ::read(master, buffer, size_t(qMin<qsizetype>(sizeof buffer, count - got.size())));
        if (n <= 0)
            break;
        got.append(buffer, n);
    }
    return got;
}

QByteArray PtyBox::receive_until_quiet(int quiet_ms)
{
    QByteArray got;
    for (;;) {
        const QByteArray more = receive(4096, quiet_ms);
        if (more.isEmpty())
            return got;
        got += more;
    }
}

void PtyBox::unplug()
{
    if (master >= 0)
        ::close(master);
    master = -1;
}

int PtyBox::open_count()
{
    if (watcher < 0)
        return -1;
    alignas(inotify_event) char buffer[4096];
    ssize_t n;
    while ((n = ::read(watcher, buffer, sizeof buffer)) > 0) {
        for (char* p = buffer; p < buffer + n;) {
            auto* event = reinterpret_cast<inotify_event*>(p);
            if (event->mask & IN_OPEN)
                ++opens_seen;
            p += sizeof(inotify_event) + event->len;
        }
    }
    return opens_seen;
}

PtyBox::LineSettings PtyBox::line_settings() const
{
    termios tio{};
    tcgetattr(slave, &tio);
    int baud = -1;
    switch (cfgetospeed(&tio)) {
    case B9600:
        baud = 9600;
        break;
    case B19200:
        baud = 19200;
        break;
    case B38400:
        baud = 38400;
        break;
    case B57600:
        baud = 57600;
        break;
    case B115200:
        baud = 115200;
        break;
    default:
        break;
    }
    const int bits = (tio.c_cflag & CSIZE) == CS8 ? 8 : (tio.c_cflag & CSIZE) == CS7 ? 7 : 0;
    return {baud,
            bits,
            (tio.c_cflag & PARENB) != 0,
            (tio.c_cflag & CSTOPB) != 0,
            (tio.c_cflag & CRTSCTS) != 0,
            (tio.c_iflag & (IXON | IXOFF)) != 0};
}

void isolate_ports()
{
    for (int n = 1; n <= 15; ++n)
        qputenv(QByteArray("KDR7_COM") + QByteArray::number(n), QByteArray());
}

void set_port(int n, const QString& device)
{
    qputenv(QByteArray("KDR7_COM") + QByteArray::number(n), device.toLocal8Bit());
}
