#!/usr/bin/env bash
# Builds the flasher with warnings as errors and runs the whole test suite:
# the unit and end-to-end tests in CTest, then every extra gate in tools/ci/
# (other builds of the same suite, checkers, the fault soak), in name order.
# Needs root: the end-to-end tests give the program a private /dev and sysfs.
set -uo pipefail
cd "$(dirname "$0")/.."

tools/install-deps.sh || exit 1
passed=0
failed=0
step() {
    echo "=== $*"
    if "$@"; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "=== FAILED: $*"; fi
}
main_suite() {
    cmake -S . -B build -DTORVEX_WERROR=ON -DTORVEX_ALLOW_TEST_IMAGE=ON &&
        cmake --build build -j"$(nproc)" &&
        ctest --test-dir build --output-on-failure -j2
}

step main_suite
for gate in tools/ci/*.sh; do
    [ -e "$gate" ] && step bash "$gate"
done
echo "suite steps: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
