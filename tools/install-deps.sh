#!/usr/bin/env bash
# Installs the Debian packages that building and testing the flasher need.
# Packages already present are left alone, so a prepared machine needs no network.
# Usage: install-deps.sh [--print] [demo|all] [PACKAGE...]
#   demo: only what tools/run-demo.sh needs (no cross compilers, no foreign architectures);
#   all (the default): everything the whole test suite needs, and the PACKAGEs given.
#   --print: lists the packages of the set, one a line, and installs nothing.
set -euo pipefail

print_only=false
if [ "${1:-}" == --print ]; then
    print_only=true
    shift
fi
set_name=all
case ${1:-} in
    demo | all) set_name=$1; shift ;;
esac

packages=(
    cmake g++ make                # build the program and the simulated dongle
    nlohmann-json3-dev            # the program's --json, and the fault soak's outcomes (tools/soak)
    setserial util-linux          # the program's latency call; unshare and mount for the rig
)
# The demo needs nothing more, and must not change what the user's system
# installs from: no foreign architecture.
foreign_architectures=()
if [ "$set_name" == all ]; then
    packages+=(
        libgtest-dev                  # unit and end-to-end tests
        clang-tidy cppcheck clang-format valgrind  # the checking gates in tools/ci
        qemu-system-x86 busybox-static xz-utils jq  # the USB test in a QEMU guest (tests/qemu)
        file dpkg-dev man-db groff-base  # packaging checks: static program, .deb dependencies, manual page lint
        g++-aarch64-linux-gnu g++-arm-linux-gnueabihf g++-arm-linux-gnueabi qemu-user-static lintian git  # releases (tools/release.sh)
        "$@"
    )
    # dpkg-shlibdeps reads a foreign program's dependencies from the installed
    # libraries of its architecture.
    foreign_architectures=(arm64 armhf)
fi
for architecture in "${foreign_architectures[@]}"; do
    packages+=("libc6:$architecture" "libstdc++6:$architecture" "libgcc-s1:$architecture")
done
if $print_only; then
    printf '%s\n' "${packages[@]}"
    exit 0
fi

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
