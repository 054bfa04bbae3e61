#include "common/TimerResolution.h"

#include <QtGlobal>

#ifdef Q_OS_WIN
#include <windows.h>

#include <timeapi.h>

namespace {

// Windows 11 may ignore a timer request of a process that owns a window while that window is minimized or
// fully covered: the window would then pace the box in 15.6 ms steps mid-job. The process opts out once,
// before its first request; the opt-out only keeps our own requests honoured, which are held for a job
// and no longer. SetProcessInformation and the flag are looked up at run time: Windows before 8 lacks the
// call, and before 11 it refuses the flag (the timer is honoured there anyway).
void keep_timer_requests_honoured()
{
    struct PowerThrottlingState
    {
        ULONG version;
        ULONG control_mask;
        ULONG state_mask;
    };
    constexpr ULONG current_version = 1;           // PROCESS_POWER_THROTTLING_CURRENT_VERSION
    constexpr ULONG ignore_timer_resolution = 0x4; // PROCESS_POWER_THROTTLING_IGNORE_TIMER_RESOLUTION
    constexpr int power_throttling_class = 4;      // ProcessPowerThrottling
    using SetInformation = BOOL(WINAPI*)(HANDLE, int, LPVOID, DWORD);
    const HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    if (kernel == nullptr)
        return;
    const auto set_information = reinterpret_cast<SetInformation>(
        reinterpret_cast<void*>(GetProcAddress(kernel, "SetProcessInformation")));
    if (set_information == nullptr)
        return;
    // The flag under our control (in the mask) and off (not in the state): timer requests are honoured.
    PowerThrottlingState state{current_version, ignore_timer_resolution, 0};
    set_information(GetCurrentProcess(), power_throttling_class, &state, DWORD(sizeof(state)));
}

} // namespace

// The requests are counted by Windows: jobs that overlap (the boxes of a rack) each hold their own.
TimerResolution::TimerResolution()
{
    static const bool opted_out = (keep_timer_requests_honoured(), true);
    Q_UNUSED(opted_out);
    held = timeBeginPeriod(1) == TIMERR_NOERROR;
}

TimerResolution::~TimerResolution()
{
    if (held)
        timeEndPeriod(1);
}
#else
TimerResolution::TimerResolution() = default;
TimerResolution::~TimerResolution() = default;
#endif
