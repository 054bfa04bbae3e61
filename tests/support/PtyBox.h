#pragma once

#include <QByteArray>
#include <QString>

// The box's end of a pseudo-terminal pair: the tool opens device() through the real SerialChannel, and
// the test (or a thread of it) plays the box with real bytes on the other end.
class PtyBox
{
public:
    PtyBox();
    ~PtyBox();
    PtyBox(const PtyBox&) = delete;
    PtyBox& operator=(const PtyBox&) = delete;

    bool ok() const { return master >= 0; }
    // The path to give as KDR7_COM<n>.
    QString device() const { return path; }

    // Box to tool.
    bool send(const QByteArray& bytes);
    // Tool to box: up to count bytes, waiting at most timeout_ms for all of them.
    QByteArray receive(int count, int timeout_ms);
    // Tool to box: everything until the line has been quiet for quiet_ms.
    QByteArray receive_until_quiet(int quiet_ms);

    // The adapter is pulled out: the device disappears under whoever has it open.
    void unplug();

    // How many times the device was opened since this pair was made.
    int open_count();

    // The line settings the device has now.
    struct LineSettings
    {
        int baud;
        int data_bits;
        bool parity;
        bool two_stop_bits;
        bool hardware_flow;
        bool software_flow;
    };
    LineSettings line_settings() const;

private:
    int master = -1;
    int slave = -1;
    int watcher = -1;
    int opens_seen = 0;
    QString path;
};

// Points every KDR7_COM<n> at no device, so that no test ever touches a real port.
void isolate_ports();
// Points one port name ("COM3") at a device.
void set_port(int n, const QString& device);
