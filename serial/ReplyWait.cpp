#include "serial/ReplyWait.h"

#include "serial/SerialChannel.h"

#include <QElapsedTimer>
#include <QThread>

#ifdef Q_OS_LINUX
#include <cerrno>
#include <ctime>
#include <sys/prctl.h>
#endif

namespace {

void (*replaced_sleep)(int) = nullptr;

#ifdef Q_OS_LINUX
// A thread woken from a sleep runs some tens of microseconds after the time it asked for (more on a busy
// machine), and a satellite write is some 2100 pauses of 1 ms. So a pause sleeps until this long before
// its end and waits out the rest on the clock: the pause is then as long as asked, for a few percent of a
// core.
constexpr qint64 spin_ns = 100000;

qint64 monotonic_ns()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return qint64(now.tv_sec) * 1000000000 + now.tv_nsec;
}

void pause_until(qint64 due_ns)
{
    // The default timer slack would add about 0.1 ms to every wake-up.
    static thread_local const bool precise = prctl(PR_SET_TIMERSLACK, 1UL) == 0;
    Q_UNUSED(precise);
    const qint64 wake_ns = due_ns - spin_ns;
    const timespec wake{time_t(wake_ns / 1000000000), long(wake_ns % 1000000000)};
    if (monotonic_ns() < wake_ns) {
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &wake, nullptr) == EINTR) {
        }
    }
    // Never sooner than asked: a byte must not leave before its gap has passed.
    while (monotonic_ns() < due_ns) {
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#endif
    }
}
#endif

} // namespace

void replace_sleep(void (*sleeper)(int milliseconds))
{
    replaced_sleep = sleeper;
}

void sleep_ms(int milliseconds)
{
    if (replaced_sleep != nullptr) {
        replaced_sleep(milliseconds);
        return;
    }
#ifdef Q_OS_LINUX
    pause_until(monotonic_ns() + qint64(milliseconds) * 1000000);
#else
    QThread::msleep(static_cast<unsigned long>(milliseconds));
#endif
}

bool wait_for_byte(SerialChannel& channel, const WaitSchedule& schedule, bool quiet)
{
    QElapsedTimer clock;
    if (channel.tracing())
        clock.start();
    for (int cycle = 0; cycle < schedule.cycles; ++cycle) {
        if (schedule.order == WaitSchedule::SleepThenPoll)
            sleep_ms(schedule.sleep_ms);
        const bool waiting = !channel.nothing_waiting();
        // A device that is gone answers no later poll either: what it sent before is read at once.
        if (!waiting && channel.gone())
            return false;
        if (schedule.order == WaitSchedule::PollThenSleep)
            sleep_ms(schedule.sleep_ms);
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
