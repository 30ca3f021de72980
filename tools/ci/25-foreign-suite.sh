#!/usr/bin/env bash
# Runs the end-to-end suite, expectations unchanged, against each static ARM
# program that a release holds, cross-built with Debian's cross compilers
# (toolchain files in cmake/), on the processors of the boards it is for,
# through qemu-user's -cpu: the whole suite on one processor per program and
# an update of a simulated dongle on the others. qemu's default processor
# has every feature, and would hide a program that dies on a real board. The
# rig and the simulated dongle are native and start each foreign program
# through qemu-user-static themselves (QEMU_CPU, which they pass on, chooses
# its processor), so binfmt_misc is not needed. Reads the native build in
# build-test/ that tools/run-tests.sh makes, for the rig and the tests.
set -uo pipefail
cd "$(dirname "$0")/../.." || exit 1

build=${BUILD_DIR:-build-test}
image=firmware/CAN.bin
[ -x "$build/tests/e2e_tests" ] || { echo "no $build/tests/e2e_tests: build first"; exit 1; }

# suite ARCH MACHINE TOOLCHAIN EMULATOR CPU [CPU...]: MACHINE as "file" names
# it; the whole suite on the first CPU, an update on each other one.
suite() {
    local arch=$1 cross="build-$1-static" emulator=$4 cpu=$5
    cmake -S . -B "$cross" -DCMAKE_TOOLCHAIN_FILE="cmake/$3" -DTORVEX_STATIC=ON -DTORVEX_WERROR=ON \
        -DTORVEX_ALLOW_TEST_IMAGE=ON >/dev/null || return 1
    cmake --build "$cross" -j"$(nproc)" >/dev/null || return 1
    QEMU_CPU=$cpu TORVEX_EMULATOR=$emulator bash tests/packaging/check-static.sh "$cross/ZEL_USB_Flasher" "$2" ||
        return 1
    echo "=== end-to-end suite on $1 ($2) through $emulator -cpu $cpu"
    # firmware.* builds and runs native programs of its own.
    QEMU_CPU=$cpu TORVEX_FLASHER="$PWD/$cross/ZEL_USB_Flasher" TORVEX_VARIANT_DIR="$PWD/$cross/tests" \
        TORVEX_EMULATOR=$emulator ctest --test-dir "$build" -L e2e -E '^firmware\.' -j2 --output-on-failure ||
        return 1
    shift 5
    for cpu in "$@"; do
        "$build/tools/torvex-sim" --mode bootloader --expect "$image" -- \
            "$emulator" -cpu "$cpu" "$cross/ZEL_USB_Flasher" >"$cross/update.log" 2>&1 ||
            { cat "$cross/update.log"; echo "FAIL: $arch did not update a simulated dongle on $cpu"; return 1; }
        echo "=== $arch on $cpu: updated a simulated dongle with the image"
    done
}

failed=0
# Raspberry Pi 3 and Zero 2 (Cortex-A53), Pi 4 (Cortex-A72), Pi 5 (Cortex-A76).
suite arm64 "ARM aarch64" toolchain-aarch64-linux-gnu.cmake qemu-aarch64-static cortex-a53 cortex-a72 cortex-a76 ||
    failed=1
# Raspberry Pi 2 (Cortex-A7).
suite armhf "ARM, EABI5" toolchain-arm-linux-gnueabihf.cmake qemu-arm-static cortex-a7 || failed=1
# Raspberry Pi 1 and Zero (ARM1176).
suite armel "ARM, EABI5" toolchain-arm-linux-gnueabi.cmake qemu-arm-static arm1176 || failed=1
exit $failed
