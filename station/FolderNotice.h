#pragma once

#include <QByteArray>
#include <QString>

namespace station {

// Wakes a watch as soon as its folder may have changed, so that a plug is seen at once rather than at the
// next timed look. On Linux the folder is watched with inotify; while it does not exist (udev makes
// /dev/serial/by-id with the first adapter and removes it with the last) its nearest existing ancestor is
// watched for the next missing part of the path. Elsewhere, and whenever inotify cannot be had, a wait is a
// plain sleep: the timed look stays, for whatever a notice misses.
class FolderNotice
{
public:
    explicit FolderNotice(const QString& folder);
    ~FolderNotice();
    FolderNotice(const FolderNotice&) = delete;
    FolderNotice& operator=(const FolderNotice&) = delete;

    // Waits at most timeout_ms, less when something in the folder (or the folder itself) changed.
    void wait(int timeout_ms);

private:
#ifdef Q_OS_LINUX
    // Watches the folder, or else the nearest ancestor that exists.
    void arm();
    // True when the queued events concern the folder or the path down to it.
    bool take_events();

    int fd = -1;
    QByteArray path;
    int watch = -1;
    // The ancestor watched, as the length of its path within path (path.size(): the folder itself), and the
    // name below it that is awaited there.
    qsizetype watched_length = 0;
    QByteArray awaited;
#endif
};

} // namespace station
