// The serial channel against a pseudo-terminal: real bytes, the real QSerialPort underneath.
#include "PtyBox.h"
#include "serial/Deadline.h"
#include "serial/PortNames.h"
#include "serial/ReplyWait.h"
#include "serial/SerialChannel.h"
#include "serial/Trace.h"
#include "serial/WindowsPorts.h"

#include <QElapsedTimer>
#include <QSerialPort>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <optional>
#include <thread>
#include <unistd.h>
#include <vector>

class tst_serial : public QObject
{
    Q_OBJECT

private slots:
    void init() { isolate_ports(); }

    void port_names_map_data();
    void port_names_map();
    void windows_ports_by_their_place_in_the_device_tree_data();
    void windows_ports_by_their_place_in_the_device_tree();

    void open_fails_without_device_data();
    void open_fails_without_device();
    void open_fails_on_busy_port();
    void open_applies_line_settings();
    void reopen_after_destruction_and_release();

    void read_with_nothing_arrived_returns_at_once();
    void read_delivers_what_arrived_and_keeps_the_rest();
    void read_waits_for_close_following_bytes();
    void read_stops_at_a_gap_longer_than_the_timeout();
    void nothing_waiting_sees_arrived_bytes();
    void write_has_transmitted_when_it_returns();
    void a_pause_after_a_write_counts_from_its_last_byte_data();
    void a_pause_after_a_write_counts_from_its_last_byte();
    void low_latency_refused_is_left_alone();
    void unplugged_device_is_an_error_and_never_blocks();
    void a_call_that_never_returns_is_cut_at_its_deadline();
    void a_worker_stuck_past_its_deadline_is_cut_data();
    void a_worker_stuck_past_its_deadline_is_cut();
    void a_pause_is_never_short_data();
    void a_pause_is_never_short();
};

void tst_serial::port_names_map_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("variable"); // "-" = unset
    QTest::addColumn<QString>("device");

    QTest::newRow("COM1 default") << "COM1" << QByteArray("-") << "/dev/ttyS0";
    QTest::newRow("COM4 default") << "COM4" << QByteArray("-") << "/dev/ttyS3";
    QTest::newRow("COM5 default") << "COM5" << QByteArray("-") << "/dev/ttyUSB0";
    QTest::newRow("COM10 default") << "COM10" << QByteArray("-") << "/dev/ttyUSB5";
    QTest::newRow("COM11 default") << "COM11" << QByteArray("-") << "/dev/ttyACM0";
    QTest::newRow("COM15 default") << "COM15" << QByteArray("-") << "/dev/ttyACM4";
    QTest::newRow("variable wins") << "COM3" << QByteArray("/dev/pts/4") << "/dev/pts/4";
    QTest::newRow("set but empty") << "COM3" << QByteArray("") << "";
    QTest::newRow("COM0") << "COM0" << QByteArray("-") << "";
    QTest::newRow("COM16") << "COM16" << QByteArray("-") << "";
    QTest::newRow("lower case") << "com3" << QByteArray("-") << "";
    QTest::newRow("leading zero") << "COM03" << QByteArray("-") << "";
    QTest::newRow("device path") << "/dev/serial/by-id/usb-FTDI" << QByteArray("-")
                                 << "/dev/serial/by-id/usb-FTDI";
    QTest::newRow("relative path") << "ttyS0" << QByteArray("-") << "";
}

void tst_serial::port_names_map()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, variable);
    QFETCH(QString, device);
    for (int n = 1; n <= port_names::port_count; ++n)
        qunsetenv(QByteArray("KDR7_COM") + QByteArray::number(n));
    if (variable != "-")
        qputenv("KDR7_COM3", variable);
    QCOMPARE(port_names::device_for(name), device);
    QCOMPARE(port_names::all().size(), 15);
    QCOMPARE(port_names::all().first(), QStringLiteral("COM1"));
    QCOMPARE(port_names::all().last(), QStringLiteral("COM15"));
}

// SetupAPI's strings as Windows gives them for each kind of port: which one a watch takes unasked, and the
// serial number it records (the one Linux reads from the USB device).
void tst_serial::windows_ports_by_their_place_in_the_device_tree_data()
{
    QTest::addColumn<QString>("hardware_id");
    QTest::addColumn<QString>("device_class");
    QTest::addColumn<QString>("instances"); // the port's instance id, then its parents', "|" between
    QTest::addColumn<bool>("taken");
    QTest::addColumn<QString>("serial");
    const QString hub = QStringLiteral("|USB\\ROOT_HUB30\\4&2B5E7F1&0&0");
    QTest::newRow("FTDI: the channel letter dropped")
        << "FTDIBUS\\COMPORT&VID_0403&PID_6001"
        << "Ports"
        << "FTDIBUS\\VID_0403+PID_6001+A50285BIA\\0000|USB\\VID_0403&PID_6001\\A50285BI" + hub << true
        << "A50285BI";
    QTest::newRow("FTDI FT4232, channel D of a composite device")
        << "FTDIBUS\\COMPORT&VID_0403&PID_6011"
        << "Ports"
        << "FTDIBUS\\VID_0403+PID_6011+FT7QH2K3D\\0000|USB\\VID_0403&PID_6011&MI_03\\7&1F&0&0003|"
           "USB\\VID_0403&PID_6011\\FT7QH2K3"
        << true << "FT7QH2K3";
    QTest::newRow("FTDI: a letter beyond D is the adapter's own")
        << "FTDIBUS\\COMPORT&VID_0403&PID_6001"
        << "Ports"
        << "FTDIBUS\\VID_0403+PID_6001+A50285BIE\\0000|USB\\VID_0403&PID_6001\\A50285BI" + hub << true
        << "A50285BIE";
    QTest::newRow("FTDI: a serial not the USB device's plus one letter stays")
        << "FTDIBUS\\COMPORT&VID_0403&PID_6001"
        << "Ports"
        << "FTDIBUS\\VID_0403+PID_6001+KDR7A\\0000|USB\\VID_0403&PID_6001\\KDR7BENCH" + hub << true
        << "KDR7A";
    QTest::newRow("CP210x on USB") << "USB\\VID_10C4&PID_EA60&REV_0100"
                                   << "Ports"
                                   << "USB\\VID_10C4&PID_EA60\\0001" + hub << true << "0001";
    QTest::newRow("cdc-acm interface of a composite device")
        << "USB\\VID_2341&PID_8036&REV_0100&MI_00"
        << "Ports"
        << "USB\\VID_2341&PID_8036&MI_00\\6&3A2C&0&0000|USB\\VID_2341&PID_8036\\KDR7BENCH01" + hub << true
        << "KDR7BENCH01";
    QTest::newRow("CH340 without a serial: never the hub's")
        << "USB\\VID_1A86&PID_7523&REV_0264"
        << "Ports"
        << "USB\\VID_1A86&PID_7523\\5&1D9C&0&3" + hub << true << "";
    QTest::newRow("Intel AMT serial over LAN")
        << "PCI\\VEN_8086&DEV_A13D&SUBSYS_06E41028&REV_31"
        << "Ports"
        << "PCI\\VEN_8086&DEV_A13D&SUBSYS_06E41028&REV_31\\3&11583659&0&B3" << false << "";
    QTest::newRow("PCIe serial card with a VID in its name") << "MF\\PCI9X_COM&VID_1415&DEV_C158"
                                                             << "Ports"
                                                             << "MF\\PCI9X_COM\\4&2&0" << false << "";
    QTest::newRow("on-board port") << "ACPI\\PNP0501"
                                   << "Ports"
                                   << "ACPI\\PNP0501\\1" << false << "";
    QTest::newRow("Bluetooth serial port")
        << "BTHENUM\\{00001101-0000-1000-8000-00805F9B34FB}_VID&0001005D_PID&0223"
        << "Ports"
        << "BTHENUM\\{00001101-0000-1000-8000-00805F9B34FB}_LOCALMFG&0000\\7&1&0&000000000000_00000000"
        << false << "";
    QTest::newRow("WWAN modem on USB")
        << "USB\\VID_1199&PID_9071&REV_0006&MI_03"
        << "Modem"
        << "USB\\VID_1199&PID_9071&MI_03\\6&1&0&0003|USB\\VID_1199&PID_9071\\0" + hub << false << "0";
    QTest::newRow("a USB id without a vendor") << "USB\\CLASS_02"
                                               << "Ports"
                                               << "USB\\CLASS_02\\5&2A&0&1" << false << "";
}

void tst_serial::windows_ports_by_their_place_in_the_device_tree()
{
    QFETCH(QString, hardware_id);
    QFETCH(QString, device_class);
    QFETCH(QString, instances);
    QFETCH(bool, taken);
    QFETCH(QString, serial);
    windows_ports::Device device{QStringLiteral("COM23"), hardware_id, device_class,
                                 instances.split(QLatin1Char('|'))};
    QCOMPARE(windows_ports::is_usb_adapter(device), taken);
    QCOMPARE(windows_ports::adapter_serial(device), serial);
}

void tst_serial::open_fails_without_device_data()
{
    QTest::addColumn<QString>("device");
    QTest::newRow("no device for the name") << QString();
    QTest::newRow("missing file") << QStringLiteral("/dev/kdr7-no-such-tty");
    QTest::newRow("not a terminal") << QStringLiteral("/dev/null");
    QTest::newRow("a directory") << QStringLiteral("/dev");
}

void tst_serial::open_fails_without_device()
{
    QFETCH(QString, device);
    set_port(2, device);
    auto* channel = new SerialChannel();
    QVERIFY(channel->open(QStringLiteral("COM2")));
    QVERIFY(channel->nothing_waiting());
    char byte = 'x';
    QVERIFY(channel->read(&byte, 1));
    QCOMPARE(byte, 'x');
    QCOMPARE(channel->write("E", 1), -1);
    delete channel;
}

void tst_serial::open_fails_on_busy_port()
{
    PtyBox box;
    QVERIFY(box.ok());
    set_port(1, box.device());
    QSerialPort other; // another program holding the port
    other.setPortName(box.device());
    QVERIFY(other.open(QIODevice::ReadWrite));

    SerialChannel channel;
    QVERIFY(channel.open(QStringLiteral("COM1")));
    other.close();
    channel.release_port();
    QVERIFY(!channel.open(QStringLiteral("COM1")));
}

void tst_serial::open_applies_line_settings()
{
    PtyBox box;
    set_port(7, box.device());
    SerialChannel channel;
    QVERIFY(!channel.open(QStringLiteral("COM7")));
    const PtyBox::LineSettings line = box.line_settings();
    QCOMPARE(line.baud, 57600);
    QCOMPARE(line.data_bits, 8);
    QVERIFY(!line.parity);
    QVERIFY(!line.two_stop_bits);
    QVERIFY(!line.hardware_flow);
    QVERIFY(!line.software_flow);
}

void tst_serial::reopen_after_destruction_and_release()
{
    PtyBox box;
    set_port(15, box.device());
    auto* first = new SerialChannel();
    QVERIFY(!first->open(QStringLiteral("COM15")));
    delete first; // closes the device and its lock

    SerialChannel second;
    QVERIFY(!second.open(QStringLiteral("COM15")));
    second.release_port();
    QVERIFY(second.nothing_waiting());
    QVERIFY(!second.open(QStringLiteral("COM15")));
    // The fresh port object really talks to the device.
    QCOMPARE(second.write("Q", 1), 1);
    QCOMPARE(box.receive(1, 1000), QByteArray("Q"));
    QVERIFY(box.send("R"));
    char byte = 0;
    QTRY_VERIFY(!second.nothing_waiting());
    QVERIFY(!second.read(&byte, 1));
    QCOMPARE(byte, 'R');
}

void tst_serial::read_with_nothing_arrived_returns_at_once()
{
    PtyBox box;
    set_port(1, box.device());
    SerialChannel channel;
    QVERIFY(!channel.open(QStringLiteral("COM1")));
    char buffer[4] = {'a', 'b', 'c', 'd'};
    QElapsedTimer clock;
    clock.start();
    QVERIFY(!channel.read(buffer, 4));
    // Far below the 4 x 20 ms a waiting read would take.
    QVERIFY2(clock.elapsed() < 40, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(QByteArray(buffer, 4), QByteArray("abcd"));
}

void tst_serial::read_delivers_what_arrived_and_keeps_the_rest()
{
    PtyBox box;
    set_port(1, box.device());
    SerialChannel channel;
    QVERIFY(!channel.open(QStringLiteral("COM1")));
    QVERIFY(box.send("HELLO"));
    QTRY_VERIFY(!channel.nothing_waiting());
    char buffer[8] = {};
    QVERIFY(!channel.read(buffer, 2));
    QCOMPARE(QByteArray(buffer, 2), QByteArray("HE"));
    QVERIFY(!channel.nothing_waiting());
    for (char expected : QByteArray("LLO")) {
        char byte = 0;
        QVERIFY(!channel.read(&byte, 1));
        QCOMPARE(byte, expected);
    }
    QVERIFY(channel.nothing_waiting());
}

void tst_serial::read_waits_for_close_following_bytes()
{
    PtyBox box;
    set_port(1, box.device());
    SerialChannel channel;
    QVERIFY(!channel.open(QStringLiteral("COM1")));
    QVERIFY(box.send("A"));
    QTRY_VERIFY(!channel.nothing_waiting());
    std::thread sender([&box] {
        for (const char* b : {"B", "C", "D"}) {
            QThread::msleep(5);
            box.send(b);
        }
    });
    char buffer[4] = {};
    QVERIFY(!channel.read(buffer, 4));
    sender.join();
    QCOMPARE(QByteArray(buffer, 4), QByteArray("ABCD"));
}

void tst_serial::read_stops_at_a_gap_longer_than_the_timeout()
{
    PtyBox box;
    set_port(1, box.device());
    SerialChannel channel;
    QVERIFY(!channel.open(QStringLiteral("COM1")));
    QVERIFY(box.send("A"));
    QTRY_VERIFY(!channel.nothing_waiting());
    std::thread sender([&box] {
        QThread::msleep(80);
        box.send("B");
    });
    char buffer[2] = {'-', '-'};
    QElapsedTimer clock;
    clock.start();
    QVERIFY(!channel.read(buffer, 2));
    const qint64 waited = clock.elapsed();
    sender.join();
    QCOMPARE(QByteArray(buffer, 2), QByteArray("A-"));
    QVERIFY2(waited < 70, qPrintable(QString::number(waited)));
    // The late byte is not lost: it is the next one read.
    QTRY_VERIFY(!channel.nothing_waiting());
    QVERIFY(!channel.read(buffer, 1));
    QCOMPARE(buffer[0], 'B');
}

void tst_serial::nothing_waiting_sees_arrived_bytes()
{
    PtyBox box;
    set_port(1, box.device());
    SerialChannel channel;
    QVERIFY(!channel.open(QStringLiteral("COM1")));
    QVERIFY(channel.nothing_waiting());
    QVERIFY(box.send("0"));
    // No event loop runs: the channel must look at the device itself.
    bool seen = false;
    for (int i = 0; i < 100 && !seen; ++i) {
        seen = !channel.nothing_waiting();
        if (!seen)
            QThread::msleep(10);
    }
    QVERIFY(seen);
    QVERIFY(!channel.nothing_waiting()); // asking twice does not consume it
    char byte = 0;
    QVERIFY(!channel.read(&byte, 1));
    QCOMPARE(byte, '0');
    QVERIFY(channel.nothing_waiting());
}

void tst_serial::write_has_transmitted_when_it_returns()
{
    PtyBox box;
    set_port(1, box.device());
    SerialChannel channel;
    QVERIFY(!channel.open(QStringLiteral("COM1")));
    QCOMPARE(channel.write("E", 1), 1);
    QCOMPARE(box.receive(1, 0), QByteArray("E"));

    QByteArray line(17, '\0');
    for (int i = 0; i < line.size(); ++i)
        line[i] = char(0xF0 + i);
    QCOMPARE(channel.write(line.constData(), int(line.size())), 17);
    QCOMPARE(box.receive(17, 0), line);
}

void tst_serial::a_pause_after_a_write_counts_from_its_last_byte_data()
{
    QTest::addColumn<int>("count");
    QTest::addColumn<int>("pause_ms");
    QTest::addColumn<bool>("reply_wait"); // a wait for the box's answer, which sends nothing when it ends
    QTest::newRow("a satellite byte and its 1 ms") << 1 << 1 << false;
    QTest::newRow("a page line and 20 ms") << 17 << 20 << false;
    QTest::newRow("a whole record frame") << 23 << 2 << false;
    QTest::newRow("a reply wait after a record frame: from the wait's start") << 23 << 10 << true;
}

// Once the driver has let go of a write, the adapter or the UART still sends its bytes for up to their wire
// time (10 bits a byte at 57600 baud): the pause after a write counts from then, so the box never sees a gap
// shorter than the pause. A pseudo-terminal lets go at once, so the wire time is all there is to see here.
void tst_serial::a_pause_after_a_write_counts_from_its_last_byte()
{
    QFETCH(int, count);
    QFETCH(int, pause_ms);
    QFETCH(bool, reply_wait);
    using namespace std::chrono;
    // Never shorter than the line's own time: count x 10 bits / 57600 bit/s.
    const nanoseconds wire = SerialChannel::wire_time(count);
    QVERIFY2(double(wire.count()) >= count * 1e10 / 57600 &&
                 double(wire.count()) < count * 1e10 / 57600 + count,
             qPrintable(QString::number(wire.count())));
    PtyBox box;
    set_port(1, box.device());
    SerialChannel channel;
    QVERIFY(!channel.open(QStringLiteral("COM1")));
    const QByteArray bytes(count, 'K');
    nanoseconds shortest = nanoseconds::max();
    for (int i = 0; i < 20; ++i) {
        const auto start = steady_clock::now();
        QCOMPARE(channel.write(bytes.constData(), count), count);
        if (reply_wait)
            QVERIFY(!wait_for_byte(channel, {WaitSchedule::SleepThenPoll, pause_ms, 1}, true));
        else
            sleep_ms(pause_ms);
        shortest = std::min(shortest, duration_cast<nanoseconds>(steady_clock::now() - start));
        QCOMPARE(box.receive(count, 0), bytes);
    }
    const QString took = QStringLiteral("%1 ns").arg(shortest.count());
    if (reply_wait) // the fastest of the tries, well short of a wait that counted the line's time too
        QVERIFY2(shortest >= milliseconds(pause_ms) && shortest < milliseconds(pause_ms) + wire / 2,
                 qPrintable(took));
    else
        QVERIFY2(shortest >= wire + milliseconds(pause_ms), qPrintable(took));
}

// A pseudo-terminal has no serial settings: the channel notes that it could not ask for low latency and works
// as before.
void tst_serial::low_latency_refused_is_left_alone()
{
    PtyBox box;
    set_port(1, box.device());
    QTemporaryDir dir;
    Trace trace;
    QVERIFY(trace.open(dir.filePath(QStringLiteral("t.trace"))));
    {
        SerialChannel channel;
        channel.set_trace(&trace);
        QVERIFY(!channel.open(QStringLiteral("COM1")));
        QCOMPARE(channel.write("E", 1), 1);
        QCOMPARE(box.receive(1, 0), QByteArray("E"));
    }
    QFile text(dir.filePath(QStringLiteral("t.trace")));
    QVERIFY(text.open(QIODevice::ReadOnly));
    const QByteArray lines = text.readAll();
    QVERIFY2(lines.contains("# low latency not set: the driver has no serial settings ("), lines.constData());
    QVERIFY2(!lines.contains("low latency set"), lines.constData());
}

void tst_serial::unplugged_device_is_an_error_and_never_blocks()
{
    PtyBox box;
    set_port(1, box.device());
    SerialChannel channel;
    QVERIFY(!channel.open(QStringLiteral("COM1")));
    QVERIFY(box.send("A"));
    QTRY_VERIFY(!channel.nothing_waiting());
    char byte = 0;
    QVERIFY(!channel.read(&byte, 1));
    box.unplug();

    QElapsedTimer clock;
    clock.start();
    QVERIFY(channel.nothing_waiting());
    byte = 'z';
    QVERIFY(channel.read(&byte, 1));
    QCOMPARE(byte, 'z');
    QCOMPARE(channel.write("D", 1), -1);
    QVERIFY2(clock.elapsed() < 200, qPrintable(QString::number(clock.elapsed())));
}

// A port's last close can block in a USB driver for 30 s, and a pty cannot be made to block it: the same
// deadline is put on a read of a pipe that nothing is ever written to.
void tst_serial::a_call_that_never_returns_is_cut_at_its_deadline()
{
    int pipe_ends[2];
    QCOMPARE(::pipe(pipe_ends), 0);
    QElapsedTimer clock;
    clock.start();
    char byte = 0;
    QVERIFY(!call_within(QDeadlineTimer(200), [&] { return ::read(pipe_ends[0], &byte, 1) == 1 ? 0 : -1; }));
    QVERIFY2(clock.elapsed() >= 190 && clock.elapsed() < 3000, qPrintable(QString::number(clock.elapsed())));
    // A call that succeeds in time says so, and the thread's later calls are not interrupted.
    QCOMPARE(::write(pipe_ends[1], "x", 1), 1);
    QVERIFY(call_within(QDeadlineTimer(200), [&] { return ::read(pipe_ends[0], &byte, 1) == 1 ? 0 : -1; }));
    QThread::msleep(300);
    QCOMPARE(::write(pipe_ends[1], "y", 1), 1);
    QCOMPARE(::read(pipe_ends[0], &byte, 1), 1);
    QCOMPARE(byte, 'y');
    ::close(pipe_ends[0]);
    ::close(pipe_ends[1]);
}

void tst_serial::a_worker_stuck_past_its_deadline_is_cut_data()
{
    QTest::addColumn<int>("late_ms"); // how long past the deadline the worker comes to the blocking call
    QTest::newRow("blocked before its deadline") << 0;
    // As a thread preempted between the deadline's arming and its close: the first signal finds it busy.
    QTest::newRow("off the CPU when the deadline passed") << 30;
}

// In a rack the stuck close is one worker's among other running threads: the deadline's signal must reach
// that worker, and reach it again if the first one came before it blocked.
void tst_serial::a_worker_stuck_past_its_deadline_is_cut()
{
    QFETCH(int, late_ms);
    int pipe_ends[2];
    QCOMPARE(::pipe(pipe_ends), 0);
    // Other threads come and go; this one keeps running (below), so that a signal sent to the process is
    // taken here rather than by the blocked worker (the kernel gives it to a thread that is running).
    std::atomic<bool> stop_others{false};
    std::vector<std::thread> others;
    for (int i = 0; i < 2; ++i)
        others.emplace_back([&] {
            while (!stop_others)
                QThread::usleep(200);
        });
    constexpr int deadline_ms = 100;
    std::atomic<int> result{-1};
    std::atomic<qint64> took_ms{0};
    std::thread worker([&] {
        QElapsedTimer clock;
        clock.start();
        const bool in_time = call_within(QDeadlineTimer(deadline_ms), [&] {
            while (clock.elapsed() < deadline_ms + late_ms) {
            }
            char byte = 0;
            return ::read(pipe_ends[0], &byte, 1) == 1 ? 0 : -1;
        });
        took_ms = clock.elapsed();
        result = in_time ? 1 : 0;
    });
    QElapsedTimer waited;
    waited.start();
    while (result < 0 && waited.elapsed() < 3000) {
    }
    // A worker that was never cut is let go, so that the test ends either way.
    if (result < 0)
        QCOMPARE(::write(pipe_ends[1], "x", 1), 1);
    worker.join();
    stop_others = true;
    for (std::thread& t : others)
        t.join();
    ::close(pipe_ends[0]);
    ::close(pipe_ends[1]);
    QCOMPARE(result.load(), 0);
    QVERIFY2(took_ms >= deadline_ms && took_ms < deadline_ms + late_ms + 1000,
             qPrintable(QString::number(took_ms)));
}

void tst_serial::a_pause_is_never_short_data()
{
    QTest::addColumn<bool>("kept_alive");
    QTest::newRow("plain") << false;
    QTest::newRow("with a keeper running in the pauses") << true;
}

// The bootloader takes the pauses for their full length: one that ends early, however rarely and however
// little, is a fault. Every pause is a lower bound alone, which no load can break (it only lengthens them).
void tst_serial::a_pause_is_never_short()
{
    QFETCH(bool, kept_alive);
    int kept = 0;
    std::optional<KeepAlive> answering;
    if (kept_alive)
        answering.emplace([&] { ++kept; });
    using namespace std::chrono;
    nanoseconds shortest = nanoseconds::max();
    for (int i = 0; i < 200; ++i) {
        const auto start = steady_clock::now();
        sleep_ms(1);
        shortest = std::min(shortest, duration_cast<nanoseconds>(steady_clock::now() - start));
    }
    QVERIFY2(shortest >= milliseconds(1), qPrintable(QStringLiteral("%1 ns").arg(shortest.count())));
    QCOMPARE(kept > 0, kept_alive);
}

QTEST_GUILESS_MAIN(tst_serial)
#include "tst_serial.moc"
