#pragma once

#include <QCoreApplication>

// What the window's long handlers share: the event pump and the mark of a running job.
namespace pumping {

// Marks a job as running for as long as the handler that runs it, whichever way it returns.
class Running
{
public:
    explicit Running(bool& running_flag) : flag(running_flag) { flag = true; }
    ~Running() { flag = false; }
    Running(const Running&) = delete;
    Running& operator=(const Running&) = delete;

private:
    bool& flag;
};

// Lets the window repaint and deliver the clicks made meanwhile (Stop among them).
inline void pump_events()
{
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

} // namespace pumping
