#include "app/zorvane.h"

#include "app/FontFit.h"
#include "app/ShowMessage.h"
#include "common/OutcomeMessages.h"
#include "satellite/SatelliteCsv.h"
#include "serial/PortNames.h"
#include "serial/SerialChannel.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QFileDialog>
#include <QMetaMethod>

#include <functional>

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

// Marks a job as running for as long as the handler that runs it, whichever way it returns.
class Running
{
public:
    explicit Running(bool& flag) : flag(flag) { flag = true; }
    ~Running() { flag = false; }
    Running(const Running&) = delete;
    Running& operator=(const Running&) = delete;

private:
    bool& flag;
};

// Lets the window repaint and deliver the clicks made meanwhile (Stop among them).
void pump_events()
{
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

// How a running update shows itself on the Update tab.
class UpdateView : public bootloader::Observer
{
public:
    UpdateView(Ui::zorvaneClass& ui, const bool& stop_flag) : ui(ui), stop_flag(stop_flag) {}

    void phase(bootloader::Phase phase) override
    {
        ui.label_update_status->setText(QString::fromLatin1(
            phase == bootloader::Phase::EnteringBootloader ? status_text::entering : status_text::updating));
    }
    void progress(int pages_sent) override { ui.progressBar_update->setValue(pages_sent); }
    void pump() override { pump_events(); }
    bool stop_requested() override { return stop_flag; }

private:
    Ui::zorvaneClass& ui;
    const bool& stop_flag;
};

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
    font_fit::fit_default_family(this);
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

void zorvane::closeEvent(QCloseEvent* event)
{
    if (exchange_running()) {
        event->ignore();
        return;
    }
    QMainWindow::closeEvent(event);
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

void zorvane::show_identity(const IdentityTexts& texts)
{
    ui.label_model_u->setText(texts.model);
    ui.label_mcu_u->setText(texts.mcu);
    ui.label_date_u->setText(texts.date);
    ui.label_ver_u->setText(texts.version);
}

void zorvane::binfile_in()
{
    // The image stream is being sent: it must not be reopened or rewound under the running update. Nor may
    // a dialog stall the lock-step exchange of a satellite read or write.
    if (updating || exchange_running())
        return;
    ui.pushButton_update_start->setEnabled(true);
    ui.pushButton_update_stop->setEnabled(true);
    image_path = QFileDialog::getOpenFileName(this, QStringLiteral("open File"), QStringLiteral(".."),
                                              QStringLiteral("Text Files(*.bin);;All Files(*.*)"));
    if (image_path.isEmpty()) {
        // The image chosen before, if any, stays open and keeps its record count.
        show_message(Message::BinNotFound);
        return;
    }
    ui.lineEdit_update->setText(image_path);
    int count = 0;
    const bin_image::OpenResult opened = image_stream.open(image_path, image_identity, count);
    if (opened != bin_image::OpenResult::Opened) {
        // Whatever was open before has been closed: Start now refuses until an image opens.
        record_count = 0;
        if (opened == bin_image::OpenResult::TooShort)
            show_identity(IdentityTexts());
        show_message(Message::BinCannotOpen);
        return;
    }
    record_count = count;
    show_identity(decode_identity(image_identity));
    ui.progressBar_update->setMaximum(record_count);
}

void zorvane::update_start()
{
    // Another exchange owns the channel (Start stays clickable while an update pumps its events), or a file
    // job is pumping: the whole update would run inside it.
    if (exchange_running() || satellites_busy || packaging)
        return;
    // Without an image the box would get a stale identity block and then the finish request.
    if (!image_stream.is_open()) {
        show_message(Message::BinNotFound);
        return;
    }
    stop_requested = false;
    channel = new SerialChannel();
    if (channel->open(ui.comboBox_port_update->currentText())) {
        show_message(Message::PortUnavailable);
        delete channel;
        channel = nullptr;
        return;
    }
    updating = true;
    ui.pushButton_update_close->setEnabled(false);
    ui.pushButton_update_stop->setEnabled(true);
    UpdateView view(ui, stop_requested);
    end_update(bootloader::program(*channel, image_stream, image_identity, view));
}

// Boxes are shown while the port is still open; then the buttons, the image and the channel are released.
void zorvane::end_update(bootloader::Outcome outcome)
{
    using bootloader::Outcome;
    const bool final_ending =
        outcome == Outcome::Stopped || outcome == Outcome::Completed || outcome == Outcome::FinishFailed;
    if (outcome == Outcome::Stopped) {
        ui.label_update_status->setText(QString::fromLatin1(status_text::stopped));
    } else if (final_ending) {
        ui.progressBar_update->setValue(record_count);
        pump_events();
        ui.label_update_status->setText(QString::fromLatin1(
            outcome == Outcome::Completed ? status_text::completed : status_text::failed));
    }
    if (const std::optional<Message> message = message_for(outcome))
        show_message(*message);
    ui.pushButton_update_start->setEnabled(true);
    ui.pushButton_update_close->setEnabled(true);
    // After an error ending Stop stays enabled, as it was during the attempt.
    if (final_ending)
        ui.pushButton_update_stop->setEnabled(false);
    image_stream.close();
    delete channel;
    channel = nullptr;
    updating = false;
}

void zorvane::set_satellite_buttons(bool enabled)
{
    ui.pushButton_sat_read->setEnabled(enabled);
    ui.pushButton_sat_save->setEnabled(enabled);
    ui.pushButton_sat_read_file->setEnabled(enabled);
    ui.pushButton_sat_save_file->setEnabled(enabled);
}

void zorvane::fill_row(int row, const SatelliteCells& cells)
{
    const QString* texts[] = {&cells.name, &cells.position, &cells.vertical, &cells.horizontal};
    for (int column = 0; column < SatelliteGrid::columns; ++column)
        sat_items.at(row, column).setText(*texts[column]);
    for (int column = 0; column < SatelliteGrid::columns; ++column)
        sat_items.install(*ui.sat_setting, row, column);
}

SatelliteCells zorvane::refresh_row(int row)
{
    for (int column = 0; column < SatelliteGrid::columns; ++column)
        sat_items.refresh(*ui.sat_setting, row, column);
    return SatelliteCells{sat_items.at(row, 0).text(), sat_items.at(row, 1).text(),
                          sat_items.at(row, 2).text(), sat_items.at(row, 3).text()};
}

void zorvane::show_satellite_progress(int value)
{
    ui.progressBar_sat_setting->setValue(value);
    pump_events();
}

namespace {

// The grid side of a satellite exchange: rows are entries - 1; progress is entry + 1 after each entry.
class GridTable : public satellite_protocol::Table
{
public:
    GridTable(std::function<void(int, const SatelliteCells&)> fill,
              std::function<SatelliteCells(int)> refresh, std::function<void(int)> progress)
        : fill(std::move(fill)), refresh(std::move(refresh)), progress(std::move(progress))
    {
    }
    void record_read(int entry, const satellite_record::Record& record) override
    {
        fill(entry - 1, satellite_record::decode(record));
    }
    satellite_record::Record record_to_write(int entry) override
    {
        return satellite_record::encode(refresh(entry - 1));
    }
    void entry_done(int entry) override { progress(entry + 1); }

private:
    std::function<void(int, const SatelliteCells&)> fill;
    std::function<SatelliteCells(int)> refresh;
    std::function<void(int)> progress;
};

} // namespace

void zorvane::exchange_satellites(satellite_protocol::Outcome (*exchange)(SerialChannel&,
                                                                          satellite_protocol::Table&),
                                  bool reading)
{
    // The channel is in use by another exchange, or the grid by another satellite handler.
    if (channel != nullptr || satellites_busy)
        return;
    channel = new SerialChannel();
    if (channel->open(ui.comboBox_port_rw->currentText())) {
        show_message(Message::PortUnavailable);
        delete channel;
        channel = nullptr;
        return;
    }
    const Running running(satellites_busy);
    set_satellite_buttons(false);
    GridTable table([this](int row, const SatelliteCells& cells) { fill_row(row, cells); },
                    [this](int row) { return refresh_row(row); },
                    [this](int value) { show_satellite_progress(value); });
    show_message(message_for(exchange(*channel, table), reading));
    set_satellite_buttons(true);
    delete channel;
    channel = nullptr;
}

void zorvane::sat_read_device()
{
    exchange_satellites(satellite_protocol::read_table, true);
}

void zorvane::sat_write_device()
{
    exchange_satellites(satellite_protocol::write_table, false);
}

void zorvane::sat_read_file()
{
    // The grid is this handler's from its first step, its file dialog included.
    if (satellites_busy || exchange_running())
        return;
    const Running running(satellites_busy);
    const QString path = QFileDialog::getOpenFileName(this, QStringLiteral("open File"), QStringLiteral(".."),
                                                      QStringLiteral("CSV Files(*.csv)"));
    if (path.isEmpty()) {
        show_message(Message::NoCsvFile);
        return;
    }
    ui.lineEdit_sat_setting->setText(path);
    satellite_csv::Reader file;
    if (!file.open(path)) {
        show_message(Message::CsvCannotOpen);
        return;
    }
    SatelliteCells cells;
    for (int row = 0; file.next(cells); ++row) {
        fill_row(row, cells);
        show_satellite_progress(row + 2);
    }
    show_satellite_progress(100);
}

void zorvane::sat_write_file()
{
    if (satellites_busy || exchange_running())
        return;
    const Running running(satellites_busy);
    const QString path = QFileDialog::getSaveFileName(
        nullptr, QStringLiteral("Save Files"), QStringLiteral(".."), QStringLiteral("CSV Files(*.csv)"));
    if (path.isEmpty()) {
        show_message(Message::NoCsvFile);
        return;
    }
    ui.lineEdit_sat_setting->setText(path);
    satellite_csv::Writer file;
    if (!file.open(path)) {
        show_message(Message::CsvCannotOpen);
        return;
    }
    for (int row = 0; row < SatelliteGrid::rows; ++row) {
        file.write_row(refresh_row(row));
        show_satellite_progress(row + 2);
    }
    // Until this succeeds the old file, if there was one, stays as it was.
    if (!file.commit())
        show_message(Message::CsvWriteFailed);
}

void zorvane::show_package_identity(const IdentityTexts& texts)
{
    ui.label_model->setText(texts.model);
    ui.label_mcu->setText(texts.mcu);
    ui.label_date->setText(texts.date);
    ui.label_ver->setText(texts.version);
}

// Shows what the search found; false, with its warning shown, when the file gives no identity to use.
bool zorvane::take_identity(const srecord::IdentitySearch& search)
{
    config_known = search.outcome == srecord::IdentityOutcome::Found;
    if (config_known) {
        config = search.config;
        show_package_identity(decode_identity(config));
        return true;
    }
    // An identity left from an earlier file must neither show nor go into the image.
    if (search.outcome != srecord::IdentityOutcome::CannotOpen)
        show_package_identity(IdentityTexts());
    show_message(*message_for(search.outcome), search.line);
    return false;
}

void zorvane::select_s_path()
{
    // The running conversion reads this file and this identity.
    if (packaging || exchange_running())
        return;
    s19_path = QFileDialog::getOpenFileName(nullptr, QStringLiteral("Open Files"), QStringLiteral(".."),
                                            QStringLiteral("Text Files(*.s19)"));
    if (s19_path.isEmpty()) {
        config_known = false;
        return;
    }
    ui.lineEdit_s19->setText(s19_path);
    take_identity(srecord::find_identity(s19_path, config));
}

void zorvane::select_bin_path()
{
    if (packaging || exchange_running())
        return;
    bin_path = QFileDialog::getSaveFileName(nullptr, QStringLiteral("Save Files"), QStringLiteral(".."),
                                            QStringLiteral("Text Files(*.bin)"));
    if (!bin_path.isEmpty())
        ui.lineEdit_bin->setText(bin_path);
}

namespace {

// How a conversion shows itself on the Package tab.
class PackageView : public packager::Observer
{
public:
    explicit PackageView(QProgressBar& bar) : bar(bar) {}
    void lines_counted(int count) override
    {
        bar.setMaximum(count);
        bar.setValue(0);
        pump_events();
    }
    void line_started(int index) override
    {
        bar.setValue(index);
        pump_events();
    }
    void finished(int count) override
    {
        bar.setValue(count);
        pump_events();
    }

private:
    QProgressBar& bar;
};

} // namespace

void zorvane::s2bin()
{
    if (packaging || exchange_running())
        return;
    if (s19_path.isEmpty() || bin_path.isEmpty()) {
        show_message(Message::PackagePathsEmpty);
        return;
    }
    // The chosen file gave no identity when it was chosen: look again, it may have been mended since.
    if (!config_known) {
        const srecord::IdentitySearch search = srecord::find_identity(s19_path, config);
        if (search.outcome == srecord::IdentityOutcome::CannotOpen) {
            show_message(Message::S19CannotOpen);
            return;
        }
        if (!take_identity(search))
            return;
    }
    packager::Result result;
    {
        const Running running(packaging);
        PackageView view(*ui.progressBar_package);
        result = packager::convert(s19_path, bin_path, config, page_buffer, page_cipher, view);
    }
    if (const std::optional<Message> message = message_for(result.outcome))
        show_message(*message, result.line);
}
