#pragma once

#include <QByteArray>
#include <QString>

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

// A Velantor KDR7 box in software, on the far end of a pseudo-terminal: its bootloader judges the identity
// block, checks every line, decrypts line 0 and writes each page into a simulated flash memory; its
// satellite store keeps 99 entries and answers table reads and writes. Faults can be injected at every
// step, so that the tool's handling of a misbehaving box can be seen for real.
class VirtualBox
{
public:
    // The box's own identity, against which an image is judged.
    struct Model
    {
        std::uint8_t model_id = 0x00;
        std::uint8_t mcu_id = 0x01;
        // The oldest build accepted, as year offset, month, day (as in the identity block).
        int min_year_offset = 0;
        int min_month = 0;
        int min_day = 0;
    };

    enum class Step
    {
        Prepared,
        GoAhead,
        Verdict,
        Line,
        Page,
        Finish,
        SatAnswer, // the answer to a table read or write request
        SatRecord, // a record frame sent to the tool (WrongByte replaces its marker)
        SatAck,    // the acknowledge of a record written by the tool
    };

    struct Fault
    {
        enum Kind
        {
            Silent,    // no answer
            WrongByte, // answer byte instead
            Slow,      // answer after delay_ms
            Close,     // the line is closed instead of answering
        };
        Step step;
        Kind kind;
        unsigned char byte = 0;
        int delay_ms = 0;
        int page = 0; // for Line and Page: which page (counting from 0) and line
        int line = 0;
        int times = -1; // how many answers it affects; -1 = all
        int entry = 0;  // for SatRecord and SatAck: which entry (1 to 99); 0 = every one
    };

    // A satellite entry as the box stores it: the record as it sends it (Position high byte first).
    using SatelliteRecord = std::array<std::uint8_t, 21>;
    static constexpr int satellite_entries = 99;
    static constexpr int satellite_frame_size = 23; // "L", the entry, the 21-byte record

    // One unit of the exchange as the box saw it: a command or block from the tool, or a reply.
    struct Event
    {
        bool from_tool;
        QByteArray bytes;
        bool operator==(const Event& o) const { return from_tool == o.from_tool && bytes == o.bytes; }
    };

    // A fault as written on the command line: "STEP:KIND[:ARG][@PAGE[.LINE]][xTIMES]", for example
    // "line:silent@0.3", "verdict:byte=0x42", "page:slow=300", "line:byte=0x35@1.0x2", "finish:close",
    // "satrecord:byte=0x4D@5" (for the satellite steps the number after @ is the entry, 1 to 99).
    // Steps: prepared, goahead, verdict, line, page, finish, satanswer, satrecord, satack.
    // Kinds: silent, byte=N, slow=MS, close.
    static bool parse_fault(const QString& text, Fault& fault);

    // How the tool reaches the box: a pseudo-terminal, at the line's real pace, or a direct call per write
    // (for driving the tool with its sleeps replaced, where time is not what is looked at).
    enum class Wire
    {
        Pty,
        Direct,
    };

    VirtualBox();
    explicit VirtualBox(const Model& model, Wire wire = Wire::Pty);
    // On a terminal device that already exists (the far end of a USB serial adapter's gadget, say), set raw:
    // the tool opens the line's other end. ok() is false when the device cannot be opened as a terminal.
    VirtualBox(const Model& model, const QString& device);
    ~VirtualBox();
    VirtualBox(const VirtualBox&) = delete;
    VirtualBox& operator=(const VirtualBox&) = delete;

    // False when no pseudo-terminal could be made, or the device not opened.
    bool ok() const { return master >= 0 || direct; }
    QString device() const { return path; }
    // Why the device could not be opened (empty otherwise).
    QString failure() const { return open_failure; }

    void add_fault(const Fault& fault);
    // Bytes sent before the "1" of the go-ahead (the tool must drop them).
    void set_go_ahead_noise(const QByteArray& noise);

    std::vector<Event> transcript() const;
    std::array<std::uint8_t, 0x10000> flash() const;
    int pages_written() const;
    // Lines whose checksum did not hold when they arrived.
    int damaged_lines() const;

    SatelliteRecord satellite(int entry) const;
    void set_satellite(int entry, const SatelliteRecord& record);

    // The line closes, as when the cable is pulled.
    void unplug();

    // The direct wire: the tool opened its end, wrote bytes (the box's answers to them come back), let go.
    // Once the box has closed the line (a "close" fault) nothing more comes back, as on a line whose far
    // end is gone but whose adapter stays.
    void direct_open();
    QByteArray direct_write(const char* bytes, int count);
    void direct_close();
    bool line_held() const { return held; }

private:
    void serve();
    // The device's end of the line, set raw; false when it cannot be opened or is no terminal.
    bool open_device();
    // A device that hung up (its adapter unplugged) is opened again once it is back, as a box on its cable
    // outlives the adapter at the PC's end.
    void reopen_device();
    // Consumes the tool's bytes unit by unit and answers each as the box does, in the state it is in.
    void take(const std::uint8_t* bytes, int count);
    // One unit in the current state; false when it has not fully arrived yet.
    bool take_unit();
    bool take_command();
    bool take_read_request();
    bool take_record_frame();
    bool take_identity();
    bool take_header();
    bool take_line();
    // The next size bytes, logged; empty while fewer have arrived.
    QByteArray next_unit(int size);
    // A tool that gave up a read or write halfway starts anew with a command; the box follows it.
    bool restarts_exchange() const;
    // The tool closed the line: whatever exchange was under way is over.
    void line_closed();
    // Sends the answer of a step as a fault for it may change it; false when a fault replaced it (or the
    // line closed): the tool did not hear it.
    bool answer(Step step, QByteArray bytes);
    bool reply(Step step, unsigned char byte);
    void transmit(const QByteArray& bytes);
    // A copy: add_fault() may move the list while the worker answers.
    std::optional<Fault> fault_for(Step step);
    void log(bool from_tool, const QByteArray& bytes);
    unsigned char judge(const std::uint8_t* identity) const;
    void store_page();

    enum class State
    {
        Idle,
        Prepared,
        Identity,
        Paging,
        Header,
        Lines,
        SatReading,
        SatWriting,
    };
    void send_satellite_frame();
    // Stores a well-formed frame ("L", entry 1..99, the record); false, storing nothing, otherwise.
    bool take_satellite_frame(const QByteArray& frame);

    Model model;
    bool direct = false;
    bool on_device = false;
    bool device_lost = false; // worker only
    QString open_failure;
    QByteArray outgoing; // the direct wire's answers, until the write that caused them returns
    bool cut = false;
    bool held = false;
    int master = -1;
    int keep_slave = -1;
    QString path;
    std::thread worker;
    std::atomic<bool> running{false};

    mutable std::mutex lock; // guards everything below
    std::vector<Fault> faults;
    QByteArray go_ahead_noise;
    std::vector<Event> events;
    std::array<std::uint8_t, 0x10000> memory;
    int written = 0;
    int damaged = 0;
    std::array<SatelliteRecord, satellite_entries> satellites{};

    // Protocol state; only the worker thread touches it.
    State state = State::Idle;
    QByteArray pending;
    std::array<std::uint8_t, 546> page{};
    int page_index = -1;
    int line_index = 0;
    int sat_entry = 0;
};
