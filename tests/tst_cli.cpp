// zorvane-cli as a person or a script runs it: a child process, against the virtual box on a pty.
#include "BoxChecks.h"
#include "DialogAnswerer.h"
#include "Fixtures.h"
#include "PtyBox.h"
#include "VirtualBox.h"
#include "app/zorvane.h"
#include "cli/ConsoleEvents.h"
#include "station/FolderNotice.h"
#include "station/ProductionLog.h"
#include "station/Watch.h"

#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSerialPort>

#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <chrono>
#include <csignal>
#include <optional>
#include <sys/resource.h>
#include <thread>

#include <csignal>

#include <fcntl.h>
#include <pty.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

using fixtures::s1_line;

namespace {

const Identity& kdr7 = fixtures::kdr7_identity;

struct Run
{
    int status;
    QByteArray out;
    QByteArray err;
};

Run cli(const QStringList& arguments, int timeout_ms = 120000)
{
    QProcess p;
    p.start(QStringLiteral(ZORVANE_CLI), arguments);
    if (!p.waitForFinished(timeout_ms))
        qFatal("zorvane-cli did not end");
    return Run{p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1, p.readAllStandardOutput(),
               p.readAllStandardError()};
}

// The production log's records, each line parsed; a line that is no JSON object fails the test.
QList<QJsonObject> log_records(const QString& path)
{
    QList<QJsonObject> records;
    for (const QByteArray& line : fixtures::read_file(path).split('\n')) {
        if (line.isEmpty())
            continue;
        QJsonParseError error{};
        const QJsonDocument document = QJsonDocument::fromJson(line, &error);
        if (error.error != QJsonParseError::NoError || !document.isObject())
            qFatal("not a JSON record: %s", line.constData());
        records << document.object();
    }
    return records;
}

QString sha256_of(const QString& path)
{
    return QString::fromLatin1(
        QCryptographicHash::hash(fixtures::read_file(path), QCryptographicHash::Sha256).toHex());
}

std::vector<fixtures::Page> pages(int count)
{
    std::vector<fixtures::Page> list;
    for (int i = 0; i < count; ++i)
        list.push_back(fixtures::page_at(0x8000 + 0x200 * i, std::uint32_t(i + 1)));
    return list;
}

} // namespace

class tst_cli : public QObject
{
    Q_OBJECT

private slots:
    void init() { isolate_ports(); }

    void help_and_usage();
    void pack_writes_what_the_window_writes();
    void pack_refusals_data();
    void pack_refusals();
    void info_on_good_and_damaged_images();
    void text_is_utf8_wherever_it_goes_data();
    void text_is_utf8_wherever_it_goes();
    void flash_programs_the_box();
    void flash_failures_data();
    void flash_failures();
    void ctrl_c_stops_data();
    void ctrl_c_stops();
    void console_events_stop_the_job_data();
    void console_events_stop_the_job();
    void satellite_table_both_ways();
    void ports_tell_what_opens();
    void sat_check_warns_where_cells_change();
    void names_of_every_byte_come_back();
    void trace_agrees_with_the_box();
    void rack_of_four_with_one_failing();
    void rack_ends_on_ctrl_c_within_a_bound();
    void watch_flashes_each_plug();
    void watch_ends_on_ctrl_c_after_the_boxes_in_progress();
    void watch_keeps_one_box_per_device();
    void folder_notice_wakes_on_the_path_data();
    void folder_notice_wakes_on_the_path();
    void production_log_holds_whole_records();
    void adapter_serial_is_the_usb_devices_data();
    void adapter_serial_is_the_usb_devices();
    void stop_signals_end_a_job_as_ctrl_c_does_data();
    void stop_signals_end_a_job_as_ctrl_c_does();
    void a_second_stop_signal_ends_at_once_data();
    void a_second_stop_signal_ends_at_once();
    void an_image_rewritten_mid_flash_is_no_update_data();
    void an_image_rewritten_mid_flash_is_no_update();
    void a_rotated_log_keeps_every_record_data();
    void a_rotated_log_keeps_every_record();
    void a_lost_trace_is_said_beside_the_outcome_data();
    void a_lost_trace_is_said_beside_the_outcome();
    void a_late_doubled_reply_slows_no_later_write();
    void a_box_is_unplugged_only_when_its_node_goes();
    void a_node_is_told_by_how_it_was_made_data();
    void a_node_is_told_by_how_it_was_made();
    void unpack_refuses_a_damaged_image_data();
    void unpack_refuses_a_damaged_image();
    void endless_inputs_data();
    void endless_inputs();

private:
    QTemporaryDir dir;
};

void tst_cli::help_and_usage()
{
    QCOMPARE(cli({}).status, 2);
    const Run help = cli({"--help"});
    QCOMPARE(help.status, 0);
    for (const char* command : {"pack", "info", "flash", "sat-read", "sat-write", "ports"}) {
        QVERIFY2(help.out.contains(command), command);
        const Run sub = cli({command, "--help"});
        QCOMPARE(sub.status, 0);
        QVERIFY2(sub.out.contains("Exit status"), command);
        // Named as it is typed, not by the program's path.
        QVERIFY2(sub.out.startsWith("Usage: zorvane-cli " + QByteArray(command) + " [options]"),
                 sub.out.constData());
    }
    QCOMPARE(cli({"frobnicate"}).status, 2);
    QCOMPARE(cli({"pack", "only-one.s19"}).status, 2);
    QCOMPARE(cli({"flash", "x.bin"}).status, 2); // no --port
    QCOMPARE(cli({"flash", "--port", "COM16", dir.filePath("x.bin")}).status, 3);
    // Outside Windows a port is COM1 to COM15 or a device path, nothing else.
    const QString image = dir.filePath(QStringLiteral("usage.bin"));
    QVERIFY(fixtures::write_file(image, fixtures::image(kdr7, pages(1))));
    for (const char* port : {"COM16", "COM0", "ttyUSB0", "/"}) {
        const Run run = cli({"flash", "--port", port, image});
        QCOMPARE(run.status, 2);
        QVERIFY2(run.err.contains("No such port"), port);
    }
    // The watch's options go with --watch alone, and it finds its ports itself.
    const QStringList misuses[] = {{"flash", dir.path(), image},
                                   {"flash", "--count", "2", "--port", "COM1", image},
                                   {"flash", "--watch", "--port", "COM1", image},
                                   {"flash", "--watch", "--trace", "t", image},
                                   {"flash", "--watch", "--count", "0", dir.path(), image},
                                   {"flash", "--watch", image, image}}; // there, and no folder
    for (const QStringList& misuse : misuses)
        QVERIFY2(cli(misuse).status == 2, qPrintable(misuse.join(' ')));
}

void tst_cli::pack_writes_what_the_window_writes()
{
    QByteArray text = s1_line(0x3100, fixtures::kdr7_identity_bytes) + "\r\n";
    for (int a = 0x8000; a < 0x8800; a += 32)
        text += s1_line(a, QByteArray(32, char(a >> 4))) + "\r\n";
    text += s1_line(0xFFFE, QByteArray("\x80\x00", 2)) + "\r\n" + s1_line(0x8100, "again");
    const QString s19 = dir.filePath(QStringLiteral("same.s19"));
    QVERIFY(fixtures::write_file(s19, text));

    const QString from_window = dir.filePath(QStringLiteral("window.bin"));
    {
        DialogAnswerer answers;
        zorvane window;
        answers.answer_file(s19);
        window.findChild<QPushButton*>(QStringLiteral("pushButton_s19"))->click();
        answers.answer_file(from_window);
        window.findChild<QPushButton*>(QStringLiteral("pushButton_bin"))->click();
        window.findChild<QPushButton*>(QStringLiteral("pushButton_package_start"))->click();
    }
    const QString from_cli = dir.filePath(QStringLiteral("cli.bin"));
    const Run run = cli({"pack", s19, from_cli});
    QCOMPARE(run.status, 0);
    QVERIFY(run.out.contains("6 page records"));
    QVERIFY(run.out.contains("Velantor KDR7"));
    const QByteArray image = fixtures::read_file(from_cli);
    QCOMPARE(image.size(), 4 + 6 * 546);
    QCOMPARE(image, fixtures::read_file(from_window));
}

void tst_cli::pack_refusals_data()
{
    QTest::addColumn<QByteArray>("text"); // empty: no such file
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("message");
    const QByteArray identity = s1_line(0x3100, fixtures::kdr7_identity_bytes) + "\r\n";
    QTest::newRow("no file") << QByteArray() << 3 << QByteArray("Fail to open S19 file!");
    QTest::newRow("no identity") << (s1_line(0x8000, "abc") + "\r\nS9030000FC\r\n") << 5
                                 << QByteArray("No firmware information in S19 file!");
    QTest::newRow("bad record") << (identity + s1_line(0x8000, "abc") + "\r\nS1048002AA00\r\n") << 5
                                << QByteArray("Bad S19 record in line 3");
    QTest::newRow("S2 record") << (identity + "S2080080000102030471\r\n") << 5
                               << QByteArray("S19 file has unsupported S2/S3 records");
    QTest::newRow("S2 records only") << QByteArray(
                                            "S00600004844521B\r\nS2080080000102030471\r\nS804000000FB\r\n")
                                     << 5 << QByteArray("S19 file has unsupported S2/S3 records");
}

void tst_cli::pack_refusals()
{
    QFETCH(QByteArray, text);
    QFETCH(int, status);
    QFETCH(QByteArray, message);
    const QString s19 = dir.filePath(QStringLiteral("refused.s19"));
    QFile::remove(s19);
    if (!text.isEmpty())
        QVERIFY(fixtures::write_file(s19, text));
    const QString bin = dir.filePath(QStringLiteral("refused.bin"));
    QVERIFY(fixtures::write_file(bin, "OLD"));
    const Run run = cli({"pack", s19, bin});
    QCOMPARE(run.status, status);
    QCOMPARE(run.err.trimmed(), message);
    QCOMPARE(fixtures::read_file(bin), QByteArray("OLD"));
}

void tst_cli::text_is_utf8_wherever_it_goes_data()
{
    QTest::addColumn<QString>("sink");
    QTest::newRow("file") << "file";
    QTest::newRow("pipe") << "pipe";
    QTest::newRow("terminal") << "terminal";
}

// A path with characters beyond any 8-bit code page comes out as UTF-8, to a file, a pipe or a terminal
// (on Windows a console gets it as UTF-16 instead: tools/wine-try.sh compares the bytes there).
void tst_cli::text_is_utf8_wherever_it_goes()
{
    QFETCH(QString, sink);
    const QString path = dir.filePath(QStringLiteral("Grüße € ψ.bin"));
    QVERIFY(fixtures::write_file(path, fixtures::image(kdr7, pages(1))));
    QProcess p;
    const QString file = dir.filePath(QStringLiteral("info.out"));
    int master = -1;
    int slave = -1;
    if (sink == QLatin1String("file")) {
        p.setStandardOutputFile(file);
    } else if (sink == QLatin1String("terminal")) {
        QCOMPARE(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
        p.setStandardOutputFile(QString::fromLocal8Bit(ttyname(slave)));
    }
    p.start(QStringLiteral(ZORVANE_CLI), {"info", path});
    QVERIFY(p.waitForFinished(60000));
    QCOMPARE(p.exitCode(), 0);
    QByteArray out = p.readAllStandardOutput();
    if (sink == QLatin1String("file")) {
        QFile written(file);
        QVERIFY(written.open(QIODevice::ReadOnly));
        out = written.readAll();
    } else if (sink == QLatin1String("terminal")) {
        ::close(slave);
        char buffer[4096];
        ssize_t n = 0;
        while ((n = ::read(master, buffer, sizeof(buffer))) > 0)
            out.append(buffer, qsizetype(n));
        ::close(master);
    }
    QVERIFY2(out.contains("File:      " + path.toUtf8() + " ("), out.constData());
}

void tst_cli::info_on_good_and_damaged_images()
{
    const QByteArray good = fixtures::image(kdr7, pages(2));
    const QString path = dir.filePath(QStringLiteral("info.bin"));
    QVERIFY(fixtures::write_file(path, good));
    Run run = cli({"info", path});
    QCOMPARE(run.status, 0);
    QVERIFY(run.out.contains("Model:     Velantor KDR7"));
    QVERIFY(run.out.contains("Date:      2014/2/17"));
    QVERIFY(run.out.contains("Records:   2"));
    // The used range comes from the decrypted page.
    QVERIFY2(run.out.contains("page 0x8200  used 0x8200-0x83ff  checksums hold"), run.out.constData());
    QVERIFY(run.out.contains("Trailing:  none"));

    run = cli({"info", "--json", path});
    QCOMPARE(run.status, 0);
    const QJsonObject json = QJsonDocument::fromJson(run.out).object();
    QCOMPARE(json.value("record_count").toInt(), 2);
    QCOMPARE(json.value("sound").toBool(), true);
    QCOMPARE(json.value("identity").toObject().value("mcu").toString(), QStringLiteral("MC9S08PT60"));
    QCOMPARE(json.value("records").toArray().at(1).toObject().value("page").toString(),
             QStringLiteral("0x8200"));
    QCOMPARE(json.value("records").toArray().at(1).toObject().value("used").toString(),
             QStringLiteral("0x8200-0x83ff"));

    QVERIFY(fixtures::write_file(path, good + QByteArray(100, '\x55')));
    run = cli({"info", path});
    QCOMPARE(run.status, 5);
    QVERIFY(run.out.contains("Trailing:  100 bytes, a partial record that is never sent"));

    QByteArray corrupted = good;
    corrupted[4 + 546 + 2 + 17 * 5 + 3] = char(corrupted[4 + 546 + 2 + 17 * 5 + 3] ^ 0x01);
    QVERIFY(fixtures::write_file(path, corrupted));
    run = cli({"info", "--json", path});
    QCOMPARE(run.status, 5);
    QCOMPARE(QJsonDocument::fromJson(run.out).object().value("bad_lines").toInt(), 1);
    run = cli({"info", path});
    QVERIFY(run.out.contains("page 0x8200  used 0x8200-0x83ff  1 lines with a bad checksum"));

    // Line 0 is checked as it is stored, encrypted.
    corrupted = good;
    corrupted[4 + 2 + 7] = char(corrupted[4 + 2 + 7] ^ 0x01);
    QVERIFY(fixtures::write_file(path, corrupted));
    run = cli({"info", "--json", path});
    QCOMPARE(run.status, 5);
    QCOMPARE(QJsonDocument::fromJson(run.out).object().value("bad_lines").toInt(), 1);

    // The checksums do not cover the header: a page base that no packager writes is damage of its own.
    corrupted = good;
    corrupted[4 + 546] = '\xFF';
    QVERIFY(fixtures::write_file(path, corrupted));
    run = cli({"info", path});
    QCOMPARE(run.status, 5);
    QVERIFY2(run.out.contains("page 0xff00  used -              the header is no page base"),
             run.out.constData());
    QVERIFY(run.out.contains("Headers:   1 records have a header that is no page base"));
    run = cli({"info", "--json", path});
    QCOMPARE(run.status, 5);
    const QJsonDocument damaged = QJsonDocument::fromJson(run.out);
    QCOMPARE(damaged.object().value("bad_headers").toInt(), 1);
    QCOMPARE(damaged.object().value("records").toArray().at(1).toObject().value("header_holds").toBool(),
             false);
    // The records are printed as they are read, laid out as QJsonDocument lays out the whole.
    QCOMPARE(run.out, damaged.toJson());

    QVERIFY(fixtures::write_file(path, "\x21\x31"));
    QCOMPARE(cli({"info", path}).status, 5);
    QVERIFY(fixtures::write_file(path, fixtures::kdr7_identity_bytes));
    run = cli({"info", "--json", path});
    QCOMPARE(run.status, 0);
    QCOMPARE(run.out, QJsonDocument::fromJson(run.out).toJson());
    QCOMPARE(cli({"info", dir.filePath("none.bin")}).status, 3);
}

void tst_cli::flash_programs_the_box()
{
    // Named by its device path, as a technician names a USB adapter. The image ends in a partial record,
    // which is never sent: the image is still the one counted, and recorded whole.
    VirtualBox box;
    const auto list = pages(3);
    const QString path = dir.filePath(QStringLiteral("flash.bin"));
    QVERIFY(fixtures::write_file(path, fixtures::image(kdr7, list) + QByteArray(100, '\x55')));
    const QString log = dir.filePath(QStringLiteral("flash.log"));
    QFile::remove(log);
    const Run run = cli({"flash", "--log", log, "--port", box.device(), path});
    QCOMPARE(run.status, 0);
    QVERIFY(run.err.contains("Getting into Bootloader Mode..."));
    QVERIFY(run.err.contains("0/3 pages"));
    QVERIFY(run.err.contains("3/3 pages 100%"));
    QVERIFY(run.err.contains("Update completed!"));
    QVERIFY(run.err.trimmed().endsWith("Update process completed."));
    QVERIFY(flash_holds(box, list));
    const QJsonObject record = log_records(log).value(0);
    QCOMPARE(record["pages"].toInt(), 3);
    QCOMPARE(record["image"].toObject()["sha256"].toString(), sha256_of(path));
}

void tst_cli::flash_failures_data()
{
    QTest::addColumn<QString>("fault"); // "absent": no box on the port
    QTest::addColumn<QByteArray>("identity");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("message");
    const QByteArray ok("\x21\x31\x01\x00", 4);
    QTest::newRow("port missing")
        << "absent" << ok << 6
        << QByteArray("The serial port is occupied or not exist, please try another port.");
    QTest::newRow("other MCU") << QString() << QByteArray("\x21\x31\x02\x00", 4) << 8
                               << QByteArray("BIN file CPU does not corresponding with device's CPU");
    QTest::newRow("not prepared")
        << "prepared:silent" << ok << 7
        << QByteArray(
               "Device has not been prepared, please re-connect cable and reboot the update software.");
    // The box's end of the line closed mid-page: the tty fails as a pulled-out USB adapter's does.
    QTest::newRow("unplugged mid-transfer")
        << "line:close@0.4" << ok << 6
        << QByteArray(
               "The serial port is gone (the cable or the adapter was disconnected), please re-connect it "
               "and restart box and PC software");
    QTest::newRow("line rejected") << "line:byte=0x35@0.4" << ok << 9
                                   << QByteArray("Data transfer error, please restart box and PC software");
    QTest::newRow("finish not confirmed") << "finish:byte=0x30" << ok << 11
                                          << QByteArray("Update process failed, please reboot the device and "
                                                        "restart the update program.");
}

void tst_cli::flash_failures()
{
    QFETCH(QString, fault);
    QFETCH(QByteArray, identity);
    QFETCH(int, status);
    QFETCH(QByteArray, message);
    VirtualBox box;
    set_port(2, fault == QLatin1String("absent") ? QStringLiteral("/dev/kdr7-no-such-tty") : box.device());
    if (!fault.isEmpty() && fault != QLatin1String("absent")) {
        VirtualBox::Fault f;
        QVERIFY(VirtualBox::parse_fault(fault, f));
        box.add_fault(f);
    }
    Identity id;
    std::copy(identity.begin(), identity.end(), id.begin());
    const QString path = dir.filePath(QStringLiteral("fail.bin"));
    QVERIFY(fixtures::write_file(path, fixtures::image(id, pages(1))));
    const QString log = dir.filePath(QStringLiteral("fail.log"));
    QFile::remove(log);
    const Run run = cli({"flash", "--log", log, "--port", "COM2", path});
    QCOMPARE(run.status, status);
    QVERIFY2(run.err.trimmed().endsWith(message), run.err.constData());
    // The record holds the pages the box confirmed, not the page it was sent when the job failed.
    const QJsonObject record = log_records(log).value(0);
    QCOMPARE(record["exit"].toInt(), status);
    QCOMPARE(record["pages"].toInt(), box.pages_written());
}

void tst_cli::ctrl_c_stops_data()
{
    QTest::addColumn<QByteArray>("seen"); // Ctrl+C once this is on standard error
    QTest::addColumn<int>("written");     // the pages the box has written by then
    QTest::newRow("during page 2") << QByteArray("2/5 pages") << 3;
    QTest::newRow("during the handshake") << QByteArray("Getting into Bootloader Mode...") << 0;
}

// Ctrl+C sends nothing more: the page in progress is finished, none is begun.
void tst_cli::ctrl_c_stops()
{
    QFETCH(QByteArray, seen);
    QFETCH(int, written);
    VirtualBox box;
    set_port(3, box.device());
    const QString path = dir.filePath(QStringLiteral("stop.bin"));
    QVERIFY(fixtures::write_file(path, fixtures::image(kdr7, pages(5))));
    QProcess p;
    p.setReadChannel(QProcess::StandardError);
    p.start(QStringLiteral(ZORVANE_CLI), {"flash", "--port", "COM3", path});
    QByteArray err;
    while (!err.contains(seen) && p.waitForReadyRead(10000))
        err += p.readAllStandardError();
    QVERIFY2(err.contains(seen), err.constData());
    ::kill(pid_t(p.processId()), SIGINT);
    QVERIFY(p.waitForFinished(30000));
    err += p.readAllStandardError();
    QCOMPARE(p.exitCode(), 10);
    QVERIFY2(err.trimmed().endsWith("Update process has been stopped!"), err.constData());
    QCOMPARE(box.pages_written(), written);
    QCOMPARE(times_sent(box, "D"), written);
    QCOMPARE(times_sent(box, "C"), 0);
}

// Windows' console control events, by their numbers: Ctrl+C and Ctrl+Break stop the job, the second is left
// to the system (it ends the program at once); closing the console, logging off and shutting down stop the
// job and hold the end off, however often they come.
void tst_cli::console_events_stop_the_job_data()
{
    QTest::addColumn<unsigned long>("event");
    QTest::addColumn<bool>("stopping_already");
    QTest::addColumn<int>("answer");
    using A = console_events::Answer;
    const struct
    {
        const char* name;
        unsigned long event;
        bool stopping;
        A answer;
    } rows[] = {
        {"Ctrl+C", 0, false, A::Stop},
        {"second Ctrl+C", 0, true, A::PassOn},
        {"Ctrl+Break", 1, false, A::Stop},
        {"second Ctrl+Break", 1, true, A::PassOn},
        {"close", 2, false, A::StopAndHold},
        {"close after Ctrl+C", 2, true, A::StopAndHold},
        {"logoff", 5, false, A::StopAndHold},
        {"shutdown", 6, true, A::StopAndHold},
        {"no such event (3)", 3, false, A::PassOn},
    };
    for (const auto& row : rows)
        QTest::newRow(row.name) << row.event << row.stopping << int(row.answer);
}

void tst_cli::console_events_stop_the_job()
{
    QFETCH(unsigned long, event);
    QFETCH(bool, stopping_already);
    QFETCH(int, answer);
    QCOMPARE(int(console_events::answer(event, stopping_already)), answer);
}

void tst_cli::satellite_table_both_ways()
{
    VirtualBox box;
    set_port(5, box.device());
    VirtualBox::SatelliteRecord r{};
    const QByteArray name = "Astra 19.2";
    std::copy(name.begin(), name.end(), r.begin());
    r[17] = 0x00;
    r[18] = 0xC0; // 192
    r[19] = 0xD3;
    r[20] = 0x2D;
    box.set_satellite(1, r);
    const QString csv = dir.filePath(QStringLiteral("table.csv"));
    Run run = cli({"sat-read", "--port", "COM5", csv});
    QCOMPARE(run.status, 0);
    QVERIFY(run.err.contains("99/99 entries 100%"));
    QVERIFY(run.err.trimmed().endsWith("Satellite data read successfully!"));
    const QByteArray table = fixtures::read_file(csv);
    QVERIFY(table.startsWith("Astra 19.2,192,45,-45,\r\n,0,0,0,\r\n"));
    QCOMPARE(table.count("\r\n"), 99);

    QByteArray edited = table;
    edited.replace("Astra 19.2,192", "Hotbird,130");
    QVERIFY(fixtures::write_file(csv, edited));
    run = cli({"sat-write", "--port", "COM5", csv});
    QCOMPARE(run.status, 0);
    QVERIFY(run.err.trimmed().endsWith("Satellite data write successfully!"));
    QCOMPARE(QByteArray(reinterpret_cast<const char*>(box.satellite(1).data())), QByteArray("Hotbird"));
    QCOMPARE(box.satellite(1)[18], std::uint8_t(130));

    QVERIFY(fixtures::write_file(csv, "One,1,1,1,\r\n"));
    QCOMPARE(cli({"sat-write", "--port", "COM5", csv}).status, 5);
    QCOMPARE(QByteArray(reinterpret_cast<const char*>(box.satellite(1).data())), QByteArray("Hotbird"));
    QCOMPARE(cli({"sat-write", "--allow-short", "--port", "COM5", csv}).status, 0);
    QCOMPARE(QByteArray(reinterpret_cast<const char*>(box.satellite(1).data())), QByteArray("One"));

    // Nothing answers on the port: no file is written.
    PtyBox silent;
    set_port(6, silent.device());
    QFile::remove(csv);
    run = cli({"sat-read", "--port", "COM6", csv});
    QCOMPARE(run.status, 7);
    QVERIFY(run.err.trimmed().endsWith("Data connection error, please restart box and PC software"));
    QVERIFY(!QFile::exists(csv));

    // The adapter pulled out mid-read: the port is gone, not the box silent.
    VirtualBox pulled;
    VirtualBox::Fault close;
    QVERIFY(VirtualBox::parse_fault(QStringLiteral("satrecord:close@5"), close));
    pulled.add_fault(close);
    set_port(7, pulled.device());
    run = cli({"sat-read", "--port", "COM7", csv});
    QCOMPARE(run.status, 6);
    QVERIFY2(run.err.contains("The serial port is gone"), run.err.constData());
    QVERIFY(!QFile::exists(csv));
}

void tst_cli::ports_tell_what_opens()
{
    PtyBox com9;
    set_port(9, com9.device());
    // Held by another program (here, this one): there, but busy.
    PtyBox com10;
    set_port(10, com10.device());
    QSerialPort holder(com10.device());
    QVERIFY(holder.open(QIODevice::ReadWrite));
    const Run run = cli({"ports"});
    QCOMPARE(run.status, 0);
    const QList<QByteArray> lines = run.out.split('\n');
    QVERIFY(lines.size() > 17);
    QCOMPARE(lines[15], QByteArray());
    QVERIFY(lines[16].startsWith("Serial devices the system reports: "));
    QVERIFY(lines[8].startsWith("COM9"));
    QVERIFY(lines[8].contains(com9.device().toLocal8Bit()));
    QVERIFY(lines[8].endsWith("opens"));
    QVERIFY(lines[0].contains("(no device)"));
    QVERIFY(lines[0].endsWith("not found"));
    QVERIFY2(lines[9].startsWith("COM10") && lines[9].endsWith(" busy"), lines[9].constData());
    QCOMPARE(com9.receive(1, 50), QByteArray());
}

// One line for each change a cell can undergo on its way into the box, and a clean one.
void tst_cli::sat_check_warns_where_cells_change()
{
    // A path with text that is not ASCII: each warning is its line, whole.
    const QString csv = dir.filePath(QString::fromUtf8("\xc3\x9c"
                                                       "bersicht.csv"));
    QVERIFY(fixtures::write_file(csv, "Clean,192,45,-45,\r\n"
                                      "A very long satellite name,130,45,-45,\r\n"
                                      "Hot\xc3\xa9"
                                      "bird,1,2,3,\r\n"
                                      "High,4500,2,3,\r\n"
                                      "Tilted,1,100,-91,\r\n"
                                      "Wrap,70000,2,3,\r\n"
                                      "Typo,12a,2,3,\r\n"
                                      "Slashes,////////////////////,0,0,\r\n"));
    const Run run = cli({"sat-check", csv});
    QCOMPARE(run.status, 5);
    QVERIFY(run.out.startsWith(" 1  name 43 6c 65 61 6e 00"));
    QVERIFY(run.out.contains("position 192  vertical 45  horizontal -45"));
    QCOMPARE(run.out.count('\n'), 8);
    const QByteArray where = QFile::encodeName(csv);
    const QByteArrayList expected{
        where + ":2: warning: name \"A very long satellite name\" is cut to 16 bytes",
        where + ":3: warning: name \"Hot\xc3\x83\xc2\xa9"
                "bird\" holds characters outside ISO 8859-1",
        where + ":4: warning: position 4500 is above 3999: sent as 0",
        where + ":5: warning: vertical 100 is outside -90..90: sent as 45",
        where + ":5: warning: horizontal -91 is outside -90..90: sent as -45",
        where + ":6: warning: position 70000 wraps to 4464",
        where + ":7: warning: position \"12a\" is not a number",
        where + ":8: warning: position \"////////////////////\" is not a number",
        where + ":8: warning: position -1099511627776 wraps to",
    };
    for (const QByteArray& warning : expected)
        QVERIFY2(run.err.contains(warning), warning.constData());
    QVERIFY(run.err.endsWith('\n'));
    for (const QByteArray& line : run.err.chopped(1).split('\n'))
        QVERIFY2(line.startsWith(where + ':'), line.constData());
    QVERIFY(!run.err.contains(":1: "));

    // sat-write --check refuses the same file unless --force; a clean table goes through.
    VirtualBox box;
    box.set_satellite(2, VirtualBox::SatelliteRecord{'K', 'e', 'e', 'p'});
    QByteArray table = fixtures::read_file(csv);
    for (int i = 8; i < 99; ++i)
        table += "Sat" + QByteArray::number(i) + ",1,2,3,\r\n";
    QVERIFY(fixtures::write_file(csv, table));
    Run write = cli({"sat-write", "--check", "--port", box.device(), csv});
    QCOMPARE(write.status, 5);
    QVERIFY(write.err.contains("is not written"));
    QCOMPARE(QByteArray(reinterpret_cast<const char*>(box.satellite(2).data())), QByteArray("Keep"));
    write = cli({"sat-write", "--check", "--force", "--port", box.device(), csv});
    QCOMPARE(write.status, 0);
    QCOMPARE(QByteArray(reinterpret_cast<const char*>(box.satellite(2).data())),
             QByteArray("A very long sate"));
    table.replace("A very long satellite name", "Short");
    QVERIFY(fixtures::write_file(csv, table.mid(table.indexOf("Sat7"))));
    QCOMPARE(cli({"sat-check", csv}).status, 0);

    // A spreadsheet's file: each line says how it was read; a character the box cannot take is named.
    QVERIFY(fixtures::write_file(csv, "\xEF\xBB\xBF\"Astra; \"\"1KR\"\"\";1326;-52;11\r\n"
                                      "Plain;1;2;3\r\n"
                                      "\xD0\x90stra;1;2;3\r\n"
                                      "T\xC3\xBCrksat;1;2;3\r\n"));
    Run check = cli({"sat-check", csv});
    QCOMPARE(check.status, 5);
    QVERIFY(check.out.startsWith(" 1  name 41 73 74 72 61 3b 20 22 31 4b 52 22 00"));
    QCOMPARE(check.out.count("read as: quoted, \";\" between the fields, UTF-8 (byte-order mark)\n"), 1);
    QCOMPARE(check.out.count("read as: \";\" between the fields, UTF-8 (byte-order mark)\n"), 3);
    QVERIFY2(check.err.contains(where +
                                ":3: warning: name \"\xD0\x90stra\" holds characters outside ISO 8859-1: "
                                "sent as \"?stra\""),
             check.err.constData());
    QVERIFY2(!check.err.contains(where + ":4: "), check.err.constData()); // "ü" is in ISO 8859-1

    // A line that does not read as four fields: the file is refused with its line, and nothing is sent.
    QVERIFY(fixtures::write_file(csv, "\"A\",1,2,3\n\"B\",1,2,3\n\"C,1,2,3\n"));
    check = cli({"sat-check", csv});
    QCOMPARE(check.status, 5);
    QCOMPARE(check.out, QByteArray());
    QVERIFY2(check.err.contains(where +
                                ":3: error: the line does not read as four fields (a quoted field does not "
                                "end on its line); nothing of the file is sent"),
             check.err.constData());
    VirtualBox untouched;
    write = cli({"sat-write", "--allow-short", "--force", "--port", untouched.device(), csv});
    QCOMPARE(write.status, 5);
    QVERIFY(write.err.contains(where + ":3: error: "));
    QVERIFY(untouched.transcript().empty());

    // A header is skipped with a note; rows beyond the 99th are told, by sat-write too.
    QByteArray long_table = "Name,Position,Vertical,Horizontal\r\n";
    for (int i = 1; i <= 120; ++i)
        long_table += "Sat" + QByteArray::number(i) + ",1,2,3\r\n";
    QVERIFY(fixtures::write_file(csv, long_table));
    const QByteArray beyond =
        where + ": warning: rows 100 to 120 are beyond the box's 99 entries: not read\n";
    check = cli({"sat-check", csv});
    QCOMPARE(check.status, 5);
    QVERIFY2(check.err.contains(where + ":1: note: the first line is a header, skipped: "
                                        "\"Name,Position,Vertical,Horizontal\"\n"),
             check.err.constData());
    QVERIFY2(check.err.contains(beyond), check.err.constData());
    QVERIFY(check.out.startsWith(" 2  name 53 61 74 31 00"));
    VirtualBox full;
    write = cli({"sat-write", "--port", full.device(), csv});
    QCOMPARE(write.status, 0);
    QVERIFY2(write.err.contains(beyond), write.err.constData());
    QCOMPARE(QByteArray(reinterpret_cast<const char*>(full.satellite(1).data())), QByteArray("Sat1"));
    QCOMPARE(QByteArray(reinterpret_cast<const char*>(full.satellite(99).data())), QByteArray("Sat99"));
}

// Every byte a name can hold goes box -> CSV -> box and comes back, but for a comma, a CR or an LF, which
// the file cannot hold: written as "?", in the rows that sat-read names.
void tst_cli::names_of_every_byte_come_back()
{
    VirtualBox from;
    VirtualBox to;
    QByteArrayList names;
    QStringList replaced;
    for (int entry = 1; entry <= 99; ++entry) {
        VirtualBox::SatelliteRecord r{};
        QByteArray name;
        for (int k = 0; k < 16; ++k)
            name += char(((entry - 1) * 16 + k) % 255 + 1);
        std::copy(name.begin(), name.end(), r.begin());
        r[18] = std::uint8_t(entry);
        from.set_satellite(entry, r);
        if (name.contains(',') || name.contains('\r') || name.contains('\n')) {
            replaced << QString::number(entry);
            name.replace(',', '?').replace('\r', '?').replace('\n', '?');
        }
        names << name;
    }
    QVERIFY(replaced.size() >= 3);
    const QString csv = dir.filePath(QStringLiteral("bytes.csv"));
    const Run read = cli({"sat-read", "--port", from.device(), csv});
    QCOMPARE(read.status, 0);
    QVERIFY2(read.err.contains("saved as \"?\" in rows " + replaced.join(", ").toLatin1() + ".\n"),
             read.err.constData());
    QCOMPARE(cli({"sat-write", "--port", to.device(), csv}).status, 0);
    for (int entry = 1; entry <= 99; ++entry) {
        const VirtualBox::SatelliteRecord r = to.satellite(entry);
        QCOMPARE(QByteArray(reinterpret_cast<const char*>(r.data()), 16), names[entry - 1]);
        QCOMPARE(int(r[18]), entry);
    }
}

namespace {

// The bytes of a trace, by direction, and its lines.
struct TraceFile
{
    QByteArray to_box;
    QByteArray from_box;
    QStringList lines;
};

TraceFile read_trace(const QString& path)
{
    TraceFile t;
    for (const QByteArray& line : fixtures::read_file(path).split('\n')) {
        t.lines << QString::fromUtf8(line);
        const bool to_box = line.contains("  tool>box  ");
        if (!to_box && !line.contains("  box>tool  "))
            continue;
        const QByteArray hex = line.mid(line.lastIndexOf("  ") + 2);
        (to_box ? t.to_box : t.from_box) += QByteArray::fromHex(hex);
    }
    return t;
}

bool has_line(const TraceFile& t, const QString& direction, const QString& step, const QString& bytes)
{
    const QString tail = QStringLiteral("  %1  %2  %3").arg(direction, step, bytes);
    for (const QString& line : t.lines) {
        if (line.endsWith(tail))
            return true;
    }
    return false;
}

} // namespace

// Every byte in the trace is a byte the box received or sent, in order, under the step it belongs to.
void tst_cli::trace_agrees_with_the_box()
{
    VirtualBox box;
    VirtualBox::Fault f;
    QVERIFY(VirtualBox::parse_fault(QStringLiteral("line:byte=0x35@1.5x2"), f));
    box.add_fault(f);
    const QString image = dir.filePath(QStringLiteral("traced.bin"));
    QVERIFY(fixtures::write_file(image, fixtures::image(kdr7, pages(3))));
    const QString path = dir.filePath(QStringLiteral("flash.trace"));
    QCOMPARE(cli({"flash", "--trace", path, "--port", box.device(), image}).status, 0);
    const TraceFile t = read_trace(path);
    QByteArray sent;
    QByteArray answered;
    for (const VirtualBox::Event& e : box.transcript())
        (e.from_tool ? sent : answered) += e.bytes;
    QCOMPARE(t.to_box.toHex(), sent.toHex());
    QCOMPARE(t.from_box.toHex(), answered.toHex());
    QVERIFY(has_line(t, "tool>box", "bootloader request", "45"));
    QVERIFY(has_line(t, "box>tool", "go-ahead", "31"));
    QVERIFY(has_line(t, "tool>box", "identity", "21 31 01 00"));
    QVERIFY(has_line(t, "box>tool", "verdict", "41"));
    QVERIFY(has_line(t, "tool>box", "page 1 header", "82 00"));
    QVERIFY(has_line(t, "box>tool", "page 1 line 5 attempt 1", "35"));
    QVERIFY(has_line(t, "box>tool", "page 1 line 5 attempt 2", "35"));
    QVERIFY(has_line(t, "box>tool", "page 1 line 5 attempt 3", "34"));
    QVERIFY(has_line(t, "box>tool", "page 2 written", "46"));
    QVERIFY(has_line(t, "box>tool", "finish", "33"));
    // The trace's times count from the port's opening: the box's application has its whole pause from
    // there, whatever the tool did since (the image opened and hashed during it).
    const QStringList request = t.lines.filter(QRegularExpression("  tool>box  bootloader request  45$"));
    QCOMPARE(request.size(), 1);
    QVERIFY2(request.front().section(' ', 0, 0, QString::SectionSkipEmpty).toDouble() >= 200.0,
             qPrintable(request.front()));

    // A read that the box never answers: the empty wait is in the trace, with its length.
    box.add_fault({VirtualBox::Step::SatAnswer, VirtualBox::Fault::Silent, 0, 0, 0, 0, -1});
    const QString read_trace_path = dir.filePath(QStringLiteral("read.trace"));
    QCOMPARE(
        cli({"sat-read", "--trace", read_trace_path, "--port", box.device(), dir.filePath("t.csv")}).status,
        7);
    const TraceFile r = read_trace(read_trace_path);
    QVERIFY(has_line(r, "tool>box", "read H/I", "48"));
    QVERIFY2(r.lines.filter(QRegularExpression("  wait      read H/I  nothing came in 1[0-9]{3}\\.[0-9] ms$"))
                     .size() == 1,
             qPrintable(r.lines.join('\n')));

    // A trace that cannot be written stops everything before a byte is sent; nor may it block on a FIFO,
    // write into a device, or cut the image it was checked against.
    const size_t before = box.transcript().size();
    const QString fifo = dir.filePath(QStringLiteral("trace.fifo"));
    QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    const QByteArray image_bytes = fixtures::read_file(image);
    for (const QString& target :
         {dir.filePath("no/such/folder/x"), fifo, QStringLiteral("/dev/full"), image}) {
        QElapsedTimer clock;
        clock.start();
        const Run refused = cli({"flash", "--trace", target, "--port", box.device(), image}, 10000);
        QCOMPARE(refused.status, target == image ? 2 : 4);
        QVERIFY2(
            refused.err.contains(target == image ? "are one file" : "cannot be written; nothing was sent"),
            qPrintable(target));
        QVERIFY2(clock.elapsed() < 5000, qPrintable(target));
    }
    QCOMPARE(box.transcript().size(), before);
    QCOMPARE(fixtures::read_file(image), image_bytes);

    // A trace that fills the disk during the exchange: the box is programmed all the same, at its pace, and
    // the end says that the trace is incomplete.
    const QString full = dir.filePath(QStringLiteral("full.trace"));
    QProcess p;
    p.setChildProcessModifier([] {
        rlimit limit{};
        getrlimit(RLIMIT_FSIZE, &limit);
        limit.rlim_cur = 4096;
        setrlimit(RLIMIT_FSIZE, &limit);
        std::signal(SIGXFSZ, SIG_DFL); // as a shell leaves it: the program must not die of it
    });
    const int pages_before = box.pages_written();
    p.start(QStringLiteral(ZORVANE_CLI), {"flash", "--trace", full, "--port", box.device(), image});
    QVERIFY(p.waitForFinished(60000));
    QCOMPARE(p.exitCode(), 4);
    QVERIFY(p.readAllStandardError().contains("is incomplete: a write to it failed"));
    QCOMPARE(box.pages_written(), pages_before + int((image_bytes.size() - 4) / 546));
    QVERIFY(QFileInfo(full).size() <= 4096);
    const QString stray = dir.filePath(QStringLiteral("stray.trace"));
    QCOMPARE(cli({"flash", "--trace", stray, "--port", "COM16", image}).status, 2);
    QVERIFY(!QFile::exists(stray));
}

// Four boxes at once, one of them failing at page 2: the others complete, and the status is the failing
// one's.
void tst_cli::rack_of_four_with_one_failing()
{
    std::vector<std::unique_ptr<VirtualBox>> rack;
    QStringList arguments{"flash"};
    for (int i = 0; i < 4; ++i) {
        rack.push_back(std::make_unique<VirtualBox>());
        arguments << "--port" << rack.back()->device();
    }
    VirtualBox::Fault f;
    QVERIFY(VirtualBox::parse_fault(QStringLiteral("page:silent@2"), f));
    rack[1]->add_fault(f);
    const auto list = pages(5);
    const QString image = dir.filePath(QStringLiteral("rack.bin"));
    QVERIFY(fixtures::write_file(image, fixtures::image(kdr7, list)));
    arguments << "--trace" << dir.filePath(QStringLiteral("rack.trace")) << image;
    QElapsedTimer clock;
    clock.start();
    const Run run = cli(arguments);
    QCOMPARE(run.status, 9);
    for (int i = 0; i < 4; ++i) {
        const QByteArray port = rack[size_t(i)]->device().toLocal8Bit();
        const QByteArray row = run.out.mid(
            run.out.indexOf(port), run.out.indexOf('\n', run.out.indexOf(port)) - run.out.indexOf(port));
        if (i == 1) {
            QVERIFY2(row.contains("failed") && row.contains("Data write error"), row.constData());
            QCOMPARE(rack[1]->pages_written(), 3); // the third was stored, its "F" never sent
        } else {
            QVERIFY2(row.contains("completed"), row.constData());
            QVERIFY(flash_holds(*rack[size_t(i)], list));
        }
        QVERIFY(QFile::exists(dir.filePath("rack.trace.") + QFileInfo(rack[size_t(i)]->device()).fileName()));
    }
    // At the same time: five pages take about 4 s for one box, 16 s for four one after the other.
    QVERIFY2(clock.elapsed() < 12000, qPrintable(QString::number(clock.elapsed())));

    // One box by two names is refused: the same path, a link to it, its COM name.
    const QString same = rack[0]->device();
    const QString link = dir.filePath(QStringLiteral("box0.link"));
    QVERIFY(QFile::link(same, link));
    set_port(4, same);
    for (const QString& other : {same, link, QStringLiteral("COM4")})
        QCOMPARE(cli({"flash", "--port", same, "--port", other, image}).status, 2);

    // Two devices that end alike get a trace each; when one trace cannot be opened, none is left behind.
    QDir(dir.path()).mkpath(QStringLiteral("a"));
    QDir(dir.path()).mkpath(QStringLiteral("b"));
    const QString a = dir.filePath(QStringLiteral("a/tty"));
    const QString b = dir.filePath(QStringLiteral("b/tty"));
    QVERIFY(QFile::link(rack[2]->device(), a));
    QVERIFY(QFile::link(rack[3]->device(), b));
    const QString one_page = dir.filePath(QStringLiteral("one.bin"));
    QVERIFY(fixtures::write_file(one_page, fixtures::image(kdr7, pages(1))));
    // A third whose own name is what the first's path becomes: still a trace of its own.
    QDir(dir.path()).mkpath(QStringLiteral("c"));
    const QString c = dir.filePath(
        QStringLiteral("c/") +
        QString(a).replace(QLatin1Char('/'), QLatin1Char('_')).remove(QRegularExpression("^_+")));
    QVERIFY(QFile::link(rack[1]->device(), c));
    const QString alike = dir.filePath(QStringLiteral("alike.trace"));
    // Twice: each trace is begun anew, as a single one is.
    for (int time = 0; time < 2; ++time)
        QCOMPARE(cli({"flash", "--trace", alike, "--port", a, "--port", b, "--port", c, one_page}).status, 0);
    const QStringList traces = QDir(dir.path()).entryList({QStringLiteral("alike.trace.*")});
    QCOMPARE(traces.size(), 3);
    for (const QString& name : traces)
        QCOMPARE(fixtures::read_file(dir.filePath(name)).count("tool>box  finish"), 1);
    const QString blocked = dir.filePath(QStringLiteral("blocked.trace"));
    QDir(dir.path()).mkpath(QStringLiteral("blocked.trace.") + QFileInfo(rack[3]->device()).fileName());
    const size_t before = rack[2]->transcript().size();
    QCOMPARE(
        cli({"flash", "--trace", blocked, "--port", rack[2]->device(), "--port", rack[3]->device(), one_page})
            .status,
        4);
    QVERIFY(!QFile::exists(blocked + QLatin1Char('.') + QFileInfo(rack[2]->device()).fileName()));
    QCOMPARE(rack[2]->transcript().size(), before);
}

namespace {

// A watch started on folder, ready once it says it is watching; what it said by then.
QByteArray start_watch(QProcess& p, const QStringList& arguments)
{
    p.start(QStringLiteral(ZORVANE_CLI), QStringList{"flash", "--watch"} + arguments);
    QByteArray said;
    p.setReadChannel(QProcess::StandardError);
    while (!said.contains("Watching") && p.waitForReadyRead(10000))
        said += p.readAllStandardError();
    p.setReadChannel(QProcess::StandardOutput);
    if (!said.contains("Watching"))
        qFatal("the watch did not start: %s", said.constData());
    return said;
}

} // namespace

// Ctrl+C ends the rack within five seconds, table and records all, even while a box holds its thread in a
// long wait: the box left busy is recorded as such.
void tst_cli::rack_ends_on_ctrl_c_within_a_bound()
{
    VirtualBox quick;
    VirtualBox stuck;
    VirtualBox::Fault silent;
    QVERIFY(VirtualBox::parse_fault(QStringLiteral("verdict:silent"), silent));
    stuck.add_fault(silent);
    const QString image = dir.filePath(QStringLiteral("rack-stop.bin"));
    QVERIFY(fixtures::write_file(image, fixtures::image(kdr7, pages(5))));
    const QString log = dir.filePath(QStringLiteral("rack-stop.log"));
    QProcess p;
    QElapsedTimer whole;
    whole.start();
    p.start(QStringLiteral(ZORVANE_CLI),
            {"flash", "--log", log, "--port", quick.device(), "--port", stuck.device(), image});
    QTRY_VERIFY_WITH_TIMEOUT(quick.pages_written() >= 1, 20000);
    QElapsedTimer clock;
    clock.start();
    ::kill(pid_t(p.processId()), SIGINT);
    QVERIFY(p.waitForFinished(30000));
    // The stuck box would hold its thread 10 s for the verdict; the rack ends within five seconds.
    QVERIFY2(clock.elapsed() < 5000, qPrintable(QString::number(clock.elapsed())));
    const QByteArray out = p.readAllStandardOutput();
    QCOMPARE(p.exitCode(), 10);
    QVERIFY2(out.contains("stopped") && out.contains("left busy"), out.constData());
    QVERIFY(quick.pages_written() < 5);
    QMap<QString, QJsonObject> records;
    for (const QJsonObject& r : log_records(log))
        records[r["device"].toString()] = r;
    QCOMPARE(records.size(), 2);
    const QJsonObject left = records[QFileInfo(stuck.device()).canonicalFilePath()];
    QCOMPARE(left["outcome"].toString(), QStringLiteral("left busy"));
    QCOMPARE(left["pages"].toInt(), 0);
    // Its time is its own, counted from its start: within the job's.
    const double left_seconds = left["seconds"].toDouble();
    QVERIFY2(left_seconds > 0 && left_seconds * 1000 <= double(whole.elapsed()),
             qPrintable(QString::number(left_seconds)));
    QCOMPARE(left["image"].toObject()["sha256"].toString(), sha256_of(image));
    QCOMPARE(records[QFileInfo(quick.device()).canonicalFilePath()]["pages"].toInt(), quick.pages_written());
}

// Boxes plugged one after another and overlapping, one refusing the image, one unplugged mid-flash, one
// plugged twice, and an entry that the pattern leaves out; --count ends the watch.
void tst_cli::watch_flashes_each_plug()
{
    QTemporaryDir line;
    const auto list = pages(3);
    const QString image = dir.filePath(QStringLiteral("line.bin"));
    QVERIFY(fixtures::write_file(image, fixtures::image(kdr7, list)));
    const QString log = dir.filePath(QStringLiteral("line.log"));
    VirtualBox first, second, refusing(VirtualBox::Model{0x05, 0x01, 0, 0, 0}), pulled;
    PtyBox stranger;
    QVERIFY(QFile::link(stranger.device(), line.filePath(QStringLiteral("other-stranger"))));
    const auto plug = [&](const VirtualBox& box, const char* name) {
        return QFile::link(box.device(), line.filePath(QLatin1String(name)));
    };
    QProcess p;
    start_watch(p, {line.path(), "--match", "usb-*", "--count", "5", "--log", log, image});
    QVERIFY(plug(first, "usb-KDR7_Adapter_A001-if00-port0"));
    QTRY_VERIFY_WITH_TIMEOUT(first.pages_written() >= 1, 10000);
    QVERIFY(plug(second, "usb-KDR7_Adapter_B002-if00-port0"));
    QVERIFY(plug(refusing, "usb-KDR7_Adapter_C003-if00-port0"));
    QVERIFY(plug(pulled, "usb-KDR7_Adapter_D004-if00-port0"));
    QTRY_VERIFY_WITH_TIMEOUT(pulled.pages_written() >= 1, 10000);
    pulled.unplug();
    QVERIFY(QFile::remove(line.filePath(QStringLiteral("usb-KDR7_Adapter_D004-if00-port0"))));
    // Still plugged after its flash: not flashed again until it is plugged anew.
    QTRY_VERIFY_WITH_TIMEOUT(times_sent(first, "C") == 1, 10000);
    QTest::qWait(300);
    QCOMPARE(times_sent(first, "E"), 1);
    // Pulled out (its node goes) and plugged again: a new node, most likely under the same number.
    first.unplug();
    QVERIFY(QFile::remove(line.filePath(QStringLiteral("usb-KDR7_Adapter_A001-if00-port0"))));
    QTest::qWait(300);
    VirtualBox again;
    QVERIFY(plug(again, "usb-KDR7_Adapter_A001-if00-port0"));
    if (!p.waitForFinished(30000)) {
        p.kill();
        p.waitForFinished();
        qWarning("%s\n%s", p.readAllStandardOutput().constData(), p.readAllStandardError().constData());
    }

    const QByteArray out = p.readAllStandardOutput();
    QCOMPARE(out.count(" start  "), 5);
    QCOMPARE(out.count(" end    "), 5);
    QVERIFY2(out.contains("serial A001") && out.contains("serial D004"), out.constData());
    QCOMPARE(times_sent(first, "E"), 1);
    QCOMPARE(times_sent(again, "E"), 1);
    QVERIFY(flash_holds(first, list) && flash_holds(second, list) && flash_holds(again, list));
    QCOMPARE(stranger.open_count(), 0);
    const QList<QJsonObject> records = log_records(log);
    QCOMPARE(records.size(), 5);
    int highest = 0;
    QMap<QString, QStringList> outcomes;
    for (const QJsonObject& r : records) {
        QCOMPARE(r["image"].toObject()["sha256"].toString(), sha256_of(image));
        QCOMPARE(r["job"].toString(), QStringLiteral("flash"));
        outcomes[QFileInfo(r["port"].toString()).fileName().mid(17, 4)] << r["outcome"].toString();
        highest = qMax(highest, r["exit"].toInt());
    }
    QCOMPARE(outcomes["A001"], (QStringList{"completed", "completed"}));
    QCOMPARE(outcomes["B002"], QStringList{"completed"});
    QCOMPARE(outcomes["C003"], QStringList{"failed"});
    QCOMPARE(outcomes["D004"], QStringList{"failed"});
    for (const QJsonObject& r : records) {
        if (r["port"].toString().contains(QLatin1String("D004")))
            QVERIFY2(r["message"].toString().startsWith(QLatin1String("The serial port is gone")),
                     qPrintable(r["message"].toString()));
    }
    QCOMPARE(p.exitCode(), highest);
    QVERIFY(highest >= 7);
}

// Ctrl+C stops the watch, not the boxes: the two in progress are programmed whole; with --new-only a box
// present at the start is never touched.
void tst_cli::watch_ends_on_ctrl_c_after_the_boxes_in_progress()
{
    QTemporaryDir line;
    const auto list = pages(4);
    const QString image = dir.filePath(QStringLiteral("shift.bin"));
    QVERIFY(fixtures::write_file(image, fixtures::image(kdr7, list)));
    const QString log = dir.filePath(QStringLiteral("shift.log"));
    VirtualBox old_one, one, two;
    QVERIFY(QFile::link(old_one.device(), line.filePath(QStringLiteral("old"))));
    QProcess p;
    start_watch(p, {"--new-only", "--log", log, line.path(), image});
    QVERIFY(QFile::link(one.device(), line.filePath(QStringLiteral("one"))));
    QVERIFY(QFile::link(two.device(), line.filePath(QStringLiteral("two"))));
    QTRY_VERIFY_WITH_TIMEOUT(one.pages_written() >= 1 && two.pages_written() >= 1, 10000);
    ::kill(pid_t(p.processId()), SIGINT);
    QVERIFY(p.waitForFinished(30000));
    QCOMPARE(p.exitCode(), 0);
    QVERIFY(flash_holds(one, list) && flash_holds(two, list));
    QVERIFY(old_one.transcript().empty());
    const QList<QJsonObject> records = log_records(log);
    QCOMPARE(records.size(), 2);
    for (const QJsonObject& r : records)
        QCOMPARE(r["outcome"].toString(), QStringLiteral("completed"));
}

// One device, one box, whatever its names and whatever the folder does: a folder named before it exists
// (nor its parent) is waited for; a second name of a box is left alone and said once; a folder that cannot
// be read for a while unplugs nothing; a name re-pointed to another device is a plug; a busy port is tried
// again; a name that is no UTF-8, with a newline, is flashed and shown escaped; /dev/null is no box.
void tst_cli::watch_keeps_one_box_per_device()
{
    QTemporaryDir parent;
    const QString folder = parent.filePath(QStringLiteral("serial/by-id"));
    const QString away = parent.filePath(QStringLiteral("serial/by-id.away"));
    const QString image = dir.filePath(QStringLiteral("devices.bin"));
    QVERIFY(fixtures::write_file(image, fixtures::image(kdr7, pages(1))));
    const QString log = dir.filePath(QStringLiteral("devices.log"));
    VirtualBox early, twin, moved_to, odd, hidden;
    const auto plug = [&](const VirtualBox& box, const QByteArray& name) {
        return ::symlink(QFile::encodeName(box.device()).constData(),
                         (QFile::encodeName(folder) + '/' + name).constData()) == 0;
    };
    QProcess p;
    const QByteArray first_said = start_watch(p, {folder, "--count", "4", "--log", log, image});
    QTest::qWait(200);
    QCOMPARE(p.state(), QProcess::Running);
    QVERIFY(QDir().mkpath(folder));
    // As udev makes a link: under a passing hidden name, renamed into place at once. A hidden name that
    // stays (another program's) is no box either.
    QVERIFY(plug(early, ".#present.tmp"));
    QVERIFY(::rename((QFile::encodeName(folder) + "/.#present.tmp").constData(),
                     (QFile::encodeName(folder) + "/present").constData()) == 0);
    QVERIFY(plug(hidden, ".usb-hidden"));
    QVERIFY(plug(twin, "twin-a") && plug(twin, "twin-b"));
    QVERIFY(QFile::link(QStringLiteral("/dev/null"), folder + QStringLiteral("/null")));
    QTRY_VERIFY_WITH_TIMEOUT(times_sent(early, "C") == 1 && times_sent(twin, "C") == 1, 20000);
    // The folder made anew (looks fail meanwhile): the boxes in it are the same plugs.
    QVERIFY(QDir().rename(folder, away));
    QTest::qWait(400);
    QVERIFY(QDir().rename(away, folder));
    QTest::qWait(400);
    // twin-a re-pointed to another device, whose port is busy for a while. The new link is made outside the
    // folder and moved in over the old one: the watch, woken at once, never sees it under another name.
    QSerialPort holder(moved_to.device());
    QVERIFY(holder.open(QIODevice::ReadWrite));
    const QByteArray repointed = QFile::encodeName(parent.filePath(QStringLiteral("twin-a.new")));
    QVERIFY(::symlink(QFile::encodeName(moved_to.device()).constData(), repointed.constData()) == 0);
    QVERIFY(::rename(repointed.constData(), (QFile::encodeName(folder) + "/twin-a").constData()) == 0);
    QTest::qWait(500);
    QVERIFY(moved_to.transcript().empty());
    holder.close();
    QTRY_VERIFY_WITH_TIMEOUT(times_sent(moved_to, "C") == 1, 20000);
    QVERIFY(plug(odd, "odd-\xff\nname"));
    if (!p.waitForFinished(30000))
        p.kill();
    const QByteArray out = p.readAllStandardOutput();
    const QByteArray err = first_said + p.readAllStandardError();
    QVERIFY(::unlink((QFile::encodeName(folder) + "/odd-\xff\nname").constData()) == 0);
    QCOMPARE(p.exitCode(), 0);
    for (const VirtualBox* box : {&early, &twin, &moved_to, &odd})
        QCOMPARE(times_sent(*box, "E"), 1);
    QCOMPARE(out.count(" start  "), 4);
    QVERIFY2(out.contains("/odd-\\xff\\nname  serial"), out.constData());
    QCOMPARE(err.count("one device, one box"), 1);
    QCOMPARE(err.count("Cannot read"), 2); // before it was made, and while it was away
    QCOMPARE(err.count("is busy"), 1);
    const QList<QJsonObject> records = log_records(log);
    QCOMPARE(records.size(), 4);
    QCOMPARE(records[2]["port"].toString(), folder + QStringLiteral("/twin-a"));
    QCOMPARE(records[2]["device"].toString(), QFileInfo(moved_to.device()).canonicalFilePath());
    QVERIFY(hidden.transcript().empty());
    for (const QJsonObject& record : records)
        QVERIFY2(!record["port"].toString().contains(QStringLiteral("/.")),
                 qPrintable(record["port"].toString()));
}

void tst_cli::folder_notice_wakes_on_the_path_data()
{
    // Below a fresh folder: made before the notice, made while it waits; the watched folder is serial/by-id.
    QTest::addColumn<QString>("present");
    QTest::addColumn<QString>("made");
    QTest::addColumn<bool>("wakes");
    QTest::newRow("an entry made in the folder") << "serial/by-id"
                                                 << "serial/by-id/usb-adapter" << true;
    QTest::newRow("the missing folder's next part made") << ""
                                                         << "serial" << true;
    QTest::newRow("another entry beside the missing part") << ""
                                                           << "ttyS9" << false;
}

// A plug is seen as it is made, not at the next timed look; what else changes beside a folder not yet
// made (as in /dev, all the time) wakes nothing.
void tst_cli::folder_notice_wakes_on_the_path()
{
#ifndef Q_OS_LINUX
    QSKIP("a notice is a plain sleep here");
#endif
    QFETCH(QString, present);
    QFETCH(QString, made);
    QFETCH(bool, wakes);
    QTemporaryDir root;
    if (!present.isEmpty())
        QVERIFY(QDir(root.path()).mkpath(present));
    station::FolderNotice notice(root.filePath(QStringLiteral("serial/by-id")));
    std::thread maker([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        QDir(root.path()).mkpath(made);
    });
    QElapsedTimer clock;
    clock.start();
    notice.wait(wakes ? 5000 : 600);
    const qint64 took = clock.elapsed();
    maker.join();
    QVERIFY(QFileInfo::exists(root.filePath(made)));
    QVERIFY2(wakes ? took < 3000 : took >= 600, qPrintable(QString::number(took)));
}

// A log that cannot be written stops the job before a byte is sent; a record the disk will not take whole
// leaves nothing of itself; sat-write logs its CSV.
void tst_cli::adapter_serial_is_the_usb_devices_data()
{
    QTest::addColumn<QString>("tty");
    QTest::addColumn<QString>("serial");
    QTest::newRow("cdc-acm: the tty under the interface") << "ttyACM0"
                                                          << "KDR7 BENCH01";
    QTest::newRow("FTDI, CP210x, CH340: under a port below the interface") << "ttyUSB0"
                                                                           << "A50285BI";
    QTest::newRow("a USB device without one: never the hub's") << "ttyUSB1"
                                                               << "";
    QTest::newRow("a cdc-acm device without one: never the hub's") << "ttyACM1"
                                                                   << "";
    QTest::newRow("not on USB") << "ttyS1"
                                << "";
    QTest::newRow("no such tty") << "ttyUSB9"
                                 << "";
}

// A sysfs tree as the kernel lays it out for each kind of adapter; the serial number is on the USB device.
void tst_cli::adapter_serial_is_the_usb_devices()
{
    QFETCH(QString, tty);
    QFETCH(QString, serial);
    QTemporaryDir sysfs;
    const QString hub = sysfs.filePath(QStringLiteral("devices/pci0000:00/0000:00:14.0/usb1"));
    const auto node = [&](const QString& path, const QByteArray& serial_number) {
        QVERIFY(QDir().mkpath(path));
        QVERIFY(fixtures::write_file(path + QStringLiteral("/idVendor"), "0403\n"));
        if (!serial_number.isEmpty())
            QVERIFY(fixtures::write_file(path + QStringLiteral("/serial"), serial_number + "\n"));
    };
    node(hub, "0000:00:14.0");
    node(hub + QStringLiteral("/1-1"), "KDR7 BENCH01");
    node(hub + QStringLiteral("/1-2"), "A50285BI");
    node(hub + QStringLiteral("/1-3"), "");
    node(hub + QStringLiteral("/1-4"), "");
    QVERIFY(QDir().mkpath(sysfs.filePath(QStringLiteral("devices/platform/serial8250"))));
    QVERIFY(QDir().mkpath(sysfs.filePath(QStringLiteral("class/tty"))));
    const QString ports[][2] = {{"ttyACM0", hub + "/1-1/1-1:1.0"},
                                {"ttyUSB0", hub + "/1-2/1-2:1.0/ttyUSB0"},
                                {"ttyUSB1", hub + "/1-3/1-3:1.0/ttyUSB1"},
                                {"ttyACM1", hub + "/1-4/1-4:1.0"},
                                {"ttyS1", sysfs.filePath(QStringLiteral("devices/platform/serial8250"))}};
    for (const auto& port : ports) {
        QVERIFY(QDir().mkpath(port[1]));
        QVERIFY(QDir().mkpath(sysfs.filePath(QStringLiteral("class/tty/") + port[0])));
        QVERIFY(QFile::link(port[1], sysfs.filePath(QStringLiteral("class/tty/%1/device").arg(port[0]))));
    }
    QCOMPARE(station::usb_serial_in_sysfs(sysfs.path(), tty), serial);
}

void tst_cli::production_log_holds_whole_records()
{
    VirtualBox box;
    const QString image = dir.filePath(QStringLiteral("logged.bin"));
    QVERIFY(fixtures::write_file(image, fixtures::image(kdr7, pages(1))));
    for (const QString& target : {QStringLiteral("/dev/full"), dir.filePath("no/such/folder/log"), image}) {
        const Run refused = cli({"flash", "--log", target, "--port", box.device(), image});
        QCOMPARE(refused.status, target == image ? 2 : 4);
        QVERIFY2(
            refused.err.contains(target == image ? "are one file" : "cannot be written; nothing was sent"),
            qPrintable(target));
    }
    QVERIFY(box.transcript().empty());
    // A box whose port will not open is recorded all the same, with the image it was to get.
    {
        QSerialPort holder(box.device());
        QVERIFY(holder.open(QIODevice::ReadWrite));
        const QString busy = dir.filePath(QStringLiteral("busy.log"));
        QCOMPARE(cli({"flash", "--log", busy, "--port", box.device(), image}).status, 6);
        const QJsonObject record = log_records(busy).value(0);
        QCOMPARE(record["outcome"].toString(), QStringLiteral("no port"));
        QCOMPARE(record["image"].toObject()["sha256"].toString(), sha256_of(image));
        QCOMPARE(record["image"].toObject()["identity"].toString(), QStringLiteral("21310100"));
    }

    const QString log = dir.filePath(QStringLiteral("full.log"));
    const QByteArray earlier = QByteArray(4000, 'x') + '\n';
    QVERIFY(fixtures::write_file(log, earlier));
    QProcess p;
    p.setChildProcessModifier([] {
        rlimit limit{};
        getrlimit(RLIMIT_FSIZE, &limit);
        limit.rlim_cur = 4096;
        setrlimit(RLIMIT_FSIZE, &limit);
        std::signal(SIGXFSZ, SIG_DFL); // as a shell leaves it: the program must not die of it
    });
    p.start(QStringLiteral(ZORVANE_CLI), {"flash", "--log", log, "--port", box.device(), image});
    QVERIFY(p.waitForFinished(30000));
    QCOMPARE(p.exitCode(), 4);
    QVERIFY(p.readAllStandardError().contains("The log file " + QFile::encodeName(log) +
                                              " could not take the record"));
    QCOMPARE(box.pages_written(), 1);
    QCOMPARE(fixtures::read_file(log), earlier);

    // A sync that fails after the record landed: the record is there, and the end says it may not be on disk.
    const QString unsynced = dir.filePath(QStringLiteral("unsynced.log"));
    QProcess failing_sync;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("LD_PRELOAD"), QStringLiteral(FAIL_SYNC));
    environment.insert(QStringLiteral("ASAN_OPTIONS"), environment.value(QStringLiteral("ASAN_OPTIONS")) +
                                                           QStringLiteral(":verify_asan_link_order=0"));
    failing_sync.setProcessEnvironment(environment);
    failing_sync.start(QStringLiteral(ZORVANE_CLI),
                       {"flash", "--log", unsynced, "--port", box.device(), image});
    QVERIFY(failing_sync.waitForFinished(30000));
    QCOMPARE(failing_sync.exitCode(), 4);
    QVERIFY(failing_sync.readAllStandardError().contains("may not be on disk"));
    QCOMPARE(log_records(unsynced).size(), 1);
    // A rack's and a watch's records as well: the job's status says it.
    VirtualBox second;
    const QString folder = dir.filePath(QStringLiteral("unsynced-line"));
    QVERIFY(QDir().mkpath(folder) && QFile::link(second.device(), folder + QStringLiteral("/usb-box")));
    for (const QStringList& job : {QStringList{"--port", box.device(), "--port", second.device()},
                                   QStringList{"--watch", folder, "--count", "1"}}) {
        failing_sync.start(QStringLiteral(ZORVANE_CLI),
                           QStringList{"flash", "--log", unsynced} + job + QStringList{image});
        QVERIFY(failing_sync.waitForFinished(30000));
        QCOMPARE(failing_sync.exitCode(), 4);
    }
    QCOMPARE(log_records(unsynced).size(), 4);

    // Another process in the middle of its append holds the log's lock: the record waits for it (the
    // kernel shows the wait), and lands whole once it is released.
    const QString shared = dir.filePath(QStringLiteral("shared.log"));
    QVERIFY(fixtures::write_file(shared, QByteArray()));
    const int holder = ::open(QFile::encodeName(shared).constData(), O_RDWR | O_CLOEXEC);
    QVERIFY(holder >= 0 && ::flock(holder, LOCK_EX) == 0);
    QProcess locked_out;
    locked_out.start(QStringLiteral(ZORVANE_CLI), {"flash", "--log", shared, "--port", box.device(), image});
    QVERIFY(locked_out.waitForStarted());
    const QByteArray waiter = "-> FLOCK  ADVISORY  WRITE " + QByteArray::number(locked_out.processId()) + ' ';
    QElapsedTimer waited;
    waited.start();
    bool seen_waiting = false;
    while (!(seen_waiting = fixtures::read_file(QStringLiteral("/proc/locks")).contains(waiter)) &&
           !locked_out.waitForFinished(20) && waited.elapsed() < 30000) {
    }
    const QByteArray while_held = fixtures::read_file(shared);
    ::close(holder);
    QVERIFY2(seen_waiting, while_held.constData());
    QVERIFY(locked_out.waitForFinished(30000));
    QCOMPARE(locked_out.exitCode(), 0);
    QCOMPARE(while_held, QByteArray());
    QCOMPARE(log_records(shared).size(), 1);
    QCOMPARE(log_records(shared)[0]["outcome"].toString(), QStringLiteral("completed"));

    // The port as given, the device it led to; and no output may be another of the job's files.
    const QString link = dir.filePath(QStringLiteral("logged.link"));
    QVERIFY(QFile::link(box.device(), link));
    const QString linked = dir.filePath(QStringLiteral("linked.log"));
    QCOMPARE(cli({"flash", "--log", linked, "--port", link, image}).status, 0);
    QCOMPARE(log_records(linked).value(0)["port"].toString(), link);
    QCOMPARE(log_records(linked).value(0)["device"].toString(), QFileInfo(box.device()).canonicalFilePath());
    // The device is the one opened, though the link is gone by the end of the job.
    const std::size_t heard = box.transcript().size();
    QProcess unlinked;
    unlinked.start(QStringLiteral(ZORVANE_CLI), {"flash", "--log", linked, "--port", link, image});
    QTRY_VERIFY_WITH_TIMEOUT(box.transcript().size() > heard, 10000);
    QVERIFY(QFile::remove(link));
    QVERIFY(unlinked.waitForFinished(30000));
    QCOMPARE(unlinked.exitCode(), 0);
    QCOMPARE(log_records(linked).value(1)["device"].toString(), QFileInfo(box.device()).canonicalFilePath());
    VirtualBox beside;
    const QString rack_trace = dir.filePath(QStringLiteral("one.trace"));
    const QString rack_log = rack_trace + QLatin1Char('.') + QFileInfo(beside.device()).fileName();
    const QString linked_alias = dir.filePath(QStringLiteral("linked.alias"));
    QVERIFY(QFile::link(linked, linked_alias));
    const QByteArray kept = fixtures::read_file(linked);
    for (const QStringList& files :
         {QStringList{"--log", linked, "--trace", linked},
          QStringList{"--log", linked, "--trace", linked_alias},
          QStringList{"--trace", rack_trace, "--log", rack_log, "--port", beside.device()}}) {
        const Run refused = cli(QStringList{"flash", "--port", box.device()} + files + QStringList{image});
        QCOMPARE(refused.status, 2);
        QVERIFY2(refused.err.contains("are one file"), refused.err.constData());
    }
    QCOMPARE(fixtures::read_file(linked), kept);
    QVERIFY(!QFile::exists(rack_log) && beside.transcript().empty());

    const QString csv = dir.filePath(QStringLiteral("logged.csv"));
    QVERIFY(fixtures::write_file(csv, "Astra,192,0,0,\r\n"));
    const QString sat_log = dir.filePath(QStringLiteral("sat.log"));
    QCOMPARE(cli({"sat-write", "--allow-short", "--log", sat_log, "--port", box.device(), csv}).status, 0);
    const QList<QJsonObject> records = log_records(sat_log);
    QCOMPARE(records.size(), 1);
    QCOMPARE(records[0]["job"].toString(), QStringLiteral("sat-write"));
    QCOMPARE(records[0]["csv"].toObject()["sha256"].toString(), sha256_of(csv));
    QCOMPARE(records[0]["entries"].toInt(), 99);
    QCOMPARE(records[0]["outcome"].toString(), QStringLiteral("completed"));

    // The satellite jobs keep their files apart as well (the table, the log, the trace), and say a record
    // whose sync failed as one that may not be on disk.
    const QByteArray log_before = fixtures::read_file(sat_log), csv_before = fixtures::read_file(csv);
    for (const QStringList& job :
         {QStringList{"sat-write", "--allow-short", "--log", sat_log, "--trace", sat_log},
          QStringList{"sat-write", "--allow-short", "--log", csv}, QStringList{"sat-read", "--trace", csv}}) {
        const Run refused = cli(job + QStringList{"--port", box.device(), csv});
        QCOMPARE(refused.status, 2);
        QVERIFY2(refused.err.contains("are one file"), qPrintable(job.join(' ')));
    }
    QCOMPARE(fixtures::read_file(sat_log), log_before);
    QCOMPARE(fixtures::read_file(csv), csv_before);
    failing_sync.start(QStringLiteral(ZORVANE_CLI),
                       {"sat-write", "--allow-short", "--log", unsynced, "--port", box.device(), csv});
    QVERIFY(failing_sync.waitForFinished(30000));
    QCOMPARE(failing_sync.exitCode(), 4);
    QVERIFY(failing_sync.readAllStandardError().contains("may not be on disk"));
    QCOMPARE(log_records(unsynced).size(), 5);
}

namespace {

// The frames the box took from the tool in a table write.
int frames_taken(const VirtualBox& box)
{
    int n = 0;
    for (const VirtualBox::Event& e : box.transcript())
        n += e.from_tool && e.bytes.size() == VirtualBox::satellite_frame_size && e.bytes[0] == 'L';
    return n;
}

QByteArray table_of(int lines)
{
    QByteArray table;
    for (int i = 1; i <= lines; ++i)
        table += "Sat" + QByteArray::number(i) + ",1,2,3,\r\n";
    return table;
}

} // namespace

void tst_cli::stop_signals_end_a_job_as_ctrl_c_does_data()
{
    QTest::addColumn<QString>("job");
    QTest::addColumn<int>("signal");
    QTest::newRow("flash, Ctrl+C") << "flash" << SIGINT;
    QTest::newRow("flash, SIGTERM") << "flash" << SIGTERM;
    QTest::newRow("rack, Ctrl+C") << "rack" << SIGINT;
    QTest::newRow("rack, SIGTERM") << "rack" << SIGTERM;
    QTest::newRow("rack, SIGHUP") << "rack" << SIGHUP;
    QTest::newRow("sat-write, Ctrl+C") << "sat-write" << SIGINT;
    QTest::newRow("sat-write, SIGTERM") << "sat-write" << SIGTERM;
    QTest::newRow("sat-read, SIGHUP") << "sat-read" << SIGHUP;
    QTest::newRow("watch, SIGHUP") << "watch" << SIGHUP;
    QTest::newRow("watch, SIGTERM") << "watch" << SIGTERM;
    QTest::newRow("watch | head -n 1") << "watch" << 0; // its output closed after the first line
}

// A stop signal from a supervisor, timeout or a closed terminal ends a job as Ctrl+C does: the page or entry
// in progress ends, then the records (with what the box confirmed) and the table; a watch ends after its
// boxes. The watch's boxes are plugged before it starts: without --new-only they are flashed.
void tst_cli::stop_signals_end_a_job_as_ctrl_c_does()
{
    QFETCH(QString, job);
    QFETCH(int, signal);
    QTemporaryDir here;
    VirtualBox a, b;
    const auto list = pages(5);
    const QString image = here.filePath(QStringLiteral("signal.bin"));
    QVERIFY(fixtures::write_file(image, fixtures::image(kdr7, list)));
    const QString log = here.filePath(QStringLiteral("signal.log"));
    const QString csv = here.filePath(QStringLiteral("table.csv"));
    QVERIFY(fixtures::write_file(csv, table_of(99)));
    const QString folder = here.filePath(QStringLiteral("by-id"));
    QVERIFY(QDir().mkpath(folder) && QFile::link(a.device(), folder + QStringLiteral("/usb-a")) &&
            QFile::link(b.device(), folder + QStringLiteral("/usb-b")));
    const bool rack = job == QLatin1String("rack") || job == QLatin1String("watch");
    QStringList arguments{job == QLatin1String("rack") ? QStringLiteral("flash") : job, "--port", a.device()};
    if (job == QLatin1String("rack"))
        arguments << "--port" << b.device();
    if (job == QLatin1String("watch"))
        arguments = QStringList{"flash", "--watch", folder};
    if (job != QLatin1String("sat-read"))
        arguments << "--log" << log;
    arguments << (job.startsWith(QLatin1String("sat")) ? csv : image);
    QProcess p;
    QProcess head;
    if (signal == 0) {
        p.setStandardOutputProcess(&head);
        head.start(QStringLiteral("head"), {"-n", "1"});
    }
    p.start(QStringLiteral(ZORVANE_CLI), arguments);
    if (job.startsWith(QLatin1String("sat"))) {
        QByteArray err;
        p.setReadChannel(QProcess::StandardError);
        while (!err.contains(" 10/99 entries") && p.waitForReadyRead(10000))
            err += p.readAllStandardError();
    } else if (signal == 0) {
        QVERIFY(head.waitForFinished(20000));
        QTRY_VERIFY_WITH_TIMEOUT(times_sent(a, "C") == 1 && times_sent(b, "C") == 1, 20000);
        QTest::qWait(200);
        QCOMPARE(p.state(), QProcess::Running); // it has written its end lines into the closed pipe
        signal = SIGINT;
    } else {
        QTRY_VERIFY_WITH_TIMEOUT(a.pages_written() >= 1 && (!rack || b.pages_written() >= 1), 20000);
    }
    ::kill(pid_t(p.processId()), signal);
    QVERIFY(p.waitForFinished(30000));
    QCOMPARE(p.exitStatus(), QProcess::NormalExit);
    const QByteArray err = p.readAllStandardError();
    const QByteArray out = p.readAllStandardOutput();
    if (job == QLatin1String("watch")) {
        QCOMPARE(p.exitCode(), 0);
        QVERIFY(flash_holds(a, list) && flash_holds(b, list));
        QCOMPARE(log_records(log).size(), 2);
        for (const QJsonObject& r : log_records(log))
            QVERIFY(r["outcome"].toString() == QLatin1String("completed") && r["pages"].toInt() == 5);
        return;
    }
    QCOMPARE(p.exitCode(), 10);
    if (job == QLatin1String("sat-read")) {
        QVERIFY2(err.contains("interrupted after ") && err.contains(" of 99 entries"), err.constData());
        QVERIFY(!QFile::exists(csv + QStringLiteral(".tmp")));
        QCOMPARE(fixtures::read_file(csv), table_of(99)); // not written over by a part of the box's table
        return;
    }
    const QList<QJsonObject> records = log_records(log);
    if (job == QLatin1String("sat-write")) {
        const int taken = frames_taken(a);
        QVERIFY(taken >= 10 && taken < 99);
        const QString said = QStringLiteral("interrupted after %1 of 99 entries").arg(taken);
        QVERIFY2(err.contains(said.toLatin1()), err.constData());
        QCOMPARE(records.size(), 1);
        QCOMPARE(records[0]["outcome"].toString(), QStringLiteral("stopped"));
        QCOMPARE(records[0]["entries"].toInt(), taken);
        QCOMPARE(records[0]["message"].toString(), said);
        QVERIFY(!records[0].contains("trace_complete")); // no trace was asked for
        return;
    }
    // The pages in a record are the pages its box confirmed.
    const std::vector<VirtualBox*> boxes =
        job == QLatin1String("rack") ? std::vector<VirtualBox*>{&a, &b} : std::vector<VirtualBox*>{&a};
    QCOMPARE(records.size(), qsizetype(boxes.size()));
    for (const QJsonObject& r : records) {
        VirtualBox* box = r["device"].toString() == QFileInfo(a.device()).canonicalFilePath() ? &a : &b;
        QCOMPARE(r["outcome"].toString(), QStringLiteral("stopped"));
        QCOMPARE(r["pages"].toInt(), box->pages_written());
        QVERIFY(box->pages_written() < 5 && times_sent(*box, "C") == 0);
    }
    if (job == QLatin1String("rack"))
        QVERIFY2(out.contains("stopped") && out.count('\n') == 3, out.constData());
}

void tst_cli::a_second_stop_signal_ends_at_once_data()
{
    QTest::addColumn<int>("first");
    QTest::addColumn<int>("second");
    QTest::newRow("Ctrl+C, then SIGTERM") << SIGINT << SIGTERM;
    QTest::newRow("SIGTERM, then SIGHUP") << SIGTERM << SIGHUP;
}

// After a first stop the job waits for the box's answer in progress; a second stop, whichever, ends the
// program at once, as the signal's default does, without waiting it out.
void tst_cli::a_second_stop_signal_ends_at_once()
{
    QFETCH(int, first);
    QFETCH(int, second);
    VirtualBox box;
    VirtualBox::Fault silent;
    QVERIFY(VirtualBox::parse_fault(QStringLiteral("verdict:silent"), silent));
    box.add_fault(silent);
    const QString image = dir.filePath(QStringLiteral("twice.bin"));
    QVERIFY(fixtures::write_file(image, fixtures::image(kdr7, pages(1))));
    QProcess p;
    p.setReadChannel(QProcess::StandardError);
    p.start(QStringLiteral(ZORVANE_CLI), {"flash", "--port", box.device(), image});
    QByteArray err;
    while (!err.contains("Getting into Bootloader Mode...") && p.waitForReadyRead(10000))
        err += p.readAllStandardError();
    // The box holds the job in its verdict's wait (10 s) from here.
    QTRY_VERIFY_WITH_TIMEOUT(times_sent(box, fixtures::kdr7_identity_bytes) == 1, 10000);
    ::kill(pid_t(p.processId()), first);
    QTest::qWait(300);
    QCOMPARE(p.state(), QProcess::Running);
    ::kill(pid_t(p.processId()), second);
    QVERIFY(p.waitForFinished(30000));
    QCOMPARE(p.exitStatus(), QProcess::CrashExit);
}

void tst_cli::an_image_rewritten_mid_flash_is_no_update_data()
{
    QTest::addColumn<bool>("grown"); // records appended; otherwise rewritten at the same size
    QTest::newRow("rewritten in place") << false;
    QTest::newRow("records appended") << true;
}

// cp over the image while it is flashed rewrites the file in place: the box gets part of the old image and
// part of the new. Records appended meanwhile are never sent. Either way the update fails (no finish
// request) and says why; the record is of the image opened.
void tst_cli::an_image_rewritten_mid_flash_is_no_update()
{
    QFETCH(bool, grown);
    QTemporaryDir here;
    VirtualBox box;
    // More than a buffer's worth of records: the later ones are read from the file as it is by then.
    std::vector<fixtures::Page> old_pages = pages(31), new_pages;
    for (int i = 0; i < 31; ++i)
        new_pages.push_back(fixtures::page_at(0x8000 + 0x200 * i, std::uint32_t(i + 500)));
    const QString image = here.filePath(QStringLiteral("img.bin"));
    const QString log = here.filePath(QStringLiteral("log"));
    const QByteArray original = fixtures::image(kdr7, old_pages);
    QVERIFY(fixtures::write_file(image, original));
    QProcess p;
    p.start(QStringLiteral(ZORVANE_CLI), {"flash", "--log", log, "--port", box.device(), image});
    QTRY_VERIFY_WITH_TIMEOUT(box.pages_written() >= 1, 20000);
    {
        QFile same(image);
        if (grown) {
            QVERIFY(same.open(QIODevice::WriteOnly | QIODevice::Append));
            QVERIFY(same.write(fixtures::image(kdr7, new_pages).mid(4, 5 * 546)) == 5 * 546);
        } else {
            // As cp does: the same file, emptied and written anew, here with another image of the same size.
            QVERIFY(same.open(QIODevice::WriteOnly | QIODevice::Truncate));
            QCOMPARE(same.write(fixtures::image(kdr7, new_pages)), qint64(original.size()));
        }
    }
    QVERIFY(p.waitForFinished(60000));
    const QByteArray err = p.readAllStandardError();
    QCOMPARE(p.exitCode(), 3);
    QVERIFY2(err.contains("The BIN file changed while it was sent"), err.constData());
    QCOMPARE(times_sent(box, "C"), 0);
    QVERIFY(box.pages_written() <= 31);
    const QList<QJsonObject> records = log_records(log);
    QCOMPARE(records.size(), 1);
    QCOMPARE(records[0]["outcome"].toString(), QStringLiteral("failed"));
    QCOMPARE(records[0]["pages"].toInt(), box.pages_written());
    QCOMPARE(records[0]["image"].toObject()["sha256"].toString(),
             QString::fromLatin1(QCryptographicHash::hash(original, QCryptographicHash::Sha256).toHex()));
}

void tst_cli::a_rotated_log_keeps_every_record_data()
{
    QTest::addColumn<QString>("rotation");
    QTest::newRow("moved, compressed") << "moved";
    QTest::newRow("copied, truncated") << "copied";
    // Not rotated, but named through a link (as a line's log kept on another disk): the path names the
    // open file all along.
    QTest::newRow("a link, kept") << "none";
}

// A rotation while a watch runs loses no record, whether the log is moved away (a new one is made and said
// once) or copied and emptied; a log named through a link is no rotated one. A flash beside the watch appends
// to the same log between the watch's boxes; a box present at the start is flashed; a port name's non-ASCII
// text keeps its line whole.
void tst_cli::a_rotated_log_keeps_every_record()
{
    QFETCH(QString, rotation);
    const bool moved = rotation == QLatin1String("moved");
    QTemporaryDir here;
    VirtualBox present, beside, later;
    const QString image = here.filePath(QStringLiteral("rotate.bin"));
    QVERIFY(fixtures::write_file(image, fixtures::image(kdr7, pages(1))));
    const QString folder = here.filePath(QStringLiteral("by-id"));
    const QString log = here.filePath(QStringLiteral("line.log"));
    const QString present_name = folder + QString::fromUtf8("/usb-M\xc3\xbcnchen-\xc3\x9c");
    QVERIFY(QDir().mkpath(folder) && QFile::link(present.device(), present_name));
    if (rotation == QLatin1String("none"))
        QVERIFY(QFile::link(here.filePath(QStringLiteral("kept.log")), log));
    QProcess p;
    const QByteArray said = start_watch(p, {folder, "--count", "2", "--log", log, image});
    QTRY_VERIFY_WITH_TIMEOUT(log_records(log).size() == 1, 20000);
    // The lock the watch took for its record is free again: another process appends.
    QProcess flash;
    flash.start(QStringLiteral(ZORVANE_CLI), {"flash", "--log", log, "--port", beside.device(), image});
    QVERIFY(flash.waitForFinished(30000));
    QCOMPARE(flash.exitCode(), 0);
    const QByteArray before = fixtures::read_file(log);
    QCOMPARE(log_records(log).size(), 2);
    const QString rotated = log + QStringLiteral(".1");
    if (moved) {
        QVERIFY(QFile::rename(log, rotated));
        QVERIFY(QFile::remove(rotated)); // as gzip does once it has written log.1.gz
    } else if (rotation == QLatin1String("copied")) {
        QVERIFY(QFile::copy(log, rotated));
        QVERIFY(QFile::resize(log, 0));
    }
    QVERIFY(QFile::link(later.device(), folder + QStringLiteral("/usb-later")));
    QVERIFY(p.waitForFinished(30000));
    const QByteArray err = said + p.readAllStandardError();
    QCOMPARE(p.exitCode(), 0);
    const QList<QJsonObject> records = log_records(log);
    QCOMPARE(records.size(), rotation == QLatin1String("none") ? 3 : 1);
    QCOMPARE(records.last()["device"].toString(), QFileInfo(later.device()).canonicalFilePath());
    QCOMPARE(records.last()["outcome"].toString(), QStringLiteral("completed"));
    QCOMPARE(err.count("was moved away or removed"), moved ? 1 : 0);
    if (rotation == QLatin1String("copied"))
        QCOMPARE(fixtures::read_file(rotated), before);
    // Each line whole, its bytes as they are.
    const QByteArray out = p.readAllStandardOutput();
    const QRegularExpression start_line(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d start  %1  serial -$")
                                            .arg(QRegularExpression::escape(present_name)),
                                        QRegularExpression::MultilineOption);
    QVERIFY2(start_line.match(QString::fromUtf8(out)).hasMatch(), out.constData());
    QCOMPARE(out.count('\n'), 2 + 2 + 3); // two starts and ends; the table's head and its two rows
}

void tst_cli::a_lost_trace_is_said_beside_the_outcome_data()
{
    QTest::addColumn<QString>("job");
    QTest::addColumn<QString>("said"); // the box's own message
    QTest::newRow("flash") << "flash"
                           << "Update process completed.";
    QTest::newRow("sat-write") << "sat-write"
                               << "Satellite data write successfully!";
}

// A trace that could not be written (its file grew beyond the file-size limit) is said in the record's own
// field and message; the outcome stays the box's, the same for both jobs, and the status says the loss.
void tst_cli::a_lost_trace_is_said_beside_the_outcome()
{
    QFETCH(QString, job);
    QFETCH(QString, said);
    QTemporaryDir here;
    VirtualBox box;
    const QString image = here.filePath(QStringLiteral("trace.bin"));
    QVERIFY(fixtures::write_file(image, fixtures::image(kdr7, pages(1))));
    const QString csv = here.filePath(QStringLiteral("trace.csv"));
    QVERIFY(fixtures::write_file(csv, table_of(99)));
    const QString log = here.filePath(QStringLiteral("trace.log"));
    QProcess p;
    p.setChildProcessModifier([] {
        rlimit limit{};
        getrlimit(RLIMIT_FSIZE, &limit);
        limit.rlim_cur = 4096;
        setrlimit(RLIMIT_FSIZE, &limit);
    });
    p.start(QStringLiteral(ZORVANE_CLI),
            {job, "--log", log, "--trace", here.filePath(QStringLiteral("t")), "--port", box.device(),
             job == QLatin1String("flash") ? image : csv});
    QVERIFY(p.waitForFinished(60000));
    QCOMPARE(p.exitCode(), 4);
    const QList<QJsonObject> records = log_records(log);
    QCOMPARE(records.size(), 1);
    QCOMPARE(records[0]["outcome"].toString(), QStringLiteral("completed"));
    QCOMPARE(records[0]["exit"].toInt(), 4);
    QCOMPARE(records[0]["trace_complete"], QJsonValue(false));
    QVERIFY2(records[0]["message"].toString().startsWith(said) &&
                 records[0]["message"].toString().contains(QLatin1String("the trace is incomplete")),
             qPrintable(records[0]["message"].toString()));
}

// A line's reply that comes after its wait, and again for the line sent anew, leaves a byte waiting: the
// writes after it still leave at once (none is held back as unsent), and the flash takes the late reply's
// time and no more.
void tst_cli::a_late_doubled_reply_slows_no_later_write()
{
    VirtualBox box;
    VirtualBox::Fault late;
    QVERIFY(VirtualBox::parse_fault(QStringLiteral("line:slow=4300@0.3x1"), late));
    box.add_fault(late);
    const auto list = pages(2);
    const QString image = dir.filePath(QStringLiteral("late.bin"));
    QVERIFY(fixtures::write_file(image, fixtures::image(kdr7, list)));
    const QString trace = dir.filePath(QStringLiteral("late.trace"));
    QElapsedTimer clock;
    clock.start();
    const Run run = cli({"flash", "--trace", trace, "--port", box.device(), image});
    const qint64 took = clock.elapsed();
    QCOMPARE(run.status, 0);
    QCOMPARE(times_sent(box, fixtures::record(list[0]).mid(2 + 17 * 3, 17)), 2);
    QVERIFY(!fixtures::read_file(trace).contains("unsent"));
    // About 1.5 s for the pages and 4 s of waiting; every later write held back would add a third of a
    // second (about 20 s).
    QVERIFY2(took < 10000, qPrintable(QString::number(took)));
}

// A name is no plug: one by-id name that two adapters share (udev points it at the newest and back), and a
// folder removed and made again, empty for a while, leave each box flashed once while its node stays; the
// shared name is said once. A node is: one made anew between two looks, under the same name and number (an
// adapter pulled and plugged again at once), is a new plug, flashed again.
// A box plugged all along is never flashed again because its node's times were touched (udev does so at
// every event for the device, a chmod too); a node made anew is a new plug.
void tst_cli::a_node_is_told_by_how_it_was_made_data()
{
    QTest::addColumn<unsigned>("major");
    QTest::addColumn<qint64>("inode_after");
    QTest::addColumn<qint64>("changed_after");
    QTest::addColumn<bool>("same");
    // Before: inode 412, changed at 1000 ns.
    QTest::newRow("ttyUSB, its times touched") << 188U << qint64(412) << qint64(2000) << true;
    QTest::newRow("ttyUSB made anew") << 188U << qint64(977) << qint64(1000) << false;
    QTest::newRow("pseudo-terminal made again under its index")
        << 136U << qint64(412) << qint64(2000) << false;
}

void tst_cli::a_node_is_told_by_how_it_was_made()
{
    QFETCH(unsigned, major);
    QFETCH(qint64, inode_after);
    QFETCH(qint64, changed_after);
    QFETCH(bool, same);
    QCOMPARE(station::node_instance(major, inode_after, changed_after) ==
                 station::node_instance(major, 412, 1000),
             same);
}

void tst_cli::a_box_is_unplugged_only_when_its_node_goes()
{
    QTemporaryDir here;
    VirtualBox a;
    std::optional<VirtualBox> b;
    b.emplace();
    const QString image = here.filePath(QStringLiteral("shared.bin"));
    QVERIFY(fixtures::write_file(image, fixtures::image(kdr7, pages(1))));
    const QString folder = here.filePath(QStringLiteral("by-id"));
    const QString log = here.filePath(QStringLiteral("shared.log"));
    const QString shared = folder + QStringLiteral("/usb-1a86_USB_Serial-if00-port0");
    // Re-pointed as udev does: a new link moved over the name.
    const auto point = [&](const VirtualBox& box) {
        const QString next = here.filePath(QStringLiteral("next"));
        return QFile::link(box.device(), next) &&
               ::rename(QFile::encodeName(next).constData(), QFile::encodeName(shared).constData()) == 0;
    };
    QVERIFY(QDir().mkpath(folder) && QFile::link(a.device(), shared));
    QProcess p;
    const QByteArray said = start_watch(p, {folder, "--log", log, image});
    QTRY_VERIFY_WITH_TIMEOUT(times_sent(a, "C") == 1, 20000);
    QVERIFY(point(*b));
    QTRY_VERIFY_WITH_TIMEOUT(times_sent(*b, "C") == 1, 20000);
    QVERIFY(point(a));
    QTest::qWait(500);
    QVERIFY(QFile::remove(shared) && QDir().rmdir(folder));
    QTest::qWait(300);
    QVERIFY(QDir().mkpath(folder));
    QTest::qWait(300);
    QVERIFY(QFile::link(a.device(), shared) &&
            QFile::link(b->device(), folder + QStringLiteral("/usb-1a86_USB_Serial-if01-port0")));
    QTest::qWait(500);
    QCOMPARE(times_sent(*b, "E"), 1);
    // b's pseudo-terminal closed and made again: the freed number is given again at once, to a new node.
    const QString b_device = b->device();
    b.reset();
    b.emplace();
    if (b->device() != b_device) {
        // The name leads to another program's terminal now: the watch is stopped before it looks again.
        ::kill(pid_t(p.processId()), SIGKILL);
        QSKIP("another program took the pseudo-terminal's number meanwhile");
    }
    QTRY_VERIFY_WITH_TIMEOUT(times_sent(*b, "C") == 1, 20000);
    ::kill(pid_t(p.processId()), SIGINT);
    QVERIFY(p.waitForFinished(30000));
    const QByteArray err = said + p.readAllStandardError();
    QCOMPARE(p.exitCode(), 0);
    QCOMPARE(times_sent(a, "E"), 1);
    QCOMPARE(times_sent(*b, "E"), 1);
    QCOMPARE(log_records(log).size(), 3);
    QVERIFY2(err.count("is ambiguous") == 1 && err.contains("--match"), err.constData());
}

void tst_cli::unpack_refuses_a_damaged_image_data()
{
    QTest::addColumn<int>("offset"); // of the byte changed (-1: the image is cut instead)
    QTest::addColumn<int>("mask");   // what the byte is XORed with
    QTest::addColumn<int>("cut");
    QTest::addColumn<QByteArray>("message");
    QTest::addColumn<int>("status");
    // Record 1: its header, then line 0 and line 5: a checksum byte, then data bytes.
    const int record1 = 4 + 546;
    const int line5 = record1 + 2 + 5 * 17;
    QTest::newRow("bad checksum byte")
        << line5 + 16 << 0x40 << 0 << QByteArray("record 1 (page 0x8200), line 5") << 5;
    QTest::newRow("bad data byte") << line5 + 3 << 0x40 << 0 << QByteArray("record 1 (page 0x8200), line 5")
                                   << 5;
    QTest::newRow("bad byte in line 0")
        << record1 + 2 + 3 << 0x01 << 0 << QByteArray("record 1 (page 0x8200), line 0") << 5;
    QTest::newRow("header with an odd high byte")
        << record1 << 0x7D << 0 << QByteArray("record 1: the header 0xff00 is no page base") << 5;
    QTest::newRow("header with a low byte")
        << record1 + 1 << 0x40 << 0 << QByteArray("record 1: the header 0x8240 is no page base") << 5;
    QTest::newRow("partial record") << -1 << 0 << 100 << QByteArray("ends in a partial record of 446 bytes")
                                    << 5;
    QTest::newRow("no identity") << -1 << 0 << 4 + 3 * 546 - 3 << QByteArray("shorter than its 4-byte") << 5;
    QTest::newRow("whole") << -1 << 0 << 0 << QByteArray("3 page records") << 0;
}

// A damaged image is named, with its line, and no S19 is written.
void tst_cli::unpack_refuses_a_damaged_image()
{
    QFETCH(int, offset);
    QFETCH(int, mask);
    QFETCH(int, cut);
    QFETCH(QByteArray, message);
    QFETCH(int, status);
    QByteArray image = fixtures::image(kdr7, pages(3));
    if (offset >= 0)
        image[offset] = char(image[offset] ^ mask);
    image.chop(cut);
    const QString bin = dir.filePath(QStringLiteral("damaged.bin"));
    const QString s19 = dir.filePath(QStringLiteral("damaged.s19"));
    QFile::remove(s19);
    QVERIFY(fixtures::write_file(bin, image));
    const Run run = cli({"unpack", bin, s19});
    QCOMPARE(run.status, status);
    QVERIFY2((run.err + run.out).contains(message), run.err.constData());
    QCOMPARE(QFile::exists(s19), status == 0);
}

void tst_cli::endless_inputs_data()
{
    QTest::addColumn<QString>("source");
    QTest::addColumn<QStringList>("command"); // INPUT stands for the input's path
    QTest::addColumn<QByteArray>("message");
    const QList<QPair<QStringList, QByteArray>> commands{
        {{"pack", "INPUT", "out.bin"}, "Fail to open S19 file!"},
        {{"info", "INPUT"}, "Can not open BIN file"},
        {{"flash", "--port", "COM1", "INPUT"}, "Can not open BIN file"},
        {{"sat-write", "--port", "COM1", "INPUT"}, "Fail to open CSV file"},
    };
    for (const char* source : {"fifo", "/dev/zero", "link to a fifo"}) {
        for (const auto& c : commands)
            QTest::addRow("%s, %s", qPrintable(c.first.first()), source) << source << c.first << c.second;
    }
}

// A FIFO blocks its open until a writer comes, /dev/zero never ends: the readers take regular files only.
void tst_cli::endless_inputs()
{
    QFETCH(QString, source);
    QFETCH(QStringList, command);
    QFETCH(QByteArray, message);
    QString input = source;
    if (source != QLatin1String("/dev/zero")) {
        const QString fifo = dir.filePath(QStringLiteral("endless.fifo"));
        QFile::remove(fifo);
        QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
        input = fifo;
        if (source == QLatin1String("link to a fifo")) {
            input = dir.filePath(QStringLiteral("endless.csv"));
            QFile::remove(input);
            QVERIFY(QFile::link(fifo, input));
        }
    }
    command.replaceInStrings(QStringLiteral("INPUT"), input);
    command.replaceInStrings(QStringLiteral("out.bin"), dir.filePath(QStringLiteral("endless.bin")));
    QElapsedTimer clock;
    clock.start();
    const Run run = cli(command, 10000);
    QVERIFY2(clock.elapsed() < 1000, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(run.status, 3);
    QVERIFY2(run.err.contains(message), run.err.constData());
}

QTEST_MAIN(tst_cli)
#include "tst_cli.moc"
