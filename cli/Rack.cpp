#include "cli/Rack.h"

#include "cli/Terminal.h"
#include "outcome/MessageFor.h"
#include "station/Box.h"
#include "station/ProductionLog.h"
#include "station/Rack.h"
#include "update/BinImage.h"
#include "update/Bootloader.h"

#include <cstdio>
#include <cstdlib>

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
    if (!box.log_failed && !box.log_unsynced)
        return status;
    say(box.log_failed ? command_text::log_record_lost(box.log->path())
                       : command_text::log_record_unsynced(box.log->path()));
    return status == Success ? int(OutputUnwritable) : status;
}

QString progress_line(const Box& box)
{
    return box.port.name.leftJustified(20) + QLatin1Char(' ') +
           progress_bar(box.done ? box.pages_written : box.pages_sent, box.total, "pages", box.done) +
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
            cli::print_error(QString::asprintf("\033[%zuA", boxes.size()));
        for (size_t i = 0; i < boxes.size(); ++i) {
            const Box& box = *boxes[i];
            const int state = box.pages_sent + (box.done ? 1 << 20 : 0);
            if (terminal)
                cli::print_error(QString::asprintf("\r%s\033[K\n", qUtf8Printable(progress_line(box))));
            else if (state != shown[i])
                cli::print_error(QString::asprintf("%s\n", qUtf8Printable(progress_line(box))));
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

} // namespace

int print_table(const std::vector<std::unique_ptr<Box>>& boxes)
{
    int status = Success;
    cli::print(QString::asprintf("%-20s %-14s %8s  %s\n", "port", "outcome", "seconds", "message"));
    for (const auto& box : boxes) {
        // A box still busy is read no further than its flag: its thread may be writing the rest.
        if (!box->done) {
            cli::print(QString::asprintf("%-20s %-14s %8s  %s\n", qUtf8Printable(box->port.name),
                                         command_text::left_busy_word, "-", command_text::left_busy));
            status = qMax(status, int(Stopped));
            continue;
        }
        cli::print(QString::asprintf("%-20s %-14s %8.1f  %s\n", qUtf8Printable(box->port.name),
                                     qUtf8Printable(box->word), box->seconds,
                                     qUtf8Printable(final_message(*box))));
        status = qMax(status, final_status(*box));
    }
    return status;
}

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
        boxes.back()->stop_requested = &interrupted;
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
    if (trace_path) {
        if (const std::optional<QString> unwritable = open_traces(boxes, *trace_path, image_path)) {
            say(command_text::trace_unwritable(*unwritable));
            return OutputUnwritable;
        }
    }

    catch_interrupt();
    const std::vector<std::unique_ptr<QThread>> threads = start_boxes(boxes, image_path);
    // After Ctrl+C the boxes get their grace, then one still busy is left behind.
    Display display(boxes);
    if (!await_boxes(
            boxes, [&display] { display.show(); }, &interrupted)) {
        // A box's thread is stuck in its port: it is left behind, and the process ends without it, its
        // record written here.
        bool record_lost = false;
        for (const auto& box : boxes) {
            if (!box->done)
                record_lost = record_left_busy(*box) != ProductionLog::Appended::Synced || record_lost;
        }
        if (record_lost)
            say(command_text::log_record_lost(log->path()));
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
