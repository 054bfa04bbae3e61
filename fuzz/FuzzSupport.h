#pragma once

#include "serial/SerialChannel.h"

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <cstdint>

// Puts the fuzzer's bytes into a file, since the readers under test read files (one per target process).
QString bytes_to_file(const std::uint8_t* data, std::size_t size);

// Quiets the engines' debug lines and takes the pace out of the protocols.
void prepare_fuzzing();

// A box that answers with whatever the fuzzer gives: each byte the tool waits for is the next input byte,
// and when the input runs out the box falls silent. Everything the tool sends is swallowed.
class ScriptedChannel : public SerialChannel
{
public:
    ScriptedChannel(const std::uint8_t* data, std::size_t size) : data(data), size(size) {}
    bool open(const QString&) override { return false; }
    int write(const char*, int count) override { return count; }
    bool nothing_waiting() override { return position >= size; }
    bool read(char* buffer, int count, int* received = nullptr) override
    {
        int got = 0;
        for (; got < count && position < size; ++got)
            buffer[got] = char(data[position++]);
        if (received != nullptr)
            *received = got;
        return false;
    }

private:
    const std::uint8_t* data;
    std::size_t size;
    std::size_t position = 0;
};
