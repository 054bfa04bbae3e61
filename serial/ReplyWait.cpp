#include "serial/ReplyWait.h"

#include "serial/SerialChannel.h"

#include <QElapsedTimer>
#include <QThread>

#include <chrono>
#include <limits>

#ifdef Q_OS_LINUX
#include <cerrno>
#include <ctime>
#include <sys/prctl.h>
#endif

namespace {

void (*replaced_sleep)(int) = nullptr;

qint64 ns_of(std::chrono::steady_clock::time_point at)
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(at.time_since_epoch()).count();
}

// The clock that clock_nanosleep's CLOCK_MONOTONIC counts on (steady_clock is that clock on Linux).
qint64 monotonic_ns()
{
    return ns_of(std::chrono::steady_clock::now());
}

void sleep_until(qint64 at_ns)
{
#ifdef Q_OS_LINUX
    // The default timer slack would add about 0.1 ms to every wake-up.
    static thread_local const bool precise = prctl(PR_SET_TIMERSLACK, 1UL) == 0;
    Q_UNUSED(precise);
    const timespec at{time_t(at_ns / 1000000000), long(at_ns % 1000000000)};
    while (monotonic_ns() < at_ns && clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
    }
#else
    const qint64 left_ns = at_ns - monotonic_ns();
    if (left_ns > 0)
        QThread::msleep(static_cast<unsigned long>((left_ns + 999999) / 1000000));
#endif
}

// The end of a pause, never sooner than asked: a byte must not leave before its gap has passed.
void pause_until(qint64 due_ns)
{
#ifdef Q_OS_LINUX
    // A thread woken from a sleep runs some tens of microseconds after the time it asked for (more on a busy
    // machine), and a satellite write is some 2100 pauses of 1 ms. So a pause sleeps until this long before
    // its end and waits out the rest on the clock: the pause is then as long as asked, for a few percent of
    // a core.
    constexpr qint64 spin_ns = 100000;
    sleep_until(due_ns - spin_ns);
    while (monotonic_ns() < due_ns) {
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#endif
    }
#else
    sleep_until(due_ns);
#endif
}

// The calling thread's keeper (see KeepAlive), and when it last took its events.
struct Keeper
{
    std::function<void()> keep;
    qint64 last_ns = 0;
    bool running = false;
};
thread_local Keeper keeper;

// When the calling thread's last written byte has left, as the channel computed it.
thread_local qint64 line_free_ns = 0;

constexpr qint64 keep_alive_ns = qint64(KeepAlive::interval_ms) * 1000000;

// Runs the keeper when it is due; when it is due next (or never).
qint64 keep_alive_if_due()
{
    // A handler that the keeper ran and that waits itself is not kept alive from inside.
    if (!keeper.keep || keeper.running)
        return std::numeric_limits<qint64>::max();
    if (monotonic_ns() - keeper.last_ns >= keep_alive_ns) {
        keeper.running = true;
        keeper.keep();
        keeper.running = false;
        keeper.last_ns = monotonic_ns();
    }
    return keeper.last_ns + keep_alive_ns;
}

} // namespace

KeepAlive::KeepAlive(std::function<void()> keep)
{
    keeper.keep = std::move(keep);
    keeper.last_ns = monotonic_ns();
}

KeepAlive::~KeepAlive()
{
    keeper.keep = nullptr;
}

void KeepAlive::taken()
{
    keeper.last_ns = monotonic_ns();
}

void replace_sleep(void (*sleeper)(int milliseconds))
{
    replaced_sleep = sleeper;
}

void sleep_ms(int milliseconds)
{
    const auto now = std::chrono::steady_clock::now();
    sleep_ms(milliseconds,
             qMax(now, std::chrono::steady_clock::time_point(std::chrono::nanoseconds(line_free_ns))));
}

void line_busy_until(std::chrono::steady_clock::time_point until)
{
    line_free_ns = ns_of(until);
}

void sleep_ms(int milliseconds, std::chrono::steady_clock::time_point since)
{
    const qint64 due_ns = ns_of(since) + qint64(milliseconds) * 1000000;
    if (replaced_sleep != nullptr) {
        replaced_sleep(milliseconds);
        keep_alive_if_due();
        return;
    }
    // A keeper that takes its time makes the pause longer, never shorter.
    for (qint64 next_ns = keep_alive_if_due(); next_ns < due_ns; next_ns = keep_alive_if_due())
        sleep_until(next_ns);
    pause_until(due_ns);
}

bool wait_for_byte(SerialChannel& channel, const WaitSchedule& schedule, bool quiet)
{
    QElapsedTimer clock;
    if (channel.tracing())
        clock.start();
    // A reply wait sends nothing when it ends, so its sleeps count from now: a line's own wire time is not
    // added to every reply that follows it.
    const auto wait = [&] { sleep_ms(schedule.sleep_ms, std::chrono::steady_clock::now()); };
    for (int cycle = 0; cycle < schedule.cycles; ++cycle) {
        if (schedule.order == WaitSchedule::SleepThenPoll)
            wait();
        const bool waiting = !channel.nothing_waiting();
        // A device that is gone answers no later poll either: what it sent before is read at once.
        if (!waiting && channel.gone())
            return false;
        if (schedule.order == WaitSchedule::PollThenSleep)
            wait();
        if (waiting)
            return true;
    }
    if (!quiet && clock.isValid())
        channel.note_empty_wait(clock.nsecsElapsed());
    return false;
}

Reply await_reply(SerialChannel& channel, const WaitSchedule& schedule, unsigned char missing)
{
    wait_for_byte(channel, schedule);
    // A byte that came after the last poll is read all the same: it has arrived, and is judged.
    char byte = char(missing);
    int received = 0;
    const bool failed = channel.read(&byte, 1, &received);
    return Reply{static_cast<unsigned char>(byte), received == 1, failed || channel.gone()};
}
