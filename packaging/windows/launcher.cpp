// bin\zorvane-cli.exe: what the installer puts on the machine's PATH. It starts the real zorvane-cli.exe one
// folder up with the same command line, in the same console and with the same standard handles, and ends
// with its exit status.
//
// Why a launcher: the real program's folder holds the Qt and MinGW DLLs, and a folder on the PATH is searched
// by every program on the PC that loads a DLL by name: one that looks for Qt6Core.dll or libstdc++-6.dll
// would get ours. This folder holds nothing a program could load. A .cmd file would do the same but asks
// "Terminate batch job (Y/N)?" after Ctrl+C and mangles some arguments (%, ^, &).
#include <windows.h>

#include <string>

namespace {

// Ctrl+C and Ctrl+Break belong to zorvane-cli (the first stops the job at a safe point): the launcher
// waits for it to end. A handler of our own, because ignoring them outright would be inherited.
BOOL WINAPI keep_waiting(DWORD event)
{
    return event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT ? TRUE : FALSE;
}

// The command line after the program's own name, exactly as typed (CommandLineToArgvW's rule for argv[0]:
// up to the closing quote when it begins with one, else up to the first blank).
const wchar_t* arguments_after_name(const wchar_t* line)
{
    if (*line == L'"') {
        ++line;
        while (*line != L'\0' && *line != L'"')
            ++line;
        if (*line == L'"')
            ++line;
    } else {
        while (*line != L'\0' && *line != L' ' && *line != L'\t')
            ++line;
    }
    return line;
}

HANDLE inheritable(DWORD which)
{
    const HANDLE own = GetStdHandle(which);
    HANDLE copy = nullptr;
    if (own == nullptr || own == INVALID_HANDLE_VALUE ||
        !DuplicateHandle(GetCurrentProcess(), own, GetCurrentProcess(), &copy, 0, TRUE,
                         DUPLICATE_SAME_ACCESS))
        return own;
    return copy;
}

} // namespace

int wmain()
{
    std::wstring self(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = GetModuleFileNameW(nullptr, self.data(), DWORD(self.size()));
        if (n == 0)
            return 127;
        if (n < self.size()) {
            self.resize(n);
            break;
        }
        self.resize(self.size() * 2);
    }
    // ...\KDR7 Loader Editor\bin\zorvane-cli.exe -> ...\KDR7 Loader Editor\zorvane-cli.exe
    const std::size_t name_at = self.find_last_of(L'\\');
    const std::size_t folder_at =
        name_at == std::wstring::npos ? name_at : self.find_last_of(L'\\', name_at - 1);
    if (folder_at == std::wstring::npos)
        return 127;
    const std::wstring program = self.substr(0, folder_at + 1) + self.substr(name_at + 1);
    std::wstring line = L"\"" + program + L"\"" + arguments_after_name(GetCommandLineW());

    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = inheritable(STD_INPUT_HANDLE);
    startup.hStdOutput = inheritable(STD_OUTPUT_HANDLE);
    startup.hStdError = inheritable(STD_ERROR_HANDLE);
    // The program lives only as long as the launcher: a script's time-out or taskkill ends the launcher,
    // and a program left behind would go on flashing and holding its ports. The job's handle is the
    // launcher's alone (not inherited); when the launcher ends, however it ends, the job closes and takes
    // the program with it. The program starts suspended, so that it runs no instruction outside the job.
    const HANDLE job = CreateJobObjectW(nullptr, nullptr);
    if (job != nullptr) {
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof(limits));
    }
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, TRUE, CREATE_SUSPENDED, nullptr,
                        nullptr, &startup, &process)) {
        const std::wstring text = L"zorvane-cli: cannot start " + program + L"\r\n";
        const HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
        DWORD written = 0;
        if (!WriteConsoleW(error, text.c_str(), DWORD(text.size()), &written, nullptr)) {
            // Not a console: UTF-8, as zorvane-cli writes to files and pipes.
            std::string bytes(std::size_t(text.size()) * 3, '\0');
            const int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), int(text.size()), bytes.data(),
                                              int(bytes.size()), nullptr, nullptr);
            WriteFile(error, bytes.data(), DWORD(n > 0 ? n : 0), &written, nullptr);
        }
        return 127;
    }
    // Inside a job of its own (a scheduler's or a CI runner's) the launcher's job nests below it (Windows 8
    // and later); where nesting is refused (Windows 7 under a job without breakaway) the program runs as
    // before, without one.
    if (job != nullptr)
        AssignProcessToJobObject(job, process.hProcess);
    ResumeThread(process.hThread);
    SetConsoleCtrlHandler(keep_waiting, TRUE);
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD status = 1;
    GetExitCodeProcess(process.hProcess, &status);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return int(status);
}
