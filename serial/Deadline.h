#pragma once

#include <QDeadlineTimer>

#include <functional>

// Some calls can block in a driver with no time-out of their own: the last close() of a USB serial adapter
// that stopped taking data waits up to its closing wait of 30 s. Such a call is run here with the deadline
// enforced from outside: a timer of the calling thread interrupts it (EINTR) when the deadline passes, and
// again every few milliseconds until the call has returned. The signal goes to the calling thread alone: in a
// rack another thread would take it and leave the stuck one where it is.
//
// call returns 0 on success or -1 with errno set, as system calls do. True when it succeeded before the
// deadline; false when it failed or was cut off. Interruptions by other signals before the deadline are
// retried. Where no such timer can be had, call is not made at all and the result is true: the callers use
// it for a last step that only makes a good result better.
bool call_within(const QDeadlineTimer& deadline, const std::function<int()>& call);
// True when call_within can cut a blocked call on the calling thread (its timer could be had).
bool deadline_cuts_calls();
