#include "VirtualBox.h"

#include <openssl/evp.h>

#include <tuple>

// How the box answers the tool, state by state: the bootloader's steps and the satellite table's read and
// write.

namespace {

// The key under which line 0 of every page is encrypted. Deliberately the box's own copy, decrypted with
// OpenSSL: the box must not share the tool's key or cipher, or a fault in them would pass unseen.
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
