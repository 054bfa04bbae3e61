#include "station/FolderNotice.h"

#include <QFile>

#include <chrono>
#include <thread>

#ifdef Q_OS_LINUX
#include <QElapsedTimer>

#include <cerrno>
#include <climits>
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>
#endif

namespace station {

#ifdef Q_OS_LINUX

namespace {

// In the folder: every entry that comes or goes, and the folder itself going.
constexpr uint32_t folder_events =
    IN_CREATE | IN_MOVED_TO | IN_DELETE | IN_MOVED_FROM | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
// In an ancestor: the next part of the path made (or moved there), and the ancestor itself going.
constexpr uint32_t ancestor_events = IN_CREATE | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

} // namespace

FolderNotice::FolderNotice(const QString& folder) : path(QFile::encodeName(folder))
{
    while (path.size() > 1 && path.endsWith('/'))
        path.chop(1);
    fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd >= 0)
        arm();
}

FolderNotice::~FolderNotice()
{
    if (fd >= 0)
        ::close(fd);
}

void FolderNotice::arm()
{
    qsizetype length = path.size();
    for (;;) {
        const QByteArray at = length == 0 ? QByteArray("/") : path.left(length);
        const bool folder = length == path.size();
        const int added = ::inotify_add_watch(fd, at.constData(), folder ? folder_events : ancestor_events);
        if (added >= 0) {
            if (watch >= 0 && watch != added)
                ::inotify_rm_watch(fd, watch);
            watch = added;
            watched_length = length;
            const qsizetype next = length == 0 ? 1 : length + 1;
            const qsizetype end = path.indexOf('/', next);
            awaited = folder ? QByteArray() : path.mid(next, (end < 0 ? path.size() : end) - next);
            return;
        }
        // Up one level; a relative path or a root that cannot be watched leaves the timed look alone.
        if (length == 0)
            break;
        length = path.lastIndexOf('/', length - 1);
        if (length < 0)
            break;
    }
    if (watch >= 0)
        ::inotify_rm_watch(fd, watch);
    watch = -1;
}

bool FolderNotice::take_events()
{
    alignas(inotify_event) char buffer[16 * (sizeof(inotify_event) + NAME_MAX + 1)];
    bool relevant = false;
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got <= 0)
            return relevant || (got < 0 && errno != EAGAIN && errno != EINTR);
        for (ssize_t at = 0; at < got;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
            at += ssize_t(sizeof(inotify_event) + event->len);
            // A watch let go of, a lost queue or the watched folder going all mean: look again. In an
            // ancestor, only the next part of the path counts (/dev changes all the time).
            if (event->wd != watch ||
                (event->mask & (IN_Q_OVERFLOW | IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF)) != 0 ||
                awaited.isEmpty() || (event->len > 0 && QByteArray(event->name) == awaited))
                relevant = true;
        }
    }
}

void FolderNotice::wait(int timeout_ms)
{
    if (fd < 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(timeout_ms));
        return;
    }
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        const qint64 left = timeout_ms - clock.elapsed();
        if (left <= 0)
            break;
        pollfd ready{fd, POLLIN, 0};
        if (::poll(&ready, 1, int(left)) == 1 && take_events())
            break;
    }
    // Whatever moved, the watch follows the path again: the folder made, removed, or made anew.
    arm();
}

#else

FolderNotice::FolderNotice(const QString&) {}

FolderNotice::~FolderNotice() = default;

void FolderNotice::wait(int timeout_ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(timeout_ms));
}

#endif

} // namespace station
