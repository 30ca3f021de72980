#!/usr/bin/env bash
# Runs the end-to-end and packaging tests against the release's static x86-64
# program (-DTORVEX_STATIC=ON), the one-file build users get, which
# 70-release.sh built (twice): build-test/'s end-to-end tests on it, with the
# test programs added to the release's build tree (--build-only does only
# that). The firmware.* tests build programs of their own and are the main
# suite's.
set -euo pipefail
cd "$(dirname "$0")/../.."

build=${BUILD_DIR:-build-test}
# shellcheck source=tools/ci/release-trees.bash
source tools/ci/release-trees.bash
# shellcheck source=tools/ci/e2e-parts.bash
source tools/ci/e2e-parts.bash
version=$(release_version)
program=$release/out/ZEL_USB_Flasher-$version-x86_64
tree=$release/builds/amd64-static
if [ "${1:-}" == --build-only ]; then
    add_test_programs "$tree" "$program"
    exit
fi
[ -x "$tree/tests/ZEL_USB_Flasher_4092" ] || add_test_programs "$tree" "$program"
cmp -s "$tree/ZEL_USB_Flasher" "$program" || { echo "FAIL: $tree does not hold the release's program"; exit 1; }
on_static() {
    TORVEX_FLASHER="$PWD/$program" TORVEX_VARIANT_DIR="$PWD/$tree/tests" \
        e2e_ctest '' --test-dir "$build" --output-on-failure -L e2e -E '^(firmware\.|sim\.several_dongles$)'
}
bash tests/packaging/check-static.sh "$program"
status=0
"$program" --help >/dev/null || status=$?
if [ "$status" -ne 255 ]; then
    echo "FAIL: the static program exited with $status after --help, expected 255"
    exit 1
fi

# The tests mostly sleep through the program's fixed waits: eight at once.
# sim.several_dongles names its programs itself, so it runs apart, on these.
on_static
echo "=== sim.several_dongles on the static program"
bash tests/e2e/severalDonglesTest.sh "$build/tools/torvex-sim" "$program" "$tree/tests/ZEL_USB_Flasher_4092" \
    firmware/CAN.bin
# The install tree, the manual page and the package of the release's static build.
ctest --test-dir "$tree" --output-on-failure -L packaging -E '^firmware\.'
