#pragma once

#include "ScriptedChannel.h"

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <cstdint>

// Puts the fuzzer's bytes into a file, since the readers under test read files (one per target process).
QString bytes_to_file(const std::uint8_t* data, std::size_t size);

// Quiets the engines' debug lines and takes the pace out of the protocols.
void prepare_fuzzing();
