#!/usr/bin/env bash
# Set-up, build, tests and start of the Velantor KDR7 Loader Editor on Debian 12.
#   tools/dev.sh start   build and start the window (on a virtual display when there is none)
#   tools/dev.sh test    build and run every test
#   tools/dev.sh package build the Debian package, check it (lintian, appstreamcli, desktop-file-validate),
#                        install it and try the installed programs
#   tools/dev.sh product build the shipped programs alone, without the test rig, as a distribution would
#   tools/dev.sh format-check    check every tracked C++ file against .clang-format
#   tools/dev.sh test-sanitized   build and run every test under AddressSanitizer, LeakSanitizer and UBSan
#   tools/dev.sh fuzz [SECONDS]   build the libFuzzer targets and run each for SECONDS (default 30)
#   tools/dev.sh windows build for Windows here (Qt cross-built once into a cache), package the zip and the
#                        installer, and try them under Wine against virtual boxes
#   tools/dev.sh usb-bench [CHECK...]   the bench on a real USB serial stack: a QEMU guest with Debian's kernel,
#                        up to four USB serial adapters in software, the build's programs checked on them
#                        (tools/usb-bench.sh; the checks named alone, all by default)
#   tools/dev.sh build [TARGET...]  build the developer tree, or only the named targets
# Each installs the Debian packages it needs when they are missing.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build_dir=${KDR7_BUILD_DIR:-$root/build}

# What the shipped programs need to build; the test rig adds OpenSSL (the box's cipher and the tests' oracle)
# and the fonts the window lays its captions out in.
product_packages=(build-essential cmake ninja-build qt6-base-dev qt6-serialport-dev)
build_packages=("${product_packages[@]}" libssl-dev fonts-liberation)
test_packages=(srecord strace)
fuzz_packages=(clang libclang-rt-14-dev)
format_packages=(clang-format git)
display_packages=(xvfb xauth imagemagick xdotool qt6-qpa-plugins)
package_packages=(file dpkg-dev lintian appstream desktop-file-utils man-db)

# shellcheck source=tools/common.sh
source "$root/tools/common.sh"
use_compiler_cache

# Builds the developer tree, all of it or only the named targets.
build() {
    install_missing "${build_packages[@]}"
    cmake -S "$root" -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKDR7_WERROR=ON >/dev/null
    local targets=()
    [ $# -gt 0 ] && targets=(--target "$@")
    cmake --build "$build_dir" --parallel 2 "${targets[@]}"
}

# The shipped programs must never need OpenSSL: they have no use for it, and a distribution build has no rig.
check_no_crypto() {
    local program
    for program in "$@"; do
        if ldd "$program" | grep -E 'libssl|libcrypto'; then
            say "$program links OpenSSL"
            return 1
        fi
    done
}

# The window and the command line from Qt 6 alone: no tests, no virtual box, no OpenSSL, no openpty.
product_build() {
    install_missing "${product_packages[@]}"
    local dir="$root/build-product"
    cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKDR7_TEST_RIG=OFF -DKDR7_WERROR=ON >/dev/null
    cmake --build "$dir" --parallel 2
    check_no_crypto "$dir/zorvane" "$dir/zorvane-cli"
    if grep -qiE 'openssl|libutil' "$dir/CMakeCache.txt" "$dir/build.ninja"; then
        say "The product build still refers to OpenSSL or libutil"
        return 1
    fi
    say "The product builds without the test rig: $dir/zorvane, $dir/zorvane-cli"
}

run_tests() {
    install_missing "${test_packages[@]}"
    build
    QT_QPA_PLATFORM=offscreen ctest --test-dir "$build_dir" --output-on-failure --parallel 2
}

# A virtual box on a pseudo-terminal, so that the window has a box to talk to on COM1.
start_virtual_box() {
    local log="$build_dir/kdr7-virtual-box.log"
    local table="$build_dir/virtual-box-table.csv"
    [ -f "$table" ] || cp "$root/tools/virtualbox/sample-table.csv" "$table"
    "$build_dir/kdr7-virtual-box" --table "$table" >"$log" 2>&1 &
    box_pid=$!
    trap 'kill "$box_pid" 2>/dev/null || true' EXIT
    for _ in $(seq 50); do
        grep -q "^Virtual Velantor KDR7 box on " "$log" 2>/dev/null && break
        sleep 0.1
    done
    local device
    device=$(sed -n 's/^Virtual Velantor KDR7 box on //p' "$log")
    if [ -n "$device" ]; then
        export KDR7_COM1="$device"
        say "A virtual Velantor KDR7 box answers on COM1 ($device); a real box: tools/dev.sh start-real."
    fi
}

# With no display, the window still runs: on Xvfb, long enough to save a picture of it.
start_headless() {
    install_missing "${display_packages[@]}"
    local shot="$build_dir/zorvane-screenshot.png"
    say "No display found (DISPLAY and WAYLAND_DISPLAY are unset): running the window on a virtual display (Xvfb)."
    xvfb-run -a -s "-screen 0 1024x768x24" bash -c '
        "$1" & app=$!
        sleep 3
        # Without a serial port the tool warns first; answer the box so the window itself shows.
        if xdotool search --name "^Warning$" >/dev/null 2>&1; then
            xdotool search --name "^Warning$" windowactivate --sync key Return 2>/dev/null || true
            sleep 1
        fi
        import -window root "$2"
        kill "$app" 2>/dev/null; wait "$app" 2>/dev/null || true
    ' _ "$build_dir/zorvane" "$shot"
    say "Screenshot of the window: $shot"
}

start() {
    build zorvane kdr7-virtual-box
    [ "${1:-}" = real ] || start_virtual_box
    if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
        start_headless
    else
        "$build_dir/zorvane"
    fi
}

# Every test again, built with AddressSanitizer (LeakSanitizer included) and UBSan: any report fails it.
run_sanitized_tests() {
    install_missing "${build_packages[@]}" "${test_packages[@]}"
    local dir="$root/build-sanitized"
    cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKDR7_SANITIZE=ON -DKDR7_BUILD_BENCH=OFF >/dev/null
    cmake --build "$dir" --parallel 2
    ASAN_OPTIONS=detect_leaks=1:halt_on_error=1:abort_on_error=1 \
        UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
        QT_QPA_PLATFORM=offscreen ctest --test-dir "$dir" --output-on-failure --parallel 2
}

# Every fuzz target for a bounded time, from the seeds in fuzz/corpus; a finding fails the run and leaves
# the input that caused it in build-fuzz/artifacts/TARGET/.
run_fuzzers() {
    local seconds=${1:-30}
    install_missing "${build_packages[@]}" "${fuzz_packages[@]}"
    local dir="$root/build-fuzz"
    CC=clang CXX=clang++ cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKDR7_FUZZ=ON >/dev/null
    cmake --build "$dir" --parallel 2
    # Two at a time, one a core: each still runs its whole time.
    local targets=(s19 csv bin bootloader satellite round_trip) failed=0 i j
    for ((i = 0; i < ${#targets[@]}; i += 2)); do
        local pids=() pair=("${targets[@]:i:2}") target
        for target in "${pair[@]}"; do
            mkdir -p "$dir/corpus/$target" "$dir/artifacts/$target"
            "$dir/fuzz/fuzz_$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
                -artifact_prefix="$dir/artifacts/$target/" "$dir/corpus/$target" "$root/fuzz/corpus/$target" \
                >"$dir/fuzz_$target.log" 2>&1 &
            pids+=($!)
        done
        for j in "${!pair[@]}"; do
            target=${pair[$j]}
            if wait "${pids[$j]}"; then
                say "fuzz_$target: $(grep '^Done' "$dir/fuzz_$target.log")"
            else
                say "fuzz_$target found a fault:"
                tail -n 40 "$dir/fuzz_$target.log" >&2
                failed=1
            fi
        done
    done
    return $failed
}

# Every tracked C++ file as .clang-format lays it out; the files that differ are listed.
format_check() {
    install_missing "${format_packages[@]}"
    local files
    mapfile -t files < <(git -C "$root" ls-files '*.cpp' '*.h')
    if ! (cd "$root" && clang-format --dry-run --Werror "${files[@]}"); then
        say "Not formatted: run clang-format -i on the files above."
        return 1
    fi
    say "clang-format: ${#files[@]} files as laid out"
}

# Builds the .deb, checks it as Debian would, installs it as a user would, and runs the installed programs.
package_check() {
    install_missing "${test_packages[@]}" "${package_packages[@]}"
    build
    (cd "$build_dir" && rm -f kdr7-loader-editor_*.deb && cpack -G DEB >/dev/null)
    local deb
    deb=$(ls -t "$build_dir"/kdr7-loader-editor_*.deb | head -n 1)
    say "Checking $deb ..."
    local findings
    findings=$(lintian --fail-on error,warning "$deb" 2>&1 | grep -v 'running with root privileges' || true)
    if [ -n "$findings" ]; then
        say "lintian: $findings"
        return 1
    fi
    say "lintian: no findings"
    appstreamcli validate --no-net "$root/packaging/org.kdr7.zorvane.metainfo.xml"
    desktop-file-validate "$root/Resources/org.kdr7.zorvane.desktop"
    say "desktop-file-validate: no findings"
    say "Installing $deb ..."
    local sudo=()
    [ "$(id -u)" -ne 0 ] && sudo=(sudo)
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq "$deb" >/dev/null
    local work
    work=$(mktemp -d)
    printf '\x21\x31\x01\x00' >"$work/id.bin"
    head -c 4096 /dev/urandom >"$work/code.bin"
    srec_cat "$work/code.bin" -binary -offset 0x8000 "$work/id.bin" -binary -offset 0x3100 \
        -o "$work/firmware.s19" -address-length=2
    /usr/bin/zorvane-cli --help >/dev/null
    /usr/bin/zorvane-cli pack "$work/firmware.s19" "$work/firmware.bin"
    /usr/bin/zorvane-cli info "$work/firmware.bin"
    test -x /usr/bin/zorvane && test -x /usr/bin/kdr7-virtual-box
    test -f /usr/share/applications/org.kdr7.zorvane.desktop
    test -f /usr/share/icons/hicolor/64x64/apps/zorvane.png
    test -f /usr/share/metainfo/org.kdr7.zorvane.metainfo.xml
    for page in zorvane zorvane-cli kdr7-virtual-box; do
        MANPAGER=cat man "$page" >"$work/$page.txt" 2>&1 || true
        grep -q "^NAME" "$work/$page.txt" || { say "man $page does not open"; return 1; }
    done
    check_no_crypto /usr/bin/zorvane /usr/bin/zorvane-cli
    rm -rf "$work"
    say "The installed package works: $deb"
}

# The Windows build, packaged and tried under Wine beside the Linux command line.
windows_check() {
    install_missing "${test_packages[@]}" wine wine64 xvfb xauth imagemagick fonts-liberation python3
    build zorvane-cli kdr7-virtual-box
    bash "$root/tools/windows.sh" package
    bash "$root/tools/wine-try.sh" "$root/build-windows" "$build_dir"
}

case "${1:-}" in
    start) start ;;
    start-real) start real ;;
    test) run_tests ;;
    test-sanitized) run_sanitized_tests ;;
    fuzz) run_fuzzers "${2:-30}" ;;
    package) package_check ;;
    product) product_build ;;
    format-check) format_check ;;
    windows) windows_check ;;
    usb-bench)
        shift
        build zorvane zorvane-cli kdr7-virtual-box tst_update
        bash "$root/tools/usb-bench.sh" "$build_dir" "$@"
        ;;
    build)
        shift
        build "$@"
        ;;
    *) say "usage: $0 start|start-real|test|test-sanitized|fuzz [SECONDS]|package|product|windows|usb-bench|format-check|build [TARGET...]"; exit 2 ;;
esac
