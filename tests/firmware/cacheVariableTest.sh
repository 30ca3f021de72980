#!/usr/bin/env bash
# Builds the program around another image through TORVEX_FIRMWARE, checks
# that a simulated dongle ends up with exactly that image, then changes the
# file and checks that the build picks the change up.
# Usage: cacheVariableTest.sh SOURCE_DIR TORVEX_SIM IMAGE_A IMAGE_B
set -euo pipefail
source_dir=$1 sim=$2 image_a=$3 image_b=$4
work=$(mktemp -d /tmp/torvex-firmware-XXXXXX)
trap 'rm -rf "$work"' EXIT

cp "$image_a" "$work/release.bin"
cmake -S "$source_dir" -B "$work/build" -DBUILD_TESTING=OFF \
    -DTORVEX_FIRMWARE="$work/release.bin" >"$work/configure.log" 2>&1
if grep -q "test image" "$work/configure.log"; then
    echo "FAIL: the notice about the test image shows for another image"; exit 1
fi
cmake --build "$work/build" --target ZEL_USB_Flasher >/dev/null

flash_with() { # IMAGE: updates a dongle in its bootloader and compares its flash with IMAGE
    "$sim" --mode bootloader --expect "$1" -- "$work/build/ZEL_USB_Flasher" >"$work/run.log" 2>&1
}
flash_with "$image_a" || { cat "$work/run.log"; echo "FAIL: flash differs from the chosen image"; exit 1; }

cp "$image_b" "$work/release.bin"
cmake --build "$work/build" --target ZEL_USB_Flasher >/dev/null
flash_with "$image_b" || { cat "$work/run.log"; echo "FAIL: the changed image was not rebuilt in"; exit 1; }
echo "PASS: the program carries the image TORVEX_FIRMWARE names, and follows its changes"
