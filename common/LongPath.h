#pragma once

#include <QString>

// Windows refuses a path of MAX_PATH (260) characters or more unless it is given in its "\\?\" form, which
// the system takes as it is: absolute, with backslashes, no "." or "..". QFile opens every path so; a
// handle that the program opens itself must do the same.

// The "\\?\" form of an absolute Windows path: "\\?\C:\..." for a drive, "\\?\UNC\server\share\..." for a
// share; a path already in a device form ("\\?\", "\\.\") as it is.
QString long_path_form(const QString& absolute);

#ifdef Q_OS_WIN
// path made absolute as Windows resolves it (the current folder, "/", "." and ".."), in that form.
QString long_path(const QString& path);
#endif
