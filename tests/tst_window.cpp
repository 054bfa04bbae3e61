// The main window as the user meets it: the port probe, the layout, the wiring, Stop and Close.
#include "DialogAnswerer.h"
#include "PtyBox.h"
#include "app/FontFit.h"
#include "app/ModalLoops.h"
#include "app/PortLists.h"
#include "app/SatelliteGrid.h"
#include "app/zorvane.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QFontInfo>
#include <QHeaderView>
#include <QLabel>
#include <QMetaMethod>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QSerialPort>
#include <QStyle>
#include <QStyleFactory>
#include <QTabWidget>
#include <QTableWidget>
#include <QTest>

#include <memory>

namespace {

template <typename T> T* widget(QWidget* window, const char* name)
{
    T* w = window->findChild<T*>(QLatin1String(name));
    if (w == nullptr)
        qFatal("no widget %s", name);
    return w;
}

int port_index(QWidget* window, const char* list)
{
    return widget<QComboBox>(window, list)->currentIndex();
}

} // namespace

class tst_window : public QObject
{
    Q_OBJECT

private slots:
    void init() { isolate_ports(); }

    void probe_warns_once_when_no_port_opens();
    void probe_stops_at_the_first_port_that_opens();
    void probe_counts_a_busy_port_as_not_found();
    void port_items_show_their_device();
    void ports_beyond_com15_show_whole();

    void clipped_caption_widens_to_the_left();
    void window_is_fixed_800_by_600();
    void window_fits_the_screen();
    void every_text_fits_its_widget();
    void window_shows_two_tabs_and_keeps_package_alive();
    void satellite_table_layout();
    void update_tab_starts_idle();
    void slots_are_declared_in_order();
    void each_button_runs_its_slot_once_data();
    void each_button_runs_its_slot_once();
    void stop_only_enables_start_and_close();
    void close_buttons_close_the_window_data();
    void close_buttons_close_the_window();

    void grid_items_survive_the_view();
    void modal_loops_are_told_apart_data();
    void modal_loops_are_told_apart();
};

void tst_window::probe_warns_once_when_no_port_opens()
{
    DialogAnswerer answers;
    set_port(3, QStringLiteral("/dev/kdr7-no-such-tty"));
    zorvane window;
    QCOMPARE(answers.box_lines(), QStringList{QStringLiteral("Warning: Serial Port Not Found!")});
    const DialogAnswerer::Box& box = answers.boxes.first();
    QCOMPARE(box.icon, QMessageBox::Warning);
    QCOMPARE(box.buttons, QMessageBox::StandardButtons(QMessageBox::Yes));
    QCOMPARE(box.default_button, QMessageBox::NoButton);
    QVERIFY(!box.has_parent);
    QCOMPARE(port_index(&window, "comboBox_port_rw"), 0);
    QCOMPARE(port_index(&window, "comboBox_port_update"), 0);
}

void tst_window::probe_stops_at_the_first_port_that_opens()
{
    DialogAnswerer answers;
    set_port(2, QStringLiteral("/dev/kdr7-no-such-tty"));
    PtyBox com3;
    set_port(3, com3.device());
    std::vector<std::unique_ptr<PtyBox>> later;
    for (int n = 4; n <= 15; ++n) {
        later.push_back(std::make_unique<PtyBox>());
        set_port(n, later.back()->device());
    }

    {
        zorvane window;
        QVERIFY2(answers.boxes.isEmpty(), qPrintable(answers.box_lines().join('\n')));
        QCOMPARE(widget<QComboBox>(&window, "comboBox_port_rw")->currentText(), QStringLiteral("COM3"));
        QCOMPARE(widget<QComboBox>(&window, "comboBox_port_update")->currentText(), QStringLiteral("COM3"));
        QCOMPARE(com3.open_count(), 1);
        for (auto& box : later)
            QCOMPARE(box->open_count(), 0);
        // No byte went out, and the port is free again for other programs.
        QCOMPARE(com3.receive(1, 50), QByteArray());
        QSerialPort other;
        other.setPortName(com3.device());
        QVERIFY(other.open(QIODevice::ReadWrite));
    }
}

void tst_window::probe_counts_a_busy_port_as_not_found()
{
    DialogAnswerer answers;
    PtyBox com1;
    PtyBox com2;
    set_port(1, com1.device());
    set_port(2, com2.device());
    QSerialPort other;
    other.setPortName(com1.device());
    QVERIFY(other.open(QIODevice::ReadWrite));
    {
        zorvane window;
        QVERIFY(answers.boxes.isEmpty());
        QCOMPARE(port_index(&window, "comboBox_port_rw"), 1);
        QCOMPARE(port_index(&window, "comboBox_port_update"), 1);
    }
    set_port(2, QString());
    {
        zorvane window;
        QCOMPARE(answers.box_lines(), QStringList{QStringLiteral("Warning: Serial Port Not Found!")});
        QCOMPARE(port_index(&window, "comboBox_port_rw"), 0);
    }
}

void tst_window::port_items_show_their_device()
{
    DialogAnswerer answers;
    // Every name stays mapped: the probe must never reach a real adapter on the machine running the tests.
    set_port(4, QStringLiteral("/dev/pts/77"));
    set_port(5, QStringLiteral("/dev/kdr7-no-such-tty5"));
    zorvane window;
    for (const char* name : {"comboBox_port_rw", "comboBox_port_update"}) {
        QComboBox* list = widget<QComboBox>(&window, name);
        QCOMPARE(list->count(), 15);
        for (int i = 0; i < 15; ++i)
            QCOMPARE(list->itemText(i), QStringLiteral("COM%1").arg(i + 1));
        QCOMPARE(list->itemData(3, Qt::ToolTipRole).toString(), QStringLiteral("/dev/pts/77"));
        QCOMPARE(list->itemData(4, Qt::ToolTipRole).toString(), QStringLiteral("/dev/kdr7-no-such-tty5"));
        QCOMPARE(list->itemData(0, Qt::ToolTipRole).toString(), QStringLiteral("no device"));
    }
}

// The system's ports beyond COM15 follow the form's names, in number order, once each; the popup shows
// every name whole in the window's own font, also in the Windows style, whose popup is a plain list.
void tst_window::ports_beyond_com15_show_whole()
{
    DialogAnswerer answers;
    const QString style = QApplication::style()->name();
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Windows")));
    {
        zorvane window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QComboBox* list = widget<QComboBox>(&window, "comboBox_port_update");
        port_lists::add(list,
                        port_lists::beyond_form({{"COM123", "USB Serial Device"},
                                                 {"COM3", "Communications Port"},
                                                 {"com20", ""},
                                                 {"LPT1", "Printer Port"},
                                                 {"COM16", "Intel(R) Active Management Technology - SOL"},
                                                 {"COM123", "again"}}));
        QStringList names;
        for (int i = 0; i < list->count(); ++i)
            names << list->itemText(i);
        QCOMPARE(names.mid(15), QStringList({"COM16", "COM20", "COM123"}));
        QCOMPARE(list->itemData(17, Qt::ToolTipRole).toString(), QStringLiteral("USB Serial Device"));
        QCOMPARE(list->itemData(16, Qt::ToolTipRole).toString(), QStringLiteral("COM20"));
        QCOMPARE(list->width(), 61);
        list->showPopup();
        QAbstractItemView* view = list->view();
        QTRY_VERIFY(view->isVisible());
        const int margins = 2 * (view->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, view) + 1);
        for (const QString name : {"COM15", "COM123"}) {
            const int needed = list->fontMetrics().horizontalAdvance(name) + margins;
            QVERIFY2(needed <= view->viewport()->width(),
                     qPrintable(QStringLiteral("%1 needs %2 px, the popup has %3")
                                    .arg(name)
                                    .arg(needed)
                                    .arg(view->viewport()->width())));
        }
        list->hidePopup();
    }
    QApplication::setStyle(QStyleFactory::create(style));
}

// With the fonts the package depends on: Arial's metric twin for the value fields, and a default family in
// which no caption, button, port name or column header is clipped in the form's fixed geometry.
void tst_window::every_text_fits_its_widget()
{
    DialogAnswerer answers;
    zorvane window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    const QStringList clipped = font_fit::clipped_texts(&window);
    QVERIFY2(clipped.isEmpty(), qPrintable(clipped.join(QLatin1Char('\n'))));
    QCOMPARE(QFontInfo(widget<QLabel>(&window, "label_model_u")->font()).family(),
             QStringLiteral("Liberation Sans"));
}

// Where no family fits (a Windows PC has no narrow twin of Arial), a clipped caption gets the pixels it
// lacks on its left, and keeps its right edge beside its field.
void tst_window::clipped_caption_widens_to_the_left()
{
    DialogAnswerer answers;
    zorvane window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    auto* label = widget<QLabel>(&window, "label_14"); // 51 px, right-aligned
    QCOMPARE(label->text(), QStringLiteral("COM Port"));
    QFont wide = label->font();
    wide.setPointSize(wide.pointSize() + 2);
    label->setFont(wide);
    const QRect before = label->geometry();
    QVERIFY(!font_fit::clipped_texts(label).isEmpty());
    QVERIFY(font_fit::widen_clipped_labels(&window) >= 1);
    QCOMPARE(label->geometry().right(), before.right());
    QVERIFY(label->geometry().left() < before.left());
    QVERIFY2(font_fit::clipped_texts(label).isEmpty() || label->geometry().left() == 0,
             qPrintable(font_fit::clipped_texts(label).join('\n')));
}

void tst_window::window_is_fixed_800_by_600()
{
    DialogAnswerer answers;
    zorvane window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QCOMPARE(window.size(), QSize(800, 600));
    QCOMPARE(window.minimumSize(), QSize(800, 600));
    QCOMPARE(window.maximumSize(), QSize(800, 600));
    window.resize(1024, 700);
    QCOMPARE(window.size(), QSize(800, 600));
    QCOMPARE(window.windowTitle(), QStringLiteral("Velantor KDR7 Loader Editor v1.6"));
    QCOMPARE(window.objectName(), QStringLiteral("zorvaneClass"));
    QVERIFY(!window.windowIcon().isNull());
    QCOMPARE(window.locale(), QLocale(QLocale::English, QLocale::UnitedStates));
}

// Wholly inside the screen's free area, the form at its own size: scrolled where the area is too small
// (run at 175 % on a 1920 x 1040 area by tst_window_at_175_percent), as it is where it fits.
void tst_window::window_fits_the_screen()
{
    DialogAnswerer answers;
    zorvane window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    const QRect area = window.screen()->availableGeometry();
    QVERIFY2(area.contains(window.frameGeometry()),
             qPrintable(QStringLiteral("the window's frame %1,%2 %3x%4 leaves the free area %5x%6")
                            .arg(window.frameGeometry().x())
                            .arg(window.frameGeometry().y())
                            .arg(window.frameGeometry().width())
                            .arg(window.frameGeometry().height())
                            .arg(area.width())
                            .arg(area.height())));
    QCOMPARE(widget<QWidget>(&window, "centralWidget")->size(), QSize(800, 600));
    auto* scroll = window.findChild<QScrollArea*>();
    if (area.height() >= 600 + 40) {
        QVERIFY(scroll == nullptr);
        QCOMPARE(window.size(), QSize(800, 600));
        return;
    }
    // Every row of the form can be scrolled to.
    QVERIFY(scroll != nullptr);
    QCOMPARE(scroll->verticalScrollBar()->maximum(), 600 - scroll->viewport()->height());
    QVERIFY(scroll->viewport()->height() < 600);
    QCOMPARE(scroll->viewport()->width(), 800);
}

void tst_window::window_shows_two_tabs_and_keeps_package_alive()
{
    DialogAnswerer answers;
    zorvane window;
    QTabWidget* tabs = widget<QTabWidget>(&window, "tabWidget");
    QCOMPARE(tabs->count(), 2);
    QCOMPARE(tabs->tabText(0), QStringLiteral("Satellite Setting"));
    QCOMPARE(tabs->tabText(1), QStringLiteral("Update"));
    QCOMPARE(tabs->currentIndex(), 0);
    QCOMPARE(tabs->widget(0)->objectName(), QStringLiteral("tab_3"));
    QCOMPARE(tabs->widget(1)->objectName(), QStringLiteral("tab"));

    QWidget* package = widget<QWidget>(&window, "tab_2");
    QCOMPARE(tabs->indexOf(package), -1);
    QCOMPARE(widget<QPushButton>(&window, "pushButton_package_start")->text(), QStringLiteral("Start"));
    QCOMPARE(widget<QProgressBar>(&window, "progressBar_package")->value(), 0);

    QVERIFY(widget<QLabel>(&window, "label_mcu_m")->isHidden());
    QVERIFY(widget<QLabel>(&window, "label_mcu_u")->isHidden());
    QVERIFY(!widget<QLabel>(&window, "label_ver_u")->isHidden());
}

void tst_window::satellite_table_layout()
{
    DialogAnswerer answers;
    zorvane window;
    QTableWidget* table = widget<QTableWidget>(&window, "sat_setting");
    QCOMPARE(table->rowCount(), 99);
    QCOMPARE(table->columnCount(), 4);
    const QStringList headers{"Satellite Name", "Position", "Vertical", "Horizontal"};
    const int widths[] = {260, 150, 150, 150};
    for (int c = 0; c < 4; ++c) {
        QCOMPARE(table->horizontalHeaderItem(c)->text(), headers[c]);
        QCOMPARE(table->horizontalHeaderItem(c)->textAlignment(), int(Qt::AlignCenter));
        QCOMPARE(table->columnWidth(c), widths[c]);
    }
    QVERIFY(!table->isSortingEnabled());
    QCOMPARE(table->horizontalHeader()->minimumSectionSize(), 25);
    QCOMPARE(table->minimumSize(), QSize(440, 0));
    QVERIFY(table->item(0, 1) != nullptr);
    QCOMPARE(table->item(0, 1)->textAlignment(), int(Qt::AlignLeading | Qt::AlignVCenter));
    QVERIFY(table->item(1, 3) != nullptr);
    QVERIFY(table->item(2, 0) == nullptr);
    QCOMPARE(widget<QProgressBar>(&window, "progressBar_sat_setting")->maximum(), 100);
}

void tst_window::update_tab_starts_idle()
{
    DialogAnswerer answers;
    zorvane window;
    for (const char* name : {"label_model_u", "label_date_u", "label_mcu_u", "label_ver_u", "label_model",
                             "label_date", "label_mcu", "label_ver"}) {
        QLabel* value = widget<QLabel>(&window, name);
        QVERIFY(value->text().isEmpty());
        QCOMPARE(value->frameShape(), QFrame::Box);
        QCOMPARE(value->frameShadow(), QFrame::Raised);
        QCOMPARE(value->alignment(), Qt::AlignCenter);
    }
    QVERIFY(widget<QLabel>(&window, "label_update_status")->text().isEmpty());
    QCOMPARE(widget<QProgressBar>(&window, "progressBar_update")->value(), 0);
}

void tst_window::slots_are_declared_in_order()
{
    DialogAnswerer answers;
    zorvane window;
    const QMetaObject* meta = window.metaObject();
    const char* const slot_names[] = {"select_s_path",   "select_bin_path",  "s2bin",
                                      "binfile_in",      "update_start",     "update_pause",
                                      "sat_read_device", "sat_write_device", "sat_read_file",
                                      "sat_write_file"};
    QCOMPARE(meta->methodCount() - meta->methodOffset(), 10);
    for (int i = 0; i < 10; ++i) {
        const QMetaMethod method = meta->method(meta->methodOffset() + i);
        QCOMPARE(method.name(), QByteArray(slot_names[i]));
        QCOMPARE(method.methodType(), QMetaMethod::Slot);
        QCOMPARE(method.access(), QMetaMethod::Private);
        QCOMPARE(method.parameterCount(), 0);
    }
}

void tst_window::each_button_runs_its_slot_once_data()
{
    // What the slot does first: a file dialog ("open"/"save", caption, filters), a box, or the byte it sends
    // to the box on COM1.
    QTest::addColumn<QString>("button");
    QTest::addColumn<QString>("effect");
    QTest::newRow("select_s_path") << "pushButton_s19"
                                   << "open: Open Files: Text Files(*.s19)";
    QTest::newRow("select_bin_path") << "pushButton_bin"
                                     << "save: Save Files: Text Files(*.bin)";
    QTest::newRow("s2bin") << "pushButton_package_start"
                           << "Warning: S file and Bin file are all empty!";
    QTest::newRow("binfile_in") << "pushButton_bin_update"
                                << "open: open File: Text Files(*.bin), All Files(*.*)";
    QTest::newRow("update_start") << "pushButton_update_start"
                                  << "Warning: Can not find BIN file";
    QTest::newRow("update_pause") << "pushButton_update_stop"
                                  << "Start enabled";
    QTest::newRow("sat_read_device") << "pushButton_sat_read"
                                     << "sent H";
    QTest::newRow("sat_write_device") << "pushButton_sat_save"
                                      << "sent J";
    QTest::newRow("sat_read_file") << "pushButton_sat_read_file"
                                   << "open: open File: CSV Files(*.csv)";
    QTest::newRow("sat_write_file") << "pushButton_sat_save_file"
                                    << "save: Save Files: CSV Files(*.csv)";
}

// The buttons are wired by name: each one reaches its own slot, exactly once.
void tst_window::each_button_runs_its_slot_once()
{
    QFETCH(QString, button);
    QFETCH(QString, effect);
    DialogAnswerer answers;
    PtyBox com1;
    set_port(1, com1.device());
    zorvane window;
    // Stop's only effect is to enable Start and Close again.
    QPushButton* start = widget<QPushButton>(&window, "pushButton_update_start");
    const bool stop = button == QLatin1String("pushButton_update_stop");
    start->setEnabled(!stop);
    answers.boxes.clear();
    widget<QPushButton>(&window, qPrintable(button))->click();
    QStringList effects;
    for (const DialogAnswerer::FileDialog& d : answers.file_dialogs)
        effects
            << QStringLiteral("%1: %2: %3").arg(d.save ? "save" : "open", d.caption, d.filters.join(", "));
    if (answers.file_dialogs.isEmpty())
        effects << answers.box_lines();
    if (stop && start->isEnabled())
        effects << QStringLiteral("Start enabled");
    const QByteArray sent = com1.receive_until_quiet(50);
    if (!sent.isEmpty())
        effects = QStringList{QStringLiteral("sent ") + QString::fromLatin1(sent)};
    QCOMPARE(effects, QStringList{effect});
}

void tst_window::stop_only_enables_start_and_close()
{
    DialogAnswerer answers;
    zorvane window;
    answers.boxes.clear();
    auto* start = widget<QPushButton>(&window, "pushButton_update_start");
    auto* stop = widget<QPushButton>(&window, "pushButton_update_stop");
    auto* close = widget<QPushButton>(&window, "pushButton_update_close");
    auto* status = widget<QLabel>(&window, "label_update_status");
    auto* progress = widget<QProgressBar>(&window, "progressBar_update");
    auto* browse = widget<QPushButton>(&window, "pushButton_bin_update");
    start->setEnabled(false);
    close->setEnabled(false);
    browse->setEnabled(false);
    status->setText(QStringLiteral("Starting updating"));
    progress->setValue(7);

    stop->click();
    QVERIFY(start->isEnabled());
    QVERIFY(close->isEnabled());
    QVERIFY(stop->isEnabled());
    QVERIFY(!browse->isEnabled());
    QCOMPARE(status->text(), QStringLiteral("Starting updating"));
    QCOMPARE(progress->value(), 7);
    QVERIFY(answers.boxes.isEmpty());
}

void tst_window::close_buttons_close_the_window_data()
{
    QTest::addColumn<QString>("button");
    QTest::newRow("Satellite Setting") << "pushButton_sat_close";
    QTest::newRow("Update") << "pushButton_update_close";
    QTest::newRow("Package (out of the tabs)") << "pushButton_package_close";
}

void tst_window::close_buttons_close_the_window()
{
    QFETCH(QString, button);
    DialogAnswerer answers;
    zorvane window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    window.findChild<QPushButton*>(button)->click();
    QVERIFY(!window.isVisible());
}

void tst_window::grid_items_survive_the_view()
{
    QTableWidget view(99, 4);
    {
        SatelliteGrid grid;
        // A failed or repeated install would print "already owned" and leave the wrong item shown.
        QTest::failOnWarning(QRegularExpression(QStringLiteral(".*")));
        grid.at(0, 0).setText(QStringLiteral("Astra"));
        grid.install(view, 0, 0);
        grid.install(view, 0, 0);
        QCOMPARE(view.item(0, 0), &grid.at(0, 0));

        // An edit into an empty cell makes an item of the view's own; the grid copies it, then replaces it.
        view.setItem(5, 1, new QTableWidgetItem(QStringLiteral("192")));
        grid.refresh(view, 5, 1);
        QCOMPARE(grid.at(5, 1).text(), QStringLiteral("192"));
        grid.install(view, 5, 1);
        QCOMPARE(view.item(5, 1), &grid.at(5, 1));

        // An edit of a shown grid item lands in the grid item itself.
        view.item(0, 0)->setText(QStringLiteral("Hotbird"));
        grid.refresh(view, 0, 0);
        QCOMPARE(grid.at(0, 0).text(), QStringLiteral("Hotbird"));

        // A cell without an item reads as empty text.
        grid.at(7, 2).setText(QStringLiteral("45"));
        grid.refresh(view, 7, 2);
        QCOMPARE(grid.at(7, 2).text(), QString());
    }
    // The grid went first: its items left the view, which must not touch them any more.
    QVERIFY(view.item(0, 0) == nullptr);
    QVERIFY(view.item(5, 1) == nullptr);
}

// What Windows would turn into its own move, size or menu loop while the box is talked to, and what not.
void tst_window::modal_loops_are_told_apart_data()
{
    QTest::addColumn<unsigned>("message");
    QTest::addColumn<quintptr>("wparam");
    QTest::addColumn<bool>("declined");
    using namespace modal_loops::win32;
    const unsigned left_down_client = 0x0201; // WM_LBUTTONDOWN
    QTest::newRow("SC_MOVE") << syscommand << quintptr(0xF010) << true;
    QTest::newRow("SC_MOVE from a caption drag") << syscommand << quintptr(0xF012) << true;
    QTest::newRow("SC_SIZE from the left border") << syscommand << quintptr(0xF001) << true;
    QTest::newRow("SC_KEYMENU (Alt+Space)") << syscommand << quintptr(0xF100) << true;
    QTest::newRow("SC_MOUSEMENU (the icon)") << syscommand << quintptr(0xF093) << true;
    QTest::newRow("SC_MINIMIZE") << syscommand << quintptr(0xF020) << false;
    QTest::newRow("SC_CLOSE") << syscommand << quintptr(0xF060) << false;
    QTest::newRow("SC_RESTORE") << syscommand << quintptr(0xF120) << false;
    QTest::newRow("press on the caption") << nc_left_down << quintptr(2) << true;
    QTest::newRow("double click on the caption") << nc_left_double << quintptr(2) << true;
    QTest::newRow("press on the icon") << nc_left_down << quintptr(3) << true;
    QTest::newRow("press on the bottom-right corner") << nc_left_down << quintptr(17) << true;
    QTest::newRow("press on the left border") << nc_left_down << quintptr(10) << true;
    QTest::newRow("right click on the caption") << nc_right_up << quintptr(2) << true;
    QTest::newRow("press on the minimize button") << nc_left_down << quintptr(8) << false;
    QTest::newRow("press on the close button") << nc_left_down << quintptr(20) << false;
    QTest::newRow("press in the client area (non-client code)") << nc_left_down << quintptr(1) << false;
    QTest::newRow("press on a button of the form") << left_down_client << quintptr(2) << false;
}

void tst_window::modal_loops_are_told_apart()
{
    QFETCH(unsigned, message);
    QFETCH(quintptr, wparam);
    QFETCH(bool, declined);
    QCOMPARE(modal_loops::starts_modal_loop(message, wparam), declined);
}

QTEST_MAIN(tst_window)
#include "tst_window.moc"
