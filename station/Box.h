#pragma once

#include "serial/Trace.h"
#include "station/Exit.h"
#include "station/Port.h"
#include "station/ProductionLog.h"
#include "update/Bootloader.h"

#include <QJsonObject>
#include <QString>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <optional>

namespace station {

// One box being flashed, alone, in a rack or in a watch: what its thread reports, read by the thread that
// shows it.
struct Box
{
    Port port;
    Trace trace;
    QString trace_path;
    bool traced = false;
    // Asked after each page whether the box should stop there (and before its first page); none: the box
    // runs to its end (a watch ends after the boxes in progress).
    bool (*stop_requested)() = nullptr;
    // A port that will not open while its device is still there (busy: another program holds it, or its
    // lock file) is tried again every retry_every_ms while keep_trying() holds (a watch); none: once.
    std::function<bool()> keep_trying;
    int retry_every_ms = 40;
    std::atomic<bool> waiting_for_port{false};
    ProductionLog* log = nullptr;
    // The adapter's serial number for the log, looked up before the box's thread starts (empty: not known).
    std::optional<QString> serial;
    std::atomic<int> pages_sent{0};    // begun: the progress shown
    std::atomic<int> pages_written{0}; // confirmed written by the box: the record's pages
    std::atomic<bool> done{false};
    std::atomic<int> total{0};
    // Set by the box's thread before done, read after it.
    int status = Success;
    std::optional<bootloader::Outcome> outcome; // none: the update never began
    QString word;
    // The device the box was flashed through, resolved once before its port was opened (the log's device).
    QString device;
    QString message;
    double seconds = 0;
    bool log_failed = false;   // its record could not be appended to the log
    bool log_unsynced = false; // its record is in the log, but may not be on disk

    // The record's fields known from the start (the port, device and serial, the start, the image as it
    // was opened), set by the box's thread under opening_lock before its first byte: a box left busy is
    // recorded from them by another thread.
    std::mutex opening_lock;
    QJsonObject opening;
    std::chrono::steady_clock::time_point started_at{};
    // Taken by whoever appends the box's record (its thread at its end, or the rack leaving it busy): one
    // record per box.
    std::atomic<bool> record_taken{false};
};

// The one way a box is flashed: its image, its port, the bootloader, its outcome, and its record in the log.
// shown, when given, also hears of the phases and of every page.
void run_box(Box& box, const QString& image_path, bootloader::Observer* shown);

// A box still busy on its port when the job ends without it: its record says so, with the pages the box
// had confirmed by then. Synced too when the box's own thread took the record first.
ProductionLog::Appended record_left_busy(Box& box);

// The box's status, counting a lost trace or log record as an unwritten output when the box itself
// succeeded; and the message with what was lost said.
int final_status(const Box& box);
QString final_message(const Box& box);

} // namespace station
