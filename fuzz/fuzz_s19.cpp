// Arbitrary bytes as an S19 file: the identity search and the whole conversion must end, and an image they
// write is always the identity block and whole page records.
#include "FuzzSupport.h"
#include "package/Packager.h"
#include "package/SRecord.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cstdlib>
#include <unistd.h>

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    prepare_fuzzing();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QString in = bytes_to_file(data, size);
    static const QString out = QDir::temp().filePath(QStringLiteral("kdr7-fuzz-%1.bin").arg(::getpid()));
    QFile::remove(out);
    const srecord::IdentitySearch search = srecord::find_identity(in, Identity{});
    packager::PageBuffer page;
    aes_cipher cipher;
    packager::NoProgress quiet;
    const packager::Result result = packager::convert(in, out, search.config, page, cipher, quiet);
    const qint64 written = QFileInfo(out).size();
    if (result.outcome == packager::Outcome::Done && (written < 550 || (written - 4) % 546 != 0))
        std::abort();
    if (result.outcome != packager::Outcome::Done && QFile::exists(out))
        std::abort(); // a refused file leaves no image
    return 0;
}
