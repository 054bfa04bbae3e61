// The hot-plug latency of `zorvane-cli flash --watch DIR`: from the moment a device's entry appears in the
// folder to the first byte the tool sends on it. A pseudo-terminal stands for the adapter; its link is made
// in the watched folder at a random moment of the watch's cycle, and the first byte is awaited on the far
// end. Of the target's 210 ms, the bootloader's own pause before its request takes 200: the plug must be seen
// at once (the folder is watched for changes), not at the next timed look.
#include "Fixtures.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

namespace {

constexpr int trials = 15;
constexpr double target_ms = 210;

QString sibling(const QString& name)
{
    return QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("../") + name);
}

// One plug: the watch started and ready, the link made, the first byte awaited; -1 when none came.
double one_plug(const QString& image, int trial)
{
    QTemporaryDir folder;
    QProcess watch;
    watch.setReadChannel(QProcess::StandardError);
    watch.start(sibling(QStringLiteral("zorvane-cli")),
                {"flash", "--watch", folder.path(), "--count", "1", image});
    QByteArray said;
    while (!said.contains("Watching") && watch.waitForReadyRead(10000))
        said += watch.readAllStandardError();
    int master = -1;
    int slave = -1;
    char name[256] = {};
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0)
        return -1;
    fcntl(master, F_SETFD, FD_CLOEXEC);
    fcntl(slave, F_SETFD, FD_CLOEXEC);
    // Anywhere in the watch's cycle, as a person plugs.
    QThread::usleep(static_cast<unsigned long>(QRandomGenerator::global()->bounded(50000)));
    QElapsedTimer clock;
    clock.start();
    QFile::link(QString::fromLocal8Bit(name), folder.filePath(QStringLiteral("usb-bench-%1").arg(trial)));
    pollfd first{master, POLLIN, 0};
    const bool came = ::poll(&first, 1, 3000) == 1 && (first.revents & POLLIN);
    const double ms = double(clock.nsecsElapsed()) / 1e6;
    watch.kill();
    watch.waitForFinished(5000);
    ::close(master);
    ::close(slave);
    return came ? ms : -1;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    const QString image = dir.filePath(QStringLiteral("watch.bin"));
    std::vector<fixtures::Page> list{fixtures::page_at(0x8000, 1)};
    if (!fixtures::write_file(image, fixtures::image(fixtures::kdr7_identity, list)))
        return 1;
    std::vector<double> latencies;
    for (int trial = 0; trial < trials; ++trial) {
        const double ms = one_plug(image, trial);
        if (ms < 0) {
            std::printf("plug %d: no byte came within 3 s\n", trial + 1);
            return 1;
        }
        latencies.push_back(ms);
    }
    std::sort(latencies.begin(), latencies.end());
    const double median = latencies[latencies.size() / 2];
    const double worst = latencies.back();
    std::printf("hot-plug latency, entry to first byte, %d plugs: min %.1f ms, median %.1f ms, max %.1f ms\n",
                trials, latencies.front(), median, worst);
    std::printf("of which the bootloader's pause before its request: 200 ms\n");
    std::printf("ratio max / target (%.0f ms): %.3f\n", target_ms, worst / target_ms);
    return worst <= target_ms ? 0 : 2;
}
