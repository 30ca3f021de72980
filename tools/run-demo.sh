#!/usr/bin/env bash
# Builds the flasher and updates a simulated Torvex with it: the dongle starts
# in its application, the flasher switches it to its bootloader, writes the
# image and boots it; afterwards the dongle's flash is compared with the image.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/install-deps.sh
cmake -S . -B build >/dev/null
cmake --build build -j"$(nproc)" >/dev/null
echo "Running build/ZEL_USB_Flasher --verbose against a simulated dongle in application mode:"
echo
status=0
build/tools/torvex-sim --mode application --expect firmware/CAN.bin -- \
    build/ZEL_USB_Flasher --verbose || status=$?
echo
case $status in
    0) echo "Demo passed: the flasher reported success and the dongle's flash equals firmware/CAN.bin." ;;
    3) echo "Demo FAILED: the flasher reported success but the dongle's flash differs from the image." ;;
    *) echo "Demo FAILED: exit status $status." ;;
esac
exit "$status"
