#!/usr/bin/env bash
# The bench's checks, run inside the guest (chrooted into the machine's root) against the build's programs on
# a real USB serial stack: configfs ACM gadgets on dummy_hcd's controllers are the adapters, cdc-acm gives the
# PC's /dev/ttyACMn, udev the /dev/serial/by-id names, and a kdr7-virtual-box on each gadget's /dev/ttyGSn is
# the box at the cable's far end. Plugging is binding a gadget to its controller, unplugging unbinding it.
#   checks.sh BENCH_DIR BUILD_DIR [CHECK...]
# Prints a line per check and per figure, then "N passed, N failed". Named checks run alone (rack-of-four
# takes its time of one from flash-by-id).
set -uo pipefail

bench=$1
build=$2
shift 2
only=" $* "
cli=$build/zorvane-cli
vbox=$build/kdr7-virtual-box
inputs=$bench/inputs
out=$bench/out
mkdir -p "$out"
adapters=(1 2 3 4)
gadgets=/sys/kernel/config/usb_gadget
by_id=/dev/serial/by-id
passed=0
failed=0

# Times in microseconds, from bash's own clock (no process per reading: the guest is emulated).
now() { local t=${EPOCHREALTIME/./}; echo $((10#$t)); }
ms() { echo $((($2 - $1) / 1000)); }
# Milliseconds with one decimal, for a ratio of two integers: ratio 1234 1000 -> 1.23.
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }

# Each adapter's serial number holds a space, which udev's name turns into "_": the serial that a log records
# must be the adapter's own (sysfs), not read back from the name.
serial_of() { echo "KDR7 BENCH0$1"; }
link_of() { echo "$by_id/usb-Velantor_KDR7-Bench_KDR7_BENCH0$1-if00"; }
far_end_of() { echo "/dev/ttyGS$(cat "$gadgets/bench$1/functions/acm.bench$1/port_num")"; }

# Waits up to $1 seconds of the clock (not a count of sleeps, which a loaded guest stretches) for a condition
# given as the remaining arguments.
wait_until() {
    local t=${EPOCHREALTIME/./}
    local until=$((10#$t + $1 * 1000000))
    shift
    while true; do
        "$@" && return 0
        t=${EPOCHREALTIME/./}
        [ $((10#$t)) -lt "$until" ] || return 1
        sleep 0.01
    done
}

# One adapter: a gadget with one ACM function, its own serial number, bound to no controller yet.
make_adapter() {
    local g="$gadgets/bench$1"
    mkdir -p "$g"
    echo 0x1d6b >"$g/idVendor"
    echo 0x0104 >"$g/idProduct"
    mkdir -p "$g/strings/0x409" "$g/configs/c.1" "$g/functions/acm.bench$1"
    serial_of "$1" >"$g/strings/0x409/serialnumber"
    echo Velantor >"$g/strings/0x409/manufacturer"
    echo KDR7-Bench >"$g/strings/0x409/product"
    ln -s "$g/functions/acm.bench$1" "$g/configs/c.1/"
}

plugged_at=()
# Plugs adapter N into controller N-1 and waits for udev's link; the link's appearance is noted.
plug() {
    [ -n "$(cat "$gadgets/bench$1/UDC")" ] || echo "dummy_udc.$(($1 - 1))" >"$gadgets/bench$1/UDC"
    wait_until 15 test -e "$(link_of "$1")" || { echo "  adapter $1: no by-id link after 15 s"; return 1; }
    plugged_at[$1]=$(now)
}

unplug() {
    echo "" >"$gadgets/bench$1/UDC" 2>/dev/null || true
    wait_until 15 eval "! test -e $(link_of "$1")" || echo "  adapter $1: its by-id link stayed"
}

box_pid=()
# A box at the far end of adapter N, with an empty flash; its flash is kept in $out/box N.flash.
start_box() {
    local n=$1
    shift
    rm -f "$out/box$n.flash"
    "$vbox" --device "$(far_end_of "$n")" --flash-out "$out/box$n.flash" "$@" >"$out/box$n.log" 2>&1 &
    box_pid[n]=$!
    wait_until 30 grep -qs '^Virtual Velantor KDR7 box on ' "$out/box$n.log" ||
        { echo "  box $n did not start: $(cat "$out/box$n.log")"; return 1; }
}

stop_box() {
    [ -n "${box_pid[$1]:-}" ] || return 0
    kill -TERM "${box_pid[$1]}" 2>/dev/null
    wait "${box_pid[$1]}" 2>/dev/null
    box_pid[$1]=
}

stop_boxes() {
    local n
    for n in "${adapters[@]}"; do stop_box "$n"; done
}

# The box's flash (written when it ended) holds the image's code where the image put it.
flash_holds() {
    [ -f "$out/box$1.flash" ] &&
        cmp -s <(tail -c +$((0x8000 + 1)) "$out/box$1.flash" | head -c "$(stat -c %s "$inputs/code.bin")") \
            "$inputs/code.bin"
}

# One field of each record of a production log, a line each: log_field FILE FIELD.
log_field() {
    python3 -c 'import json, sys
for line in open(sys.argv[1]):
    print(json.loads(line).get(sys.argv[2], ""))' "$1" "$2" 2>/dev/null
}

# Every record of a production log as "serial device outcome pages sha256", a line each, in the order of
# their serials: what a log's reader takes from it.
log_lines() {
    python3 -c 'import json, sys
rows = [json.loads(line) for line in open(sys.argv[1])]
for r in sorted(rows, key=lambda r: str(r.get("serial"))):
    print(r.get("serial"), r.get("device"), r.get("outcome"), r.get("pages"), r.get("image", {}).get("sha256"))' \
        "$1" 2>/dev/null
}

# The log lines a rack or watch of the given adapters should leave, each box completed with the whole image.
expected_log_lines() {
    local n pages sha
    pages=$((($(stat -c %s "$inputs/firmware.bin") - 4) / 546))
    sha=$(sha256sum "$inputs/firmware.bin" | cut -d' ' -f1)
    for n in "$@"; do
        echo "$(serial_of "$n") $(readlink -f "$(link_of "$n")") completed $pages $sha"
    done | sort
}

# The last line that says something, progress bars aside.
last_message() { tr '\r' '\n' <"$1" | grep -v '^\[' | grep -v '^ *$' | tail -n 1; }

# A check returns 0 when it passed, 2 when all but a time bound held, else 1. The guest is emulated, so its
# pace follows the machine's load: a time bound missed once is tried once more (each try measures its own
# reference), and the check fails when the second try misses it too.
check() {
    local name=$1 t0 took status
    shift
    [ "$only" = "  " ] || [[ "$only" == *" $name "* ]] || return 0
    detail=""
    t0=$(now)
    "$@"
    status=$?
    if [ "$status" -eq 2 ]; then
        # Said on the check's own line as well: CI's log shows every retry, and a bound that holds only
        # every other time is seen.
        echo "check $name: retried, a time bound missed ($detail)"
        detail=""
        "$@"
        status=$?
        detail="second try: $detail"
    fi
    if [ "$status" -eq 0 ]; then
        passed=$((passed + 1))
        name="$name: passed"
    else
        failed=$((failed + 1))
        name="$name: FAILED"
    fi
    took=$(ms "$t0" "$(now)")
    echo "check $name${detail:+ ($detail)} [$((took / 1000)).$((took % 1000 / 100)) s]"
}

figure() { echo "figure $*"; }

# The guest's idle time so far, in ticks of 10 ms (/proc/stat, one CPU).
idle_ticks() { awk '/^cpu / { print $5 + $6 }' /proc/stat; }

one_box_ms=0

# Flash through the adapter's by-id name with a production log: the record's serial is the adapter's own
# (sysfs), its device the ttyACM behind the link.
flash_by_id() {
    start_box 1 || return 1
    local link t0 t1 status
    link=$(link_of 1)
    t0=$(now)
    timeout 120 "$cli" flash --port "$link" --log "$out/one.jsonl" "$inputs/firmware.bin" >"$out/one.out" 2>&1
    status=$?
    t1=$(now)
    stop_box 1
    one_box_ms=$(ms "$t0" "$t1")
    # The pacing floor: 200 + 200 + 50 ms to enter the bootloader, then 32 x 20 + 25 ms a page.
    local pages floor
    pages=$(($(stat -c %s "$inputs/code.bin") / 512))
    floor=$((450 + pages * 665))
    figure "update: one box ${one_box_ms} ms (floor ${floor} for ${pages} pages, ratio $(ratio "$one_box_ms" "$floor")," \
        "the command's start included)"
    local device serial sysfs_serial
    device=$(log_field "$out/one.jsonl" device)
    serial=$(log_field "$out/one.jsonl" serial)
    sysfs_serial=$(cat "/sys/class/tty/$(basename "$(readlink -f "$link")")/device/../serial" 2>/dev/null)
    detail="exit $status, ${one_box_ms} ms, device $device, serial $serial"
    [ "$status" -eq 0 ] && [ "$(log_field "$out/one.jsonl" outcome)" = completed ] &&
        [ "$device" = "$(readlink -f "$link")" ] && [[ "$device" == /dev/ttyACM* ]] &&
        [ "$serial" = "$sysfs_serial" ] && [ "$serial" = "$(serial_of 1)" ] && flash_holds 1 ||
        { detail="$detail; $(last_message "$out/one.out")"; return 1; }
    # A bound with room for the guest's load: a write paced by cdc-acm's queue count instead of its own bytes
    # took 9.4x here.
    awk -v r="$(ratio "$one_box_ms" "$floor")" 'BEGIN { exit !(r <= 2.0) }' || return 2
}

# One box alone through adapter 1, for the rack's reference: its time in one_box_ms.
time_one_box() {
    start_box 1 || return 1
    local t0
    t0=$(now)
    timeout 120 "$cli" flash --port "$(link_of 1)" "$inputs/firmware.bin" >"$out/one-again.out" 2>&1
    one_box_ms=$(ms "$t0" "$(now)")
    stop_box 1
}

rack_tries=0
# Four adapters at once, one box behind each: every box holds the image, in about the time of one (the one
# flashed by flash-by-id, or on a second try one flashed just before).
rack_of_four() {
    local n ports=() t0 t1 status
    rack_tries=$((rack_tries + 1))
    if [ "$one_box_ms" -eq 0 ] || [ "$rack_tries" -gt 1 ]; then time_one_box || return 1; fi
    for n in "${adapters[@]}"; do
        start_box "$n" || return 1
        ports+=(--port "$(link_of "$n")")
    done
    local idle_before idle_after
    idle_before=$(idle_ticks)
    rm -f "$out/rack.jsonl" # a second try's log holds its own records alone
    t0=$(now)
    timeout 120 "$cli" flash "${ports[@]}" --log "$out/rack.jsonl" "$inputs/firmware.bin" >"$out/rack.out" 2>&1
    status=$?
    t1=$(now)
    idle_after=$(idle_ticks)
    stop_boxes
    local rack_ms holding=0
    rack_ms=$(ms "$t0" "$t1")
    for n in "${adapters[@]}"; do flash_holds "$n" && holding=$((holding + 1)); done
    local r
    r=$(ratio "$rack_ms" "$one_box_ms")
    figure "rack: four adapters ${rack_ms} ms, one ${one_box_ms} ms, ratio $r (target <= 1.10);" \
        "the guest's CPU idle $(((idle_after - idle_before) * 10 * 100 / rack_ms)) % of the rack's time"
    # The log as an auditor reads it: each adapter's serial and device, the outcome, the pages, the hash.
    local logged
    logged=$(log_lines "$out/rack.jsonl")
    detail="exit $status, $holding of 4 boxes hold the image, ratio $r"
    [ "$logged" = "$(expected_log_lines "${adapters[@]}")" ] || detail="$detail; log: $(tr '\n' ';' <<<"$logged")"
    [ "$status" -eq 0 ] && [ "$holding" -eq 4 ] && [ "$logged" = "$(expected_log_lines "${adapters[@]}")" ] ||
        return 1
    awk -v r="$r" 'BEGIN { exit !(r <= 1.10) }' || return 2
}

# The satellite table written through an adapter and read back: the same table.
satellite_round_trip() {
    start_box 1 || return 1
    local link t0 t1 t2 write_status read_status
    link=$(link_of 1)
    t0=$(now)
    timeout 120 "$cli" sat-write --port "$link" "$inputs/table.csv" >"$out/sat-write.out" 2>&1
    write_status=$?
    t1=$(now)
    timeout 120 "$cli" sat-read --port "$link" "$out/table-back.csv" >"$out/sat-read.out" 2>&1
    read_status=$?
    t2=$(now)
    stop_box 1
    # The floors: 99 x (2 + 2 + 21 x 1 + 10) ms to write, 99 x (10 + 10 + 21 x 5) ms to read.
    figure "satellite: write $(ms "$t0" "$t1") ms (floor 3465, ratio $(ratio "$(ms "$t0" "$t1")" 3465)), read" \
        "$(ms "$t1" "$t2") ms (floor 12375, ratio $(ratio "$(ms "$t1" "$t2")" 12375))"
    detail="write exit $write_status, read exit $read_status"
    [ "$write_status" -eq 0 ] && [ "$read_status" -eq 0 ] && cmp -s "$inputs/table.csv" "$out/table-back.csv" ||
        { detail="$detail; the table read back differs or is missing"; return 1; }
    # cdc-acm tells its queue in whole transfer buffers: a write paced by that number sleeps for hundreds of
    # bytes' wire time (7.1x here). The write within 4x of its floor, with room for the guest's load.
    awk -v w="$(ratio "$(ms "$t0" "$t1")" 3465)" 'BEGIN { exit !(w <= 4.0) }' || return 2
}

# A message that tells the user the port is gone, not that the box fell silent (no feedback, not prepared, no
# connection, the transfer failed).
says_port_gone() {
    grep -qiE '(port|device|adapter).*(gone|unplugged|disconnected|removed|disappeared|lost|not exist|no longer|missing)' <<<"$1" &&
        ! grep -qiE 'feedback|not been prepared|connection error|transfer error' <<<"$1"
}

# The adapter pulled out during page 2 (the trace's third page, 100 ms into it): the command ends within 500 ms
# of the unplug, saying the port is gone. The unplug's moment is taken before the gadget is unbound.
unplug_during_page_2() {
    start_box 1 || return 1
    local link pid t_unplug t_end status
    link=$(link_of 1)
    rm -f "$out/unplug.trace"
    timeout 120 "$cli" flash --port "$link" --trace "$out/unplug.trace" "$inputs/firmware.bin" >"$out/unplug.out" 2>&1 &
    pid=$!
    if ! wait_until 30 grep -qs 'page 2 header' "$out/unplug.trace"; then
        wait "$pid"
        stop_box 1
        detail="page 2 never began: $(last_message "$out/unplug.out")"
        return 1
    fi
    sleep 0.1 # into the page's lines
    t_unplug=$(now)
    echo "" >"$gadgets/bench1/UDC"
    wait "$pid"
    status=$?
    t_end=$(now)
    local took message
    took=$(ms "$t_unplug" "$t_end")
    message=$(last_message "$out/unplug.out")
    figure "unplug during page 2: the command ended ${took} ms after the unplug (target <= 500), exit $status"
    detail="${took} ms, exit $status: $message"
    stop_box 1
    wait_until 15 eval "! test -e $(link_of 1)"
    plug 1
    # The port is missing (6), or the transfer failed (9); never "the box did not answer" (7).
    { [ "$status" -eq 6 ] || [ "$status" -eq 9 ]; } && says_port_gone "$message" || return 1
    [ "$took" -le 500 ] || return 2
}

# The same in the window (tst_update's test of it, which the bench alone can run): the warning within 500 ms
# of the unplug, its box shown, the window whole.
window_unplug() {
    start_box 1 || return 1
    local status
    KDR7_BENCH_PORT=$(link_of 1) KDR7_BENCH_UNPLUG=$gadgets/bench1/UDC QT_QPA_PLATFORM=offscreen \
        timeout 120 "$build/tests/tst_update" usb_adapter_pulled_out_in_the_window >"$out/window-unplug.out" 2>&1
    status=$?
    stop_box 1
    wait_until 15 eval "! test -e $(link_of 1)"
    plug 1
    local after
    after=$(sed -n 's/.*the window.s warning came \(-\?[0-9]*\) ms after the unplug.*/\1/p' "$out/window-unplug.out")
    figure "window, unplug during page 2: the warning came ${after:-never} ms after the unplug (target <= 500)"
    detail="exit $status: $(grep -E '^(PASS|FAIL!|SKIP) +: tst_update::usb' "$out/window-unplug.out" | head -n 1)"
    [ "$status" -eq 0 ] && grep -q '^PASS   : tst_update::usb_adapter_pulled_out_in_the_window()' "$out/window-unplug.out" ||
        { detail="$detail; $(grep -A2 '^FAIL!' "$out/window-unplug.out" | tr '\n' ' ')"; return 1; }
}

# An adapter whose far end takes nothing, two ways. (1) Adapter 3 plugged anew with its far end never opened
# since: the gadget takes no byte, so the tool's request enters the host's driver and stays there; tcdrain
# would wait for ever, and so would the port's last close (a terminal's close waits up to 30 s for its
# output). (2) Adapter 2 with a box that holds its end open and reads nothing, and the host's queue towards
# it already full (another program on the PC's end wrote until the driver took no more, and keeps the port
# open): the tool's first write cannot even enter the driver. A write that cannot leave has no message of
# its own: the step it belongs to ends as the reply that never came, which for sat-write's request is the
# connection error (exit 7); the adapter is still there, so never the port gone.
# Bound by the design's own figures, each with a stated margin for the emulated guest's scheduling:
#   - the request's write ends at its bound, 20 ms for its byte: "unsent" in the trace within 20 + 30 ms;
#   - the reply wait is 102 looks of 10 ms: the trace ends within 20 + 1020 ms of the port's open + 160 ms (each
#     of the 102 sleeps overruns by up to 1 ms in the loaded emulated guest: 1063-1065 ms waits were seen);
#   - the port's last close has 100 ms: that close within 100 + 30 ms (strace's own time of it);
#   - the command within its own start and end (a port that does not exist, measured here) + 20 + 1020 + 100
#     ms + 1 s for the port's open and the program's end in the emulated guest (300 to 700 ms were seen): a
#     drain or a close that hangs holds it 30 s.
deadline_design_ms=$((20 + 1020 + 100))

# One sat-write to a port that takes nothing, traced and under strace (fcntl and close only, filtered in the
# kernel so that the rest runs at its own pace): its exit status, time, first unsent write and last close.
deaf_write() {
    local name=$1 port=$2 t0
    rm -f "$out/$name.trace" "$out/$name.strace"
    t0=$(now)
    timeout 120 strace --seccomp-bpf -f -qq -T -e trace=fcntl,close -o "$out/$name.strace" \
        "$cli" sat-write --port "$port" --trace "$out/$name.trace" "$inputs/table.csv" >"$out/$name.out" 2>&1
    deaf_status=$?
    deaf_ms=$(ms "$t0" "$(now)")
    deaf_unsent=$(awk '/unsent/ { printf "%d", $1; exit }' "$out/$name.trace")
    deaf_end=$(awk '/^ *[0-9]/ { t = $1 } END { printf "%d", t }' "$out/$name.trace")
    # The last close is made on a copy of the port's descriptor (fcntl F_DUPFD_CLOEXEC): its close, timed.
    deaf_close=$(python3 -c 'import re, sys
spare, took = None, ""
for line in open(sys.argv[1]):
    m = re.search(r"fcntl\((\d+), F_DUPFD_CLOEXEC, 0\) +=  *(\d+)", line)
    if m:
        spare = m.group(2)
    elif spare and re.search(r"close\(%s[ )]" % spare, line) and re.search(r"<([0-9.]+)>$", line):
        took = "%d" % (float(re.search(r"<([0-9.]+)>$", line).group(1)) * 1000)
        spare = None
print(took)' "$out/$name.strace" 2>/dev/null)
    : "${deaf_unsent:=99999}" "${deaf_end:=99999}" "${deaf_close:=99999}"
}

write_deadline() {
    stop_box 2
    stop_box 3
    unplug 3
    plug 3
    local t0 start_ms
    # The command's own start and end, with a port name that leads nowhere.
    t0=$(now)
    "$cli" sat-write --port /dev/kdr7-bench-none "$inputs/table.csv" >/dev/null 2>&1
    start_ms=$(ms "$t0" "$(now)")
    deaf_write deadline-control "$(link_of 3)"
    local control_status=$deaf_status control_ms=$deaf_ms control_unsent=$deaf_unsent control_close=$deaf_close
    local control_end=$deaf_end
    local control_message
    control_message=$(last_message "$out/deadline-control.out")
    local link acm
    link=$(link_of 2)
    acm=$(readlink -f "$link")
    # The far end raw, as a box's UART: a gadget's tty starts in canonical mode (until some program sets it
    # otherwise), and a canonical line discipline with a full line and no newline drops what comes, so the
    # queue towards it would never fill.
    { stty raw -echo && exec sleep 3600; } <>"$(far_end_of 2)" &
    local deaf=$!
    # Removed first: a look at the file before the filler's shell has truncated it would see the last try's.
    rm -f "$out/filler.out"
    python3 -c 'import os, sys, time, tty
fd = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
tty.setraw(fd)
total, refused_since, began = 0, None, time.monotonic()
while refused_since is None or time.monotonic() - refused_since < 1:
    if refused_since is None and time.monotonic() - began > 30:
        print("never refused after %d bytes" % total, flush=True)
        sys.exit(1)
    try:
        total += os.write(fd, bytes(1024))
        refused_since = None
    except BlockingIOError:
        refused_since = refused_since or time.monotonic()
        time.sleep(0.02)
print(total, flush=True)
time.sleep(3600)' "$acm" >"$out/filler.out" 2>&1 &
    local filler=$!
    wait_until 60 test -s "$out/filler.out"
    if ! grep -qE '^[0-9]+$' "$out/filler.out"; then
        kill "$filler" "$deaf" 2>/dev/null
        wait "$filler" "$deaf" 2>/dev/null
        detail="the queue towards the far end never filled: $(head -c 80 "$out/filler.out")"
        return 1
    fi
    deaf_write deadline "$link"
    kill "$filler" "$deaf" 2>/dev/null
    wait "$filler" "$deaf" 2>/dev/null
    local message bound=$((start_ms + deadline_design_ms + 1000))
    message=$(last_message "$out/deadline.out")
    figure "write to a far end that takes nothing: command ${control_ms} ms, exit $control_status, first unsent" \
        "at ${control_unsent} ms, trace ended at ${control_end} ms, last close ${control_close} ms; with the queue full ($(head -c 20 "$out/filler.out" |
            tr -d '\n') bytes queued before): command ${deaf_ms} ms, exit $deaf_status, first unsent at" \
        "${deaf_unsent} ms, trace ended at ${deaf_end} ms, last close ${deaf_close} ms; the command's start and end" \
        "alone ${start_ms} ms (bounds: unsent 50, trace 1200, close 130, command $bound)"
    detail="taking nothing: ${control_ms} ms, exit $control_status: $control_message;"
    detail="$detail queue full: ${deaf_ms} ms, exit $deaf_status: $message"
    # The adapters again as new: whatever the host still holds for them goes with the unplug.
    unplug 2
    unplug 3
    plug 2
    plug 3
    [ "$deaf_status" -eq 7 ] && [ "$message" = "Data connection error, please restart box and PC software" ] &&
        [ "$control_status" -eq 7 ] && [ "$control_message" = "$message" ] && [ "$deaf_unsent" -lt 99999 ] &&
        [ "$control_unsent" -lt 99999 ] && [ "$deaf_close" -lt 99999 ] && [ "$control_close" -lt 99999 ] || return 1
    [ "$deaf_ms" -le "$bound" ] && [ "$control_ms" -le "$bound" ] && [ "$deaf_unsent" -le 50 ] &&
        [ "$control_unsent" -le 50 ] && [ "$deaf_end" -le 1200 ] && [ "$control_end" -le 1200 ] &&
        [ "$deaf_close" -le 130 ] && [ "$control_close" -le 130 ] || return 2
}

watch_pid=
start_watch() {
    local name=$1
    shift
    rm -f "$out/$name.jsonl"
    "$cli" flash --watch "$@" --log "$out/$name.jsonl" "$inputs/firmware.bin" >"$out/$name.out" 2>&1 &
    watch_pid=$!
}

# Ends the watch (Ctrl+C) unless it ended by itself within $1 seconds; its exit status in watch_status.
end_watch() {
    wait_until "$1" eval "! kill -0 $watch_pid 2>/dev/null" || kill -INT "$watch_pid" 2>/dev/null
    wait_until 10 eval "! kill -0 $watch_pid 2>/dev/null" || kill -KILL "$watch_pid" 2>/dev/null
    wait "$watch_pid"
    watch_status=$?
}

records() { [ -f "$out/$1.jsonl" ] && wc -l <"$out/$1.jsonl" || echo 0; }

# The whole line: what the records say, a line each, for the detail of a failed check.
record_summary() {
    python3 -c 'import json, sys
print("; ".join("%s %s %s" % (r.get("serial"), r.get("outcome"), r.get("message")) for r in map(json.loads, open(sys.argv[1]))))' \
        "$out/$1.jsonl" 2>/dev/null
}

unplug_all() {
    local n
    for n in "${adapters[@]}"; do unplug "$n"; done
}

# Four adapters plugged one after another are each flashed once, by the watch as a line runs it: no folder
# and no --match given, udev's own names.
watch_four_in_turn() {
    unplug_all
    mkdir -p "$by_id" # the folder is there; a watch that starts before it is another check
    local n
    for n in "${adapters[@]}"; do start_box "$n" || return 1; done
    start_watch watch-four --count 4
    for n in "${adapters[@]}"; do
        sleep 0.5
        plug "$n"
    done
    end_watch 60
    stop_boxes
    local serials holding=0
    serials=$(log_field "$out/watch-four.jsonl" serial | sort | tr '\n' ',')
    for n in "${adapters[@]}"; do flash_holds "$n" && holding=$((holding + 1)); done
    detail="exit $watch_status, $(records watch-four) records (serials ${serials%,}), $holding of 4 boxes hold the image"
    [ "$watch_status" -eq 0 ] && [ "$(records watch-four)" -eq 4 ] &&
        [ "$serials" = "$(for n in "${adapters[@]}"; do serial_of "$n"; done | tr '\n' ',')" ] && [ "$holding" -eq 4 ] &&
        [ "$(log_lines "$out/watch-four.jsonl")" = "$(expected_log_lines "${adapters[@]}")" ] ||
        { detail="$detail: $(record_summary watch-four)"; return 1; }
}

# One adapter unplugged after its box was flashed and plugged again: that box is flashed again. Adapter 2
# stays plugged (and is not watched), so that the folder stays.
watch_replug() {
    start_box 1 || return 1
    start_watch watch-replug "$by_id" --match "$(basename "$(link_of 1)")" --count 2
    wait_until 30 eval '[ "$(records watch-replug)" -ge 1 ]'
    # udev touches a node's times at every event for its device (a trigger after a package's rules are
    # installed): no plug, so no second start.
    local node starts
    node=$(readlink -f "$(link_of 1)")
    udevadm trigger --action=change --settle "$node"
    sleep 1
    starts=$(grep -c " start " "$out/watch-replug.out")
    unplug 1
    sleep 0.5
    plug 1
    end_watch 30
    stop_box 1
    detail="exit $watch_status, $(records watch-replug) records, $starts start after udev's change event for $node"
    [ "$starts" -eq 1 ] && [ "$watch_status" -eq 0 ] && [ "$(records watch-replug)" -eq 2 ] &&
        [ "$(log_field "$out/watch-replug.jsonl" outcome | sort -u)" = completed ] ||
        { detail="$detail: $(record_summary watch-replug)"; return 1; }
}

# Three boxes in progress, one adapter unplugged mid-flash: that box fails alone and at once, saying its port
# is gone, exit 6; the other two complete. At once: its record within 2 s of the unplug (0.8 to 1.4 s were
# seen in the emulated guest beside a loaded machine), where a box that took the unplug for a silent box would
# wait out a line's reply wait of about 4 s first.
watch_unplug_one() {
    local n
    unplug 4
    for n in 1 2 3; do start_box "$n" || return 1; done
    start_watch watch-unplug "$by_id" --match 'usb-Velantor_KDR7-Bench_*'
    wait_until 30 eval '[ "$(grep -c " start " "$out/watch-unplug.out")" -ge 3 ]'
    sleep 1.5 # into the flash
    local t_unplug t_record
    t_unplug=$(now)
    echo "" >"$gadgets/bench2/UDC"
    wait_until 30 eval 'grep -q "$(serial_of 2)" "$out/watch-unplug.jsonl" 2>/dev/null'
    t_record=$(now)
    wait_until 30 eval '[ "$(records watch-unplug)" -ge 3 ]'
    end_watch 0
    for n in 1 2 3; do stop_box "$n"; done
    figure "watch, adapter unplugged mid-flash: its record came $(ms "$t_unplug" "$t_record") ms after the unplug"
    local outcomes gone record_ms
    record_ms=$(ms "$t_unplug" "$t_record")
    outcomes=$(python3 -c 'import json, sys
r = {x["serial"]: x["outcome"] for x in map(json.loads, open(sys.argv[1]))}
print(", ".join("%s=%s" % (k, r[k]) for k in sorted(r)))' "$out/watch-unplug.jsonl" 2>/dev/null)
    gone=$(python3 -c 'import json, sys
r = [x for x in map(json.loads, open(sys.argv[1])) if x["serial"] == sys.argv[2]]
print(r[0]["exit"], r[0]["message"])' "$out/watch-unplug.jsonl" "$(serial_of 2)" 2>/dev/null)
    detail="exit $watch_status, $(records watch-unplug) records: $outcomes; $(serial_of 2): $gone, ${record_ms} ms"
    wait_until 15 eval "! test -e $(link_of 2)"
    plug 2
    [ "$(records watch-unplug)" -eq 3 ] && flash_holds 1 && flash_holds 3 &&
        [[ "$outcomes" == "$(serial_of 1)=completed, $(serial_of 2)=failed, $(serial_of 3)=completed" ]] &&
        [[ "$gone" == "6 "* ]] && says_port_gone "${gone#6 }" || return 1
    [ "$record_ms" -le 2000 ] || return 2
}

# The watch started before any adapter exists (no /dev/serial/by-id at all), on the folder it watches when
# none is given and on that folder named: it waits, and flashes the first box plugged.
watch_before_any_adapter() {
    local folder ok=0 variant
    for folder in "" "$by_id"; do
        unplug_all
        wait_until 5 eval "! test -e $by_id"
        rmdir "$by_id" /dev/serial 2>/dev/null
        start_box 1 || return 1
        local present=no alive=yes
        [ -e "$by_id" ] && present=yes
        start_watch watch-first ${folder:+"$folder"} --match 'usb-Velantor_KDR7-Bench_*' --count 1
        sleep 1
        kill -0 "$watch_pid" 2>/dev/null || alive=no
        plug 1
        end_watch 30
        stop_box 1
        variant="${folder:-default folder}: folder there at start $present, watch alive after 1 s $alive, exit"
        variant="$variant $watch_status, $(records watch-first) records"
        if [ "$present" = no ] && [ "$alive" = yes ] && [ "$watch_status" -eq 0 ] &&
            [ "$(records watch-first)" -eq 1 ] && [ "$(log_field "$out/watch-first.jsonl" outcome)" = completed ] &&
            flash_holds 1; then
            ok=$((ok + 1))
        else
            variant="$variant: $(last_message "$out/watch-first.out")"
        fi
        detail="${detail:+$detail; }$variant"
    done
    [ "$ok" -eq 2 ]
}

# Hot-plug: from udev's link appearing to the first byte at the far end, with the watch waiting for it. The
# bootloader's own pause before its request is 200 ms of it (from the port's open, so never less); the goal
# leaves 10 ms for noticing the link and opening the port.
# No box answers: each plug is a failed box, which ends the watch (--count 1).
hot_plug() {
    local n samples=() worst=0 sample
    plug 2 # holds the folder
    unplug 1
    for n in 1 2 3; do
        python3 -c 'import os, select, sys, time, tty
fd = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
tty.setraw(fd)
print("listening", flush=True)
seen = None
while True:
    if seen is None and os.path.lexists(sys.argv[2]):
        seen = time.time()
    if select.select([fd], [], [], 0.005)[0] and os.read(fd, 64):
        print("%d" % ((time.time() - seen) * 1000) if seen else "no-link", flush=True)
        break' "$(far_end_of 1)" "$(link_of 1)" >"$out/listener.out" 2>&1 &
        local listener=$!
        wait_until 30 grep -qs listening "$out/listener.out"
        start_watch hot-plug "$by_id" --match "$(basename "$(link_of 1)")" --count 1
        sleep 1
        plug 1
        wait_until 10 eval "! kill -0 $listener 2>/dev/null"
        kill "$listener" 2>/dev/null
        wait "$listener" 2>/dev/null
        end_watch 0 # its first byte came: what follows (a box that never answers) is not measured
        sample=$(tail -n 1 "$out/listener.out")
        [[ "$sample" =~ ^[0-9]+$ ]] || sample=99999
        samples+=("$sample")
        [ "$sample" -gt "$worst" ] && worst=$sample
        unplug 1
    done
    plug 1
    local best=${samples[0]}
    for sample in "${samples[@]}"; do [ "$sample" -lt "$best" ] && best=$sample; done
    figure "hot-plug: link to first byte ${samples[*]} ms (goal <= 210: $( ((worst <= 210)) && echo met ||
        echo "missed by $((worst - 210)) ms"))"
    # A figure, not a bound: the emulated guest's pace is the machine's. What is checked: every plug was
    # noticed and reached (the first byte came), and never before the bootloader's own 200 ms.
    detail="worst ${worst} ms, best ${best} ms"
    [ "$worst" -lt 99999 ] && [ "$best" -ge 200 ]
}

# The ports technicians own (tools/usb-bench.sh): FTDI adapters on xHCI and on UHCI, driven by ftdi_sio, and
# a 16550 UART (ttyS1, the 8250 driver). Their boxes run on the machine, at the far ends' pseudo-terminals.
host=$bench/host
owned_serial() {
    case $1 in
    ftdi-xhci) echo KDR7XHCI01 ;;
    ftdi-uhci) echo KDR7UHCI01 ;;
    esac
}
owned_link() {
    local serial
    serial=$(owned_serial "$1")
    [ -n "$serial" ] && compgen -G "$by_id/*_${serial}-if00*" | head -n 1
}
owned_device() {
    if [ "$1" = uart ]; then echo /dev/ttyS1; else readlink -f "$(owned_link "$1")"; fi
}

# The box on the machine writes its flash when asked; it holds the image's code where the image put it.
owned_flash_holds() {
    touch "$host/dump-$1"
    wait_until 10 eval "! test -e $host/dump-$1" &&
        cmp -s <(tail -c +$((0x8000 + 1)) "$host/$1.flash" | head -c "$(stat -c %s "$inputs/code.bin")") \
            "$inputs/code.bin"
}

median() { printf '%s\n' "$@" | sort -n | sed -n "$((($# + 1) / 2))p"; }

# A tty's serial flags (TIOCGSERIAL), read from beside the tool: root may open a port that is held
# exclusively. ASYNC_LOW_LATENCY is 0x2000.
serial_flags() {
    python3 -c 'import fcntl, os, struct, sys
fd = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
buf = bytearray(72)
fcntl.ioctl(fd, 0x541E, buf)
print(struct.unpack_from("i", buf, 16)[0])' "$1" 2>/dev/null || echo none
}
low_latency() { [ "$1" != none ] && [ $(($1 & 0x2000)) -ne 0 ]; }

# Whether every run of a command ended well; their times in ms.
runs=()
timed_runs() {
    local n=$1 name=$2 i t0 status
    shift 2
    runs=()
    for ((i = 1; i <= n; i++)); do
        t0=$(now)
        timeout 120 "$@" >"$out/$name-$i.out" 2>&1
        status=$?
        runs+=("$(ms "$t0" "$(now)")")
        [ "$status" -eq 0 ] || { detail="$name run $i: exit $status: $(last_message "$out/$name-$i.out")"; return 1; }
    done
}

# One owned port: the update three times (by its device with a production log, by its by-id name where it
# has one) and the table written three times; the medians against the floors. The read back is
# owned_read_back's, for all three ports at once.
owned_port() {
    local label=$1 device link pages floor
    wait_until 60 test -e "$host/ready" || { detail="the boxes on the machine never started"; return 1; }
    [ ! -e "$host/failed" ] || { detail=$(cat "$host/failed"); return 1; }
    device=$(owned_device "$label")
    link=$(owned_link "$label")
    [ -c "$device" ] || { detail="no device for $label"; return 1; }
    pages=$(($(stat -c %s "$inputs/code.bin") / 512))
    floor=$((450 + pages * 665))
    rm -f "$out/$label.jsonl"
    timed_runs 1 "$label-flash" "$cli" flash --port "$device" --log "$out/$label.jsonl" "$inputs/firmware.bin" ||
        return 1
    local flash_runs=("${runs[@]}")
    timed_runs 2 "$label-flash-again" "$cli" flash --port "${link:-$device}" --log "$out/$label.jsonl" \
        "$inputs/firmware.bin" || return 1
    flash_runs+=("${runs[@]}")
    owned_flash_holds "$label" || { detail="the box's flash does not hold the image"; return 1; }
    timed_runs 3 "$label-sat-write" "$cli" sat-write --port "$device" "$inputs/table.csv" || return 1
    local write_runs=("${runs[@]}")
    local flash_ms write_ms serials devices serial
    flash_ms=$(median "${flash_runs[@]}")
    write_ms=$(median "${write_runs[@]}")
    serials=$(log_field "$out/$label.jsonl" serial | sort -u | tr '\n' ' ')
    devices=$(log_field "$out/$label.jsonl" device | sort -u | tr '\n' ' ')
    figure "$label: update ${flash_runs[*]} ms, median ratio $(ratio "$flash_ms" "$floor") (floor $floor);" \
        "sat-write ${write_runs[*]} ms, median ratio $(ratio "$write_ms" 3465)"
    detail="records: serial ${serials% }, device ${devices% }"
    serial=$(owned_serial "$label")
    [ "${devices% }" = "$device" ] && [ "${serials% }" = "${serial:-None}" ] || return 1
    # The bounds are the emulated guest's, where every write and wake-up costs the tool some 0.8 ms of emulated
    # CPU (the guest's own pseudo-terminal writes the table at about 1.5x): an update within 1.40x of its
    # floor, and on UHCI a table write within 2.60x (waiting for the line, tcdrain, took 2.7x and more there).
    awk -v r="$(ratio "$flash_ms" "$floor")" 'BEGIN { exit !(r <= 1.40) }' || return 2
    if [ "$label" = ftdi-uhci ]; then
        awk -v r="$(ratio "$write_ms" 3465)" 'BEGIN { exit !(r <= 2.60) }' || return 2
    fi
    return 0
}

# The table read back from every owned port at once (a read mostly waits for the box, 5 ms a byte, so three
# share the guest's CPU with little cost; their times are figures only), each under strace: equal to the
# table written, no tcdrain (TCSBRK) at all, low latency set while the port is open (TIOCSSERIAL twice: set,
# then the old flags put back), read from beside the tool.
owned_labels=(ftdi-xhci ftdi-uhci uart)
owned_read_back() {
    local label device pids=() t0 ok=0 n=0
    declare -A before during after
    t0=$(now)
    for label in "${owned_labels[@]}"; do
        device=$(owned_device "$label")
        [ -c "$device" ] || { detail="${detail:+$detail; }no device for $label"; return 1; }
        before[$label]=$(serial_flags "$device")
        rm -f "$out/$label-back.csv" "$out/$label-sat-read.status"
        { strace --seccomp-bpf -f -qq -e trace=ioctl -o "$out/$label.strace" timeout 120 "$cli" sat-read \
            --port "$device" "$out/$label-back.csv" >"$out/$label-sat-read.out" 2>&1
          echo "$? $(ms "$t0" "$(now)")" >"$out/$label-sat-read.status"; } &
        pids[n]=$!
        n=$((n + 1))
    done
    sleep 3 # well into the reads
    for label in "${owned_labels[@]}"; do during[$label]=$(serial_flags "$(owned_device "$label")"); done
    wait "${pids[@]}"
    local status read_ms drains sets times=()
    for label in "${owned_labels[@]}"; do
        device=$(owned_device "$label")
        after[$label]=$(serial_flags "$device")
        read -r status read_ms <"$out/$label-sat-read.status"
        drains=$(grep -c 'TCSBRK' "$out/$label.strace")
        sets=$(grep -c 'TIOCSSERIAL' "$out/$label.strace")
        times+=("$label $read_ms ms")
        detail="${detail:+$detail; }$label: flags before ${before[$label]}, while open ${during[$label]}, after"
        detail="$detail ${after[$label]}, $drains tcdrain, $sets TIOCSSERIAL"
        if [ "$status" -eq 0 ] && cmp -s "$inputs/table.csv" "$out/$label-back.csv" && [ "$drains" -eq 0 ] &&
            [ "$sets" -eq 2 ] && low_latency "${during[$label]}" && ! low_latency "${before[$label]}" &&
            [ "${before[$label]}" = "${after[$label]}" ]; then
            ok=$((ok + 1))
        else
            detail="$detail, sat-read exit $status: $(last_message "$out/$label-sat-read.out")"
        fi
    done
    figure "owned ports, the table read back by all three at once (traced): ${times[*]} (floor 12375 each)"
    [ "$ok" -eq "${#owned_labels[@]}" ]
}

# The guest's own pseudo-terminal beside them, for reference: the same update and table write, once each (the
# bench's time is bounded).
guest_pseudo_terminal() {
    "$vbox" >"$out/pty-box.log" 2>&1 &
    local pid=$! device pages floor
    wait_until 30 grep -qs '^Virtual Velantor KDR7 box on ' "$out/pty-box.log"
    device=$(sed -n 's/^Virtual Velantor KDR7 box on //p' "$out/pty-box.log")
    pages=$(($(stat -c %s "$inputs/code.bin") / 512))
    floor=$((450 + pages * 665))
    local flash_runs write_runs ok=0
    timed_runs 1 pty-flash "$cli" flash --port "$device" "$inputs/firmware.bin" && flash_runs=("${runs[@]}") &&
        timed_runs 1 pty-sat-write "$cli" sat-write --port "$device" "$inputs/table.csv" && write_runs=("${runs[@]}") ||
        ok=1
    kill "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
    [ "$ok" -eq 0 ] || return 1
    figure "guest pseudo-terminal: update ${flash_runs[*]} ms, ratio $(ratio "${flash_runs[0]}" "$floor");" \
        "sat-write ${write_runs[*]} ms, ratio $(ratio "${write_runs[0]}" 3465)"
}

# The window on the 16550: with KDR7_COM2 its only port, its start-up probe reaches "COM2" and opens it once,
# and no other serial device (the guest's ttyS0 is this console).
window_com2() {
    local status opens others
    KDR7_COM2=/dev/ttyS1 QT_QPA_PLATFORM=offscreen timeout -s INT 30 strace -f -qq -e trace=openat \
        -o "$out/window-com2.strace" "$build/zorvane" >"$out/window-com2.out" 2>&1 &
    local pid=$!
    wait_until 25 grep -qs '"/dev/ttyS1"' "$out/window-com2.strace"
    sleep 1 # the probe would go on to the next name
    kill -INT "$pid" 2>/dev/null
    wait "$pid"
    status=$?
    opens=$(grep -c '"/dev/ttyS1"' "$out/window-com2.strace")
    others=$(grep -oE '"/dev/tty(S[02-9]|USB[0-9]+|ACM[0-9]+)"' "$out/window-com2.strace" | sort -u | tr '\n' ' ')
    detail="/dev/ttyS1 opened $opens times${others:+, also $others}"
    [ "$opens" -eq 1 ] && [ -z "$others" ]
}

# The FTDI adapters are taken away once their checks are done: the other checks watch the by-id folder.
unplug_owned() {
    local device
    for device in /sys/bus/usb/devices/*; do
        case "$(cat "$device/serial" 2>/dev/null)" in
        KDR7XHCI01 | KDR7UHCI01) echo 0 >"$device/authorized" ;;
        esac
    done
    wait_until 15 eval '! compgen -G "$by_id/*KDR7?HCI01*" >/dev/null' || echo "  the FTDI adapters' links stayed"
}

main() {
    echo "usb-bench: in the guest's chroot at $(cut -d' ' -f1 /proc/uptime) s, kernel $(uname -r)"
    local n name
    for n in $(seq 15); do
        name=KDR7_COM$n
        [ "${!name-unset}" = "" ] || { echo "usb-bench: $name is not set empty"; exit 1; }
    done
    /lib/systemd/systemd-udevd --daemon --resolve-names=never
    udevadm trigger --action=add --subsystem-match=tty --subsystem-match=usb >/dev/null 2>&1
    udevadm settle
    for n in "${adapters[@]}"; do make_adapter "$n"; done
    for n in "${adapters[@]}"; do plug "$n" || exit 1; done
    echo "usb-bench: four adapters plugged at $(cut -d' ' -f1 /proc/uptime) s"
    local started
    started=$(now)
    wait_until 60 eval 'compgen -G "$by_id/*KDR7UHCI01*" >/dev/null && compgen -G "$by_id/*KDR7XHCI01*" >/dev/null' ||
        echo "  the FTDI adapters have no by-id links"
    check port-ftdi-xhci owned_port ftdi-xhci
    check port-ftdi-uhci owned_port ftdi-uhci
    check port-uart owned_port uart
    check ports-read-back owned_read_back
    check pseudo-terminal guest_pseudo_terminal
    check window-com2 window_com2
    unplug_owned
    check flash-by-id flash_by_id
    check rack-of-four rack_of_four
    check satellite-round-trip satellite_round_trip
    check unplug-during-page-2 unplug_during_page_2
    check window-unplug window_unplug
    check write-deadline write_deadline
    check watch-four-in-turn watch_four_in_turn
    check watch-replug watch_replug
    check watch-unplug-one watch_unplug_one
    check watch-before-any-adapter watch_before_any_adapter
    check hot-plug hot_plug
    figure "checks took $(ms "$started" "$(now)") ms"
    echo "$passed passed, $failed failed"
}

main
