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

bool run(const char* what,
         satellite_protocol::Outcome (*exchange)(SerialChannel&, satellite_protocol::Table&), double floor)
{
    SerialChannel channel;
    if (channel.open(QStringLiteral("COM1")))
        return false;
    Table table;
    const double cpu_before = cpu_ms();
    QElapsedTimer clock;
    clock.start();
    const satellite_protocol::Outcome outcome = exchange(channel, table);
    const double wall = double(clock.nsecsElapsed()) / 1e6;
    const double cpu = cpu_ms() - cpu_before;
    std::printf("%s of 99 entries: %s\n", what,
                outcome == satellite_protocol::Outcome::Done ? "done" : "FAILED");
    std::printf("  wall time   %8.1f ms\n  pacing floor%8.1f ms\n  ratio       %8.3f (target <= 1.05)\n",
                wall, floor, wall / floor);
    std::printf("  tool CPU    %8.1f ms = %.1f %% of one core (target < 10 %%)\n", cpu, 100.0 * cpu / wall);
    return outcome == satellite_protocol::Outcome::Done;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QProcess box;
    if (start_virtual_box(box).isEmpty())
        return std::fprintf(stderr, "kdr7-virtual-box did not start\n"), 1;

    const bool wrote = run("write", satellite_protocol::write_table, 99 * (2 + 2 + 21 * 1 + 10));
    const bool read = run("read", satellite_protocol::read_table, 99 * (10 + 10 + 21 * 5));
    box.terminate();
    box.waitForFinished();
    return wrote && read ? 0 : 1;
}
