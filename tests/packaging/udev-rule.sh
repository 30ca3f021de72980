#!/usr/bin/env bash
# Checks the udev rule against the program it is shipped with.
# Usage: udev-rule.sh <rules file> <ZEL_USB_Flasher binary>
#
# Every line must have the shape of a udev rule (comma-separated KEY op "value"
# items with known keys and operators that fit them). For each USB identifier
# the program looks for (application and bootloader), one line must match the
# dongle's tty port by vendor and product and give it to the seat user
# (uaccess, which needs a file numbered below 73) and the dialout group, and
# keep ModemManager away. No line may touch another vendor's devices.
# When the installed udevadm can verify rules files, it checks the file too.
set -uo pipefail

rules=${1:?rules file}
program=${2:?program binary}
errors=0
fail() {
    echo "FAIL: $*"
    errors=$((errors + 1))
}

[ -f "$rules" ] || { echo "FAIL: no rules file $rules"; exit 1; }
[ -f "$program" ] || { echo "FAIL: no program $program"; exit 1; }

# udev reads only *.rules files; uaccess has to be set before 73-seat-late.rules.
name=$(basename "$rules")
if [[ $name =~ ^([0-9][0-9])-[A-Za-z0-9_.-]+\.rules$ ]]; then
    number=$((10#${BASH_REMATCH[1]}))
    [ "$number" -lt 73 ] || fail "$name: numbered $number, must be below 73 for TAG+=\"uaccess\""
else
    fail "$name: not of the form NN-name.rules"
fi

# The identifiers the program compares with the ports' modalias files.
mapfile -t identifiers < <(grep -aoE 'usb:v[0-9A-F]{4}p[0-9A-F]{4}' "$program" | sort -u)
if [ "${#identifiers[@]}" -ne 2 ]; then
    fail "expected the application and the bootloader identifier in $program, found: ${identifiers[*]:-none}"
fi

match_keys=" ACTION DEVPATH KERNEL KERNELS SUBSYSTEM SUBSYSTEMS DRIVER DRIVERS ATTR ATTRS SYSCTL ENV CONST TAG TAGS TEST PROGRAM RESULT NAME SYMLINK "
assign_keys=" NAME SYMLINK OWNER GROUP MODE SECLABEL ATTR SYSCTL ENV TAG RUN LABEL GOTO IMPORT OPTIONS "
needs_attribute=" ATTR ATTRS SYSCTL ENV CONST SECLABEL "
may_have_attribute=" TEST RUN IMPORT "

declare -a rule_lines=()
lineno=0
while IFS= read -r line || [ -n "$line" ]; do
    lineno=$((lineno + 1))
    [[ $line =~ ^[[:space:]]*(#.*)?$ ]] && continue
    [[ $line == *\\ ]] && { fail "line $lineno: continued lines are not expected here"; continue; }
    rest=$line
    items=()
    while [ -n "$rest" ]; do
        if [[ $rest =~ ^[[:space:]]*([A-Z_]+)(\{([A-Za-z0-9_.*/-]+)\})?[[:space:]]*(==|!=|\+=|-=|:=|=)[[:space:]]*\"([^\"]*)\"[[:space:]]*(,|$) ]]; then
            key=${BASH_REMATCH[1]} attribute=${BASH_REMATCH[3]} op=${BASH_REMATCH[4]} value=${BASH_REMATCH[5]}
            rest=${rest:${#BASH_REMATCH[0]}}
            if [[ $op == "==" || $op == "!=" ]]; then
                [[ $match_keys == *" $key "* ]] || fail "line $lineno: $key cannot be matched with $op"
            else
                [[ $assign_keys == *" $key "* ]] || fail "line $lineno: $key cannot be assigned with $op"
            fi
            if [[ $needs_attribute == *" $key "* ]]; then
                [ -n "$attribute" ] || fail "line $lineno: $key needs {name}"
            elif [[ $may_have_attribute != *" $key "* ]]; then
                [ -z "$attribute" ] || fail "line $lineno: $key takes no {name}"
            fi
            items+=("$key${attribute:+{$attribute\}}$op\"$value\"")
        else
            fail "line $lineno: not a udev rule item at: $rest"
            break
        fi
    done
    [ "${#items[@]}" -gt 0 ] || continue
    # Each line as " item item ... " for whole-item lookups below.
    rule_lines+=(" ${items[*]} ")
done <"$rules"

[ "${#rule_lines[@]}" -gt 0 ] || fail "no rule in $name"

vendor=""
for identifier in "${identifiers[@]}"; do
    # sysfs idVendor/idProduct are lower-case hex, modalias upper-case.
    v=$(printf '%s' "${identifier:5:4}" | tr 'A-F' 'a-f')
    p=$(printf '%s' "${identifier:10:4}" | tr 'A-F' 'a-f')
    vendor=$v
    found=0
    for rule in "${rule_lines[@]}"; do
        [[ $rule == *' ATTRS{idVendor}=="'$v'" '* && $rule == *' ATTRS{idProduct}=="'$p'" '* ]] || continue
        found=1
        for wanted in 'SUBSYSTEM=="tty"' 'TAG+="uaccess"' 'GROUP="dialout"' 'MODE="0660"' \
            'ENV{ID_MM_DEVICE_IGNORE}="1"'; do
            [[ $rule == *" $wanted "* ]] || fail "rule for $v:$p ($identifier) lacks $wanted"
        done
    done
    [ "$found" -eq 1 ] || fail "no rule matches $v:$p, the program's $identifier"
done

for rule in "${rule_lines[@]}"; do
    if [[ $rule =~ \ ATTRS\{idVendor\}==\"([^\"]*)\"\  ]]; then
        [ "${BASH_REMATCH[1]}" == "$vendor" ] || fail "a rule matches vendor ${BASH_REMATCH[1]}, not the dongle's $vendor:$rule"
    else
        fail "a rule does not match the dongle's vendor:$rule"
    fi
done

if command -v udevadm >/dev/null && udevadm verify --help >/dev/null 2>&1; then
    udevadm verify --resolve-names=never "$rules" || fail "udevadm verify rejects $name"
else
    echo "note: no udevadm here that can verify rules files (systemd 253 or later); checked the shape only"
fi

if [ "$errors" -ne 0 ]; then
    echo "$name: $errors problem(s)"
    exit 1
fi
echo "$name: ${#rule_lines[@]} rule(s) cover ${identifiers[*]}"
