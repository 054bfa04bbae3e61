#pragma once

#include "package/AesCipher.h"
#include "update/BinImage.h"
#include "update/Identity.h"

#include <QString>

#include <array>
#include <cstdint>

class SafeFile;

// Turns an S19 firmware file into the BIN image the update sends: the identity block, then one page record
// per 512-byte page in the order the records leave the pages (a page left and visited again is written
// again, holding only its second visit's bytes).
namespace packager {

// One page being assembled, laid out as its page record; bytes no record gives stay 0xFF.
class PageBuffer
{
public:
    PageBuffer() { reset_page(); }

    // No page open, all line bytes 0xFF.
    void reset_page();
    bool is_open() const { return open; }
    // Opens the page that holds the address.
    void open_page(std::uint16_t address);
    // Stores the byte when the address lies in the open page; true when it lies outside (nothing stored).
    bool place_byte(std::uint16_t address, std::uint8_t value);
    // Encrypts line 0 under a fresh copy of the page key, puts each line's checksum in place and appends
    // the record to the image.
    void flush_page(aes_cipher& cipher, SafeFile& image);

    std::uint8_t header(int index) const { return buffer[size_t(index)]; }
    const bin_image::Record& record() const { return buffer; }

private:
    bin_image::Record buffer;
    bool open = false; // its own state: the page at 0x0000 has the header 0x00 0x00 too
    std::array<std::uint8_t, 16> key_work{};
};

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
    int line = 0; // counting from 1
};

// Nothing is written unless the whole file is sound; the old image stays whole until the new one is.
Result convert(const QString& s19_path, const QString& bin_path, const Identity& config, PageBuffer& page,
               aes_cipher& cipher, Observer& observer);

} // namespace packager
