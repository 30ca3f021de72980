#!/usr/bin/env bash
# Builds the flasher and updates a simulated Torvex with it: the dongle starts
# in its application, the flasher switches it to its bootloader, writes the
# image and boots it; afterwards the dongle's flash is compared with the image.
# Builds in build-demo/ around the test image: build/ is the user's, for the
# dongle's firmware, and never gets the test image from here.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "$(id -u)" -ne 0 ]; then
    echo "The demo needs root: it installs the packages it needs and gives the program a private"
    echo "/dev in a mount namespace of its own. Run it as root, or with: sudo tools/run-demo.sh"
    exit 1
fi
build="build-demo"
user_build_was_there=false
[ -e build ] && user_build_was_there=true

tools/install-deps.sh demo
log=$(mktemp /tmp/torvex-demo-build-XXXXXX)
trap 'rm -f "$log"' EXIT
# The tests are not built here, so GoogleTest is not needed.
if ! { cmake -S . -B "$build" -DTORVEX_ALLOW_TEST_IMAGE=ON &&
    cmake --build "$build" -j"$(nproc)" --target ZEL_USB_Flasher torvex-sim; } >"$log" 2>&1; then
    cat "$log"
    echo "Demo FAILED: the build failed."
    exit 1
fi
echo "Running $build/ZEL_USB_Flasher --verbose against a simulated dongle in application mode:"
echo
status=0
"$build/tools/torvex-sim" --mode application --expect firmware/CAN.bin -- \
    "$build/ZEL_USB_Flasher" --verbose || status=$?
echo
if ! $user_build_was_there && [ -e build ]; then
    echo "Demo FAILED: it left a build/ folder, which is for your own builds with the dongle's firmware."
    exit 1
fi
case $status in
    0) echo "Demo passed: the flasher reported success and the dongle's flash equals firmware/CAN.bin." ;;
    3) echo "Demo FAILED: the flasher reported success but the dongle's flash differs from the image." ;;
    *) echo "Demo FAILED: exit status $status." ;;
esac
exit "$status"
