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

timespec as_timespec(qint64 ns)
{
    return timespec{time_t(ns / 1000000000), long(ns % 1000000000)};
}

} // namespace

bool call_within(const QDeadlineTimer& deadline, const std::function<int()>& call)
{
    sigevent event{};
    event.sigev_notify = SIGEV_THREAD_ID;
    event.sigev_signo = deadline_signal();
    event._sigev_un._tid = gettid(); // glibc names no macro for the thread id
    timer_t timer{};
    if (timer_create(CLOCK_MONOTONIC, &event, &timer) != 0)
        return true;
    bool succeeded = false;
    for (;;) {
        const qint64 left = deadline.remainingTimeNSecs();
        if (left <= 0)
            break;
        const itimerspec arm{{0, 0}, as_timespec(left)};
        timer_settime(timer, 0, &arm, nullptr);
        const int result = call();
        const int error = errno;
        // Disarmed before anything else: a signal already on its way is taken here, by the no-op handler.
        const itimerspec disarm{};
        timer_settime(timer, 0, &disarm, nullptr);
        if (result == 0) {
            succeeded = true;
            break;
        }
        if (error != EINTR)
            break;
    }
    timer_delete(timer);
    return succeeded;
}
#else
bool call_within(const QDeadlineTimer&, const std::function<int()>&)
{
    return true;
}
#endif
