#pragma once

#include <QString>

class QProcess;

// CPU time (user and system) this process has used so far.
double cpu_ms();

// Starts kdr7-virtual-box (built next to the benchmarks) as its own process and points KDR7_COM1 at it;
// the box's device, or an empty text when it did not start.
QString start_virtual_box(QProcess& box);
