#!/usr/bin/env bash
# Plants one fault at a time in a copy of the committed tree, rebuilds it and runs the suites that should
# catch it: a fault that every suite lets through shows a test that is missing.
#   tools/plant-faults.sh            every fault below
#   tools/plant-faults.sh N [N ...]  only these (counting from 1)
# The copy is a git worktree in build-faults/tree (HEAD, without uncommitted changes), built in
# build-faults/build; the work tree is never touched. Exit status 1 when a fault went unseen.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
work="$root/build-faults"
tree="$work/tree"

# file | text as it stands | the fault | suites to run (a ctest regex) | what the fault is
faults=(
    "package/SRecord.cpp|(sum & 0xFF) == 0xFF|(sum & 0xFE) == 0xFE|tst_package|an S1 checksum off by one is accepted"
    "update/BinImage.cpp|for (int l = 0; l < lines_per_page; ++l) {|for (int l = 1; l < lines_per_page; ++l) {|tst_cli|line 0's checksum is not counted"
    "common/SafeFile.cpp|if (!hand_over() \|\| !file->flush()) {|if ((hand_over(), false) \|\| !file->flush()) {|tst_package|a last block that fails still saves"
    "update/BinImage.cpp|return record[0] % 2 == 0 && record[1] == 0x00;|return record[1] == 0x00;|tst_cli|a header with an odd high byte passes"
    "package/Unpacker.cpp|srecord::max_data_bytes - 1; //|srecord::max_data_bytes; //|tst_package|the identity area's reach is one byte long"
    "update/Bootloader.h|constexpr int line_attempts = 16;|constexpr int line_attempts = 15;|tst_update\|tst_faults|a line gets one chance less"
    "update/Bootloader.cpp|if (stopped \|\| observer.stop_requested())|if (stopped)|tst_update|Stop before the first page is lost"
    "update/Bootloader.cpp|if (observer.stop_before_first_page() && observer.stop_requested())|if (false)|tst_cli|Ctrl+C in the handshake still sends page 0"
    "satellite/SatelliteCsv.cpp|if (c == '-')|if (c == '+')|tst_satellite|a minus sign is read as a plus"
    "common/InputFile.cpp|!S_ISREG(status.st_mode) \|\||false \|\||tst_cli\|tst_package|a FIFO or a device is read as an input"
    "serial/PortNames.cpp|return QStringLiteral(\"device:%1\").arg(qulonglong(status.st_rdev));|return QStringLiteral(\"path:\") + device;|tst_cli|one box by two names is flashed twice"
    "serial/Trace.cpp|write_failed = true;|write_failed = false;|tst_cli|a trace that lost lines is not said"
    "package/Packager.cpp|if (offset >= page_size)|if (offset > page_size)|tst_package|a page takes 513 bytes"
    "common/LineReader.cpp|if (line.size() > max_length) {|if (line.size() > max_length + 1) {|tst_package\|tst_satellite|an overlong line is not cut"
    "serial/ReplyWait.cpp|for (int cycle = 0; cycle < schedule.cycles; ++cycle) {|for (int cycle = 1; cycle < schedule.cycles; ++cycle) {|tst_faults\|tst_update|every reply wait is one cycle short"
    "cli/TableLines.cpp|++warned;|(void)warned;|tst_cli|sat-check warns but exits 0"
    "station/Watch.cpp|if (plugged && !left_alone)|if (!left_alone)|tst_cli|a box that stays plugged is flashed again"
    "station/ProductionLog.cpp|static_cast<void>(ftruncate(fd, before.st_size));|static_cast<void>(0);|tst_cli|a record the disk took in part is left half"
    "station/Watch.cpp|box->stop_requested = nullptr;|box->stop_requested = stop;|tst_cli|Ctrl+C stops the watch's boxes mid-flash"
    "station/Watch.cpp|names[entry.port.identity].push_back(&entry);|names[entry.port.name].push_back(&entry);|tst_cli|the watch keys a plug by its name alone"
    "station/Watch.cpp|const bool left_alone = at_start && options.new_only;|const bool left_alone = at_start;|tst_cli|the boxes present at the start are never flashed"
    "station/Watch.cpp|            if (still_plugged(entry))|            if (false)|tst_cli|a failed look at the folder unplugs every box"
    "station/Watch.cpp|if (!std::exchange(look_failing, true))|if (true)|tst_cli|a failing folder is said at every look"
    "station/Watch.cpp|said_second.emplace(identity, entry->port.name).second &&|true &&|tst_cli|a second name is said at every look"
    "station/Watch.cpp|QFile::decodeName(device), device_identity(node.st_rdev)|QFile::decodeName(device), device_identity(node.st_dev)|tst_cli|the watch's device identity from the wrong field of stat"
    "station/Watch.cpp|box->keep_trying = [stopping = stop] { return !stopping(); };|box->keep_trying = nullptr;|tst_cli|a busy port is never tried again"
    "station/Watch.cpp|QLatin1Char('/') + shown_name(name),|QLatin1Char('/') + QFile::decodeName(name),|tst_cli|a name with a newline breaks the per-box lines"
    "station/ProductionLog.cpp|return fdatasync(fd) == 0 ? Appended::Synced : Appended::Unsynced;|return (static_cast<void>(fdatasync(fd)), Appended::Synced);|tst_cli|a failed sync of the log is ignored"
    "station/ProductionLog.cpp|return fdatasync(fd) == 0 ? Appended::Synced : Appended::Unsynced;|return fdatasync(fd) == 0 ? Appended::Synced : Appended::Lost;|tst_cli|a record whose sync failed is said lost"
    "station/ProductionLog.cpp|held{fd, ::flock(fd, LOCK_EX) == 0};|held{fd, false};|tst_cli|two processes append to one log unlocked"
    "station/Box.cpp|job_record(\"flash\", box.port.name, box.device,|job_record(\"flash\", box.device, box.device,|tst_cli|the record's port holds the device"
    "station/Box.cpp|job_record(\"flash\", box.port.name, box.device,|job_record(\"flash\", box.port.name, box.port.device,|tst_cli|the record's device is the name given, not the device it led to"
    "station/Box.cpp|file_fields(image_path, image.size(), image.sha256())|file_fields(image_path)|tst_cli\|image_hash_is_of_what_is_sent|the image is hashed by a second open of its path"
    "station/Rack.cpp|for (int n = 2; suffixes.contains(suffix); ++n)|for (int n = 2; false; ++n)|tst_cli|a rack's per-port trace names are not kept apart"
    "cli/FlashCommand.cpp|if (const int apart = distinct_files({image}, outputs))|if (const int apart = 0)|tst_cli|a trace naming the log empties the log"
    "cli/main.cpp|    std::signal(SIGXFSZ, SIG_IGN);|    (void)0;|tst_cli|a file-size limit kills the command"
    "app/zorvane.cpp|{Start::SatelliteExchange, Exchange \| Satellites},|{Start::SatelliteExchange, Satellites},|tst_faults|a satellite exchange starts inside an update"
    "serial/Deadline.cpp|event.sigev_notify = SIGEV_THREAD_ID;|event.sigev_notify = SIGEV_SIGNAL;|tst_serial|the drain's deadline signals the process, not the stuck thread"
    "serial/Deadline.cpp|const itimerspec when{as_timespec(repeat_ns), as_timespec(ns)};|const itimerspec when{{0, 0}, as_timespec(ns)};|tst_serial|the drain's deadline fires once"
    "serial/ReplyWait.cpp|if (!waiting && channel.gone())|if (false)|tst_faults\|tst_update|a device gone mid-exchange is waited out"
    "app/UpdateTab.cpp|const KeepAlive answering(pump_events);||tst_faults|the window takes no event during an update's waits"
    "app/SatelliteTab.cpp|const KeepAlive answering(pump_events);||tst_faults|the window takes no event during a satellite exchange's waits"
    "satellite/SatelliteCsv.cpp|s.fields.size() <= fields_read + 1|s.fields.size() <= fields_read|tst_satellite|a spreadsheet's \";\" line that ends in a semicolon is not taken for one"
    "satellite/SatelliteCsv.cpp|field.append('\"');|(void)0;|tst_satellite|a doubled quote inside quotes is dropped"
    "satellite/SatelliteCsv.cpp|if (c.unicode() > 0xFF)|if (c.unicode() > 0x7F)|tst_satellite\|tst_cli|a UTF-8 name with a Latin-1 letter is said to lose it"
    "satellite/SatelliteCsv.cpp|if (first_line && line.isEmpty() && text.startsWith(byte_order_mark)) {|if (line.isEmpty() && text.startsWith(byte_order_mark)) {|tst_satellite|a name beginning with the byte-order mark's bytes is altered on every row"
    "serial/SerialChannel.cpp|return port && (!port->isOpen() \|\| device_failed());|return port && !port->isOpen();|tst_serial\|tst_faults\|tst_update|a port that failed while open is not taken for gone"
    "serial/ReplyWait.cpp|while (monotonic_ns() < due_ns) {|while (monotonic_ns() < due_ns - spin_ns) {|tst_serial\|tst_faults|every pause ends 0.1 ms early"
    "cli/Ports.cpp|for (qsizetype o = inputs.size(); o < all.size(); ++o) {|for (qsizetype o = inputs.size() + 1; o < all.size(); ++o) {|tst_cli|the first output is not checked against the inputs"
    "station/FolderNotice.cpp|awaited.isEmpty() \|\| (event->len|(event->len|tst_cli|a device made in the watched folder wakes no look"
    "station/Watch.cpp|\"/sys/dev/char/%1:%2/subsystem\"|\"/sys/dev/char/%1:%2/device/subsystem\"|tst_cli|the watch asks the device's bus, not its class, whether it is a terminal"
    "station/Exit.cpp|case satellite_protocol::Outcome::PortGone:|case satellite_protocol::Outcome::PortGone: return NoAnswer;|tst_cli|a satellite exchange whose port went away exits as a box that did not answer"
    "update/Bootloader.cpp|sleep_ms(enter_sleep_ms, opened);|sleep_ms(enter_sleep_ms - 1, opened);|tst_cli|the bootloader request comes before the pause from the port's opening is over"
    "serial/SerialChannel.h|(qint64(1000000000) * 10 + baud_rate - 1) / baud_rate|(qint64(1000000000) * 8 + baud_rate - 1) / baud_rate|tst_serial|a byte's wire time counts 8 bits, not the 10 of start, data and stop"
    "serial/SerialChannel.h|(qint64(1000000000) * 10 + baud_rate - 1) / baud_rate|qint64(1000000000) * 10 / baud_rate|tst_serial|a byte's wire time is rounded down"
    "serial/SerialChannel.cpp|line_busy_until(on_line_until);|line_busy_until(emptied);|tst_serial|a pause after a write counts from the emptied queue, without the bytes' wire time"
    "serial/SerialChannel.cpp|while (::ioctl(fd, TIOCOUTQ, &queued) == 0) {|while (::tcdrain(fd) == 0 && ::ioctl(fd, TIOCOUTQ, &queued) == 0) {|writes_are_paced|every write waits on the line again (tcdrain)"
    "serial/ReplyWait.cpp|qMax(now, std::chrono::steady_clock::time_point(std::chrono::nanoseconds(line_free_ns)))|qMin(now, std::chrono::steady_clock::time_point(std::chrono::nanoseconds(line_free_ns)))|tst_serial|a pause counts from the line's free time even when that is long past"
    "station/ProductionLog.cpp|for (int step = 0; step < 3 && !node.isEmpty()|for (int step = 0; step < 2 && !node.isEmpty()|tst_cli|the sysfs walk gives up below a usb-serial adapter's USB device"
    "station/Watch.cpp|if (name.startsWith('.'))|if (name == \".\" \|\| name == \"..\")|tst_cli|a hidden name in the watched folder is taken for a box"
    "serial/ReplyWait.cpp|sleep_ms(schedule.sleep_ms, std::chrono::steady_clock::now());|sleep_ms(schedule.sleep_ms);|tst_serial|a reply wait counts the line's time again, after every page line"
    "station/ProductionLog.cpp|if (QFileInfo::exists(node + QStringLiteral(\"/idVendor\"))) {|if (QFileInfo::exists(node + QStringLiteral(\"/serial\"))) {|tst_cli|a USB device without a serial lends the hub's"
    "station/Watch.cpp|if (name.startsWith('.'))|if (name.startsWith(\".#\"))|tst_cli|only udev's passing names are skipped, not other hidden links"
    "update/Bootloader.cpp|while (!stopped && pages_sent < image.record_count() && image.read_record(record))|while (!stopped && image.read_record(record))|tst_cli|records appended to the image mid-flash are sent"
    "update/Bootloader.cpp|observer.page_written(pages_sent);|observer.page_written(page);|tst_cli|a confirmed page is counted one short"
    "station/Box.cpp|record.insert(\"pages\", box.pages_written.load());|record.insert(\"pages\", box.pages_sent.load());|tst_cli|a record's pages are those begun, not those the box confirmed"
    "cli/Terminal.cpp|for (const int stop : stop_signals)|for (const int stop : {SIGINT})|tst_cli|after a first stop signal only Ctrl+C ends the program at once"
    "cli/main.cpp|std::signal(SIGPIPE, SIG_IGN);|std::signal(SIGPIPE, SIG_DFL);|tst_cli|a watch piped into head dies of SIGPIPE"
    "station/ProductionLog.h|QString path() const { return log_path; }|QString path() const { return file.fileName(); }|tst_cli|the lost record's message names no log"
    "station/ProductionLog.cpp|if (::stat(QFile::encodeName(log_path)|if (::lstat(QFile::encodeName(log_path)|tst_cli|a log named through a link is taken for a rotated one at every record"
    "station/Rack.cpp|if (stopping() && grace.isForever())|if (stopping())|tst_cli|the stop's grace begins anew at every look"
    "station/Box.cpp|seconds = std::chrono::duration<double>(|seconds = std::chrono::duration<double, std::milli>(|tst_cli|a box left busy is recorded with its time in milliseconds"
    "station/Watch.cpp|const bool plugged = known == present.end() \|\| known->second.node_made != first->node_made;|const bool plugged = known == present.end();|tst_cli|a node made anew under the same name and number is no new plug"
    "station/Watch.cpp|::stat(QFile::encodeName(entry.port.device)|::stat(QFile::encodeName(entry.port.name)|tst_cli|a device no name leads to is looked for under its old name"
    "station/Watch.cpp|!said_shared.insert(name).second|!said_shared.count(name)|tst_cli|a shared by-id name is said at every move"
    "cli/SatelliteCommands.cpp|trace_at ? std::optional<bool>(!trace.failed()) : std::nullopt|std::optional<bool>(!trace.failed())|tst_cli|a sat-write without a trace is recorded with a complete one"
    "cli/SatelliteCommands.cpp|const int ended = log.close(word, job_status, message, table->entries_done,|const int ended = log.close(word, job_status, message, satellite_protocol::entry_count,|tst_cli|a stopped sat-write is recorded with 99 entries"
    "station/Rack.cpp|constexpr int look_ms = 20;|constexpr int look_ms = 200;|tst_cli|after a stop the rack looks at its boxes every 200 ms (up to 180 ms later than its grace)"
    "station/Watch.cpp|    return inode;|    return changed_ns + 0 * inode;|tst_cli|a node whose times udev or a chmod touched is taken for a new plug"
)
# Faults that only a real adapter shows, caught by the USB bench (tools/dev.sh usb-bench CHECK), not by the suites:
#   station/ProductionLog.cpp  "/sys/class/tty/%1/device/../serial" -> "/sys/class/tty/%1/device/serial"
#       the adapter's serial number is read from its interface, which has none (the by-id name's guess is
#       logged instead): flash-by-id
#   serial/SerialChannel.cpp  "return call_within(deadline, [fd] { return tcdrain(fd); });" -> "return tcdrain(fd) == 0;"
#       the drain has no deadline: write-deadline (an adapter plugged anew whose far end takes nothing hangs)
#   serial/SerialChannel.cpp  release_port's bounded close on a copy of the descriptor -> "port->close();" alone
#       a terminal's last close waits 30 s for output the adapter does not take: write-deadline

say() { printf '%s\n' "$*" >&2; }

rm -rf "$tree"
git -C "$root" worktree prune
mkdir -p "$work"
git -C "$root" worktree add --detach "$tree" HEAD >/dev/null
trap 'git -C "$root" worktree remove --force "$tree" >/dev/null 2>&1 || true' EXIT
cmake -S "$tree" -B "$work/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKDR7_BUILD_BENCH=OFF >/dev/null

chosen=("$@")
[ ${#chosen[@]} -eq 0 ] && chosen=($(seq ${#faults[@]}))
missed=0
for n in "${chosen[@]}"; do
    IFS='|' read -r file before after suites what <<<"$(sed 's/\\|/\x01/g' <<<"${faults[$((n - 1))]}")"
    before=${before//$'\x01'/|}
    after=${after//$'\x01'/|}
    suites=${suites//$'\x01'/|}
    git -C "$tree" checkout -q -- .
    if ! BEFORE="$before" AFTER="$after" perl -0pi -e '$n = s/\Q$ENV{BEFORE}\E/$ENV{AFTER}/; END { exit($n ? 0 : 1) }' "$tree/$file"; then
        say "fault $n ($what): not planted, $file no longer holds that text"
        missed=1
        continue
    fi
    if ! cmake --build "$work/build" --parallel 2 >"$work/build.log" 2>&1; then
        say "fault $n ($what): caught by the build"
        continue
    fi
    log="$work/fault-$n.log"
    if QT_QPA_PLATFORM=offscreen ctest --test-dir "$work/build" -R "$suites" --parallel 2 --output-on-failure \
        >"$log" 2>&1; then
        say "fault $n ($what): UNSEEN by $suites"
        missed=1
    else
        # Named down to the test functions, so that a catch by an unrelated (or flaky) check shows.
        failed=$(sed -n '/tests FAILED/,$s/.* - \([^ ]*\) .*/\1/p' "$log" | paste -sd' ')
        functions=$(grep -o 'FAIL!  : [^(]*' "$log" | sed 's/FAIL!  : //' | sort -u | paste -sd' ' || true)
        say "fault $n ($what): caught by $failed${functions:+ ($functions)}"
    fi
done
git -C "$tree" checkout -q -- .
exit $missed
