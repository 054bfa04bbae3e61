#include "BenchSupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>

#include <algorithm>
#include <cstdio>

#include <sys/resource.h>

double cpu_ms()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000.0 +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000.0;
}

QString start_virtual_box(QProcess& box)
{
    box.start(QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("../kdr7-virtual-box")),
              {});
    if (!box.waitForStarted() || !box.waitForReadyRead(5000))
        return QString();
    // "Virtual Velantor KDR7 box on /dev/pts/N"
    const QString device = QString::fromLocal8Bit(box.readLine()).trimmed().section(QLatin1Char(' '), -1);
    qputenv("KDR7_COM1", device.toLocal8Bit());
    return device;
}

BusyNeighbours::BusyNeighbours(int count)
{
    for (int i = 0; i < count; ++i) {
        auto process = std::make_unique<QProcess>();
        process->start(QStringLiteral("sh"), {QStringLiteral("-c"), QStringLiteral("while :; do :; done")});
        process->waitForStarted();
        processes.push_back(std::move(process));
    }
}

BusyNeighbours::~BusyNeighbours()
{
    for (auto& process : processes) {
        process->kill();
        process->waitForFinished();
    }
}

bool parse_bench_options(const QStringList& arguments, const QStringList& own_flags, BenchOptions& options)
{
    for (int i = 1; i < arguments.size(); ++i) {
        const QString& a = arguments.at(i);
        if ((a == QLatin1String("--runs") || a == QLatin1String("--busy")) && i + 1 < arguments.size()) {
            bool ok = false;
            const int n = arguments.at(++i).toInt(&ok);
            if (!ok || n < (a == QLatin1String("--runs") ? 1 : 0)) {
                std::fprintf(stderr, "%s takes a count\n", qPrintable(a));
                return false;
            }
            (a == QLatin1String("--runs") ? options.runs : options.busy) = n;
        } else if (own_flags.contains(a)) {
            options.others << a;
        } else {
            std::fprintf(stderr, "unknown argument %s (known: --runs N, --busy N %s)\n", qPrintable(a),
                         qPrintable(own_flags.join(QLatin1Char(' '))));
            return false;
        }
    }
    return true;
}

double median(std::vector<double> figures)
{
    if (figures.empty())
        return 0;
    std::sort(figures.begin(), figures.end());
    const size_t middle = figures.size() / 2;
    return figures.size() % 2 == 1 ? figures[middle] : (figures[middle - 1] + figures[middle]) / 2;
}

void print_machine_load()
{
    QFile loads(QStringLiteral("/proc/loadavg"));
    if (loads.open(QIODevice::ReadOnly))
        std::printf("machine load averages (1, 5, 15 min): %s\n",
                    loads.readAll().split(' ').mid(0, 3).join(' ').constData());
}
