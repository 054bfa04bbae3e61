// The page cipher, the S-record reader and the packager, through the real Package page; and the whole
// chain from an S19 file made by srec_cat to the virtual box's flash memory.
#include "Fixtures.h"
#include "PtyBox.h"
#include "RoundTrip.h"
#include "VirtualBox.h"
#include "WindowBench.h"
#include "app/zorvane.h"
#include "common/InputFile.h"
#include "common/LongPath.h"
#include "common/SafeFile.h"
#include "outcome/MessageFor.h"
#include "package/AesCipher.h"
#include "package/Packager.h"
#include "package/SRecord.h"
#include "package/Unpacker.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <openssl/evp.h>

#include <atomic>
#include <fcntl.h>
#include <functional>
#include <map>
#include <memory>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

// Encrypts with the tool's cipher; key holds the key buffer as the call leaves it.
QByteArray encrypt(QByteArray& key, const QByteArray& block)
{
    QByteArray state = block;
    aes_cipher cipher;
    cipher.encrypt_block(reinterpret_cast<std::uint8_t*>(state.data()),
                         reinterpret_cast<std::uint8_t*>(key.data()));
    return state;
}

using fixtures::checked_line;
using fixtures::s1_line;

const QByteArray identity_line = s1_line(0x3100, fixtures::kdr7_identity_bytes);
const QByteArray ff16(16, '\xFF');

QByteArray line_of(const QByteArray& image, int record, int line)
{
    return image.mid(4 + 546 * record + 2 + 17 * line, 17);
}

struct Bench : WindowBench
{
    QString label(const char* name) { return text_of(name); }
    QProgressBar* progress() { return WindowBench::progress("progressBar_package"); }
    void choose_s19(const QString& path) { choose("pushButton_s19", path); }
    void choose_bin(const QString& path) { choose("pushButton_bin", path); }
    // Packages the lines (joined with CR LF) and returns the image.
    QByteArray package(const QByteArray& s19_text, const QString& name = QStringLiteral("out.bin"))
    {
        choose_s19(file(QStringLiteral("in.s19"), s19_text));
        choose_bin(dir.filePath(name));
        button("pushButton_package_start")->click();
        QFile f(dir.filePath(name));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
};

QByteArray lines(const QList<QByteArray>& list)
{
    QByteArray text;
    for (const QByteArray& l : list)
        text += l + "\r\n";
    return text;
}

} // namespace

class tst_package : public QObject
{
    Q_OBJECT

private slots:
    void windows_long_path_form_data();
    void windows_long_path_form();
    void cipher_published_vectors_data();
    void cipher_published_vectors();
    void cipher_key_buffer_is_consumed();
    void cipher_matches_openssl_on_random_blocks();

    void hex_pairs_data();
    void hex_pairs();
    void sound_records_data();
    void sound_records();

    void identity_is_shown_and_debugged();
    void identity_record_sizes();
    void missing_identity_is_refused();

    void one_record_at_8000();
    void only_identity_records_give_550_bytes();
    void record_straddling_a_page_end();
    void byte_at_offset_511_waits_for_the_end();
    void lower_page_ends_the_open_one();
    void revisited_page_is_written_again();
    void lowest_page_is_kept();
    void last_line_without_line_end_and_long_records();
    void progress_counts_every_line();
    void refusals_leave_the_old_image_data();
    void refusals_leave_the_old_image();
    void failed_write_leaves_the_old_image();
    void last_block_that_fails_fails_the_save();
    void input_swapped_for_a_fifo_never_blocks();
    void file_changed_while_packaging_data();
    void file_changed_while_packaging();

    void srec_cat_firmware_reaches_the_box();
    void unpacked_images_pack_back_data();
    void unpacked_images_pack_back();
    void round_trip_of_random_firmware();
    void identity_area_of_page_3000_data();
    void identity_area_of_page_3000();
};

// The form in which a handle of the program's own reaches a Windows path of 260 characters or more.
void tst_package::windows_long_path_form_data()
{
    QTest::addColumn<QString>("absolute");
    QTest::addColumn<QString>("form");
    QTest::newRow("a drive") << "C:\\production\\line.jsonl"
                             << "\\\\?\\C:\\production\\line.jsonl";
    QTest::newRow("a share") << "\\\\server\\logs\\line.jsonl"
                             << "\\\\?\\UNC\\server\\logs\\line.jsonl";
    QTest::newRow("already long") << "\\\\?\\D:\\x"
                                  << "\\\\?\\D:\\x";
    QTest::newRow("a device") << "\\\\.\\COM17"
                              << "\\\\.\\COM17";
}

void tst_package::windows_long_path_form()
{
    QFETCH(QString, absolute);
    QFETCH(QString, form);
    QCOMPARE(long_path_form(absolute), form);
}

void tst_package::cipher_published_vectors_data()
{
    QTest::addColumn<QByteArray>("key");
    QTest::addColumn<QByteArray>("plain");
    QTest::addColumn<QByteArray>("cipher");
    QTest::addColumn<QByteArray>("round10");
    // FIPS-197 Appendix C.1, and the key of Appendix A.1 (with the Appendix B block).
    QTest::newRow("C.1") << QByteArray::fromHex("000102030405060708090a0b0c0d0e0f")
                         << QByteArray::fromHex("00112233445566778899aabbccddeeff")
                         << QByteArray::fromHex("69c4e0d86a7b0430d8cdb78070b4c55a")
                         << QByteArray::fromHex("13111d7fe3944a17f307a78b4d2b30c5");
    QTest::newRow("A.1") << QByteArray::fromHex("2b7e151628aed2a6abf7158809cf4f3c")
                         << QByteArray::fromHex("3243f6a8885a308d313198a2e0370734")
                         << QByteArray::fromHex("3925841d02dc09fbdc118597196a0b32")
                         << QByteArray::fromHex("d014f9a8c9ee2589e13f0cc8b6630ca6");
}

void tst_package::cipher_published_vectors()
{
    QFETCH(QByteArray, key);
    QFETCH(QByteArray, plain);
    QFETCH(QByteArray, cipher);
    QFETCH(QByteArray, round10);
    QByteArray buffer = key;
    QCOMPARE(encrypt(buffer, plain).toHex(), cipher.toHex());
    QCOMPARE(buffer.toHex(), round10.toHex());
    // The inverse cipher, and the key left as it was.
    QByteArray state = cipher;
    buffer = key;
    aes_cipher().decrypt_block(reinterpret_cast<std::uint8_t*>(state.data()),
                               reinterpret_cast<const std::uint8_t*>(buffer.constData()));
    QCOMPARE(state.toHex(), plain.toHex());
    QCOMPARE(buffer, key);
}

void tst_package::cipher_key_buffer_is_consumed()
{
    const QByteArray key = QByteArray::fromHex("000102030405060708090a0b0c0d0e0f");
    const QByteArray block = QByteArray::fromHex("00112233445566778899aabbccddeeff");
    QByteArray buffer = key;
    encrypt(buffer, block);
    const QByteArray round10 = buffer;
    // Not refreshed: the second block is encrypted under the round-10 key the first call left.
    QCOMPARE(encrypt(buffer, block).toHex(), fixtures::aes_encrypt(round10, block).toHex());
    QVERIFY(fixtures::aes_encrypt(round10, block) != fixtures::aes_encrypt(key, block));
    // An empty page line, under the page key.
    QByteArray page = fixtures::page_key();
    QCOMPARE(encrypt(page, ff16).toHex(), fixtures::aes_encrypt(fixtures::page_key(), ff16).toHex());
}

void tst_package::cipher_matches_openssl_on_random_blocks()
{
    QRandomGenerator random(197);
    for (int i = 0; i < 5000; ++i) {
        QByteArray key(16, '\0');
        QByteArray block(16, '\0');
        random.fillRange(reinterpret_cast<quint32*>(key.data()), 4);
        random.fillRange(reinterpret_cast<quint32*>(block.data()), 4);
        QByteArray buffer = key;
        const QByteArray ours = encrypt(buffer, block);
        if (ours != fixtures::aes_encrypt(key, block))
            QFAIL(qPrintable("key " + key.toHex() + " block " + block.toHex()));
        QByteArray back = ours;
        aes_cipher().decrypt_block(reinterpret_cast<std::uint8_t*>(back.data()),
                                   reinterpret_cast<const std::uint8_t*>(key.constData()));
        if (back != block)
            QFAIL(qPrintable("decrypting, key " + key.toHex() + " block " + block.toHex()));
    }
}

void tst_package::hex_pairs_data()
{
    QTest::addColumn<QByteArray>("pair");
    QTest::addColumn<int>("value");
    QTest::newRow("FF") << QByteArray("FF") << 0xFF;
    QTest::newRow("ff") << QByteArray("ff") << 0xFF;
    QTest::newRow("a0") << QByteArray("a0") << 0xA0;
    QTest::newRow("09") << QByteArray("09") << 0x09;
    QTest::newRow("G0 counts its code") << QByteArray("G0") << (('G' * 16) % 256);
}

void tst_package::hex_pairs()
{
    QFETCH(QByteArray, pair);
    QFETCH(int, value);
    QCOMPARE(int(srecord::hex_pair_to_byte(pair[0], pair[1])), value);
    QCOMPARE(srecord::bytes_to_word(0x31, 0x00), std::uint16_t(0x3100));
}

void tst_package::sound_records_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<bool>("sound");
    const QByteArray good = s1_line(0x8000, QByteArray("\x01\x02\x03", 3)); // S106800001020373
    QTest::newRow("good") << good << true;
    QTest::newRow("lower case") << good.toLower().replace("s1", "S1") << true;
    QTest::newRow("checksum off") << good.left(good.size() - 1) + "0" << false;
    const int checksum = good.right(2).toInt(nullptr, 16);
    QTest::newRow("checksum off by one (bytes add up to 0xFE)")
        << good.left(good.size() - 2) + QByteArray::number(checksum - 1, 16).rightJustified(2, '0').toUpper()
        << false;
    QTest::newRow("one digit short") << good.left(good.size() - 1) << false;
    QTest::newRow("longer than its count") << good + "00" << false;
    QTest::newRow("not hex") << QByteArray(good).replace(8, 1, "G") << false;
    QTest::newRow("no S") << QByteArray(good).replace(0, 1, "X") << false;
    QTest::newRow("count below 3") << QByteArray("S1020000FD") << false;
    QTest::newRow("252 data bytes") << s1_line(0x1000, QByteArray(252, '\x5A')) << true;
}

void tst_package::sound_records()
{
    QFETCH(QByteArray, line);
    QFETCH(bool, sound);
    QCOMPARE(srecord::is_sound(line), sound);
}

void tst_package::identity_is_shown_and_debugged()
{
    Bench bench;
    QTest::ignoreMessage(QtDebugMsg, qPrintable("Line: " + s1_line(0x8000, "AB")));
    QTest::ignoreMessage(QtDebugMsg, "ADDR = 0x8000");
    QTest::ignoreMessage(QtDebugMsg, "ADDR = 0x3100");
    QTest::ignoreMessage(QtDebugMsg, qPrintable("Line: " + identity_line));
    QTest::ignoreMessage(QtDebugMsg, "Number: 7");
    QTest::ignoreMessage(QtDebugMsg, "config[0][1][2][3] = 0x21, 0x31, 0x1, 0x0");
    bench.choose_s19(bench.file(QStringLiteral("a.s19"), lines({"S00600004844521B", s1_line(0x8000, "AB"),
                                                                identity_line, "S9030000FC"})));
    QVERIFY(bench.answers.boxes.isEmpty());
    QCOMPARE(bench.answers.file_dialogs.first().caption, QStringLiteral("Open Files"));
    QCOMPARE(bench.answers.file_dialogs.first().filters, QStringList{"Text Files(*.s19)"});
    QCOMPARE(bench.label("label_model"), QStringLiteral("Velantor KDR7"));
    QCOMPARE(bench.label("label_mcu"), QStringLiteral("MC9S08PT60"));
    QCOMPARE(bench.label("label_date"), QStringLiteral("2014/2/17"));
    QCOMPARE(bench.label("label_ver"), QStringLiteral("1"));
    QVERIFY(bench.window->findChild<QLineEdit*>(QStringLiteral("lineEdit_s19"))->text().endsWith("a.s19"));
}

void tst_package::identity_record_sizes()
{
    Bench bench;
    bench.choose_s19(bench.file(QStringLiteral("a.s19"), lines({identity_line})));
    // Two identity bytes replace the first two; the other two stay from the file before.
    QByteArray image =
        bench.package(lines({s1_line(0x3100, QByteArray("\x52\x44", 2)), s1_line(0x8000, "x")}));
    QCOMPARE(image.left(4).toHex(), QByteArray("52440100"));
    QCOMPARE(bench.label("label_date"), QStringLiteral("2015/5/4"));
    // Sixteen identity bytes: only the first four are the identity.
    image = bench.package(lines(
        {s1_line(0x3100, QByteArray::fromHex("2131010099999999999999999999999999")), s1_line(0x8000, "x")}));
    QCOMPARE(image.left(4).toHex(), QByteArray("21310100"));
}

void tst_package::missing_identity_is_refused()
{
    Bench bench;
    bench.choose_s19(bench.file(QStringLiteral("a.s19"), lines({identity_line})));
    QCOMPARE(bench.label("label_model"), QStringLiteral("Velantor KDR7"));
    const QString old_bin = bench.file(QStringLiteral("old.bin"), "OLD");
    bench.choose_bin(old_bin);

    // Termination record last (the usual file) and an ordinary record last: both lack the identity.
    for (const QByteArray& text :
         {lines({s1_line(0x8000, "abc"), "S9030000FC"}), lines({s1_line(0x8000, "abc")})}) {
        bench.answers.boxes.clear();
        bench.choose_s19(bench.file(QStringLiteral("b.s19"), text));
        QCOMPARE(bench.answers.box_lines(), QStringList{"Warning: No firmware information in S19 file!"});
        for (const char* name : {"label_model", "label_mcu", "label_date", "label_ver"})
            QVERIFY(bench.label(name).isEmpty());
        bench.answers.boxes.clear();
        bench.button("pushButton_package_start")->click();
        QCOMPARE(bench.answers.box_lines(), QStringList{"Warning: No firmware information in S19 file!"});
        QFile f(old_bin);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll(), QByteArray("OLD"));
    }
    // A damaged identity record.
    bench.answers.boxes.clear();
    QByteArray damaged = identity_line;
    damaged[damaged.size() - 1] = damaged.endsWith('0') ? '1' : '0';
    bench.choose_s19(
        bench.file(QStringLiteral("c.s19"), lines({"S00600004844521B", s1_line(0x8000, "a"), damaged})));
    QCOMPARE(bench.answers.box_lines(), QStringList{"Warning: Bad S19 record in line 3"});
}

void tst_package::one_record_at_8000()
{
    Bench bench;
    const QByteArray data = QByteArray::fromHex("000102030405060708090a0b0c0d0e0f");
    QTest::ignoreMessage(QtDebugMsg, "ADDR = 0x800");
    const QByteArray image = bench.package(lines({identity_line, s1_line(0x8000, data), "S9030000FC"}));
    QVERIFY2(bench.answers.boxes.isEmpty(), qPrintable(bench.answers.box_lines().join('\n')));
    QCOMPARE(image.size(), 4 + 546);
    QCOMPARE(image.left(6).toHex(), QByteArray("213101008000"));
    QCOMPARE(line_of(image, 0, 0).toHex(),
             checked_line(fixtures::aes_encrypt(fixtures::page_key(), data)).toHex());
    for (int line = 1; line < 32; ++line)
        QCOMPARE(line_of(image, 0, line), ff16 + '\x10');
}

void tst_package::only_identity_records_give_550_bytes()
{
    Bench bench;
    const QByteArray image =
        bench.package(lines({identity_line, s1_line(0x3180, "in the identity area"), "S9030000FC"}));
    QCOMPARE(image.size(), 550);
    QCOMPARE(image.mid(4, 2), QByteArray(2, '\0'));
    QCOMPARE(line_of(image, 0, 0), checked_line(fixtures::aes_encrypt(fixtures::page_key(), ff16)));
    QCOMPARE(line_of(image, 0, 31), ff16 + '\x10');
}

void tst_package::record_straddling_a_page_end()
{
    Bench bench;
    const QByteArray data = QByteArray::fromHex("a0a1a2a3a4a5a6a7b0b1b2b3b4b5b6b7");
    const QByteArray image = bench.package(lines({identity_line, s1_line(0x81F8, data)}));
    QCOMPARE(image.size(), 4 + 2 * 546);
    QCOMPARE(image.mid(4, 2).toHex(), QByteArray("8000"));
    QCOMPARE(line_of(image, 0, 31), checked_line(ff16.left(8) + data.left(8)));
    QCOMPARE(image.mid(4 + 546, 2).toHex(), QByteArray("8200"));
    QCOMPARE(line_of(image, 1, 0),
             checked_line(fixtures::aes_encrypt(fixtures::page_key(), data.mid(8) + ff16.left(8))));
}

void tst_package::byte_at_offset_511_waits_for_the_end()
{
    Bench bench;
    const QByteArray image = bench.package(lines({identity_line, s1_line(0x81FF, "\x42")}));
    QCOMPARE(image.size(), 4 + 546);
    QCOMPARE(line_of(image, 0, 31), checked_line(ff16.left(15) + "\x42"));
}

void tst_package::lower_page_ends_the_open_one()
{
    Bench bench;
    const QByteArray image = bench.package(
        lines({identity_line, s1_line(0xFFFE, QByteArray("\x80\x00", 2)), s1_line(0x8000, "\x4E\x71")}));
    QCOMPARE(image.size(), 4 + 2 * 546);
    QCOMPARE(image.mid(4, 2).toHex(), QByteArray("fe00"));
    QCOMPARE(line_of(image, 0, 31), checked_line(ff16.left(14) + QByteArray("\x80\x00", 2)));
    QCOMPARE(image.mid(4 + 546, 2).toHex(), QByteArray("8000"));
}

void tst_package::revisited_page_is_written_again()
{
    Bench bench;
    const QByteArray image = bench.package(lines(
        {identity_line, s1_line(0x8000, "first"), s1_line(0x8200, "second"), s1_line(0x8010, "again")}));
    QCOMPARE(image.size(), 4 + 3 * 546);
    QCOMPARE(image.mid(4 + 2 * 546, 2).toHex(), QByteArray("8000"));
    // The second visit holds only its own bytes.
    QCOMPARE(line_of(image, 2, 0), checked_line(fixtures::aes_encrypt(fixtures::page_key(), ff16)));
    QCOMPARE(line_of(image, 2, 1), checked_line("again" + ff16.left(11)));
}

void tst_package::lowest_page_is_kept()
{
    Bench bench;
    const QByteArray image =
        bench.package(lines({identity_line, s1_line(0x0000, "reset"), s1_line(0x8000, "main")}));
    QCOMPARE(image.size(), 4 + 2 * 546);
    QCOMPARE(image.mid(4, 2).toHex(), QByteArray("0000"));
    QCOMPARE(line_of(image, 0, 0),
             checked_line(fixtures::aes_encrypt(fixtures::page_key(), "reset" + ff16.left(11))));
    QCOMPARE(image.mid(4 + 546, 2).toHex(), QByteArray("8000"));
}

void tst_package::last_line_without_line_end_and_long_records()
{
    Bench bench;
    QByteArray long_data(252, '\0');
    for (int i = 0; i < long_data.size(); ++i)
        long_data[i] = char(i);
    QByteArray text = lines({identity_line, s1_line(0x8000, long_data)}) +
                      s1_line(0x9000, "tail").toLower().replace("s1", "S1");
    const QByteArray image = bench.package(text);
    QVERIFY2(bench.answers.boxes.isEmpty(), qPrintable(bench.answers.box_lines().join('\n')));
    QCOMPARE(image.size(), 4 + 2 * 546);
    QCOMPARE(line_of(image, 0, 15), checked_line(long_data.mid(240, 12) + ff16.left(4)));
    QCOMPARE(image.mid(4 + 546, 2).toHex(), QByteArray("9000"));
    QCOMPARE(line_of(image, 1, 0),
             checked_line(fixtures::aes_encrypt(fixtures::page_key(), "tail" + ff16.left(12))));
}

void tst_package::progress_counts_every_line()
{
    Bench bench;
    QList<int> values;
    QObject::connect(bench.progress(), &QProgressBar::valueChanged, [&values](int v) { values << v; });
    bench.progress()->setMaximum(1000);
    bench.progress()->setValue(500);
    values.clear();
    bench.package(
        lines({"S00600004844521B", identity_line, s1_line(0x8000, "a"), s1_line(0x8001, "b"), "S9030000FC"}));
    QCOMPARE(values, (QList<int>{0, 1, 2, 3, 4, 5}));
    QCOMPARE(bench.progress()->maximum(), 5);
}

void tst_package::refusals_leave_the_old_image_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("message");
    QTest::newRow("bad checksum") << lines({identity_line, s1_line(0x8000, "a"), "S1048002AA00"})
                                  << "Warning: Bad S19 record in line 3";
    QTest::newRow("not hex") << lines({identity_line, "S1048000ZZ7B"}) << "Warning: Bad S19 record in line 2";
    QTest::newRow("count against length")
        << lines({identity_line, "S1058000AA"}) << "Warning: Bad S19 record in line 2";
    QTest::newRow("line of 2000 characters")
        << lines({identity_line, "S1FF" + QByteArray(2000, 'A')}) << "Warning: Bad S19 record in line 2";
    QTest::newRow("S2 record") << lines({identity_line, "S2080080000102030471", s1_line(0x8000, "a")})
                               << "Warning: S19 file has unsupported S2/S3 records";
    QTest::newRow("S3 record") << lines({identity_line, "S30900008000010203046F"})
                               << "Warning: S19 file has unsupported S2/S3 records";
    // A 16-bit part's tool chain: S2 records only, so no S1 identity record either; the format is named.
    QTest::newRow("S2 records only") << lines({"S00600004844521B", "S2080080000102030471", "S804000000FB"})
                                     << "Warning: S19 file has unsupported S2/S3 records";
}

void tst_package::refusals_leave_the_old_image()
{
    QFETCH(QByteArray, text);
    QFETCH(QString, message);
    Bench bench;
    bench.file(QStringLiteral("out.bin"), "OLD IMAGE");
    const QByteArray image = bench.package(text);
    // S2/S3 records are named when the file is chosen as well as at Start.
    QStringList expected{message};
    if (message.contains(QLatin1String("S2/S3")))
        expected.prepend(message);
    QCOMPARE(bench.answers.box_lines(), expected);
    QCOMPARE(image, QByteArray("OLD IMAGE"));
}

void tst_package::failed_write_leaves_the_old_image()
{
    Bench bench;
    bench.answers.boxes.clear();
    bench.button("pushButton_package_start")->click();
    QCOMPARE(bench.answers.box_lines(), QStringList{"Warning: S file and Bin file are all empty!"});

    // The S19 file went away after it was chosen.
    bench.answers.boxes.clear();
    bench.choose_s19(bench.file(QStringLiteral("gone.s19"), lines({identity_line, s1_line(0x8000, "a")})));
    const QString old_bin = bench.file(QStringLiteral("old.bin"), "OLD IMAGE");
    bench.choose_bin(old_bin);
    QFile::remove(bench.dir.filePath(QStringLiteral("gone.s19")));
    bench.button("pushButton_package_start")->click();
    QCOMPARE(bench.answers.box_lines(), QStringList{"Warning: Fail to open S file!"});

    // A file may grow to 1000 bytes here: the image (4 + 3 x 546 bytes) cannot be written whole.
    bench.answers.boxes.clear();
    bench.choose_s19(
        bench.file(QStringLiteral("big.s19"),
                   lines({identity_line, s1_line(0x8000, "a"), s1_line(0x8200, "b"), s1_line(0x8400, "c")})));
    {
        const fixtures::FileSizeLimit limit(1000);
        bench.button("pushButton_package_start")->click();
    }
    QCOMPARE(bench.answers.box_lines(), QStringList{"Warning: Fail to write Bin file!"});
    QCOMPARE(fixtures::read_file(old_bin), QByteArray("OLD IMAGE"));
}

// Every write was taken into the buffer; only handing over the last block fails (the disk is full).
void tst_package::last_block_that_fails_fails_the_save()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("out.bin"));
    QVERIFY(fixtures::write_file(path, "OLD"));
    SafeFile file;
    QVERIFY(file.open(path));
    {
        const fixtures::FileSizeLimit limit(100);
        for (int i = 0; i < 15; ++i)
            file.write(QByteArray(10, 'x'));
        QVERIFY(!file.commit());
    }
    QCOMPARE(fixtures::read_file(path), QByteArray("OLD"));
}

// A file swapped for a FIFO between a look at the path and the open: the open must not wait for a writer.
void tst_package::input_swapped_for_a_fifo_never_blocks()
{
    QTemporaryDir dir;
    const QByteArray path = QFile::encodeName(dir.filePath(QStringLiteral("input")));
    const QByteArray regular = path + ".regular";
    const QByteArray fifo = path + ".fifo";
    QVERIFY(fixtures::write_file(QString::fromLocal8Bit(regular), "S0030000FC\n"));
    QCOMPARE(::mkfifo(fifo.constData(), 0600), 0);
    std::atomic<bool> stop{false};
    std::atomic<int> opened{0};
    std::thread swapper([&] {
        while (!stop) {
            ::rename(regular.constData(), path.constData());
            ::rename(path.constData(), regular.constData());
            ::rename(fifo.constData(), path.constData());
            ::rename(path.constData(), fifo.constData());
        }
    });
    std::thread reader([&] {
        for (int i = 0; i < 20000 && !stop; ++i) {
            QFile file(QString::fromLocal8Bit(path));
            if (open_input(file))
                ++opened;
        }
        stop = true;
    });
    QElapsedTimer clock;
    clock.start();
    while (!stop && clock.elapsed() < 10000)
        QThread::msleep(10);
    const bool blocked = !stop;
    stop = true;
    swapper.join();
    // A reader stuck in the FIFO's open is let go by a writer, so that the test can end and say so.
    if (blocked) {
        const int fd = ::open(::access(fifo.constData(), F_OK) == 0 ? fifo.constData() : path.constData(),
                              O_WRONLY | O_NONBLOCK);
        reader.join();
        ::close(fd);
    } else {
        reader.join();
    }
    QVERIFY2(!blocked, "open_input waited on a FIFO");
    QVERIFY(opened > 0);
}

void tst_package::file_changed_while_packaging_data()
{
    QTest::addColumn<int>("at"); // -1: between the passes; otherwise when the second pass reaches that line
    QTest::addColumn<QString>("change");
    for (int at : {-1, 5}) {
        for (const char* change : {"truncated", "record rewritten", "grown"})
            QTest::addRow("%s, %s", at < 0 ? "between the passes" : "during the second pass", change)
                << at << change;
    }
}

// An editor or a build may save the S19 file while the conversion pumps its events: no image may come of a
// file other than the one that was checked.
void tst_package::file_changed_while_packaging()
{
    QFETCH(int, at);
    QFETCH(QString, change);
    QTemporaryDir dir;
    const QString s19 = dir.filePath(QStringLiteral("in.s19"));
    const QString bin = dir.filePath(QStringLiteral("out.bin"));
    // Larger than the reader's 64 KiB chunk, so that the second pass reads the file while it changes.
    QByteArray text = identity_line + "\r\n";
    for (int pass = 0; pass < 2; ++pass) {
        for (int a = 0x8000; a < 0x10000; a += 32)
            text += s1_line(a, QByteArray(32, char((a >> 5) + pass))) + "\r\n";
    }
    const QByteArray late_line = s1_line(0xFF00, QByteArray(32, char((0xFF00 >> 5) + 1)));
    QVERIFY(fixtures::write_file(s19, text));
    QVERIFY(fixtures::write_file(bin, "OLD IMAGE"));

    struct Saver : packager::Observer
    {
        int at = 0;
        std::function<void()> save;
        void lines_counted(int) override
        {
            if (at < 0)
                save();
        }
        void line_started(int index) override
        {
            if (index == at)
                save();
        }
        void finished(int) override {}
    } saver;
    saver.at = at;
    saver.save = [&] {
        QByteArray changed = text;
        if (change == QLatin1String("truncated"))
            changed.truncate(text.size() / 3);
        else if (change == QLatin1String("record rewritten"))
            changed.replace(late_line, s1_line(0xFF00, QByteArray(32, 'X')));
        else if (change == QLatin1String("grown"))
            changed += s1_line(0xA000, "more") + "\r\n";
        QVERIFY(fixtures::write_file(s19, changed));
    };
    packager::PageBuffer page;
    aes_cipher cipher;
    const packager::Result result = packager::convert(s19, bin, fixtures::kdr7_identity, page, cipher, saver);
    QCOMPARE(result.outcome, packager::Outcome::S19Changed);
    QCOMPARE(*message_for(result.outcome), Message::S19CannotRead);
    QCOMPARE(fixtures::read_file(bin), QByteArray("OLD IMAGE"));
}

void tst_package::srec_cat_firmware_reaches_the_box()
{
    const QString srec_cat = QStandardPaths::findExecutable(QStringLiteral("srec_cat"));
    if (srec_cat.isEmpty())
        QSKIP("srec_cat (Debian package srecord) is not installed");
    Bench bench;
    // 10 KiB of firmware at 0xA000, reset vectors at 0xFFFE, the identity at 0x3100.
    QByteArray code(10 * 1024, '\0');
    QRandomGenerator random(3100);
    for (char& c : code)
        c = char(random.bounded(256));
    bench.file(QStringLiteral("code.bin"), code);
    bench.file(QStringLiteral("vectors.bin"), QByteArray("\xA0\x00", 2));
    bench.file(QStringLiteral("identity.bin"), fixtures::kdr7_identity_bytes);
    QProcess tool;
    tool.setWorkingDirectory(bench.dir.path());
    tool.start(srec_cat, {"code.bin", "-binary", "-offset", "0xA000", "vectors.bin", "-binary", "-offset",
                          "0xFFFE", "identity.bin", "-binary", "-offset", "0x3100", "-o", "firmware.s19",
                          "-address-length=2", "-obs=32"});
    QVERIFY(tool.waitForFinished(30000));
    QCOMPARE(tool.exitCode(), 0);

    const QString s19 = bench.dir.filePath(QStringLiteral("firmware.s19"));
    const QString bin = bench.dir.filePath(QStringLiteral("firmware.bin"));
    bench.choose_s19(s19);
    bench.choose_bin(bin);
    bench.button("pushButton_package_start")->click();
    QVERIFY2(bench.answers.boxes.isEmpty(), qPrintable(bench.answers.box_lines().join('\n')));

    VirtualBox& box = *bench.box;
    bench.answers.answer_file(bin);
    bench.button("pushButton_bin_update")->click();
    bench.window->findChild<QComboBox*>(QStringLiteral("comboBox_port_update"))->setCurrentIndex(0);
    bench.button("pushButton_update_start")->click();
    QCOMPARE(bench.answers.box_lines(), QStringList{"Hint: Update process completed."});

    const auto flash = box.flash();
    QByteArray expected(0x10000, '\xFF');
    expected.replace(0xA000, code.size(), code);
    expected.replace(0xFFFE, 2, QByteArray("\xA0\x00", 2));
    const QByteArray got(reinterpret_cast<const char*>(flash.data()), int(flash.size()));
    // The identity area is no part of the pages.
    QCOMPARE(got.left(0x3100), expected.left(0x3100));
    QCOMPARE(got.mid(0x3200), expected.mid(0x3200));
    QCOMPARE(box.damaged_lines(), 0);

    // And back: the image unpacked and packed again is the same image.
    const QString back = bench.dir.filePath(QStringLiteral("back.s19"));
    QCOMPARE(unpacker::unpack(bin, back).outcome, unpacker::Outcome::Done);
    bench.choose_s19(back);
    const QString again = bench.dir.filePath(QStringLiteral("again.bin"));
    bench.choose_bin(again);
    bench.button("pushButton_package_start")->click();
    QCOMPARE(fixtures::read_file(again), fixtures::read_file(bin));
}

void tst_package::unpacked_images_pack_back_data()
{
    QTest::addColumn<QList<int>>("bases"); // the image's pages in order
    QTest::addColumn<QList<int>>("kept");  // which of them packing the unpacked S19 gives
    QTest::newRow("one page") << QList<int>{0x8000} << QList<int>{0};
    QTest::newRow("pages out of order, page 0 included")
        << QList<int>{0xA000, 0x0000, 0xFE00, 0x8200} << QList<int>{0, 1, 2, 3};
    QTest::newRow("a page visited twice") << QList<int>{0x8000, 0x8200, 0x8000} << QList<int>{0, 1, 2};
    // No packager writes this; the box writes the page twice, and the second time is what stays.
    QTest::newRow("a page written twice at once") << QList<int>{0x8000, 0x8000, 0x8200} << QList<int>{1, 2};
    QRandomGenerator random(42);
    QList<int> bases;
    QList<int> kept;
    while (bases.size() < 40) {
        const int base = int(random.bounded(0x80)) * 0x200;
        if (!bases.contains(base) && base != 0x3000) { // random bytes in the identity area: see below
            kept << int(bases.size());
            bases << base;
        }
    }
    QTest::newRow("40 random pages") << bases << kept;
}

// Unpacking decrypts what packing encrypted: packing the S19 again gives the same image.
void tst_package::unpacked_images_pack_back()
{
    QFETCH(QList<int>, bases);
    QFETCH(QList<int>, kept);
    QTemporaryDir dir;
    std::vector<fixtures::Page> pages;
    for (int i = 0; i < bases.size(); ++i)
        pages.push_back(fixtures::page_at(bases[i], std::uint32_t(i + 1)));
    std::vector<fixtures::Page> expected;
    for (const int index : kept)
        expected.push_back(pages[size_t(index)]);
    const QString bin = dir.filePath(QStringLiteral("in.bin"));
    QVERIFY(fixtures::write_file(bin, fixtures::image(fixtures::kdr7_identity, pages)));

    const QString s19 = dir.filePath(QStringLiteral("back.s19"));
    const unpacker::Result unpacked = unpacker::unpack(bin, s19);
    QCOMPARE(unpacked.outcome, unpacker::Outcome::Done);
    QCOMPARE(unpacked.record_count, bases.size());
    packager::NoProgress quiet;
    const QString again = dir.filePath(QStringLiteral("again.bin"));
    QCOMPARE(packager::convert(s19, again, fixtures::kdr7_identity, quiet).outcome, packager::Outcome::Done);
    QCOMPARE(fixtures::read_file(again), fixtures::image(fixtures::kdr7_identity, expected));
}

// The property behind unpack, on random firmware: pack, unpack, pack gives the first image again.
void tst_package::round_trip_of_random_firmware()
{
    QTemporaryDir dir;
    QRandomGenerator random(0x3100);
    constexpr int cases = 400;
    for (int n = 0; n < cases; ++n) {
        std::vector<std::uint8_t> draw(size_t(random.bounded(64, 4096)));
        for (std::uint8_t& b : draw)
            b = std::uint8_t(random.bounded(256));
        const QString problem = round_trip::fault(dir.path(), round_trip::firmware(draw.data(), draw.size()));
        QVERIFY2(problem.isEmpty(), qPrintable(QStringLiteral("case %1: %2").arg(n).arg(problem)));
    }
}

// Page 0x3000 carries the identity area, which the packager fills only from records that start below it.
void tst_package::identity_area_of_page_3000_data()
{
    QTest::addColumn<int>("last");       // the highest address in 0x3100-0x31FF that holds a byte
    QTest::addColumn<int>("refused_at"); // -1: the image unpacks and packs back
    QTest::newRow("up to 0x31fa, the farthest a record reaches") << 0x31FA << -1;
    QTest::newRow("a byte at 0x31fb") << 0x31FB << 0x31FB;
    QTest::newRow("bytes up to 0x31ff") << 0x31FF << 0x31FB;
}

void tst_package::identity_area_of_page_3000()
{
    QFETCH(int, last);
    QFETCH(int, refused_at);
    QTemporaryDir dir;
    fixtures::Page page = fixtures::page_at(0x3000, 7);
    page.bytes.replace(last - 0x3000 + 1, 0x3200 - last - 1, QByteArray(0x3200 - last - 1, '\xFF'));
    for (int address = qMin(last, 0x31FB); address <= last; ++address)
        page.bytes[address - 0x3000] = '\x5A';
    const std::vector<fixtures::Page> pages{fixtures::page_at(0x8000, 1), page, fixtures::page_at(0x2E00, 2)};
    const QString bin = dir.filePath(QStringLiteral("in.bin"));
    QVERIFY(fixtures::write_file(bin, fixtures::image(fixtures::kdr7_identity, pages)));
    const QString s19 = dir.filePath(QStringLiteral("back.s19"));
    const unpacker::Result unpacked = unpacker::unpack(bin, s19);
    if (refused_at >= 0) {
        QCOMPARE(unpacked.outcome, unpacker::Outcome::Unreachable);
        QCOMPARE(unpacked.record, 1);
        QCOMPARE(unpacked.address, refused_at);
        QVERIFY(!QFile::exists(s19));
        return;
    }
    QCOMPARE(unpacked.outcome, unpacker::Outcome::Done);
    packager::NoProgress quiet;
    const QString again = dir.filePath(QStringLiteral("again.bin"));
    QCOMPARE(packager::convert(s19, again, fixtures::kdr7_identity, quiet).outcome, packager::Outcome::Done);
    QCOMPARE(fixtures::read_file(again), fixtures::read_file(bin));
}

QTEST_MAIN(tst_package)
#include "tst_package.moc"
