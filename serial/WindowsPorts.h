#pragma once

#include <QString>
#include <QStringList>

#include <vector>

// What Windows' device tree tells of each COM port, and what the watch decides from it. The decisions are
// plain functions of the strings SetupAPI gives, so that they read (and are tried) the same everywhere.
namespace windows_ports {

struct Device
{
    QString port_name; // "COM7"
    // The first hardware id: "USB\VID_2341&PID_0043", "FTDIBUS\COMPORT&VID_0403&PID_6001"
    QString hardware_id;
    QString device_class; // the setup class's name: "Ports", "Modem"
    // The port's device instance id first, then its parent's and so on up the tree:
    // "FTDIBUS\VID_0403+PID_6001+A50285BIA\0000", "USB\VID_0403&PID_6001\A50285BI", "USB\ROOT_HUB30\..."
    QStringList instances;
};

// A USB serial adapter, which the watch may take unasked: a hardware id on the USB bus or on a USB
// adapter maker's own bus, with a USB vendor id. Not a PCI card, the chipset's serial-over-LAN port,
// Bluetooth or an on-board port (Windows' own vendor fallback would lend them a PCI "VEN_"), and never a
// device of the modem class, USB or not (a WWAN modem answers the bootloader request with AT noise).
bool is_usb_adapter(const Device& device);

// The serial number of the adapter's USB device, as Linux reads it from sysfs, so that the logs of both
// systems name one adapter alike; empty when the device has none. FTDI's driver appends the channel
// letter to it in its own ids ("A50285BIA" for the adapter "A50285BI"): that letter is dropped only when
// the rest is the USB device's number.
QString adapter_serial(const Device& device);

#ifdef Q_OS_WIN
// The present devices of the ports and modem classes that have a COM name.
std::vector<Device> present();
#endif

} // namespace windows_ports
