// A small Windows program that the Wine trial (tools/wine-try.sh) uses to do what a user or another
// program does. Built by the trial with the MinGW compiler; it is never shipped.
//   probe move TITLE X Y TRACE AFTER END
// waits for the window TITLE, clicks its client area at (X, Y), then 6 pixels lower and so on (up to 20
// pixels), until the file TRACE exists; posts the window SC_MOVE once TRACE holds the text AFTER (as a
// press on the title bar would), and waits until it holds END.
//   probe hold FILE SECONDS READY
// opens FILE as Excel keeps a workbook (reading, sharing reads and writes, not deletion), makes the file
// READY, and lets FILE go after SECONDS.
//   probe kill-launcher LAUNCHER ARGUMENTS
// starts LAUNCHER with ARGUMENTS, waits for the program it starts, ends the launcher as a script's time-out
// or taskkill /F would (TerminateProcess), and tells how long the program outlived it.
#include <windows.h>

#include <tlhelp32.h>

#include <cstdio>
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

// Waits up to ms for the file to exist.
bool wait_for_file(const wchar_t* path, DWORD ms)
{
    const ULONGLONG end = GetTickCount64() + ms;
    while (GetTickCount64() < end) {
        if (GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES)
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
    Sleep(3000); // the port probe and the first paint
    bool started = false;
    for (int dy = 0; dy <= 20 && !started; dy += 6) {
        const LPARAM at = MAKELPARAM(x, y + dy);
        PostMessageW(window, WM_MOUSEMOVE, 0, at);
        PostMessageW(window, WM_LBUTTONDOWN, MK_LBUTTON, at);
        PostMessageW(window, WM_LBUTTONUP, 0, at);
        started = wait_for_file(trace, 2000);
        if (started)
            std::printf("clicked at %d,%d\n", x, y + dy);
    }
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

int hold(const wchar_t* path, int seconds, const wchar_t* ready)
{
    const HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        std::printf("cannot open the file to hold (%lu)\n", GetLastError());
        return 1;
    }
    const HANDLE mark = CreateFileW(ready, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (mark != INVALID_HANDLE_VALUE)
        CloseHandle(mark);
    std::printf("held\n");
    std::fflush(stdout);
    Sleep(DWORD(seconds) * 1000);
    CloseHandle(file);
    std::printf("let go\n");
    return 0;
}

// The first process of the given program file name whose parent is the given one, or 0.
DWORD child_of(DWORD parent, const wchar_t* name)
{
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return 0;
    DWORD child = 0;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot, &entry); more && child == 0;
         more = Process32NextW(snapshot, &entry)) {
        if (entry.th32ParentProcessID == parent && entry.th32ProcessID != parent &&
            lstrcmpiW(entry.szExeFile, name) == 0)
            child = entry.th32ProcessID;
    }
    CloseHandle(snapshot);
    return child;
}

int kill_launcher(const wchar_t* launcher, int argc, wchar_t** argv)
{
    std::wstring line = L"\"" + std::wstring(launcher) + L"\"";
    for (int i = 0; i < argc; ++i)
        line += L" " + std::wstring(argv[i]);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(launcher, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &process)) {
        std::printf("cannot start the launcher (%lu)\n", GetLastError());
        return 1;
    }
    DWORD child = 0;
    for (int i = 0; i < 400 && child == 0; ++i) {
        child = child_of(process.dwProcessId, L"zorvane-cli.exe");
        if (child == 0)
            Sleep(50);
    }
    const HANDLE program = child != 0 ? OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, child) : nullptr;
    if (program == nullptr) {
        std::printf("the launcher started no program\n");
        TerminateProcess(process.hProcess, 1);
        return 1;
    }
    // The program well under way (its port look running), as a time-out would find it.
    Sleep(3000);
    if (WaitForSingleObject(program, 0) == WAIT_OBJECT_0) {
        std::printf("the program ended by itself\n");
        return 1;
    }
    const ULONGLONG killed = GetTickCount64();
    TerminateProcess(process.hProcess, 1);
    const bool gone = WaitForSingleObject(program, 10000) == WAIT_OBJECT_0;
    const ULONGLONG after = GetTickCount64() - killed;
    if (!gone) {
        std::printf("the program still runs %llu ms after its launcher was ended\n", after);
        TerminateProcess(program, 1);
        return 1;
    }
    std::printf("the program ended %llu ms after its launcher\n", after);
    return 0;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc == 8 && std::wstring(argv[1]) == L"move")
        return move(argv[2], _wtoi(argv[3]), _wtoi(argv[4]), argv[5], argv[6], argv[7]);
    if (argc == 5 && std::wstring(argv[1]) == L"hold")
        return hold(argv[2], _wtoi(argv[3]), argv[4]);
    if (argc >= 3 && std::wstring(argv[1]) == L"kill-launcher")
        return kill_launcher(argv[2], argc - 3, argv + 3);
    std::fprintf(stderr, "usage: probe move TITLE X Y TRACE AFTER END | hold FILE SECONDS READY | "
                         "kill-launcher LAUNCHER ARGUMENTS\n");
    return 2;
}
