// kdr7-virtual-box as a program on a terminal device it is given (--device), as it runs at the far end of a
// USB serial gadget: here the slave of a pseudo-terminal, with the test at the line's other end.
#include "PtyBox.h"

#include <QFile>
#include <QProcess>
#include <QTest>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

class TstVirtualBox : public QObject
{
    Q_OBJECT

private slots:
    void answers_on_a_given_device();
    void refuses_what_is_no_terminal_data();
    void refuses_what_is_no_terminal();
};

// The device starts as a terminal does, cooked: line editing holds every byte back until a line end, and
// echo sends each one back. The box must set it raw to hear a command and answer it alone.
void TstVirtualBox::answers_on_a_given_device()
{
    PtyBox line;
    QVERIFY(line.ok());
    {
        const int fd = ::open(QFile::encodeName(line.device()).constData(), O_RDWR | O_NOCTTY);
        QVERIFY(fd >= 0);
        termios tio{};
        QCOMPARE(tcgetattr(fd, &tio), 0);
        tio.c_lflag |= ICANON | ECHO | ISIG;
        tio.c_iflag |= ICRNL;
        tio.c_oflag |= OPOST | ONLCR;
        QCOMPARE(tcsetattr(fd, TCSANOW, &tio), 0);
        ::close(fd);
    }

    QProcess box;
    box.start(QStringLiteral(KDR7_VIRTUAL_BOX), {QStringLiteral("--device"), line.device()});
    QVERIFY(box.waitForStarted());
    QVERIFY(box.waitForReadyRead(5000));
    QCOMPARE(box.readLine().trimmed(),
             QByteArray("Virtual Velantor KDR7 box on ") + line.device().toLocal8Bit());

    // Commands that a cooked line would hold back and echo: the answers alone come back.
    QVERIFY(line.send("E"));
    QCOMPARE(line.receive(2, 1000), QByteArray("0"));
    QVERIFY(line.send("2"));
    QCOMPARE(line.receive(2, 1000), QByteArray("1"));

    box.terminate();
    QVERIFY(box.waitForFinished(5000));
    QCOMPARE(box.exitCode(), 0);
}

void TstVirtualBox::refuses_what_is_no_terminal_data()
{
    QTest::addColumn<QString>("device");
    QTest::newRow("not a terminal") << QStringLiteral("/dev/null");
    QTest::newRow("missing") << QStringLiteral("/nonexistent/ttyGS0");
}

void TstVirtualBox::refuses_what_is_no_terminal()
{
    QFETCH(QString, device);
    QProcess box;
    box.start(QStringLiteral(KDR7_VIRTUAL_BOX), {QStringLiteral("--device"), device});
    QVERIFY(box.waitForFinished(5000));
    QCOMPARE(box.exitCode(), 1);
    QVERIFY(box.readAllStandardError().startsWith("kdr7-virtual-box: cannot open " + device.toLocal8Bit()));
}

QTEST_GUILESS_MAIN(TstVirtualBox)
#include "tst_virtual_box.moc"
