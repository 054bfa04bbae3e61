#include "app/zorvane.h"

#include "app/Pumping.h"
#include "app/ShowMessage.h"
#include "common/TimerResolution.h"
#include "outcome/MessageFor.h"
#include "satellite/SatelliteCsv.h"
#include "serial/SerialChannel.h"

#include <QFileDialog>

#include <functional>

using pumping::pump_events;
using pumping::Running;

namespace {

// The CSV handlers' progress (the bar runs 0 to 100): row + 2 after each row, so that the last of 99 rows
// shows 100; a shorter file read to its end shows 100 too.
constexpr int csv_progress_offset = 2;
constexpr int csv_progress_done = 100;

} // namespace

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

// The grid side of a satellite exchange: rows are entries - 1. Progress is entry + 1 after each entry, so
// that the bar (0 to 100) stands at 100 once entry 99 is done.
class GridTable : public satellite_protocol::Table
{
public:
    GridTable(std::function<void(int, const SatelliteCells&)> fill_row,
              std::function<SatelliteCells(int)> refresh_row, std::function<void(int)> show_progress)
        : fill(std::move(fill_row)), refresh(std::move(refresh_row)), progress(std::move(show_progress))
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
    if (!may_start(Start::SatelliteExchange))
        return;
    if (!open_channel(ui.comboBox_port_rw->currentText(), reading ? "satellite read" : "satellite write"))
        return;
    const Running running(running_jobs, Satellites);
    // The window takes its events during every pause and reply wait too (one can last seconds), under
    // the same rules as at the job's own pumps.
    const KeepAlive answering(pump_events);
    set_satellite_buttons(false);
    GridTable table([this](int row, const SatelliteCells& cells) { fill_row(row, cells); },
                    [this](int row) { return refresh_row(row); },
                    [this](int value) { show_satellite_progress(value); });
    // The timer is fine for the exchange alone, not while the message box waits for the user.
    show_message(message_for(
        [&] {
            const TimerResolution fine_sleeps;
            return exchange(*channel, table);
        }(),
        reading));
    report_trace();
    set_satellite_buttons(true);
    channel.reset();
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
    if (!may_start(Start::SatelliteFile))
        return;
    const Running running(running_jobs, Satellites);
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
    // Judged whole before a row changes: a file that cannot be read as a table leaves the grid as it was.
    const satellite_csv::Table table = file.read();
    if (table.refused_line > 0) {
        show_message(Message::CsvLineRefused, csv_refused_line_text(table));
        return;
    }
    for (int row = 0; row < table.lines.size(); ++row) {
        fill_row(row, satellite_csv::cells(table.lines[row]));
        show_satellite_progress(row + csv_progress_offset);
    }
    show_satellite_progress(csv_progress_done);
    // What the load did beside filling rows (a header skipped, rows left out) and every cell that will not
    // reach the box as the file spells it.
    const QString remarks = csv_load_remarks(table);
    if (!remarks.isEmpty())
        show_message(Message::CsvLoadRemarks, remarks);
}

void zorvane::sat_write_file()
{
    if (!may_start(Start::SatelliteFile))
        return;
    const Running running(running_jobs, Satellites);
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
        show_satellite_progress(row + csv_progress_offset);
    }
    // Until this succeeds the old file, if there was one, stays as it was.
    if (!file.commit())
        show_message(Message::CsvWriteFailed);
    else if (!file.replaced_rows().isEmpty())
        show_message(Message::CsvCellsReplaced, row_list(file.replaced_rows()));
}
