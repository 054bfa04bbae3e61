#pragma once

class QFile;

// Opens the file (its name set) for reading only when it is a regular file, following links. A FIFO would
// block the open until some writer came, and a device such as /dev/zero never ends: either freezes the
// window. Anything else counts as a file that cannot be opened.
bool open_input(QFile& file);
