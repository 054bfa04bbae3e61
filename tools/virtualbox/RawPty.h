#pragma once

#include <QString>

// A pseudo-terminal pair in raw mode (no echo, every byte passed as it is), with a non-blocking master for
// the box's end. The slave stays open here too, so the line does not hang up between the tool's opens.
struct RawPty
{
    int master = -1;
    int slave = -1;
    QString path; // the slave device the tool opens
};

// False (and nothing open) when no pseudo-terminal could be made.
bool open_raw_pty(RawPty& pty);
