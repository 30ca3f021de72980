#!/usr/bin/env bash
# Fails unless the given program is one self-contained static executable for
# the given machine (as "file" names it: x86-64, ARM aarch64, ARM, EABI5):
# no program interpreter, no dynamic section, no shared library to load.
# A program for another machine is run through $TORVEX_EMULATOR (for example
# qemu-arm-static), which must be a static program itself.
# Usage: check-static.sh <program> [<machine>]
set -uo pipefail

program=${1:?program}
machine=${2:-x86-64}
emulator=${TORVEX_EMULATOR:-}
[ -x "$program" ] || { echo "FAIL: $program is not an executable file"; exit 1; }
description=$(file -b "$program")
echo "file: $description"
case $description in
    *ELF*"$machine"*"statically linked"* | *ELF*"$machine"*"static-pie linked"*) ;;
    *) echo "FAIL: $program is not a static $machine executable"; exit 1 ;;
esac
if readelf -lW "$program" | grep -q 'INTERP'; then
    echo "FAIL: $program asks for a program interpreter"
    exit 1
fi
if readelf -dW "$program" | grep -q 'NEEDED'; then
    echo "FAIL: $program needs shared libraries: $(readelf -dW "$program" | grep NEEDED)"
    exit 1
fi
# ldd's wording differs between versions; what matters is that it lists no library.
if ldd "$program" 2>&1 | grep -q '=>'; then
    echo "FAIL: ldd lists libraries for $program"
    exit 1
fi
# The proof: it runs in an empty root directory, with no library and no loader.
if [ "$(id -u)" -eq 0 ] && command -v chroot >/dev/null; then
    root=$(mktemp -d)
    trap 'rm -rf "$root"' EXIT
    cp "$program" "$root/ZEL_USB_Flasher"
    run=(/ZEL_USB_Flasher)
    if [ -n "$emulator" ]; then
        cp "$(command -v "$emulator")" "$root/emulator"
        run=(/emulator /ZEL_USB_Flasher)
    fi
    status=0
    output=$(chroot "$root" "${run[@]}" --help 2>&1) || status=$?
    if [ "$status" -ne 255 ] || [[ $output != "usage: "* ]]; then
        echo "FAIL: in an empty root, --help gave status $status and: $output"
        exit 1
    fi
    echo "runs in an empty root directory"
else
    echo "note: not root, so not tried in an empty root directory"
fi
echo "$program is static ($(stat -c %s "$program") bytes)"
