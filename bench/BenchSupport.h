#pragma once

#include <QString>
#include <QStringList>

#include <memory>
#include <vector>

class QProcess;

// CPU time (user and system) this process has used so far.
double cpu_ms();

// Starts kdr7-virtual-box (built next to the benchmarks) as its own process and points KDR7_COM1 at it;
// the box's device, or an empty text when it did not start.
QString start_virtual_box(QProcess& box);

// Busy neighbours for a run under load: processes that spin for ever (a shell loop each), stopped when this
// goes. The machine is shared, so even "idle" runs meet whatever else is running.
class BusyNeighbours
{
public:
    explicit BusyNeighbours(int count);
    ~BusyNeighbours();
    BusyNeighbours(const BusyNeighbours&) = delete;
    BusyNeighbours& operator=(const BusyNeighbours&) = delete;

private:
    std::vector<std::unique_ptr<QProcess>> processes;
};

// The options every pacing bench takes: --runs N (repeat, default 1) and --busy N (busy neighbours while it
// runs, default 0); false, with a word on standard error, for anything else it does not know.
struct BenchOptions
{
    int runs = 1;
    int busy = 0;
    QStringList others; // flags of the bench's own
};
bool parse_bench_options(const QStringList& arguments, const QStringList& own_flags, BenchOptions& options);

// The median of the figures (the middle one, or the mean of the two middle ones).
double median(std::vector<double> figures);

// The machine's load averages, as a line: the runs share it with whatever else is running.
void print_machine_load();
