#include "app/zorvane.h"

#include "app/Pumping.h"
#include "app/ShowMessage.h"
#include "outcome/MessageFor.h"

#include <QFileDialog>

using pumping::pump_events;
using pumping::Running;

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
    if (!may_start(Start::ChooseS19))
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
    if (!may_start(Start::ChooseBin))
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
    explicit PackageView(QProgressBar& progress_bar) : bar(progress_bar) {}
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
    if (!may_start(Start::Package))
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
        const Running running(running_jobs, Packaging);
        PackageView view(*ui.progressBar_package);
        result = packager::convert(s19_path, bin_path, config, page_buffer, page_cipher, view);
    }
    if (const std::optional<Message> message = message_for(result.outcome))
        show_message(*message, result.line);
}
