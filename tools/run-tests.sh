#!/usr/bin/env bash
# Builds the flasher with warnings as errors and runs the whole test suite:
# the unit and end-to-end tests in CTest and every extra gate in tools/ci/
# (other builds of the same suite, checkers, the fault soaks, the release).
# Needs root: the end-to-end tests give the program a private /dev and sysfs.
# Builds in build-test/ (the gates read it there); build/ is the user's.
#
# Two phases (docs/development.md tells why): 1. build-test/, alone; 2. the
# suites and soaks one after another, sixteen tests at once, the other builds
# and checkers in two lanes at nice 10 and 19 beside them, the timing tests
# once more with a processor kept busy, the kernel soak and the sanitizer
# suite last. Each step's wall and processor time and the totals are printed
# at the end, and what failed once more.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
# shellcheck source=tools/ci/e2e-parts.bash
source tools/ci/e2e-parts.bash

export BUILD_DIR="build-test"
# The release gate makes this version; build-test carries it too, so that
# its end-to-end tests, run on the release's programs, expect their --version.
release_version=1.2.3
user_build_was_there=false
[ -e build ] && user_build_was_there=true
logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT
passed=0
failed=0
summary=()
failures=()
cpu_total=0
began=$(date +%s)

# The processor time a step took, its own and its children's, tells what a
# step costs on a busy machine, where its wall time tells little: each step
# ends with its shell's "times" in $logs/NAME.times.
cpu_seconds() {
    awk 'NR == 2 { split($1, u, /[ms]/); split($2, s, /[ms]/); printf "%d", u[1] * 60 + u[2] + s[1] * 60 + s[2] + 0.5 }' \
        "$logs/$1.times" 2>/dev/null || echo 0
}
# record NAME SECONDS STATUS
record() {
    local cpu verdict=passed
    cpu=$(cpu_seconds "$1")
    cpu_total=$((cpu_total + cpu))
    if [ "$3" -eq 0 ]; then
        passed=$((passed + 1))
    else
        verdict=FAILED
        failed=$((failed + 1))
        failures+=("$1")
        echo "=== FAILED: $1"
    fi
    summary+=("$(printf '%6d s %6d s  %s  %s' "$2" "$cpu" "$verdict" "$1")")
}
# what_failed: each failed step's failing checks once more, at the end of the
# log, where a reader of a long log looks first.
what_failed() {
    local name
    for name in "${failures[@]}"; do
        echo "===== what failed in $name"
        grep -E -A4 '^\[  FAILED  \]|Failure$|^FAILED|\*\*\*(Failed|Timeout|Exception)|ERROR: AddressSanitizer|runtime error:|tests FAILED:|^ *[0-9]+ - ' \
            "$logs/$name.log" | head -n 120
    done
}
# step NAME COMMAND...: runs one step in the foreground, its output kept too.
step() {
    local name=$1 start status
    shift
    echo "=== $name"
    start=$(date +%s)
    (
        "$@" 2>&1 | tee "$logs/$name.log"
        status=${PIPESTATUS[0]}
        times >"$logs/$name.times"
        exit "$status"
    )
    status=$?
    record "$name" $(($(date +%s) - start)) "$status"
}
# start NAME COMMAND...: starts a step in the background, its output kept
# apart; finish [NAME...] waits for those (by default all started) and prints
# their output in turn.
started=()
declare -A pids
start() {
    local name=$1
    shift
    echo "=== $name: started"
    (
        # A step queued behind another (niced) starts when that one ends.
        [ -z "${after:-}" ] || until [ -e "$logs/$after.status" ]; do sleep 1; done
        from=$(date +%s)
        status=0
        "$@" >"$logs/$name.log" 2>&1 </dev/null || status=$?
        times >"$logs/$name.times"
        echo "$status $(($(date +%s) - from))" >"$logs/$name.status"
    ) &
    pids[$name]=$!
    started+=("$name")
}
# niced LEVEL NAME COMMAND...: starts a step at nice LEVEL, in the background,
# once the step queued before it at that level has ended: each level is a
# lane of its own. The suites in the foreground (nice 0) go first.
declare -A last_niced
niced() {
    after=${last_niced[$1]:-} start "$2" nice -n "$1" "${@:3}"
    last_niced[$1]=$2
}
finish() {
    local name status seconds rest=() names=("$@")
    [ $# -gt 0 ] || names=("${started[@]}")
    for name in "${names[@]}"; do
        wait "${pids[$name]}"
    done
    for name in "${started[@]}"; do
        if ! printf '%s\n' "${names[@]}" | grep -qxF -- "$name"; then
            rest+=("$name")
            continue
        fi
        echo "=== $name"
        cat "$logs/$name.log"
        read -r status seconds <"$logs/$name.status" || { status=1 seconds=0; }
        record "$name" "$seconds" "$status"
    done
    started=("${rest[@]}")
}
# phase NAME: the time of the phase before it, then this one's start.
phase_name=
phase_from=$began
phase() {
    if [ -n "$phase_name" ]; then
        summary+=("$(printf '%6d s %8s  %6s  %s' $(($(date +%s) - phase_from)) "" "" "$phase_name")")
    fi
    phase_name=$1
    phase_from=$(date +%s)
    [ -z "$1" ] || echo "===== $1"
}

build_main() {
    cmake -S . -B "$BUILD_DIR" -DTORVEX_WERROR=ON -DTORVEX_ALLOW_TEST_IMAGE=ON -DTORVEX_REQUIRE_GTEST=ON \
        -DTORVEX_PACKAGE_VERSION="$release_version" &&
        cmake --build "$BUILD_DIR" -j"$(nproc)"
}
# CTest in build-test/ in three parts: the firmware.* tests, which build the
# program themselves, with the builds; the QEMU test, on its own; the rest,
# which mostly sleeps through the program's fixed waits, $e2e_jobs tests at
# once. Then the timing tests again, with a processor kept busy.
qemu_test() {
    ctest --test-dir "$BUILD_DIR" --output-on-failure -L qemu
}
main_suite() {
    e2e_ctest qemu --test-dir "$BUILD_DIR" --output-on-failure -E '^firmware\.'
}
# A user's machine may be compiling something meanwhile: the tests that play
# faults against the program's waits must pass with a core taken by a loop
# that never sleeps, at the priority of the tests, ended however they end.
timing_on_a_busy_machine() {
    (
        sh -c 'while :; do :; done' &
        spinner=$!
        trap 'kill "$spinner" 2>/dev/null; wait "$spinner" 2>/dev/null' EXIT
        ctest --test-dir "$BUILD_DIR" --output-on-failure -j"$e2e_jobs" -L timing
    )
}
no_build_folder_left() {
    if ! $user_build_was_there && [ -e build ]; then
        echo "a build/ folder was left behind; it is the user's, for builds with the dongle's firmware"
        return 1
    fi
}
# Every gate in tools/ci/ must have its place below: none is left out unseen.
gates_planned() {
    local gate missing=0
    for gate in tools/ci/*.sh; do
        grep -q "tools/ci/$(basename "$gate")" "$0" || { echo "$gate has no place in $0"; missing=1; }
    done
    return "$missing"
}

phase "phase 1: the build, alone"
step install tools/install-deps.sh
[ "$failed" -eq 0 ] || exit 1
step plan gates_planned
step build build_main

phase "phase 2: the suites and soaks, the other builds niced beside them"
# The suites mostly sleep through the program's fixed waits: sixteen tests
# at once, in the static amd64 suite too; twelve under the sanitizers; the
# three ARM suites at once, three tests each; twenty soak runs at once.
# (Rig::runOptions tells why the rig's programs poll as on a slower machine:
# before that, a page's reply now and then came after the program's window.)
# A QEMU guest beside them made replies late even so: the guests run alone in
# this lane, the QEMU test's two after the soak, the kernel soak's six before
# the sanitizer suite, which waits for its build.
# The builds and checkers take what the suites leave, in two lanes. At nice
# 10, what the suites wait for, in the order they need it, with what runs the
# program (the firmware.* tests, valgrind) before the kernel soak's guests
# start; then the release's second build, only compared with the first. At
# nice 19 the lint, which nothing waits for. None of the tests assumes how
# long the program's waits last, but a simulated dongle at nice 10 beside the
# ARM suites' emulators once answered a page after the program's window,
# under valgrind: that step takes nice 0 back (as root). The firmware.* tests
# mostly build: at nice 0 beside the static suite, that suite lost an update.
export e2e_jobs=16 FOREIGN_JOBS=3
niced 10 "70-release.sh --first-only" bash tools/ci/70-release.sh --first-only
niced 10 "20-static-suite.sh --build-only" bash tools/ci/20-static-suite.sh --build-only amd64 arm64 armhf armel
niced 10 "ctest: firmware.*" ctest --test-dir "$BUILD_DIR" --output-on-failure -j2 -R '^firmware\.'
niced 10 40-valgrind.sh nice -n -10 bash tools/ci/40-valgrind.sh
niced 10 "30-sanitizers.sh --build-only" bash tools/ci/30-sanitizers.sh --build-only
niced 10 70-release.sh bash tools/ci/70-release.sh
niced 19 50-lint.sh bash tools/ci/50-lint.sh
step "ctest: the rest" main_suite
e2e_jobs=8 step "ctest: timing, a core kept busy" timing_on_a_busy_machine
step 60-soak.sh bash tools/ci/60-soak.sh
step "ctest: qemu" qemu_test
finish "70-release.sh --first-only" "20-static-suite.sh --build-only"
step "20-static-suite.sh amd64" bash tools/ci/20-static-suite.sh amd64
step "20-static-suite.sh arm64 armhf armel" bash tools/ci/20-static-suite.sh arm64 armhf armel
finish "ctest: firmware.*" 40-valgrind.sh
step 65-kernel-soak.sh bash tools/ci/65-kernel-soak.sh
finish "30-sanitizers.sh --build-only"
e2e_jobs=12 step 30-sanitizers.sh bash tools/ci/30-sanitizers.sh
finish
step no_build_folder_left no_build_folder_left
phase ""

echo "===== times: wall clock, processor"
printf '%s\n' "${summary[@]}"
printf '%6d s %6d s  %6s  total\n' $(($(date +%s) - began)) "$cpu_total" ""
echo "suite steps: $passed passed, $failed failed"
what_failed
[ "$failed" -eq 0 ]
