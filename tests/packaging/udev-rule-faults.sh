#!/usr/bin/env bash
# The udev rule check must reject broken rules: each case below copies the
# shipped rule, breaks one thing in it and expects udev-rule.sh to fail.
# Usage: udev-rule-faults.sh <rules file> <ZEL_USB_Flasher binary>
set -uo pipefail

rules=${1:?rules file}
program=${2:?program binary}
check="$(dirname "$0")/udev-rule.sh"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
errors=0

bash "$check" "$rules" "$program" >/dev/null || { echo "FAIL: the shipped rule itself is rejected"; exit 1; }

# expect_rejected <description> <file name> <sed script>
expect_rejected() {
    local description=$1 file=$scratch/$2 script=$3
    sed -e "$script" "$rules" >"$file"
    if [ "$2" == "$(basename "$rules")" ] && cmp -s "$rules" "$file"; then
        echo "FAIL: case '$description' changed nothing in the rule"
        errors=$((errors + 1))
    elif output=$(bash "$check" "$file" "$program" 2>&1); then
        echo "FAIL: accepted a rule with $description"
        errors=$((errors + 1))
    else
        echo "rejected as expected: $description: $(grep -m1 FAIL <<<"$output")"
    fi
}

expect_rejected "a wrong vendor id" 60-torvex.rules 's/idVendor}=="0069"/idVendor}=="0096"/'
expect_rejected "the bootloader product left out" 60-torvex.rules '/idProduct}=="2000"/d'
expect_rejected "the application product mistyped" 60-torvex.rules 's/idProduct}=="1000"/idProduct}=="1001"/'
expect_rejected "no uaccess tag" 60-torvex.rules 's/, TAG+="uaccess"//'
expect_rejected "a file numbered too late for uaccess" 80-torvex.rules 's/^//'
expect_rejected "a name udev does not read" 60-torvex.rule 's/^//'
expect_rejected "world-writable ports" 60-torvex.rules 's/MODE="0660"/MODE="0666"/'
expect_rejected "ModemManager not kept away" 60-torvex.rules 's/, ENV{ID_MM_DEVICE_IGNORE}="1"//'
expect_rejected "ModemManager kept from the application only" 60-torvex.rules \
    '/idProduct}=="2000"/s/, ENV{ID_MM_DEVICE_IGNORE}="1"//'
expect_rejected "the wrong subsystem" 60-torvex.rules 's/SUBSYSTEM=="tty"/SUBSYSTEM=="usb"/'
expect_rejected "an assignment written as a match" 60-torvex.rules '0,/GROUP="dialout"/s//GROUP=="dialout"/'
expect_rejected "an unquoted value" 60-torvex.rules '0,/MODE="0660"/s//MODE=0660/'
expect_rejected "a misspelt key" 60-torvex.rules '0,/ATTRS{idVendor}/s//ATRS{idVendor}/'
# shellcheck disable=SC2016 # a sed script: $ is its last line
expect_rejected "a rule for every device" 60-torvex.rules '$a\
SUBSYSTEM=="tty", TAG+="uaccess", MODE="0666"'

[ "$errors" -eq 0 ] || { echo "$errors fault(s) not caught"; exit 1; }
echo "every broken rule was rejected"
