#include "WindowBench.h"

#include "Fixtures.h"
#include "PtyBox.h"
#include "ScriptedChannel.h"
#include "serial/ReplyWait.h"

#include <QCoreApplication>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QSerialPort>

#include <atomic>

namespace {
std::atomic<qint64> slept{0};
}

WindowBench::WindowBench(const VirtualBox::Model& model, VirtualBox::Wire on) : wire(on)
{
    isolate_ports();
    box = std::make_unique<VirtualBox>(model, wire);
    if (!direct()) {
        set_port(1, box->device());
        window = std::make_unique<zorvane>();
        answers.boxes.clear();
        return;
    }
    slept = 0;
    replace_sleep([](int ms) { slept += ms; });
    window = std::make_unique<zorvane>();
    VirtualBox* far_end = box.get();
    window->set_channel_maker([far_end] {
        far_end->direct_open();
        return std::make_unique<ScriptedChannel>(ScriptedChannel::Peer{
            [far_end](const char* bytes, int count) { return far_end->direct_write(bytes, count); },
            [far_end] { far_end->direct_close(); }});
    });
    // The window looked for a port that opens before it knew of the box: there was none.
    answers.boxes.clear();
}

WindowBench::~WindowBench()
{
    window.reset();
    if (direct())
        replace_sleep(nullptr);
}

qint64 WindowBench::slept_ms()
{
    return slept;
}

QPushButton* WindowBench::button(const char* name) const
{
    return window->findChild<QPushButton*>(QLatin1String(name));
}

QProgressBar* WindowBench::progress(const char* name) const
{
    return window->findChild<QProgressBar*>(QLatin1String(name));
}

QString WindowBench::text_of(const char* label) const
{
    return window->findChild<QLabel*>(QLatin1String(label))->text();
}

QString WindowBench::file(const QString& name, const QByteArray& bytes)
{
    const QString path = dir.filePath(name);
    if (!fixtures::write_file(path, bytes))
        qFatal("cannot write %s", qPrintable(path));
    return path;
}

void WindowBench::choose(const char* button_name, const QString& path)
{
    answers.answer_file(path);
    button(button_name)->click();
}

bool WindowBench::update_buttons(bool stop_enabled) const
{
    return button("pushButton_update_start")->isEnabled() && button("pushButton_update_close")->isEnabled() &&
           button("pushButton_update_stop")->isEnabled() == stop_enabled;
}

bool WindowBench::satellite_buttons_enabled() const
{
    for (const char* name : {"pushButton_sat_read", "pushButton_sat_save", "pushButton_sat_read_file",
                             "pushButton_sat_save_file"}) {
        if (!button(name)->isEnabled())
            return false;
    }
    return true;
}

bool WindowBench::port_released() const
{
    if (direct())
        return !box->line_held();
    QSerialPort other;
    other.setPortName(box->device());
    return other.open(QIODevice::ReadWrite);
}

void AnswerProbe::start()
{
    clock.start();
    posting = true;
    poster = std::thread([this] {
        while (posting) {
            const qint64 posted_ns = clock.nsecsElapsed();
            QMetaObject::invokeMethod(
                qApp,
                [this, posted_ns] {
                    worst_ns = qMax(worst_ns.load(), clock.nsecsElapsed() - posted_ns);
                    ++count;
                },
                Qt::QueuedConnection);
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    });
}

qint64 AnswerProbe::stop()
{
    if (!poster.joinable())
        return worst_ns / 1000000;
    posting = false;
    poster.join();
    QCoreApplication::sendPostedEvents(qApp, QEvent::MetaCall);
    return worst_ns / 1000000;
}
