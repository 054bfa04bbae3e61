// kdr7-path.exe: adds a folder to the machine's PATH, or takes it off, for the installer and the uninstaller;
// and tells the installer whether a program runs from the install folder.
//   kdr7-path.exe add FOLDER | remove FOLDER [add FOLDER | remove FOLDER ...]
//   kdr7-path.exe running FOLDER
// Exit status: 0 done (or nothing to do; nothing runs from FOLDER), 2 usage, 3 the PATH would pass Windows'
// limit (left as it was), 4 the PATH could not be read or written (left as it was), 5 a program runs from
// FOLDER or below.
//
// Why a program of our own: NSIS holds every string in 1024 characters. A longer PATH reads back as an empty
// string, and writing "that string plus our folder" replaces the machine's PATH with our folder alone. Here
// the value is read whole, whatever its length, and changed entry by entry: every other entry stays as it
// was, byte for byte, in its place, with the value's type (REG_EXPAND_SZ keeps its %variables% unexpanded).
//
// A window program (no console flashes up when the installer runs it); it says nothing, its status tells.
#include <windows.h>

#include <tlhelp32.h>

#include <string>
#include <vector>

namespace {

const wchar_t environment_key[] = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment";
// The most a variable of a process's environment can hold: a longer PATH would not reach any program.
const std::size_t path_limit = 32767;

// One entry of the PATH: where it starts in the value and how long it is (separators not included).
struct Entry
{
    std::size_t start;
    std::size_t length;
};

std::vector<Entry> entries_of(const std::wstring& path)
{
    std::vector<Entry> entries;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = path.find(L';', start);
        entries.push_back({start, (end == std::wstring::npos ? path.size() : end) - start});
        if (end == std::wstring::npos)
            return entries;
        start = end + 1;
    }
}

// The same folder, as Windows compares names: case aside, and with or without one trailing backslash.
// A whole entry only: "C:\Program Files\KDR7 Loader Editor2" is not "C:\Program Files\KDR7 Loader Editor".
bool same_folder(const wchar_t* a, std::size_t a_length, const std::wstring& folder)
{
    std::size_t b_length = folder.size();
    if (a_length > 0 && a[a_length - 1] == L'\\')
        --a_length;
    if (b_length > 0 && folder[b_length - 1] == L'\\')
        --b_length;
    if (a_length == 0 || a_length != b_length)
        return false;
    return CompareStringOrdinal(a, int(a_length), folder.c_str(), int(b_length), TRUE) == CSTR_EQUAL;
}

bool holds(const std::wstring& path, const std::wstring& folder)
{
    for (const Entry& e : entries_of(path)) {
        if (same_folder(path.c_str() + e.start, e.length, folder))
            return true;
    }
    return false;
}

// The folder last, after a separator (a value that ends with one keeps ending with one).
std::wstring with(const std::wstring& path, const std::wstring& folder)
{
    if (holds(path, folder))
        return path;
    if (path.empty())
        return folder;
    if (path.back() == L';')
        return path + folder + L';';
    return path + L';' + folder;
}

// Every entry naming the folder goes with one separator: the one after it, or for the last entry the one
// before it. What "with" added, "without" takes away exactly.
std::wstring without(const std::wstring& path, const std::wstring& folder)
{
    std::wstring rest = path;
    for (;;) {
        const std::vector<Entry> entries = entries_of(rest);
        std::size_t i = 0;
        while (i < entries.size() && !same_folder(rest.c_str() + entries[i].start, entries[i].length, folder))
            ++i;
        if (i == entries.size())
            return rest;
        const Entry& e = entries[i];
        if (i + 1 < entries.size())
            rest.erase(e.start, e.length + 1);
        else if (i > 0)
            rest.erase(e.start - 1, e.length + 1);
        else
            rest.erase(e.start, e.length);
    }
}

struct Value
{
    std::wstring text;
    DWORD type = REG_EXPAND_SZ;
};

// The PATH value whole, however long; a missing value reads as empty.
bool read_path(HKEY key, Value& value)
{
    for (;;) {
        DWORD type = 0;
        DWORD bytes = 0;
        LSTATUS status = RegQueryValueExW(key, L"Path", nullptr, &type, nullptr, &bytes);
        if (status == ERROR_FILE_NOT_FOUND) {
            value = Value{};
            return true;
        }
        if (status != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ))
            return false;
        std::vector<wchar_t> buffer(bytes / sizeof(wchar_t) + 1, L'\0');
        DWORD got = bytes;
        status = RegQueryValueExW(key, L"Path", nullptr, &type, reinterpret_cast<BYTE*>(buffer.data()), &got);
        if (status == ERROR_MORE_DATA)
            continue; // it grew meanwhile
        if (status != ERROR_SUCCESS)
            return false;
        std::size_t length = got / sizeof(wchar_t);
        // The stored value may or may not end with its terminating zero.
        while (length > 0 && buffer[length - 1] == L'\0')
            --length;
        value.text.assign(buffer.data(), length);
        value.type = type;
        return true;
    }
}

bool write_path(HKEY key, const Value& value)
{
    const DWORD bytes = DWORD((value.text.size() + 1) * sizeof(wchar_t));
    return RegSetValueExW(key, L"Path", 0, value.type, reinterpret_cast<const BYTE*>(value.text.c_str()),
                          bytes) == ERROR_SUCCESS;
}

// The path of a file or folder as the file system names it ("\\?\C:\Program Files\..."): the same for a
// short 8.3 name, another case, a link or a second drive letter leading to it. As given when it cannot be
// opened.
std::wstring final_path(const std::wstring& path)
{
    const HANDLE handle = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return path;
    std::wstring final(32768, L'\0');
    const DWORD length = GetFinalPathNameByHandleW(handle, final.data(), DWORD(final.size()),
                                                   FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    CloseHandle(handle);
    if (length == 0 || length >= final.size())
        return path;
    final.resize(length);
    return final;
}

// Whether any process's program file lies in folder or below it. Every process is looked at, whoever runs
// it: the installer runs as an administrator, and a watch may run as another user or as a service.
bool runs_from(const std::wstring& folder)
{
    std::wstring prefix = final_path(folder);
    while (!prefix.empty() && prefix.back() == L'\\')
        prefix.pop_back();
    prefix += L'\\';
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return false;
    bool found = false;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot, &entry); more && !found;
         more = Process32NextW(snapshot, &entry)) {
        const HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID);
        if (process == nullptr)
            continue;
        std::wstring image(32768, L'\0');
        DWORD length = DWORD(image.size());
        if (QueryFullProcessImageNameW(process, 0, image.data(), &length)) {
            image = final_path(image.substr(0, length));
            found = image.size() > prefix.size() &&
                    CompareStringOrdinal(image.c_str(), int(prefix.size()), prefix.c_str(),
                                         int(prefix.size()), TRUE) == CSTR_EQUAL;
        }
        CloseHandle(process);
    }
    CloseHandle(snapshot);
    return found;
}

// Programs started from now on (Explorer, new command prompts) take the new PATH. The broadcast's time-out
// counts per window: a few hung windows would hold the installer for 5 s each. So it goes out from a thread
// of its own, and the helper waits for it 5 s in all.
DWORD WINAPI broadcast(void*)
{
    DWORD_PTR result = 0;
    SendMessageTimeoutW(HWND_BROADCAST, WM_SETTINGCHANGE, 0, reinterpret_cast<LPARAM>(L"Environment"),
                        SMTO_ABORTIFHUNG, 5000, &result);
    return 0;
}

} // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    int count = 0;
    wchar_t** arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    if (arguments == nullptr || count < 3 || count % 2 == 0)
        return 2;
    if (count == 3 && std::wstring(arguments[1]) == L"running")
        return runs_from(arguments[2]) ? 5 : 0;
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, environment_key, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, &key) !=
        ERROR_SUCCESS)
        return 4;
    Value value;
    if (!read_path(key, value)) {
        RegCloseKey(key);
        return 4;
    }
    Value changed = value;
    for (int i = 1; i + 1 < count; i += 2) {
        const std::wstring action = arguments[i];
        const std::wstring folder = arguments[i + 1];
        if (folder.empty() || folder.find(L';') != std::wstring::npos) {
            RegCloseKey(key);
            return 2;
        }
        if (action == L"add")
            changed.text = with(changed.text, folder);
        else if (action == L"remove")
            changed.text = without(changed.text, folder);
        else {
            RegCloseKey(key);
            return 2;
        }
    }
    int status = 0;
    if (changed.text.size() > path_limit && changed.text.size() > value.text.size())
        status = 3;
    else if (changed.text != value.text)
        status = write_path(key, changed) ? 0 : 4;
    RegCloseKey(key);
    LocalFree(arguments);
    if (status == 0 && changed.text != value.text) {
        const HANDLE thread = CreateThread(nullptr, 0, broadcast, nullptr, 0, nullptr);
        if (thread != nullptr) {
            WaitForSingleObject(thread, 5000);
            CloseHandle(thread);
        }
        // The thread may still wait on a hung window: ending the process ends it.
        ExitProcess(UINT(status));
    }
    return status;
}
