// Preloaded into a program under test: every fdatasync fails with EIO after the data reached the file, as
// on a disk whose flush reports an error.
#include <cerrno>

extern "C" int fdatasync(int)
{
    errno = EIO;
    return -1;
}
