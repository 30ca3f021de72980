#!/usr/bin/env bash
# Builds the program, the rig and the tests with AddressSanitizer and
# UndefinedBehaviorSanitizer (any report ends the process with an error) and
# runs the CTest suite in that build. The QEMU and packaging tests are left
# to their own gates: they test the kernel and the package, not this code,
# and so are the firmware.* tests, which configure and build the program
# themselves, without the sanitizers, exactly as in build-test/.
# --build-only only builds. The tests mostly sleep through the program's fixed
# waits, so several run at once (e2e_jobs, e2e-parts.bash).
set -euo pipefail
cd "$(dirname "$0")/../.."

cmake -S . -B build-asan -DTORVEX_SANITIZE=ON -DTORVEX_WERROR=ON -DTORVEX_ALLOW_TEST_IMAGE=ON \
    -DTORVEX_REQUIRE_GTEST=ON >/dev/null
# Only what the suite below runs: the soak, bench and QEMU guests run from build-test/.
cmake --build build-asan -j"$(nproc)" --target ZEL_USB_Flasher torvex-sim unit_tests e2e_tests sim_tests \
    soak_judge_tests
[ "${1:-}" != --build-only ] || exit 0
# A leak report is an error; halt on the first report of any kind.
export ASAN_OPTIONS=detect_leaks=1:halt_on_error=1:abort_on_error=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
# shellcheck source=tools/ci/e2e-parts.bash
source tools/ci/e2e-parts.bash
e2e_ctest 'qemu|packaging' --test-dir build-asan --output-on-failure -E '^firmware\.' --no-tests=ignore
