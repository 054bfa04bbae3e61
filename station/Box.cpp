#include "station/Box.h"

#include "common/TimerResolution.h"
#include "outcome/MessageFor.h"
#include "serial/PortNames.h"
#include "serial/SerialChannel.h"
#include "station/ProductionLog.h"
#include "update/BinImage.h"

#include <QElapsedTimer>
#include <QFile>

#include <chrono>
#include <thread>

#ifndef Q_OS_WIN
#include <climits>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace station {

namespace {

// The box's record in the production log, at the end of its job.
QJsonObject flash_record(const Box& box, const QString& started, const QJsonObject& image_fields)
{
    QJsonObject record = job_record("flash", box.port.name, box.device, box.serial.value_or(QString()));
    record.insert("start", started);
    record.insert("image", image_fields);
    record.insert("pages", box.pages_sent.load());
    add_ending(record, box.word, final_status(box), final_message(box), box.seconds);
    return record;
}

// The device a port name leads to now: a link followed to its end, once, so that the box is opened, checked
// and logged as that one device whatever the link does meanwhile.
QString resolve_device(const QString& device)
{
#ifndef Q_OS_WIN
    char resolved[PATH_MAX];
    if (!device.isEmpty() && ::realpath(QFile::encodeName(device).constData(), resolved) != nullptr)
        return QFile::decodeName(resolved);
#endif
    return device;
}

// The device is still the one named by identity ("device:N"), and this process may open it: a port that
// does not open then is busy for a while (held by another program, or its lock file), not gone or refused.
bool may_open_later(const QString& device, const QString& identity)
{
#ifndef Q_OS_WIN
    struct stat node
    {
    };
    const QByteArray path = QFile::encodeName(device);
    return ::stat(path.constData(), &node) == 0 && S_ISCHR(node.st_mode) &&
           identity == port_names::device_identity(quint64(node.st_rdev)) &&
           ::access(path.constData(), R_OK | W_OK) == 0;
#else
    Q_UNUSED(identity);
    return !device.isEmpty();
#endif
}

// Why the open port is not the box's: not a terminal, or no longer the device that identity names (the
// link moved between the look and the open). Empty when it is.
QString wrong_device(const SerialChannel& channel, const QString& identity)
{
    const std::optional<SerialChannel::OpenedDevice> opened = channel.opened_device();
    if (!opened)
        return QString();
    if (!opened->terminal)
        return QString::fromLatin1(command_text::not_a_serial_device);
    if (identity.startsWith(QLatin1String("device:")) &&
        identity != port_names::device_identity(opened->number))
        return QString::fromLatin1(command_text::another_device);
    return QString();
}

} // namespace

void run_box(Box& box, const QString& image_path, bootloader::Observer* shown)
{
    QElapsedTimer clock;
    clock.start();
    const QString started = utc_now();
    box.device = resolve_device(box.port.device);
    QJsonObject image_fields;
    Identity identity{};
    const auto finish = [&](int status, const QString& word, const QString& message) {
        box.status = status;
        box.word = word;
        box.message = message;
        box.seconds = double(clock.elapsed()) / 1000.0;
        if (box.log != nullptr) {
            add_identity(image_fields, identity);
            const ProductionLog::Appended appended =
                box.log->append_record(flash_record(box, started, image_fields));
            box.log_failed = appended == ProductionLog::Appended::Lost;
            box.log_unsynced = appended == ProductionLog::Appended::Unsynced;
        }
        box.done = true;
    };
    bin_image::Reader image;
    // Opens the image and notes its fields for the record; false when it does not open.
    const auto open_image = [&] {
        int count = 0;
        const bool opened = image.open(image_path, identity, count) == bin_image::OpenResult::Opened;
        box.total = count;
        // The hash is of the descriptor whose records are then sent, not of whatever the path names by now.
        if (box.log != nullptr)
            image_fields =
                opened ? file_fields(image_path, image.size(), image.sha256()) : file_fields(image_path);
        return opened;
    };
    const auto no_image = [&] {
        finish(InputUnreadable, QString::fromLatin1(command_text::no_image_word),
               message_text(Message::BinCannotOpen).text);
    };
    SerialChannel channel;
    // Without its port the box is still recorded with its image; an image that cannot be opened is what is
    // said then, as it would be with a port.
    const auto no_port = [&](const QString& message) {
        channel.release_port();
        if (!open_image())
            return no_image();
        finish(PortUnavailable, QString::fromLatin1(command_text::no_port_word), message);
    };
    // The port comes first: the box's pause before the bootloader request counts from its opening, and the
    // image is opened and hashed during that pause rather than before it.
    if (box.traced)
        channel.set_trace(&box.trace);
    while (channel.open_device(box.device)) {
        channel.release_port();
        if (!box.keep_trying || !may_open_later(box.device, box.port.identity) || !box.keep_trying())
            return no_port(message_text(Message::PortUnavailable).text);
        box.waiting_for_port = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(box.retry_every_ms));
    }
    box.waiting_for_port = false;
    // Checked before a byte is sent: a device that is no terminal, or another device than the one found.
    const QString wrong = wrong_device(channel, box.port.identity);
    if (!wrong.isEmpty())
        return no_port(wrong);
    if (!open_image()) {
        channel.release_port();
        return no_image();
    }

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
    const bootloader::Outcome outcome = [&] {
        const TimerResolution fine_sleeps;
        return bootloader::program(channel, image, identity, watch);
    }();
    if (ends_with_every_page(outcome))
        watch.progress(box.total);
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
    const bool lost = (box.traced && box.trace.failed()) || box.log_failed || box.log_unsynced;
    return lost && box.status == Success ? int(OutputUnwritable) : box.status;
}

QString final_message(const Box& box)
{
    QString message = box.message;
    if (box.traced && box.trace.failed())
        message += QLatin1String(command_text::trace_incomplete_note);
    if (box.log_failed)
        message += QLatin1String(command_text::log_record_lost_note);
    if (box.log_unsynced)
        message += QLatin1String(command_text::log_record_unsynced_note);
    return message;
}

} // namespace station
