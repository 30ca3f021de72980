#!/usr/bin/env bash
# Runs the end-to-end suite, expectations unchanged, against each static ARM
# program of the release that 70-release.sh cross-built, on the processors of
# the boards it is for, through qemu-user's -cpu (qemu's default processor has
# every feature, and would hide a program that dies on a real board): the
# whole suite on one processor per program, an update of a simulated dongle
# on the others. The native rig and simulated dongle (build-test/) start each
# program through qemu-user-static themselves (QEMU_CPU is passed on), so
# binfmt_misc is not needed. --build-only only adds the test programs to the
# release's build trees. The three suites run at once.
set -uo pipefail
cd "$(dirname "$0")/../.." || exit 1

build=${BUILD_DIR:-build-test}
image=firmware/CAN.bin
[ -x "$build/tests/e2e_tests" ] || { echo "no $build/tests/e2e_tests: build first"; exit 1; }
# shellcheck source=tools/ci/release-trees.bash
source tools/ci/release-trees.bash
# shellcheck source=tools/ci/e2e-parts.bash
source tools/ci/e2e-parts.bash
# Three suites at once, their programs slowed by the emulator: five tests at
# once each. Eight each, beside the static suite, missed reply timeouts on a
# machine busy with other builds.
e2e_jobs=${FOREIGN_JOBS:-5}
version=$(release_version) || exit 1
build_only=false
[ "${1:-}" != --build-only ] || build_only=true
logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT

# suite ARCH MACHINE FILE_MACHINE EMULATOR CPU [CPU...]: the release's program
# for MACHINE (as "uname -m" names it; "file" names it FILE_MACHINE); the whole
# suite on the first CPU, an update on each other one.
suite() {
    local arch=$1 program=$release/out/ZEL_USB_Flasher-$version-$2 tree=$release/builds/$1-static emulator=$4 cpu=$5
    if $build_only; then
        add_test_programs "$tree" "$program"
        return
    fi
    [ -x "$tree/tests/ZEL_USB_Flasher_4092" ] || add_test_programs "$tree" "$program" || return 1
    cmp -s "$tree/ZEL_USB_Flasher" "$program" || { echo "FAIL: $tree does not hold the release's program"; return 1; }
    QEMU_CPU=$cpu TORVEX_EMULATOR=$emulator bash tests/packaging/check-static.sh "$program" "$3" || return 1
    echo "=== end-to-end suite on $arch ($3) through $emulator -cpu $cpu"
    # firmware.* builds and runs native programs of its own; sim.several_dongles
    # names its (native) programs itself: both are the main suite's.
    # The station's tests (label station) try the station's rule, not the
    # processor: the native suites run them.
    QEMU_CPU=$cpu TORVEX_FLASHER="$PWD/$program" TORVEX_VARIANT_DIR="$PWD/$tree/tests" \
        TORVEX_EMULATOR=$emulator e2e_ctest station --test-dir "$build" -L e2e -E '^(firmware\.|sim\.several_dongles$)' \
        --output-on-failure || return 1
    shift 5
    for cpu in "$@"; do
        "$build/tools/torvex-sim" --mode bootloader --expect "$image" -- \
            "$emulator" -cpu "$cpu" "$program" >"$logs/$arch-update.log" 2>&1 ||
            { cat "$logs/$arch-update.log"; echo "FAIL: $arch did not update a simulated dongle on $cpu"; return 1; }
        echo "=== $arch on $cpu: updated a simulated dongle with the image"
    done
}
# side_by_side ARCH ARGS...: the suite in the background, its output kept for later.
side_by_side() {
    if $build_only; then
        suite "$@" || echo failed >"$logs/$1.failed"
    else
        { suite "$@" >"$logs/$1.log" 2>&1 || echo failed >"$logs/$1.failed"; } &
    fi
    arches+=("$1")
}

arches=()
# Raspberry Pi 3 and Zero 2 (Cortex-A53), Pi 4 (Cortex-A72), Pi 5 (Cortex-A76).
side_by_side arm64 aarch64 "ARM aarch64" qemu-aarch64-static cortex-a53 cortex-a72 cortex-a76
# Raspberry Pi 2 (Cortex-A7).
side_by_side armhf armv7l "ARM, EABI5" qemu-arm-static cortex-a7
# Raspberry Pi 1 and Zero (ARM1176).
side_by_side armel armv6l "ARM, EABI5" qemu-arm-static arm1176
wait
failed=0
for arch in "${arches[@]}"; do
    [ -f "$logs/$arch.log" ] && { echo "===== $arch"; cat "$logs/$arch.log"; }
    [ ! -f "$logs/$arch.failed" ] || { echo "FAIL: $arch"; failed=1; }
done
exit $failed
