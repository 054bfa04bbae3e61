#include "serial/Deadline.h"

#if defined(Q_OS_LINUX)
#include <cerrno>
#include <csignal>
#include <ctime>
#include <unistd.h>

namespace {

// A real-time signal of our own whose handler does nothing and is installed without SA_RESTART, so that the
// blocked call returns EINTR instead of resuming.
int deadline_signal()
{
    static const int number = [] {
        const int n = SIGRTMIN + 3;
        struct sigaction action
        {
        };
        action.sa_handler = [](int) {};
        sigemptyset(&action.sa_mask);
        action.sa_flags = 0;
        sigaction(n, &action, nullptr);
        return n;
    }();
    return number;
}

// How soon after a missed signal the call is interrupted again.
constexpr qint64 repeat_ns = 10000000;

timespec as_timespec(qint64 ns)
{
    return timespec{time_t(ns / 1000000000), long(ns % 1000000000)};
}

// One timer per thread, made at its first use and deleted with the thread: every write of an exchange
// uses it, and it costs two system calls a write rather than four.
class ThreadTimer
{
public:
    ThreadTimer()
    {
        sigevent event{};
        event.sigev_notify = SIGEV_THREAD_ID;
        event.sigev_signo = deadline_signal();
        event._sigev_un._tid = gettid(); // glibc names no macro for the thread id
        made = timer_create(CLOCK_MONOTONIC, &event, &timer) == 0;
    }
    ~ThreadTimer()
    {
        if (made)
            timer_delete(timer);
    }
    ThreadTimer(const ThreadTimer&) = delete;
    ThreadTimer& operator=(const ThreadTimer&) = delete;
    bool ok() const { return made; }
    // Fires at the deadline and then again every repeat_ns until disarmed: a thread that was off the CPU
    // when the first signal came (preempted before it entered the call) is still cut once it blocks.
    void arm(qint64 ns)
    {
        const itimerspec when{as_timespec(repeat_ns), as_timespec(ns)};
        timer_settime(timer, 0, &when, nullptr);
    }
    // A signal already on its way is taken on the return from this call, by the no-op handler.
    void disarm()
    {
        const itimerspec off{};
        timer_settime(timer, 0, &off, nullptr);
    }

private:
    timer_t timer{};
    bool made = false;
};

ThreadTimer& thread_timer()
{
    thread_local ThreadTimer timer;
    return timer;
}

} // namespace

bool deadline_cuts_calls()
{
    return thread_timer().ok();
}

bool call_within(const QDeadlineTimer& deadline, const std::function<int()>& call)
{
    ThreadTimer& timer = thread_timer();
    if (!timer.ok())
        return true;
    for (;;) {
        const qint64 left = deadline.remainingTimeNSecs();
        if (left <= 0)
            return false;
        timer.arm(left);
        const int result = call();
        const int error = errno;
        timer.disarm();
        if (result == 0)
            return true;
        if (error != EINTR)
            return false;
    }
}
#else
bool deadline_cuts_calls()
{
    return false;
}

bool call_within(const QDeadlineTimer&, const std::function<int()>&)
{
    return true;
}
#endif
