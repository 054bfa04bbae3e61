#include "station/Watch.h"

#include "serial/PortNames.h"
#include "station/ProductionLog.h"

#include <QDir>
#include <QDirIterator>

#include <algorithm>

#ifdef Q_OS_WIN
#include <QSerialPortInfo>
#else
#include <QFile>

#include <sys/stat.h>
#endif

namespace station {
namespace {

// The entries that are serial devices and match; keyed by name and device, so that an entry that comes
// back for another device is a new plug.
std::map<QString, Entry> look(const WatchOptions& options, const QRegularExpression& match)
{
    std::map<QString, Entry> found;
#ifdef Q_OS_WIN
    Q_UNUSED(options);
    for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts()) {
        const QString name = info.portName();
        if (!match.match(name).hasMatch())
            continue;
        const Port port{name, port_names::device_for(name), port_names::identity(name)};
        found.emplace(name + QLatin1Char('\n') + port.identity, Entry{name, port});
    }
#else
    QDirIterator entries(options.folder, QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
    while (entries.hasNext()) {
        const QString path = entries.next();
        const QString name = entries.fileName();
        if (!match.match(name).hasMatch())
            continue;
        // A link whose device is not there (yet) is no device.
        struct stat node
        {
        };
        if (::stat(QFile::encodeName(path).constData(), &node) != 0 || !S_ISCHR(node.st_mode))
            continue;
        const Port port{path, path, port_names::identity(path)};
        found.emplace(name + QLatin1Char('\n') + port.identity, Entry{name, port});
    }
#endif
    return found;
}

} // namespace

Watcher::Watcher(const QString& image, const WatchOptions& o, ProductionLog* production_log,
                 bool (*stopping)())
    : image_path(image), options(o), log(production_log), stop(stopping),
      match(
          QRegularExpression::wildcardToRegularExpression(o.match.isEmpty() ? QStringLiteral("*") : o.match))
{
}

bool Watcher::watching() const
{
    return !stop() && (options.count == 0 || started_count < options.count);
}

void Watcher::look_for_plugs()
{
    std::map<QString, Entry> now = look(options, match);
    for (const auto& [key, entry] : now) {
        if (present.count(key) == 0 && !(first_look && options.new_only))
            waiting.emplace(key, entry);
    }
    for (auto it = waiting.begin(); it != waiting.end();)
        it = now.count(it->first) == 0 ? waiting.erase(it) : std::next(it);
    present = std::move(now);
    first_look = false;
}

void Watcher::reap(const std::function<void(const Box&)>& ended)
{
    for (auto it = running.begin(); it != running.end();) {
        if (!it->box->done) {
            ++it;
            continue;
        }
        it->thread->wait();
        ended(*it->box);
        it = running.erase(it);
    }
}

void Watcher::start_boxes(const std::function<void(const Box&)>& started)
{
    for (auto it = waiting.begin(); watching() && it != waiting.end();) {
        const QString& device = it->second.port.identity;
        if (std::any_of(running.begin(), running.end(),
                        [&](const Running& r) { return r.box->port.identity == device; })) {
            ++it;
            continue;
        }
        start(it->second.port, started);
        it = waiting.erase(it);
    }
}

void Watcher::start(const Port& port, const std::function<void(const Box&)>& started)
{
    boxes.push_back(std::make_unique<Box>());
    Box* box = boxes.back().get();
    box->port = port;
    box->log = log;
    // A watch lets the boxes in progress finish: no stop is asked of them.
    box->stop_requested = nullptr;
    box->serial = adapter_serial(port.name, port.device);
    started(*box);
    const QString image = image_path;
    running.push_back(Running{
        box, std::unique_ptr<QThread>(QThread::create([box, image] { run_box(*box, image, nullptr); }))});
    running.back().thread->start();
    ++started_count;
}

} // namespace station
