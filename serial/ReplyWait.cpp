#include "serial/ReplyWait.h"

#include "serial/SerialChannel.h"

#include <QElapsedTimer>
#include <QThread>

#ifdef Q_OS_LINUX
#include <sys/prctl.h>
#endif

namespace {
void (*replaced_sleep)(int) = nullptr;
}

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
    // The default timer slack adds about 0.1 ms to every sleep, which the box's pacing adds up by the
    // thousand.
    static thread_local const bool precise = prctl(PR_SET_TIMERSLACK, 1UL) == 0;
    Q_UNUSED(precise);
#endif
    QThread::msleep(static_cast<unsigned long>(milliseconds));
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
    return Reply{static_cast<unsigned char>(byte), received == 1, failed};
}
