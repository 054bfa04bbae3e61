#include "serial/FtdiLatency.h"

#ifdef Q_OS_WIN
#include <windows.h>

#include <vector>

namespace {

// The FTDI driver keeps each adapter under Enum\FTDIBUS\<its id>\<instance>\Device Parameters, with the COM
// name it was given (PortName) and its latency timer (LatencyTimer, ms).
constexpr wchar_t bus_key[] = L"SYSTEM\\CurrentControlSet\\Enum\\FTDIBUS";

std::vector<std::wstring> subkeys(HKEY key)
{
    std::vector<std::wstring> names;
    for (DWORD i = 0;; ++i) {
        wchar_t name[256];
        DWORD length = 256;
        const LONG result = RegEnumKeyExW(key, i, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (result == ERROR_MORE_DATA)
            continue;
        if (result != ERROR_SUCCESS)
            break;
        names.emplace_back(name, length);
    }
    return names;
}

} // namespace

namespace ftdi_latency {

std::optional<int> of_port(const QString& port_name)
{
    HKEY bus = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, bus_key, 0, KEY_READ, &bus) != ERROR_SUCCESS)
        return std::nullopt;
    std::optional<int> found;
    for (const std::wstring& device : subkeys(bus)) {
        HKEY device_key = nullptr;
        if (RegOpenKeyExW(bus, device.c_str(), 0, KEY_READ, &device_key) != ERROR_SUCCESS)
            continue;
        for (const std::wstring& instance : subkeys(device_key)) {
            const std::wstring parameters = instance + L"\\Device Parameters";
            wchar_t name[64];
            DWORD size = sizeof name;
            if (RegGetValueW(device_key, parameters.c_str(), L"PortName", RRF_RT_REG_SZ, nullptr, name,
                             &size) != ERROR_SUCCESS ||
                QString::fromWCharArray(name).compare(port_name, Qt::CaseInsensitive) != 0)
                continue;
            DWORD latency = 0;
            size = sizeof latency;
            if (RegGetValueW(device_key, parameters.c_str(), L"LatencyTimer", RRF_RT_REG_DWORD, nullptr,
                             &latency, &size) == ERROR_SUCCESS)
                found = int(latency);
        }
        RegCloseKey(device_key);
        if (found)
            break;
    }
    RegCloseKey(bus);
    return found;
}

} // namespace ftdi_latency

#else

namespace ftdi_latency {

std::optional<int> of_port(const QString&)
{
    return std::nullopt;
}

} // namespace ftdi_latency

#endif
