#!/usr/bin/env bash
# Installs the Debian packages that building and testing the flasher need.
# Packages already present are left alone, so a prepared machine needs no network.
set -euo pipefail

packages=(
    cmake g++ make libgtest-dev   # build and unit tests
    setserial util-linux          # the program's latency call; unshare and mount for the rig
    clang-tidy cppcheck clang-format valgrind  # the checking gates in tools/ci
    qemu-system-x86 busybox-static xz-utils  # the USB test in a QEMU guest (tests/qemu)
    file dpkg-dev man-db groff-base  # packaging checks: static program, .deb dependencies, manual page lint
    g++-aarch64-linux-gnu g++-arm-linux-gnueabihf g++-arm-linux-gnueabi qemu-user-static lintian git  # releases (tools/release.sh)
    "$@"
)
# dpkg-shlibdeps reads a foreign program's dependencies from the installed
# libraries of its architecture.
foreign_architectures=(arm64 armhf)
for architecture in "${foreign_architectures[@]}"; do
    packages+=("libc6:$architecture" "libstdc++6:$architecture" "libgcc-s1:$architecture")
done

missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" || missing+=("$package")
done
if [ "${#missing[@]}" -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    for architecture in "${foreign_architectures[@]}"; do
        dpkg --print-foreign-architectures | grep -qx "$architecture" || dpkg --add-architecture "$architecture"
    done
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
