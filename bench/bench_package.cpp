// Packages a 60 KiB firmware S19 and an S19 file of about 1 MiB (every page visited several times) and, in
// the same run, converts the same files with srec_cat and objcopy; prints times, ratios and peak memory.
#include "Fixtures.h"
#include "package/Packager.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <random>

namespace {

// Firmware from first to 0xFFFF, 32 bytes a record; passes > 1 visit the pages again in shuffled orders.
QByteArray make_s19(int first, int passes)
{
    QRandomGenerator random(60);
    QByteArray firmware(0x10000, '\0');
    for (char& c : firmware)
        c = char(random.bounded(256));
    QByteArray text = "S00F000068656C6C6F202020202000003C\r\n" +
                      fixtures::s1_line(0x3100, fixtures::kdr7_identity_bytes) + "\r\n";
    QList<int> pages;
    for (int base = first; base < 0x10000; base += 0x200)
        pages << base;
    for (int pass = 0; pass < passes; ++pass) {
        if (pass > 0)
            std::shuffle(pages.begin(), pages.end(), std::mt19937(unsigned(pass)));
        for (int base : pages) {
            for (int a = base; a < base + 0x200; a += 32) {
                if (a < 0x3100 || a > 0x31FF)
                    text += fixtures::s1_line(a, firmware.mid(a, 32)) + "\r\n";
            }
        }
    }
    return text + "S9030000FC\r\n";
}

// The peak resident memory of this process image (ru_maxrss would include the parent it was forked from).
long peak_kib()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').first().toLong();
    }
    return -1;
}

struct Pump : packager::Observer
{
    void lines_counted(int) override { QCoreApplication::processEvents(); }
    void line_started(int) override { QCoreApplication::processEvents(); }
    void finished(int) override { QCoreApplication::processEvents(); }
};

double ours(const QString& in, const QString& out)
{
    packager::PageBuffer page;
    aes_cipher cipher;
    Pump pump;
    QElapsedTimer clock;
    clock.start();
    const packager::Result result = packager::convert(in, out, fixtures::kdr7_identity, page, cipher, pump);
    const double ms = double(clock.nsecsElapsed()) / 1e6;
    return result.outcome == packager::Outcome::Done ? ms : -1;
}

// Best of three runs of a program, in ms; -1 when it is missing or fails.
double program(const QString& name, const QStringList& arguments)
{
    const QString path = QStandardPaths::findExecutable(name);
    if (path.isEmpty())
        return -1;
    double best = -1;
    for (int i = 0; i < 3; ++i) {
        QProcess p;
        QElapsedTimer clock;
        clock.start();
        p.start(path, arguments);
        if (!p.waitForFinished(120000) || p.exitCode() != 0)
            return -1;
        const double ms = double(clock.nsecsElapsed()) / 1e6;
        best = best < 0 ? ms : std::min(best, ms);
    }
    return best;
}

// Runs zorvane-cli and follows its peak resident memory (VmHWM) until it ends; the last reading is taken
// within a few milliseconds of its end. -1 when it fails.
long cli_peak_kib(const QStringList& arguments, double& seconds)
{
    QProcess p;
    p.setStandardOutputFile(QProcess::nullDevice());
    QElapsedTimer clock;
    clock.start();
    p.start(QStringLiteral(ZORVANE_CLI), arguments);
    if (!p.waitForStarted())
        return -1;
    long peak = 0;
    const QString status = QStringLiteral("/proc/%1/status").arg(p.processId());
    while (!p.waitForFinished(5)) {
        QFile file(status);
        if (!file.open(QIODevice::ReadOnly))
            continue;
        for (const QByteArray& line : file.readAll().split('\n')) {
            if (line.startsWith("VmHWM:"))
                peak = std::max(peak, line.mid(6).trimmed().split(' ').first().toLong());
        }
    }
    seconds = double(clock.nsecsElapsed()) / 1e9;
    return p.exitStatus() == QProcess::NormalExit ? peak : -1;
}

// info and unpack on a sparse file of 1 GiB: all zeros, every record a valid one (its lines add up to 0).
void large_image(const QTemporaryDir& dir)
{
    const QString big = dir.filePath(QStringLiteral("large.bin"));
    QFile file(big);
    if (!file.open(QIODevice::WriteOnly) || !file.resize(qint64(1) << 30)) {
        std::printf("large image: cannot make a 1 GiB sparse file here\n");
        return;
    }
    file.close();
    double seconds = 0;
    const long info = cli_peak_kib({QStringLiteral("info"), big}, seconds);
    std::printf("info of a 1 GiB image: peak memory %ld KiB, %.1f s\n", info, seconds);
    const long json = cli_peak_kib({QStringLiteral("info"), QStringLiteral("--json"), big}, seconds);
    std::printf("info --json of a 1 GiB image: peak memory %ld KiB, %.1f s\n", json, seconds);
    const long unpack =
        cli_peak_kib({QStringLiteral("unpack"), big, dir.filePath(QStringLiteral("large.s19"))}, seconds);
    std::printf("unpack of a 1 GiB image: peak memory %ld KiB, %.1f s\n", unpack, seconds);
    std::printf("target: at most 20480 KiB, whatever the size of the image\n");
    QFile::remove(big);
}

} // namespace

// Our conversion, best of three, in a process of its own so that its peak memory is the converter's alone.
bool ours_in_child(const QString& in, const QString& out, double& ms, long& peak)
{
    QProcess child;
    child.start(QCoreApplication::applicationFilePath(), {"--convert", in, out});
    if (!child.waitForFinished(120000) || child.exitCode() != 0)
        return false;
    const QList<QByteArray> figures = child.readAllStandardOutput().trimmed().split(' ');
    if (figures.size() != 2)
        return false;
    ms = figures[0].toDouble();
    peak = figures[1].toLong();
    return true;
}

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString& text) {
        if (type != QtDebugMsg)
            std::fprintf(stderr, "%s\n", qPrintable(text));
    });
    if (argc == 4 && QByteArray(argv[1]) == "--convert") {
        double best = -1;
        for (int i = 0; i < 3; ++i) {
            const double ms = ours(QString::fromLocal8Bit(argv[2]), QString::fromLocal8Bit(argv[3]));
            if (ms < 0)
                return 1;
            best = best < 0 ? ms : std::min(best, ms);
        }
        std::printf("%.3f %ld\n", best, peak_kib());
        return 0;
    }
    QTemporaryDir dir;
    struct Case
    {
        const char* name;
        int first;
        int passes;
    };
    const Case cases[] = {{"60 KiB firmware", 0x1000, 1}, {"1 MiB S19, pages revisited", 0x0000, 7}};
    std::printf("%-28s %9s %9s %9s %9s %9s %9s\n", "file", "size KiB", "ours ms", "srec_cat", "ratio",
                "objcopy", "ratio");
    bool ok = true;
    long peaks[2] = {0, 0};
    int index = 0;
    for (const Case& c : cases) {
        const QString in = dir.filePath(QStringLiteral("in%1.s19").arg(index));
        const QByteArray text = make_s19(c.first, c.passes);
        if (!fixtures::write_file(in, text))
            return 1;
        double best = 0;
        ok = ours_in_child(in, dir.filePath(QStringLiteral("ours.bin")), best, peaks[index]) && ok;
        const double srec =
            program(QStringLiteral("srec_cat"), {in, "-o", dir.filePath("srec.bin"), "-binary"});
        const double objcopy = program(QStringLiteral("objcopy"),
                                       {"-I", "srec", "-O", "binary", in, dir.filePath("objcopy.bin")});
        std::printf("%-28s %9.0f %9.1f %9.1f %9.2f %9.1f %9.2f\n", c.name, double(text.size()) / 1024.0, best,
                    srec, srec > 0 ? best / srec : 0.0, objcopy, objcopy > 0 ? best / objcopy : 0.0);
        ++index;
    }
    std::printf(
        "peak memory of the converting process: %ld KiB for the 60 KiB file, %ld KiB for the 1 MiB file "
        "(difference %ld KiB)\n",
        peaks[0], peaks[1], peaks[1] - peaks[0]);
    std::printf("targets: ratio to srec_cat <= 1.0 (objcopy's as the stretch); memory that does not grow "
                "with the file\n");
    large_image(dir);
    return ok ? 0 : 1;
}
