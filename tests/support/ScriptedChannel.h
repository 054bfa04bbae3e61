#pragma once

#include "serial/SerialChannel.h"

#include <QByteArray>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <utility>

// A box without a line, for driving the protocols where time is not what is tested (with the sleeps
// replaced): each byte the tool reads is the next of the script, and when the script runs out the box falls
// silent. The script is fixed, or grows with what a peer (a box model) answers to each write. At unseen_at
// the next byte is there but no poll sees it, as a reply that lands just after the last poll of a wait.
class ScriptedChannel : public SerialChannel
{
public:
    // The far end when a box model answers: heard() takes each write and gives the answers, hung_up() hears
    // the tool let go.
    struct Peer
    {
        std::function<QByteArray(const char* bytes, int count)> heard;
        std::function<void()> hung_up;
    };

    explicit ScriptedChannel(QByteArray replies, qsizetype unseen = -1)
        : script(std::move(replies)), unseen_at(unseen)
    {
    }
    ScriptedChannel(const std::uint8_t* data, std::size_t size)
        : ScriptedChannel(QByteArray(reinterpret_cast<const char*>(data), qsizetype(size)))
    {
    }
    explicit ScriptedChannel(Peer far_end) : peer(std::move(far_end)) {}
    ~ScriptedChannel() override
    {
        if (peer.hung_up)
            peer.hung_up();
    }

    bool open_device(const QString&) override { return false; }
    int write(const char* bytes, int count) override
    {
        if (peer.heard)
            script += peer.heard(bytes, count);
        return count;
    }
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
    qsizetype unseen_at = -1;
    qsizetype position = 0;
    Peer peer;
};
