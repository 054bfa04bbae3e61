// Choosing an image and programming it into the virtual box through the real window, channel and pty.
#include "BoxChecks.h"
#include "Fixtures.h"
#include "PtyBox.h"
#include "ScriptedChannel.h"
#include "VirtualBox.h"
#include "WindowBench.h"
#include "app/zorvane.h"
#include "serial/ReplyWait.h"
#include "serial/SerialChannel.h"
#include "update/Bootloader.h"
#include "update/Identity.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <memory>
#include <sys/stat.h>

using Event = VirtualBox::Event;
using fixtures::Page;

namespace {

using fixtures::kdr7_identity;

const QString prepared_text = QStringLiteral(
    "Warning: Device has not been prepared, please re-connect cable and reboot the update software.");
const QString no_feedback_text =
    QStringLiteral("Warning: Cannot receive feedback, please restart box and PC software");

std::vector<Page> pages_from(std::initializer_list<int> bases)
{
    std::vector<Page> pages;
    for (int base : bases)
        pages.push_back(fixtures::page_at(base, std::uint32_t(base + 7)));
    return pages;
}

// The window with the virtual box on COM1 and an image chooser.
struct Bench : WindowBench
{
    using WindowBench::WindowBench;

    template <typename T> T* w(const char* name) { return window->findChild<T*>(QLatin1String(name)); }
    QString status() { return w<QLabel>("label_update_status")->text(); }
    QProgressBar* progress() { return w<QProgressBar>("progressBar_update"); }
    QString write_file(const QString& name, const QByteArray& bytes) { return file(name, bytes); }

    // Chooses a file with the Update tab's "..." button (an empty path cancels the dialog).
    void choose(const QString& path) { WindowBench::choose("pushButton_bin_update", path); }

    void choose_image(const std::vector<Page>& pages, const Identity& identity = kdr7_identity)
    {
        choose(write_file(QStringLiteral("firmware.bin"), fixtures::image(identity, pages)));
    }

    void start() { button("pushButton_update_start")->click(); }

    // Start enabled, Stop as given, Close enabled.
    void expect_buttons_after(bool stop_enabled)
    {
        QVERIFY(button("pushButton_update_start")->isEnabled());
        QCOMPARE(button("pushButton_update_stop")->isEnabled(), stop_enabled);
        QVERIFY(button("pushButton_update_close")->isEnabled());
    }

    // The attempt closed the image: a second Start is refused without touching the box.
    void expect_image_closed()
    {
        const size_t before = box->transcript().size();
        answers.boxes.clear();
        start();
        QCOMPARE(answers.box_lines(), QStringList{QStringLiteral("Warning: Can not find BIN file")});
        QCOMPARE(box->transcript().size(), before);
    }
};

Event tool(const QByteArray& b)
{
    return Event{true, b};
}
Event reply(char c)
{
    return Event{false, QByteArray(1, c)};
}

QByteArray line_of(const Page& page, int line)
{
    return fixtures::record(page).mid(2 + line * 17, 17);
}

} // namespace

class tst_update : public QObject
{
    Q_OBJECT

private slots:
    void decode_identity_texts_data();
    void decode_identity_texts();

    void choosing_counts_complete_records();
    void cancelled_choice_still_enables_start_and_stop();
    void image_shorter_than_identity_is_not_opened();
    void image_path_with_any_characters_opens();
    void new_choice_replaces_the_open_image();

    void one_record_exchange_in_order();
    void progress_counts_pages_then_ends_at_record_count();
    void rejected_line_is_sent_again_alone();
    void line_rejected_sixteen_times();
    void no_prepared_reply_data();
    void no_prepared_reply();
    void verdicts_data();
    void verdicts();
    void bytes_before_go_ahead_are_dropped();
    void slow_answers_within_their_bounds_are_awaited();
    void page_not_written();
    void finish_not_confirmed();
    void stop_delivered_data();
    void stop_delivered();
    void port_that_will_not_open_keeps_the_image();
    void zero_record_image_goes_straight_to_finish();
    void short_final_record_is_never_sent();
    void start_without_image_is_refused();
    void clicks_during_an_update_start_nothing();
    void unplugged_adapter_ends_at_once_as_a_port_gone();
    void usb_adapter_pulled_out_in_the_window();
    void window_traces_to_kdr7_trace();
    void verdict_after_the_last_poll_is_judged_data();
    void verdict_after_the_last_poll_is_judged();
};

void tst_update::decode_identity_texts_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QStringList>("texts"); // model, MCU, date, version

    QTest::newRow("KDR7 2014/2/17 v1")
        << fixtures::kdr7_identity_bytes << QStringList{"Velantor KDR7", "MC9S08PT60", "2014/2/17", "1"};
    QTest::newRow("all zero") << QByteArray(4, '\0') << QStringList{"Velantor KDR7", "", "2013/0/0", "0"};
    QTest::newRow("all ones") << QByteArray(4, '\xFF') << QStringList{"", "", "2028/15/31", "7"};
    QTest::newRow("model 1") << QByteArray("\x21\x31\x01\x01", 4)
                             << QStringList{"", "MC9S08PT60", "2014/2/17", "1"};
    QTest::newRow("mcu 2") << QByteArray("\x21\x31\x02\x00", 4)
                           << QStringList{"Velantor KDR7", "", "2014/2/17", "1"};
    QTest::newRow("month 0") << QByteArray("\x00\x05\x01\x00", 4)
                             << QStringList{"Velantor KDR7", "MC9S08PT60", "2013/0/5", "0"};
    QTest::newRow("month 15") << QByteArray("\xF0\x05\x01\x00", 4)
                              << QStringList{"Velantor KDR7", "MC9S08PT60", "2013/15/5", "0"};
}

void tst_update::decode_identity_texts()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QStringList, texts);
    Identity identity;
    std::copy(bytes.begin(), bytes.end(), identity.begin());
    const IdentityTexts decoded = decode_identity(identity);
    QCOMPARE((QStringList{decoded.model, decoded.mcu, decoded.date, decoded.version}), texts);
}

void tst_update::choosing_counts_complete_records()
{
    Bench bench;
    QByteArray bytes = fixtures::image(kdr7_identity, pages_from({0x8000, 0x8200, 0x8400}));
    bytes += QByteArray(100, '\x55');
    bench.choose(bench.write_file(QStringLiteral("three.bin"), bytes));
    QVERIFY(bench.answers.boxes.isEmpty());
    QCOMPARE(bench.answers.file_dialogs.size(), 1);
    const DialogAnswerer::FileDialog& dialog = bench.answers.file_dialogs.first();
    QCOMPARE(dialog.caption, QStringLiteral("open File"));
    QCOMPARE(dialog.filters, (QStringList{"Text Files(*.bin)", "All Files(*.*)"}));
    QVERIFY(dialog.has_parent);
    QCOMPARE(bench.progress()->maximum(), 3);
    QCOMPARE(bench.w<QLabel>("label_model_u")->text(), QStringLiteral("Velantor KDR7"));
    QCOMPARE(bench.w<QLabel>("label_date_u")->text(), QStringLiteral("2014/2/17"));
    QCOMPARE(bench.w<QLabel>("label_ver_u")->text(), QStringLiteral("1"));
    QCOMPARE(bench.w<QLabel>("label_mcu_u")->text(), QStringLiteral("MC9S08PT60"));
    QVERIFY(bench.w<QLineEdit>("lineEdit_update")->text().endsWith(QLatin1String("three.bin")));

    bench.choose(bench.write_file(QStringLiteral("empty.bin"), fixtures::kdr7_identity_bytes));
    QCOMPARE(bench.progress()->maximum(), 0);
}

void tst_update::cancelled_choice_still_enables_start_and_stop()
{
    Bench bench;
    bench.button("pushButton_update_start")->setEnabled(false);
    bench.button("pushButton_update_stop")->setEnabled(false);
    bench.choose(QString());
    QCOMPARE(bench.answers.box_lines(), QStringList{QStringLiteral("Warning: Can not find BIN file")});
    QVERIFY(bench.button("pushButton_update_start")->isEnabled());
    QVERIFY(bench.button("pushButton_update_stop")->isEnabled());
    QVERIFY(bench.w<QLineEdit>("lineEdit_update")->text().isEmpty());
}

void tst_update::image_shorter_than_identity_is_not_opened()
{
    Bench bench;
    bench.choose_image(pages_from({0x8000}));
    QCOMPARE(bench.w<QLabel>("label_model_u")->text(), QStringLiteral("Velantor KDR7"));
    bench.choose(bench.write_file(QStringLiteral("short.bin"), QByteArray("\x21\x31", 2)));
    QCOMPARE(bench.answers.box_lines(), QStringList{QStringLiteral("Warning: Can not open BIN file")});
    for (const char* label : {"label_model_u", "label_mcu_u", "label_date_u", "label_ver_u"})
        QVERIFY2(bench.w<QLabel>(label)->text().isEmpty(), label);
    QVERIFY(bench.w<QLineEdit>("lineEdit_update")->text().endsWith(QLatin1String("short.bin")));
    // Neither image is open any more.
    bench.expect_image_closed();
}

void tst_update::image_path_with_any_characters_opens()
{
    Bench bench;
    const QString name = QStringLiteral("Прошивка ü€ 固件.bin");
    bench.choose(bench.write_file(name, fixtures::image(kdr7_identity, pages_from({0x8000, 0x8200}))));
    QVERIFY2(bench.answers.boxes.isEmpty(), qPrintable(bench.answers.box_lines().join('\n')));
    QCOMPARE(bench.progress()->maximum(), 2);
    QVERIFY(bench.w<QLineEdit>("lineEdit_update")->text().endsWith(name));
}

void tst_update::new_choice_replaces_the_open_image()
{
    Bench bench;
    bench.choose(bench.write_file(QStringLiteral("a.bin"),
                                  fixtures::image(kdr7_identity, pages_from({0x8000, 0x8200, 0x8400}))));
    const std::vector<Page> second = pages_from({0xA000});
    bench.choose(bench.write_file(QStringLiteral("b.bin"), fixtures::image(kdr7_identity, second)));
    QCOMPARE(bench.progress()->maximum(), 1);
    bench.start();
    QCOMPARE(bench.answers.box_lines(), QStringList{QStringLiteral("Hint: Update process completed.")});
    QCOMPARE(bench.box->pages_written(), 1);
    QVERIFY(flash_holds(*bench.box, second));
}

void tst_update::one_record_exchange_in_order()
{
    Bench bench;
    const std::vector<Page> pages = pages_from({0x8000});
    bench.choose_image(pages);
    QTest::ignoreMessage(QtDebugMsg, "Address: 0x8000");
    bench.start();

    std::vector<Event> expected{tool("E"),
                                reply('0'),
                                tool("2"),
                                reply('1'),
                                tool(fixtures::kdr7_identity_bytes),
                                reply('A'),
                                tool("D"),
                                tool(QByteArray("\x80\x00", 2))};
    for (int line = 0; line < 32; ++line) {
        expected.push_back(tool(line_of(pages[0], line)));
        expected.push_back(reply('4'));
    }
    expected.push_back(reply('F'));
    expected.push_back(tool("C"));
    expected.push_back(reply('3'));
    QCOMPARE(bench.box->transcript(), expected);

    QCOMPARE(bench.status(), QStringLiteral("Update completed!"));
    QCOMPARE(bench.answers.box_lines(), QStringList{QStringLiteral("Hint: Update process completed.")});
    QCOMPARE(bench.answers.boxes.first().icon, QMessageBox::Information);
    QCOMPARE(bench.progress()->value(), 1);
    QCOMPARE(bench.progress()->maximum(), 1);
    QVERIFY(flash_holds(*bench.box, pages));
    QCOMPARE(bench.box->damaged_lines(), 0);
    bench.expect_buttons_after(false);
    bench.expect_image_closed();
}

void tst_update::progress_counts_pages_then_ends_at_record_count()
{
    Bench bench;
    // Pages in file order, one of them revisited: the box gets them exactly as stored.
    const std::vector<Page> pages = pages_from({0x8000, 0xFE00, 0x8200, 0x8400});
    bench.choose_image(pages);
    QList<int> values;
    QObject::connect(bench.progress(), &QProgressBar::valueChanged, [&values](int v) { values << v; });
    bench.start();
    QCOMPARE(values, (QList<int>{1, 2, 3, 4}));
    QCOMPARE(bench.box->pages_written(), 4);
    QVERIFY(flash_holds(*bench.box, pages));
    QCOMPARE(times_sent(*bench.box, "D"), 4);
}

void tst_update::rejected_line_is_sent_again_alone()
{
    Bench bench;
    const std::vector<Page> pages = pages_from({0x8000, 0x8200});
    bench.box->add_fault({VirtualBox::Step::Line, VirtualBox::Fault::WrongByte, '5', 0, 1, 5, 1});
    bench.choose_image(pages);
    bench.start();
    QCOMPARE(bench.answers.box_lines(), QStringList{QStringLiteral("Hint: Update process completed.")});
    QCOMPARE(times_sent(*bench.box, line_of(pages[1], 5)), 2);
    QCOMPARE(times_sent(*bench.box, line_of(pages[1], 4)), 1);
    QCOMPARE(times_sent(*bench.box, "D"), 2);
    QCOMPARE(times_sent(*bench.box, QByteArray("\x82\x00", 2)), 1);
    // The repeat follows its "5" directly.
    const std::vector<Event> t = bench.box->transcript();
    const auto first = std::find(t.begin(), t.end(), tool(line_of(pages[1], 5)));
    QVERIFY(first != t.end() && first + 2 < t.end());
    QCOMPARE(*(first + 1), reply('5'));
    QCOMPARE(*(first + 2), tool(line_of(pages[1], 5)));
    QVERIFY(flash_holds(*bench.box, pages));
}

void tst_update::line_rejected_sixteen_times()
{
    Bench bench;
    const std::vector<Page> pages = pages_from({0x8000});
    bench.box->add_fault({VirtualBox::Step::Line, VirtualBox::Fault::WrongByte, '5', 0, 0, 31, -1});
    bench.choose_image(pages);
    bench.start();
    QCOMPARE(bench.answers.box_lines(),
             QStringList{QStringLiteral("Warning: Data transfer error, please restart box and PC software")});
    QCOMPARE(times_sent(*bench.box, line_of(pages[0], 31)), 16);
    QCOMPARE(times_sent(*bench.box, "C"), 0);
    QCOMPARE(bench.status(), QStringLiteral("Starting updating"));
    QCOMPARE(bench.progress()->value(), 0);
    bench.expect_buttons_after(true);
    bench.expect_image_closed();
}

void tst_update::no_prepared_reply_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<int>("byte");
    QTest::newRow("no reply") << int(VirtualBox::Fault::Silent) << 0;
    QTest::newRow("\"1\" instead of \"0\"") << int(VirtualBox::Fault::WrongByte) << int('1');
}

void tst_update::no_prepared_reply()
{
    QFETCH(int, kind);
    QFETCH(int, byte);
    Bench bench;
    bench.box->add_fault({VirtualBox::Step::Prepared, VirtualBox::Fault::Kind(kind), (unsigned char)byte});
    bench.choose_image(pages_from({0x8000}));
    QElapsedTimer clock;
    clock.start();
    bench.start();
    QCOMPARE(bench.answers.box_lines(), QStringList{prepared_text});
    if (kind == VirtualBox::Fault::Silent)
        QVERIFY2(clock.elapsed() >= 1150, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(times_sent(*bench.box, "2"), 0);
    QCOMPARE(bench.status(), QStringLiteral("Getting into Bootloader Mode..."));
    bench.expect_buttons_after(true);
    bench.expect_image_closed();
}

void tst_update::verdicts_data()
{
    QTest::addColumn<QByteArray>("identity");
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("message");

    QTest::newRow("other MCU") << QByteArray("\x21\x31\x02\x00", 4) << QString()
                               << "Warning: BIN file CPU does not corresponding with device's CPU";
    QTest::newRow("other model") << QByteArray("\x21\x31\x01\x05", 4) << QString()
                                 << "Warning: BIN file model does not corresponding with device model";
    QTest::newRow("too old") << QByteArray("\x20\x31\x01\x00", 4) << QString() << "Warning: Too old BIN file";
    QTest::newRow("meaningless verdict")
        << fixtures::kdr7_identity_bytes << "verdict:byte=0x42"
        << "Warning: Device rejected the BIN file, please restart box and PC software";
}

void tst_update::verdicts()
{
    QFETCH(QByteArray, identity);
    QFETCH(QString, fault);
    QFETCH(QString, message);
    VirtualBox::Model model;
    model.min_year_offset = 1; // 2014/1/1 and later
    model.min_month = 1;
    model.min_day = 1;
    Bench bench(model);
    if (!fault.isEmpty()) {
        VirtualBox::Fault f;
        QVERIFY(VirtualBox::parse_fault(fault, f));
        bench.box->add_fault(f);
    }
    Identity id;
    std::copy(identity.begin(), identity.end(), id.begin());
    bench.choose_image(pages_from({0x8000}), id);
    QElapsedTimer clock;
    clock.start();
    bench.start();
    QCOMPARE(bench.answers.box_lines(), QStringList{message});
    QVERIFY2(clock.elapsed() < 15000, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(times_sent(*bench.box, "D"), 0);
    QCOMPARE(bench.status(), QStringLiteral("Getting into Bootloader Mode..."));
    bench.expect_buttons_after(true);
    bench.expect_image_closed();
}

void tst_update::bytes_before_go_ahead_are_dropped()
{
    Bench bench;
    bench.box->set_go_ahead_noise("0xA9");
    const std::vector<Page> pages = pages_from({0x8000});
    bench.choose_image(pages);
    bench.start();
    QCOMPARE(bench.answers.box_lines(), QStringList{QStringLiteral("Hint: Update process completed.")});
    QVERIFY(flash_holds(*bench.box, pages));
}

void tst_update::slow_answers_within_their_bounds_are_awaited()
{
    Bench bench;
    for (const char* text : {"prepared:slow=500", "verdict:slow=3000", "line:slow=3500@0.31x1",
                             "page:slow=2000", "finish:slow=1500"}) {
        VirtualBox::Fault f;
        QVERIFY2(VirtualBox::parse_fault(QString::fromLatin1(text), f), text);
        bench.box->add_fault(f);
    }
    const std::vector<Page> pages = pages_from({0x8000, 0x8200});
    bench.choose_image(pages);
    bench.start();
    QCOMPARE(bench.answers.box_lines(), QStringList{QStringLiteral("Hint: Update process completed.")});
    QCOMPARE(times_sent(*bench.box, line_of(pages[0], 31)), 1);
    QVERIFY(flash_holds(*bench.box, pages));
}

void tst_update::page_not_written()
{
    Bench bench;
    bench.box->add_fault({VirtualBox::Step::Page, VirtualBox::Fault::Silent, 0, 0, 1});
    bench.choose_image(pages_from({0x8000, 0x8200, 0x8400}));
    bench.start();
    QCOMPARE(bench.answers.box_lines(),
             QStringList{QStringLiteral("Warning: Data write error, please restart box and PC software")});
    QCOMPARE(times_sent(*bench.box, "D"), 2);
    QCOMPARE(bench.progress()->value(), 1);
    bench.expect_buttons_after(true);
}

void tst_update::finish_not_confirmed()
{
    Bench bench;
    bench.box->add_fault({VirtualBox::Step::Finish, VirtualBox::Fault::WrongByte, '0'});
    bench.choose_image(pages_from({0x8000, 0x8200}));
    bench.start();
    QCOMPARE(bench.answers.box_lines(),
             QStringList{QStringLiteral(
                 "Error: Update process failed, please reboot the device and restart the update program.")});
    QCOMPARE(bench.answers.boxes.first().icon, QMessageBox::Warning);
    QCOMPARE(bench.status(), QStringLiteral("Update process failed!"));
    QCOMPARE(bench.progress()->value(), 2);
    bench.expect_buttons_after(false);
}

void tst_update::stop_delivered_data()
{
    QTest::addColumn<int>("page_count");
    QTest::addColumn<QString>("pump"); // the status text of the pump, or the progress value before it
    QTest::addColumn<int>("written");
    QTest::newRow("at page 2") << 5 << "2" << 3;
    // Stop is looked at after each page: one is sent, then the update ends stopped.
    QTest::newRow("while entering the bootloader") << 5 << "Getting into Bootloader Mode..." << 1;
    // With no page to send, Stop still ends the update as stopped: no finish request, no box.
    QTest::newRow("no page, while entering") << 0 << "Getting into Bootloader Mode..." << 0;
    QTest::newRow("no page, at the start of updating") << 0 << "Starting updating" << 0;
}

void tst_update::stop_delivered()
{
    QFETCH(int, page_count);
    QFETCH(QString, pump);
    QFETCH(int, written);
    Bench bench;
    std::vector<Page> pages;
    for (int i = 0; i < page_count; ++i)
        pages.push_back(fixtures::page_at(0x8000 + 0x200 * i, std::uint32_t(i + 7)));
    bench.choose_image(pages);
    QPushButton* stop = bench.button("pushButton_update_stop");
    // The progress and the status are set right before their pumps; the click arrives in that pump.
    const auto click_stop = [stop] {
        QMetaObject::invokeMethod(stop, &QPushButton::click, Qt::QueuedConnection);
    };
    QObject::connect(bench.progress(), &QProgressBar::valueChanged, stop, [&](int v) {
        if (QString::number(v) == pump)
            click_stop();
    });
    // A status is looked at from inside the pump that follows it, and Stop clicked right there.
    QTimer status_watch;
    bool clicked = false;
    QObject::connect(&status_watch, &QTimer::timeout, stop, [&] {
        if (!clicked && bench.status() == pump) {
            clicked = true;
            stop->click();
        }
    });
    status_watch.start(0);
    bench.start();
    QVERIFY2(bench.answers.boxes.isEmpty(), qPrintable(bench.answers.box_lines().join('\n')));
    QCOMPARE(bench.status(), QStringLiteral("Update process has been stopped!"));
    QCOMPARE(bench.box->pages_written(), written);
    QCOMPARE(times_sent(*bench.box, "D"), written);
    QCOMPARE(times_sent(*bench.box, "C"), 0);
    QCOMPARE(bench.box->transcript().back(), reply(written > 0 ? 'F' : 'A'));
    bench.expect_buttons_after(false);
    bench.expect_image_closed();
}

void tst_update::port_that_will_not_open_keeps_the_image()
{
    Bench bench;
    const std::vector<Page> pages = pages_from({0x8000, 0x8200});
    bench.choose_image(pages);
    set_port(1, QStringLiteral("/dev/kdr7-no-such-tty"));
    bench.button("pushButton_update_stop")->setEnabled(false);
    bench.start();
    QCOMPARE(bench.answers.box_lines(),
             QStringList{QStringLiteral(
                 "Warning: The serial port is occupied or not exist, please try another port.")});
    QVERIFY(bench.status().isEmpty());
    QVERIFY(!bench.button("pushButton_update_stop")->isEnabled());
    QVERIFY(bench.box->transcript().empty());

    set_port(1, bench.box->device());
    bench.answers.boxes.clear();
    bench.start();
    QCOMPARE(bench.answers.box_lines(), QStringList{QStringLiteral("Hint: Update process completed.")});
    QVERIFY(flash_holds(*bench.box, pages));
}

void tst_update::zero_record_image_goes_straight_to_finish()
{
    Bench bench;
    bench.choose_image({});
    bench.start();
    const std::vector<Event> expected{
        tool("E"),  reply('0'), tool("2"), reply('1'), tool(fixtures::kdr7_identity_bytes),
        reply('A'), tool("C"),  reply('3')};
    QCOMPARE(bench.box->transcript(), expected);
    QCOMPARE(bench.progress()->value(), 0);
    QCOMPARE(bench.status(), QStringLiteral("Update completed!"));
}

void tst_update::short_final_record_is_never_sent()
{
    Bench bench;
    const std::vector<Page> pages = pages_from({0x8000, 0x8200});
    QByteArray bytes = fixtures::image(kdr7_identity, pages);
    bytes += fixtures::record(fixtures::page_at(0x9000, 1)).left(100);
    bench.choose(bench.write_file(QStringLiteral("tail.bin"), bytes));
    bench.start();
    QCOMPARE(times_sent(*bench.box, "D"), 2);
    QCOMPARE(bench.box->pages_written(), 2);
    QCOMPARE(bench.status(), QStringLiteral("Update completed!"));
}

void tst_update::start_without_image_is_refused()
{
    Bench bench;
    bench.start();
    QCOMPARE(bench.answers.box_lines(), QStringList{QStringLiteral("Warning: Can not find BIN file")});
    QVERIFY(bench.box->transcript().empty());
}

void tst_update::clicks_during_an_update_start_nothing()
{
    Bench bench;
    const std::vector<Page> pages = pages_from({0x8000, 0x8200, 0x8400});
    bench.choose_image(pages);
    bench.answers.file_dialogs.clear();
    bool clicked = false;
    QObject::connect(bench.progress(), &QProgressBar::valueChanged, bench.window.get(), [&](int v) {
        if (v != 1 || clicked)
            return;
        clicked = true;
        for (const char* name :
             {"pushButton_update_start", "pushButton_bin_update", "pushButton_sat_read",
              "pushButton_sat_save", "pushButton_update_stop", "pushButton_update_start"}) {
            QPushButton* b = bench.button(name);
            if (QByteArray(name) == "pushButton_update_stop")
                continue; // Stop would end the update early; its own test covers it.
            QMetaObject::invokeMethod(b, &QPushButton::click, Qt::QueuedConnection);
        }
    });
    bench.start();
    QVERIFY(clicked);
    QVERIFY(bench.answers.file_dialogs.isEmpty());
    QCOMPARE(bench.answers.box_lines(), QStringList{QStringLiteral("Hint: Update process completed.")});
    QCOMPARE(times_sent(*bench.box, "E"), 1);
    QCOMPARE(bench.box->pages_written(), 3);
    QVERIFY(flash_holds(*bench.box, pages));
}

void tst_update::unplugged_adapter_ends_at_once_as_a_port_gone()
{
    Bench bench;
    const std::vector<Page> pages = pages_from({0x8000, 0x8200});
    bench.box->add_fault({VirtualBox::Step::Line, VirtualBox::Fault::Close, 0, 0, 1, 3, 1});
    bench.choose_image(pages);
    QElapsedTimer clock;
    clock.start();
    bench.start();
    QCOMPARE(
        bench.answers.box_lines(),
        QStringList{QStringLiteral("Warning: The serial port is gone (the cable or the adapter was "
                                   "disconnected), please re-connect it and restart box and PC software")});
    // Entering, page 0 and three lines take about 1.2 s; one line's wait alone would be 4 s.
    QVERIFY2(clock.elapsed() < 3500, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(times_sent(*bench.box, line_of(pages[1], 3)), 1);
    bench.expect_buttons_after(true);
}

// A real USB serial adapter pulled out during page 2, in the window: the USB bench runs this in its guest,
// naming the adapter (KDR7_BENCH_PORT, udev's name for it) and how to pull it out (KDR7_BENCH_UNPLUG, its
// gadget's UDC file), with a box answering at the cable's far end. Nowhere else is there one to pull out.
void tst_update::usb_adapter_pulled_out_in_the_window()
{
    const QString port = qEnvironmentVariable("KDR7_BENCH_PORT");
    const QString udc = qEnvironmentVariable("KDR7_BENCH_UNPLUG");
    if (port.isEmpty() || udc.isEmpty())
        QSKIP("no USB adapter to pull out here: the USB bench runs this");
    isolate_ports();
    set_port(1, port);
    QTemporaryDir dir;
    DialogAnswerer answers;
    zorvane window;
    window.show();
    answers.boxes.clear();
    const QString image = dir.filePath(QStringLiteral("firmware.bin"));
    QVERIFY(fixtures::write_file(
        image, fixtures::image(kdr7_identity, pages_from({0x8000, 0x8200, 0x8400, 0x8600}))));
    answers.answer_file(image);
    window.findChild<QPushButton*>(QStringLiteral("pushButton_bin_update"))->click();
    auto* progress = window.findChild<QProgressBar*>(QStringLiteral("progressBar_update"));

    // Pulled out once two pages are in, and the time from then to the window's warning.
    QElapsedTimer since_unplug;
    qint64 warned_after = -1;
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        if (!since_unplug.isValid() && progress->value() >= 2) {
            QFile file(udc);
            if (file.open(QIODevice::WriteOnly))
                file.write("\n");
            since_unplug.start();
        }
        if (since_unplug.isValid() && warned_after < 0 && QApplication::activeModalWidget() != nullptr)
            warned_after = since_unplug.elapsed();
    });
    watch.start(2);
    window.findChild<QPushButton*>(QStringLiteral("pushButton_update_start"))->click();
    watch.stop();

    QVERIFY2(since_unplug.isValid(), qPrintable(answers.box_lines().join(QLatin1Char('\n'))));
    QCOMPARE(
        answers.box_lines(),
        QStringList{QStringLiteral("Warning: The serial port is gone (the cable or the adapter was "
                                   "disconnected), please re-connect it and restart box and PC software")});
    qInfo("the window's warning came %lld ms after the unplug", warned_after);
    QVERIFY2(warned_after >= 0 && warned_after <= 500, qPrintable(QString::number(warned_after)));
    // The window whole: shown, its buttons as after any ending, the port let go.
    QVERIFY(window.isVisible());
    QVERIFY(window.findChild<QPushButton*>(QStringLiteral("pushButton_update_start"))->isEnabled());
    QVERIFY(window.findChild<QPushButton*>(QStringLiteral("pushButton_update_close"))->isEnabled());
}

// KDR7_TRACE names a file that every exchange of the window is added to; one that cannot be written is
// said before a byte is sent.
void tst_update::window_traces_to_kdr7_trace()
{
    Bench bench;
    const QString path = bench.dir.filePath(QStringLiteral("window.trace"));
    qputenv("KDR7_TRACE", QFile::encodeName(path));
    bench.choose_image(pages_from({0x8000}));
    bench.start();
    bench.choose_image(pages_from({0x8200}));
    bench.start();
    const QByteArray trace = fixtures::read_file(path);
    QCOMPARE(trace.count("# update on COM1"), 2);
    QCOMPARE(trace.count("  box>tool  finish  33"), 2);

    // A trace that fills the disk during the update: the update goes on, and the window says so after its
    // outcome.
    bench.answers.boxes.clear();
    bench.choose_image(pages_from({0x8000}));
    {
        const fixtures::FileSizeLimit limit(static_cast<unsigned long>(trace.size() + 300));
        bench.start();
    }
    QCOMPARE(bench.answers.box_lines(),
             (QStringList{
                 QStringLiteral("Hint: Update process completed."),
                 QStringLiteral("Warning: The trace file named by KDR7_TRACE is incomplete: a write to it "
                                "failed")}));

    // Nor a FIFO (which would block the window), nor the image being sent.
    const size_t before = bench.box->transcript().size();
    const QString fifo = bench.dir.filePath(QStringLiteral("trace.fifo"));
    QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    for (const QString& target : {bench.dir.filePath(QStringLiteral("no/such/folder/x")), fifo, QString()}) {
        bench.answers.boxes.clear();
        bench.choose_image(pages_from({0x8000}));
        const QString image = bench.window->findChild<QLineEdit*>(QStringLiteral("lineEdit_update"))->text();
        const QByteArray image_bytes = fixtures::read_file(image);
        qputenv("KDR7_TRACE", QFile::encodeName(target.isEmpty() ? image : target));
        bench.start();
        qunsetenv("KDR7_TRACE");
        QCOMPARE(bench.answers.box_lines(),
                 QStringList{QStringLiteral("Warning: Can not write the trace file named by KDR7_TRACE")});
        QCOMPARE(fixtures::read_file(image), image_bytes);
    }
    QCOMPARE(bench.box->transcript().size(), before);
    bench.expect_buttons_after(true);
}

void tst_update::verdict_after_the_last_poll_is_judged_data()
{
    QTest::addColumn<char>("verdict");
    QTest::addColumn<int>("outcome");
    QTest::newRow("accepted") << 'A' << int(bootloader::Outcome::Completed);
    QTest::newRow("other MCU") << '9' << int(bootloader::Outcome::CpuMismatch);
}

// No pty can place a byte between a wait's last poll and its read on cue, so a channel does it here: its
// polls never see the verdict, which is there when the wait reads.
void tst_update::verdict_after_the_last_poll_is_judged()
{
    QFETCH(char, verdict);
    QFETCH(int, outcome);
    // The verdict, third of the replies, is never seen by a poll.
    ScriptedChannel channel(QByteArray("01") + verdict + "3", 2);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("empty.bin"));
    QVERIFY(fixtures::write_file(path, fixtures::image(kdr7_identity, {})));
    bin_image::Reader image;
    Identity identity{};
    int count = -1;
    QCOMPARE(image.open(path, identity, count), bin_image::OpenResult::Opened);
    bootloader::Observer quiet;
    replace_sleep([](int) {});
    const bootloader::Outcome result = bootloader::program(channel, image, identity, quiet);
    replace_sleep(nullptr);
    QCOMPARE(int(result), outcome);
}

QTEST_MAIN(tst_update)
#include "tst_update.moc"
