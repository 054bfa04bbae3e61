#include "VirtualBox.h"

#include "RawPty.h"

#include <QRegularExpression>
#include <QStringList>

#include <QFile>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <utility>

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <termios.h>
#include <unistd.h>

// The box's life: its pseudo-terminal, its thread, its faults and what it keeps. How it answers each step of
// the exchanges is in VirtualBoxProtocol.cpp.

bool VirtualBox::parse_fault(const QString& text, Fault& fault)
{
    static const QRegularExpression pattern(
        QStringLiteral("^(prepared|goahead|verdict|line|page|finish|satanswer|satrecord|satack):(silent|"
                       "close|byte=(0x[0-9a-fA-F]+|\\d+)|slow=(\\d+))"
                       "(?:@(\\d+)(?:\\.(\\d+))?)?(?:x(\\d+))?$"));
    const QRegularExpressionMatch m = pattern.match(text);
    if (!m.hasMatch())
        return false;
    const QStringList steps{"prepared", "goahead",   "verdict",   "line",  "page",
                            "finish",   "satanswer", "satrecord", "satack"};
    Fault f{};
    f.step = Step(steps.indexOf(m.captured(1)));
    const QString kind = m.captured(2);
    bool ok = true;
    if (kind == QLatin1String("silent")) {
        f.kind = Fault::Silent;
    } else if (kind == QLatin1String("close")) {
        f.kind = Fault::Close;
    } else if (kind.startsWith(QLatin1String("byte="))) {
        f.kind = Fault::WrongByte;
        const uint value = m.captured(3).toUInt(&ok, 0);
        ok = ok && value <= 0xFF;
        f.byte = static_cast<unsigned char>(value);
    } else {
        f.kind = Fault::Slow;
        f.delay_ms = m.captured(4).toInt(&ok);
    }
    f.page = m.captured(5).isEmpty() ? 0 : m.captured(5).toInt();
    if (f.step == Step::SatRecord || f.step == Step::SatAck) {
        f.entry = f.page;
        f.page = 0;
    }
    f.line = m.captured(6).isEmpty() ? 0 : m.captured(6).toInt();
    f.times = m.captured(7).isEmpty() ? -1 : m.captured(7).toInt();
    if (!ok)
        return false;
    fault = f;
    return true;
}

VirtualBox::VirtualBox() : VirtualBox(Model()) {}

VirtualBox::VirtualBox(const Model& m, Wire wire) : model(m), direct(wire == Wire::Direct)
{
    memory.fill(0xFF);
    if (direct) {
        running = true;
        return;
    }
    RawPty pty;
    if (!open_raw_pty(pty))
        return;
    master = pty.master;
    keep_slave = pty.slave;
    path = pty.path;
    running = true;
    worker = std::thread([this] { serve(); });
}

VirtualBox::VirtualBox(const Model& m, const QString& device) : model(m), on_device(true), path(device)
{
    memory.fill(0xFF);
    if (!open_device())
        return;
    running = true;
    worker = std::thread([this] { serve(); });
}

bool VirtualBox::open_device()
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        open_failure = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    termios tio{};
    if (tcgetattr(fd, &tio) != 0) {
        open_failure = QStringLiteral("not a terminal device");
        ::close(fd);
        return false;
    }
    // Raw as the box's own UART: no echo, no line editing, no byte changed on the way; no modem lines.
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    cfsetspeed(&tio, B57600);
    tcsetattr(fd, TCSANOW, &tio);
    tcflush(fd, TCIOFLUSH);
    master = fd;
    open_failure.clear();
    return true;
}

void VirtualBox::reopen_device()
{
    if (master >= 0)
        ::close(master);
    master = -1;
    line_closed();
    while (running && !open_device())
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
}

VirtualBox::~VirtualBox()
{
    running = false;
    if (worker.joinable())
        worker.join();
    if (master >= 0)
        ::close(master);
    if (keep_slave >= 0)
        ::close(keep_slave);
}

void VirtualBox::add_fault(const Fault& fault)
{
    std::lock_guard<std::mutex> guard(lock);
    faults.push_back(fault);
}

void VirtualBox::set_go_ahead_noise(const QByteArray& noise)
{
    std::lock_guard<std::mutex> guard(lock);
    go_ahead_noise = noise;
}

std::vector<VirtualBox::Event> VirtualBox::transcript() const
{
    std::lock_guard<std::mutex> guard(lock);
    return events;
}

std::array<std::uint8_t, 0x10000> VirtualBox::flash() const
{
    std::lock_guard<std::mutex> guard(lock);
    return memory;
}

int VirtualBox::pages_written() const
{
    std::lock_guard<std::mutex> guard(lock);
    return written;
}

int VirtualBox::damaged_lines() const
{
    std::lock_guard<std::mutex> guard(lock);
    return damaged;
}

VirtualBox::SatelliteRecord VirtualBox::satellite(int entry) const
{
    std::lock_guard<std::mutex> guard(lock);
    return satellites.at(size_t(entry - 1));
}

void VirtualBox::set_satellite(int entry, const SatelliteRecord& record)
{
    std::lock_guard<std::mutex> guard(lock);
    satellites.at(size_t(entry - 1)) = record;
}

void VirtualBox::unplug()
{
    running = false;
    if (worker.joinable() && worker.get_id() != std::this_thread::get_id())
        worker.join();
    if (master >= 0)
        ::close(master);
    master = -1;
}

void VirtualBox::direct_open()
{
    held = true;
}

QByteArray VirtualBox::direct_write(const char* bytes, int count)
{
    if (cut)
        return QByteArray();
    take(reinterpret_cast<const std::uint8_t*>(bytes), count);
    return std::exchange(outgoing, QByteArray());
}

void VirtualBox::direct_close()
{
    held = false;
    if (!cut)
        line_closed();
}

// The box holds a slave descriptor of its own, so the master never sees the tool hang up; the tool's close
// of the device is watched for instead. On a device the tool is at the line's other end, out of sight: a
// tool that starts anew begins with a command, which the box follows.
void VirtualBox::serve()
{
    const int closes = on_device ? -1 : inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (closes >= 0)
        inotify_add_watch(closes, path.toLocal8Bit().constData(), IN_CLOSE_WRITE | IN_CLOSE_NOWRITE);
    while (running) {
        pollfd fds[2] = {{master, POLLIN, 0}, {closes, POLLIN, 0}};
        if (::poll(fds, closes >= 0 ? 2 : 1, 5) <= 0)
            continue;
        if (on_device && !(fds[0].revents & POLLIN) && (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL))) {
            reopen_device();
            continue;
        }
        // A close goes first: bytes waiting beside it may already come from the next tool that opened the
        // line. (A tool that closes right after writing expects no answer to what it wrote.)
        if (closes >= 0 && (fds[1].revents & POLLIN)) {
            char notices[4096];
            while (::read(closes, notices, sizeof notices) > 0) {
            }
            line_closed();
        }
        std::uint8_t buffer[1024];
        const ssize_t n = (fds[0].revents & POLLIN) ? ::read(master, buffer, sizeof buffer) : 0;
        if (n > 0)
            take(buffer, int(n));
        if (std::exchange(device_lost, false))
            reopen_device();
        else if (n <= 0 && on_device && (fds[0].revents & POLLIN) && (n == 0 || errno != EAGAIN))
            reopen_device(); // hung up: a read at its end gives nothing, or fails
    }
    if (closes >= 0)
        ::close(closes);
}

void VirtualBox::log(bool from_tool, const QByteArray& bytes)
{
    std::lock_guard<std::mutex> guard(lock);
    events.push_back(Event{from_tool, bytes});
}

std::optional<VirtualBox::Fault> VirtualBox::fault_for(Step step)
{
    std::lock_guard<std::mutex> guard(lock);
    for (Fault& f : faults) {
        if (f.step != step || f.times == 0)
            continue;
        if ((step == Step::Line || step == Step::Page) && f.page != page_index)
            continue;
        if (step == Step::Line && f.line != line_index)
            continue;
        if ((step == Step::SatRecord || step == Step::SatAck) && f.entry != 0 && f.entry != sat_entry)
            continue;
        if (f.times > 0)
            --f.times;
        return f;
    }
    return std::nullopt;
}

bool VirtualBox::answer(Step step, QByteArray bytes)
{
    bool as_meant = true;
    if (const std::optional<Fault> fault = fault_for(step)) {
        switch (fault->kind) {
        case Fault::Silent:
            return false;
        case Fault::WrongByte:
            bytes[0] = char(fault->byte);
            as_meant = false;
            break;
        case Fault::Slow:
            std::this_thread::sleep_for(std::chrono::milliseconds(fault->delay_ms));
            break;
        case Fault::Close:
            if (direct) {
                cut = true;
                return false;
            }
            // As a cable pulled out: what was already sent has arrived, then the line is gone.
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            running = false;
            ::close(master);
            master = -1;
            return false;
        }
    }
    transmit(bytes);
    return as_meant;
}

bool VirtualBox::reply(Step step, unsigned char byte)
{
    return answer(step, QByteArray(1, char(byte)));
}

void VirtualBox::transmit(const QByteArray& bytes)
{
    log(false, bytes);
    if (direct) {
        outgoing += bytes;
        return;
    }
    if (::write(master, bytes.constData(), size_t(bytes.size())) == bytes.size())
        return;
    if (on_device)
        device_lost = true; // the adapter went away under the answer: the serving loop opens it again
    else
        running = false;
}
