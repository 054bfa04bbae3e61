#include "common/TimerResolution.h"

#include <QtGlobal>

#ifdef Q_OS_WIN
#include <windows.h>

#include <timeapi.h>

// The requests are counted by Windows: jobs that overlap (the boxes of a rack) each hold their own.
TimerResolution::TimerResolution() : held(timeBeginPeriod(1) == TIMERR_NOERROR) {}

TimerResolution::~TimerResolution()
{
    if (held)
        timeEndPeriod(1);
}
#else
TimerResolution::TimerResolution() = default;
TimerResolution::~TimerResolution() = default;
#endif
