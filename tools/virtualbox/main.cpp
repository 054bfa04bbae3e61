// kdr7-virtual-box: a Velantor KDR7 box in software, for trying the tool without a box on the desk.
#include "VirtualBox.h"
#include "common/SafeFile.h"
#include "satellite/SatelliteCsv.h"
#include "satellite/SatelliteRecord.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QTextStream>

#include <atomic>
#include <csignal>
#include <memory>
#include <thread>

namespace {

std::atomic<bool> quit{false};
std::atomic<bool> dump{false};

void on_signal(int)
{
    quit = true;
}

void on_dump(int)
{
    dump = true;
}

// Through the safe writer: a reader (a test comparing the flash) never sees a half-written file, and a
// failed write keeps the last whole one.
bool write_flash(const VirtualBox& box, const QString& path)
{
    SafeFile file;
    const auto memory = box.flash();
    if (!file.open(path))
        return false;
    file.write(reinterpret_cast<const char*>(memory.data()), qint64(memory.size()));
    return file.commit();
}

// The store as the tool's CSV file: one line per entry.
bool load_table(VirtualBox& box, const QString& path)
{
    satellite_csv::Reader reader;
    if (!reader.open(path))
        return false;
    const satellite_csv::Table table = reader.read();
    if (table.refused_line > 0)
        return false;
    for (int entry = 1; entry <= VirtualBox::satellite_entries && entry <= table.lines.size(); ++entry) {
        satellite_record::Record r = satellite_record::encode(satellite_csv::cells(table.lines[entry - 1]));
        std::swap(r[17], r[18]); // the box keeps Position as it sends it, high byte first
        box.set_satellite(entry, r);
    }
    return true;
}

bool save_table(const VirtualBox& box, const QString& path)
{
    satellite_csv::Writer writer;
    if (!writer.open(path))
        return false;
    for (int entry = 1; entry <= VirtualBox::satellite_entries; ++entry)
        writer.write_row(satellite_record::decode(box.satellite(entry)));
    return writer.commit();
}

bool parse_date(const QString& text, VirtualBox::Model& model)
{
    const QStringList parts = text.split(QLatin1Char('/'));
    if (parts.size() != 3)
        return false;
    bool y = false, m = false, d = false;
    const int year = parts[0].toInt(&y);
    model.min_month = parts[1].toInt(&m);
    model.min_day = parts[2].toInt(&d);
    model.min_year_offset = year - 2013;
    return y && m && d && model.min_year_offset >= 0 && model.min_year_offset <= 15;
}

} // namespace

namespace {

// The command line of the box.
struct Options
{
    QCommandLineOption port{
        {"p", "port"}, "The port number n to print as KDR7_COM<n> (default 1).", "n", "1"};
    QCommandLineOption model{QStringLiteral("model"), "The box's product model id (default 0).", "id", "0"};
    QCommandLineOption mcu{QStringLiteral("mcu"), "The box's MCU id (default 1).", "id", "1"};
    QCommandLineOption min_date{QStringLiteral("min-date"), "Oldest firmware build accepted, YEAR/MONTH/DAY.",
                                "date"};
    QCommandLineOption fault{
        QStringLiteral("fault"),
        "Inject a fault, STEP:KIND[@N[.LINE]][xTIMES] (repeatable; see the manual page).", "fault"};
    QCommandLineOption flash{
        QStringLiteral("flash-out"),
        "Write the flash memory (64 KiB) to this file on exit, and whenever the box gets SIGUSR1.", "file"};
    QCommandLineOption device{QStringLiteral("device"),
                              "Answer on this existing terminal device (set raw), such as a USB serial "
                              "gadget's /dev/ttyGS0, instead "
                              "of on a new pseudo-terminal; the tool opens the line's other end.",
                              "path"};
    QCommandLineOption table{
        QStringLiteral("table"),
        "Satellite table in the tool's CSV format: loaded at start (when it exists), saved on exit.",
        "file.csv"};
};

// Answers until Ctrl+C or SIGTERM, writing the flash on SIGUSR1; then keeps the flash and the table.
int serve_until_ended(const VirtualBox& box, const QCommandLineParser& parser, const Options& o)
{
    QTextStream out(stdout);
    QTextStream err(stderr);
    out << "Virtual Velantor KDR7 box on " << box.device() << "\n";
    if (parser.isSet(o.device))
        out << "The tool goes on the other end of that line.\n";
    else
        out << "Start the tool with: KDR7_COM" << parser.value(o.port) << "=" << box.device() << " zorvane\n";
    out << "Ctrl+C ends it.\n";
    out.flush();

    std::signal(SIGINT, on_signal);
    std::signal(SIGTERM, on_signal);
    std::signal(SIGUSR1, on_dump);
    while (!quit) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (dump.exchange(false) && parser.isSet(o.flash) && !write_flash(box, parser.value(o.flash)))
            err << "kdr7-virtual-box: cannot write " << parser.value(o.flash) << "\n";
    }

    if (parser.isSet(o.flash) && !write_flash(box, parser.value(o.flash))) {
        err << "kdr7-virtual-box: cannot write " << parser.value(o.flash) << "\n";
        return 1;
    }
    if (parser.isSet(o.table) && !save_table(box, parser.value(o.table))) {
        err << "kdr7-virtual-box: cannot write " << parser.value(o.table) << "\n";
        return 1;
    }
    out << "Pages written: " << box.pages_written() << "\n";
    return 0;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kdr7-virtual-box"));
    QTextStream err(stderr);

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("A Velantor KDR7 box on a pseudo-terminal (or a given "
                                                    "terminal device): answers as the real box does."));
    parser.addHelpOption();
    const Options o;
    parser.addOptions({o.port, o.model, o.mcu, o.min_date, o.fault, o.flash, o.device, o.table});
    parser.process(app);

    VirtualBox::Model box_model;
    bool ok_model = false, ok_mcu = false;
    // An id is one byte of the identity block: anything larger is refused rather than cut.
    const uint model_id = parser.value(o.model).toUInt(&ok_model, 0);
    const uint mcu_id = parser.value(o.mcu).toUInt(&ok_mcu, 0);
    ok_model = ok_model && model_id <= 0xFF;
    ok_mcu = ok_mcu && mcu_id <= 0xFF;
    box_model.model_id = std::uint8_t(model_id);
    box_model.mcu_id = std::uint8_t(mcu_id);
    if (!ok_model || !ok_mcu ||
        (parser.isSet(o.min_date) && !parse_date(parser.value(o.min_date), box_model))) {
        err << "kdr7-virtual-box: bad --model, --mcu or --min-date\n";
        return 2;
    }
    std::unique_ptr<VirtualBox> made = parser.isSet(o.device)
                                           ? std::make_unique<VirtualBox>(box_model, parser.value(o.device))
                                           : std::make_unique<VirtualBox>(box_model);
    VirtualBox& box = *made;
    if (!box.ok() && parser.isSet(o.device)) {
        err << "kdr7-virtual-box: cannot open " << parser.value(o.device) << ": " << box.failure() << "\n";
        return 1;
    }
    if (!box.ok()) {
        err << "kdr7-virtual-box: no pseudo-terminal could be made\n";
        return 1;
    }
    if (parser.isSet(o.table) && QFile::exists(parser.value(o.table)) &&
        !load_table(box, parser.value(o.table))) {
        err << "kdr7-virtual-box: cannot read " << parser.value(o.table) << "\n";
        return 1;
    }
    for (const QString& text : parser.values(o.fault)) {
        VirtualBox::Fault f;
        if (!VirtualBox::parse_fault(text, f)) {
            err << "kdr7-virtual-box: bad --fault " << text << "\n";
            return 2;
        }
        box.add_fault(f);
    }
    return serve_until_ended(box, parser, o);
}
