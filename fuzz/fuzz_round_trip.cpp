// Arbitrary bytes drawn into S19 firmware: packed, unpacked and packed again, the two images are the same.
#include "FuzzSupport.h"
#include "RoundTrip.h"

#include <QDir>

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    prepare_fuzzing();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static const QString dir = [] {
        const QString path = QDir::temp().filePath(QStringLiteral("kdr7-fuzz-round-trip-%1").arg(::getpid()));
        QDir().mkpath(path);
        return path;
    }();
    const QString problem = round_trip::fault(dir, round_trip::firmware(data, size));
    if (!problem.isEmpty()) {
        std::fprintf(stderr, "%s\n", qPrintable(problem));
        std::abort();
    }
    return 0;
}
