#pragma once

#include <chrono>
#include <functional>

class SerialChannel;

// The box is paced by fixed sleeps of the calling thread, never by the line. A sleep is never shorter than
// asked; it is as long as asked to within some microseconds on an idle machine.
// A pause before the thread's next byte: it counts from when the bytes the thread wrote last have left (see
// line_busy_until), so that the box sees the whole gap after the last byte.
void sleep_ms(int milliseconds);
// A sleep counted from a given moment of the steady clock (the port's opening, the start of a reply wait):
// what the thread did since then is part of it, and it ends at once when that much time has passed already.
// A replaced sleep (below) is asked for the whole pause: its time is not the clock's.
void sleep_ms(int milliseconds, std::chrono::steady_clock::time_point since);

// The bytes the thread wrote last are on the line until then (see SerialChannel::write): the thread's next
// pause counts from there, never from sooner.
void line_busy_until(std::chrono::steady_clock::time_point until);

// A thread that must keep answering while it waits on the box (the window's: Windows calls a window that
// took no event for 5 s "Not Responding" and offers to close it) holds one of these for the job: every
// pause and reply wait of the thread then calls keep, at least every interval_ms while it waits. A call
// that keep makes to sleep_ms does not call keep again.
class KeepAlive
{
public:
    static constexpr int interval_ms = 50;
    explicit KeepAlive(std::function<void()> keep);
    ~KeepAlive();
    KeepAlive(const KeepAlive&) = delete;
    KeepAlive& operator=(const KeepAlive&) = delete;
    // The thread took its events by its own means just now: keep is next due an interval from now.
    static void taken();
};
// Replaces the sleep (nullptr: the real one back); for driving the protocols without a box's pace.
void replace_sleep(void (*sleeper)(int milliseconds));

// How a reply is awaited: polls of the channel for a waiting byte, each with a sleep, in a fixed order,
// up to a fixed number of cycles.
struct WaitSchedule
{
    enum Order
    {
        PollThenSleep, // the sleep follows every poll, the successful one too
        SleepThenPoll,
    };
    Order order;
    int sleep_ms;
    int cycles;
};

// Waits by the schedule; true when a byte is waiting, false when the cycles ran out (a wait that the trace
// records, unless quiet: a caller that waits cycle by cycle records the whole wait itself) or the device is
// gone, which ends the wait at once.
bool wait_for_byte(SerialChannel& channel, const WaitSchedule& schedule, bool quiet = false);

// The result of awaiting a one-byte reply.
struct Reply
{
    unsigned char byte;
    bool arrived;       // a byte was read, in the schedule or just after its last poll
    bool device_failed; // the device is gone (SerialChannel::gone): no later reply can come
    // Nothing came because the device is gone: an exchange has nothing more to wait for.
    bool lost() const { return device_failed && !arrived; }
};

// Waits by the schedule, then reads one byte. A reply that did not come keeps the byte given as missing.
Reply await_reply(SerialChannel& channel, const WaitSchedule& schedule, unsigned char missing = 0xFF);
