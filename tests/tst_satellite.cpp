// The satellite table: cell conversions, the CSV format, and whole exchanges with the virtual box through
// the real window, channel and pty.
#include "BoxChecks.h"
#include "Fixtures.h"
#include "PtyBox.h"
#include "VirtualBox.h"
#include "WindowBench.h"
#include "app/zorvane.h"
#include "common/LineReader.h"
#include "outcome/MessageFor.h"
#include "satellite/SatelliteCsv.h"
#include "satellite/SatelliteRecord.h"

#include <QBuffer>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSerialPort>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using Record = satellite_record::Record;

namespace {

// A record as the box sends it: Position high byte first, then Horizontal, Vertical.
VirtualBox::SatelliteRecord box_record(const QByteArray& name, int position, int vertical, int horizontal)
{
    VirtualBox::SatelliteRecord r{};
    std::copy(name.begin(), name.begin() + qMin<qsizetype>(name.size(), 17), r.begin());
    r[17] = std::uint8_t((position >> 8) & 0xFF);
    r[18] = std::uint8_t(position & 0xFF);
    r[19] = std::uint8_t(horizontal);
    r[20] = std::uint8_t(vertical);
    return r;
}

QStringList row_texts(QTableWidget* table, int row)
{
    QStringList texts;
    for (int c = 0; c < 4; ++c)
        texts << (table->item(row, c) ? table->item(row, c)->text() : QStringLiteral("<none>"));
    return texts;
}

QByteArray hex(const Record& r)
{
    return QByteArray(reinterpret_cast<const char*>(r.data()), int(r.size())).toHex(' ');
}

struct Bench : WindowBench
{
    using WindowBench::WindowBench;
    QTableWidget* table() { return window->findChild<QTableWidget*>(QStringLiteral("sat_setting")); }
    QProgressBar* progress() { return WindowBench::progress("progressBar_sat_setting"); }
    // As the user types: into the cell's item, or into a new one the view makes for an empty cell.
    void edit(int row, const QStringList& texts)
    {
        for (int c = 0; c < 4; ++c) {
            if (QTableWidgetItem* item = table()->item(row, c))
                item->setText(texts[c]);
            else
                table()->setItem(row, c, new QTableWidgetItem(texts[c]));
        }
    }
    bool buttons_enabled() { return satellite_buttons_enabled(); }
    void read_file(const QString& path)
    {
        answers.answer_file(path);
        button("pushButton_sat_read_file")->click();
    }
    void save_file(const QString& path)
    {
        answers.answer_file(path);
        button("pushButton_sat_save_file")->click();
    }
};

} // namespace

class tst_satellite : public QObject
{
    Q_OBJECT

private slots:
    void encode_cells_data();
    void encode_cells();
    void decode_records_data();
    void decode_records();
    void record_example_both_ways();
    void names_on_the_wire_data();
    void names_on_the_wire();

    void csv_reading_data();
    void csv_reading();
    void csv_corpus_data();
    void csv_corpus();
    void format_csv_lines();
    void line_reader_bounds_every_line();

    void read_from_device_fills_every_row();
    void write_to_device_stores_every_entry();
    void no_device_answers();
    void port_that_will_not_open();
    void wrong_marker_keeps_rows_read_so_far();
    void bad_acknowledge_at_entry_five_data();
    void bad_acknowledge_at_entry_five();
    void clicks_during_an_exchange_start_nothing();
    void virtual_box_follows_the_tool_data();
    void virtual_box_follows_the_tool();

    void csv_round_trip_of_99_rows();
    void csv_reading_limits();
    void csv_dialog_cancelled();
    void csv_failed_write_keeps_the_old_file();
};

void tst_satellite::encode_cells_data()
{
    QTest::addColumn<QStringList>("cells");
    QTest::addColumn<int>("byte"); // record byte to look at
    QTest::addColumn<QByteArray>("expected");

    const auto pos = [](const char* p) { return QStringList{"X", p, "0", "0"}; };
    QTest::newRow("position 300") << pos("300") << 17 << QByteArray("\x2C\x01", 2);
    QTest::newRow("position 3999") << pos("3999") << 17 << QByteArray("\x9F\x0F", 2);
    QTest::newRow("position 4000") << pos("4000") << 17 << QByteArray("\x00\x00", 2);
    QTest::newRow("position -5") << pos("-5") << 17 << QByteArray("\xFB\xFF", 2);
    QTest::newRow("position 40000") << pos("40000") << 17 << QByteArray("\x00\x00", 2);
    QTest::newRow("position letters") << pos("abc") << 17 << QByteArray("\x00\x00", 2);
    QTest::newRow("position empty") << pos("") << 17 << QByteArray("\x00\x00", 2);

    const auto ver = [](const char* v) { return QStringList{"X", "0", v, "0"}; };
    QTest::newRow("vertical 90") << ver("90") << 20 << QByteArray("\x5A");
    QTest::newRow("vertical 91") << ver("91") << 20 << QByteArray("\x2D");
    QTest::newRow("vertical -91") << ver("-91") << 20 << QByteArray("\x2D");
    QTest::newRow("vertical 200 keeps its low byte") << ver("200") << 20 << QByteArray("\xC8");
    QTest::newRow("vertical empty") << ver("") << 20 << QByteArray(1, '\0');

    const auto hor = [](const char* h) { return QStringList{"X", "0", "0", h}; };
    QTest::newRow("horizontal 95") << hor("95") << 19 << QByteArray("\xD3");
    QTest::newRow("horizontal -100") << hor("-100") << 19 << QByteArray("\xD3");
    QTest::newRow("horizontal -90") << hor("-90") << 19 << QByteArray("\xA6");
}

void tst_satellite::encode_cells()
{
    QFETCH(QStringList, cells);
    QFETCH(int, byte);
    QFETCH(QByteArray, expected);
    const Record r = satellite_record::encode({cells[0], cells[1], cells[2], cells[3]});
    QCOMPARE(QByteArray(reinterpret_cast<const char*>(r.data()) + byte, expected.size()).toHex(),
             expected.toHex());
}

void tst_satellite::decode_records_data()
{
    QTest::addColumn<QByteArray>("tail"); // record bytes 17 to 20
    QTest::addColumn<QStringList>("numbers");
    QTest::newRow("300") << QByteArray("\x01\x2C\x00\x00", 4) << QStringList{"300", "0", "0"};
    QTest::newRow("-1") << QByteArray("\xFF\xFF\x00\x00", 4) << QStringList{"-1", "0", "0"};
    QTest::newRow("45 and -45") << QByteArray("\x00\x00\xD3\x2D", 4) << QStringList{"0", "45", "-45"};
    QTest::newRow("extremes") << QByteArray("\x80\x00\x80\x7F", 4) << QStringList{"-32768", "127", "-128"};
}

void tst_satellite::decode_records()
{
    QFETCH(QByteArray, tail);
    QFETCH(QStringList, numbers);
    Record r{};
    std::copy(tail.begin(), tail.end(), r.begin() + 17);
    const SatelliteCells cells = satellite_record::decode(r);
    QCOMPARE((QStringList{cells.position, cells.vertical, cells.horizontal}), numbers);
}

void tst_satellite::record_example_both_ways()
{
    Record received{};
    const QByteArray bytes =
        QByteArray("Sat1", 5) + QByteArray(12, '\x77') + QByteArray("\x00\xC0\xD3\x2D", 4);
    std::copy(bytes.begin(), bytes.end(), received.begin());
    const SatelliteCells cells = satellite_record::decode(received);
    QCOMPARE((QStringList{cells.name, cells.position, cells.vertical, cells.horizontal}),
             (QStringList{"Sat1", "192", "45", "-45"}));
    const Record sent = satellite_record::encode(cells);
    QCOMPARE(hex(sent).left(14), QByteArray("53 61 74 31 00"));
    QCOMPARE(sent[16], std::uint8_t(0));
    QCOMPARE(hex(sent).right(14), QByteArray("00 c0 00 d3 2d"));
}

void tst_satellite::names_on_the_wire_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("field"); // the 17 name bytes, up to the terminator
    QTest::newRow("16 characters") << "ABCDEFGHIJKLMNOP" << QByteArray("ABCDEFGHIJKLMNOP");
    QTest::newRow("19 characters") << "ABCDEFGHIJKLMNOPQRS" << QByteArray("ABCDEFGHIJKLMNOP");
    QTest::newRow("empty") << "" << QByteArray();
    QTest::newRow("Latin-1") << QStringLiteral("Türksat 4A") << QByteArray("T\xFCrksat 4A");
    QTest::newRow("outside Latin-1") << QStringLiteral("Астра 19.2°E")
                                     << QByteArray("????? 19.2\xB0"
                                                   "E");
}

void tst_satellite::names_on_the_wire()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, field);
    const Record r = satellite_record::encode({name, "0", "0", "0"});
    QCOMPARE(QByteArray(reinterpret_cast<const char*>(r.data())), field);
    QCOMPARE(r[16], std::uint8_t(0));
}

namespace {

using Rows = QList<QStringList>;

// A table with what strains a spreadsheet's CSV: quotes, ";", Latin-1 letters, a long name, an empty one.
struct TableRow
{
    QString name;
    int position, vertical, horizontal;
};

QList<TableRow> spreadsheet_table()
{
    QList<TableRow> rows;
    for (int i = 0; i < 99; ++i)
        rows << TableRow{QStringLiteral("Sat %1").arg(i), i * 37 - 1800, i % 181 - 90, -(i % 90)};
    rows[0].name = QStringLiteral("Astra 1KR");
    rows[1].name = QStringLiteral("Türksat 42E");
    rows[2].name = QStringLiteral("Sat \"Q\" 1");
    rows[3].name = QStringLiteral("Hot;bird");
    rows[4].name = QStringLiteral("A satellite name longer than 16");
    rows[5].name = QString();
    rows[6].name = QStringLiteral("\"Quoted\"");
    return rows;
}

// How a spreadsheet writes the table: separator, every text quoted or only where needed, the
// encoding and the line end.
QByteArray spreadsheet_file(char separator, bool quote_all, bool utf8, bool mark, const char* line_end)
{
    QByteArray file = mark ? QByteArray("\xEF\xBB\xBF") : QByteArray();
    for (const TableRow& row : spreadsheet_table()) {
        QByteArray name = utf8 ? row.name.toUtf8() : row.name.toLatin1();
        if (quote_all || name.contains('"') || name.contains(separator))
            name = '"' + name.replace("\"", "\"\"") + '"';
        file += name + separator + QByteArray::number(row.position) + separator +
                QByteArray::number(row.vertical) + separator + QByteArray::number(row.horizontal) + line_end;
    }
    return file;
}

QByteArray own_file()
{
    QByteArray file;
    for (const TableRow& row : spreadsheet_table())
        file += satellite_csv::format_line({row.name, QString::number(row.position),
                                            QString::number(row.vertical), QString::number(row.horizontal)});
    return file;
}

Rows table_cells()
{
    Rows rows;
    for (const TableRow& row : spreadsheet_table())
        rows << QStringList{row.name.left(16), QString::number(row.position), QString::number(row.vertical),
                            QString::number(row.horizontal)};
    return rows;
}

} // namespace

// What a file reads as: the tool's own files exactly as the reader always took them (the expected cells
// are what it gave), a spreadsheet's forms of one table as the same rows as the tool's file of it, and
// what cannot be read as four fields refused with its line.
void tst_satellite::csv_reading_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<Rows>("rows");
    QTest::addColumn<int>("refused"); // the line named, 0: read

    const auto own = [](const char* name, const QByteArray& line, const QStringList& cells) {
        QTest::newRow(name) << line + "\r\n" << Rows{cells} << 0;
    };
    own("written by the tool", "Sat1,192,45,-45,", {"Sat1", "192", "45", "-45"});
    own("20-character name", "ABCDEFGHIJKLMNOPQRST,1,2,3,", {"ABCDEFGHIJKLMNOP", "1", "2", "3"});
    own("8-bit wrap", "A,0,200,0,", {"A", "0", "-56", "0"});
    own("16-bit wrap", "A,70000,0,0,", {"A", "4464", "0", "0"});
    own("plus sign", "A,+7,+7,+7,", {"A", "7", "7", "7"});
    own("last sign wins", "A,1-2,-1+2,2-,", {"A", "-12", "12", "-2"});
    own("no trailing comma", "A,1,2,-3", {"A", "1", "2", "-3"});
    own("after field 4 ignored", "A,1,2,3,junk,99", {"A", "1", "2", "3"});
    own("empty fields", ",,,,", {"", "0", "0", "0"});
    own("comma in a name shifts", "Sat,1,192,45,-45,", {"Sat", "1", "-64", "45"});
    own("letters count by code", "A,a,0,0,", {"A", "49", "0", "0"});
    own("a space adds -16", "A, 5,0,0,", {"A", "-155", "0", "0"});
    own("Latin-1 name", "T\xFCrksat,420,0,0,", {"Türksat", "420", "0", "0"});
    own("UTF-8 bytes stay bytes",
        "Hot\xC3\xA9"
        "bird,1,2,3,",
        {"Hot\u00C3\u00A9bird", "1", "2", "3"});
    own("quotes in a name are the name's", "\"Sat\",1,2,3,", {"\"Sat\"", "1", "2", "3"});
    own("a lone quote", "\",1,2,3,", {"\"", "1", "2", "3"});
    own("semicolons in a name", "A;1;2;3,1,2,3,", {"A;1;2;3", "1", "2", "3"});
    own("CR inside the line", "A\rB,1,2,3,", {"A\rB", "1", "2", "3"});
    own("a quote inside a number", "A,\"5\",0,0,", {"A", "-1364", "0", "0"});
    QTest::newRow("LF line ends") << QByteArray("A,1,2,3,\nB,4,5,6,\n")
                                  << Rows{{"A", "1", "2", "3"}, {"B", "4", "5", "6"}} << 0;
    QTest::newRow("the rest of a long line skipped")
        << QByteArray("N,1,2,3," + QByteArray(1 << 20, 'x') + "\r\nM,4,5,6,\r\n")
        << Rows{{"N", "1", "2", "3"}, {"M", "4", "5", "6"}} << 0;

    const Rows table = table_cells();
    QTest::newRow("99 rows, the tool's file") << own_file() << table << 0;
    QTest::newRow("99 rows, LibreOffice: quoted, LF")
        << spreadsheet_file(',', true, false, false, "\n") << table << 0;
    QTest::newRow("99 rows, LibreOffice: quoted, UTF-8, LF")
        << spreadsheet_file(',', true, true, false, "\n") << table << 0;
    QTest::newRow("99 rows, LibreOffice: quoted where needed, LF")
        << spreadsheet_file(',', false, false, false, "\n") << table << 0;
    QTest::newRow("99 rows, semicolons, CRLF")
        << spreadsheet_file(';', false, false, false, "\r\n") << table << 0;
    QTest::newRow("99 rows, byte-order mark, UTF-8, CRLF")
        << spreadsheet_file(',', false, true, true, "\r\n") << table << 0;
    QTest::newRow("UTF-8 beyond Latin-1 as \"?\"")
        << QByteArray("\xEF\xBB\xBF\xD0\x90stra \xF0\x9F\x9B\xB0,1,2,3\r\n")
        << Rows{{"?stra ?", "1", "2", "3"}} << 0;
    QTest::newRow("a ; file whose lines end in ;") << QByteArray("\"A\";1;2;3;\r\nB;4;5;-6;\r\n")
                                                   << Rows{{"A", "1", "2", "3"}, {"B", "4", "5", "-6"}} << 0;

    const auto refused = [](const char* name, const QByteArray& file, int line) {
        QTest::newRow(name) << file << Rows{} << line;
    };
    refused("fewer commas", "Hotbird,130\r\n", 1);
    refused("name only", "A,1,2,3,\r\nHotbird\r\n", 2);
    refused("an empty line", "A,1,2,3,\r\n\r\nB,1,2,3,\r\n", 2);
    refused("a zero byte cuts the line short", QByteArray("A,1,2,3,\r\nA,1,2\0,3,\r\n", 21), 2);
    refused("fields beyond the 254th character", "A,1,2,3,\r\nL" + QByteArray(300, 'x') + ",1,2,3,\r\n", 2);
    refused("a quote that does not end", "A,1,2,3\n\"Astra,1,2,3\n", 2);
    refused("text after a quote", "\"Astra\" 1KR,1,2,3\n", 1);
    refused("a ; file with a short line", "\"A\";1;2;3\n\"B\";1;2\n", 2);
}

void tst_satellite::csv_reading()
{
    QFETCH(QByteArray, file);
    QFETCH(Rows, rows);
    QFETCH(int, refused);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("t.csv"));
    QVERIFY(fixtures::write_file(path, file));
    satellite_csv::Reader reader;
    QVERIFY(reader.open(path));
    const satellite_csv::Table table = reader.read();
    QCOMPARE(table.refused_line, refused);
    Rows read;
    for (const satellite_csv::Line& line : table.lines) {
        const SatelliteCells c = satellite_csv::cells(line);
        read << QStringList{c.name, c.position, c.vertical, c.horizontal};
    }
    QCOMPARE(read, rows);
}

namespace {

// Rows "Sat1,1,2,3" to "SatN,N,2,3" (position wraps past 32767 as numbers do), as bytes and as cells.
QByteArray numbered_file(int count, const char* line_end)
{
    QByteArray file;
    for (int i = 1; i <= count; ++i)
        file += "Sat" + QByteArray::number(i) + ',' + QByteArray::number(i) + ",2,3" + line_end;
    return file;
}

Rows numbered_rows(int count)
{
    Rows rows;
    for (int i = 1; i <= count; ++i)
        rows << QStringList{QStringLiteral("Sat%1").arg(i), QString::number(i), "2", "3"};
    return rows;
}

QByteArray utf16(const QString& text, bool little_endian)
{
    QByteArray bytes = little_endian ? QByteArray("\xFF\xFE") : QByteArray("\xFE\xFF");
    for (const QChar c : text) {
        const auto hi = char(c.unicode() >> 8);
        const auto lo = char(c.unicode() & 0xFF);
        bytes += little_endian ? QByteArray{1, lo} + hi : QByteArray{1, hi} + lo;
    }
    return bytes;
}

} // namespace

// Files made the ways people and scripts make tables: the rows the box gets, or the line refused and why.
// told: for a refusal the reason; for a load a text that what the window says after it holds (empty: it
// says nothing).
void tst_satellite::csv_corpus_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<Rows>("rows");
    QTest::addColumn<int>("refused");
    QTest::addColumn<QString>("told");

    const QStringList astra{"Astra 19.2E", "192", "45", "-45"};
    const QString header = QStringLiteral("Line 1: the first line is a header, skipped");
    const auto read = [](const char* name, const QByteArray& file, const Rows& rows, const QString& told) {
        QTest::newRow(name) << file << rows << 0 << told;
    };
    const auto refused = [](const char* name, const QByteArray& file, int line, const QString& why) {
        QTest::newRow(name) << file << Rows{} << line << why;
    };

    read("header", "Name,Position,Vertical,Horizontal\r\nAstra 19.2E,192,45,-45\r\n", {astra}, header);
    read("header, ; quoted, byte-order mark",
         "\xEF\xBB\xBF\"Name\";\"Position\";\"Vertical\";\"Horizontal\"\r\n\"Astra 19.2E\";192;45;-45\r\n",
         {astra}, header);
    read("header, own form", "Name,Position,Vertical,Horizontal,\r\nAstra 19.2E,192,45,-45,\r\n", {astra},
         header);
    read("- and empty fields make no header", "Empty,-,,-,\r\n", {{"Empty", "0", "0", "0"}}, "");
    read("header and 99 rows", "Name,Pos,V,H\n" + numbered_file(99, "\n"), numbered_rows(99), header);

    read("Windows-1252 (Excel on Windows)", "Caf\xE9 \x80\x96\x84x\x93\x99,130,45,-45\r\n",
         {{"Caf\u00E9 ???x??", "130", "45", "-45"}}, "holds characters outside ISO 8859-1: sent as");

    read("CR line ends (Excel's Macintosh CSV)", "Astra 19.2E,192,45,-45\rHotbird,130,45,-45\r",
         {astra, {"Hotbird", "130", "45", "-45"}}, "");
    read("CR line ends, 99 rows", numbered_file(99, "\r"), numbered_rows(99), "");
    read("CR CR LF line ends (Python on Windows)", numbered_file(99, "\r\r\n"), numbered_rows(99), "");
    refused("a control byte is shown escaped", "A,1,2,\"-3\r0\"\r\n", 1,
            "holds a horizontal that is not a plain number: \"-3\\r0\"");

    read("numbers as people write them", "Astra 19.2E, 192 , 45,-45.00\r\nB,+7.0,\"-0\",0\r\n",
         {astra, {"B", "7", "0", "0"}}, "");
    read("; file with decimal commas", "Astra 19.2E;192,0;45,0;-45,0\r\nHotbird 13E;130,0;45;-45,00\r\n",
         {astra, {"Hotbird 13E", "130", "45", "-45"}}, "");
    refused("thousands apart", "A,1,2,3\r\nB,3 300,45,0\r\n", 2,
            "holds a position that is not a plain number: \"3 300\"");
    refused("exponent", "A,1.92E+02,45,0\r\n", 1,
            "holds a position that is not a plain number: \"1.92E+02\"");
    refused("parentheses", "A,0,(30),0\r\n", 1, "holds a vertical that is not a plain number: \"(30)\"");
    refused("minus sign",
            "A,0,0,\xE2\x88\x92"
            "45\r\n",
            1, "holds a horizontal that is not a plain number: \"\u221245\"");
    refused("a decimal that is not whole", "A,192.5,0,0\r\n", 1,
            "holds a position that is not a plain number: \"192.5\"");
    read("own form keeps its numbers, and names them", "Astra 19.2E, 192,45,-45,\r\n",
         {{"Astra 19.2E", "-15808", "45", "-45"}}, "Line 1: position \" 192\" is not a number");

    read("own form saved as UTF-8 with LF (gedit)", "T\xC3\xBCrksat 42E,420,45,-45,\nA,1,2,3,\n",
         {{"T\u00FCrksat 42E", "420", "45", "-45"}, {"A", "1", "2", "3"}}, "");
    read("own form saved as UTF-8 with CR LF: as the tool's file, and told",
         "T\xC3\xBCrksat 42E,420,45,-45,\r\n", {{"T\u00C3\u00BCrksat 42E", "420", "45", "-45"}},
         "Line 1: name \"T\u00C3\u00BCrksat 42E\" holds characters outside ISO 8859-1 (UTF-8 \"T\u00FCrksat "
         "42E\")");

    refused("; and commas, other lines plain", "A;1;2;3,4,5,6\r\nB,1,2,3\r\n", 1,
            "holds both \";\" and commas between its values, and the other lines do not tell which of them "
            "separates the fields");

    read("own form with quoted names (Python, a fifth empty column)",
         "\"Sky \"\"Italia\"\"\",3300,45,0,\r\n\"Eutelsat 7,0E\",130,45,-45,\r\nSat \"Q\",1,2,3,\r\n",
         {{"Sky \"Italia\"", "3300", "45", "0"},
          {"Eutelsat 7,0E", "130", "45", "-45"},
          {"Sat \"Q\"", "1", "2", "3"}},
         "");

    read("120 rows", numbered_file(120, "\r\n"), numbered_rows(99),
         "Rows 100 to 120 are beyond the box's 99 entries: not read");

    read("; with a comma in a name, notes, ;; at the end",
         "Eutelsat 7,0E;70;45;-45;a note;more\r\nAstra 19.2E;192;45;-45;;\r\n",
         {{"Eutelsat 7,0E", "70", "45", "-45"}, astra}, "");
    refused("the line that fails is named", "A;1;2;3\r\nB;1;2;3\r\nC;1;2\r\n", 3,
            "does not read as four fields (it holds fewer than four fields)");
    read("tabs (LibreOffice)", "Astra 19.2E\t192\t45\t-45\n\"Hot\tbird\"\t130\t45\t-45\n",
         {astra, {"Hot\tbird", "130", "45", "-45"}}, "");
    const QString unicode_text = QStringLiteral("Name\tPosition\tVertical\tHorizontal\r\nT\u00FCrksat "
                                                "\u20AC\t420\t45\t-45\r\nAstra 19.2E\t192\t45\t-45\r\n");
    const Rows unicode_rows{{"T\u00FCrksat ?", "420", "45", "-45"}, astra};
    read("UTF-16 LE with tabs (Excel's Unicode Text)", utf16(unicode_text, true), unicode_rows, header);
    read("UTF-16 BE", utf16(unicode_text, false), unicode_rows, header);
    read("blank lines after the last row", "Astra 19.2E,192,45,-45\r\n\r\n\r\n", {astra}, "");
    refused("cut inside a quoted notes column", "A,1,2,3,\"" + QByteArray(300, 'x') + "\"\r\n", 1,
            "is longer than 254 bytes, and its first 254 do not hold four fields");
    read("a CR in a quoted name", "\"A\rB\",1,2,3\r\n", {{"A?B", "1", "2", "3"}},
         "Line 1: name \"A\\rB\" holds a CR: sent as \"A?B\"");
    read("a CR in a quoted name, own form", "\"A\rB\",1,2,3,\r\n", {{"A?B", "1", "2", "3"}}, "holds a CR");
    read("a character beyond U+FFFF is one \"?\"", "\xEF\xBB\xBFSat \xF0\x9F\x9B\xB0,1,2,3\r\n",
         {{"Sat ?", "1", "2", "3"}}, "holds characters outside ISO 8859-1: sent as \"Sat ?\"");

    // What the tool writes reads back as it was saved, where the rules above could take it otherwise.
    QByteArray own;
    for (const SatelliteCells& c : QList<SatelliteCells>{
             {"Name", "Pos", "Ver", "Hor"}, {"\"x\"\"y\"", "1", "2", "3"}, {"\"Sat\"", "1", "2", "3"}})
        own += satellite_csv::format_line(c, nullptr, own.isEmpty());
    read("the tool's file: a first row like a header, quotes in names", own,
         {{"Name", "3897", "44", "24"}, {"\"x\"\"y\"", "1", "2", "3"}, {"\"Sat\"", "1", "2", "3"}},
         "Line 1: position \"0Pos\" is not a number");
}

void tst_satellite::csv_corpus()
{
    QFETCH(QByteArray, file);
    QFETCH(Rows, rows);
    QFETCH(int, refused);
    QFETCH(QString, told);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("t.csv"));
    QVERIFY(fixtures::write_file(path, file));
    satellite_csv::Reader reader;
    QVERIFY(reader.open(path));
    const satellite_csv::Table table = reader.read();
    Rows read;
    for (const satellite_csv::Line& line : table.lines) {
        const SatelliteCells c = satellite_csv::cells(line);
        read << QStringList{c.name, c.position, c.vertical, c.horizontal};
    }
    QCOMPARE(read, rows);
    QCOMPARE(table.refused_line, refused);
    if (refused > 0) {
        QCOMPARE(csv_refusal_reason(table), told);
    } else {
        const QString remarks = csv_load_remarks(table);
        QVERIFY2(told.isEmpty() ? remarks.isEmpty() : remarks.contains(told), qPrintable(remarks));
    }
}

void tst_satellite::format_csv_lines()
{
    bool replaced = true;
    QCOMPARE(satellite_csv::format_line({"Sat1", "192", "45", "-45"}, &replaced),
             QByteArray("Sat1,192,45,-45,\r\n"));
    QVERIFY(!replaced);
    QCOMPARE(satellite_csv::format_line({}), QByteArray(",,,,\r\n"));
    QCOMPARE(satellite_csv::format_line({QStringLiteral("Астра"), "abc", "", ""}, &replaced),
             QByteArray("?????,abc,,,\r\n"));
    QVERIFY(!replaced);
    QCOMPARE(satellite_csv::format_line({QString::fromLatin1("a,b\r\nc\0d", 8), "1,2", "", ""}, &replaced),
             QByteArray("a?b??c?d,1?2,,,\r\n"));
    QVERIFY(replaced);
    // A first line that would begin with a byte-order mark would make the file UTF-8 when read back.
    const QString mark_name = QString::fromLatin1("\xEF\xBB\xBF;bird");
    QCOMPARE(satellite_csv::format_line({mark_name, "1", "", ""}, &replaced, true),
             QByteArray("?\xBB\xBF;bird,1,,,\r\n"));
    QVERIFY(replaced);
    QCOMPARE(satellite_csv::format_line({mark_name, "1", "", ""}, &replaced, false),
             QByteArray("\xEF\xBB\xBF;bird,1,,,\r\n"));
    QVERIFY(!replaced);
}

void tst_satellite::line_reader_bounds_every_line()
{
    QByteArray text = "one\r\ntwo\nthree";
    text.prepend(QByteArray(300, 'x') + "\r\n");
    text.prepend(QByteArray(1 << 20, 'y') + "\n");
    text.prepend(QByteArray(254, 'z') + "\r\n");
    QBuffer device(&text);
    device.open(QIODevice::ReadOnly);
    LineReader reader(device, 254);
    QByteArray line;
    QVERIFY(reader.next(line));
    QCOMPARE(line, QByteArray(254, 'z'));
    QVERIFY(!reader.truncated());
    QVERIFY(reader.next(line));
    QCOMPARE(line, QByteArray(254, 'y'));
    QVERIFY(reader.truncated());
    QVERIFY(reader.next(line));
    QCOMPARE(line, QByteArray(254, 'x'));
    QVERIFY(reader.next(line));
    QCOMPARE(line, QByteArray("one"));
    QVERIFY(reader.next(line));
    QCOMPARE(line, QByteArray("two"));
    QVERIFY(reader.next(line));
    QCOMPARE(line, QByteArray("three"));
    QVERIFY(!reader.next(line));
    QVERIFY(!reader.failed());
    QCOMPARE(reader.lines_read(), 6);
}

void tst_satellite::read_from_device_fills_every_row()
{
    Bench bench(VirtualBox::Wire::Direct);
    for (int entry = 1; entry <= 99; ++entry)
        bench.box->set_satellite(
            entry, box_record("E" + QByteArray::number(entry), entry * 10, entry % 90, -entry % 90));
    bench.box->set_satellite(1, box_record(QByteArray("Sat1", 5) + QByteArray(12, '\x77'), 192, 45, -45));
    bench.box->set_satellite(2, box_record("ABCDEFGHIJKLMNOP", -1, -90, 90));  // 16 characters
    bench.box->set_satellite(3, box_record("ABCDEFGHIJKLMNOPQ", -3599, 0, 0)); // no zero byte: 17
    bench.box->set_satellite(4, box_record("", 0, 0, 0));
    bench.box->set_satellite(5, box_record("Astra \xB0\xFC", 192, 0, 0)); // 8-bit name
    bench.button("pushButton_sat_read")->click();

    QCOMPARE(bench.answers.box_lines(),
             QStringList{QStringLiteral("Hint: Satellite data read successfully!")});
    QCOMPARE(bench.answers.boxes.first().icon, QMessageBox::Information);
    QTableWidget* table = bench.table();
    QCOMPARE(row_texts(table, 0), (QStringList{"Sat1", "192", "45", "-45"}));
    QCOMPARE(row_texts(table, 1), (QStringList{"ABCDEFGHIJKLMNOP", "-1", "-90", "90"}));
    QCOMPARE(row_texts(table, 2), (QStringList{"ABCDEFGHIJKLMNOPQ", "-3599", "0", "0"}));
    QCOMPARE(row_texts(table, 3), (QStringList{"", "0", "0", "0"}));
    QCOMPARE(row_texts(table, 4), (QStringList{QStringLiteral("Astra °ü"), "192", "0", "0"}));
    QCOMPARE(row_texts(table, 98), (QStringList{"E99", "990", "9", "-9"}));
    QCOMPARE(bench.progress()->value(), 100);
    QVERIFY(bench.buttons_enabled());
    QCOMPARE(times_sent(*bench.box, "I"), 100);
    QCOMPARE(times_sent(*bench.box, "H"), 1);

    // Reading again puts each cell's own item back in place: no warning, no crash, same texts.
    QTest::failOnWarning(QRegularExpression(QStringLiteral("already owned")));
    bench.answers.boxes.clear();
    bench.button("pushButton_sat_read")->click();
    QCOMPARE(row_texts(table, 0), (QStringList{"Sat1", "192", "45", "-45"}));
}

void tst_satellite::write_to_device_stores_every_entry()
{
    Bench bench;
    for (int row = 0; row < 99; ++row)
        bench.edit(row, {"Row" + QString::number(row), QString::number(row * 30 - 1500),
                         QString::number(row - 50), QString::number(50 - row)});
    bench.edit(0, {"Sat1", "192", "45", "-45"});
    bench.edit(1, {"ABCDEFGHIJKLMNOPQRS", "-300", "91", "-91"});
    bench.edit(2, {"", "", "", ""});
    bench.edit(3, {QStringLiteral("Türksat ✓"), "4000", "200", "95"});
    for (int c = 0; c < 4; ++c)
        delete bench.table()->takeItem(4, c); // a row without items
    bench.button("pushButton_sat_save")->click();

    QCOMPARE(bench.answers.box_lines(),
             QStringList{QStringLiteral("Hint: Satellite data write successfully!")});
    QCOMPARE(bench.progress()->value(), 100);
    QVERIFY(bench.buttons_enabled());
    QCOMPARE(bench.box->satellite(1), box_record("Sat1", 192, 45, -45));
    QCOMPARE(bench.box->satellite(2), box_record("ABCDEFGHIJKLMNOP", -300, 45, -45));
    QCOMPARE(bench.box->satellite(3), box_record("", 0, 0, 0));
    QCOMPARE(bench.box->satellite(4), box_record("T\xFCrksat ?", 0, -56, -45));
    QCOMPARE(bench.box->satellite(5), box_record("", 0, 0, 0));
    for (int entry = 6; entry <= 99; ++entry) {
        const int row = entry - 1;
        QCOMPARE(bench.box->satellite(entry),
                 box_record("Row" + QByteArray::number(row), row * 30 - 1500, row - 50, 50 - row));
    }
    // The cells keep what the user typed; only the bytes sent were replaced.
    QCOMPARE(row_texts(bench.table(), 3), (QStringList{QStringLiteral("Türksat ✓"), "4000", "200", "95"}));
    // The frame of entry 1, byte by byte.
    const std::vector<VirtualBox::Event> t = bench.box->transcript();
    QCOMPARE(t.at(0).bytes, QByteArray("J"));
    QCOMPARE(t.at(1).bytes, QByteArray("K"));
    QCOMPARE(t.at(2).bytes.toHex(' '),
             QByteArray("4c 01 53 61 74 31 00 00 00 00 00 00 00 00 00 00 00 00 00 c0 00 d3 2d"));
}

void tst_satellite::no_device_answers()
{
    DialogAnswerer answers;
    isolate_ports();
    PtyBox silent;
    set_port(2, silent.device());
    zorvane window;
    answers.boxes.clear();
    QElapsedTimer clock;
    clock.start();
    window.findChild<QPushButton*>(QStringLiteral("pushButton_sat_read"))->click();
    QCOMPARE(answers.box_lines(),
             QStringList{QStringLiteral("Error: Data connection error, please restart box and PC software")});
    QCOMPARE(answers.boxes.first().icon, QMessageBox::Warning);
    QVERIFY2(clock.elapsed() >= 1000, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(silent.receive_until_quiet(50), QByteArray("H"));
    for (const char* name : {"pushButton_sat_read", "pushButton_sat_save", "pushButton_sat_read_file",
                             "pushButton_sat_save_file"})
        QVERIFY(window.findChild<QPushButton*>(QLatin1String(name))->isEnabled());
    // The port was closed: another program can take it at once.
    QSerialPort other;
    other.setPortName(silent.device());
    QVERIFY(other.open(QIODevice::ReadWrite));
}

void tst_satellite::port_that_will_not_open()
{
    Bench bench;
    set_port(1, QStringLiteral("/dev/kdr7-no-such-tty"));
    bench.button("pushButton_sat_save_file")->setEnabled(false);
    bench.button("pushButton_sat_save")->click();
    QCOMPARE(bench.answers.box_lines(),
             QStringList{QStringLiteral(
                 "Warning: The serial port is occupied or not exist, please try another port.")});
    QVERIFY(bench.button("pushButton_sat_read")->isEnabled());
    QVERIFY(!bench.button("pushButton_sat_save_file")->isEnabled());
    QVERIFY(bench.box->transcript().empty());
}

void tst_satellite::wrong_marker_keeps_rows_read_so_far()
{
    Bench bench(VirtualBox::Wire::Direct);
    for (int entry = 1; entry <= 99; ++entry)
        bench.box->set_satellite(entry, box_record("New" + QByteArray::number(entry), entry, 1, 1));
    for (int row = 0; row < 99; ++row)
        bench.edit(row, {"Old", "0", "0", "0"});
    VirtualBox::Fault fault;
    QVERIFY(VirtualBox::parse_fault(QStringLiteral("satrecord:byte=0x4D@40"), fault));
    bench.box->add_fault(fault);
    bench.button("pushButton_sat_read")->click();
    QCOMPARE(bench.answers.box_lines(),
             QStringList{QStringLiteral("Error: Data read error, please restart box and PC software")});
    QCOMPARE(row_texts(bench.table(), 38), (QStringList{"New39", "39", "1", "1"}));
    QCOMPARE(row_texts(bench.table(), 39), (QStringList{"Old", "0", "0", "0"}));
    QCOMPARE(row_texts(bench.table(), 98), (QStringList{"Old", "0", "0", "0"}));
    QCOMPARE(bench.progress()->value(), 40);
    QVERIFY(bench.buttons_enabled());
}

void tst_satellite::bad_acknowledge_at_entry_five_data()
{
    QTest::addColumn<QString>("fault");
    QTest::newRow("wrong byte") << "satack:byte=0x4C@5";
    QTest::newRow("no answer") << "satack:silent@5";
}

void tst_satellite::bad_acknowledge_at_entry_five()
{
    QFETCH(QString, fault);
    Bench bench;
    VirtualBox::Fault f;
    QVERIFY(VirtualBox::parse_fault(fault, f));
    bench.box->add_fault(f);
    bench.button("pushButton_sat_save")->click();
    QCOMPARE(bench.answers.box_lines(),
             QStringList{QStringLiteral("Error: Data write error, please restart box and PC software")});
    QCOMPARE(bench.progress()->value(), 6);
    QVERIFY(bench.buttons_enabled());
    int frames = 0;
    for (const VirtualBox::Event& e : bench.box->transcript())
        frames += e.from_tool && e.bytes.size() == 23;
    QCOMPARE(frames, 5);
}

void tst_satellite::clicks_during_an_exchange_start_nothing()
{
    Bench bench(VirtualBox::Wire::Direct);
    for (int entry = 1; entry <= 99; ++entry)
        bench.box->set_satellite(entry, box_record("S" + QByteArray::number(entry), entry, 0, 0));
    bool clicked = false;
    QObject::connect(bench.progress(), &QProgressBar::valueChanged, bench.window.get(), [&](int v) {
        if (v != 10 || clicked)
            return;
        clicked = true;
        for (const char* name : {"pushButton_sat_read", "pushButton_sat_save", "pushButton_sat_read_file",
                                 "pushButton_sat_save_file", "pushButton_update_start"})
            QMetaObject::invokeMethod(bench.button(name), "click", Qt::QueuedConnection);
    });
    bench.button("pushButton_sat_read")->click();
    QVERIFY(clicked);
    QCOMPARE(bench.answers.box_lines(),
             QStringList{QStringLiteral("Hint: Satellite data read successfully!")});
    QCOMPARE(times_sent(*bench.box, "H"), 1);
    QCOMPARE(times_sent(*bench.box, "E"), 0);
    QCOMPARE(times_sent(*bench.box, "I"), 100);
    QCOMPARE(row_texts(bench.table(), 98), (QStringList{"S99", "99", "0", "0"}));
}

void tst_satellite::virtual_box_follows_the_tool_data()
{
    // Alternately what the tool sends and what the box answers within 300 ms; "close" closes the line and
    // opens it again.
    QTest::addColumn<QByteArrayList>("script");
    const QByteArray record(21, 'x');
    QTest::newRow("malformed frame: not stored, not acknowledged")
        << QByteArrayList{"J", "K", "X\x01" + record, "", QByteArray("L\x00", 2) + record, ""};
    QTest::newRow("a read given up, then a write") << QByteArrayList{"H", "I", "J", "K"};
    QTest::newRow("a write given up, then a read") << QByteArrayList{"J", "K", "H", "I"};
    QTest::newRow("a write given up, then the bootloader") << QByteArrayList{"J", "K", "E", "0"};
    QTest::newRow("line closed halfway through a frame") << QByteArrayList{"J",
                                                                           "K",
                                                                           "L\x01"
                                                                           "abc",
                                                                           "",
                                                                           "close",
                                                                           "",
                                                                           "H",
                                                                           "I"};
}

// The virtual box must be a fair stand-in: no "K" for a record it dropped, and no state left over from an
// exchange the tool gave up.
void tst_satellite::virtual_box_follows_the_tool()
{
    QFETCH(QByteArrayList, script);
    VirtualBox box;
    box.set_satellite(1, box_record("Keep", 1, 2, 3));
    auto port = std::make_unique<QSerialPort>(box.device());
    QVERIFY(port->open(QIODevice::ReadWrite));
    for (int i = 0; i + 1 < script.size(); i += 2) {
        if (script[i] == "close") {
            port->close();
            QTest::qWait(50);
            QVERIFY(port->open(QIODevice::ReadWrite));
            continue;
        }
        port->write(script[i]);
        QVERIFY(port->waitForBytesWritten(1000));
        QByteArray answer;
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < 300) {
            if (port->waitForReadyRead(20))
                answer += port->readAll();
        }
        QCOMPARE(answer, script[i + 1]);
    }
    QCOMPARE(QByteArray(reinterpret_cast<const char*>(box.satellite(1).data())), QByteArray("Keep"));
}

void tst_satellite::csv_round_trip_of_99_rows()
{
    auto bench = std::make_unique<Bench>();
    for (int row = 0; row < 99; ++row)
        bench->edit(row, {QStringLiteral("Sät %1").arg(row), QString::number(row * 37 - 1800),
                          QString::number(row % 181 - 90), QString::number(-(row % 90))});
    bench->edit(0, {"Sat1", "192", "45", "-45"});
    bench->edit(1, {"", "", "", ""});
    // What a line of the file cannot hold is saved as "?", and the box says where.
    bench->edit(3, {"A,B", "3", "3", "3"});
    bench->edit(7, {"Line\r\nbreak", "7", "7", "7"});
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("table.csv"));
    bench->save_file(path);
    QCOMPARE(
        bench->answers.box_lines(),
        QStringList{"Warning: A CSV file cannot hold a comma, a line end or a zero byte in a cell: saved as "
                    "\"?\" in rows 4, 8."});
    QCOMPARE(bench->answers.file_dialogs.last().caption, QStringLiteral("Save Files"));
    QCOMPARE(bench->answers.file_dialogs.last().filters, QStringList{"CSV Files(*.csv)"});
    QVERIFY(!bench->answers.file_dialogs.last().has_parent);
    QCOMPARE(bench->progress()->value(), 100);
    QList<QStringList> saved;
    for (int row = 0; row < 99; ++row)
        saved << row_texts(bench->table(), row);
    saved[1] = QStringList{"", "0", "0", "0"};
    saved[3] = QStringList{"A?B", "3", "3", "3"};
    saved[7] = QStringList{"Line??break", "7", "7", "7"};
    bench.reset();

    const QByteArray bytes = fixtures::read_file(path);
    QVERIFY(bytes.startsWith("Sat1,192,45,-45,\r\n,,,,\r\nS\xE4t 2,"));
    QCOMPARE(bytes.count("\r\n"), 99);
    QVERIFY(bytes.endsWith("\r\n"));

    Bench other;
    other.read_file(path);
    QVERIFY2(other.answers.boxes.isEmpty(), qPrintable(other.answers.box_lines().join('\n')));
    QCOMPARE(other.answers.file_dialogs.last().caption, QStringLiteral("open File"));
    QVERIFY(other.answers.file_dialogs.last().has_parent);
    QCOMPARE(other.window->findChild<QLineEdit*>(QStringLiteral("lineEdit_sat_setting"))->text(), path);
    for (int row = 0; row < 99; ++row)
        QCOMPARE(row_texts(other.table(), row), saved[row]);
    QCOMPARE(other.progress()->value(), 100);
}

void tst_satellite::csv_reading_limits()
{
    Bench bench;
    for (int row = 0; row < 99; ++row)
        bench.edit(row, {"Old", "1", "1", "1"});

    // 5 lines, the last without its line end: rows 0..4 load, the rest keep their contents.
    bench.read_file(
        bench.file(QStringLiteral("five.csv"), "A,1,2,3,\r\nB,4,5,6,\r\nC,7,8,9,\nD,1,1,1,\r\nE,2,2,2"));
    QCOMPARE(row_texts(bench.table(), 4), (QStringList{"E", "2", "2", "2"}));
    QCOMPARE(row_texts(bench.table(), 5), (QStringList{"Old", "1", "1", "1"}));
    QCOMPARE(bench.progress()->value(), 100);

    // 120 lines, one of them 1 MB long: 99 load, the long one cut without touching the next row.
    QByteArray many;
    for (int i = 1; i <= 120; ++i)
        many += "N" + QByteArray::number(i) + ",1,2,3," + (i == 3 ? QByteArray(1 << 20, 'x') : "") + "\r\n";
    bench.read_file(bench.file(QStringLiteral("many.csv"), many));
    QCOMPARE(bench.answers.box_lines(),
             QStringList{
                 "Warning: The CSV file was loaded. Note:\nRows 100 to 120 are beyond the box's 99 entries: "
                 "not read\nLine 3: line is longer than 254 characters; the rest is skipped"});
    bench.answers.boxes.clear();
    QCOMPARE(row_texts(bench.table(), 2), (QStringList{"N3", "1", "2", "3"}));
    QCOMPARE(row_texts(bench.table(), 3), (QStringList{"N4", "1", "2", "3"}));
    QCOMPARE(row_texts(bench.table(), 98), (QStringList{"N99", "1", "2", "3"}));
    QCOMPARE(bench.progress()->value(), 100);

    // A line that does not read as four fields (here its fields lie beyond the 254th character): the
    // file is refused with its line, and no row changes.
    bench.progress()->setValue(7);
    many.replace("N3,1,2,3,", "N3" + QByteArray(300, 'x') + ",1,2,3,");
    bench.read_file(bench.file(QStringLiteral("refused.csv"), many.replace("N1,", "R1,")));
    QCOMPARE(
        bench.answers.box_lines(),
        QStringList{
            "Warning: Line 3 of the CSV file is longer than 254 bytes, and its first 254 do not hold four "
            "fields: nothing was loaded."});
    QVERIFY(!bench.answers.boxes.last().has_parent);
    QCOMPARE(row_texts(bench.table(), 0), (QStringList{"N1", "1", "2", "3"}));
    QCOMPARE(bench.progress()->value(), 7);
    bench.answers.boxes.clear();

    // An empty file fills nothing.
    bench.edit(0, {"Keep", "1", "1", "1"});
    bench.read_file(bench.file(QStringLiteral("empty.csv"), QByteArray()));
    QCOMPARE(row_texts(bench.table(), 0), (QStringList{"Keep", "1", "1", "1"}));

    // A header is skipped, and the box after the load says so.
    bench.read_file(
        bench.file(QStringLiteral("header.csv"), "Name,Position,Vertical,Horizontal\r\nA,1,2,3\r\n"));
    QCOMPARE(
        bench.answers.box_lines(),
        QStringList{"Warning: The CSV file was loaded. Note:\nLine 1: the first line is a header, skipped: "
                    "\"Name,Position,Vertical,Horizontal\""});
    QCOMPARE(row_texts(bench.table(), 0), (QStringList{"A", "1", "2", "3"}));
}

void tst_satellite::csv_dialog_cancelled()
{
    Bench bench;
    bench.edit(0, {"Keep", "1", "1", "1"});
    bench.read_file(QString());
    bench.save_file(QString());
    QCOMPARE(bench.answers.box_lines(), (QStringList{"Warning: No CSV file", "Warning: No CSV file"}));
    QCOMPARE(row_texts(bench.table(), 0), (QStringList{"Keep", "1", "1", "1"}));
    QVERIFY(bench.window->findChild<QLineEdit*>(QStringLiteral("lineEdit_sat_setting"))->text().isEmpty());
}

void tst_satellite::csv_failed_write_keeps_the_old_file()
{
    Bench bench;
    const QByteArray old_table = "Old,1,2,3,\r\n";
    const QString path = bench.file(QStringLiteral("kept.csv"), old_table);
    for (int row = 0; row < 99; ++row)
        bench.edit(row, {QString(16, QLatin1Char('N')), "1000", "10", "10"});

    // A file may grow to 512 bytes here: the new table (about 2.5 KB) cannot be written whole.
    {
        const fixtures::FileSizeLimit limit(512);
        bench.save_file(path);
    }

    QCOMPARE(bench.answers.box_lines(), QStringList{QStringLiteral("Warning: Fail to write CSV file")});
    QCOMPARE(fixtures::read_file(path), old_table);
    QCOMPARE(QDir(bench.dir.path()).entryList(QDir::Files), QStringList{"kept.csv"});

    // A place where no file can be made at all.
    satellite_csv::Writer writer;
    QVERIFY(!writer.open(bench.dir.filePath(QStringLiteral("no/such/dir/t.csv"))));
}

QTEST_MAIN(tst_satellite)
#include "tst_satellite.moc"
