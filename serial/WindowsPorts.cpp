#include "serial/WindowsPorts.h"

#ifdef Q_OS_WIN
#include <windows.h>

#include <cfgmgr32.h>
#include <setupapi.h>
#endif

namespace windows_ports {

namespace {

// The bus part of an id ("USB" of "USB\VID_...").
QString enumerator(const QString& id)
{
    return id.section(QLatin1Char('\\'), 0, 0).toUpper();
}

// "VID_" and four hexadecimal digits anywhere in the id's device part.
bool has_usb_vendor(const QString& id)
{
    const QString device = id.section(QLatin1Char('\\'), 1).toUpper();
    for (qsizetype at = device.indexOf(QLatin1String("VID_")); at >= 0;
         at = device.indexOf(QLatin1String("VID_"), at + 1)) {
        const QString digits = device.mid(at + 4, 4);
        bool hex = digits.size() == 4;
        for (const QChar c : digits)
            hex = hex && (c.isDigit() || (c >= QLatin1Char('A') && c <= QLatin1Char('F')));
        if (hex)
            return true;
    }
    return false;
}

} // namespace

bool is_usb_adapter(const Device& device)
{
    if (device.device_class.compare(QLatin1String("Modem"), Qt::CaseInsensitive) == 0)
        return false;
    const QString bus = enumerator(device.hardware_id);
    return (bus == QLatin1String("USB") || bus == QLatin1String("FTDIBUS")) &&
           has_usb_vendor(device.hardware_id);
}

QString adapter_serial(const Device& device)
{
    // The USB device is the first node on the USB bus that is no interface of a composite device
    // ("&MI_nn"); its instance ends in its serial number, or in a number Windows made up (with "&") when
    // it has none. The walk stops there: a hub's number is never lent.
    QString usb_serial;
    for (const QString& id : device.instances) {
        const QStringList parts = id.split(QLatin1Char('\\'));
        if (parts.size() < 3 || enumerator(id) != QLatin1String("USB") ||
            parts[1].contains(QLatin1String("&MI_"), Qt::CaseInsensitive))
            continue;
        if (!parts[2].contains(QLatin1Char('&')))
            usb_serial = parts[2];
        break;
    }
    if (device.instances.isEmpty() || enumerator(device.instances.front()) != QLatin1String("FTDIBUS"))
        return usb_serial;
    // FTDIBUS\VID_0403+PID_6001+A50285BIA\0000
    const QString own =
        device.instances.front().section(QLatin1Char('\\'), 1, 1).section(QLatin1Char('+'), 2, 2);
    if (own.isEmpty() || own.contains(QLatin1Char('&')))
        return usb_serial;
    const QChar last = own.back().toUpper();
    if (!usb_serial.isEmpty() && own.size() == usb_serial.size() + 1 &&
        own.startsWith(usb_serial, Qt::CaseInsensitive) && last >= QLatin1Char('A') &&
        last <= QLatin1Char('D'))
        return usb_serial;
    return own;
}

#ifdef Q_OS_WIN
namespace {

QString registry_text(const wchar_t* text, DWORD bytes)
{
    QString value = QString::fromWCharArray(text, int(bytes / sizeof(wchar_t)));
    // REG_SZ and REG_MULTI_SZ: up to the first terminating zero.
    const qsizetype end = value.indexOf(QChar(0));
    return end < 0 ? value : value.left(end);
}

QString property(HDEVINFO set, SP_DEVINFO_DATA& data, DWORD which)
{
    wchar_t text[512] = {};
    DWORD bytes = 0;
    if (!SetupDiGetDeviceRegistryPropertyW(set, &data, which, nullptr, reinterpret_cast<BYTE*>(text),
                                           sizeof text - sizeof(wchar_t), &bytes))
        return QString();
    return registry_text(text, bytes);
}

QString port_name(HDEVINFO set, SP_DEVINFO_DATA& data)
{
    const HKEY key = SetupDiOpenDevRegKey(set, &data, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_QUERY_VALUE);
    if (key == INVALID_HANDLE_VALUE)
        return QString();
    wchar_t text[64] = {};
    DWORD bytes = sizeof text - sizeof(wchar_t);
    DWORD type = 0;
    const bool read = RegQueryValueExW(key, L"PortName", nullptr, &type, reinterpret_cast<BYTE*>(text),
                                       &bytes) == ERROR_SUCCESS &&
                      type == REG_SZ;
    RegCloseKey(key);
    return read ? registry_text(text, bytes) : QString();
}

} // namespace

std::vector<Device> present()
{
    // The setup classes "Ports" and "Modem", spelt out: their named constants need initguid.h in one unit.
    static const GUID classes[] = {
        {0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}},
        {0x4d36e96d, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}},
    };
    std::vector<Device> found;
    for (const GUID& setup_class : classes) {
        const HDEVINFO set = SetupDiGetClassDevsW(&setup_class, nullptr, nullptr, DIGCF_PRESENT);
        if (set == INVALID_HANDLE_VALUE)
            continue;
        SP_DEVINFO_DATA data{};
        data.cbSize = sizeof data;
        for (DWORD index = 0; SetupDiEnumDeviceInfo(set, index, &data); ++index) {
            Device device;
            device.port_name = port_name(set, data);
            if (device.port_name.isEmpty())
                continue;
            device.hardware_id = property(set, data, SPDRP_HARDWAREID);
            device.device_class = property(set, data, SPDRP_CLASS);
            // The port, its bus device and the USB device above: a few steps cover every adapter's tree.
            DEVINST node = data.DevInst;
            for (int step = 0; step < 4; ++step) {
                wchar_t id[MAX_DEVICE_ID_LEN + 1] = {};
                if (CM_Get_Device_IDW(node, id, MAX_DEVICE_ID_LEN, 0) != CR_SUCCESS)
                    break;
                device.instances << QString::fromWCharArray(id);
                DEVINST parent = 0;
                if (CM_Get_Parent(&parent, node, 0) != CR_SUCCESS)
                    break;
                node = parent;
            }
            found.push_back(device);
        }
        SetupDiDestroyDeviceInfoList(set);
    }
    return found;
}
#endif

} // namespace windows_ports
