#include "VirtualBox.h"

#include "RawPty.h"

#include <QRegularExpression>
#include <QStringList>

#include <openssl/evp.h>

#include <chrono>
#include <tuple>

#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

namespace {

// The key under which line 0 of every page is encrypted.
constexpr std::uint8_t page_key[16] = {0x5a, 0x3c, 0x91, 0xe7, 0x0d, 0x42, 0xb8, 0x6f,
                                       0xa1, 0x17, 0xc4, 0x29, 0x7e, 0x83, 0xf0, 0x56};
constexpr int line_size = 17;
constexpr int lines_per_page = 32;

bool decrypt_block(const std::uint8_t* in, std::uint8_t* out)
{
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    int n = 0;
    int tail = 0;
    const bool ok = ctx != nullptr &&
                    EVP_DecryptInit_ex(ctx, EVP_aes_128_ecb(), nullptr, page_key, nullptr) == 1 &&
                    EVP_CIPHER_CTX_set_padding(ctx, 0) == 1 && EVP_DecryptUpdate(ctx, out, &n, in, 16) == 1 &&
                    EVP_DecryptFinal_ex(ctx, out + n, &tail) == 1 && n + tail == 16;
    EVP_CIPHER_CTX_free(ctx);
    return ok;
}

bool line_intact(const std::uint8_t* line)
{
    unsigned sum = 0;
    for (int i = 0; i < line_size; ++i)
        sum += line[i];
    return sum % 256 == 0;
}

} // namespace

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

VirtualBox::VirtualBox(const Model& m) : model(m)
{
    memory.fill(0xFF);
    RawPty pty;
    if (!open_raw_pty(pty))
        return;
    master = pty.master;
    keep_slave = pty.slave;
    path = pty.path;
    running = true;
    worker = std::thread([this] { serve(); });
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

void VirtualBox::send_satellite_frame()
{
    QByteArray frame(1, 'L');
    frame.append(char(sat_entry));
    {
        std::lock_guard<std::mutex> guard(lock);
        const SatelliteRecord& r = satellites[size_t(sat_entry - 1)];
        frame.append(reinterpret_cast<const char*>(r.data()), int(r.size()));
    }
    answer(Step::SatRecord, frame);
}

// A record written by the tool arrives with Position low byte first; the box keeps it as it sends it.
bool VirtualBox::take_satellite_frame(const QByteArray& frame)
{
    const int entry = std::uint8_t(frame[1]);
    if (frame[0] != 'L' || entry < 1 || entry > satellite_entries)
        return false;
    SatelliteRecord r;
    std::copy(frame.begin() + 2, frame.end(), r.begin());
    std::swap(r[17], r[18]);
    std::lock_guard<std::mutex> guard(lock);
    satellites[size_t(entry - 1)] = r;
    return true;
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

// The box holds a slave descriptor of its own, so the master never sees the tool hang up; the tool's close
// of the device is watched for instead.
void VirtualBox::serve()
{
    const int closes = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (closes >= 0)
        inotify_add_watch(closes, path.toLocal8Bit().constData(), IN_CLOSE_WRITE | IN_CLOSE_NOWRITE);
    while (running) {
        pollfd fds[2] = {{master, POLLIN, 0}, {closes, POLLIN, 0}};
        if (::poll(fds, closes >= 0 ? 2 : 1, 5) <= 0)
            continue;
        // A close goes first: bytes waiting beside it may already come from the next tool that opened the
        // line. (A tool that closes right after writing expects no answer to what it wrote.)
        if (closes >= 0 && (fds[1].revents & POLLIN)) {
            char events[4096];
            while (::read(closes, events, sizeof events) > 0) {
            }
            line_closed();
        }
        std::uint8_t buffer[1024];
        const ssize_t n = (fds[0].revents & POLLIN) ? ::read(master, buffer, sizeof buffer) : 0;
        if (n > 0)
            take(buffer, int(n));
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
    if (::write(master, bytes.constData(), size_t(bytes.size())) != bytes.size())
        running = false;
}

unsigned char VirtualBox::judge(const std::uint8_t* identity) const
{
    if (identity[2] != model.mcu_id)
        return '9';
    if (identity[3] != model.model_id)
        return '8';
    const int year = identity[0] & 0x0F;
    const int month = (identity[0] >> 4) & 0x0F;
    const int day = identity[1] & 0x1F;
    const auto built = std::make_tuple(year, month, day);
    if (built < std::make_tuple(model.min_year_offset, model.min_month, model.min_day))
        return '@';
    return 'A';
}

void VirtualBox::store_page()
{
    std::uint8_t plain[16];
    const bool decrypted = decrypt_block(page.data() + 2, plain);
    const int base = page[0] * 256 + page[1];
    std::lock_guard<std::mutex> guard(lock);
    for (int line = 0; line < lines_per_page; ++line) {
        const std::uint8_t* data = line == 0 ? plain : page.data() + 2 + line * line_size;
        for (int j = 0; j < 16; ++j)
            memory[(base + line * 16 + j) & 0xFFFF] = data[j];
    }
    if (decrypted)
        ++written;
}

void VirtualBox::take(const std::uint8_t* bytes, int count)
{
    pending.append(reinterpret_cast<const char*>(bytes), count);
    while (running && take_unit()) {
    }
}

bool VirtualBox::take_unit()
{
    switch (state) {
    case State::Idle:
    case State::Prepared:
    case State::Paging:
        return take_command();
    case State::SatReading:
        return take_read_request();
    case State::SatWriting:
        return take_record_frame();
    case State::Identity:
        return take_identity();
    case State::Header:
        return take_header();
    case State::Lines:
        return take_line();
    }
    return false;
}

QByteArray VirtualBox::next_unit(int size)
{
    if (pending.size() < size)
        return QByteArray();
    QByteArray unit = pending.left(size);
    pending.remove(0, size);
    log(true, unit);
    return unit;
}

bool VirtualBox::restarts_exchange() const
{
    return !pending.isEmpty() && (pending[0] == 'E' || pending[0] == 'H' || pending[0] == 'J');
}

void VirtualBox::line_closed()
{
    state = State::Idle;
    pending.clear();
}

// One-byte commands: entering the bootloader, its go-ahead, a page, the finish, and the satellite table's
// read and write requests.
bool VirtualBox::take_command()
{
    const QByteArray command = next_unit(1);
    if (command.isEmpty())
        return false;
    const char c = command[0];
    if (c == 'E') {
        state = State::Prepared;
        reply(Step::Prepared, '0');
    } else if (c == '2' && state == State::Prepared) {
        QByteArray noise;
        {
            std::lock_guard<std::mutex> guard(lock);
            noise = go_ahead_noise;
        }
        if (!noise.isEmpty())
            transmit(noise);
        state = State::Identity;
        reply(Step::GoAhead, '1');
    } else if (c == 'D' && state == State::Paging) {
        ++page_index;
        state = State::Header;
    } else if (c == 'C' && state == State::Paging) {
        state = State::Idle;
        reply(Step::Finish, '3');
    } else if (c == 'H') {
        state = State::SatReading;
        sat_entry = 0;
        reply(Step::SatAnswer, 'I');
    } else if (c == 'J') {
        state = State::SatWriting;
        sat_entry = 0;
        reply(Step::SatAnswer, 'K');
    }
    return true;
}

// Each "I" asks for the next record; the "I" after the last one ends the read.
bool VirtualBox::take_read_request()
{
    if (restarts_exchange()) {
        state = State::Idle;
        return true;
    }
    const QByteArray request = next_unit(1);
    if (request.isEmpty())
        return false;
    if (request[0] != 'I')
        return true;
    if (++sat_entry > satellite_entries) {
        state = State::Idle;
        return true;
    }
    send_satellite_frame();
    return true;
}

// A malformed frame is neither stored nor acknowledged: the tool must not hear "K" for a record the box
// dropped.
bool VirtualBox::take_record_frame()
{
    if (restarts_exchange()) {
        state = State::Idle;
        return true;
    }
    const QByteArray frame = next_unit(satellite_frame_size);
    if (frame.isEmpty())
        return false;
    if (!take_satellite_frame(frame))
        return true;
    ++sat_entry;
    reply(Step::SatAck, 'K');
    if (sat_entry >= satellite_entries)
        state = State::Idle;
    return true;
}

bool VirtualBox::take_identity()
{
    const QByteArray identity = next_unit(4);
    if (identity.isEmpty())
        return false;
    const unsigned char verdict = judge(reinterpret_cast<const std::uint8_t*>(identity.constData()));
    state = verdict == 'A' ? State::Paging : State::Idle;
    page_index = -1;
    reply(Step::Verdict, verdict);
    return true;
}

bool VirtualBox::take_header()
{
    const QByteArray header = next_unit(2);
    if (header.isEmpty())
        return false;
    page[0] = std::uint8_t(header[0]);
    page[1] = std::uint8_t(header[1]);
    line_index = 0;
    state = State::Lines;
    return true;
}

bool VirtualBox::take_line()
{
    const QByteArray line = next_unit(line_size);
    if (line.isEmpty())
        return false;
    const auto* data = reinterpret_cast<const std::uint8_t*>(line.constData());
    if (!line_intact(data)) {
        {
            std::lock_guard<std::mutex> guard(lock);
            ++damaged;
        }
        reply(Step::Line, '5');
        return true;
    }
    // Unheard, the line counts as not received: the same line comes again.
    if (!reply(Step::Line, '4'))
        return true;
    std::copy(data, data + line_size, page.begin() + 2 + line_index * line_size);
    if (line_index == lines_per_page - 1) {
        store_page();
        state = State::Paging;
        reply(Step::Page, 'F');
    } else {
        ++line_index;
    }
    return true;
}
