#include "update/Bootloader.h"

#include "serial/SerialChannel.h"

#include <QDebug>
#include <QElapsedTimer>

#include <chrono>
#include <optional>

namespace bootloader {

namespace {

struct WaitEntry
{
    Wait wait;
    WaitSchedule schedule;
};

// Every reply wait of the exchange: sleep, cycles, and so its bound. Each bound is what the box may take
// at that step with room to spare; a box that stops talking ends in a message, never a frozen window.
constexpr WaitEntry wait_table[] = {
    // 0.8 s: the freshly started bootloader answers "0" at once, or the box is not listening.
    {Wait::Prepared, {WaitSchedule::PollThenSleep, 50, 16}},
    // 5 s: the box readies its flash before the go-ahead.
    {Wait::GoAhead, {WaitSchedule::SleepThenPoll, 20, 250}},
    // 10 s: the box compares the identity with its own before it answers.
    {Wait::Verdict, {WaitSchedule::PollThenSleep, 20, 500}},
    // 4 s per attempt: a line is checked as soon as its 17 bytes are in.
    {Wait::Line, {WaitSchedule::SleepThenPoll, 20, 201}},
    // 2.5 s: writing a page into flash is the box's slowest step after the go-ahead.
    {Wait::Page, {WaitSchedule::SleepThenPoll, 25, 102}},
    // 2 s: the box confirms the end before it starts the new firmware.
    {Wait::Finish, {WaitSchedule::PollThenSleep, 20, 101}},
};

void send_byte(SerialChannel& channel, char byte)
{
    channel.write(&byte, 1);
}

void send(SerialChannel& channel, const std::uint8_t* bytes, int count)
{
    channel.write(reinterpret_cast<const char*>(bytes), count);
}

// Bytes before the "1" are dropped; the wait is one cycle of its schedule at a time, up to its bound.
// Nothing when the "1" came.
std::optional<Outcome> await_go_ahead(SerialChannel& channel)
{
    WaitSchedule one_cycle = schedule(Wait::GoAhead);
    const int cycles = one_cycle.cycles;
    one_cycle.cycles = 1;
    QElapsedTimer clock;
    clock.start();
    for (int cycle = 0; cycle < cycles; ++cycle) {
        if (!wait_for_byte(channel, one_cycle, true)) {
            if (channel.gone())
                return Outcome::PortGone;
            if (cycle == cycles - 1)
                channel.note_empty_wait(clock.nsecsElapsed());
            continue;
        }
        char byte = 0;
        if (channel.read(&byte, 1))
            return channel.gone() ? Outcome::PortGone : Outcome::NoGoAhead;
        if (static_cast<unsigned char>(byte) == go_ahead)
            return std::nullopt;
    }
    return Outcome::NoGoAhead;
}

// Nothing when the box accepted the image and the pages follow.
std::optional<Outcome> rejection(const Reply& verdict)
{
    if (verdict.lost())
        return Outcome::PortGone;
    if (!verdict.arrived)
        return Outcome::NoVerdict;
    switch (verdict.byte) {
    case accepted:
        return std::nullopt;
    case cpu_mismatch:
        return Outcome::CpuMismatch;
    case model_mismatch:
        return Outcome::ModelMismatch;
    case too_old:
        return Outcome::TooOld;
    default:
        return Outcome::Rejected;
    }
}

// Sends one line until the box accepts it, at most line_attempts times; nothing when it was accepted.
std::optional<Outcome> send_line(SerialChannel& channel, const std::uint8_t* line, int page, int index)
{
    Reply reply{0xFF, false, false};
    for (int attempt = 0; attempt < line_attempts; ++attempt) {
        trace_step(channel, [&] {
            return QStringLiteral("page %1 line %2 attempt %3").arg(page).arg(index).arg(attempt + 1);
        });
        send(channel, line, bin_image::line_size);
        reply = await_reply(channel, schedule(Wait::Line));
        if (reply.byte == line_accepted)
            return std::nullopt;
        // A device that is gone answers no retry either.
        if (reply.device_failed)
            break;
    }
    if (reply.lost())
        return Outcome::PortGone;
    return reply.byte == line_rejected ? Outcome::LineRejected : Outcome::NoLineFeedback;
}

} // namespace

const WaitSchedule& schedule(Wait wait)
{
    for (const WaitEntry& entry : wait_table) {
        if (entry.wait == wait)
            return entry.schedule;
    }
    Q_UNREACHABLE();
}

Outcome program(SerialChannel& channel, bin_image::Reader& image, Identity& identity, Observer& observer)
{
    // The box's application must be idle for the pause after the port opened; whatever was done since (the
    // caller's image, the pump below) is part of it rather than added to it.
    const std::chrono::steady_clock::time_point opened =
        channel.opened_at().value_or(std::chrono::steady_clock::now());
    observer.phase(Phase::EnteringBootloader);
    observer.pump();
    if (!image.read_identity(identity))
        return Outcome::ImageUnreadable;

    sleep_ms(enter_sleep_ms, opened);
    trace_step(channel, [] { return QStringLiteral("bootloader request"); });
    send_byte(channel, bootloader_request);
    sleep_ms(enter_sleep_ms);
    const Reply ready = await_reply(channel, schedule(Wait::Prepared));
    if (ready.lost())
        return Outcome::PortGone;
    if (ready.byte != prepared)
        return Outcome::NotPrepared;

    trace_step(channel, [] { return QStringLiteral("go-ahead"); });
    send_byte(channel, go_ahead_request);
    if (const auto no_go_ahead = await_go_ahead(channel))
        return *no_go_ahead;

    trace_step(channel, [] { return QStringLiteral("identity"); });
    send(channel, identity.data(), int(identity.size()));
    trace_step(channel, [] { return QStringLiteral("verdict"); });
    if (const auto refused = rejection(await_reply(channel, schedule(Wait::Verdict))))
        return *refused;

    observer.phase(Phase::Updating);
    observer.pump();
    if (observer.stop_before_first_page() && observer.stop_requested())
        return Outcome::Stopped;

    int pages_sent = 0;
    bool stopped = false;
    bin_image::Record record;
    // No more records than were counted: a file that grows meanwhile sends nothing it did not hold.
    while (!stopped && pages_sent < image.record_count() && image.read_record(record)) {
        const int page = pages_sent;
        trace_step(channel, [&] { return QStringLiteral("page %1 header").arg(page); });
        send_byte(channel, page_request);
        observer.progress(pages_sent);
        ++pages_sent;
        observer.pump();
        send(channel, record.data(), bin_image::header_size);
        qDebug("Address: 0x%x", unsigned(bin_image::page_base(record)));
        for (int line = 0; line < bin_image::lines_per_page; ++line) {
            if (const auto failed = send_line(channel, bin_image::line(record, line), page, line))
                return *failed;
        }
        trace_step(channel, [&] { return QStringLiteral("page %1 written").arg(page); });
        const Reply written = await_reply(channel, schedule(Wait::Page));
        if (written.lost())
            return Outcome::PortGone;
        if (written.byte != page_written)
            return Outcome::PageNotWritten;
        observer.page_written(pages_sent);
        stopped = observer.stop_requested();
    }
    // Stop seen at any pump, before the first page included (or with no page at all), ends without the
    // finish request.
    if (stopped || observer.stop_requested())
        return Outcome::Stopped;

    // The finish request makes the box run what it holds: only the image as it was counted and hashed.
    if (!image.sent_as_opened(pages_sent))
        return Outcome::ImageChanged;

    trace_step(channel, [] { return QStringLiteral("finish"); });
    send_byte(channel, finish_request);
    const Reply finished = await_reply(channel, schedule(Wait::Finish));
    if (finished.lost())
        return Outcome::PortGone;
    return finished.byte == completed ? Outcome::Completed : Outcome::FinishFailed;
}

} // namespace bootloader
