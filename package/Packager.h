#pragma once

#include "package/AesCipher.h"
#include "package/PageBuffer.h"
#include "update/Identity.h"

#include <QString>

// Turns an S19 firmware file into the BIN image the update sends: the identity block, then one page record
// per 512-byte page in the order the records leave the pages (a page left and visited again is written
// again, holding only its second visit's bytes).
namespace packager {

// What the Package tab shows while a conversion runs; each call is followed by the window's event pump.
class Observer
{
public:
    virtual ~Observer() = default;
    virtual void lines_counted(int count) = 0;
    virtual void line_started(int index) = 0;
    virtual void finished(int count) = 0;
};

// For a conversion nobody watches (a script, a check).
class NoProgress : public Observer
{
public:
    void lines_counted(int) override {}
    void line_started(int) override {}
    void finished(int) override {}
};

enum class Outcome
{
    Done,
    S19CannotOpen,
    BinCannotOpen,
    BadRecord,          // a damaged S1 record, at line
    UnsupportedRecords, // S2 or S3 records, first at line
    S19Changed,         // the file read in the second pass is not the one the first pass proved sound
    WriteFailed,
};

struct Result
{
    Outcome outcome;
    int line = 0;       // counting from 1
    int page_count = 0; // the page records written, when Done
};

// Nothing is written unless the whole file is sound; the old image stays whole until the new one is.
// The window passes the page buffer and cipher it keeps for its lifetime.
Result convert(const QString& s19_path, const QString& bin_path, const Identity& config, PageBuffer& page,
               aes_cipher& cipher, Observer& observer);
// For a caller with no such state of its own (a script, a check): a fresh page buffer and cipher.
Result convert(const QString& s19_path, const QString& bin_path, const Identity& config, Observer& observer);

} // namespace packager
