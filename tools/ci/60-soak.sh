#!/usr/bin/env bash
# A short fault soak (about three minutes): the real program against the
# simulated dongle, faults drawn per run from a seed; one run in three has
# several dongles and flashers, and every run is judged on who wrote which
# dongle. The runs are bounded by time, not number, so the longer runs with
# several dongles do not stretch the gate. Fails on any false success, hang, crash or other broken
# invariant; the figures and the seed
# are printed, and one run can be replayed with
#   build-test/tools/torvex-soak --seed SEED --replay RUN
# Set SOAK_SEED to repeat a soak, SOAK_SECONDS to make it longer.
set -uo pipefail
cd "$(dirname "$0")/../.."

build=${BUILD_DIR:-build-test}
seed=${SOAK_SEED:-$(date +%s)}
seconds=${SOAK_SECONDS:-170}
[ -x "$build/tools/torvex-soak" ] || { echo "no $build/tools/torvex-soak: build first"; exit 1; }

# Most of a run is spent sleeping in the program's fixed pauses, so six runs
# share two cores without stretching the reply timeouts.
exec "$build/tools/torvex-soak" --program "$build/ZEL_USB_Flasher" --image firmware/CAN.bin \
    --seed "$seed" --runs 1000000 --seconds "$seconds" --jobs 6 --limit 30
