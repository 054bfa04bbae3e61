#pragma once

#include "DialogAnswerer.h"
#include "VirtualBox.h"
#include "app/zorvane.h"

#include <QTemporaryDir>

#include <memory>

class QPushButton;
class QProgressBar;

// The main window with the virtual box on COM1, a dialog answerer and a folder for files. On the direct
// wire the box answers each write at once and the tool's sleeps only count the time they would have taken
// (slept_ms()), for rows where time is not what is looked at, or is looked at as the sum of the waits.
struct WindowBench
{
    QTemporaryDir dir;
    DialogAnswerer answers;
    std::unique_ptr<VirtualBox> box;
    std::unique_ptr<zorvane> window;
    VirtualBox::Wire wire;

    explicit WindowBench(const VirtualBox::Model& model = VirtualBox::Model(),
                         VirtualBox::Wire on = VirtualBox::Wire::Pty);
    explicit WindowBench(VirtualBox::Wire on) : WindowBench(VirtualBox::Model(), on) {}
    ~WindowBench();
    WindowBench(const WindowBench&) = delete;
    WindowBench& operator=(const WindowBench&) = delete;
    bool direct() const { return wire == VirtualBox::Wire::Direct; }
    // The direct wire: the milliseconds the tool's sleeps asked for since the bench was made.
    static qint64 slept_ms();
    QPushButton* button(const char* name) const;
    QProgressBar* progress(const char* name) const;
    QString text_of(const char* label) const;
    QString file(const QString& name, const QByteArray& bytes);
    // Answers the next file dialog with path (empty: cancel) and clicks the button that opens it.
    void choose(const char* button_name, const QString& path);
    // The update's buttons after an ending: Start and Close enabled, Stop as given.
    bool update_buttons(bool stop_enabled) const;
    bool satellite_buttons_enabled() const;
    // Another program can take the box's port: the tool let it go.
    bool port_released() const;
};
