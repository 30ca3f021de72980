#!/usr/bin/env bash
# Builds the flasher with warnings as errors and runs the whole test suite.
# Needs root: the end-to-end tests give the program a private /dev and sysfs.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/install-deps.sh
cmake -S . -B build -DTORVEX_WERROR=ON
cmake --build build -j"$(nproc)"
ctest --test-dir build --output-on-failure -j2
