#!/usr/bin/env bash
# Runs the end-to-end suite, expectations unchanged, against the static
# program built for arm64 and for armhf with Debian's cross compilers
# (toolchain files in cmake/). The rig and the simulated dongle are native
# and start each foreign program through qemu-user-static themselves, so
# binfmt_misc is not needed. Reads the native build in build-test/ that
# tools/run-tests.sh makes, for the rig and the tests.
set -uo pipefail
cd "$(dirname "$0")/../.." || exit 1

build=${BUILD_DIR:-build-test}
[ -x "$build/tests/e2e_tests" ] || { echo "no $build/tests/e2e_tests: build first"; exit 1; }

# suite ARCH MACHINE TOOLCHAIN EMULATOR: MACHINE as "file" names it.
suite() {
    local cross="build-$1-static"
    cmake -S . -B "$cross" -DCMAKE_TOOLCHAIN_FILE="cmake/$3" -DTORVEX_STATIC=ON -DTORVEX_WERROR=ON \
        -DTORVEX_ALLOW_TEST_IMAGE=ON >/dev/null || return 1
    cmake --build "$cross" -j"$(nproc)" >/dev/null || return 1
    TORVEX_EMULATOR=$4 bash tests/packaging/check-static.sh "$cross/ZEL_USB_Flasher" "$2" || return 1
    echo "=== end-to-end suite on $1 ($2) through $4"
    # firmware.* builds and runs native programs of its own.
    TORVEX_FLASHER="$PWD/$cross/ZEL_USB_Flasher" TORVEX_VARIANT_DIR="$PWD/$cross/tests" TORVEX_EMULATOR=$4 \
        ctest --test-dir "$build" -L e2e -E '^firmware\.' -j2 --output-on-failure
}

failed=0
suite arm64 "ARM aarch64" toolchain-aarch64-linux-gnu.cmake qemu-aarch64-static || failed=1
suite armhf "ARM, EABI5" toolchain-arm-linux-gnueabihf.cmake qemu-arm-static || failed=1
exit $failed
