#!/usr/bin/env bash
# The fault soak on the kernel's own cdc_acm driver (about two and a half
# minutes): six QEMU guests at once, which mostly wait through the program's
# fixed pauses, each with a dummy_hcd, where the soak's dongle is a configfs
# USB gadget that can also be pulled out at any instant. Fails
# on any false success, hang, crash, output on standard error, failure
# without its verdict and status 255, a verdict later than 10 s after a
# disconnect, or fewer runs done than asked for. The seed is printed; set
#   KSOAK_SEED to repeat a soak, KSOAK_RUNS (150) to make it longer,
#   KSOAK_REPLAY=RUN (with KSOAK_SEED) to replay one run, showing all it did.
set -uo pipefail
cd "$(dirname "$0")/../.." || exit 1

build=${BUILD_DIR:-build-test}
[ -x "$build/tools/torvex-soak" ] || { echo "no $build/tools/torvex-soak: build first"; exit 1; }
export KSOAK_SEED=${KSOAK_SEED:-$(date +%s)}
exec tests/qemu/run-kernel-soak.sh "$build/tools/torvex-soak" "$build/ZEL_USB_Flasher" \
    firmware/CAN.bin "$build/kernel-soak"
