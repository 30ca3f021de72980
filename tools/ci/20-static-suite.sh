#!/usr/bin/env bash
# Runs the end-to-end suite, expectations unchanged, against the release's
# static program for each TARGET (a Debian architecture: amd64, arm64, armhf,
# armel), the one-file build users get, which 70-release.sh built (twice).
# Usage: 20-static-suite.sh [--build-only] TARGET...
#
# Each program is checked to be one static executable for its machine that
# runs in an empty root (tests/packaging/check-static.sh), then build-test/'s
# end-to-end tests run on it, with the test programs added to the release's
# build tree of that target (--build-only does only that, for every TARGET).
# The firmware.* tests build programs of their own and are the main suite's.
#
# amd64 runs natively, and also the several-dongles check on the program and
# the packaging tests of its build tree (its install tree, manual page and
# package).
#
# A foreign target runs through qemu-user with the -cpu of the boards it is
# for (qemu's default processor has every feature, and would hide a program
# that dies on a real board): the whole suite on the first processor, an
# update of a simulated dongle on the others. The native rig and simulated
# dongle start each program through qemu-user-static themselves (QEMU_CPU is
# passed on), so binfmt_misc is not needed. The station's tests (label
# station) try the station's rule, not the processor: the native suites run
# them.
#
# Several TARGETs run at once, their output kept apart and printed in turn.
set -uo pipefail
cd "$(dirname "$0")/../.." || exit 1

build=${BUILD_DIR:-build-test}
image=firmware/CAN.bin
# shellcheck source=tools/ci/release-trees.bash
source tools/ci/release-trees.bash
# shellcheck source=tools/ci/e2e-parts.bash
source tools/ci/e2e-parts.bash

# Per target: the machine as "uname -m" names it (the program's suffix), as
# "file" names it, the emulator, and the processors of its boards: Raspberry
# Pi 3 and Zero 2 (Cortex-A53), Pi 4 (Cortex-A72), Pi 5 (Cortex-A76), Pi 2
# (Cortex-A7), Pi 1 and Zero (ARM1176).
declare -A machines=([amd64]=x86_64 [arm64]=aarch64 [armhf]=armv7l [armel]=armv6l)
declare -A file_machine=([amd64]=x86-64 [arm64]="ARM aarch64" [armhf]="ARM, EABI5" [armel]="ARM, EABI5")
declare -A emulators=([amd64]="" [arm64]=qemu-aarch64-static [armhf]=qemu-arm-static [armel]=qemu-arm-static)
declare -A processors=([amd64]="" [arm64]="cortex-a53 cortex-a72 cortex-a76" [armhf]=cortex-a7 [armel]=arm1176)

build_only=false
[ "${1:-}" != --build-only ] || { build_only=true; shift; }
[ $# -gt 0 ] || { echo "usage: $0 [--build-only] TARGET... (${!machines[*]})"; exit 2; }
for target in "$@"; do
    [ -n "${machines[$target]:-}" ] || { echo "unknown target $target: one of ${!machines[*]}"; exit 2; }
done
$build_only || [ -x "$build/tests/e2e_tests" ] || { echo "no $build/tests/e2e_tests: build first"; exit 1; }
version=$(release_version) || exit 1
logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT

# The tests mostly sleep through the program's fixed waits: eight at once
# natively (e2e_jobs). A foreign program is slowed by the emulator, and three
# foreign suites run at once: five tests at once each (FOREIGN_JOBS). Eight
# each, beside the static suite, missed reply timeouts on a machine busy with
# other builds; six each, with no other suite beside them, passed once and
# failed the next run.
foreign_jobs=${FOREIGN_JOBS:-5}

# suite TARGET
suite() {
    local target=$1 program=$release/out/ZEL_USB_Flasher-$version-${machines[$1]} tree=$release/builds/$1
    local emulator=${emulators[$1]} cpus
    read -r -a cpus <<<"${processors[$1]}"
    if $build_only; then
        add_test_programs "$tree" "$program"
        return
    fi
    [ -x "$tree/tests/ZEL_USB_Flasher_4092" ] || add_test_programs "$tree" "$program" || return 1
    cmp -s "$tree/ZEL_USB_Flasher" "$program" || { echo "FAIL: $tree does not hold the release's program"; return 1; }
    QEMU_CPU=${cpus[0]:-} TORVEX_EMULATOR=$emulator \
        bash tests/packaging/check-static.sh "$program" "${file_machine[$target]}" || return 1
    if [ -z "$emulator" ]; then
        native_suite "$program" "$tree"
    else
        foreign_suite "$target" "$program" "$tree" "$emulator" "${cpus[@]}"
    fi
}
# sim.several_dongles names its programs itself, so it runs apart, natively.
e2e_tests=(--test-dir "$build" --output-on-failure -L e2e -E '^(firmware\.|sim\.several_dongles$)')

# native_suite PROGRAM TREE
native_suite() {
    echo "=== end-to-end suite on $1"
    TORVEX_FLASHER=$1 TORVEX_VARIANT_DIR=$2/tests e2e_ctest '' "${e2e_tests[@]}" || return 1
    echo "=== sim.several_dongles on the static program"
    bash tests/e2e/severalDonglesTest.sh "$build/tools/torvex-sim" "$1" "$2/tests/ZEL_USB_Flasher_4092" "$image" ||
        return 1
    # The install tree, the manual page and the package of the release's
    # static build. check-static.sh ran above on the same bytes, and
    # demo_dependencies reads no build tree: the main suite runs it.
    echo "=== packaging tests of $2"
    ctest --test-dir "$2" --output-on-failure -L packaging \
        -E '^(firmware\..*|packaging\.static_program|packaging\.demo_dependencies)$'
}
# foreign_suite TARGET PROGRAM TREE EMULATOR CPU [CPU...]
foreign_suite() {
    local target=$1 program=$2 tree=$3 emulator=$4 cpu=$5
    shift 5
    echo "=== end-to-end suite on $target (${file_machine[$target]}) through $emulator -cpu $cpu"
    QEMU_CPU=$cpu TORVEX_FLASHER=$program TORVEX_VARIANT_DIR=$tree/tests TORVEX_EMULATOR=$emulator \
        e2e_jobs=$foreign_jobs e2e_ctest station "${e2e_tests[@]}" || return 1
    for cpu in "$@"; do
        "$build/tools/torvex-sim" --mode bootloader --expect "$image" -- \
            "$emulator" -cpu "$cpu" "$program" >"$logs/$target-update.log" 2>&1 ||
            { cat "$logs/$target-update.log"; echo "FAIL: $target did not update a simulated dongle on $cpu"; return 1; }
        echo "=== $target on $cpu: updated a simulated dongle with the image"
    done
}

if [ $# -eq 1 ] || $build_only; then
    # One at a time in the foreground (the builds take every processor).
    failed=0
    for target in "$@"; do
        suite "$target" || { echo "FAIL: $target"; failed=1; }
    done
    exit $failed
fi
for target in "$@"; do
    { suite "$target" >"$logs/$target.log" 2>&1 || echo failed >"$logs/$target.failed"; } &
done
wait
failed=0
for target in "$@"; do
    echo "===== $target"
    cat "$logs/$target.log"
    [ ! -f "$logs/$target.failed" ] || { echo "FAIL: $target"; failed=1; }
done
exit $failed
