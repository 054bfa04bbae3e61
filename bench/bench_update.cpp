// Programs a 24-page image (12 KiB of firmware) into kdr7-virtual-box, run as its own process, and
// compares the wall time with the pacing floor of the exchange; also the tool's CPU use while it waits.
#include "serial/SerialChannel.h"
#include "update/BinImage.h"
#include "update/Bootloader.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <openssl/evp.h>

#include <cstdio>
#include <sys/resource.h>

namespace {

constexpr int pages = 24;

QByteArray encrypt(const QByteArray& block)
{
    static const unsigned char key[16] = {0x5a, 0x3c, 0x91, 0xe7, 0x0d, 0x42, 0xb8, 0x6f,
                                          0xa1, 0x17, 0xc4, 0x29, 0x7e, 0x83, 0xf0, 0x56};
    unsigned char out[32];
    int n = 0;
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    EVP_EncryptInit_ex(ctx, EVP_aes_128_ecb(), nullptr, key, nullptr);
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    EVP_EncryptUpdate(ctx, out, &n, reinterpret_cast<const unsigned char*>(block.constData()), 16);
    EVP_CIPHER_CTX_free(ctx);
    return QByteArray(reinterpret_cast<const char*>(out), 16);
}

QByteArray make_image()
{
    QByteArray image("\x21\x31\x01\x00", 4);
    QRandomGenerator random(2026);
    for (int p = 0; p < pages; ++p) {
        const int base = 0x8000 + p * 0x200;
        image.append(char(base >> 8)).append('\0');
        for (int line = 0; line < 32; ++line) {
            QByteArray data(16, '\0');
            for (char& c : data)
                c = char(random.bounded(256));
            if (line == 0)
                data = encrypt(data);
            unsigned sum = 0;
            for (char c : data)
                sum += std::uint8_t(c);
            image.append(data).append(char((256 - sum % 256) % 256));
        }
    }
    return image;
}

double cpu_ms()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000.0 +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000.0;
}

struct Pump : bootloader::Observer
{
    void phase(bootloader::Phase) override {}
    void progress(int) override {}
    void pump() override { QCoreApplication::processEvents(); }
    bool stop_requested() override { return false; }
};

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    const QString image_path = dir.filePath(QStringLiteral("bench.bin"));
    QFile file(image_path);
    if (!file.open(QIODevice::WriteOnly) || file.write(make_image()) < 0)
        return 1;
    file.close();

    QProcess box;
    box.start(QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("../kdr7-virtual-box")),
              {});
    if (!box.waitForStarted() || !box.waitForReadyRead(5000))
        return std::fprintf(stderr, "kdr7-virtual-box did not start\n"), 1;
    const QString first = QString::fromLocal8Bit(box.readLine()).trimmed();
    const QString device = first.section(QLatin1Char(' '), -1);
    qputenv("KDR7_COM1", device.toLocal8Bit());

    bin_image::Reader image;
    Identity identity{};
    int count = 0;
    if (image.open(image_path, identity, count) != bin_image::OpenResult::Opened || count != pages)
        return 1;
    SerialChannel channel;
    if (channel.open(QStringLiteral("COM1")))
        return std::fprintf(stderr, "cannot open %s\n", qPrintable(device)), 1;

    Pump pump;
    const double cpu_before = cpu_ms();
    QElapsedTimer clock;
    clock.start();
    const bootloader::Outcome outcome = bootloader::program(channel, image, identity, pump);
    const double wall = double(clock.nsecsElapsed()) / 1e6;
    const double cpu = cpu_ms() - cpu_before;
    box.terminate();
    box.waitForFinished();

    const double floor = 200 + 200 + 50 + pages * (32 * 20 + 25);
    std::printf("update of %d pages (%d KiB of firmware): %s\n", pages, pages / 2,
                outcome == bootloader::Outcome::Completed ? "completed" : "FAILED");
    std::printf("wall time   %9.1f ms\n", wall);
    std::printf("pacing floor%9.1f ms\n", floor);
    std::printf("ratio       %9.3f (target <= 1.03)\n", wall / floor);
    std::printf("tool CPU    %9.1f ms = %.1f %% of one core (target < 10 %%)\n", cpu, 100.0 * cpu / wall);
    return outcome == bootloader::Outcome::Completed ? 0 : 1;
}
