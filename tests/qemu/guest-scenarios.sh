#!/usr/bin/env bash
# Runs inside the test guest, chrooted into the host's root: plays the dongle
# with torvex-sim --bus gadget on the dummy_hcd UDC and runs the unmodified flasher
# against the kernel's cdc_acm port, one scenario at a time. Each scenario is
# judged here; the exit status is 0 only when every one of them passed.
#
# usage: guest-scenarios.sh WORKDIR   (WORKDIR/guest.env names the programs)
set -euo pipefail

work=$1
flasher='' sim='' image='' scenarios='' share='0 1'
# shellcheck source=/dev/null # written by run-gadget-tests.sh: flasher, sim, image, scenarios, share
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
    local product=$1 ending=$2 gadget_pid ended
    shift 2
    "$sim" --bus gadget --report "$scenario_dir/gadget.report" --expect "$image" --limit 90 "$@" \
        2>"$scenario_dir/gadget.err" &
    gadget_pid=$!
    if ! wait_for_port "$product"; then
        say "  the dongle's port never appeared"
        cat "$scenario_dir/gadget.err"
    fi
    say "  dongle on $(host_port "$product" || echo '(none)')"
    run_flasher
    [ "$ending" = restart ] && wait_for_exit "$gadget_pid"
    end_process "$gadget_pid"
    ended=$(report_value ended)
    say "  gadget: ended=$ended ports='$(report_value ports)' flash_bytes=$(report_value flash_bytes)"
}

# Runs the flasher with --verbose and the arguments "$@".
run_flasher() { run_flasher_with --verbose "$@"; }

# Runs the flasher with the arguments "$@" only: --verbose must not come
# before --all.
run_flasher_with() {
    local status=0 started
    started=$(now_ms)
    timeout 60 "$flasher" "$@" >"$scenario_dir/flasher.out" 2>"$scenario_dir/flasher.err" || status=$?
    now_ms >"$scenario_dir/ended_ms"
    echo "$status" >"$scenario_dir/status"
    say "  flasher: exit status $status after $(($(now_ms) - started)) ms"
}

# Gives process $1 up to 10 s to end by itself.
wait_for_exit() {
    local tries
    for ((tries = 0; tries < 100; tries++)); do
        kill -0 "$1" 2>/dev/null || return 0
        sleep 0.1
    done
}

end_process() {
    kill -TERM "$1" 2>/dev/null || true
    wait "$1" || true
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
    check "the expected messages, no setserial warning" expect_application_update_messages
    check "15 progress steps" [ "$(progress | wc -l)" = 15 ]
    check "the last progress step is full" [ "$(progress | tail -n 1)" = "$full_bar" ]
    check "nothing on standard error (setserial content)" [ ! -s "$scenario_dir/flasher.err" ]
    check "application on ttyACM0, bootloader on ttyACM1 (old port still held)" \
        grep -qxE 'ports=application:/dev/ttyACM0 bootloader:/dev/ttyACM1( .*)?' "$scenario_dir/gadget.report"
    check "the dongle's flash equals the image" [ "$(report_value flash_matches)" = 1 ]
    check "the new application came back" [ "$(report_value ended)" = restarted ]
}

# The verbose messages of an update of a dongle running its application.
expect_application_update_messages() {
    expect_messages \
        "[TORVEX] Detecting Torvex..." \
        "[TORVEX] Torvex detected! Entering bootloader mode..." \
        "[TORVEX] Detecting bootloader mode..." \
        "[TORVEX] Bootloader detected!" \
        "[TORVEX] Sending boot to app command..." \
        "[TORVEX] Booting to app successful!" \
        "[TORVEX] Update successful!"
}

# The verbose messages of an update of a dongle found in its bootloader.
expect_bootloader_update_messages() {
    local retry="[TORVEX] Could not connect to the device... Retrying..."
    expect_messages \
        "[TORVEX] Detecting Torvex..." "$retry" "$retry" "$retry" \
        "[TORVEX] Looks like Torvex cannot be detected, checking if it's in bootloader mode already..." \
        "[TORVEX] Detecting bootloader mode..." \
        "[TORVEX] Bootloader detected!" \
        "[TORVEX] Sending boot to app command..." \
        "[TORVEX] Booting to app successful!" \
        "[TORVEX] Update successful!"
}

update_from_bootloader() {
    begin bootloader "full update of a dongle already in its bootloader"
    run_flasher_against_gadget 2000 restart --mode bootloader
    check "exit status 0" [ "$(flasher_status)" = 0 ]
    check "the expected messages, no setserial warning" expect_bootloader_update_messages
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

# Two dongles, each a gadget on its own device controller: dummy_udc.N is
# wired to the host controller dummy_hcd.N, so each dongle has its own bus
# and port path. The dongle's name in the checks is its label, A or B.
declare -A gadget_pid gadget_udc=([A]=dummy_udc.0 [B]=dummy_udc.1)

report_of() { sed -n "s/^$2=//p" "$scenario_dir/$1.report" 2>/dev/null || true; }

# The host's port of dongle $1 with product id $2: the port of that
# product on its controller's bus.
port_of() {
    local tty hcd=dummy_hcd.${gadget_udc[$1]#dummy_udc.}
    for tty in /sys/class/tty/ttyACM*; do
        [ -e "$tty" ] || continue
        if [[ $(readlink "$tty") == */"$hcd"/* && $(<"$tty/device/modalias") == usb:v0069p"$2"* ]]; then
            echo "/dev/${tty##*/}"
            return 0
        fi
    done
    return 1
}

# Port path <busnum>-<devpath> of the USB device behind port $1, as sysfs
# shows it.
port_path_of() {
    local device=/sys/class/tty/${1#/dev/}/device/..
    echo "$(<"$device/busnum")-$(<"$device/devpath")"
}

# Starts dongle $1 with "$@" and waits for its port (product id $2).
start_dongle() {
    local label=$1 product=$2 tries
    shift 2
    "$sim" --bus gadget --gadget-name "dongle$label" --udc "${gadget_udc[$label]}" --limit 90 --expect "$image" \
        --report "$scenario_dir/$label.report" "$@" 2>"$scenario_dir/$label.err" &
    gadget_pid[$label]=$!
    for ((tries = 0; tries < 200; tries++)); do
        port_of "$label" "$product" >/dev/null && break
        sleep 0.05
    done
    say "  dongle $label: $(port_of "$label" "$product" || echo '(no port)')"
}

# Lets dongle $1 end by itself (its new application came back) within 10 s,
# or stops it.
stop_dongle() {
    local label=$1
    wait_for_exit "${gadget_pid[$1]}"
    end_process "${gadget_pid[$1]}"
    say "  dongle $label: ended=$(report_of "$label" ended) ports='$(report_of "$label" ports)'" \
        "frames=$(report_of "$label" frames) flash_bytes=$(report_of "$label" flash_bytes)"
}

stop_dongle_now() {
    kill -TERM "${gadget_pid[$1]}" 2>/dev/null || true
    stop_dongle "$1"
}

# B waits in its bootloader on the lower port number (it comes first), A
# runs its application on the other bus.
plug_in_two_dongles() {
    start_dongle B 2000 --mode bootloader --serial TVX-B --bootloader-serial ''
    start_dongle A 1000 --mode application --serial TVX-A --bootloader-serial TVX-A-BOOT
    path_a=$(port_path_of "$(port_of A 1000)")
    path_b=$(port_path_of "$(port_of B 2000)")
    say "  port paths: A $path_a, B $path_b"
    check "B on ttyACM0, A on ttyACM1" [ "$(port_of B 2000):$(port_of A 1000)" = /dev/ttyACM0:/dev/ttyACM1 ]
    check "two different port paths" [ "$path_a" != "$path_b" ]
}

# Dongle $1 received no frame and stayed on the bus in mode $2 throughout.
untouched() {
    [ "$(report_of "$1" frames)" = 0 ] && [ "$(report_of "$1" flash_bytes)" = 0 ] &&
        [[ $(report_of "$1" ports) =~ ^$2:[^[:space:]]*$ ]]
}

# With no option the flasher follows the dongle it switched: the bootloader
# waiting on a lower port number is another dongle.
two_dongles_follow_switched() {
    begin follow "two dongles, no option: the switched one is written"
    local path_a path_b
    plug_in_two_dongles
    list_matches_sysfs
    run_flasher
    stop_dongle A
    stop_dongle_now B
    check "exit status 0" [ "$(flasher_status)" = 0 ]
    check "the messages of an update from application mode" expect_application_update_messages
    check "A's flash equals the image" [ "$(report_of A flash_matches)" = 1 ]
    check "A's new application came back" [ "$(report_of A ended)" = restarted ]
    check "A's bootloader on ttyACM2 (ttyACM0 is B's, ttyACM1 still held)" grep -qxE \
        'ports=application:/dev/ttyACM1 bootloader:/dev/ttyACM2( .*)?' "$scenario_dir/A.report"
    check "B received no frame, its flash untouched, still in its bootloader" untouched B bootloader
}

# --path names the dongle waiting in its bootloader; the other one's port is
# never opened, so it receives nothing.
two_dongles_path() {
    begin path "two dongles, --path names the one in its bootloader"
    local path_a path_b
    plug_in_two_dongles
    list_matches_sysfs
    run_flasher --path "$path_b"
    stop_dongle B
    stop_dongle_now A
    check "exit status 0" [ "$(flasher_status)" = 0 ]
    check "the messages of an update from bootloader mode" expect_bootloader_update_messages
    check "B's flash equals the image" [ "$(report_of B flash_matches)" = 1 ]
    check "B's new application came back" [ "$(report_of B ended)" = restarted ]
    check "A received no frame, its flash untouched, still in its application" untouched A application
    check "A never left the bus" [ "$(report_of A ports)" = application:/dev/ttyACM1 ]
}

# --all writes both at once: one line per dongle as it ends (in either
# order), naming the node --list showed at the start, then the count and
# the verdict.
two_dongles_all() {
    begin all "two dongles, --all writes both"
    local path_a path_b
    plug_in_two_dongles
    list_matches_sysfs
    list_of_none_fails
    run_flasher_with --all
    stop_dongle A
    stop_dongle B
    check "exit status 0" [ "$(flasher_status)" = 0 ]
    check "one line per dongle" [ "$(messages | head -n 2 | sort)" = "$(printf '%s\n' \
        "[TORVEX] /dev/ttyACM0 path=$path_b Update successful!" \
        "[TORVEX] /dev/ttyACM1 path=$path_a serial=TVX-A Update successful!")" ]
    check "then the count and the verdict" [ "$(messages | tail -n +3)" = "$(printf '%s\n' \
        "[TORVEX] 2 of 2 dongles updated." "[TORVEX] Update successful!")" ]
    check "nothing on standard error" [ ! -s "$scenario_dir/flasher.err" ]
    check "A's flash equals the image" [ "$(report_of A flash_matches)" = 1 ]
    check "B's flash equals the image" [ "$(report_of B flash_matches)" = 1 ]
    check "both new applications came back" [ "$(report_of A ended):$(report_of B ended)" = restarted:restarted ]
}

# --list naming no dongle that is there: status 1, and it says so.
# --watch --json as a station runs: B is there at the start, A is plugged in
# while B's update runs; each is written once (their new applications come
# back at the same port paths and are left alone), then SIGINT ends the watch
# and the records say so.
two_dongles_watch() {
    begin watch "two dongles, --watch --json, A plugged in later, then SIGINT"
    local path_a path_b watcher status=0
    start_dongle B 2000 --mode bootloader --serial TVX-B --bootloader-serial ''
    path_b=$(port_path_of "$(port_of B 2000)")
    timeout 90 "$flasher" --watch --json >"$scenario_dir/flasher.out" 2>"$scenario_dir/flasher.err" &
    watcher=$!
    sleep 1
    # The watch may have switched A before its application's port is seen:
    # any port of A's will do, and its port path is port 1 of its own bus.
    start_dongle A '' --mode application --serial TVX-A --bootloader-serial TVX-A-BOOT
    path_a=$(<"$(echo /sys/devices/platform/dummy_hcd."${gadget_udc[A]#dummy_udc.}"/usb*/busnum)")-1
    # Both updates run now; each dongle ends by itself once its new
    # application is back.
    for label in B A; do
        wait_for_exit "${gadget_pid[$label]}" && wait_for_exit "${gadget_pid[$label]}"
        stop_dongle "$label"
    done
    kill -INT "$watcher"
    wait "$watcher" || status=$?
    say "  flasher: exit status $status; it wrote:"
    sed 's/^/    /' "$scenario_dir/flasher.out"
    check "exit status 0" [ "$status" = 0 ]
    check "every line is a JSON object" jq -e 'type == "object"' "$scenario_dir/flasher.out"
    check "one result for each dongle, updated" [ "$(jq -r 'select(.type == "result") |
        "\(.path) \(.serial) \(.result) \(.reason)"' "$scenario_dir/flasher.out" | sort)" = "$(printf '%s\n' \
        "$path_a TVX-A updated null" "$path_b null updated null" | sort)" ]
    check "the summary last: 2 of 2 updated" [ "$(jq -c 'select(.type == "summary")' "$scenario_dir/flasher.out")" = \
        '{"type":"summary","schema":1,"success":true,"updated":2,"dongles":2}' ]
    check "A's flash equals the image" [ "$(report_of A flash_matches)" = 1 ]
    check "B's flash equals the image" [ "$(report_of B flash_matches)" = 1 ]
    check "A's new application came back" [ "$(report_of A ended)" = restarted ]
    check "nothing on standard error" [ ! -s "$scenario_dir/flasher.err" ]
}

list_of_none_fails() {
    local status=0
    timeout 20 "$flasher" --list --path 9-9 >"$scenario_dir/list-none.out" 2>&1 || status=$?
    check "--list --path 9-9: exit status 1" [ "$status" = 1 ]
    check "--list --path 9-9: says no dongle matches" [ "$(cat "$scenario_dir/list-none.out")" = \
        "No dongle matches --path 9-9." ]
}

# What --list should print, read from sysfs by way of the USB devices: one
# line per Torvex port, by port number.
expected_list() {
    local device tty mode line
    for device in /sys/bus/usb/devices/*; do
        [ "$(cat "$device/idVendor" 2>/dev/null)" = 0069 ] || continue
        case $(<"$device/idProduct") in
        1000) mode=application ;;
        2000) mode=bootloader ;;
        *) continue ;;
        esac
        for tty in "$device"/*/tty/ttyACM*; do
            [ -e "$tty" ] || continue
            line="/dev/${tty##*/} $mode path=$(<"$device/busnum")-$(<"$device/devpath")"
            [ -e "$device/serial" ] && line+=" serial=$(<"$device/serial")"
            echo "$line"
        done
    done | sort -V
}

# --list, run while both dongles wait: it must show what sysfs shows, and
# send nothing (the scenario's checks that a dongle received no frame cover
# that).
list_matches_sysfs() {
    local status=0
    expected_list >"$scenario_dir/list.expected"
    timeout 20 "$flasher" --list >"$scenario_dir/list.out" 2>"$scenario_dir/list.err" || status=$?
    say "  sysfs says:"
    sed 's/^/    /' "$scenario_dir/list.expected"
    say "  --list printed (exit status $status):"
    sed 's/^/    /' "$scenario_dir/list.out"
    check "--list: exit status 0" [ "$status" = 0 ]
    check "--list: one line per dongle, as sysfs says" cmp -s "$scenario_dir/list.out" "$scenario_dir/list.expected"
    check "--list: A's line, serial shown" grep -qx "/dev/ttyACM1 application path=$path_a serial=TVX-A" \
        "$scenario_dir/list.out"
    check "--list: B's line, no serial" grep -qx "/dev/ttyACM0 bootloader path=$path_b" "$scenario_dir/list.out"
}

all_scenarios="update_from_application update_from_bootloader unplugged_during_transfer no_dongle
    two_dongles_follow_switched two_dongles_path two_dongles_all two_dongles_watch"

# This guest's share ("K N": guest K of N) of the scenarios, dealt out in turn:
# in the order above, each guest's take about as long.
read -r guest guests <<<"$share"
say "kernel $(uname -r), UDCs $(cd /sys/class/udc && echo *), guest $guest of $guests"
dealt=0
for scenario in ${scenarios:-$all_scenarios}; do
    [ $((dealt++ % guests)) -ne "$guest" ] || "$scenario"
done
dmesg >"$work/guest-dmesg.log" 2>&1 || true
say "$failures failed checks"
[ "$failures" -eq 0 ]
