#!/usr/bin/env bash
# torvex-sim's verdict over several dongles: every dongle a program wrote to
# must hold the image, and one at least.
# Usage: severalDonglesTest.sh TORVEX_SIM FLASHER OTHER_IMAGE_FLASHER IMAGE
set -euo pipefail
sim=$1 flasher=$2 other=$3 image=$4
log=$(mktemp /tmp/torvex-several-XXXXXX)
trap 'rm -f "$log"' EXIT

expect_status() { # WANTED WHAT PROGRAM...: two dongles in their bootloaders
    local wanted=$1 what=$2 status=0
    shift 2
    "$sim" --mode bootloader --dongle --mode bootloader --usb-path 2-1 --expect "$image" \
        -- "$@" >"$log" 2>&1 || status=$?
    if [ "$status" -ne "$wanted" ]; then
        cat "$log"; echo "FAIL: $what: exit status $status, not $wanted"; exit 1
    fi
}
expect_status 0 "one dongle updated, the other untouched" "$flasher"
grep -q "dongle 2 at 2-1 (bootloader mode, not written): its flash differs" "$log" ||
    { cat "$log"; echo "FAIL: the untouched dongle is not named"; exit 1; }
expect_status 3 "no dongle written" true
expect_status 3 "one dongle written with another image" sh -c "'$flasher' & '$other' & wait"
echo "PASS: torvex-sim judges each dongle written to"
