#!/usr/bin/env bash
# Makes a release of the current commit in OUTDIR: for amd64, arm64 and armhf
# a static program (one file, nothing else needed) and a Debian package (the
# program dynamically linked, its dependencies computed by dpkg-shlibdeps),
# each carrying FIRMWARE; the udev rule; and SHA256SUMS over all of them.
#
# It builds a clean copy of the commit (git archive) with SOURCE_DATE_EPOCH
# set to the commit's date and the build directory mapped out of the debug
# information, so that the same commit gives the same bytes wherever and
# whenever it is built. Like "cmake --install" and "cpack", it refuses the
# test image unless --allow-test-image is given (for testing only).
#
# Usage: tools/release.sh [--allow-test-image] FIRMWARE OUTDIR
set -euo pipefail
# CPack writes the archive members with the modes the files get on disk.
umask 022

allow_test_image=OFF
if [ "${1:-}" == "--allow-test-image" ]; then
    allow_test_image=ON
    shift
fi
[ $# -eq 2 ] || { echo "usage: $0 [--allow-test-image] FIRMWARE OUTDIR" >&2; exit 2; }
firmware=$(realpath "$1")
outdir=$2
repo=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d /tmp/torvex-release-XXXXXX)
trap 'rm -rf "$work"' EXIT

# Debian architecture, the machine as "uname -m" names it, and the toolchain file.
targets=(
    "amd64 x86_64 -"
    "arm64 aarch64 toolchain-aarch64-linux-gnu.cmake"
    "armhf armv7l toolchain-arm-linux-gnueabihf.cmake"
)

export_commit() {
    local commit
    commit=$(git -C "$repo" rev-parse HEAD)
    [ -z "$(git -C "$repo" status --porcelain --untracked-files=no)" ] ||
        echo "note: changes not committed are not in the release"
    echo "Release of commit $commit"
    mkdir "$work/src"
    git -C "$repo" archive "$commit" | tar -x -C "$work/src"
    SOURCE_DATE_EPOCH=$(git -C "$repo" log -1 --format=%ct "$commit")
    export SOURCE_DATE_EPOCH
}

# build NAME TOOLCHAIN STATIC: configures and builds $work/NAME.
build() {
    local toolchain=()
    [ "$2" == - ] || toolchain=(-DCMAKE_TOOLCHAIN_FILE="$work/src/cmake/$2")
    cmake -S "$work/src" -B "$work/$1" "${toolchain[@]}" -DBUILD_TESTING=OFF -DTORVEX_WERROR=ON \
        -DTORVEX_STATIC="$3" -DTORVEX_FIRMWARE="$firmware" -DTORVEX_ALLOW_TEST_IMAGE="$allow_test_image" \
        -DCMAKE_CXX_FLAGS="-ffile-prefix-map=$work/=" >"$work/$1.log" 2>&1 ||
        { cat "$work/$1.log"; return 1; }
    cmake --build "$work/$1" -j"$(nproc)" >>"$work/$1.log" 2>&1 || { cat "$work/$1.log"; return 1; }
}

# static_program ARCH MACHINE TOOLCHAIN: the one-file program, taken through
# the install step so that it is refused exactly as an install would be.
static_program() {
    build "$1-static" "$3" ON
    cmake --install "$work/$1-static" --prefix "$work/$1-static-root" >/dev/null ||
        { echo "No release made: FIRMWARE must be the dongle's firmware file."; return 1; }
    cp "$work/$1-static-root/bin/ZEL_USB_Flasher" "$outdir/ZEL_USB_Flasher-$version-$2"
}

debian_package() {
    build "$1-deb" "$3" OFF
    cpack --config "$work/$1-deb/CPackConfig.cmake" -G DEB -B "$work/$1-packages" >"$work/$1-cpack.log" 2>&1 ||
        { cat "$work/$1-cpack.log"; return 1; }
    cp "$work/$1-packages/torvex-flasher_${version}_$1.deb" "$outdir/"
}

export_commit
version=$(sed -n 's/^project(ZEL_USB_Flasher VERSION \([0-9.]*\) .*/\1/p' "$work/src/CMakeLists.txt")
mkdir -p "$outdir"
outdir=$(realpath "$outdir")
artifacts=()
for target in "${targets[@]}"; do
    read -r arch machine toolchain <<<"$target"
    echo "$arch: static program and Debian package"
    static_program "$arch" "$machine" "$toolchain"
    debian_package "$arch" "$machine" "$toolchain"
    artifacts+=("ZEL_USB_Flasher-$version-$machine" "torvex-flasher_${version}_$arch.deb")
done
# For the static programs, which come without it.
cp "$work/src/packaging/60-torvex.rules" "$outdir/"
artifacts+=(60-torvex.rules)
(cd "$outdir" && sha256sum "${artifacts[@]}" >SHA256SUMS && cat SHA256SUMS)
echo "Release $version in $outdir"
