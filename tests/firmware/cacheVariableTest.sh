#!/usr/bin/env bash
# Builds the program around another image through TORVEX_FIRMWARE, as on a
# machine without GoogleTest (a build of the program alone needs none, while
# a test build that asks for it stops), checks that a simulated dongle ends
# up with exactly that image, then changes the file and checks that the
# build picks the change up.
# Usage: cacheVariableTest.sh SOURCE_DIR TORVEX_SIM IMAGE_A IMAGE_B
set -euo pipefail
source_dir=$1 sim=$2 image_a=$3 image_b=$4
work=$(mktemp -d /tmp/torvex-firmware-XXXXXX)
trap 'rm -rf "$work"' EXIT

cp "$image_a" "$work/release.bin"
without_gtest=(-DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON)
if cmake -S "$source_dir" -B "$work/test-build" "${without_gtest[@]}" -DTORVEX_REQUIRE_GTEST=ON \
    -DTORVEX_FIRMWARE="$work/release.bin" >"$work/test-configure.log" 2>&1; then
    echo "FAIL: a test build that requires GoogleTest configured without it"; exit 1
fi
cmake -S "$source_dir" -B "$work/build" "${without_gtest[@]}" \
    -DTORVEX_FIRMWARE="$work/release.bin" >"$work/configure.log" 2>&1 ||
    { cat "$work/configure.log"; echo "FAIL: the program does not configure without GoogleTest"; exit 1; }
grep -q "GoogleTest not found" "$work/configure.log" || { echo "FAIL: no notice that the tests are left out"; exit 1; }
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
