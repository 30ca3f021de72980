#!/usr/bin/env bash
# Makes the release (tools/release.sh) with the test image, allowed for this
# run, twice: in two directories at two times. Checks that the two are byte
# for byte the same and that SHA256SUMS holds; that each static program is
# one for its machine, runs in an empty root and updates a simulated dongle
# with the image; that lintian reports no error and no warning on each
# package; and that each package installs into a scratch root with the right
# files and fields. A release with the test image and no opt-in is refused.
# Reads the native build in build-test/ that tools/run-tests.sh makes.
set -uo pipefail
cd "$(dirname "$0")/../.." || exit 1

build=${BUILD_DIR:-build-test}
image=firmware/CAN.bin
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
[ -x "$build/tools/torvex-sim" ] || { echo "no $build/tools/torvex-sim: build first"; exit 1; }
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

tools/release.sh --allow-test-image "$image" "$work/first" || exit 1
sleep 2
# The second build runs from another directory, with the image under another
# name and a umask that leaves new directories closed to others.
mkdir "$work/elsewhere"
cp "$image" "$work/elsewhere/dongle.bin"
release=$PWD/tools/release.sh
(cd "$work/elsewhere" && umask 077 && "$release" --allow-test-image dongle.bin "$work/second") >/dev/null || exit 1
out=$work/first
echo "=== reproducibility"
if diff "$out/SHA256SUMS" "$work/second/SHA256SUMS"; then
    echo "two builds, byte for byte the same:"
    cat "$out/SHA256SUMS"
else
    fail "two builds of the same commit differ"
fi
(cd "$out" && sha256sum --quiet -c SHA256SUMS) || fail "SHA256SUMS does not hold"

version=$(sed -n 's/^project(ZEL_USB_Flasher VERSION \([0-9.]*\) .*/\1/p' CMakeLists.txt)
# check ARCH UNAME_MACHINE FILE_MACHINE EMULATOR
check() {
    local program=$out/ZEL_USB_Flasher-$version-$2 deb=$out/torvex-flasher_${version}_$1.deb
    echo "=== $1: $(basename "$program")"
    TORVEX_EMULATOR=$4 bash tests/packaging/check-static.sh "$program" "$3" || fail "$1: static program"
    local run=("$program")
    [ -z "$4" ] || run=("$4" "$program")
    "$build/tools/torvex-sim" --mode bootloader --expect "$image" -- "${run[@]}" >"$work/update.log" 2>&1 ||
        { cat "$work/update.log"; fail "$1: the static program did not update a simulated dongle with the image"; }
    echo "=== $1: lintian $(basename "$deb")"
    if lintian --allow-root --fail-on error,warning "$deb"; then
        echo "lintian $(lintian --version | sed 's/^Lintian v//'): no error, no warning"
    else
        fail "$1: lintian"
    fi
    echo "=== $1: $(basename "$deb") in a scratch root"
    TORVEX_EMULATOR=$4 bash tests/packaging/deb-package.sh "$build" . "$version" "$deb" "$1" >"$work/deb.log" 2>&1 ||
        { cat "$work/deb.log"; fail "$1: package"; }
    tail -n 1 "$work/deb.log"
}
check amd64 x86_64 x86-64 ""
check arm64 aarch64 "ARM aarch64" qemu-aarch64-static
check armhf armv7l "ARM, EABI5" qemu-arm-static
exit $failed
