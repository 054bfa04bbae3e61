#include "app/zorvane.h"

#include "app/Pumping.h"
#include "app/ShowMessage.h"
#include "common/TimerResolution.h"
#include "outcome/MessageFor.h"
#include "serial/SerialChannel.h"

#include <QFileDialog>

using pumping::pump_events;

namespace {

// How a running update shows itself on the Update tab.
class UpdateView : public bootloader::Observer
{
public:
    UpdateView(Ui::zorvaneClass& form, const bool& stop) : ui(form), stop_flag(stop) {}

    void phase(bootloader::Phase phase) override
    {
        ui.label_update_status->setText(QString::fromLatin1(status_for(phase)));
    }
    void progress(int pages_sent) override { ui.progressBar_update->setValue(pages_sent); }
    void pump() override { pump_events(); }
    bool stop_requested() override { return stop_flag; }

private:
    Ui::zorvaneClass& ui;
    const bool& stop_flag;
};

} // namespace

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
    if (!may_start(Start::ChooseImage))
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
    // Start stays clickable while an update pumps its events.
    if (!may_start(Start::Update))
        return;
    // Without an image the box would get a stale identity block and then the finish request.
    if (!image_stream.is_open()) {
        show_message(Message::BinNotFound);
        return;
    }
    stop_requested = false;
    if (!open_channel(ui.comboBox_port_update->currentText(), "update", image_path))
        return;
    const pumping::Running running(running_jobs, Updating);
    // The window takes its events during every pause and reply wait too (one can last seconds), under
    // the same rules as at the job's own pumps.
    const KeepAlive answering(pump_events);
    ui.pushButton_update_close->setEnabled(false);
    ui.pushButton_update_stop->setEnabled(true);
    UpdateView view(ui, stop_requested);
    // The timer is fine for the exchange alone, not while the ending's message box waits for the user.
    end_update([&] {
        const TimerResolution fine_sleeps;
        return bootloader::program(*channel, image_stream, image_identity, view);
    }());
}

// Boxes are shown while the port is still open; then the buttons, the image and the channel are released.
void zorvane::end_update(bootloader::Outcome outcome)
{
    const char* status = status_for(outcome);
    // The final endings: stopped, or every page sent (confirmed or not).
    const bool final_ending = status != nullptr;
    if (ends_with_every_page(outcome)) {
        ui.progressBar_update->setValue(record_count);
        pump_events();
    }
    if (status != nullptr)
        ui.label_update_status->setText(QString::fromLatin1(status));
    if (const std::optional<Message> message = message_for(outcome))
        show_message(*message);
    report_trace();
    ui.pushButton_update_start->setEnabled(true);
    ui.pushButton_update_close->setEnabled(true);
    // After an error ending Stop stays enabled, as it was during the attempt.
    if (final_ending)
        ui.pushButton_update_stop->setEnabled(false);
    image_stream.close();
    channel.reset();
}
