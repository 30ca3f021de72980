#!/usr/bin/env bash
# Runs inside a test guest, chrooted into the host's root: the fault soak
# with its dongle as a USB gadget on this guest's dummy_hcd, under the
# kernel's own cdc_acm driver. The guest does its share of the runs (one at
# a time) and keeps each run's outcome in the work folder, where the host
# judges them together with the other guests' runs.
#
# usage: guest-soak.sh WORKDIR   (WORKDIR/guest.env says what to run)
# exit status: the soak's (0 when every invariant held in this guest's runs)
set -euo pipefail

work=$1
soak='' flasher='' image='' seed='' runs='' shard='' seconds='' replay=''
# shellcheck source=/dev/null # written by run-kernel-soak.sh
source "$work/guest.env"
echo "[$(cut -d' ' -f1 /proc/uptime)] kernel $(uname -r), UDC $(ls /sys/class/udc), shard $shard"

# The bound only catches a hang. Six emulated guests share the host's cores,
# and the program counts its reply windows in polls, which an emulated guest
# stretches many times over: a run that takes 4 s alone was once killed at 30 s.
common=(--bus gadget --program "$flasher" --image "$image" --seed "$seed" --limit 60)
status=0
if [ -n "$replay" ]; then
    "$soak" "${common[@]}" --replay "$replay" >"$work/soak.out" 2>&1 || status=$?
else
    "$soak" "${common[@]}" --runs "$runs" --shard "$shard" --seconds "$seconds" --jobs 1 \
        --outcomes "$work/outcomes" >"$work/soak.out" 2>&1 || status=$?
fi
dmesg >"$work/guest-dmesg.log" 2>&1 || true
echo "[$(cut -d' ' -f1 /proc/uptime)] soak ended with status $status"
exit "$status"
