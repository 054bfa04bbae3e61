#include "common/InputFile.h"

#include <QFile>
#include <QFileInfo>

bool open_input(QFile& file)
{
    return QFileInfo(file.fileName()).isFile() && file.open(QIODevice::ReadOnly);
}
