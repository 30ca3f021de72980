#!/usr/bin/env bash
# A short fault soak: 300 runs of the real program against the simulated
# dongle, faults drawn per run from a seed; some runs have several dongles
# and flashers, and are judged on who wrote which dongle. Fails on any false
# success, hang, crash or other broken invariant, and when fewer runs than
# asked for were done: the time bound (600 s) is there only against a soak
# that hangs. The figures and the seed are printed, and one run can be
# replayed with
#   build-test/tools/torvex-soak --seed SEED --replay RUN
# Set SOAK_SEED to repeat a soak, SOAK_RUNS to make it longer, SOAK_SECONDS
# to change the bound, SOAK_JOBS for the runs at once.
set -uo pipefail
cd "$(dirname "$0")/../.." || exit 1

build=${BUILD_DIR:-build-test}
seed=${SOAK_SEED:-$(date +%s)}
runs=${SOAK_RUNS:-300}
seconds=${SOAK_SECONDS:-600}
# Most of a run is spent sleeping in the program's fixed pauses: twenty runs
# at once take less than half a processor.
jobs=${SOAK_JOBS:-20}
[ -x "$build/tools/torvex-soak" ] || { echo "no $build/tools/torvex-soak: build first"; exit 1; }

out=$(mktemp)
trap 'rm -f "$out"' EXIT
status=0
"$build/tools/torvex-soak" --program "$build/ZEL_USB_Flasher" --image firmware/CAN.bin \
    --seed "$seed" --runs "$runs" --seconds "$seconds" --jobs "$jobs" --limit 30 | tee "$out" ||
    status=1
done_runs=$(sed -n 's/^soak: \([0-9]*\) runs.*/\1/p' "$out")
if [ "${done_runs:-0}" -lt "$runs" ]; then
    echo "FAIL: only ${done_runs:-0} of $runs runs were done within $seconds s"
    status=1
fi
exit "$status"
