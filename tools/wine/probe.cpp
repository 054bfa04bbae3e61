// A small Windows program that the Wine trial (tools/wine-try.sh) uses to do to the tool what a PC's user
// or a script does: hold a COM port open, stop a command with Ctrl+Break, click the window and post it the
// system's move command. Built by the trial with the MinGW compiler; it is never shipped.
//   probe hold PORT MS                      opens PORT exclusively, says "held", keeps it MS milliseconds
//   probe break MS COMMAND_LINE             runs COMMAND_LINE in a new process group, sends it Ctrl+Break
//                                           after MS milliseconds, says "exit N" when it has ended
//   probe move TITLE X Y TRACE AFTER END    clicks the window TITLE at (X, Y) of its client area, posts it
//                                           SC_MOVE once the file TRACE holds the text AFTER, and waits
//                                           until it holds END
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

std::string read_all(const wchar_t* path)
{
    std::string text;
    const HANDLE file =
        CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                    OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return text;
    char buffer[65536];
    DWORD got = 0;
    while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0)
        text.append(buffer, got);
    CloseHandle(file);
    return text;
}

// Waits up to ms for the file to hold the text.
bool wait_for_text(const wchar_t* path, const std::string& text, DWORD ms)
{
    const ULONGLONG end = GetTickCount64() + ms;
    while (GetTickCount64() < end) {
        if (read_all(path).find(text) != std::string::npos)
            return true;
        Sleep(5);
    }
    return false;
}

std::string narrow(const wchar_t* text)
{
    std::string out;
    for (; *text != 0; ++text)
        out += char(*text);
    return out;
}

int hold(const wchar_t* port, DWORD ms)
{
    const std::wstring path = std::wstring(L"\\\\.\\") + port;
    const HANDLE h =
        CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        std::printf("cannot open %ls: %lu\n", port, GetLastError());
        return 1;
    }
    std::printf("held\n");
    std::fflush(stdout);
    Sleep(ms);
    CloseHandle(h);
    return 0;
}

int send_break(DWORD ms, wchar_t* command_line)
{
    // The child writes where this program was told to write (a console of its own would take over the
    // standard handles), and Ctrl+Break reaches the processes of a group that share the sender's console.
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    const bool had_console = GetConsoleWindow() != nullptr || AttachConsole(ATTACH_PARENT_PROCESS);
    if (!had_console)
        AllocConsole();
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, command_line, nullptr, nullptr, TRUE, CREATE_NEW_PROCESS_GROUP, nullptr,
                        nullptr, &startup, &process)) {
        std::fprintf(stderr, "cannot start: %lu\n", GetLastError());
        return 1;
    }
    if (WaitForSingleObject(process.hProcess, ms) == WAIT_OBJECT_0) {
        std::fprintf(stderr, "ended before the break\n");
        return 1;
    }
    if (!GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, process.dwProcessId)) {
        std::fprintf(stderr, "GenerateConsoleCtrlEvent failed: %lu\n", GetLastError());
        TerminateProcess(process.hProcess, 99);
        return 1;
    }
    if (WaitForSingleObject(process.hProcess, 15000) != WAIT_OBJECT_0) {
        std::fprintf(stderr, "still running 15 s after the break\n");
        TerminateProcess(process.hProcess, 99);
        return 1;
    }
    DWORD status = 0;
    GetExitCodeProcess(process.hProcess, &status);
    const std::string said = "exit " + std::to_string(status) + "\n";
    DWORD written = 0;
    WriteFile(startup.hStdError, said.data(), DWORD(said.size()), &written, nullptr);
    return 0;
}

int move(const wchar_t* title, int x, int y, const wchar_t* trace, const wchar_t* after, const wchar_t* end)
{
    HWND window = nullptr;
    for (int i = 0; i < 600 && window == nullptr; ++i) {
        window = FindWindowW(nullptr, title);
        if (window == nullptr)
            Sleep(100);
    }
    if (window == nullptr) {
        std::printf("no window \"%ls\"\n", title);
        return 1;
    }
    Sleep(2000); // the port probe and the first paint
    const LPARAM at = MAKELPARAM(x, y);
    PostMessageW(window, WM_MOUSEMOVE, 0, at);
    PostMessageW(window, WM_LBUTTONDOWN, MK_LBUTTON, at);
    PostMessageW(window, WM_LBUTTONUP, 0, at);
    if (!wait_for_text(trace, narrow(after), 30000)) {
        std::printf("the trace never held \"%ls\"\n", after);
        return 1;
    }
    PostMessageW(window, WM_SYSCOMMAND, SC_MOVE, 0);
    std::printf("SC_MOVE posted\n");
    if (!wait_for_text(trace, narrow(end), 60000)) {
        std::printf("the trace never held \"%ls\"\n", end);
        return 1;
    }
    std::printf("done\n");
    return 0;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    const std::wstring mode = argc > 1 ? argv[1] : L"";
    if (mode == L"hold" && argc == 4)
        return hold(argv[2], DWORD(_wtoi(argv[3])));
    if (mode == L"break" && argc == 4)
        return send_break(DWORD(_wtoi(argv[2])), argv[3]);
    if (mode == L"move" && argc == 8)
        return move(argv[2], _wtoi(argv[3]), _wtoi(argv[4]), argv[5], argv[6], argv[7]);
    std::fprintf(stderr,
                 "usage: probe hold PORT MS | break MS COMMAND_LINE | move TITLE X Y TRACE AFTER END\n");
    return 2;
}
