#!/usr/bin/env bash
# Makes the release (tools/release.sh) of version 1.2.3 with the test image,
# allowed for this run, twice, in two directories at two times (with
# --first-only, the first alone: a later run makes the second), and checks
# that the two are byte for byte the same and that SHA256SUMS and MANIFEST
# hold; that the armhf program dies on the Pi 1's ARMv6, which its package
# must therefore refuse; that lintian passes each package and it installs
# into a scratch root with the right files and fields; and that a release
# with the test image and no opt-in, or on a machine other than x86-64
# Debian 12, is refused. Reads build-test/; leaves the first release and its
# build trees in build-test/release/ for 20-static-suite.sh, which checks
# each static program: one for its machine, running in an empty root, and
# its end-to-end suite on the processor of each board it is for.
set -uo pipefail
cd "$(dirname "$0")/../.." || exit 1

build=${BUILD_DIR:-build-test}
image=firmware/CAN.bin
version=1.2.3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# deb-package.sh compares each package's manual page with the one built there.
[ -f "$build/packaging/ZEL_USB_Flasher.1" ] || { echo "no $build/packaging/ZEL_USB_Flasher.1: build first"; exit 1; }
failed=0
fail() {
    echo "FAIL: $*"
    failed=1
}

if tools/release.sh "$image" "$work/refused" >"$work/refused.log" 2>&1; then
    fail "a release was made with the test image and no opt-in"
fi
grep -q "carries the test image" "$work/refused.log" || { cat "$work/refused.log"; fail "the refusal does not say why"; }
[ -z "$(ls -A "$work/refused")" ] || fail "the refused release left files: $(ls "$work/refused")"
mkdir "$work/arm64-machine"
printf '#!/bin/sh\necho aarch64\n' >"$work/arm64-machine/uname" && chmod 755 "$work/arm64-machine/uname"
PATH=$work/arm64-machine:$PATH tools/release.sh --allow-test-image "$image" "$work/on-arm64" >"$work/on-arm64.log" 2>&1
grep -q "needs an x86-64 Debian 12 machine" "$work/on-arm64.log" ||
    { cat "$work/on-arm64.log"; fail "a release on an aarch64 machine was not refused as such"; }

kept=$build/release
first_log=$build/release-first.log
# The first release, whose programs and build trees stay for the static suites.
make_first() {
    rm -rf "$kept"
    tools/release.sh --version "$version" --allow-test-image --keep-builds "$kept/builds" "$image" \
        "$kept/out" >"$first_log" 2>&1 || { cat "$first_log"; return 1; }
}
# --first-only makes the first release alone, so that the static suites need
# not wait for the second; a later run makes only the second, to compare.
if [ "${1:-}" == --first-only ]; then
    make_first
    exit
fi
first=
if [ ! -f "$kept/out/SHA256SUMS" ]; then
    # Side by side, the second started two seconds after the first: each
    # spends much of its time in single-threaded configure steps.
    make_first &
    first=$!
    sleep 2
fi
# The second build runs from another directory, with the image there (under
# the same name, which the packages give) and a umask that leaves new
# directories closed to others.
mkdir "$work/elsewhere"
cp "$image" "$work/elsewhere/"
release=$PWD/tools/release.sh
(cd "$work/elsewhere" && umask 077 &&
    "$release" --version "$version" --allow-test-image "$(basename "$image")" "$work/second") >"$work/second.log" 2>&1
second=$?
[ -z "$first" ] || wait "$first" || exit 1
cat "$first_log"
[ "$second" -eq 0 ] || { cat "$work/second.log"; exit 1; }
out=$kept/out
echo "=== reproducibility"
if diff "$out/SHA256SUMS" "$work/second/SHA256SUMS"; then
    echo "two builds, byte for byte the same:"
    cat "$out/SHA256SUMS"
else
    fail "two builds of the same commit differ"
fi
(cd "$out" && sha256sum --quiet -c SHA256SUMS) || fail "SHA256SUMS does not hold"
grep -q ' MANIFEST$' "$out/SHA256SUMS" || fail "SHA256SUMS does not cover MANIFEST"
echo "=== MANIFEST"
diff - "$out/MANIFEST" <<MANIFEST || fail "MANIFEST is not the release's"
version $version
commit $(git rev-parse HEAD)
firmware $(basename "$image")
firmware-sha256 $(sha256sum <"$image" | cut -d ' ' -f 1)
program x86_64 ZEL_USB_Flasher-$version-x86_64
package amd64 torvex-flasher_${version}_amd64.deb
program aarch64 ZEL_USB_Flasher-$version-aarch64
package arm64 torvex-flasher_${version}_arm64.deb
program armv7l ZEL_USB_Flasher-$version-armv7l
package armhf torvex-flasher_${version}_armhf.deb
program armv6l ZEL_USB_Flasher-$version-armv6l
udev-rule 60-torvex.rules
MANIFEST
cat "$out/MANIFEST"

# check_package ARCH EMULATOR CPU: the package for a board of ARCH, on its
# processor CPU (Raspberry Pi 3: Cortex-A53; Pi 2: Cortex-A7).
check_package() {
    local deb=$out/torvex-flasher_${version}_$1.deb
    echo "=== $1: lintian $(basename "$deb")"
    if lintian --allow-root --fail-on error,warning "$deb"; then
        echo "lintian $(lintian --version | sed 's/^Lintian v//'): no error, no warning"
    else
        fail "$1: lintian"
    fi
    echo "=== $1: $(basename "$deb") in a scratch root"
    QEMU_CPU=$3 TORVEX_EMULATOR=$2 bash tests/packaging/deb-package.sh "$build" . "$version" "$image" "$deb" "$1" \
        >"$work/deb.log" 2>&1 || { cat "$work/deb.log"; fail "$1: package"; }
    sed -n '/^refused on/,/instead\.$/p' "$work/deb.log"
    tail -n 1 "$work/deb.log"
}
# The armhf program on the Pi 1's and Zero's processor: why its package refuses them.
status=0
{ (ulimit -c 0 && exec qemu-arm-static -cpu arm1176 "$out/ZEL_USB_Flasher-$version-armv7l" --help) >/dev/null 2>&1; } \
    2>/dev/null || status=$?
if [ "$status" -eq $((128 + 4)) ]; then
    echo "armv7l on arm1176: killed by SIGILL, as the armhf package's refusal of ARMv6 expects"
else
    fail "the armhf program on arm1176 ended with status $status, not by SIGILL: is the refusal still needed?"
fi
check_package amd64 "" ""
check_package arm64 qemu-aarch64-static cortex-a53
check_package armhf qemu-arm-static cortex-a7
exit $failed
