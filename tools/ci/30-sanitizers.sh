#!/usr/bin/env bash
# Builds the program, the rig and the tests with AddressSanitizer and
# UndefinedBehaviorSanitizer (any report ends the process with an error) and
# runs the CTest suite in that build. The QEMU and packaging tests are left
# to their own gates: they test the kernel and the package, not this code.
set -euo pipefail
cd "$(dirname "$0")/../.."

cmake -S . -B build-asan -DTORVEX_SANITIZE=ON -DTORVEX_WERROR=ON -DTORVEX_ALLOW_TEST_IMAGE=ON \
    -DTORVEX_REQUIRE_GTEST=ON >/dev/null
cmake --build build-asan -j"$(nproc)"
# A leak report is an error; halt on the first report of any kind.
export ASAN_OPTIONS=detect_leaks=1:halt_on_error=1:abort_on_error=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
ctest --test-dir build-asan --output-on-failure -j2 -LE 'qemu|packaging' --no-tests=ignore
