#pragma once

#include "DialogAnswerer.h"
#include "VirtualBox.h"
#include "app/zorvane.h"

#include <QElapsedTimer>
#include <QTemporaryDir>

#include <atomic>
#include <memory>
#include <thread>

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

// How soon the window answers while a handler runs: from start() to stop() a thread of its own posts an
// event to the window's thread every 50 ms; stop() tells the longest that one waited to be handled.
class AnswerProbe
{
public:
    AnswerProbe() = default;
    ~AnswerProbe() { stop(); }
    AnswerProbe(const AnswerProbe&) = delete;
    AnswerProbe& operator=(const AnswerProbe&) = delete;
    void start();
    // The longest wait in ms; the events still queued are handled first.
    qint64 stop();
    int handled() const { return count; }

private:
    QElapsedTimer clock;
    std::thread poster;
    std::atomic<bool> posting{false};
    std::atomic<qint64> worst_ns{0};
    std::atomic<int> count{0};
};
