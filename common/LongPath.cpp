#include "common/LongPath.h"

#ifdef Q_OS_WIN
#include <QDir>

#include <windows.h>

#include <vector>
#endif

QString long_path_form(const QString& absolute)
{
    if (absolute.startsWith(QLatin1String("\\\\?\\")) || absolute.startsWith(QLatin1String("\\\\.\\")))
        return absolute;
    if (absolute.startsWith(QLatin1String("\\\\")))
        return QStringLiteral("\\\\?\\UNC\\") + absolute.mid(2);
    return QStringLiteral("\\\\?\\") + absolute;
}

#ifdef Q_OS_WIN
QString long_path(const QString& path)
{
    const QString native = QDir::toNativeSeparators(path);
    if (native.startsWith(QLatin1String("\\\\?\\")) || native.startsWith(QLatin1String("\\\\.\\")))
        return native;
    const auto* name = reinterpret_cast<const wchar_t*>(native.utf16());
    std::vector<wchar_t> full(MAX_PATH);
    for (;;) {
        const DWORD length = GetFullPathNameW(name, DWORD(full.size()), full.data(), nullptr);
        if (length == 0)
            return native;
        if (length < full.size())
            return long_path_form(QString::fromWCharArray(full.data(), int(length)));
        full.resize(length + 1);
    }
}
#endif
