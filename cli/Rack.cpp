#include "cli/Rack.h"

#include "cli/Cli.h"
#include "outcome/OutcomeMessages.h"
#include "serial/SerialChannel.h"
#include "serial/Trace.h"
#include "update/BinImage.h"
#include "update/Bootloader.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QThread>

#include <atomic>
#include <chrono>
#include <cstdio>
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
        box.status = status;
        box.outcome = outcome;
        box.message = message;
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
        void phase(bootloader::Phase) override {}
        void progress(int pages_sent) override { box.pages_sent = pages_sent; }
        void pump() override {}
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
        std::printf("%-20s %-14s %8.1f  %s\n", qPrintable(box->port), qPrintable(box->outcome), box->seconds,
                    qPrintable(box->message));
        status = qMax(status, box->status);
    }
    return status;
}

// "COM3" stays "COM3"; a device path gives its last part ("ttyUSB0").
QString trace_suffix(const QString& port)
{
    return QFileInfo(port).fileName();
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
        auto box = std::make_unique<Box>();
        box->port = port;
        if (!trace_path.isEmpty()) {
            const QString path = trace_path + QLatin1Char('.') + trace_suffix(port);
            if (!box->trace.open(path)) {
                say(QStringLiteral("The trace file %1 cannot be written; nothing was sent.").arg(path));
                return OutputUnwritable;
            }
            box->trace.note(QStringLiteral("%1 on %2").arg(image_path, port));
            box->traced = true;
        }
        boxes.push_back(std::move(box));
    }

    catch_interrupt();
    // QThreads, not bare threads: each port's notifiers must live in a thread Qt knows.
    std::vector<std::unique_ptr<QThread>> threads;
    for (auto& box : boxes) {
        Box* one = box.get();
        threads.emplace_back(QThread::create([one, image_path] { run_box(*one, image_path); }));
        threads.back()->start();
    }
    Display display(boxes);
    for (;;) {
        bool all_done = true;
        for (const auto& box : boxes)
            all_done = all_done && box->done;
        display.show();
        if (all_done)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    for (const auto& t : threads)
        t->wait();
    release_interrupt();

    return print_table(boxes);
}

} // namespace cli
