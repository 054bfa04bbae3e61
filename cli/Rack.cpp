#include "cli/Rack.h"

#include "cli/Cli.h"
#include "outcome/MessageFor.h"
#include "serial/SerialChannel.h"
#include "serial/Trace.h"
#include "update/BinImage.h"
#include "update/Bootloader.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QThread>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <thread>
#include <vector>

namespace cli {
namespace {

// One box of the rack: what its thread reports, read by the main thread.
struct Box
{
    QString port;
    Trace trace;
    QString trace_path;
    bool traced = false;
    std::atomic<int> pages_sent{0};
    std::atomic<bool> done{false};
    std::atomic<int> total{0};
    // Set by the box's thread before done, read after it.
    int status = Success;
    QString outcome;
    QString message;
    double seconds = 0;
};

QString outcome_word(bootloader::Outcome outcome)
{
    switch (outcome) {
    case bootloader::Outcome::Completed:
        return QStringLiteral("completed");
    case bootloader::Outcome::Stopped:
        return QStringLiteral("stopped");
    case bootloader::Outcome::FinishFailed:
        return QStringLiteral("not confirmed");
    default:
        return QStringLiteral("failed");
    }
}

void run_box(Box& box, const QString& image_path)
{
    QElapsedTimer clock;
    clock.start();
    const auto finish = [&](int status, const QString& outcome, const QString& message) {
        const bool trace_lost = box.traced && box.trace.failed();
        box.status = trace_lost && status == Success ? OutputUnwritable : status;
        box.outcome = outcome;
        box.message = trace_lost
                          ? message + QStringLiteral(" (the trace is incomplete: a write to it failed)")
                          : message;
        box.seconds = double(clock.elapsed()) / 1000.0;
        box.done = true;
    };
    bin_image::Reader image;
    Identity identity{};
    int count = 0;
    const bool opened = image.open(image_path, identity, count) == bin_image::OpenResult::Opened;
    box.total = count;
    if (!opened)
        return finish(InputUnreadable, QStringLiteral("no image"), message_text(Message::BinCannotOpen).text);
    SerialChannel channel;
    if (box.traced)
        channel.set_trace(&box.trace);
    if (channel.open(box.port))
        return finish(PortUnavailable, QStringLiteral("no port"),
                      message_text(Message::PortUnavailable).text);

    struct Watch : bootloader::Observer
    {
        explicit Watch(Box& b) : box(b) {}
        void progress(int pages_sent) override { box.pages_sent = pages_sent; }
        bool stop_requested() override { return interrupted(); }
        bool stop_before_first_page() const override { return true; }
        Box& box;
    } watch(box);
    const bootloader::Outcome outcome = bootloader::program(channel, image, identity, watch);
    if (ends_with_every_page(outcome))
        box.pages_sent = count;
    const std::optional<Message> message = message_for(outcome);
    const char* status_line = status_for(outcome);
    finish(exit_for(outcome), outcome_word(outcome),
           message ? message_text(*message).text
                   : QString::fromLatin1(status_line != nullptr ? status_line : ""));
}

QString progress_line(const Box& box)
{
    const int width = 30;
    const int done = box.pages_sent;
    const int total = box.total;
    const int filled = total > 0 ? width * done / total : (box.done ? width : 0);
    return QStringLiteral("%1 [%2%3] %4/%5 pages%6")
        .arg(box.port, -20)
        .arg(QString(filled, QLatin1Char('#')), QString(width - filled, QLatin1Char('-')))
        .arg(done)
        .arg(total)
        .arg(box.done ? QStringLiteral("  ") + box.outcome : QString());
}

// One progress line per box: redrawn in place on a terminal, a line per change otherwise.
class Display
{
public:
    explicit Display(const std::vector<std::unique_ptr<Box>>& rack)
        : boxes(rack), terminal(stderr_is_terminal()), shown(rack.size(), -1)
    {
    }
    void show()
    {
        if (terminal && drawn)
            std::fprintf(stderr, "\033[%zuA", boxes.size());
        for (size_t i = 0; i < boxes.size(); ++i) {
            const Box& box = *boxes[i];
            const int state = box.pages_sent + (box.done ? 1 << 20 : 0);
            if (terminal)
                std::fprintf(stderr, "\r%s\033[K\n", qPrintable(progress_line(box)));
            else if (state != shown[i])
                std::fprintf(stderr, "%s\n", qPrintable(progress_line(box)));
            shown[i] = state;
        }
        drawn = true;
        std::fflush(stderr);
    }

private:
    const std::vector<std::unique_ptr<Box>>& boxes;
    bool terminal;
    bool drawn = false;
    std::vector<int> shown;
};

// The end: a table of port, outcome, seconds and message; the highest exit status among the boxes.
int print_table(const std::vector<std::unique_ptr<Box>>& boxes)
{
    int status = Success;
    std::printf("%-20s %-14s %8s  %s\n", "port", "outcome", "seconds", "message");
    for (const auto& box : boxes) {
        // A box still busy is read no further than its flag: its thread may be writing the rest.
        if (!box->done) {
            std::printf("%-20s %-14s %8s  %s\n", qPrintable(box->port), "left busy", "-",
                        "Still busy on its port after Ctrl+C; flash it again");
            status = qMax(status, int(Stopped));
            continue;
        }
        std::printf("%-20s %-14s %8.1f  %s\n", qPrintable(box->port), qPrintable(box->outcome), box->seconds,
                    qPrintable(box->message));
        status = qMax(status, box->status);
    }
    return status;
}

// "COM3" stays "COM3"; a device path gives its last part ("ttyUSB0"), or, where two ports end alike
// (/run/a/tty, /run/b/tty), its whole path ("run_a_tty"); a number is added while a name is still taken.
QStringList trace_suffixes(const QStringList& ports)
{
    QStringList last_parts;
    for (const QString& port : ports)
        last_parts << QFileInfo(port).fileName();
    QStringList suffixes;
    for (qsizetype i = 0; i < ports.size(); ++i) {
        QString suffix = last_parts[i];
        if (last_parts.count(suffix) > 1)
            suffix = QString(ports[i])
                         .replace(QLatin1Char('/'), QLatin1Char('_'))
                         .remove(QRegularExpression("^_+"));
        const QString base = suffix;
        for (int n = 2; suffixes.contains(suffix); ++n)
            suffix = base + QLatin1Char('-') + QString::number(n);
        suffixes << suffix;
    }
    return suffixes;
}

// Opens every box's trace, or none: a file made here is removed again when a later one cannot be opened,
// and no file is emptied before all of them could be opened.
bool open_traces(std::vector<std::unique_ptr<Box>>& boxes, const QString& trace_path,
                 const QString& image_path)
{
    const QStringList suffixes = [&] {
        QStringList ports;
        for (const auto& box : boxes)
            ports << box->port;
        return trace_suffixes(ports);
    }();
    QStringList made;
    const auto give_up = [&made](const QString& path) {
        say(trace_unwritable(path));
        for (const QString& new_file : made)
            QFile::remove(new_file);
        return false;
    };
    for (size_t i = 0; i < boxes.size(); ++i) {
        const QString path = trace_path + QLatin1Char('.') + suffixes[qsizetype(i)];
        const bool existed = QFileInfo::exists(path);
        if (!boxes[i]->trace.open(path, true, image_path))
            return give_up(path);
        if (!existed)
            made << path;
        boxes[i]->trace_path = path;
    }
    // Now each is emptied, as a single trace is.
    for (auto& box : boxes) {
        if (!box->trace.open(box->trace_path, false, image_path))
            return give_up(box->trace_path);
        box->trace.note(QStringLiteral("%1 on %2").arg(image_path, box->port));
        box->traced = true;
    }
    return true;
}

// Waits for every box to end, redrawing the progress. After Ctrl+C each box gets the time a page may still
// take (its lines and the box's slowest page write, 2.5 s, with room); one still busy then is left behind,
// so that the command ends within a bound whatever a port does. True when every box ended by itself.
bool await_boxes(const std::vector<std::unique_ptr<Box>>& boxes)
{
    constexpr int after_interrupt_ms = 5000;
    Display display(boxes);
    QDeadlineTimer grace = QDeadlineTimer::Forever;
    for (;;) {
        bool all_done = true;
        for (const auto& box : boxes)
            all_done = all_done && box->done;
        display.show();
        if (all_done)
            return true;
        if (interrupted() && grace.isForever())
            grace.setRemainingTime(after_interrupt_ms);
        if (grace.hasExpired())
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
}

} // namespace

int flash_rack(const QString& image_path, const QStringList& ports, const QString& trace_path)
{
    for (const QString& port : ports) {
        if (!port_name_taken(port))
            return Usage;
    }
    {
        bin_image::Reader image;
        Identity identity{};
        int count = 0;
        if (image.open(image_path, identity, count) != bin_image::OpenResult::Opened)
            return tell(Message::BinCannotOpen, InputUnreadable);
    }
    std::vector<std::unique_ptr<Box>> boxes;
    for (const QString& port : ports) {
        boxes.push_back(std::make_unique<Box>());
        boxes.back()->port = port;
    }
    if (!trace_path.isEmpty() && !open_traces(boxes, trace_path, image_path))
        return OutputUnwritable;

    catch_interrupt();
    // QThreads, not bare threads: each port's notifiers must live in a thread Qt knows.
    std::vector<std::unique_ptr<QThread>> threads;
    for (auto& box : boxes) {
        Box* one = box.get();
        threads.emplace_back(QThread::create([one, image_path] { run_box(*one, image_path); }));
        threads.back()->start();
    }
    if (!await_boxes(boxes)) {
        // A box's thread is stuck in its port: it is left behind, and the process ends without it.
        const int status = print_table(boxes);
        std::fflush(stdout);
        std::fflush(stderr);
        std::_Exit(status);
    }
    for (const auto& t : threads)
        t->wait();
    release_interrupt();

    return print_table(boxes);
}

} // namespace cli
