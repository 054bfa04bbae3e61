#!/usr/bin/env bash
# Checks that only the system calls can show, traced with strace:
#   syscalls.sh devices SUITE...     the suites never open a real serial device (each maps every COM name)
#   syscalls.sh drain CLI BOX        every write to the port is drained (tcdrain) before the next one
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
drain)
    cli=$1
    virtual_box=$2
    "$virtual_box" >"$work/box.log" 2>&1 &
    box=$!
    for _ in $(seq 50); do
        grep -q '^Virtual Velantor KDR7 box on ' "$work/box.log" && break
        sleep 0.1
    done
    device=$(sed -n 's/^Virtual Velantor KDR7 box on //p' "$work/box.log")
    strace -f -qq -e trace=openat,write,ioctl -o "$work/trace" "$cli" sat-read --port "$device" "$work/t.csv" \
        >/dev/null 2>&1
    fd=$(grep -F "\"$device\"" "$work/trace" | grep -oE '= [0-9]+$' | tail -n 1 | tr -dc 0-9)
    writes=$(grep -cE "write\\($fd, " "$work/trace" || true)
    drains=$(grep -cE "ioctl\\($fd, TCSBRK, 1\\)" "$work/trace" || true)
    echo "port fd $fd: $writes writes, $drains drains"
    # Each write is followed by its drain before the next write.
    unpaired=$(grep -E "(write|ioctl)\\($fd, " "$work/trace" | grep -vE 'TIOCOUTQ|TCGETS|TCSETS|TIOCM|TCFLSH|TIOCEXCL|TIOCNXCL|TIOCGSERIAL|TIOCSSERIAL' |
        awk -v fd="$fd" '/write\(/ { if (open) bad++; open = 1 } /TCSBRK/ { open = 0 } END { print bad + open }')
    [ "$writes" -ge 100 ] && [ "$unpaired" -eq 0 ] || {
        echo "writes that return before their bytes have left: $unpaired"
        exit 1
    }
    ;;
esac
