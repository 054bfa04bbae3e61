#pragma once

#include "serial/ReplyWait.h"

#include <QCoreApplication>

// What the window's long handlers share: the event pump and the mark of a running job.
namespace pumping {

// Marks a job as running for as long as the handler that runs it, whichever way it returns.
class Running
{
public:
    Running(unsigned& running_jobs, unsigned job) : jobs(running_jobs), bit(job) { jobs |= bit; }
    ~Running() { jobs &= ~bit; }
    Running(const Running&) = delete;
    Running& operator=(const Running&) = delete;

private:
    unsigned& jobs;
    unsigned bit;
};

// Lets the window repaint and deliver the clicks made meanwhile (Stop among them).
inline void pump_events()
{
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    KeepAlive::taken();
}

} // namespace pumping
