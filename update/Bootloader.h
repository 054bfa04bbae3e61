#pragma once

#include "serial/ReplyWait.h"
#include "update/BinImage.h"
#include "update/Identity.h"

class SerialChannel;

// The box's bootloader, lock-step: one command byte or block out, one ASCII byte back. The tool decides
// nothing about the image; the box judges the identity, checks every line and writes every page.
namespace bootloader {

// Tool to box.
constexpr char bootloader_request = 'E';
constexpr char go_ahead_request = '2';
constexpr char page_request = 'D';
constexpr char finish_request = 'C';

// Box to tool.
constexpr unsigned char prepared = '0';
constexpr unsigned char go_ahead = '1';
constexpr unsigned char accepted = 'A';
constexpr unsigned char cpu_mismatch = '9';
constexpr unsigned char model_mismatch = '8';
constexpr unsigned char too_old = '@';
constexpr unsigned char line_accepted = '4';
constexpr unsigned char line_rejected = '5';
constexpr unsigned char page_written = 'F';
constexpr unsigned char completed = '3';

// Before the bootloader request, counted from the port's opening, the box's application must be idle;
// after it, the box restarts into its bootloader and only then can answer.
constexpr int enter_sleep_ms = 200;
// A line garbled on the wire gets fifteen more chances; one refused sixteen times is no noise, and the
// user hears of it rather than waiting on.
constexpr int line_attempts = 16;

enum class Wait
{
    Prepared,
    GoAhead,
    Verdict,
    Line,
    Page,
    Finish
};
const WaitSchedule& schedule(Wait wait);

enum class Outcome
{
    Completed,
    FinishFailed,    // the finish request was not answered "3"
    Stopped,         // Stop was seen at a pump; the finish request was not sent
    ImageUnreadable, // the identity block could not be read from the image
    NotPrepared,
    NoGoAhead,
    CpuMismatch,
    ModelMismatch,
    TooOld,
    NoVerdict,
    Rejected, // a verdict byte with no meaning of its own
    LineRejected,
    NoLineFeedback,
    PageNotWritten,
    PortGone, // the device went away mid-exchange (an adapter pulled out)
    // The image yielded other bytes than it held when opened (rewritten or cut in place while it was sent):
    // the box holds a mix, and the finish request was not sent.
    ImageChanged,
};

enum class Phase
{
    EnteringBootloader,
    Updating
};

// What the caller shows while the box is programmed. The window pumps its event loop in pump(), which is
// also where a click on Stop arrives.
// Each call does nothing unless overridden: a caller shows what it needs.
class Observer
{
public:
    virtual ~Observer() = default;
    virtual void phase(Phase) {}
    virtual void progress(int /*pages_sent*/) {}
    // A page was confirmed written by the box ("F"): pages_written of them so far.
    virtual void page_written(int /*pages_written*/) {}
    virtual void pump() {}
    virtual bool stop_requested() { return false; }
    // Whether a stop that came during the handshake ends the update before the first page is sent. The
    // window's Stop is looked at after each page only; a terminal's Ctrl+C means "send nothing more".
    virtual bool stop_before_first_page() const { return false; }
};

// Programs the image, which stands at offset 0, into the box on an open channel. The identity block
// read from the image is left in identity. The channel and the image stay open for the caller, who may
// have done its own work since the port opened: it counts towards the first pause.
Outcome program(SerialChannel& channel, bin_image::Reader& image, Identity& identity, Observer& observer);

} // namespace bootloader
