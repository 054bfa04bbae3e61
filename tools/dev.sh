#!/usr/bin/env bash
# Set-up, build, tests and start of the Velantor KDR7 Loader Editor on Debian 12.
#   tools/dev.sh start   build and start the window (on a virtual display when there is none)
#   tools/dev.sh test    build and run every test
# Each installs the Debian packages it needs when they are missing.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build_dir=${KDR7_BUILD_DIR:-$root/build}

build_packages=(build-essential cmake ninja-build qt6-base-dev qt6-serialport-dev libssl-dev)
test_packages=(srecord)
display_packages=(xvfb imagemagick xdotool)

say() { printf '%s\n' "$*" >&2; }

install_missing() {
    local missing=()
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    say "Installing ${missing[*]} ..."
    local sudo=()
    [ "$(id -u)" -ne 0 ] && sudo=(sudo)
    "${sudo[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null
}

build() {
    install_missing "${build_packages[@]}"
    cmake -S "$root" -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build "$build_dir" --parallel 2
}

run_tests() {
    install_missing "${test_packages[@]}"
    build
    QT_QPA_PLATFORM=offscreen ctest --test-dir "$build_dir" --output-on-failure --timeout 600 --parallel 2
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
    build
    if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
        start_headless
    else
        exec "$build_dir/zorvane"
    fi
}

case "${1:-}" in
    start) start ;;
    test) run_tests ;;
    build) build ;;
    *) say "usage: $0 start|test|build"; exit 2 ;;
esac
