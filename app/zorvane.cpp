#include "app/zorvane.h"

#include "app/messages.h"
#include "serial/PortNames.h"
#include "serial/SerialChannel.h"

#include <QMetaMethod>

#include <iterator>

// The icon lives in a resource compiled into a static library, which is not registered by itself.
// (Outside any namespace: the macro declares the resource's init function where it stands.)
static void register_resources()
{
    Q_INIT_RESOURCE(zorvane);
}

namespace {

constexpr int package_tab_index = 2;
constexpr int name_column_width = 260;

} // namespace

zorvane::zorvane(QWidget* parent, Qt::WindowFlags flags) : QMainWindow(parent, flags)
{
    register_resources();
    ui.setupUi(this);
    channel = nullptr;
    ui.label_mcu_m->hide();
    ui.label_mcu_u->hide();
    // The Package page leaves the tab widget but stays alive, with its widgets and connections.
    ui.tabWidget->removeTab(package_tab_index);
    ui.sat_setting->setColumnWidth(0, name_column_width);
    show_port_devices();
    connect_buttons();
    probe_ports();
}

zorvane::~zorvane()
{
    delete channel;
    channel = nullptr;
    // The grid items are members and go before the widgets: each leaves its table as it is destroyed.
}

// Button i is wired to slot i of this class's own meta-object, in this order.
void zorvane::connect_buttons()
{
    QPushButton* const buttons[] = {
        ui.pushButton_s19,           ui.pushButton_bin,          ui.pushButton_package_start,
        ui.pushButton_bin_update,    ui.pushButton_update_start, ui.pushButton_update_stop,
        ui.pushButton_sat_read,      ui.pushButton_sat_save,     ui.pushButton_sat_read_file,
        ui.pushButton_sat_save_file,
    };
    const QMetaMethod clicked = QMetaMethod::fromSignal(&QPushButton::clicked);
    const QMetaObject* meta = metaObject();
    for (int i = 0; i < int(std::size(buttons)); ++i)
        connect(buttons[i], clicked, this, meta->method(meta->methodOffset() + i), Qt::AutoConnection);
}

// The lists keep the names "COM1" .. "COM15"; the tooltip tells which device each name opens here.
void zorvane::show_port_devices()
{
    for (QComboBox* list : {ui.comboBox_port_rw, ui.comboBox_port_update}) {
        for (int i = 0; i < list->count(); ++i) {
            const QString device = port_names::device_for(list->itemText(i));
            list->setItemData(i, device.isEmpty() ? tr("no device") : device, Qt::ToolTipRole);
        }
    }
}

// Preselects the first port that opens. Nothing is sent: each port is only opened and closed again.
void zorvane::probe_ports()
{
    channel = new SerialChannel();
    found_port_index = 0;
    bool found = false;
    for (int i = 0; i < ui.comboBox_port_rw->count(); ++i) {
        const bool failed = channel->open(ui.comboBox_port_rw->itemText(i));
        channel->release_port();
        if (!failed) {
            found_port_index = i;
            found = true;
            break;
        }
    }
    if (!found)
        show_message(Message::SerialPortNotFound);
    ui.comboBox_port_rw->setCurrentIndex(found_port_index);
    ui.comboBox_port_update->setCurrentIndex(found_port_index);
    delete channel;
    channel = nullptr;
}

void zorvane::update_pause()
{
    stop_requested = true;
    ui.pushButton_update_start->setEnabled(true);
    ui.pushButton_update_close->setEnabled(true);
}

void zorvane::select_s_path() {}
void zorvane::select_bin_path() {}
void zorvane::s2bin() {}
void zorvane::binfile_in() {}
void zorvane::update_start() {}
void zorvane::sat_read_device() {}
void zorvane::sat_write_device() {}
void zorvane::sat_read_file() {}
void zorvane::sat_write_file() {}
