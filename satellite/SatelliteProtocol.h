#pragma once

#include "satellite/SatelliteRecord.h"
#include "serial/ReplyWait.h"

class SerialChannel;

// The box's satellite table over the serial line: all 99 entries, in order, one byte per write, paced by
// fixed sleeps. Frames carry no length and no checksum: framing rests on the fixed sizes alone.
namespace satellite_protocol {

constexpr int entry_count = 99;

constexpr char read_request = 'H';
constexpr char next_record = 'I';
constexpr char write_request = 'J';
constexpr unsigned char acknowledge = 'K';
constexpr char record_marker = 'L';

// Replies are awaited with 102 polls, each followed by a sleep: 10 ms (about 1 s in all) for the box's
// answers, marker, entry byte and acknowledges, which it sends at once or not at all; 5 ms (about 0.5 s)
// for each byte of a record, which follow each other closely once the record has begun.
constexpr WaitSchedule reply_wait{WaitSchedule::PollThenSleep, 10, 102};
constexpr WaitSchedule record_byte_wait{WaitSchedule::PollThenSleep, 5, 102};
// Pauses after the marker, after the entry byte, and after each record byte sent to the box: the box takes
// a frame in byte by byte and needs the time to store each one before the next arrives.
constexpr int marker_pause_ms = 2;
constexpr int entry_pause_ms = 2;
constexpr int record_byte_pause_ms = 1;

enum class Outcome
{
    Done,
    ConnectionError, // the box did not answer the read or write request as it should
    ReadError,       // a record from the box did not start with its marker
    WriteError,      // the box did not acknowledge a record
    PortGone,        // the device went away mid-exchange (an adapter pulled out)
    Stopped,         // asked to stop after an entry: nothing more was sent
};

// The grid side of an exchange; entry numbers run from 1 to 99.
class Table
{
public:
    virtual ~Table() = default;
    // Read: the record of an entry arrived.
    virtual void record_read(int entry, const satellite_record::Record& record) = 0;
    // Write: the record to send for an entry, taken from the grid just now.
    virtual satellite_record::Record record_to_write(int entry) = 0;
    // After each entry (in a write, before its acknowledge is judged): progress, events.
    virtual void entry_done(int entry) = 0;
    // Asked after each entry is through (read, or written and acknowledged): stop there, sending nothing
    // more. The window's exchange runs to its end.
    virtual bool stop_requested() { return false; }
};

Outcome read_table(SerialChannel& channel, Table& table);
Outcome write_table(SerialChannel& channel, Table& table);

} // namespace satellite_protocol
