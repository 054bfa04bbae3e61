// Programs a 24-page image into eight kdr7-virtual-box processes at once with `zorvane-cli flash --port ...
// --port ...`, and into one box alone in the same run, and compares the two wall times; also the tool's
// CPU use (the zorvane-cli process, from its rusage).
#include "Fixtures.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>

#include <sys/resource.h>
#include <sys/wait.h>

#include <cstdio>
#include <memory>
#include <vector>

namespace {

constexpr int pages = 24;
constexpr int boxes = 8;

QString sibling(const QString& name)
{
    return QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("../") + name);
}

struct Run
{
    double wall_ms = 0;
    double cpu_ms = 0;
    int status = -1;
};

// Runs zorvane-cli flash on the ports; its CPU time is taken from the children's rusage around it.
Run flash(const QStringList& devices, const QString& image)
{
    QStringList arguments{QStringLiteral("flash")};
    for (const QString& d : devices)
        arguments << QStringLiteral("--port") << d;
    arguments << image;
    rusage before{};
    getrusage(RUSAGE_CHILDREN, &before);
    QElapsedTimer clock;
    clock.start();
    QProcess cli;
    cli.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    cli.start(sibling(QStringLiteral("zorvane-cli")), arguments);
    cli.waitForFinished(600000);
    Run run;
    run.wall_ms = double(clock.nsecsElapsed()) / 1e6;
    rusage after{};
    getrusage(RUSAGE_CHILDREN, &after);
    const auto ms = [](const timeval& t) { return double(t.tv_sec) * 1000.0 + double(t.tv_usec) / 1000.0; };
    run.cpu_ms = ms(after.ru_utime) - ms(before.ru_utime) + ms(after.ru_stime) - ms(before.ru_stime);
    run.status = cli.exitStatus() == QProcess::NormalExit ? cli.exitCode() : -1;
    return run;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    std::vector<fixtures::Page> list;
    for (int p = 0; p < pages; ++p)
        list.push_back(fixtures::page_at(0x8000 + p * 0x200, std::uint32_t(2026 + p)));
    const QString image = dir.filePath(QStringLiteral("gang.bin"));
    if (!fixtures::write_file(image, fixtures::image(fixtures::kdr7_identity, list)))
        return 1;

    std::vector<std::unique_ptr<QProcess>> rack;
    QStringList devices;
    for (int i = 0; i < boxes; ++i) {
        rack.push_back(std::make_unique<QProcess>());
        rack.back()->start(sibling(QStringLiteral("kdr7-virtual-box")), {});
        if (!rack.back()->waitForStarted() || !rack.back()->waitForReadyRead(5000))
            return std::fprintf(stderr, "kdr7-virtual-box did not start\n"), 1;
        devices << QString::fromLocal8Bit(rack.back()->readLine()).trimmed().section(QLatin1Char(' '), -1);
    }
    const Run one = flash({devices.first()}, image);
    const Run all = flash(devices, image);
    for (auto& box : rack) {
        box->terminate();
        box->waitForFinished();
    }

    std::printf("one box,     %d pages: %9.1f ms wall, exit %d\n", pages, one.wall_ms, one.status);
    std::printf("%d boxes,    %d pages: %9.1f ms wall, exit %d\n", boxes, pages, all.wall_ms, all.status);
    std::printf("ratio        %9.3f (target <= 1.10)\n", all.wall_ms / one.wall_ms);
    std::printf("tool CPU     %9.1f ms = %.1f %% of one core (target < 10 %%)\n", all.cpu_ms,
                100.0 * all.cpu_ms / all.wall_ms);
    return one.status == 0 && all.status == 0 ? 0 : 1;
}
