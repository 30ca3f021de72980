#!/usr/bin/env bash
# Installs the build tree into a scratch prefix and checks that the program,
# its manual page and its udev rule land where users and tools look for them,
# and that the installed program is the one that was built and runs.
# Usage: install-tree.sh <build dir> <source dir>
set -uo pipefail

build=${1:?build dir}
source=${2:?source dir}
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
errors=0
fail() {
    echo "FAIL: $*"
    errors=$((errors + 1))
}

cmake --install "$build" --prefix "$prefix" || { echo "FAIL: cmake --install failed"; exit 1; }

program=$prefix/bin/ZEL_USB_Flasher
if [ -x "$program" ]; then
    cmp -s "$program" "$build/ZEL_USB_Flasher" || fail "bin/ZEL_USB_Flasher is not the program built in $build"
    output=$("$program" --help)
    status=$?
    [ "$status" -eq 255 ] || fail "installed program: --help exited with $status, expected 255"
    [[ $output == "usage: "* ]] || fail "installed program: --help printed: $output"
else
    fail "no executable bin/ZEL_USB_Flasher"
fi

page=$prefix/share/man/man1/ZEL_USB_Flasher.1
if [ -f "$page" ]; then
    # man must find the page by name and section under the installed tree.
    found=$(MANPATH="$prefix/share/man" man -w 1 ZEL_USB_Flasher 2>&1)
    [ "$found" == "$page" ] || fail "man -w 1 ZEL_USB_Flasher under the prefix gives: $found"
    head -n 5 "$page" | grep -q '^\.TH ZEL_USB_FLASHER 1 ' || fail "share/man/man1/ZEL_USB_Flasher.1 is not a section 1 page"
    grep -q '@[A-Z_]*@' "$page" && fail "the manual page has unreplaced placeholders: $(grep -o '@[A-Z_]*@' "$page" | sort -u | tr '\n' ' ')"
else
    fail "no share/man/man1/ZEL_USB_Flasher.1"
fi

mapfile -t rules < <(find "$prefix/lib/udev/rules.d" -name '*.rules' 2>/dev/null)
if [ "${#rules[@]}" -eq 1 ]; then
    cmp -s "${rules[0]}" "$source/packaging/60-torvex.rules" ||
        fail "${rules[0]#"$prefix"/} differs from packaging/60-torvex.rules"
    [ "$(stat -c %a "${rules[0]}")" == 644 ] || fail "the udev rule has mode $(stat -c %a "${rules[0]}"), expected 644"
    # The installed name decides whether udev reads it, and when.
    bash "$(dirname "$0")/udev-rule.sh" "${rules[0]}" "$program" || fail "the installed udev rule is rejected"
else
    fail "expected one rules file in lib/udev/rules.d, found ${#rules[@]}"
fi

echo "installed files:"
(cd "$prefix" && find . -type f | sort)
[ "$errors" -eq 0 ] || { echo "$errors problem(s)"; exit 1; }
