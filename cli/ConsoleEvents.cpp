#include "cli/ConsoleEvents.h"

namespace console_events {

Answer answer(unsigned long event, bool stopping_already)
{
    enum : unsigned long
    {
        ctrl_c = 0,
        ctrl_break = 1,
        closing = 2,
        logging_off = 5,
        shutting_down = 6,
    };
    switch (event) {
    case ctrl_c:
    case ctrl_break:
        return stopping_already ? Answer::PassOn : Answer::Stop;
    case closing:
    case logging_off:
    case shutting_down:
        return Answer::StopAndHold;
    default:
        return Answer::PassOn;
    }
}

} // namespace console_events
