#include "station/Watch.h"

#include "serial/PortNames.h"
#include "station/ProductionLog.h"

#include <QFile>
#include <QFileInfo>
#include <QUtf8StringView>

#include <algorithm>
#include <optional>

#ifdef Q_OS_WIN
#include "serial/WindowsPorts.h"

#include <QSerialPortInfo>

#include <map>
#else
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#endif

namespace station {

QString shown_name(const QByteArray& bytes)
{
    QString shown;
    for (qsizetype i = 0; i < bytes.size();) {
        const auto byte = static_cast<unsigned char>(bytes[i]);
        const qsizetype length = byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : byte >= 0xC0 ? 2 : 1;
        const QByteArray sequence = bytes.mid(i, length);
        if (length > 1 && sequence.size() == length && QUtf8StringView(sequence).isValidUtf8()) {
            shown += QString::fromUtf8(sequence);
            i += length;
            continue;
        }
        if (byte == '\\')
            shown += QStringLiteral("\\\\");
        else if (byte == '\n')
            shown += QStringLiteral("\\n");
        else if (byte == '\t')
            shown += QStringLiteral("\\t");
        else if (byte < 0x20 || byte >= 0x7F)
            shown += QStringLiteral("\\x%1").arg(uint(byte), 2, 16, QLatin1Char('0'));
        else
            shown += QLatin1Char(char(byte));
        ++i;
    }
    return shown;
}

#ifndef Q_OS_WIN
qint64 node_instance(unsigned device_major, qint64 inode, qint64 changed_ns)
{
    // UNIX98 pseudo-terminal slaves: devpts numbers a node's inode by the terminal's index, so one made again
    // under a freed index has the inode of the last; udev sends no events for them.
    constexpr unsigned pty_slaves_first = 136;
    constexpr unsigned pty_slaves_last = 143;
    if (device_major >= pty_slaves_first && device_major <= pty_slaves_last)
        return changed_ns;
    return inode;
}
#endif

namespace {

#ifndef Q_OS_WIN
// A character device that the system files under another class than the terminals (/dev/null, a disk's
// generic node) is no box; a pseudo-terminal has no such entry and may be one.
bool may_be_terminal(dev_t number)
{
    const QByteArray link =
        QStringLiteral("/sys/dev/char/%1:%2/subsystem").arg(major(number)).arg(minor(number)).toLatin1();
    char target[PATH_MAX];
    const ssize_t length = ::readlink(link.constData(), target, sizeof target - 1);
    if (length <= 0)
        return true;
    return QFileInfo(QFile::decodeName(QByteArray(target, length))).fileName() == QLatin1String("tty");
}
#endif

#ifndef Q_OS_WIN
qint64 made_at(const struct stat& node)
{
    return node_instance(major(node.st_rdev), qint64(node.st_ino),
                         qint64(node.st_ctim.tv_sec) * 1000000000 + node.st_ctim.tv_nsec);
}
#endif

// The device that entry stands for is still there, as that device, its node the one found: a look that
// failed or found no name for it cannot tell that it went, its own node can.
bool still_plugged(const Entry& entry)
{
#ifdef Q_OS_WIN
    Q_UNUSED(entry);
    return true;
#else
    struct stat node
    {
    };
    return ::stat(QFile::encodeName(entry.port.device).constData(), &node) == 0 && S_ISCHR(node.st_mode) &&
           port_names::device_identity(quint64(node.st_rdev)) == entry.port.identity &&
           made_at(node) == entry.node_made;
#endif
}

// The entries that are serial devices and match, in the order of their names; none when the folder could
// not be read (reason then says why). The names are taken as bytes: any name the system gives is a path
// that opens.
std::optional<std::vector<Entry>> look(const WatchOptions& options, const QRegularExpression& match,
                                       QString& reason)
{
    std::vector<Entry> found;
#ifdef Q_OS_WIN
    // Windows is asked once per look: every port's name, then where each sits in the device tree.
    Q_UNUSED(reason);
    std::map<QString, windows_ports::Device> devices;
    for (windows_ports::Device& device : windows_ports::present())
        devices.emplace(device.port_name.toUpper(), std::move(device));
    for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts()) {
        const QString name = info.portName();
        const auto device = devices.find(name.toUpper());
        const QString serial =
            device != devices.end() ? windows_ports::adapter_serial(device->second) : info.serialNumber();
        // Without a pattern only USB serial adapters: every COM port would include the on-board port, a PCI
        // card, the chipset's serial-over-LAN port, Bluetooth ports and modems, each opened and sent
        // bootloader bytes.
        const bool taken =
            options.match.isEmpty()
                ? device != devices.end() && windows_ports::is_usb_adapter(device->second)
                : match.match(name).hasMatch() || (!serial.isEmpty() && match.match(serial).hasMatch());
        if (!taken)
            continue;
        found.push_back(
            Entry{name, Port{name, port_names::device_for(name), port_names::identity(name)}, serial});
    }
#else
    const QByteArray folder = QFile::encodeName(options.folder);
    DIR* dir = ::opendir(folder.constData());
    if (dir == nullptr) {
        reason = QString::fromLocal8Bit(std::strerror(errno));
        return std::nullopt;
    }
    for (;;) {
        errno = 0;
        const dirent* item = ::readdir(dir);
        if (item == nullptr) {
            if (errno == 0)
                break;
            reason = QString::fromLocal8Bit(std::strerror(errno));
            ::closedir(dir);
            return std::nullopt;
        }
        const QByteArray name(item->d_name);
        // Hidden names too: udev makes a link under a passing ".#" name and renames it into place, and that
        // passing name would otherwise be taken for a box of its own.
        if (name.startsWith('.'))
            continue;
        const QString decoded = QFile::decodeName(name);
        if (!match.match(decoded).hasMatch())
            continue;
        const QByteArray path = folder + '/' + name;
        // A link whose device is not there (yet) is no device.
        struct stat node
        {
        };
        char device[PATH_MAX];
        if (::stat(path.constData(), &node) != 0 || !S_ISCHR(node.st_mode) ||
            !may_be_terminal(node.st_rdev) || ::realpath(path.constData(), device) == nullptr)
            continue;
        found.push_back(
            Entry{decoded,
                  Port{options.folder + QLatin1Char('/') + shown_name(name), QFile::decodeName(device),
                       port_names::device_identity(quint64(node.st_rdev))},
                  std::nullopt, made_at(node)});
    }
    ::closedir(dir);
#endif
    std::sort(found.begin(), found.end(),
              [](const Entry& a, const Entry& b) { return a.port.name < b.port.name; });
    return found;
}

} // namespace

Watcher::Watcher(const QString& image, const WatchOptions& o, ProductionLog* production_log,
                 bool (*stopping)(), WatchListener& listener)
    : image_path(image), options(o), log(production_log), stop(stopping), tell(listener),
      match(
          QRegularExpression::wildcardToRegularExpression(o.match.isEmpty() ? QStringLiteral("*") : o.match),
#ifdef Q_OS_WIN
          // Windows' port names know no case: "com7" is COM7.
          QRegularExpression::CaseInsensitiveOption
#else
          QRegularExpression::NoPatternOption
#endif
      )
{
}

bool Watcher::watching() const
{
    return !stop() && (options.count == 0 || started_count < options.count);
}

void Watcher::look_for_plugs()
{
    QString reason;
    const std::optional<std::vector<Entry>> now = look(options, match, reason);
    const bool at_start = std::exchange(first_look, false);
    std::map<QString, Entry> devices;
    if (!now) {
        // Nothing is taken as unplugged on a look that failed (too many open files, the folder made anew),
        // but a device seen gone on its own node.
        if (!std::exchange(look_failing, true))
            tell.look_failed(options.folder, reason);
        for (const auto& [identity, entry] : present) {
            if (still_plugged(entry))
                devices.emplace(identity, entry);
        }
    } else {
        look_failing = false;
        std::map<QString, std::vector<const Entry*>> names;
        for (const Entry& entry : *now)
            names[entry.port.identity].push_back(&entry);
        for (const auto& [identity, of_device] : names) {
            // A device keeps the name it was found under while that name still leads to it.
            const Entry* first = of_device.front();
            const auto known = present.find(identity);
            for (const Entry* entry : of_device) {
                if (known != present.end() && entry->port.name == known->second.port.name)
                    first = entry;
            }
            const bool left_alone = at_start && options.new_only;
            for (const Entry* entry : of_device) {
                if (entry != first && said_second.emplace(identity, entry->port.name).second && !left_alone)
                    tell.second_name(entry->port.name, first->port);
            }
            // The same number on a node made anew is another plug (an adapter pulled and plugged between
            // two looks, given its number again).
            const bool plugged = known == present.end() || known->second.node_made != first->node_made;
            devices.emplace(identity, *first);
            if (plugged && !left_alone)
                waiting.emplace(identity, *first);
        }
#ifndef Q_OS_WIN
        // No name leads to it now, but its node is still the one found: the same plug (the folder made
        // anew, a shared name moved to another adapter). Only a node that is gone or made anew unplugs.
        // Windows' list of ports is the system's own: a port not in it is gone.
        for (const auto& [identity, entry] : present) {
            if (devices.count(identity) == 0 && still_plugged(entry))
                devices.emplace(identity, entry);
        }
#endif
        // A name that led to one device and now to another while both stay: adapters sharing a name.
        std::map<QString, QString> now_of_name;
        for (const Entry& entry : *now)
            now_of_name.emplace(entry.port.name, entry.port.identity);
        for (const auto& [name, identity] : now_of_name) {
            const auto before = device_of_name.find(name);
            if (before == device_of_name.end() || before->second == identity ||
                devices.count(before->second) == 0 || !said_shared.insert(name).second)
                continue;
            tell.shared_name(name, devices.at(before->second).port, devices.at(identity).port);
        }
        device_of_name = std::move(now_of_name);
    }
    for (auto it = waiting.begin(); it != waiting.end();)
        it = devices.count(it->first) == 0 ? waiting.erase(it) : std::next(it);
    for (auto it = said_second.begin(); it != said_second.end();)
        it = devices.count(it->first) == 0 ? said_second.erase(it) : std::next(it);
    present = std::move(devices);
}

void Watcher::reap()
{
    for (auto it = running.begin(); it != running.end();) {
        if (!it->box->done) {
            if (it->box->waiting_for_port && !std::exchange(it->busy_told, true))
                tell.port_busy(*it->box);
            ++it;
            continue;
        }
        it->thread->wait();
        tell.ended(*it->box);
        it = running.erase(it);
    }
}

void Watcher::start_boxes()
{
    for (auto it = waiting.begin(); watching() && it != waiting.end();) {
        const QString& device = it->second.port.identity;
        if (std::any_of(running.begin(), running.end(),
                        [&](const Running& r) { return r.box->port.identity == device; })) {
            ++it;
            continue;
        }
        start(it->second);
        it = waiting.erase(it);
    }
}

void Watcher::start(const Entry& entry)
{
    const Port& port = entry.port;
    boxes.push_back(std::make_unique<Box>());
    Box* box = boxes.back().get();
    box->port = port;
    box->log = log;
    // A watch lets the boxes in progress finish, unless the program has only seconds left.
    box->stop_requested = options.must_end_soon;
    // A device that is busy when its box starts (another program probing it, a lock file) is tried again
    // at each look while it stays plugged and the watch goes on.
    box->keep_trying = [stopping = stop] { return !stopping(); };
    box->retry_every_ms = look_every_ms;
    // On Windows the look told it already: the system's list of ports is not asked again for each plug.
    box->serial = entry.serial ? *entry.serial : adapter_serial(port.name, port.device);
    const QString image = image_path;
    running.push_back(Running{
        box, std::unique_ptr<QThread>(QThread::create([box, image] { run_box(*box, image, nullptr); }))});
    running.back().thread->start();
    ++started_count;
    // Told once the thread runs, so that the box's port opens meanwhile: the thread only reads what the
    // start tells (the port and the serial), and its end is told here, by reap, after this.
    tell.started(*box);
}

} // namespace station
