#pragma once

// Holds the system timer at 1 ms for as long as it lives: made around each job that talks to the box (an
// update, a satellite read or write), in the window and on the command line alike.
//
// Why: the box is paced with sleeps of 1 ms and polls of 1-2 ms. On Windows 10 2004 and later a process that
// has not asked for a finer timer sleeps in steps of the default tick, about 15.6 ms: Sleep(1), and with it
// QThread::msleep, takes 15.6 ms. An update would take about twice its time and a satellite write (some 2100
// sleeps of 1 ms) ten to twenty times. The finer timer costs power, so it is held for the job and no longer.
// Windows 11 may drop the request of a process whose window is minimized or covered; the first holder
// opts the process out of that. Elsewhere the sleeps are as fine as asked, and this does nothing.
class TimerResolution
{
public:
    TimerResolution();
    ~TimerResolution();
    TimerResolution(const TimerResolution&) = delete;
    TimerResolution& operator=(const TimerResolution&) = delete;

private:
    bool held = false;
};
