#!/usr/bin/env bash
# Checks that only the system calls can show, traced with strace:
#   syscalls.sh devices SUITE...     the suites never open a real serial device (each maps every COM name)
#   syscalls.sh paced CLI BOX        every write to the port waits for the driver's queue (TIOCOUTQ) before the
#                                    next one, and never for the line (tcdrain is TCSBRK: its cost is the driver's)
#   syscalls.sh once CLI BOX         sat-write --check (and --log) opens its CSV file once: the table checked is
#                                    the one sent, and the one the log's SHA-256 is of
#   syscalls.sh hashed CLI BOX IMAGE  the SHA-256 that flash --log records is of the image it sent, though the
#                                    file is replaced after each open of its path
set -euo pipefail
# LeakSanitizer cannot run under ptrace: in the sanitized build, the traced programs go without it.
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0"
mode=$1
shift
work=$(mktemp -d)
box=
cleanup() {
    [ -n "$box" ] && kill "$box" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

# A virtual box on a pseudo-terminal; its device in $device.
start_box() {
    "$1" >"$work/box.log" 2>&1 &
    box=$!
    for _ in $(seq 50); do
        grep -q '^Virtual Velantor KDR7 box on ' "$work/box.log" && break
        sleep 0.1
    done
    device=$(sed -n 's/^Virtual Velantor KDR7 box on //p' "$work/box.log")
}

case "$mode" in
devices)
    for suite in "$@"; do
        strace -f -qq -e trace=open,openat -o "$work/trace" "$suite" >"$work/out" 2>&1 || {
            cat "$work/out"
            echo "$suite failed"
            exit 1
        }
        if grep -E '"/dev/tty(S|USB|ACM)[0-9]+"' "$work/trace"; then
            echo "$suite opened a real serial device"
            exit 1
        fi
    done
    echo "no real serial device opened by: $*"
    ;;
paced)
    cli=$1
    start_box "$2"
    strace -f -qq -e trace=openat,write,ioctl,close -o "$work/trace" "$cli" sat-read --port "$device" "$work/t.csv" \
        >/dev/null 2>&1
    # From the open of the port to its close (the descriptor is reused afterwards): each write to it is followed
    # by a look at the driver's queue before the next write; nothing waits on the line itself.
    awk -v device="\"$device\"" '
        index($0, "openat(") && index($0, device) { n = split($0, f, "= "); fd = f[n] + 0; open = 1; next }
        !open { next }
        $0 ~ "close\\(" fd "\\)" { open = 0; next }
        $0 ~ "write\\(" fd ", " { writes++; if (pending) bad++; pending = 1 }
        $0 ~ "ioctl\\(" fd ", TIOCOUTQ" { looks++; pending = 0 }
        $0 ~ "ioctl\\(" fd ", TCSBRK" { drains++ }
        END {
            printf "port fd %d: %d writes, %d looks at the queue, %d tcdrain\n", fd, writes, looks, drains
            if (writes < 100 || bad + pending > 0) { printf "writes that return before the driver let go: %d\n", bad + pending; exit 1 }
            if (drains > 0) exit 1
        }' "$work/trace"
    ;;
once)
    cli=$1
    start_box "$2"
    for n in $(seq 99); do printf 'Sat%d,1,2,3,\r\n' "$n"; done >"$work/t.csv"
    strace -f -qq -e trace=open,openat -o "$work/trace" "$cli" sat-write --check --port "$device" "$work/t.csv" \
        >"$work/out" 2>&1 || { cat "$work/out"; echo "sat-write --check failed"; exit 1; }
    opens=$(grep -c "\"$work/t.csv\"" "$work/trace" || true)
    echo "sat-write --check opened its file $opens times"
    [ "$opens" -eq 1 ]
    strace -f -qq -e trace=open,openat -o "$work/trace" "$cli" sat-write --check --log "$work/log" --port "$device" \
        "$work/t.csv" >"$work/out" 2>&1 || { cat "$work/out"; echo "sat-write --check --log failed"; exit 1; }
    opens=$(grep -c "\"$work/t.csv\"" "$work/trace" || true)
    echo "sat-write --check --log opened its file $opens times"
    [ "$opens" -eq 1 ]
    sha=$(sha256sum "$work/t.csv" | cut -d' ' -f1)
    grep -q "\"sha256\":\"$sha\"" "$work/log" || { cat "$work/log"; echo "the log's SHA-256 is not the file's"; exit 1; }
    ;;
hashed)
    cli=$1
    start_box "$2"
    # Versions of the image with 1 to 4 records; each open of the path is held back a while, and the next
    # version is moved in meanwhile. A hash taken through another open than the one sent from is then of a
    # version with another record count than the pages the box got.
    for n in 1 2 3 4; do
        { cat "$3"; for ((i = 1; i < n; ++i)); do tail -c 546 "$3"; done; } >"$work/v$n"
    done
    image=$work/image.bin
    cp "$work/v1" "$image"
    touch "$work/trace"
    strace -f -qq -P "$image" -e trace=open,openat -e inject=open,openat:delay_exit=1000000 -o "$work/trace" \
        "$cli" flash --log "$work/log" --port "$device" "$image" >"$work/out" 2>&1 &
    traced=$!
    swapped=0
    while kill -0 "$traced" 2>/dev/null; do
        opens=$(grep -c "\"$image\"" "$work/trace" || true)
        if [ "$opens" -gt "$swapped" ] && [ "$swapped" -lt 3 ]; then
            swapped=$((swapped + 1))
            cp "$work/v$((swapped + 1))" "$work/next"
            mv "$work/next" "$image"
        fi
        sleep 0.05
    done
    wait "$traced" || { cat "$work/out"; echo "flash --log failed"; exit 1; }
    opens=$(grep -c "\"$image\"" "$work/trace" || true)
    pages=$(sed -n 's/.*"pages":\([0-9]*\).*/\1/p' "$work/log")
    logged=$(sed -n 's/.*"sha256":"\([0-9a-f]*\)".*/\1/p' "$work/log")
    echo "flash --log opened its image $opens times, sent $pages pages"
    if [ "$swapped" -lt 1 ] || [ -z "$pages" ]; then
        cat "$work/log"
        echo "the image was never replaced mid-job"
        exit 1
    fi
    [ "$logged" = "$(sha256sum "$work/v$pages" | cut -d' ' -f1)" ] ||
        { cat "$work/log"; echo "the log's SHA-256 is not of the image sent"; exit 1; }
    ;;
esac
