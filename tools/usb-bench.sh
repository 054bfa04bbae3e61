#!/usr/bin/env bash
# The bench on a real USB serial stack: a QEMU guest with Debian's own kernel, where dummy_hcd, configfs ACM
# gadgets and cdc-acm make up to four USB serial adapters (the PC's /dev/ttyACMn, udev's /dev/serial/by-id
# names, the box's end /dev/ttyGSn), and real unplugs by unbinding a gadget from its controller. The guest
# runs the machine's own userland (its root, shared read-only over 9p, in a chroot) and the build's programs.
#   tools/usb-bench.sh [BUILD_DIR [CHECK...]]   (the checks named alone, such as hot-plug; all by default)
# The kernel package is fetched with apt-get download and unpacked (never installed) into a cache outside the
# work tree: ${KDR7_USB_CACHE:-~/.cache/kdr7-usb-bench}. The bench's inputs, logs and the guest's console
# are kept in BUILD_DIR/usb-bench (the guest's only writable share).
# The guest is emulated (TCG, one CPU): /dev/kvm is not usable here, and nothing of the machine's hardware is
# passed to it. The guest's ttyS0 is its console, on QEMU's standard output; every KDR7_COMn is empty there.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build_dir=$(cd "${1:-$root/build}" && pwd)
checks=("${@:2}")
for name in "${checks[@]}"; do
    [[ "$name" =~ ^[a-z0-9-]+$ ]] || { echo "No such check: $name" >&2; exit 2; }
done
cache=${KDR7_USB_CACHE:-${XDG_CACHE_HOME:-${HOME:-/var/cache}/.cache}/kdr7-usb-bench}
bench="$build_dir/usb-bench"

# shellcheck source=tools/common.sh
source "$root/tools/common.sh"

# In load order: virtio and 9p for the shares, then the USB stack with both its sides, then the host
# controllers and the FTDI driver of the ports technicians own (the 16550's driver is built into the kernel).
modules=(virtio_ring virtio virtio_pci_modern_dev virtio_pci_legacy_dev virtio_pci netfs fscache 9pnet
    9pnet_virtio 9p configfs usb-common usbcore udc-core libcomposite "dummy_hcd num=4" u_serial usb_f_acm
    cdc-acm xhci-hcd xhci-pci uhci-hcd usbserial ftdi_sio)

# The ports technicians own, as QEMU makes them: an FTDI FT232 on an xHCI controller, another on a UHCI
# controller (1 ms USB frames, as on many hubs and older PCs), and a 16550 UART (the guest's ttyS1). Each
# one's far end is a pseudo-terminal on this machine, where a kdr7-virtual-box plays the box.
# label, then QEMU's devices for it.
owned_ports=(
    "ftdi-xhci|-device qemu-xhci,id=xhci -device usb-serial,bus=xhci.0,chardev=ftdi-xhci,serial=KDR7XHCI01"
    "ftdi-uhci|-device piix3-usb-uhci,id=uhci -device usb-serial,bus=uhci.0,chardev=ftdi-uhci,serial=KDR7UHCI01"
    "uart|-device isa-serial,index=1,chardev=uart"
)

# The kernel package that Debian's linux-image-amd64 points at, unpacked once into the cache.
fetch_kernel() {
    local package
    package=$(apt-cache depends linux-image-amd64 2>/dev/null | sed -n 's/^ *Depends: \(linux-image-6\.1\.0-[0-9]*-amd64\)$/\1/p' | head -n 1)
    if [ -z "$package" ]; then
        package=$(apt-cache search --names-only '^linux-image-6\.1\.0-[0-9]+-amd64$' | cut -d' ' -f1 | sort -V | tail -n 1)
    fi
    [ -n "$package" ] || { say "No linux-image-6.1.0-*-amd64 package is known to apt"; return 1; }
    kernel_dir="$cache/$package"
    if [ ! -f "$kernel_dir/.unpacked" ]; then
        say "Fetching $package into $cache ..."
        mkdir -p "$cache/download"
        rm -f "$cache/download/"*.deb
        # Unsandboxed: the cache may be a folder that apt's own user cannot write.
        (cd "$cache/download" && apt-get download -o APT::Sandbox::User=root "$package" >/dev/null)
        rm -rf "$kernel_dir"
        dpkg -x "$cache/download/${package}_"*.deb "$kernel_dir"
        rm -f "$cache/download/"*.deb
        touch "$kernel_dir/.unpacked"
    fi
    vmlinuz=$(ls "$kernel_dir"/boot/vmlinuz-*)
    module_tree=$(ls -d "$kernel_dir"/lib/modules/*)
}

# A busybox initramfs with the modules the guest needs and the bench's init.
make_initramfs() {
    local tree="$bench/initramfs" wanted name
    rm -rf "$tree"
    mkdir -p "$tree/bin" "$tree/modules" "$tree/proc" "$tree/sys" "$tree/dev"
    cp /bin/busybox "$tree/bin/busybox"
    for name in $(/bin/busybox --list); do
        [ "$name" = busybox ] || ln -s busybox "$tree/bin/$name"
    done
    : >"$tree/modules/order"
    for wanted in "${modules[@]}"; do
        name=${wanted%% *}
        local file
        file=$(find "$module_tree/kernel" -name "$name.ko" | head -n 1)
        [ -n "$file" ] || { say "The kernel package has no module $name"; return 1; }
        cp "$file" "$tree/modules/"
        echo "$wanted" >>"$tree/modules/order"
    done
    install -m 755 "$root/tools/usb-bench/init" "$tree/init"
    cat >"$tree/bench.env" <<ENV
KDR7_BENCH_DIR='$bench'
KDR7_BENCH_BUILD='$build_dir'
KDR7_BENCH_SCRIPT='$root/tools/usb-bench/checks.sh'
KDR7_BENCH_CHECKS='${checks[*]}'
ENV
    (cd "$tree" && find . | cpio -o -H newc --quiet | gzip -1) >"$bench/initramfs.gz"
}

# The bench's inputs, made here at the machine's speed: a firmware image of 6 pages and a full table.
make_inputs() {
    local work="$bench/inputs"
    mkdir -p "$work"
    printf '\x21\x31\x01\x00' >"$work/id.bin"
    head -c 3072 /dev/urandom >"$work/code.bin"
    srec_cat "$work/code.bin" -binary -offset 0x8000 "$work/id.bin" -binary -offset 0x3100 \
        -o "$work/firmware.s19" -address-length=2
    "$build_dir/zorvane-cli" pack "$work/firmware.s19" "$work/firmware.bin" >/dev/null
    local n
    for n in $(seq 99); do
        printf 'Bench %02d,%d,%d,%d,\r\n' "$n" $((n * 37 % 3600)) $((n % 90)) $((-(n % 90)))
    done >"$work/table.csv"
}

# The boxes at the far ends of the owned ports, on this machine: started once QEMU has said which
# pseudo-terminal each port's far end is, each keeping its flash in host/LABEL.flash. The guest cannot signal
# them: it asks for a box's flash by making host/dump-LABEL, which is removed once the flash is written.
serve_owned_ports() {
    local console=$1 host="$bench/host" entry label device pids=() n=0
    mkdir -p "$host"
    for _ in $(seq 600); do
        [ "$(grep -c 'char device redirected to /dev/pts/' "$console" 2>/dev/null)" -ge ${#owned_ports[@]} ] && break
        sleep 0.1
    done
    for entry in "${owned_ports[@]}"; do
        label=${entry%%|*}
        device=$(sed -n "s/^char device redirected to \(\/dev\/pts\/[0-9]*\) (label $label).*/\1/p" "$console" | head -n 1)
        [ -n "$device" ] || { echo "no pseudo-terminal for $label" >"$host/failed"; continue; }
        "$build_dir/kdr7-virtual-box" --device "$device" --flash-out "$host/$label.flash" >"$host/$label.log" 2>&1 &
        pids[n]=$!
        n=$((n + 1))
    done
    touch "$host/ready"
    local request pid
    while kill -0 "$qemu_pid" 2>/dev/null; do
        for request in "$host"/dump-*; do
            [ -e "$request" ] || continue
            n=0
            for entry in "${owned_ports[@]}"; do
                if [ "$request" = "$host/dump-${entry%%|*}" ]; then
                    pid=${pids[n]:-}
                    [ -n "$pid" ] && kill -USR1 "$pid" 2>/dev/null
                fi
                n=$((n + 1))
            done
            sleep 0.3 # the box writes its flash within 50 ms of the signal
            rm -f "$request"
        done
        sleep 0.1
    done
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
    wait 2>/dev/null
}

boot() {
    local console="$bench/console.log" entry devices=()
    say "Booting the guest (QEMU, TCG, one CPU); its console: $console"
    for entry in "${owned_ports[@]}"; do
        # shellcheck disable=SC2206
        devices+=(-chardev "pty,id=${entry%%|*}" ${entry#*|})
    done
    # The guest's console is QEMU's standard output; stdin is closed so that nothing reaches its monitor. A
    # UART of our own on the ISA bus takes the place of QEMU's default serial port: the console's is named.
    : >"$console"
    nice -n 5 timeout 900 qemu-system-x86_64 -accel tcg -cpu max -smp 1 -m 1024 -nographic -no-reboot -nic none \
        -kernel "$vmlinuz" -initrd "$bench/initramfs.gz" \
        -append "console=ttyS0 quiet loglevel=3 panic=-1 rdinit=/init" \
        -virtfs local,path=/,mount_tag=host,security_model=none,readonly=on,multidevs=remap \
        -virtfs "local,path=$bench,mount_tag=work,security_model=none,multidevs=remap" -serial mon:stdio \
        "${devices[@]}" </dev/null >"$console" 2>&1 &
    qemu_pid=$!
    serve_owned_ports "$console" &
    local server=$!
    tail -n +1 -f --pid="$qemu_pid" "$console" | tr -d '\r' |
        grep --line-buffered -E '^(usb-bench|check|figure|[0-9]+ passed|  )' >&2 || true
    wait "$qemu_pid" || true
    wait "$server" 2>/dev/null || true
}

main() {
    install_missing qemu-system-x86 busybox-static cpio srecord python3 udev strace
    [ -x "$build_dir/zorvane-cli" ] && [ -x "$build_dir/kdr7-virtual-box" ] ||
        { say "Build zorvane-cli, kdr7-virtual-box and tst_update into $build_dir first"; return 1; }
    rm -rf "$bench"
    mkdir -p "$bench" "$cache"
    fetch_kernel
    make_initramfs
    make_inputs
    local started=$SECONDS
    boot
    say "usb-bench: the guest ran $((SECONDS - started)) s"
    local summary
    summary=$(tr -d '\r' <"$bench/console.log" | grep -E '^[0-9]+ passed, [0-9]+ failed$' | tail -n 1 || true)
    [ -n "$summary" ] || { say "usb-bench: the checks did not end (see $bench/console.log)"; return 1; }
    say "usb-bench: $summary (the guest's console: $bench/console.log; the checks' files: $bench/out)"
    [[ "$summary" == *" 0 failed" ]]
}

main
