// A box that misbehaves at every step, files that fail, clicks that come at the wrong time: each must end
// in its message, with the port let go, the buttons usable and no wait longer than its bound.
#include "BoxChecks.h"
#include "Fixtures.h"
#include "PtyBox.h"
#include "WindowBench.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTableWidget>
#include <QTest>
#include <QTimer>

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

const Identity& kdr7 = fixtures::kdr7_identity;

std::vector<fixtures::Page> pages(int count)
{
    std::vector<fixtures::Page> list;
    for (int i = 0; i < count; ++i)
        list.push_back(fixtures::page_at(0x8000 + 0x200 * i, std::uint32_t(40 + i)));
    return list;
}

const char* const no_feedback = "Warning: Cannot receive feedback, please restart box and PC software";

bool run(const QString& program, const QStringList& arguments)
{
    QProcess p;
    p.start(program, arguments);
    return p.waitForFinished(10000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

// The peak resident memory of this process so far, in KiB.
long peak_kib()
{
    for (const QByteArray& line : fixtures::read_file(QStringLiteral("/proc/self/status")).split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').first().toLong();
    }
    return -1;
}

// A place where a file cannot be written as asked; undone when it goes.
struct FaultyPlace
{
    QString folder;
    QString target; // the file to write
    QString undo_program;
    QStringList undo_arguments;
    ~FaultyPlace()
    {
        if (!undo_program.isEmpty())
            run(undo_program, undo_arguments);
    }
};

// Sets up the place; an empty reason means it is ready, else why this machine cannot have it.
QString make_place(const QString& kind, const QString& root, FaultyPlace& place)
{
    place.folder = root + QStringLiteral("/place");
    QDir().mkpath(place.folder);
    place.target = place.folder + QStringLiteral("/table.out");
    if (kind == QLatin1String("full device")) {
        // A copy of /dev/full: every write fails with "no space".
        if (::mknod(QFile::encodeName(place.target).constData(), S_IFCHR | 0666, makedev(1, 7)) != 0)
            return QStringLiteral("cannot make a device node here");
        return QString();
    }
    fixtures::write_file(place.target, "OLD CONTENT");
    if (kind == QLatin1String("full disk")) {
        const QString disk = root + QStringLiteral("/disk");
        QDir().mkpath(disk);
        if (!run(QStringLiteral("mount"), {"-t", "tmpfs", "-o", "size=4k", "tmpfs", disk}))
            return QStringLiteral("cannot mount a small tmpfs here");
        place.undo_program = QStringLiteral("umount");
        place.undo_arguments = {disk};
        place.folder = disk;
        place.target = disk + QStringLiteral("/table.out");
        fixtures::write_file(place.target, "OLD CONTENT"); // takes the one page there is
        return QString();
    }
    if (kind == QLatin1String("read-only folder")) {
        if (::geteuid() != 0) {
            QFile::setPermissions(place.folder, QFile::ReadOwner | QFile::ExeOwner);
            return QString();
        }
        if (!run(QStringLiteral("chattr"), {"+i", place.folder}))
            return QStringLiteral("chattr +i does not work here");
        place.undo_program = QStringLiteral("chattr");
        place.undo_arguments = {"-i", place.folder};
        return QString();
    }
    return QString(); // "vanishing folder": removed between choice and use
}

} // namespace

class tst_faults : public QObject
{
    Q_OBJECT

private slots:
    void bootloader_matrix_data();
    void bootloader_matrix();
    void satellite_matrix_data();
    void satellite_matrix();
    void files_written_under_fault_data();
    void files_written_under_fault();
    void files_read_under_fault_data();
    void files_read_under_fault();
    void endless_inputs_data();
    void endless_inputs();
    void clicks_everywhere_during_every_long_handler_data();
    void clicks_everywhere_during_every_long_handler();
    void window_stays_while_the_box_is_talked_to_data();
    void window_stays_while_the_box_is_talked_to();
};

void tst_faults::bootloader_matrix_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("message");
    QTest::addColumn<bool>("final_ending"); // Stop disabled afterwards
    QTest::addColumn<int>("bound_ms");
    QTest::addColumn<int>("at_least_ms"); // a wait that must be waited out whole
    // Waited out in real time on a pseudo-terminal where the row is about a wait's bound; otherwise on the
    // direct wire, where the waits are the sum of the sleeps the tool asked for.
    QTest::addColumn<bool>("direct");

    const QString not_prepared =
        "Warning: Device has not been prepared, please re-connect cable and reboot the update software.";
    const QString failed =
        "Error: Update process failed, please reboot the device and restart the update program.";
    const QString write_error = "Warning: Data write error, please restart box and PC software";
    // A line closed under the tool is a device gone: said as such at once, whatever the step.
    const QString gone =
        "Warning: The serial port is gone (the cable or the adapter was disconnected), please "
        "re-connect it and restart box and PC software";
    struct Row
    {
        const char* step;
        QString silent, wrong;
        bool final_ending;
        int bound_ms;
        int silent_ms; // how long no answer is awaited
    };
    const Row rows[] = {
        {"prepared", not_prepared, not_prepared, false, 2000, 800},
        {"goahead", no_feedback, no_feedback, false, 6500, 5000},
        {"verdict", no_feedback, "Warning: Device rejected the BIN file, please restart box and PC software",
         false, 11500, 10000},
        // Sixteen sends of the line, each waiting out its 4 s.
        {"line", no_feedback, no_feedback, false, 66500, 16 * 4000},
        {"page", write_error, write_error, false, 4500, 2500},
        {"finish", failed, failed, true, 4000, 2000},
    };
    for (const Row& r : rows) {
        const QString at =
            QLatin1String(r.step) == QLatin1String("line") ? QStringLiteral("@1.5") : QString();
        const QString page_at =
            QLatin1String(r.step) == QLatin1String("page") ? QStringLiteral("@1") : QString();
        // Sixteen whole waits of a line are counted on the direct wire; one is waited out for real below.
        const bool sixteen_waits = QLatin1String(r.step) == QLatin1String("line");
        QTest::addRow("%s no answer", r.step)
            << QStringLiteral("%1:silent%2%3").arg(r.step, at, page_at) << r.silent << r.final_ending
            << r.bound_ms << r.silent_ms << sixteen_waits;
        QTest::addRow("%s wrong byte", r.step) << QStringLiteral("%1:byte=0x58%2%3").arg(r.step, at, page_at)
                                               << r.wrong << r.final_ending << r.bound_ms << 0 << true;
        // On the pseudo-terminal, whose slave fails once the box's end is closed, as a USB tty does when its
        // adapter is pulled out; the box closes 100 ms after the last answer, the tool then has 500 ms.
        QTest::addRow("%s line closed", r.step)
            << QStringLiteral("%1:close%2%3").arg(r.step, at, page_at) << gone << false << 600 << 0 << false;
    }
    QTest::addRow("line no answer once")
        << QStringLiteral("line:silent@1.5x1") << QStringLiteral("Hint: Update process completed.") << true
        << 5000 << 4000 << false;
}

void tst_faults::bootloader_matrix()
{
    QFETCH(QString, fault);
    QFETCH(QString, message);
    QFETCH(bool, final_ending);
    QFETCH(int, bound_ms);
    QFETCH(int, at_least_ms);
    QFETCH(bool, direct);
    WindowBench bench(direct ? VirtualBox::Wire::Direct : VirtualBox::Wire::Pty);
    VirtualBox::Fault f;
    QVERIFY(VirtualBox::parse_fault(fault, f));
    bench.box->add_fault(f);
    const auto image_pages = pages(2);
    bench.choose("pushButton_bin_update", bench.file("image.bin", fixtures::image(kdr7, image_pages)));

    QElapsedTimer clock;
    clock.start();
    const qint64 slept_before = WindowBench::slept_ms();
    AnswerProbe probe;
    if (!direct)
        probe.start();
    bench.button("pushButton_update_start")->click();
    const qint64 took = direct ? WindowBench::slept_ms() - slept_before : clock.elapsed();
    // Windows calls a window that takes no event for 5 s "Not Responding": it answers throughout every
    // wait, the verdict's 10 s included.
    const qint64 slowest_answer = probe.stop();
    QVERIFY2(slowest_answer < 200, qPrintable(QString::number(slowest_answer)));
    // The pages before the failing step, the entry and its pauses, and the bound of the failing wait.
    const qint64 allowed = 450 + 700 + bound_ms + 1500;
    QVERIFY2(took < allowed, qPrintable(QString::number(took)));
    QVERIFY2(took >= at_least_ms, qPrintable(QString::number(took)));
    if (fault.startsWith(QLatin1String("line:silent@1.5")))
        QCOMPARE(times_sent(*bench.box, fixtures::record(image_pages[1]).mid(2 + 5 * 17, 17)),
                 fault.endsWith(QLatin1String("x1")) ? 2 : 16);

    QCOMPARE(bench.answers.box_lines(), QStringList{message});
    QVERIFY(bench.update_buttons(!final_ending));
    if (f.kind != VirtualBox::Fault::Close)
        QVERIFY(bench.port_released());
    // The image was closed by the ending: a second Start touches nothing.
    const size_t before = bench.box->transcript().size();
    bench.answers.boxes.clear();
    bench.button("pushButton_update_start")->click();
    QCOMPARE(bench.answers.box_lines(), QStringList{"Warning: Can not find BIN file"});
    QCOMPARE(bench.box->transcript().size(), before);
}

void tst_faults::satellite_matrix_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<bool>("reading");
    QTest::addColumn<QString>("message");
    QTest::addColumn<int>("progress"); // -1: left as it was

    const QString connection = "Error: Data connection error, please restart box and PC software";
    const QString read_error = "Error: Data read error, please restart box and PC software";
    const QString write_error = "Error: Data write error, please restart box and PC software";
    const QString gone =
        "Warning: The serial port is gone (the cable or the adapter was disconnected), please "
        "re-connect it and restart box and PC software";
    for (const char* kind : {"silent", "byte=0x58", "close"}) {
        const bool closed = QLatin1String(kind) == QLatin1String("close");
        QTest::addRow("read answer %s", kind)
            << QStringLiteral("satanswer:%1").arg(kind) << true << (closed ? gone : connection) << -1;
        QTest::addRow("read record 5 %s", kind)
            << QStringLiteral("satrecord:%1@5").arg(kind) << true << (closed ? gone : read_error) << 5;
        QTest::addRow("write answer %s", kind)
            << QStringLiteral("satanswer:%1").arg(kind) << false << (closed ? gone : connection) << -1;
        QTest::addRow("write acknowledge 5 %s", kind)
            << QStringLiteral("satack:%1@5").arg(kind) << false << (closed ? gone : write_error) << 6;
    }
}

void tst_faults::satellite_matrix()
{
    QFETCH(QString, fault);
    QFETCH(bool, reading);
    QFETCH(QString, message);
    QFETCH(int, progress);
    WindowBench bench;
    VirtualBox::Fault f;
    QVERIFY(VirtualBox::parse_fault(fault, f));
    bench.box->add_fault(f);
    bench.progress("progressBar_sat_setting")->setValue(33);

    QElapsedTimer clock;
    clock.start();
    AnswerProbe probe;
    probe.start();
    bench.button(reading ? "pushButton_sat_read" : "pushButton_sat_save")->click();
    const qint64 slowest_answer = probe.stop();
    QVERIFY2(slowest_answer < 200, qPrintable(QString::number(slowest_answer)));
    // 102 polls of 10 ms is the longest wait; entries before the failing one add their pacing.
    QVERIFY2(clock.elapsed() < 1020 + 5 * 150 + 1500, qPrintable(QString::number(clock.elapsed())));

    QCOMPARE(bench.answers.box_lines(), QStringList{message});
    QVERIFY(bench.satellite_buttons_enabled());
    QCOMPARE(bench.progress("progressBar_sat_setting")->value(), progress < 0 ? 33 : progress);
    if (f.kind != VirtualBox::Fault::Close)
        QVERIFY(bench.port_released());
}

void tst_faults::files_written_under_fault_data()
{
    QTest::addColumn<QString>("writer");
    QTest::addColumn<QString>("place");
    QTest::addColumn<QString>("message");
    for (const char* place : {"full device", "full disk", "read-only folder", "vanishing folder"}) {
        const bool cannot_open = QLatin1String(place) == QLatin1String("read-only folder") ||
                                 QLatin1String(place) == QLatin1String("vanishing folder");
        QTest::addRow("CSV, %s", place)
            << "csv" << place
            << (cannot_open ? "Warning: Fail to open CSV file" : "Warning: Fail to write CSV file");
        QTest::addRow("BIN, %s", place)
            << "bin" << place
            << (cannot_open ? "Warning: Fail to open Bin file!" : "Warning: Fail to write Bin file!");
    }
}

void tst_faults::files_written_under_fault()
{
    QFETCH(QString, writer);
    QFETCH(QString, place);
    QFETCH(QString, message);
    WindowBench bench;
    FaultyPlace where;
    const QString unavailable = make_place(place, bench.dir.path(), where);
    if (!unavailable.isEmpty())
        QSKIP(qPrintable(unavailable));
    const bool vanishing = place == QLatin1String("vanishing folder");
    const auto vanish = [&where] { QDir(where.folder).removeRecursively(); };

    if (writer == QLatin1String("csv")) {
        bench.window->findChild<QTableWidget*>(QStringLiteral("sat_setting"))
            ->setItem(0, 0, new QTableWidgetItem(QString(4000, QLatin1Char('n'))));
        bench.answers.answer_file(where.target,
                                  vanishing ? std::function<void()>(vanish) : std::function<void()>());
        bench.button("pushButton_sat_save_file")->click();
    } else {
        QByteArray s19 = fixtures::s1_line(0x3100, fixtures::kdr7_identity_bytes) + "\r\n";
        for (int a = 0x8000; a < 0x9000; a += 32)
            s19 += fixtures::s1_line(a, QByteArray(32, 'f')) + "\r\n";
        bench.choose("pushButton_s19", bench.file(QStringLiteral("in.s19"), s19));
        bench.choose("pushButton_bin", where.target);
        if (vanishing)
            vanish();
        bench.button("pushButton_package_start")->click();
    }
    QCOMPARE(bench.answers.box_lines(), QStringList{message});
    if (place == QLatin1String("full device")) {
        struct stat node
        {
        };
        QVERIFY(::stat(QFile::encodeName(where.target).constData(), &node) == 0);
        QVERIFY2(S_ISCHR(node.st_mode), "the device node was replaced");
    } else if (!vanishing) {
        QCOMPARE(fixtures::read_file(where.target), QByteArray("OLD CONTENT"));
        QCOMPARE(QDir(where.folder).entryList(QDir::Files), QStringList{"table.out"});
    }
}

void tst_faults::files_read_under_fault_data()
{
    QTest::addColumn<QString>("reader");
    QTest::addColumn<QString>("content");
    for (const char* reader : {"s19", "csv", "bin"}) {
        for (const char* content : {"empty", "truncated", "binary", "huge", "long line", "zero bytes"})
            QTest::addRow("%s, %s", reader, content) << reader << content;
    }
}

void tst_faults::files_read_under_fault()
{
    QFETCH(QString, reader);
    QFETCH(QString, content);
    WindowBench bench;
    const QByteArray identity = fixtures::s1_line(0x3100, fixtures::kdr7_identity_bytes) + "\r\n";
    QByteArray good;
    if (reader == QLatin1String("s19")) {
        good = identity;
        for (int a = 0x8000; a < 0x8400; a += 32)
            good += fixtures::s1_line(a, QByteArray(32, 'c')) + "\r\n";
    } else if (reader == QLatin1String("csv")) {
        for (int i = 0; i < 20; ++i)
            good += "Sat" + QByteArray::number(i) + ",192,45,-45,\r\n";
    } else {
        good = fixtures::image(kdr7, pages(3));
    }
    const QString path = bench.dir.filePath(QStringLiteral("input"));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    if (content == QLatin1String("truncated")) {
        file.write(good.left(good.size() - 23));
    } else if (content == QLatin1String("binary")) {
        QByteArray noise(64 * 1024, '\0');
        QRandomGenerator random(7);
        random.fillRange(reinterpret_cast<quint32*>(noise.data()), noise.size() / 4);
        file.write(noise);
    } else if (content == QLatin1String("huge")) {
        const QByteArray block(1 << 20, 'x');
        for (int i = 0; i < 100; ++i)
            file.write(block);
    } else if (content == QLatin1String("long line")) {
        file.write(good.left(40) + QByteArray(1 << 20, '7') + "\r\n" + good);
    } else if (content == QLatin1String("zero bytes")) {
        QByteArray zeros = good;
        for (int i = 3; i < zeros.size(); i += 11)
            zeros[i] = '\0';
        file.write(zeros);
    }
    file.close();

    const long memory_before = peak_kib();
    QElapsedTimer clock;
    clock.start();
    if (reader == QLatin1String("s19")) {
        bench.choose("pushButton_s19", path);
        bench.choose("pushButton_bin", bench.dir.filePath(QStringLiteral("out.bin")));
        bench.button("pushButton_package_start")->click();
        // Either the file was good enough to convert, or each attempt said why not.
        const QStringList boxes = bench.answers.box_lines();
        const QByteArray image = fixtures::read_file(bench.dir.filePath(QStringLiteral("out.bin")));
        if (boxes.isEmpty())
            QVERIFY(image.size() >= 550 && (image.size() - 4) % 546 == 0);
        else
            QVERIFY2(image.isEmpty(), qPrintable(boxes.join('\n')));
        for (const QString& line : boxes)
            QVERIFY2(line.startsWith("Warning: "), qPrintable(line));
    } else if (reader == QLatin1String("csv")) {
        bench.choose("pushButton_sat_read_file", path);
        // What cannot be read is refused with its line and why, before a row is filled.
        const int refused = content == QLatin1String("long line")                                        ? 3
                            : content == QLatin1String("empty") || content == QLatin1String("truncated") ? 0
                                                                                                         : 1;
        const QString cut =
            QStringLiteral("is longer than 254 bytes, and its first 254 do not hold four fields");
        const QString why =
            content == QLatin1String("zero bytes")
                ? QStringLiteral("does not read as four fields (it holds fewer than four fields)")
                : cut;
        QTableWidget* table = bench.window->findChild<QTableWidget*>(QStringLiteral("sat_setting"));
        if (content == QLatin1String("binary")) {
            const QStringList boxes = bench.answers.box_lines();
            QCOMPARE(boxes.size(), 1);
            QVERIFY2(
                QRegularExpression(QStringLiteral("^Warning: Line [0-9]+ of the CSV file .*: nothing was "
                                                  "loaded\\.$"))
                    .match(boxes.first())
                    .hasMatch(),
                qPrintable(boxes.first()));
            QVERIFY(!table->item(0, 0) || table->item(0, 0)->text().isEmpty());
        } else if (refused > 0) {
            QCOMPARE(bench.answers.box_lines(),
                     QStringList{QStringLiteral("Warning: Line %1 of the CSV file %2: nothing was loaded.")
                                     .arg(refused)
                                     .arg(why)});
            QVERIFY(!table->item(0, 0) || table->item(0, 0)->text().isEmpty());
        } else {
            QVERIFY2(bench.answers.boxes.isEmpty(), qPrintable(bench.answers.box_lines().join('\n')));
            QCOMPARE(bench.progress("progressBar_sat_setting")->value(), 100);
            for (int r = 0; r < 99; ++r) {
                if (QTableWidgetItem* item = table->item(r, 0))
                    QVERIFY(item->text().size() <= 16);
            }
        }
    } else {
        bench.choose("pushButton_bin_update", path);
        const int max = bench.progress("progressBar_update")->maximum();
        if (content == QLatin1String("empty")) {
            QCOMPARE(bench.answers.box_lines(), QStringList{"Warning: Can not open BIN file"});
        } else {
            QVERIFY(bench.answers.boxes.isEmpty());
            QCOMPARE(qint64(max), (QFileInfo(path).size() - 4) / 546);
        }
    }
    QVERIFY2(clock.elapsed() < 60000, qPrintable(QString::number(clock.elapsed())));
#ifndef __SANITIZE_ADDRESS__
    // Nothing is held whole: a 100 MB input costs no more than a few chunks of memory. (Under
    // AddressSanitizer its quarantine keeps what was freed, so the figure would be the sanitizer's.)
    QVERIFY2(peak_kib() - memory_before < 32 * 1024, qPrintable(QString::number(peak_kib() - memory_before)));
#else
    Q_UNUSED(memory_before);
#endif
}

void tst_faults::endless_inputs_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<QString>("source");
    QTest::addColumn<QString>("message");
    const char* const readers[][2] = {{"pushButton_s19", "Warning: Fail to open S19 file!"},
                                      {"pushButton_sat_read_file", "Warning: Fail to open CSV file"},
                                      {"pushButton_bin_update", "Warning: Can not open BIN file"}};
    for (const auto& reader : readers) {
        for (const char* source : {"fifo", "/dev/zero", "link to a fifo"})
            QTest::addRow("%s, %s", reader[0], source) << reader[0] << source << reader[1];
    }
}

// A FIFO would block the open until a writer came, and /dev/zero never ends: either froze the window.
void tst_faults::endless_inputs()
{
    QFETCH(QString, button);
    QFETCH(QString, source);
    QFETCH(QString, message);
    WindowBench bench;
    QString input = source;
    if (source != QLatin1String("/dev/zero")) {
        input = bench.dir.filePath(QStringLiteral("endless.fifo"));
        QCOMPARE(::mkfifo(QFile::encodeName(input).constData(), 0600), 0);
        if (source == QLatin1String("link to a fifo")) {
            const QString link = bench.dir.filePath(QStringLiteral("endless.s19"));
            QVERIFY(QFile::link(input, link));
            input = link;
        }
    }
    QElapsedTimer clock;
    clock.start();
    bench.choose(qPrintable(button), input);
    QVERIFY2(clock.elapsed() < 1000, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(bench.answers.box_lines(), QStringList{message});
}

namespace {

// What the long handlers work on.
struct ClickInputs
{
    std::vector<fixtures::Page> pages;
    QString image, csv_in, csv_out, s19, bin_out;
    QTableWidget* table;
};

// A long handler: the button that starts it, what it needs chosen first, whether it talks to the box, and
// how it must have ended.
struct LongHandler
{
    const char* name;
    const char* start;
    void (*prepare)(WindowBench&, const ClickInputs&);
    bool exchange;
    void (*verify)(WindowBench&, const ClickInputs&, const QStringList& boxes);
};

const LongHandler long_handlers[] = {
    {"update", "pushButton_update_start", nullptr, true,
     [](WindowBench& bench, const ClickInputs& in, const QStringList&) {
         // Stop was among the clicks: the update ends stopped after a whole page, or completes.
         const int written = bench.box->pages_written();
         QVERIFY(written >= 1);
         const auto flash = bench.box->flash();
         for (int p = 0; p < written; ++p)
             QCOMPARE(QByteArray(reinterpret_cast<const char*>(flash.data()) + in.pages[size_t(p)].base, 512),
                      in.pages[size_t(p)].bytes);
         QCOMPARE(bench.box->damaged_lines(), 0);
         QCOMPARE(times_sent(*bench.box, "E"), 1);
     }},
    {"satellite read", "pushButton_sat_read", nullptr, true,
     [](WindowBench&, const ClickInputs& in, const QStringList& boxes) {
         QVERIFY(boxes.contains("Hint: Satellite data read successfully!"));
         for (int r = 0; r < 99; ++r)
             QCOMPARE(in.table->item(r, 0)->text(), QStringLiteral("Box%1").arg(r + 1));
     }},
    {"satellite write", "pushButton_sat_save", nullptr, true,
     [](WindowBench& bench, const ClickInputs&, const QStringList& boxes) {
         QVERIFY(boxes.contains("Hint: Satellite data write successfully!"));
         for (int entry = 1; entry <= 99; ++entry)
             QCOMPARE(QByteArray(reinterpret_cast<const char*>(bench.box->satellite(entry).data())),
                      "Grid" + QByteArray::number(entry - 1));
     }},
    {"CSV read", "pushButton_sat_read_file",
     [](WindowBench& bench, const ClickInputs& in) { bench.answers.answer_file(in.csv_in); }, false,
     [](WindowBench&, const ClickInputs& in, const QStringList&) {
         for (int r = 0; r < 99; ++r)
             QCOMPARE(in.table->item(r, 0)->text(), QStringLiteral("File%1").arg(r));
     }},
    {"CSV write", "pushButton_sat_save_file",
     [](WindowBench& bench, const ClickInputs& in) { bench.answers.answer_file(in.csv_out); }, false,
     [](WindowBench&, const ClickInputs& in, const QStringList&) {
         const QByteArray written = fixtures::read_file(in.csv_out);
         QCOMPARE(written.count("\r\n"), 99);
         QVERIFY2(written.startsWith("Grid0,,,,\r\nGrid1,,,,\r\n"), written.left(80).constData());
     }},
    {"conversion", "pushButton_package_start",
     [](WindowBench& bench, const ClickInputs& in) {
         bench.choose("pushButton_s19", in.s19);
         bench.choose("pushButton_bin", in.bin_out);
     },
     false,
     [](WindowBench& bench, const ClickInputs& in, const QStringList&) {
         // The same bytes as a conversion nobody disturbed.
         const QString reference = bench.dir.filePath(QStringLiteral("quiet.bin"));
         packager::NoProgress quiet;
         QCOMPARE(packager::convert(in.s19, reference, kdr7, quiet).outcome, packager::Outcome::Done);
         QCOMPARE(fixtures::read_file(in.bin_out), fixtures::read_file(reference));
         QCOMPARE(fixtures::read_file(in.bin_out).size(), 4 + 6 * 546);
     }},
};

} // namespace

void tst_faults::clicks_everywhere_during_every_long_handler_data()
{
    QTest::addColumn<int>("handler");
    for (int i = 0; i < int(std::size(long_handlers)); ++i)
        QTest::newRow(long_handlers[i].name) << i;
}

// While a long handler pumps its events, every button of the window is clicked, one per pump, each running
// its slot right there (and answering whatever dialog or box that opens). The running job must end as it
// would have without the clicks.
void tst_faults::clicks_everywhere_during_every_long_handler()
{
    QFETCH(int, handler);
    const LongHandler& h = long_handlers[handler];
    WindowBench bench(VirtualBox::Wire::Direct);
    const char* const all_buttons[] = {
        "pushButton_sat_read",      "pushButton_sat_save",      "pushButton_sat_read_file",
        "pushButton_sat_save_file", "pushButton_sat_close",     "pushButton_bin_update",
        "pushButton_update_start",  "pushButton_update_close",  "pushButton_s19",
        "pushButton_bin",           "pushButton_package_start", "pushButton_package_close",
        "pushButton_update_stop"};

    ClickInputs in;
    in.pages = pages(16);
    in.table = bench.window->findChild<QTableWidget*>(QStringLiteral("sat_setting"));
    for (int entry = 1; entry <= 99; ++entry) {
        VirtualBox::SatelliteRecord r{};
        const QByteArray name = "Box" + QByteArray::number(entry);
        std::copy(name.begin(), name.end(), r.begin());
        r[18] = std::uint8_t(entry);
        bench.box->set_satellite(entry, r);
    }
    QByteArray csv;
    for (int i = 0; i < 99; ++i)
        csv += "File" + QByteArray::number(i) + "," + QByteArray::number(i) + ",1,-1,\r\n";
    QByteArray s19 = fixtures::s1_line(0x3100, fixtures::kdr7_identity_bytes) + "\r\n";
    for (int a = 0x8000; a < 0x8C00; a += 32)
        s19 += fixtures::s1_line(a, QByteArray(32, char(a >> 5))) + "\r\n";
    in.image = bench.file(QStringLiteral("image.bin"), fixtures::image(kdr7, in.pages));
    in.csv_in = bench.file(QStringLiteral("in.csv"), csv);
    in.csv_out = bench.dir.filePath(QStringLiteral("out.csv"));
    in.s19 = bench.file(QStringLiteral("in.s19"), s19);
    in.bin_out = bench.dir.filePath(QStringLiteral("out.bin"));
    for (int r = 0; r < 99; ++r)
        in.table->setItem(r, 0, new QTableWidgetItem(QStringLiteral("Grid%1").arg(r)));

    // An image is open in every case, so that a Start clicked inside another job would run a whole update.
    bench.choose("pushButton_bin_update", in.image);
    if (h.prepare != nullptr)
        h.prepare(bench, in);
    bench.answers.boxes.clear();

    // One button per pump, never from inside the slot of another, and only when the user could click it (no
    // dialog or box of the tool is up).
    int next = 0;
    bool clicking = false;
    bool running = false;
    QTimer clicker;
    clicker.setInterval(0);
    QObject::connect(&clicker, &QTimer::timeout, [&] {
        if (!running || clicking || next >= int(std::size(all_buttons)) || QApplication::activeModalWidget())
            return;
        clicking = true;
        bench.button(all_buttons[next++])->click();
        clicking = false;
    });
    clicker.start();
    const int dialogs_before = int(bench.answers.file_dialogs.size());
    running = true;
    bench.button(h.start)->click();
    running = false;
    clicker.stop();
    QVERIFY2(next == int(std::size(all_buttons)), qPrintable(QString::number(next)));

    const QStringList boxes = bench.answers.box_lines();
    if (h.exchange) {
        // The box waits in lock-step: no dialog may open inside the exchange, only its own ending's box.
        QCOMPARE(int(bench.answers.file_dialogs.size()), dialogs_before);
        QVERIFY2(boxes.size() <= 1, qPrintable(boxes.join('\n')));
    } else {
        // Nor may a whole update run inside a file job (nor, inside a CSV job, any exchange).
        for (const VirtualBox::Event& e : bench.box->transcript()) {
            QVERIFY(!(e.from_tool && e.bytes == "E"));
            QCOMPARE(h.start, "pushButton_package_start");
        }
    }
    h.verify(bench, in, boxes);
}

void tst_faults::window_stays_while_the_box_is_talked_to_data()
{
    QTest::addColumn<QString>("exchange");
    QTest::addColumn<QString>("close");
    for (const char* exchange : {"update", "satellite read", "satellite write"}) {
        for (const char* close : {"frame", "pushButton_sat_close", "pushButton_update_close"})
            QTest::addRow("%s, %s", exchange, close) << exchange << close;
    }
}

// Closing the window mid-exchange would leave the exchange running unseen, its outcome box unshown and the
// port held: the window refuses to close until the exchange has ended.
void tst_faults::window_stays_while_the_box_is_talked_to()
{
    QFETCH(QString, exchange);
    QFETCH(QString, close);
    WindowBench bench(VirtualBox::Wire::Direct);
    bench.window->show();
    QVERIFY(QTest::qWaitForWindowExposed(bench.window.get()));
    const char* start = "pushButton_sat_read";
    if (exchange == QLatin1String("update")) {
        bench.choose("pushButton_bin_update",
                     bench.file(QStringLiteral("image.bin"), fixtures::image(kdr7, pages(3))));
        start = "pushButton_update_start";
    } else if (exchange == QLatin1String("satellite write")) {
        start = "pushButton_sat_save";
    }
    bench.answers.boxes.clear();
    // At the first pump: Close of the Update tab is enabled only by Stop during an update.
    QTimer::singleShot(0, bench.window.get(), [&] {
        if (close == QLatin1String("frame")) {
            bench.window->close();
            return;
        }
        if (exchange == QLatin1String("update") && close == QLatin1String("pushButton_update_close"))
            bench.button("pushButton_update_stop")->click();
        bench.button(qPrintable(close))->click();
    });
    bench.button(start)->click();
    QVERIFY(bench.window->isVisible());
    const QStringList boxes = bench.answers.box_lines();
    if (exchange == QLatin1String("satellite read"))
        QCOMPARE(boxes, QStringList{"Hint: Satellite data read successfully!"});
    else if (exchange == QLatin1String("satellite write"))
        QCOMPARE(boxes, QStringList{"Hint: Satellite data write successfully!"});
    else if (close == QLatin1String("pushButton_update_close"))
        QCOMPARE(bench.text_of("label_update_status"), QStringLiteral("Update process has been stopped!"));
    else
        QCOMPARE(boxes, QStringList{"Hint: Update process completed."});
    QVERIFY(bench.port_released());
    // Once the exchange has ended, the window closes as it always did.
    QVERIFY(bench.window->close());
    QVERIFY(!bench.window->isVisible());
}

QTEST_MAIN(tst_faults)
#include "tst_faults.moc"
