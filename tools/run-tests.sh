#!/usr/bin/env bash
# Builds the flasher with warnings as errors and runs the whole test suite:
# the unit and end-to-end tests in CTest, then every extra gate in tools/ci/
# (other builds of the same suite, checkers, the fault soak), in name order.
# Needs root: the end-to-end tests give the program a private /dev and sysfs.
# Builds in build-test/ (the gates read it there); build/ is the user's.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1

tools/install-deps.sh || exit 1
export BUILD_DIR="build-test"
user_build_was_there=false
[ -e build ] && user_build_was_there=true
passed=0
failed=0
step() {
    echo "=== $*"
    if "$@"; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "=== FAILED: $*"; fi
}
main_suite() {
    cmake -S . -B "$BUILD_DIR" -DTORVEX_WERROR=ON -DTORVEX_ALLOW_TEST_IMAGE=ON -DTORVEX_REQUIRE_GTEST=ON &&
        cmake --build "$BUILD_DIR" -j"$(nproc)" &&
        ctest --test-dir "$BUILD_DIR" --output-on-failure -j2
}
no_build_folder_left() {
    if ! $user_build_was_there && [ -e build ]; then
        echo "a build/ folder was left behind; it is the user's, for builds with the dongle's firmware"
        return 1
    fi
}

step main_suite
for gate in tools/ci/*.sh; do
    [ -e "$gate" ] && step bash "$gate"
done
step no_build_folder_left
echo "suite steps: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
