// A small Windows program that the Wine trial (tools/wine-try.sh) uses to do to the window what a user
// does: click it and move it. Built by the trial with the MinGW compiler; it is never shipped.
//   probe move TITLE X Y TRACE AFTER END
// waits for the window TITLE, clicks its client area at (X, Y), then 6 pixels lower and so on (up to 20
// pixels), until the file TRACE exists; posts the window SC_MOVE once TRACE holds the text AFTER (as a
// press on the title bar would), and waits until it holds END.
#include <windows.h>

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

} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc == 8 && std::wstring(argv[1]) == L"move")
        return move(argv[2], _wtoi(argv[3]), _wtoi(argv[4]), argv[5], argv[6], argv[7]);
    std::fprintf(stderr, "usage: probe move TITLE X Y TRACE AFTER END\n");
    return 2;
}
