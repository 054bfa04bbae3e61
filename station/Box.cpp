#include "station/Box.h"

#include "outcome/MessageFor.h"
#include "serial/SerialChannel.h"
#include "station/ProductionLog.h"
#include "update/BinImage.h"

#include <QElapsedTimer>

namespace station {

namespace {

// The box's record in the production log, at the end of its job.
QJsonObject flash_record(const Box& box, const QString& started, const QJsonObject& image_fields)
{
    QJsonObject record = job_record("flash", box.port.name, box.port.device, box.serial.value_or(QString()));
    record.insert("start", started);
    record.insert("image", image_fields);
    record.insert("pages", box.pages_sent.load());
    add_ending(record, box.word, final_status(box), final_message(box), box.seconds);
    return record;
}

} // namespace

void run_box(Box& box, const QString& image_path, bootloader::Observer* shown)
{
    QElapsedTimer clock;
    clock.start();
    const QString started = utc_now();
    // Taken before the image is opened for the box, so that what is logged is what went to it (a file
    // that is replaced meanwhile is one the log cannot vouch for).
    QJsonObject image_fields;
    if (box.log != nullptr)
        image_fields = file_fields(image_path);
    Identity identity{};
    const auto finish = [&](int status, const QString& word, const QString& message) {
        box.status = status;
        box.word = word;
        box.message = message;
        box.seconds = double(clock.elapsed()) / 1000.0;
        if (box.log != nullptr) {
            add_identity(image_fields, identity);
            box.log_failed = !box.log->append(flash_record(box, started, image_fields));
        }
        box.done = true;
    };
    bin_image::Reader image;
    int count = 0;
    const bool opened = image.open(image_path, identity, count) == bin_image::OpenResult::Opened;
    box.total = count;
    if (!opened)
        return finish(InputUnreadable, QString::fromLatin1(command_text::no_image_word),
                      message_text(Message::BinCannotOpen).text);
    SerialChannel channel;
    if (box.traced)
        channel.set_trace(&box.trace);
    if (channel.open_device(box.port.device))
        return finish(PortUnavailable, QString::fromLatin1(command_text::no_port_word),
                      message_text(Message::PortUnavailable).text);

    struct Watch : bootloader::Observer
    {
        Watch(Box& b, bootloader::Observer* also) : box(b), shown(also) {}
        void phase(bootloader::Phase phase) override
        {
            if (shown != nullptr)
                shown->phase(phase);
        }
        void progress(int pages_sent) override
        {
            box.pages_sent = pages_sent;
            if (shown != nullptr)
                shown->progress(pages_sent);
        }
        bool stop_requested() override { return box.stop_requested != nullptr && box.stop_requested(); }
        bool stop_before_first_page() const override { return true; }
        Box& box;
        bootloader::Observer* shown;
    } watch(box, shown);
    const bootloader::Outcome outcome = bootloader::program(channel, image, identity, watch);
    if (ends_with_every_page(outcome))
        watch.progress(count);
    box.outcome = outcome;
    // Let go before the box counts as done: a watch may find its device plugged again at once.
    channel.release_port();
    const std::optional<Message> message = message_for(outcome);
    const char* status_line = status_for(outcome);
    finish(exit_for(outcome), QString::fromLatin1(outcome_word(outcome)),
           message ? message_text(*message).text
                   : QString::fromLatin1(status_line != nullptr ? status_line : ""));
}

int final_status(const Box& box)
{
    const bool lost = (box.traced && box.trace.failed()) || box.log_failed;
    return lost && box.status == Success ? int(OutputUnwritable) : box.status;
}

QString final_message(const Box& box)
{
    QString message = box.message;
    if (box.traced && box.trace.failed())
        message += QLatin1String(command_text::trace_incomplete_note);
    if (box.log_failed)
        message += QLatin1String(command_text::log_record_lost_note);
    return message;
}

} // namespace station
