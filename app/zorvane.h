#pragma once

#include "app/SatelliteGrid.h"
#include "outcome/Messages.h"
#include "package/AesCipher.h"
#include "package/Packager.h"
#include "package/SRecord.h"
#include "satellite/SatelliteProtocol.h"
#include "ui_zorvane.h"
#include "update/BinImage.h"
#include "update/Bootloader.h"
#include "update/Identity.h"

#include <QMainWindow>
#include <QSet>

#include <functional>
#include <memory>

class QScreen;
class QScrollArea;
class SerialChannel;
class Trace;

// The one window of the tool. Each button has one slot; the slots hold the work of the tabs and pump the
// event loop where a job is long, so a click can reach another slot in the middle of a handler.
class zorvane : public QMainWindow
{
    Q_OBJECT

public:
    explicit zorvane(QWidget* parent = nullptr, Qt::WindowFlags flags = Qt::WindowFlags());
    ~zorvane() override;

    // Where the handlers' channels come from: the serial port, unless a test puts a box without a line in
    // its place.
    using ChannelMaker = std::function<std::unique_ptr<SerialChannel>()>;
    void set_channel_maker(ChannelMaker maker) { make_channel = std::move(maker); }

protected:
    // Refused while the box is being talked to: the exchange would go on unseen and keep the port.
    void closeEvent(QCloseEvent* event) override;
    // The first time the window is shown, and whenever it moves to another screen: see fit_to_screen().
    void showEvent(QShowEvent* event) override;
#ifdef Q_OS_WIN
    // While the box is being talked to, declines what would enter one of Windows' modal loops (moving,
    // sizing, the window menu): see ModalLoops.h.
    bool nativeEvent(const QByteArray& type, void* message, qintptr* result) override;
#endif

private slots:
    // The order here is the order of the meta-object, index 0 to 9.
    void select_s_path();
    void select_bin_path();
    void s2bin();
    void binfile_in();
    void update_start();
    void update_pause();
    void sat_read_device();
    void sat_write_device();
    void sat_read_file();
    void sat_write_file();

private:
    // The jobs that can be running while a click reaches another slot from inside their event pumps, a bit
    // each. Exchange is not set by a handler: it is the channel being held.
    enum Job : unsigned
    {
        Packaging = 1U << 0,  // s2bin(): the S19 file, the identity and the page buffer are its own
        Satellites = 1U << 1, // a satellite handler, file or device: the grid is its own
        Updating = 1U << 2,   // update_start(): the image stream is its own
        Exchange = 1U << 3,   // a handler talks to the box: it must not stall in a dialog or a nested job
    };
    // What a slot starts, for may_start().
    enum class Start
    {
        ChooseS19,
        ChooseBin,
        Package,
        ChooseImage,
        Update,
        SatelliteExchange,
        SatelliteFile,
    };
    // The one rule for every slot but Stop: whether what it starts may start while the running jobs run.
    bool may_start(Start what) const;
    unsigned jobs() const
    {
        return running_jobs | (channel ? unsigned(Exchange) : 0U);
    }
    // True while a handler talks to the box; its pumps must then start nothing else and open no dialog.
    bool exchange_running() const
    {
        return channel != nullptr;
    }
    // Makes the handler's channel and opens the port, traced when KDR7_TRACE names a file; false, with its
    // message shown and no channel left, when either fails.
    bool open_channel(const QString& port, const char* job, const QString& input = QString());
    // After the outcome's box: a trace that lost lines is said.
    void report_trace();
    void connect_buttons();
    void show_port_devices();
    void fit_to_screen();
    void probe_ports();
    void show_identity(const IdentityTexts& texts);
    void show_package_identity(const IdentityTexts& texts);
    bool take_identity(const srecord::IdentitySearch& search);
    void end_update(bootloader::Outcome outcome);
    void exchange_satellites(satellite_protocol::Outcome (*exchange)(SerialChannel&,
                                                                     satellite_protocol::Table&),
                             bool reading);
    void set_satellite_buttons(bool enabled);
    void fill_row(int row, const SatelliteCells& cells);
    SatelliteCells refresh_row(int row);
    void show_satellite_progress(int value);

    Ui::zorvaneClass ui;
    // The channel of the handler that is talking to the box; null between handlers.
    std::unique_ptr<SerialChannel> channel;
    ChannelMaker make_channel;
    // The jobs that are running (Job bits, Exchange aside).
    unsigned running_jobs = 0;
    // The trace of the exchanges, appended to the file KDR7_TRACE names; one per exchange.
    std::unique_ptr<Trace> trace;
    SatelliteGrid sat_items;
    // Set by Stop, tested by a running update between pages.
    bool stop_requested = false;
    // Index in the port lists of the first port that opened at start-up; 0 when none did.
    int found_port_index = 0;
    // The ports whose FTDI adapter's latency timer the user was told of.
    QSet<QString> latency_told;
    // The form's own size, and the scroll area it goes into where a screen cannot hold it whole.
    const QSize form_size{800, 600};
    QScrollArea* form_scroll = nullptr;
    // The screen the window was last fitted to; none before it is first shown.
    QScreen* fitted_screen = nullptr;

    // Package tab: the chosen files, the identity read from the S19 file, the page being assembled.
    QString s19_path;
    QString bin_path;
    Identity config{};
    // config holds the identity of the S19 file now chosen.
    bool config_known = false;
    packager::PageBuffer page_buffer;
    aes_cipher page_cipher;

    // Update tab: the chosen image, open from binfile_in() until the end of an update attempt.
    QString image_path;
    bin_image::Reader image_stream;
    Identity image_identity{};
    int record_count = 0;
};
