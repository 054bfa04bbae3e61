#pragma once

class QFile;
class QString;

// Opens a file that a job writes its record into as it goes (a trace, a production log): created when
// missing, appended to (or, without append, emptied once it is known to be the right file), unbuffered.
// Only a regular file is taken (a FIFO would block the job, a device would get the text), and never the
// file named by input, the job's own input or output. The open never waits.
bool open_record_file(QFile& file, const QString& path, bool append, const QString& input);
