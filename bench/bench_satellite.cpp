// Reads and writes the whole satellite table of kdr7-virtual-box (run as its own process) and compares each
// wall time with the pacing floor of the exchange; also the tool's CPU use while it waits.
#include "BenchSupport.h"
#include "satellite/SatelliteProtocol.h"
#include "serial/SerialChannel.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>

#include <cstdio>

namespace {

struct Table : satellite_protocol::Table
{
    satellite_record::Record rows[satellite_protocol::entry_count]{};
    void record_read(int entry, const satellite_record::Record& r) override { rows[entry - 1] = r; }
    satellite_record::Record record_to_write(int entry) override
    {
        return satellite_record::encode({QStringLiteral("Bench %1").arg(entry), QString::number(entry * 10),
                                         QStringLiteral("45"), QStringLiteral("-45")});
    }
    void entry_done(int) override { QCoreApplication::processEvents(); }
};

struct Figures
{
    double wall = 0;
    double cpu = 0;
};

bool run(satellite_protocol::Outcome (*exchange)(SerialChannel&, satellite_protocol::Table&),
         Figures& figures)
{
    SerialChannel channel;
    if (channel.open(QStringLiteral("COM1")))
        return false;
    Table table;
    const double cpu_before = cpu_ms();
    QElapsedTimer clock;
    clock.start();
    const satellite_protocol::Outcome outcome = exchange(channel, table);
    figures.wall = double(clock.nsecsElapsed()) / 1e6;
    figures.cpu = cpu_ms() - cpu_before;
    return outcome == satellite_protocol::Outcome::Done;
}

// Each run's figures, then the median of the runs against the floor.
bool measure(const char* what,
             satellite_protocol::Outcome (*exchange)(SerialChannel&, satellite_protocol::Table&),
             double floor, int runs)
{
    std::vector<double> ratios;
    std::vector<double> shares;
    bool all_done = true;
    std::printf("%s of 99 entries, pacing floor %.1f ms\n", what, floor);
    for (int r = 0; r < runs; ++r) {
        Figures f;
        const bool done = run(exchange, f);
        all_done = all_done && done;
        ratios.push_back(f.wall / floor);
        shares.push_back(100.0 * f.cpu / f.wall);
        std::printf("  run %d: %s, wall %8.1f ms, ratio %.3f, tool CPU %6.1f ms = %.1f %% of one core\n",
                    r + 1, done ? "done" : "FAILED", f.wall, f.wall / floor, f.cpu, 100.0 * f.cpu / f.wall);
    }
    std::printf("  median ratio %.3f (target <= 1.05), median CPU %.1f %% of one core (target < 10 %%)\n",
                median(ratios), median(shares));
    return all_done;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    BenchOptions options;
    if (!parse_bench_options(app.arguments(), {QStringLiteral("--write-only")}, options))
        return 2;
    QProcess box;
    if (start_virtual_box(box).isEmpty())
        return std::fprintf(stderr, "kdr7-virtual-box did not start\n"), 1;
    print_machine_load();
    bool ok = true;
    {
        const BusyNeighbours busy(options.busy);
        if (options.busy > 0)
            std::printf("with %d busy processes beside\n", options.busy);
        // Each of an entry's 23 bytes is followed by its pause, which counts from when the byte has left: its
        // wire time is the line's own and part of the floor.
        const double wire_ms = double(SerialChannel::wire_time(23).count()) / 1e6;
        ok = measure("write", satellite_protocol::write_table, 99 * (2 + 2 + 21 * 1 + 10 + wire_ms),
                     options.runs);
        if (!options.others.contains(QStringLiteral("--write-only")))
            ok = measure("read", satellite_protocol::read_table, 99 * (10 + 10 + 21 * 5), options.runs) && ok;
    }
    print_machine_load();
    box.terminate();
    box.waitForFinished();
    return ok ? 0 : 1;
}
