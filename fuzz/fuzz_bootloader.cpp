// The bootloader exchange against a box that answers arbitrary bytes: it always ends, with an outcome.
#include "FuzzSupport.h"
#include "update/Bootloader.h"

#include <QDir>
#include <QFile>

#include <cstdlib>
#include <unistd.h>

namespace {

QString image_path;

struct Watcher : bootloader::Observer
{
    void progress(int value) override
    {
        if (value < 0 || value > 2)
            std::abort();
    }
};

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    prepare_fuzzing();
    // Two page records of zeros behind an identity block: the box's answers are what varies.
    image_path = QDir::temp().filePath(QStringLiteral("kdr7-fuzz-%1-image.bin").arg(::getpid()));
    QFile file(image_path);
    if (!file.open(QIODevice::WriteOnly) ||
        file.write(QByteArray("\x21\x31\x01\x00", 4) + QByteArray(2 * 546, '\0')) < 0)
        std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    ScriptedChannel box(data, size);
    bin_image::Reader image;
    Identity identity{};
    int count = 0;
    if (image.open(image_path, identity, count) != bin_image::OpenResult::Opened)
        std::abort();
    Watcher watcher;
    bootloader::program(box, image, identity, watcher);
    return 0;
}
