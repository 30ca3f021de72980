#!/usr/bin/env bash
# End-to-end test of the flasher against the real Linux USB stack: a QEMU
# guest runs a stock Debian kernel whose dummy_hcd connects a configfs ACM
# gadget (played by torvex-sim --bus gadget) to the kernel's own cdc_acm
# driver. The host's root is shared read-only into the guest, so the flasher,
# the simulator and Debian's setserial run there exactly as built and installed.
#
# usage: run-gadget-tests.sh FLASHER SIM IMAGE WORKDIR
#   FLASHER  the flasher program (built from this tree, unmodified)
#   SIM      the torvex-sim program
#   IMAGE    the firmware file the flasher carries (compared with the flash)
#   WORKDIR  scratch and result folder (made empty first)
# environment:
#   TORVEX_QEMU_CACHE  where the prepared kernel is kept between runs
#                      (default ${XDG_CACHE_HOME:-/var/cache}/torvex-qemu, or
#                      ~/.cache/torvex-qemu when that is not writable)
#   TORVEX_QEMU_ACCEL  tcg (default) or kvm (a stock kernel may not run under
#                      every host's KVM: a hang still ends at the time limit)
#   TORVEX_QEMU_LIMIT  seconds before the guest counts as hung (default 300)
#   TORVEX_QEMU_GUESTS guests at once, the scenarios dealt out among them in
#                      turn (default 2: 63 s instead of 95 for one on an
#                      idle 2-core machine, for more processor time)
#   TORVEX_QEMU_SCENARIOS  run only these scenarios (names of guest-scenarios.sh's
#                      functions, separated by spaces; default: all)
# Sourced (by run-kernel-soak.sh), it only defines its functions.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
default_cache=${XDG_CACHE_HOME:-/var/cache}
[ -w "$default_cache" ] || default_cache=$HOME/.cache
cache=${TORVEX_QEMU_CACHE:-$default_cache/torvex-qemu}
accel=${TORVEX_QEMU_ACCEL:-tcg}
limit=${TORVEX_QEMU_LIMIT:-300}
scenario_guests=${TORVEX_QEMU_GUESTS:-2}

# The guest's modules, in load order: USB core and the dummy host/device
# controller pair, the configfs gadget with its ACM function, the host's
# CDC-ACM driver, and virtio-9p to reach the host's files.
modules=(
    configfs usb-common usbcore udc-core dummy_hcd libcomposite u_serial usb_f_acm cdc-acm
    virtio_ring virtio virtio_pci_modern_dev virtio_pci_legacy_dev virtio_pci
    netfs fscache 9pnet 9pnet_virtio 9p
)
# Two emulated controller pairs (dummy_udc.0/dummy_hcd.0, dummy_udc.1/
# dummy_hcd.1): two dongles on two USB buses.
declare -A module_options=([dummy_hcd]="num=2")

say() { echo "run-gadget-tests: $*"; }
die() { say "$*" >&2; exit 1; }

# Name of the kernel package that linux-image-amd64 currently points to.
kernel_package() {
    apt-cache depends linux-image-amd64 2>/dev/null |
        sed -n 's/^ *Depends: \(linux-image-[0-9][^ ]*\)$/\1/p' | head -n 1
}

# Debian ships the kernel as a bzImage wrapping an XZ stream; QEMU boots the
# uncompressed ELF inside it (through its PVH entry) in about half the time.
extract_vmlinux() {
    local vmlinuz=$1 out=$2 offset
    offset=$(LC_ALL=C grep -obUaP '\xfd7zXZ\x00' "$vmlinuz" | head -n 1 | cut -d: -f1)
    [ -n "$offset" ] || die "no XZ stream in $vmlinuz"
    # xz stops with an error at the bytes after the stream; the ELF check below
    # is what tells a good extraction.
    tail -c +"$((offset + 1))" "$vmlinuz" | xz -dc >"$out" 2>/dev/null || true
    [ "$(head -c 4 "$out" | od -An -c | tr -d ' ')" = '177ELF' ] || die "no ELF kernel in $vmlinuz"
}

# Downloads the kernel package (never installing it) and keeps only what the
# guest needs: the kernel and the modules above.
prepare_kernel() {
    local package=$1 dest=$2 scratch version name file
    scratch=$(mktemp -d "$cache/scratch.XXXXXX")
    chmod 755 "$scratch"
    say "downloading $package"
    (cd "$scratch" && apt-get download -q -o APT::Sandbox::User=root "$package" >/dev/null) ||
        (apt-get update -qq && cd "$scratch" && apt-get download -q -o APT::Sandbox::User=root "$package" >/dev/null) ||
        die "cannot download $package"
    dpkg-deb -x "$scratch"/"$package"_*.deb "$scratch/root"
    version=$(ls "$scratch/root/lib/modules")
    mkdir -p "$scratch/out/modules"
    extract_vmlinux "$scratch/root/boot/vmlinuz-$version" "$scratch/out/vmlinux"
    for name in "${modules[@]}"; do
        file=$(find "$scratch/root/lib/modules/$version" -name "$name.ko" -o -name "${name//-/_}.ko" | head -n 1)
        [ -n "$file" ] || die "$package has no module $name"
        cp "$file" "$scratch/out/modules/$name.ko"
    done
    echo "$version" >"$scratch/out/version"
    rm -rf "$dest"
    mv "$scratch/out" "$dest"
    rm -rf "$scratch"
}

# Prints the folder of a prepared kernel, preparing it first when needed.
# Without package lists (or network) a kernel prepared earlier still serves.
kernel_dir() {
    local package prepared
    mkdir -p "$cache"
    package=$(kernel_package)
    if [ -z "$package" ] || [ ! -f "$cache/$package/version" ]; then
        apt-get update -qq >&2 || say "apt-get update failed" >&2
        package=$(kernel_package)
    fi
    if [ -z "$package" ]; then
        for prepared in "$cache"/linux-image-*/version; do
            [ -f "$prepared" ] && package=$(basename "$(dirname "$prepared")")
        done
        [ -n "$package" ] || die "cannot find the kernel package behind linux-image-amd64"
    fi
    [ -f "$cache/$package/version" ] || prepare_kernel "$package" "$cache/$package" >&2
    echo "$cache/$package"
}

# The guest's first userland: static busybox, the modules and guest-init.sh,
# in an uncompressed cpio (the kernel unpacks it fastest).
make_initramfs() {
    local kernel=$1 out=$2 root=$work/initramfs
    rm -rf "$root"
    mkdir -p "$root"/{bin,dev,proc,sys,host,modules}
    cp /bin/busybox "$root/bin/busybox"
    cp "$kernel"/modules/*.ko "$root/modules/"
    for name in "${modules[@]}"; do
        echo "$name ${module_options[$name]:-}"
    done >"$root/modules/order"
    cp "$here/guest-init.sh" "$root/init"
    chmod 755 "$root/init"
    (cd "$root" && find . | busybox cpio -o -H newc 2>/dev/null) >"$out"
}

# KVM only when asked for and usable; TCG otherwise.
accel_options() {
    if [ "$accel" = kvm ] && [ -w /dev/kvm ]; then
        echo "-accel kvm"
    else
        echo "-accel tcg"
    fi
}

# Boots the guest, which runs guest-scenarios.sh (or the script $3) on the
# work folder $work and reports through the isa-debug-exit port: value 0x10
# (QEMU exit status 33) means every scenario passed. A QEMU error, a guest
# crash or reboot, and a hang never do.
run_guest() {
    local kernel=$1 initramfs=$2 script=${3:-$here/guest-scenarios.sh} status=0
    # Unknown name=value kernel parameters reach the guest's init as environment.
    local cmdline="console=ttyS0 panic=-1 loglevel=4 TORVEX_WORK=$work TORVEX_SCENARIOS=$script"
    # shellcheck disable=SC2046
    timeout --kill-after=10 "$limit" qemu-system-x86_64 \
        -M pc $(accel_options) -smp 1 -m 256M -nodefaults -display none -no-reboot \
        -kernel "$kernel/vmlinux" -initrd "$initramfs" -append "$cmdline" \
        -serial "file:$work/guest-console.log" -monitor none \
        -device isa-debug-exit,iobase=0xf4,iosize=0x04 \
        -fsdev local,id=hostroot,path=/,security_model=none,readonly=on,multidevs=remap \
        -device virtio-9p-pci,fsdev=hostroot,mount_tag=hostroot \
        -fsdev local,id=work,path="$work",security_model=none,multidevs=remap \
        -device virtio-9p-pci,fsdev=work,mount_tag=work ||
        status=$?
    return "$status"
}

# Guest $1 of $scenario_guests, in its own work folder $work/guest-$1; its QEMU
# exit status lands in qemu-status there.
scenarios_in_guest() {
    local status=0
    work=$root/guest-$1
    mkdir -p "$work"
    cat >"$work/guest.env" <<ENV
flasher='$flasher'
sim='$sim'
image='$image'
scenarios='${TORVEX_QEMU_SCENARIOS:-}'
share='$1 $scenario_guests'
ENV
    run_guest "$2" "$root/initramfs.cpio" || status=$?
    echo "$status" >"$work/qemu-status"
}

# A guest's verdict: 0 when every scenario it ran passed.
guest_verdict() {
    local status
    status=$(cat "$root/guest-$1/qemu-status" 2>/dev/null || echo none)
    say "----- guest $1: qemu exit status $status; its console -----"
    cat "$root/guest-$1/guest-console.log" 2>/dev/null || true
    case "$status" in
    33) return 0 ;;
    3) say "FAIL: guest $1: a scenario failed (see above)" ;;
    124 | 137) say "FAIL: guest $1 did not finish within $limit s" ;;
    *) say "FAIL: guest $1: qemu ended with status $status (error, crash or reboot)" ;;
    esac
    return 1
}

main() {
    local kernel k status=0 started
    if [ "$#" -ne 4 ]; then
        sed -n '8,24p' "$0" >&2
        exit 2
    fi
    flasher=$(realpath "$1")
    sim=$(realpath "$2")
    image=$(realpath "$3")
    root=$(realpath -m "$4")
    for program in "$flasher" "$sim" "$image"; do
        [ -f "$program" ] || die "missing $program"
    done
    command -v qemu-system-x86_64 >/dev/null || die "qemu-system-x86_64 is not installed"
    [ -x /bin/busybox ] || die "/bin/busybox (busybox-static) is not installed"
    [ -x /usr/bin/setserial ] || die "/usr/bin/setserial is not installed"
    rm -rf "$root"
    mkdir -p "$root"
    kernel=$(kernel_dir)
    say "kernel $(cat "$kernel/version") from $kernel"
    work=$root make_initramfs "$kernel" "$root/initramfs.cpio"
    started=$(date +%s)
    for ((k = 0; k < scenario_guests; k++)); do
        scenarios_in_guest "$k" "$kernel" &
    done
    wait
    say "$scenario_guests guests ran $(($(date +%s) - started)) s"
    for ((k = 0; k < scenario_guests; k++)); do
        guest_verdict "$k" || status=1
    done
    say "----- flasher console, full update from application mode -----"
    cat "$root"/guest-*/application/flasher.out 2>/dev/null || say "(none)"
    [ "$status" -eq 0 ] || die "FAIL: see above"
    say "PASS: every scenario passed"
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
    main "$@"
fi
