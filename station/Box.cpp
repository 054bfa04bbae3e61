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

#ifdef Q_OS_WIN
#include <QSerialPortInfo>

#include <algorithm>
#else
#include <climits>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace station {

namespace {

// The box's record in the production log, at the end of its job: its opening, the pages the box
// confirmed, how it ended.
QJsonObject flash_record(const Box& box, QJsonObject record)
{
    record.insert("pages", box.pages_written.load());
    // A trace that could not be written is its own field: the outcome stays the box's.
    if (box.traced)
        record.insert("trace_complete", !box.trace.failed());
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
    // Still among the system's ports: a plug pulled before its open is gone, not busy, and is not tried
    // for as long as the watch lasts. (A COM port has no permissions of its own for a user.)
    Q_UNUSED(identity);
    if (device.isEmpty())
        return false;
    const QList<QSerialPortInfo> ports = QSerialPortInfo::availablePorts();
    return std::any_of(ports.begin(), ports.end(), [&](const QSerialPortInfo& port) {
        return port.portName().compare(device, Qt::CaseInsensitive) == 0;
    });
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
    if (box.log != nullptr) {
        const std::lock_guard<std::mutex> guard(box.opening_lock);
        box.started_at = std::chrono::steady_clock::now();
        box.opening = job_record("flash", box.port.name, box.device, box.serial.value_or(QString()));
        box.opening.insert("start", started);
    }
    Identity identity{};
    const auto finish = [&](int status, const QString& word, const QString& message) {
        box.status = status;
        box.word = word;
        box.message = message;
        box.seconds = double(clock.elapsed()) / 1000.0;
        if (box.log != nullptr && !box.record_taken.exchange(true)) {
            const QJsonObject opening = [&] {
                const std::lock_guard<std::mutex> guard(box.opening_lock);
                return box.opening;
            }();
            const ProductionLog::Appended appended = box.log->append_record(flash_record(box, opening));
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
        if (box.log != nullptr) {
            // The hash is of the bytes counted through the descriptor whose records are then sent, not of
            // whatever the path names by now.
            QJsonObject image_fields =
                opened ? file_fields(image_path, image.size(), image.sha256()) : file_fields(image_path);
            add_identity(image_fields, identity);
            const std::lock_guard<std::mutex> guard(box.opening_lock);
            box.opening.insert("image", image_fields);
        }
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
        void page_written(int pages_written) override { box.pages_written = pages_written; }
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

ProductionLog::Appended record_left_busy(Box& box)
{
    if (box.log == nullptr || box.record_taken.exchange(true))
        return ProductionLog::Appended::Synced;
    QJsonObject record;
    double seconds = 0;
    {
        const std::lock_guard<std::mutex> guard(box.opening_lock);
        record = box.opening;
        seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - box.started_at).count();
    }
    if (record.isEmpty()) // its thread had not begun: the port as given is all there is
        record = job_record("flash", box.port.name, box.port.device, box.serial.value_or(QString()));
    record.insert("pages", box.pages_written.load());
    add_ending(record, QString::fromLatin1(command_text::left_busy_word), Stopped,
               QString::fromLatin1(command_text::left_busy), seconds);
    return box.log->append_record(record);
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
