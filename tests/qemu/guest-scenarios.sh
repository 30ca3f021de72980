#!/usr/bin/env bash
# Runs inside the test guest, chrooted into the host's root: plays the dongle
# with torvex-gadget on the dummy_hcd UDC and runs the unmodified flasher
# against the kernel's cdc_acm port, one scenario at a time. Each scenario is
# judged here; the exit status is 0 only when every one of them passed.
#
# usage: guest-scenarios.sh WORKDIR   (WORKDIR/guest.env names the programs)
set -euo pipefail

work=$1
flasher='' gadget='' image=''
# shellcheck source=/dev/null # written by run-gadget-tests.sh: flasher, gadget, image
source "$work/guest.env"
failures=0
scenario_dir=

say() { echo "[$(cut -d' ' -f1 /proc/uptime)] $*"; }
check() {
    local what=$1
    shift
    if "$@"; then
        say "  ok: $what"
    else
        say "  FAILED: $what"
        failures=$((failures + 1))
    fi
}

now_ms() { echo $(($(date +%s%N) / 1000000)); }

# The host's port of the dongle with product id $1, found by its modalias.
host_port() {
    local modalias name
    for modalias in /sys/class/tty/ttyACM*/device/modalias; do
        [ -e "$modalias" ] || continue
        if [[ $(<"$modalias") == usb:v0069p"$1"* ]]; then
            name=${modalias#/sys/class/tty/}
            echo "/dev/${name%%/*}"
            return 0
        fi
    done
    return 1
}

wait_for_port() {
    local product=$1 tries
    for ((tries = 0; tries < 200; tries++)); do
        host_port "$product" >/dev/null && return 0
        sleep 0.05
    done
    return 1
}

# Port numbers are only predictable once every earlier port has gone.
wait_no_ports() {
    local tries
    for ((tries = 0; tries < 100; tries++)); do
        compgen -G '/sys/class/tty/ttyACM*' >/dev/null || return 0
        sleep 0.05
    done
    return 1
}

report_value() { sed -n "s/^$1=//p" "$scenario_dir/gadget.report" 2>/dev/null || true; }
flasher_status() { cat "$scenario_dir/status"; }
not_printed() { ! grep -q "$1" "$scenario_dir/flasher.out"; }

# Everything the flasher printed, one record per line: the progress line is
# redrawn with carriage returns, so each redraw becomes a record of its own.
records() { tr '\r' '\n' <"$scenario_dir/flasher.out" | sed '/^$/d'; }
messages() { records | grep -Ev '^\[TORVEX\] +[0-9]+% \[' || true; }
progress() { records | grep -E '^\[TORVEX\] +[0-9]+% \[' || true; }

full_bar="[TORVEX] 100% [$(printf '|%.0s' {1..60})]"

expect_messages() {
    local expected
    expected=$(printf '%s\n' "$@")
    if [ "$(messages)" = "$expected" ]; then
        return 0
    fi
    say "  messages differ from the expected ones:"
    diff <(echo "$expected") <(messages) | sed 's/^/    /' || true
    return 1
}

# Starts the gadget with "$@", waits for the port with product id $1, runs
# the flasher against it, then collects the gadget's report. After a good
# update the gadget stops by itself once the new application is back ($2 =
# restart); otherwise ($2 = stop) it is stopped at once.
run_flasher_against_gadget() {
    local product=$1 ending=$2 gadget_pid tries ended
    shift 2
    "$gadget" --report "$scenario_dir/gadget.report" --expect "$image" --limit 90 "$@" \
        2>"$scenario_dir/gadget.err" &
    gadget_pid=$!
    if ! wait_for_port "$product"; then
        say "  the dongle's port never appeared"
        cat "$scenario_dir/gadget.err"
    fi
    say "  dongle on $(host_port "$product" || echo '(none)')"
    run_flasher
    if [ "$ending" = restart ]; then
        for ((tries = 0; tries < 100; tries++)); do
            kill -0 "$gadget_pid" 2>/dev/null || break
            sleep 0.1
        done
    fi
    kill -TERM "$gadget_pid" 2>/dev/null || true
    wait "$gadget_pid" || true
    ended=$(report_value ended)
    say "  gadget: ended=$ended ports='$(report_value ports)' flash_bytes=$(report_value flash_bytes)"
}

run_flasher() {
    local status=0 started
    started=$(now_ms)
    timeout 60 "$flasher" --verbose >"$scenario_dir/flasher.out" 2>"$scenario_dir/flasher.err" || status=$?
    now_ms >"$scenario_dir/ended_ms"
    echo "$status" >"$scenario_dir/status"
    say "  flasher: exit status $status after $(($(now_ms) - started)) ms"
}

begin() {
    scenario_dir=$work/$1
    mkdir -p "$scenario_dir"
    say "=== $1: $2"
    wait_no_ports || say "  a port from an earlier scenario is still there"
}

update_from_application() {
    begin application "full update of a dongle running its application"
    run_flasher_against_gadget 1000 restart --mode application
    check "exit status 0" [ "$(flasher_status)" = 0 ]
    check "the expected messages, no setserial warning" expect_messages \
        "[TORVEX] Detecting Torvex..." \
        "[TORVEX] Torvex detected! Entering bootloader mode..." \
        "[TORVEX] Detecting bootloader mode..." \
        "[TORVEX] Bootloader detected!" \
        "[TORVEX] Sending boot to app command..." \
        "[TORVEX] Booting to app successful!" \
        "[TORVEX] Update successful!"
    check "15 progress steps" [ "$(progress | wc -l)" = 15 ]
    check "the last progress step is full" [ "$(progress | tail -n 1)" = "$full_bar" ]
    check "nothing on standard error (setserial content)" [ ! -s "$scenario_dir/flasher.err" ]
    check "application on ttyACM0, bootloader on ttyACM1 (old port still held)" \
        grep -qxE 'ports=application:/dev/ttyACM0 bootloader:/dev/ttyACM1( .*)?' "$scenario_dir/gadget.report"
    check "the dongle's flash equals the image" [ "$(report_value flash_matches)" = 1 ]
    check "the new application came back" [ "$(report_value ended)" = restarted ]
}

update_from_bootloader() {
    begin bootloader "full update of a dongle already in its bootloader"
    run_flasher_against_gadget 2000 restart --mode bootloader
    local retry="[TORVEX] Could not connect to the device... Retrying..."
    check "exit status 0" [ "$(flasher_status)" = 0 ]
    check "the expected messages, no setserial warning" expect_messages \
        "[TORVEX] Detecting Torvex..." "$retry" "$retry" "$retry" \
        "[TORVEX] Looks like Torvex cannot be detected, checking if it's in bootloader mode already..." \
        "[TORVEX] Detecting bootloader mode..." \
        "[TORVEX] Bootloader detected!" \
        "[TORVEX] Sending boot to app command..." \
        "[TORVEX] Booting to app successful!" \
        "[TORVEX] Update successful!"
    check "the last progress step is full" [ "$(progress | tail -n 1)" = "$full_bar" ]
    check "bootloader on ttyACM0" grep -qxE 'ports=bootloader:/dev/ttyACM0( .*)?' "$scenario_dir/gadget.report"
    check "the dongle's flash equals the image" [ "$(report_value flash_matches)" = 1 ]
}

# Frame 0 asks for the bootloader, frame 1 checks it, then every page takes
# three frames: frame 20 is the first data frame of the seventh page.
unplugged_during_transfer() {
    begin unplugged "the dongle is pulled out in the middle of the page transfer"
    run_flasher_against_gadget 1000 stop --mode application --fault 20:unplug
    local unplugged ended
    unplugged=$(report_value unplugged_at_ms)
    ended=$(cat "$scenario_dir/ended_ms" || true)
    check "exit status 255" [ "$(flasher_status)" = 255 ]
    check "failure verdict last" [ "$(messages | tail -n 1)" = \
        "[TORVEX] Update Failed. Please reconnect the dongle and try again!" ]
    check "no success message" not_printed "Update successful"
    check "unplugged after six pages" [ "$(report_value flash_bytes)" = $((6 * 2048)) ]
    say "  the flasher ended $((ended - unplugged)) ms after the unplug"
    check "the unplug happened" [ "$unplugged" -gt 0 ]
    check "ended within 3 s of the unplug" [ $((ended - unplugged)) -lt 3000 ]
}

no_dongle() {
    begin absent "no dongle at all"
    run_flasher
    check "exit status 255" [ "$(flasher_status)" = 255 ]
    check "no success message" not_printed "Update successful"
    check "no bootloader, then the failure verdict" expect_messages \
        "[TORVEX] Detecting Torvex..." \
        "[TORVEX] Could not connect to the device... Retrying..." \
        "[TORVEX] Could not connect to the device... Retrying..." \
        "[TORVEX] Could not connect to the device... Retrying..." \
        "[TORVEX] Looks like Torvex cannot be detected, checking if it's in bootloader mode already..." \
        "[TORVEX] Detecting bootloader mode..." \
        "[TORVEX] Could not connect to the device... Retrying..." \
        "[TORVEX] Could not connect to the device... Retrying..." \
        "[TORVEX] Could not connect to the device... Retrying..." \
        "[TORVEX] Bootloader mode could not be entered!" \
        "[TORVEX] Update Failed. Please reconnect the dongle and try again!"
}

say "kernel $(uname -r), UDC $(ls /sys/class/udc)"
update_from_application
update_from_bootloader
unplugged_during_transfer
no_dongle
dmesg >"$work/guest-dmesg.log" 2>&1 || true
say "$failures failed checks"
[ "$failures" -eq 0 ]
