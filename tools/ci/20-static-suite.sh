#!/usr/bin/env bash
# Builds the program as one static executable (-DTORVEX_STATIC=ON), checks
# that it needs no shared library, and runs the end-to-end and packaging
# tests against that file: the one-file build users get must pass them too.
set -euo pipefail
cd "$(dirname "$0")/../.."

build="build-static"
cmake -S . -B "$build" -DTORVEX_STATIC=ON -DTORVEX_WERROR=ON -DTORVEX_ALLOW_TEST_IMAGE=ON \
    -DTORVEX_REQUIRE_GTEST=ON
cmake --build "$build" -j"$(nproc)"

bash tests/packaging/check-static.sh "$build/ZEL_USB_Flasher"
status=0
"$build/ZEL_USB_Flasher" --help >/dev/null || status=$?
if [ "$status" -ne 255 ]; then
    echo "FAIL: the static program exited with $status after --help, expected 255"
    exit 1
fi

ctest --test-dir "$build" --output-on-failure -L e2e
ctest --test-dir "$build" --output-on-failure -L packaging
