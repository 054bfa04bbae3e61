#pragma once

#include "serial/SerialChannel.h"

#include <QByteArray>

#include <cstddef>
#include <cstdint>

// A box that answers from a script, for driving the protocols where time is not what is tested: each byte
// the tool reads is the next of the script, and when the script runs out the box falls silent. Everything
// the tool sends is swallowed. At unseen_at the next byte is there but no poll sees it, as a reply that
// lands just after the last poll of a wait.
class ScriptedChannel : public SerialChannel
{
public:
    explicit ScriptedChannel(QByteArray replies, qsizetype unseen = -1)
        : script(std::move(replies)), unseen_at(unseen)
    {
    }
    ScriptedChannel(const std::uint8_t* data, std::size_t size)
        : ScriptedChannel(QByteArray(reinterpret_cast<const char*>(data), qsizetype(size)))
    {
    }
    bool open(const QString&) override { return false; }
    int write(const char*, int count) override { return count; }
    bool nothing_waiting() override { return position >= script.size() || position == unseen_at; }
    bool read(char* buffer, int count, int* received = nullptr) override
    {
        int got = 0;
        for (; got < count && position < script.size(); ++got)
            buffer[got] = script[position++];
        if (received != nullptr)
            *received = got;
        return false;
    }

private:
    QByteArray script;
    qsizetype unseen_at;
    qsizetype position = 0;
};
