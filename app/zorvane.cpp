#include "app/zorvane.h"

#include "app/FontFit.h"
#include "app/PortLists.h"
#include "app/ShowMessage.h"
#include "serial/FtdiLatency.h"
#include "serial/PortNames.h"
#include "serial/SerialChannel.h"
#include "serial/Trace.h"

#include <QCloseEvent>
#include <QScreen>
#include <QScrollArea>
#include <QStyle>
#include <QWindow>

#include <utility>

#ifdef Q_OS_WIN
#include "app/ModalLoops.h"

#include <windows.h>
#endif

// The window itself: its construction, its wiring and the port probe. The tabs' handlers live in
// UpdateTab.cpp, SatelliteTab.cpp and PackageTab.cpp.

// The icon lives in a resource compiled into a static library, which is not registered by itself.
// (Outside any namespace: the macro declares the resource's init function where it stands.)
static void register_resources()
{
    Q_INIT_RESOURCE(zorvane);
}

namespace {

constexpr int package_tab_index = 2;
// The satellite names need room; the other columns keep their default width.
constexpr int name_column_width = 260;

} // namespace

zorvane::zorvane(QWidget* parent, Qt::WindowFlags flags) : QMainWindow(parent, flags)
{
    register_resources();
    ui.setupUi(this);
    channel = nullptr;
    make_channel = [] { return std::make_unique<SerialChannel>(); };
    ui.label_mcu_m->hide();
    ui.label_mcu_u->hide();
    // The Package page leaves the tab widget but stays alive, with its widgets and connections.
    ui.tabWidget->removeTab(package_tab_index);
    ui.sat_setting->setColumnWidth(0, name_column_width);
    font_fit::fit_default_family(this);
    show_port_devices();
    connect_buttons();
    probe_ports();
}

zorvane::~zorvane()
{
    channel.reset();
    // The grid items are members and go before the widgets: each leaves its table as it is destroyed.
}

void zorvane::closeEvent(QCloseEvent* event)
{
    if (exchange_running()) {
        event->ignore();
        return;
    }
    QMainWindow::closeEvent(event);
}

#ifdef Q_OS_WIN
namespace {

using namespace modal_loops;
static_assert(win32::syscommand == WM_SYSCOMMAND && win32::nc_left_down == WM_NCLBUTTONDOWN &&
              win32::nc_left_double == WM_NCLBUTTONDBLCLK && win32::nc_right_down == WM_NCRBUTTONDOWN &&
              win32::nc_right_up == WM_NCRBUTTONUP);
static_assert(win32::sc_size == SC_SIZE && win32::sc_move == SC_MOVE &&
              win32::sc_mouse_menu == SC_MOUSEMENU && win32::sc_key_menu == SC_KEYMENU);
static_assert(win32::ht_caption == HTCAPTION && win32::ht_system_menu == HTSYSMENU &&
              win32::ht_grow_box == HTGROWBOX && win32::ht_left == HTLEFT &&
              win32::ht_bottom_right == HTBOTTOMRIGHT);

} // namespace

bool zorvane::nativeEvent(const QByteArray& type, void* message, qintptr* result)
{
    if (exchange_running() && type == "windows_generic_MSG") {
        const auto* msg = static_cast<const MSG*>(message);
        if (modal_loops::starts_modal_loop(msg->message, quintptr(msg->wParam))) {
            *result = 0;
            return true;
        }
    }
    return QMainWindow::nativeEvent(type, message, result);
}
#endif

bool zorvane::open_channel(const QString& port, const char* job, const QString& input)
{
    channel = make_channel();
    const QString trace_path = qEnvironmentVariable("KDR7_TRACE");
    trace.reset();
    if (!trace_path.isEmpty()) {
        trace = std::make_unique<Trace>();
        if (!trace->open(trace_path, true, input)) {
            trace.reset();
            channel.reset();
            show_message(Message::TraceCannotWrite);
            return false;
        }
        trace->note(QStringLiteral("%1 on %2").arg(QLatin1String(job), port));
        channel->set_trace(trace.get());
    }
    if (channel->open(port)) {
        show_message(Message::PortUnavailable);
        channel.reset();
        return false;
    }
    // Said once a port for as long as the window runs: the setting is the adapter's, and stays.
    const std::optional<int> latency = ftdi_latency::of_port(port);
    if (latency && *latency > ftdi_latency::acceptable_ms && !latency_told.contains(port)) {
        latency_told.insert(port);
        show_message(Message::FtdiLatencyHigh, ftdi_latency_advice(port, *latency));
    }
    return true;
}

void zorvane::report_trace()
{
    if (trace && trace->failed())
        show_message(Message::TraceIncomplete);
}

bool zorvane::may_start(Start what) const
{
    struct Rule
    {
        Start what;
        unsigned blocked_by;
    };
    // Beside the slots, in their order: what each may not start inside of.
    static constexpr Rule rules[] = {
        // The running conversion reads the chosen S19 file, its identity and the output path.
        {Start::ChooseS19, Packaging | Exchange},
        {Start::ChooseBin, Packaging | Exchange},
        {Start::Package, Packaging | Exchange},
        // The image stream is being sent: it must not be reopened or rewound under the running update.
        {Start::ChooseImage, Updating | Exchange},
        // A file job that pumps would have the whole update run inside it.
        {Start::Update, Exchange | Satellites | Packaging},
        {Start::SatelliteExchange, Exchange | Satellites},
        {Start::SatelliteFile, Satellites | Exchange},
    };
    for (const Rule& rule : rules) {
        if (rule.what == what)
            return (jobs() & rule.blocked_by) == 0;
    }
    return false;
}

// Each button to its slot, in the order the slots are declared.
void zorvane::connect_buttons()
{
    const std::pair<QPushButton*, void (zorvane::*)()> wiring[] = {
        {ui.pushButton_s19, &zorvane::select_s_path},
        {ui.pushButton_bin, &zorvane::select_bin_path},
        {ui.pushButton_package_start, &zorvane::s2bin},
        {ui.pushButton_bin_update, &zorvane::binfile_in},
        {ui.pushButton_update_start, &zorvane::update_start},
        {ui.pushButton_update_stop, &zorvane::update_pause},
        {ui.pushButton_sat_read, &zorvane::sat_read_device},
        {ui.pushButton_sat_save, &zorvane::sat_write_device},
        {ui.pushButton_sat_read_file, &zorvane::sat_read_file},
        {ui.pushButton_sat_save_file, &zorvane::sat_write_file},
    };
    for (const auto& [button, slot] : wiring)
        connect(button, &QPushButton::clicked, this, slot, Qt::AutoConnection);
}

// The lists keep the names "COM1" .. "COM15"; the tooltip tells which device each name opens here. The
// system's ports beyond COM15 follow, each with its device's description.
void zorvane::show_port_devices()
{
    const QList<port_lists::SystemPort> beyond = port_lists::beyond_form(port_lists::system_ports());
    for (QComboBox* list : {ui.comboBox_port_rw, ui.comboBox_port_update}) {
        for (int i = 0; i < list->count(); ++i) {
            const QString device = port_names::device_for(list->itemText(i));
            list->setItemData(i, device.isEmpty() ? tr("no device") : device, Qt::ToolTipRole);
        }
        port_lists::add(list, beyond);
    }
}

void zorvane::showEvent(QShowEvent* event)
{
    QMainWindow::showEvent(event);
    if (fitted_screen != nullptr)
        return;
    fit_to_screen();
    connect(windowHandle(), &QWindow::screenChanged, this, [this] { fit_to_screen(); });
}

// The form is drawn at 800 x 600 and stays so. Where the screen's free area (without the taskbar) cannot
// hold it with the window's frame, at 175 % on a 1920 x 1080 screen for one, the window takes what room
// there is and the form scrolls inside it; it is placed wholly inside that area.
void zorvane::fit_to_screen()
{
    fitted_screen = screen();
    const QRect area = fitted_screen->availableGeometry();
    const QMargins frame = windowHandle() != nullptr ? windowHandle()->frameMargins() : QMargins();
    const QSize room(area.width() - frame.left() - frame.right(),
                     area.height() - frame.top() - frame.bottom());
    QSize size = form_size;
    if (form_size.width() > room.width() || form_size.height() > room.height()) {
        if (form_scroll == nullptr) {
            form_scroll = new QScrollArea;
            form_scroll->setFrameShape(QFrame::NoFrame);
            QWidget* form = takeCentralWidget();
            form->setFixedSize(form_size);
            form_scroll->setWidget(form);
            setCentralWidget(form_scroll);
        }
        // A scroll bar for the rows that do not fit takes its width beside the form, where there is room.
        const int bar = style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, form_scroll);
        if (form_size.height() > room.height())
            size.rwidth() += bar;
        if (size.width() > room.width())
            size.rheight() += bar;
        size = size.boundedTo(room);
    }
    setMinimumSize(size);
    setMaximumSize(size);
    resize(size);
    // Moved so that the frame lies inside the free area.
    const QSize outer = size.grownBy(frame);
    const QPoint at(qBound(area.left(), x(), qMax(area.left(), area.right() + 1 - outer.width())),
                    qBound(area.top(), y(), qMax(area.top(), area.bottom() + 1 - outer.height())));
    if (at != pos())
        move(at);
}

// Preselects the first port that opens. Nothing is sent: each port is only opened and closed again.
void zorvane::probe_ports()
{
    channel = make_channel();
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
    channel.reset();
}
