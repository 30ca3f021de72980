#!/usr/bin/env bash
# Makes release VERSION (by default the project's version, 1.0.0) of the
# current commit in OUTDIR: for amd64, arm64 and armhf a static program (one
# file, nothing else needed) and a Debian package (the program dynamically
# linked, its dependencies computed by dpkg-shlibdeps), and a static program
# for ARMv6 boards (Debian's armel code), each carrying FIRMWARE; the udev
# rule; MANIFEST, which says which file is for which machine and which
# firmware they carry; and SHA256SUMS over all of them. Each package's version
# is VERSION and its description names the firmware file and its SHA-256, as
# "dpkg -s torvex-flasher" shows.
#
# It runs on an x86-64 Debian 12 machine, whose cross compilers and multiarch
# libraries (tools/install-deps.sh) it uses.
#
# It builds a clean copy of the commit (git archive) with SOURCE_DATE_EPOCH
# set to the commit's date and the build directory mapped out of the debug
# information, so that the same commit gives the same bytes wherever and
# whenever it is built. Like "cmake --install" and "cpack", it refuses the
# test image unless --allow-test-image is given (for testing only).
#
# --keep-builds DIR builds in DIR (which must not exist, or be empty) instead
# of a temporary folder and keeps it: the source (DIR/src) and each build tree
# (DIR/ARCH, left as it built the static program), for tests that run the
# release's programs and would otherwise build them again
# (tools/ci/70-release.sh). The prefix map keeps DIR out of the programs, so
# the release's bytes do not change.
#
# Usage: tools/release.sh [--version VERSION] [--allow-test-image] [--keep-builds DIR] FIRMWARE OUTDIR
set -euo pipefail
# CPack writes the archive members with the modes the files get on disk.
umask 022

usage="usage: $0 [--version VERSION] [--allow-test-image] [--keep-builds DIR] FIRMWARE OUTDIR"
version=
allow_test_image=OFF
keep=
while [ $# -gt 0 ]; do
    case $1 in
        --version) [ $# -ge 2 ] || { echo "$usage" >&2; exit 2; }; version=$2; shift 2 ;;
        --allow-test-image) allow_test_image=ON; shift ;;
        --keep-builds) [ $# -ge 2 ] || { echo "$usage" >&2; exit 2; }; keep=$2; shift 2 ;;
        *) break ;;
    esac
done
[ $# -eq 2 ] || { echo "$usage" >&2; exit 2; }
# The cross compilers and the foreign libraries come from Debian 12 for x86-64.
# shellcheck source=/dev/null
system=$(. /etc/os-release 2>/dev/null && echo "$ID $VERSION_ID")
if [ "$(uname -m)" != x86_64 ] || [ "$system" != "debian 12" ]; then
    echo "No release made: tools/release.sh needs an x86-64 Debian 12 machine, for Debian 12's" >&2
    echo "cross compilers and multiarch libraries; this one is $(uname -m), ${system:-unknown system}." >&2
    exit 1
fi
firmware=$(realpath "$1")
outdir=$2
repo=$(cd "$(dirname "$0")/.." && pwd)
if [ -n "$keep" ]; then
    [ ! -e "$keep" ] || [ -z "$(ls -A "$keep")" ] || { echo "$keep is not empty: no release made" >&2; exit 1; }
    mkdir -p "$keep"
    work=$(realpath "$keep")
else
    work=$(mktemp -d /tmp/torvex-release-XXXXXX)
    trap 'rm -rf "$work"' EXIT
fi

# Debian architecture, the machine as "uname -m" names it, the toolchain file,
# and whether a Debian package is made too. Raspberry Pi OS names the ARMv6 of
# the Raspberry Pi 1 and Zero armhf as well, so armel code gets no package of
# its own: those boards take its static program (and the armhf package refuses
# them).
targets=(
    "amd64 x86_64 - package"
    "arm64 aarch64 toolchain-aarch64-linux-gnu.cmake package"
    "armhf armv7l toolchain-arm-linux-gnueabihf.cmake package"
    "armel armv6l toolchain-arm-linux-gnueabi.cmake -"
)

export_commit() {
    commit=$(git -C "$repo" rev-parse HEAD)
    [ -z "$(git -C "$repo" status --porcelain --untracked-files=no)" ] ||
        echo "note: changes not committed are not in the release"
    echo "Release of commit $commit"
    mkdir "$work/src"
    git -C "$repo" archive "$commit" | tar -x -C "$work/src"
    SOURCE_DATE_EPOCH=$(git -C "$repo" log -1 --format=%ct "$commit")
    export SOURCE_DATE_EPOCH
}

# build ARCH TOOLCHAIN STATIC: configures (again) and builds $work/ARCH. The
# programs are stripped on their way into the release, so no debug
# information is made. Linking statically or not changes no compiler flag: the
# package's program and the static one are linked from the same objects.
build() {
    local toolchain=()
    [ "$2" == - ] || toolchain=(-DCMAKE_TOOLCHAIN_FILE="$work/src/cmake/$2")
    cmake -S "$work/src" -B "$work/$1" "${toolchain[@]}" -DBUILD_TESTING=OFF -DTORVEX_WERROR=ON \
        -DTORVEX_STATIC="$3" -DTORVEX_FIRMWARE="$firmware" -DTORVEX_ALLOW_TEST_IMAGE="$allow_test_image" \
        -DTORVEX_PACKAGE_VERSION="$version" \
        -DCMAKE_CXX_FLAGS="-ffile-prefix-map=$work/=" -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -DNDEBUG" \
        >>"$work/$1.log" 2>&1 ||
        { cat "$work/$1.log"; return 1; }
    cmake --build "$work/$1" -j"$(nproc)" >>"$work/$1.log" 2>&1 || { cat "$work/$1.log"; return 1; }
}

# static_program ARCH MACHINE TOOLCHAIN: the one-file program, taken through
# the install step so that it is refused exactly as an install would be.
static_program() {
    build "$1" "$3" ON
    cmake --install "$work/$1" --prefix "$work/$1-static-root" >/dev/null ||
        { echo "No release made: FIRMWARE must be the dongle's firmware file."; return 1; }
    cp "$work/$1-static-root/bin/ZEL_USB_Flasher" "$outdir/ZEL_USB_Flasher-$version-$2"
}

debian_package() {
    build "$1" "$3" OFF
    cpack --config "$work/$1/CPackConfig.cmake" -G DEB -B "$work/$1-packages" >"$work/$1-cpack.log" 2>&1 ||
        { cat "$work/$1-cpack.log"; return 1; }
    cp "$work/$1-packages/torvex-flasher_${version}_$1.deb" "$outdir/"
}

# write_manifest: what the release is and which file is for which machine,
# as "uname -m" (static programs) and "dpkg --print-architecture" (packages)
# name it. SHA256SUMS covers it too.
write_manifest() {
    {
        echo "version $version"
        echo "commit $commit"
        echo "firmware $(basename "$firmware")"
        echo "firmware-sha256 $(sha256sum <"$firmware" | cut -d ' ' -f 1)"
        printf '%s\n' "${manifest[@]}"
        echo "udev-rule 60-torvex.rules"
    } >"$outdir/MANIFEST"
}

export_commit
[ -n "$version" ] || version=$(sed -n 's/^project(ZEL_USB_Flasher VERSION \([0-9.]*\) .*/\1/p' "$work/src/CMakeLists.txt")
mkdir -p "$outdir"
outdir=$(realpath "$outdir")
artifacts=()
manifest=()
for target in "${targets[@]}"; do
    read -r arch machine toolchain package <<<"$target"
    # The package first: the static program then only needs linking.
    if [ "$package" == package ]; then
        echo "$arch: Debian package"
        debian_package "$arch" "$machine" "$toolchain"
    fi
    echo "$arch: static program for $machine"
    static_program "$arch" "$machine" "$toolchain"
    artifacts+=("ZEL_USB_Flasher-$version-$machine")
    manifest+=("program $machine ZEL_USB_Flasher-$version-$machine")
    if [ "$package" == package ]; then
        artifacts+=("torvex-flasher_${version}_$arch.deb")
        manifest+=("package $arch torvex-flasher_${version}_$arch.deb")
    fi
done
# For the static programs, which come without it.
cp "$work/src/packaging/60-torvex.rules" "$outdir/"
write_manifest
artifacts+=(60-torvex.rules MANIFEST)
(cd "$outdir" && sha256sum "${artifacts[@]}" >SHA256SUMS && cat SHA256SUMS)
echo "Release $version in $outdir"
