#include "station/Rack.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <chrono>
#include <thread>

namespace station {

QStringList trace_suffixes(const QStringList& ports)
{
    QStringList last_parts;
    for (const QString& port : ports)
        last_parts << QFileInfo(port).fileName();
    QStringList suffixes;
    for (qsizetype i = 0; i < ports.size(); ++i) {
        QString suffix = last_parts[i];
        if (last_parts.count(suffix) > 1)
            suffix = QString(ports[i])
                         .replace(QLatin1Char('/'), QLatin1Char('_'))
                         .remove(QRegularExpression("^_+"));
        const QString base = suffix;
        for (int n = 2; suffixes.contains(suffix); ++n)
            suffix = base + QLatin1Char('-') + QString::number(n);
        suffixes << suffix;
    }
    return suffixes;
}

std::optional<QString> open_traces(Boxes& boxes, const QString& trace_path, const QString& image_path)
{
    const QStringList suffixes = [&] {
        QStringList ports;
        for (const auto& box : boxes)
            ports << box->port.name;
        return trace_suffixes(ports);
    }();
    QStringList made;
    const auto give_up = [&made](const QString& path) {
        for (const QString& new_file : made)
            QFile::remove(new_file);
        return std::optional<QString>(path);
    };
    for (size_t i = 0; i < boxes.size(); ++i) {
        const QString path = trace_path + QLatin1Char('.') + suffixes[qsizetype(i)];
        const bool existed = QFileInfo::exists(path);
        if (!boxes[i]->trace.open(path, true, image_path))
            return give_up(path);
        if (!existed)
            made << path;
        boxes[i]->trace_path = path;
    }
    // Now each is emptied, as a single trace is.
    for (auto& box : boxes) {
        if (!box->trace.open(box->trace_path, false, image_path))
            return give_up(box->trace_path);
        box->trace.note(QStringLiteral("%1 on %2").arg(image_path, box->port.name));
        box->traced = true;
    }
    return std::nullopt;
}

std::vector<std::unique_ptr<QThread>> start_boxes(const Boxes& boxes, const QString& image_path)
{
    std::vector<std::unique_ptr<QThread>> threads;
    for (const auto& box : boxes) {
        Box* one = box.get();
        threads.emplace_back(QThread::create([one, image_path] { run_box(*one, image_path, nullptr); }));
        threads.back()->start();
    }
    return threads;
}

bool await_boxes(const Boxes& boxes, const std::function<void()>& show, bool (*stopping)())
{
    // The job ends within five seconds of the stop: the grace, the time the stop takes to be seen (a look's
    // 200 ms), and the records and the table of the boxes left behind, with room for a loaded machine.
    // Once stopping, the boxes are looked at every 20 ms, so that the grace's end is not overshot.
    constexpr int after_stop_ms = 4300;
    constexpr int look_ms = 20;
    constexpr int show_every_ms = 200;
    QDeadlineTimer grace = QDeadlineTimer::Forever;
    QDeadlineTimer next_show(0);
    for (;;) {
        bool all_done = true;
        for (const auto& box : boxes)
            all_done = all_done && box->done;
        if (all_done || next_show.hasExpired()) {
            show();
            next_show.setRemainingTime(show_every_ms);
        }
        if (all_done)
            return true;
        if (stopping() && grace.isForever())
            grace.setRemainingTime(after_stop_ms);
        if (grace.hasExpired()) {
            show();
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(grace.isForever() ? show_every_ms : look_ms));
    }
}

} // namespace station
