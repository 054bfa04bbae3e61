// Programs a 24-page image (12 KiB of firmware) into kdr7-virtual-box, run as its own process, and
// compares the wall time with the pacing floor of the exchange; also the tool's CPU use while it waits.
#include "BenchSupport.h"
#include "Fixtures.h"
#include "serial/SerialChannel.h"
#include "update/BinImage.h"
#include "update/Bootloader.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <cstdio>

namespace {

constexpr int pages = 24;

QByteArray make_image()
{
    std::vector<fixtures::Page> list;
    for (int p = 0; p < pages; ++p)
        list.push_back(fixtures::page_at(0x8000 + p * 0x200, std::uint32_t(2026 + p)));
    return fixtures::image(fixtures::kdr7_identity, list);
}

struct Pump : bootloader::Observer
{
    void pump() override { QCoreApplication::processEvents(); }
};

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    const QString image_path = dir.filePath(QStringLiteral("bench.bin"));
    if (!fixtures::write_file(image_path, make_image()))
        return 1;

    QProcess box;
    box.start(QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("../kdr7-virtual-box")),
              {});
    if (!box.waitForStarted() || !box.waitForReadyRead(5000))
        return std::fprintf(stderr, "kdr7-virtual-box did not start\n"), 1;
    const QString first = QString::fromLocal8Bit(box.readLine()).trimmed();
    const QString device = first.section(QLatin1Char(' '), -1);
    qputenv("KDR7_COM1", device.toLocal8Bit());

    bin_image::Reader image;
    Identity identity{};
    int count = 0;
    if (image.open(image_path, identity, count) != bin_image::OpenResult::Opened || count != pages)
        return 1;
    SerialChannel channel;
    if (channel.open(QStringLiteral("COM1")))
        return std::fprintf(stderr, "cannot open %s\n", qPrintable(device)), 1;

    Pump pump;
    const double cpu_before = cpu_ms();
    QElapsedTimer clock;
    clock.start();
    const bootloader::Outcome outcome = bootloader::program(channel, image, identity, pump);
    const double wall = double(clock.nsecsElapsed()) / 1e6;
    const double cpu = cpu_ms() - cpu_before;
    box.terminate();
    box.waitForFinished();

    const double floor = 200 + 200 + 50 + pages * (32 * 20 + 25);
    std::printf("update of %d pages (%d KiB of firmware): %s\n", pages, pages / 2,
                outcome == bootloader::Outcome::Completed ? "completed" : "FAILED");
    std::printf("wall time   %9.1f ms\n", wall);
    std::printf("pacing floor%9.1f ms\n", floor);
    std::printf("ratio       %9.3f (target <= 1.03)\n", wall / floor);
    std::printf("tool CPU    %9.1f ms = %.1f %% of one core (target < 10 %%)\n", cpu, 100.0 * cpu / wall);
    return outcome == bootloader::Outcome::Completed ? 0 : 1;
}
