// Arbitrary bytes as a BIN image: inspection and the reader agree on the records and never overrun.
#include "FuzzSupport.h"
#include "update/BinImage.h"

#include <cstdlib>

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    prepare_fuzzing();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QString path = bytes_to_file(data, size);
    const bin_image::Inspection report = bin_image::inspect(path);
    bin_image::Reader reader;
    Identity identity{};
    int count = -1;
    const bin_image::OpenResult opened = reader.open(path, identity, count);
    if ((opened == bin_image::OpenResult::Opened) != report.has_identity)
        std::abort();
    if (opened == bin_image::OpenResult::Opened &&
        (count != report.record_count || qint64(size) != 4 + 546 * qint64(count) + report.trailing_bytes))
        std::abort();
    return 0;
}
