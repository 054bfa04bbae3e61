#include "satellite/SatelliteProtocol.h"

#include "serial/SerialChannel.h"

namespace satellite_protocol {

namespace {

void send_byte(SerialChannel& channel, std::uint8_t byte)
{
    const char c = char(byte);
    channel.write(&c, 1);
}

} // namespace

Outcome read_table(SerialChannel& channel, Table& table)
{
    trace_step(channel, [] { return QStringLiteral("read H/I"); });
    send_byte(channel, read_request);
    const Reply ready = await_reply(channel, reply_wait);
    if (ready.lost())
        return Outcome::PortGone;
    if (ready.byte != std::uint8_t(next_record))
        return Outcome::ConnectionError;
    for (int entry = 1; entry <= entry_count; ++entry) {
        trace_step(channel, [&] { return QStringLiteral("entry %1").arg(entry); });
        if (entry == 1)
            send_byte(channel, next_record);
        const Reply marker = await_reply(channel, reply_wait);
        if (marker.lost())
            return Outcome::PortGone;
        if (marker.byte != std::uint8_t(record_marker))
            return Outcome::ReadError;
        // The entry byte carries nothing for the tool.
        if (await_reply(channel, reply_wait).lost())
            return Outcome::PortGone;
        satellite_record::Record record{};
        for (std::uint8_t& byte : record) {
            const Reply got = await_reply(channel, record_byte_wait, byte);
            if (got.lost())
                return Outcome::PortGone;
            byte = got.byte;
        }
        table.record_read(entry, record);
        table.entry_done(entry);
        if (table.stop_requested())
            return Outcome::Stopped;
        // The "I" that asks for the next record (after the last one, it ends the read).
        trace_step(channel, [&] {
            return entry < entry_count ? QStringLiteral("entry %1").arg(entry + 1)
                                       : QStringLiteral("read ends");
        });
        send_byte(channel, next_record);
    }
    return Outcome::Done;
}

Outcome write_table(SerialChannel& channel, Table& table)
{
    trace_step(channel, [] { return QStringLiteral("write J/K"); });
    send_byte(channel, write_request);
    const Reply ready = await_reply(channel, reply_wait);
    if (ready.lost())
        return Outcome::PortGone;
    if (ready.byte != acknowledge)
        return Outcome::ConnectionError;
    for (int entry = 1; entry <= entry_count; ++entry) {
        const satellite_record::Record record = table.record_to_write(entry);
        trace_step(channel, [&] { return QStringLiteral("entry %1").arg(entry); });
        send_byte(channel, record_marker);
        sleep_ms(marker_pause_ms);
        send_byte(channel, std::uint8_t(entry));
        sleep_ms(entry_pause_ms);
        for (std::uint8_t byte : record) {
            send_byte(channel, byte);
            sleep_ms(record_byte_pause_ms);
        }
        const Reply answer = await_reply(channel, reply_wait);
        table.entry_done(entry);
        if (answer.lost())
            return Outcome::PortGone;
        if (answer.byte != acknowledge)
            return Outcome::WriteError;
        if (table.stop_requested())
            return Outcome::Stopped;
    }
    return Outcome::Done;
}

} // namespace satellite_protocol
