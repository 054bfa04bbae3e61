#pragma once

#include "satellite/SatelliteCsv.h"
#include "satellite/SatelliteRecord.h"

#include <QByteArray>
#include <QStringList>

// What happens to a CSV line on its way into the box, told before it is written: the record the box will
// receive, and every cell that is changed on the way (a name cut or not ISO 8859-1 text, a number that
// wraps or is not a number, a value the box cannot take and that is replaced).
namespace satellite_check {

struct Row
{
    satellite_record::Record record; // as the tool sends it (Position low byte first)
    QStringList warnings;
};

Row check_line(const satellite_csv::Line& line);

} // namespace satellite_check
