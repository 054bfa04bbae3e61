#include "RawPty.h"

#include <fcntl.h>
#include <pty.h>
#include <termios.h>

bool open_raw_pty(RawPty& pty)
{
    char name[256] = {};
    if (openpty(&pty.master, &pty.slave, name, nullptr, nullptr) != 0) {
        pty.master = pty.slave = -1;
        return false;
    }
    // Neither end may live on in a program started meanwhile (a tool under test): the box's end would then
    // stay open after the box let go of it, and an unplugged line would look plugged.
    fcntl(pty.master, F_SETFD, FD_CLOEXEC);
    fcntl(pty.slave, F_SETFD, FD_CLOEXEC);
    pty.path = QString::fromLocal8Bit(name);
    termios tio{};
    tcgetattr(pty.slave, &tio);
    cfmakeraw(&tio);
    tcsetattr(pty.slave, TCSANOW, &tio);
    fcntl(pty.master, F_SETFL, fcntl(pty.master, F_GETFL) | O_NONBLOCK);
    return true;
}
