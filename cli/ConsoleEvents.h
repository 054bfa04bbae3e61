#pragma once

// What a Windows console control event does to zorvane-cli while a job runs. Apart from the terminal's
// code so that the rule is tried on every platform.
namespace console_events {

enum class Answer
{
    PassOn,      // to the system's own handler, which ends the program at once
    Stop,        // the job stops at its next safe point
    StopAndHold, // the same, and the system's end is held off until the program has ended (about 5 s)
};

// The event as Windows numbers it (CTRL_C_EVENT 0, CTRL_BREAK_EVENT 1, CTRL_CLOSE_EVENT 2,
// CTRL_LOGOFF_EVENT 5, CTRL_SHUTDOWN_EVENT 6), and whether a stop was asked for already. Ctrl+C and
// Ctrl+Break stop the job, the second of them ends the program; closing the console, logging off and
// shutting down leave seconds only: they stop the job and hold on while its boxes are recorded.
Answer answer(unsigned long event, bool stopping_already);

} // namespace console_events
