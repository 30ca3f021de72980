#!/usr/bin/env bash
# Runs the real program under Valgrind's memcheck against the simulated
# dongle: a full update from application mode, one from bootloader mode, and
# two that fail (no dongle at all; the dongle pulled out half way). Any
# memory error, and any block definitely, indirectly or possibly lost, fails
# the gate. The device objects stay reachable until exit on purpose and are
# not counted. Reads the build in build-test/ that tools/run-tests.sh makes.
set -uo pipefail
cd "$(dirname "$0")/../.."

build=${BUILD_DIR:-build-test}
sim="$build/tools/torvex-sim"
program="$build/ZEL_USB_Flasher"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
[ -x "$sim" ] && [ -x "$program" ] || { echo "no $sim or $program: build first"; exit 1; }

memcheckErrors=99
valgrind=(valgrind --tool=memcheck --leak-check=full --show-leak-kinds=definite,indirect,possible
    --errors-for-leak-kinds=definite,indirect,possible --error-exitcode=$memcheckErrors
    --track-fds=no --quiet)

failed=0
# run NAME EXPECTED_STATUS EXPECT_FLASH_OK SIM_OPTIONS...
run() {
    local name=$1 expected=$2 flash=$3
    shift 3
    local log="$work/$name.log" report="$work/$name.report"
    # Valgrind makes every poll of the port slower, which only stretches the
    # reply timeouts; the limit is generous so that only a hang trips it.
    # setserial has nothing to set on a pseudo-terminal: the stand-in keeps
    # its complaint out of the log.
    "$sim" --quiet-setserial --limit 300 --expect firmware/CAN.bin --report "$report" "$@" -- \
        "${valgrind[@]}" --log-file="$work/$name.valgrind" "$program" --verbose >"$log" 2>&1
    local status=$?
    local matches
    matches=$(sed -n 's/^flash_matches=//p' "$report" 2>/dev/null)
    if [ "$status" -ne "$expected" ] || [ "$matches" != "$flash" ] || [ -s "$work/$name.valgrind" ]; then
        echo "FAILED: $name: status $status (want $expected), flash_matches=$matches (want $flash)"
        cat "$log" "$work/$name.valgrind"
        failed=1
    else
        echo "ok: $name: status $status, flash_matches=$matches, no memcheck report"
    fi
}

run from-application 0 1 --mode application
run from-bootloader 0 1 --mode bootloader
# The dongle is pulled out at its first frame and never comes back.
run unplugged-at-once 255 0 --mode bootloader --fault 0:unplug
run unplugged-mid-transfer 255 0 --mode application --fault 20:unplug
exit $failed
