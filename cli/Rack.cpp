#include "cli/Rack.h"

#include "cli/Box.h"
#include "cli/ProductionLog.h"
#include "cli/Terminal.h"
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

// A box alone, in the main thread, as a terminal job: its phases and a progress bar on standard error, then
// the status line and the message.
int flash_alone(Box& box, const QString& image_path)
{
    struct Terminal : bootloader::Observer
    {
        explicit Terminal(const Box& b) : box(b) {}
        void phase(bootloader::Phase phase) override
        {
            // The bar's time starts with the update, as a person's wait does.
            if (!bar)
                bar.emplace("pages", box.total);
            say(QString::fromLatin1(status_for(phase)));
        }
        void progress(int pages_sent) override
        {
            if (bar)
                bar->show(pages_sent);
        }
        const Box& box;
        std::optional<Progress> bar;
    };
    {
        Terminal terminal(box);
        run_box(box, image_path, &terminal);
    }
    if (box.outcome) {
        if (const char* status_line = status_for(*box.outcome))
            say(QString::fromLatin1(status_line));
        if (const std::optional<Message> message = message_for(*box.outcome))
            say(message_text(*message).text);
    } else {
        say(box.message);
    }
    const int status = end_trace(box.trace, box.trace_path, box.status);
    if (!box.log_failed)
        return status;
    say(command_text::log_record_lost(box.log->path()));
    return status == Success ? int(OutputUnwritable) : status;
}

QString progress_line(const Box& box)
{
    return box.port.name.leftJustified(20) + QLatin1Char(' ') +
           progress_bar(box.pages_sent, box.total, "pages", box.done) +
           (box.done ? QStringLiteral("  ") + box.word : QString());
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
            ports << box->port.name;
        return trace_suffixes(ports);
    }();
    QStringList made;
    const auto give_up = [&made](const QString& path) {
        say(command_text::trace_unwritable(path));
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
        box->trace.note(QStringLiteral("%1 on %2").arg(image_path, box->port.name));
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

int check_image(const QString& image_path)
{
    bin_image::Reader image;
    Identity identity{};
    int count = 0;
    if (image.open(image_path, identity, count) != bin_image::OpenResult::Opened)
        return tell(Message::BinCannotOpen, InputUnreadable);
    return Success;
}

int flash_rack(const QString& image_path, const QList<Port>& ports, const std::optional<QString>& trace_path,
               ProductionLog* log)
{
    std::vector<std::unique_ptr<Box>> boxes;
    for (const Port& port : ports) {
        boxes.push_back(std::make_unique<Box>());
        boxes.back()->port = port;
        boxes.back()->log = log;
        // Looked up here, before the threads: on Windows it asks the system's list of ports, which is not
        // asked from several threads at once.
        if (log != nullptr)
            boxes.back()->serial = adapter_serial(port.name, port.device);
    }
    if (boxes.size() == 1) {
        Box& box = *boxes.front();
        if (const int traced = open_trace(trace_path, image_path, box.port, box.trace))
            return traced;
        box.traced = bool(trace_path);
        box.trace_path = trace_path.value_or(QString());
        catch_interrupt();
        const int status = flash_alone(box, image_path);
        release_interrupt();
        return status;
    }
    if (trace_path && !open_traces(boxes, *trace_path, image_path))
        return OutputUnwritable;

    catch_interrupt();
    // QThreads, not bare threads: each port's notifiers must live in a thread Qt knows.
    std::vector<std::unique_ptr<QThread>> threads;
    for (auto& box : boxes) {
        Box* one = box.get();
        threads.emplace_back(QThread::create([one, image_path] { run_box(*one, image_path, nullptr); }));
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
