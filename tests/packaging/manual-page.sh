#!/usr/bin/env bash
# Checks the manual page: it formats without a single warning (the check
# Debian's lintian makes), has the sections a section 1 page needs, its NAME
# line can be indexed by mandb, and what it states about the command line,
# exit status and USB identifiers agrees with the built program.
# Usage: manual-page.sh <page> <ZEL_USB_Flasher binary> <version>
set -uo pipefail

page=${1:?manual page}
program=${2:?program}
version=${3:?version}
errors=0
fail() {
    echo "FAIL: $*"
    errors=$((errors + 1))
}
[ -f "$page" ] || { echo "FAIL: no manual page $page"; exit 1; }

warnings=$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$page" 2>&1 >/dev/null)
status=$?
[ "$status" -eq 0 ] || fail "man failed with status $status"
[ -z "$warnings" ] || fail "man --warnings reports:"$'\n'"$warnings"

lexgrog "$page" >/dev/null 2>&1 || fail "mandb cannot read the NAME section: $(lexgrog "$page" 2>&1)"

text=$(LC_ALL=C.UTF-8 MANWIDTH=200 man -l -Tutf8 "$page" 2>/dev/null | col -b)
# section <heading>: the lines under a top-level heading, up to the next one.
section() {
    awk -v heading="$1" '/^[A-Z]/ { inside = ($0 == heading); next } inside' <<<"$text"
}
for heading in NAME SYNOPSIS DESCRIPTION OPTIONS "EXIT STATUS" FILES TROUBLESHOOTING; do
    grep -qx "$heading" <<<"$text" || fail "no $heading section"
done

synopsis=$(section SYNOPSIS | tr -s ' \t\n' ' ' | sed 's/^ //; s/ $//')
naming="[--path path] [--serial-number serial] [--port node] [--json]"
want="ZEL_USB_Flasher [--verbose] $naming ZEL_USB_Flasher --all $naming"
want+=" ZEL_USB_Flasher --watch $naming ZEL_USB_Flasher --list $naming"
want+=" ZEL_USB_Flasher [--version] [--help] [--json]"
[ "$synopsis" == "$want" ] || fail "SYNOPSIS reads: $synopsis"
grep -q "ZEL_USB_Flasher $version" <<<"$text" || fail "the page does not give version $version"

# Every option the program's own help names is documented, and no other.
help=$("$program" --help)
help_status=$?
mapfile -t options < <(grep -oE '^\[--[a-z-]+' <<<"$help" | tr -d '[' | sort -u)
[ "${#options[@]}" -gt 0 ] || fail "no option found in the program's --help output"
mapfile -t documented < <(section OPTIONS | grep -oE '^ +--[a-z-]+' | sed 's/^ *//' | sort -u)
[ "${options[*]}" == "${documented[*]}" ] ||
    fail "the program offers '${options[*]}' but OPTIONS documents '${documented[*]}'"

# The exit statuses the program really gives are the ones listed.
"$program" --no-such-option >/dev/null
wrong_status=$?
# No bus is numbered 0, so this name fits no dongle on any machine; --list opens nothing.
"$program" --list --path 0-0 >/dev/null
list_none_status=$?
exit_section=$(section "EXIT STATUS")
for status in 0 "$help_status" "$wrong_status" "$list_none_status"; do
    grep -qE "^ +$status( |$)" <<<"$exit_section" || fail "EXIT STATUS does not list $status"
done
if [ "$help_status" -ne 255 ] || [ "$wrong_status" -ne 255 ] || [ "$list_none_status" -ne 1 ]; then
    fail "the program exits with $help_status after --help, $wrong_status after a wrong argument" \
        "and $list_none_status after --list that lists no dongle"
fi

# The identifiers the program searches for are the ones the page tells users to look for.
mapfile -t identifiers < <(grep -aoE 'usb:v[0-9A-F]{4}p[0-9A-F]{4}' "$program" | sort -u)
[ "${#identifiers[@]}" -eq 2 ] || fail "expected two USB identifiers in the program, found: ${identifiers[*]:-none}"
for identifier in "${identifiers[@]}"; do
    grep -qF "$identifier" <<<"$text" || fail "the page never mentions $identifier"
    id="${identifier:5:4}:${identifier:10:4}"
    grep -qiF "$id" <<<"$(section TROUBLESHOOTING)" || fail "TROUBLESHOOTING does not give the lsusb id $id"
done

# The lines about other programs on a port read the same in the page, in the
# README's troubleshooting and in the program, which carries their short fixed parts.
readme="$(dirname "$0")/../../README.md"
flat=$(tr -s ' \t\n' ' ' <<<"$text")
readme_flat=$(tr -s ' \n' ' ' <"$readme")
waiting="[TORVEX] Waiting for cat (pid 4242) to close /dev/ttyACM0..."
refusal="[TORVEX] /dev/ttyACM0 is open in cat (pid 4242): close it and run again."
modem_manager="[TORVEX] ModemManager is running and may probe the dongle's port during the update:"
modem_manager+=" install the udev rule 60-torvex.rules to keep it away (see 'man ZEL_USB_Flasher')."
for line in "$waiting" "$refusal" "$modem_manager" '"heldBy":[{"command":"cat","pid":4242}]'; do
    grep -qF -- "$line" <<<"$flat" || fail "the page does not say: $line"
done
for line in "$refusal" "$modem_manager"; do
    grep -qF -- "\`$line\`" <<<"$readme_flat" || fail "the README's troubleshooting does not say: $line"
done
# An optimising build may copy a long line out of overlapping pieces, so the
# ModemManager line is not looked for whole: the end-to-end row
# ModemManagerWithoutTheMark checks that the program prints it as above.
for part in "Waiting for " " to close " " is open in " " and run again."; do
    grep -qaF -- "$part" "$program" || fail "the program does not carry: $part"
done

[ "$errors" -eq 0 ] || { echo "$errors problem(s)"; exit 1; }
echo "$(basename "$page"): clean, options ${options[*]}, exit statuses 0, 1 and 255, identifiers ${identifiers[*]}"
