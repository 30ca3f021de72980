#!/usr/bin/env bash
# Installs the build tree into a scratch prefix and checks that the program,
# its manual page and its udev rule land where users and tools look for them,
# and that the installed program is the one that was built and runs.
# Usage: install-tree.sh <build dir> <source dir> <udev rules dir>
# The rules dir is relative to the prefix unless absolute; DESTDIR keeps an
# absolute one inside the scratch directory as well.
set -uo pipefail

build=${1:?build dir}
source=${2:?source dir}
rules_dir=${3:?udev rules dir}
destdir=$(mktemp -d)
trap 'rm -rf "$destdir"' EXIT
prefix=$destdir/opt/torvex
if [[ $rules_dir == /* ]]; then rules_dir=$destdir$rules_dir; else rules_dir=$prefix/$rules_dir; fi
errors=0
fail() {
    echo "FAIL: $*"
    errors=$((errors + 1))
}

DESTDIR="$destdir" cmake --install "$build" --prefix /opt/torvex || { echo "FAIL: cmake --install failed"; exit 1; }

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

mapfile -t rules < <(find "$rules_dir" -name '*.rules' 2>/dev/null)
if [ "${#rules[@]}" -eq 1 ]; then
    cmp -s "${rules[0]}" "$source/packaging/60-torvex.rules" ||
        fail "${rules[0]#"$destdir"} differs from packaging/60-torvex.rules"
    [ "$(stat -c %a "${rules[0]}")" == 644 ] || fail "the udev rule has mode $(stat -c %a "${rules[0]}"), expected 644"
    # The installed name decides whether udev reads it, and when.
    bash "$(dirname "$0")/udev-rule.sh" "${rules[0]}" "$program" || fail "the installed udev rule is rejected"
else
    fail "expected one rules file in ${rules_dir#"$destdir"}, found ${#rules[@]}"
fi

echo "installed files:"
(cd "$destdir" && find . -type f | sort)
# The uninstall that the README gives must leave no file behind (the
# manifest names the files without DESTDIR).
sed "s|^|$destdir|" "$build/install_manifest.txt" | xargs rm -- ||
    fail "removing the files of install_manifest.txt failed"
left=$(cd "$destdir" && find . -type f | sort)
[ -z "$left" ] || fail "files left after removing those of install_manifest.txt: $left"
[ "$errors" -eq 0 ] || { echo "$errors problem(s)"; exit 1; }
