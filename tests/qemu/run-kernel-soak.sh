#!/usr/bin/env bash
# The fault soak on the real Linux USB stack: several QEMU guests at once,
# each booting the stock Debian kernel of run-gadget-tests.sh, each with its
# own dummy_hcd, where torvex-soak plays the dongle as a configfs gadget
# under the kernel's cdc_acm driver and runs the unmodified flasher against
# it. Each guest does every Nth run of the seed; the host then judges all
# runs together, as one soak, with the soak's own invariants and report.
#
# usage: run-kernel-soak.sh SOAK FLASHER IMAGE WORKDIR
#   SOAK     the torvex-soak program
#   FLASHER  the flasher program (built from this tree, unmodified)
#   IMAGE    the firmware file the flasher carries
#   WORKDIR  scratch and result folder (made empty first)
# environment:
#   KSOAK_SEED     seed of the soak (default: the clock)
#   KSOAK_RUNS     number of runs (150)
#   KSOAK_GUESTS   guests at once (6)
#   KSOAK_SECONDS  a guest starts no run after this many seconds (600)
#   KSOAK_REPLAY   run only this run of the seed, in one guest, showing all it did
#   TORVEX_QEMU_CACHE, TORVEX_QEMU_ACCEL as for run-gadget-tests.sh
# exit status: 0 when every run was done and every invariant held
set -euo pipefail

# shellcheck source=tests/qemu/run-gadget-tests.sh
source "$(dirname "$0")/run-gadget-tests.sh"

seed=${KSOAK_SEED:-$(date +%s)}
runs=${KSOAK_RUNS:-150}
guests=${KSOAK_GUESTS:-6}
seconds=${KSOAK_SECONDS:-600}
replay=${KSOAK_REPLAY:-}
say() { echo "run-kernel-soak: $*"; }

# One guest doing shard $1 of $2; its QEMU exit status lands in qemu-status.
soak_in_guest() {
    local shard=$1 count=$2 kernel=$3 status=0
    work=$root/guest-$shard
    mkdir -p "$work"
    cat >"$work/guest.env" <<ENV
soak='$soak'
flasher='$flasher'
image='$image'
seed='$seed'
runs='$runs'
shard='$shard/$count'
seconds='$seconds'
replay='$replay'
ENV
    run_guest "$kernel" "$root/initramfs.cpio" "$here/guest-soak.sh" || status=$?
    echo "$status" >"$work/qemu-status"
}

# A guest that did not end through its own report (33: every invariant held,
# 3: one broke) crashed, hung or could not start: its share was not judged.
guests_ended_normally() {
    local k status ok=0
    for ((k = 0; k < guests; k++)); do
        status=$(cat "$root/guest-$k/qemu-status" 2>/dev/null || echo none)
        case "$status" in
        33 | 3) ;;
        *)
            say "guest $k: qemu exit status $status; its console:"
            cat "$root/guest-$k/guest-console.log" 2>/dev/null || true
            ok=1
            ;;
        esac
    done
    return "$ok"
}

soak_main() {
    local kernel k started elapsed merge=() status=0 done_runs
    if [ "$#" -ne 4 ]; then
        sed -n '9,22p' "$0" >&2
        exit 2
    fi
    soak=$(realpath "$1")
    flasher=$(realpath "$2")
    image=$(realpath "$3")
    root=$(realpath -m "$4")
    [ -n "$replay" ] && guests=1
    limit=$((seconds + 120))
    rm -rf "$root"
    mkdir -p "$root"
    kernel=$(kernel_dir)
    work=$root make_initramfs "$kernel" "$root/initramfs.cpio"
    say "seed $seed, $runs runs on $guests guests, kernel $(cat "$kernel/version")"
    started=$(date +%s)
    for ((k = 0; k < guests; k++)); do
        soak_in_guest "$k" "$guests" "$kernel" &
    done
    wait
    elapsed=$(($(date +%s) - started))
    if [ -n "$replay" ]; then
        cat "$root/guest-0/soak.out"
        guests_ended_normally && [ "$(cat "$root/guest-0/qemu-status")" = 33 ]
        return
    fi
    guests_ended_normally || status=1
    for ((k = 0; k < guests; k++)); do
        merge+=(--merge "$root/guest-$k/outcomes")
        touch "$root/guest-$k/outcomes"
    done
    "$soak" --seed "$seed" --wall "$elapsed" "${merge[@]}" || status=1
    done_runs=$(cat "$root"/guest-*/outcomes | grep -c '^run=' || true)
    if [ "$done_runs" -lt "$runs" ]; then
        say "only $done_runs of $runs runs were done within $seconds s"
        status=1
    fi
    say "replay one run with: KSOAK_SEED=$seed KSOAK_REPLAY=<run> $0 $*"
    return "$status"
}

soak_main "$@"
