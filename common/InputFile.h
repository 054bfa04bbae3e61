#pragma once

class QFile;

// Opens the file (its name set) for reading only when it is a regular file, following links. A FIFO would
// block the open until some writer came, and a device such as /dev/zero never ends: either freezes the
// window. Anything else counts as a file that cannot be opened.
//
// The open itself never waits (a FIFO is opened without blocking), and what is judged is the descriptor
// that was opened, not the path: a file swapped for a FIFO between a look and the open cannot slip through.
bool open_input(QFile& file);
