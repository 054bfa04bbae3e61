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
    BenchOptions options;
    if (!parse_bench_options(app.arguments(), {}, options))
        return 2;
    QTemporaryDir dir;
    const QString image_path = dir.filePath(QStringLiteral("bench.bin"));
    if (!fixtures::write_file(image_path, make_image()))
        return 1;

    QProcess box;
    const QString device = start_virtual_box(box);
    if (device.isEmpty())
        return std::fprintf(stderr, "kdr7-virtual-box did not start\n"), 1;
    print_machine_load();

    const double floor = 200 + 200 + 50 + pages * (32 * 20 + 25);
    std::printf("update of %d pages (%d KiB of firmware), pacing floor %.1f ms\n", pages, pages / 2, floor);
    std::vector<double> ratios;
    std::vector<double> shares;
    bool all_completed = true;
    {
        const BusyNeighbours busy(options.busy);
        if (options.busy > 0)
            std::printf("with %d busy processes beside\n", options.busy);
        for (int r = 0; r < options.runs; ++r) {
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
            const bool completed = outcome == bootloader::Outcome::Completed;
            all_completed = all_completed && completed;
            ratios.push_back(wall / floor);
            shares.push_back(100.0 * cpu / wall);
            std::printf("  run %d: %s, wall %9.1f ms, ratio %.3f, tool CPU %7.1f ms = %.1f %% of one core\n",
                        r + 1, completed ? "completed" : "FAILED", wall, wall / floor, cpu,
                        100.0 * cpu / wall);
        }
    }
    std::printf("  median ratio %.3f (target <= 1.03), median CPU %.1f %% of one core (target < 10 %%)\n",
                median(ratios), median(shares));
    print_machine_load();
    box.terminate();
    box.waitForFinished();
    return all_completed ? 0 : 1;
}
