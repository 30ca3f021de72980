#!/usr/bin/env bash
# The test image must never reach a real dongle. Checks that a configure with
# no firmware chosen stops and names both choices, also after an opted-in
# configure of the same build; that a build carrying the test image (known by
# content, so under another name too) refuses "cmake --install" and "cpack"
# with a message saying how to fix it, and installs nothing; that an opted-in
# build and a build with another image install; and that a missing or empty
# image is a configure error that names the file.
# Usage: testImageRefusalTest.sh SOURCE_DIR OTHER_IMAGE
set -uo pipefail
source_dir=$1 other_image=$2
work=$(mktemp -d /tmp/torvex-refusal-XXXXXX)
trap 'rm -rf "$work"' EXIT
build=$work/build
errors=0
fail() {
    echo "FAIL: $*"
    errors=$((errors + 1))
}
fix_line="-DTORVEX_FIRMWARE=<firmware file>"

configure() { # OPTIONS...: configures $build, output in $work/configure.log
    cmake -S "$source_dir" -B "$build" -DBUILD_TESTING=OFF "$@" >"$work/configure.log" 2>&1
}
build_program() {
    cmake --build "$build" --target ZEL_USB_Flasher >"$work/build.log" 2>&1 ||
        { cat "$work/build.log"; echo "FAIL: build failed"; exit 1; }
}
installed_files() { # DESTDIR: the files an install put there
    find "$1" -type f 2>/dev/null | sort
}

expect_refused() { # WHAT: install and cpack must both stop with the message and leave nothing
    local destdir=$work/refused-root
    DESTDIR="$destdir" cmake --install "$build" >"$work/install.log" 2>&1 &&
        fail "$1: cmake --install succeeded"
    cpack --config "$build/CPackConfig.cmake" -G DEB -B "$work/refused-out" >"$work/cpack.log" 2>&1 &&
        fail "$1: cpack succeeded"
    for log in install cpack; do
        grep -q "carries the test image" "$work/$log.log" || fail "$1: $log does not say it carries the test image"
        grep -qF -- "$fix_line" "$work/$log.log" || fail "$1: $log does not say how to choose the firmware"
    done
    [ -z "$(installed_files "$destdir")" ] || fail "$1: install put files in place: $(installed_files "$destdir")"
    [ -z "$(find "$work/refused-out" -name '*.deb' 2>/dev/null)" ] || fail "$1: cpack made a package"
    rm -rf "$destdir" "$work/refused-out"
}

expect_installed() { # WHAT: install puts the program, the manual page and the rule in place
    local destdir=$work/root-$RANDOM
    DESTDIR="$destdir" cmake --install "$build" --prefix /usr >"$work/install.log" 2>&1 ||
        { cat "$work/install.log"; fail "$1: cmake --install failed"; return; }
    cmp -s "$destdir/usr/bin/ZEL_USB_Flasher" "$build/ZEL_USB_Flasher" || fail "$1: the program is not installed"
    [ -f "$destdir/usr/share/man/man1/ZEL_USB_Flasher.1" ] || fail "$1: the manual page is not installed"
    [ -f "$destdir/usr/lib/udev/rules.d/60-torvex.rules" ] || fail "$1: the udev rule is not installed"
}

expect_configure_error() { # WHAT IMAGE
    configure -DTORVEX_FIRMWARE="$2" && fail "$1: configuring succeeded"
    grep -qF "$2" "$work/configure.log" || fail "$1: the configure error does not name $2"
    grep -qF -- "$fix_line" "$work/configure.log" || fail "$1: the configure error does not say how to choose the firmware"
}

expect_no_choice_refused() { # WHAT: configure stops and names both choices
    configure "${@:2}" && fail "$1: configuring succeeded"
    grep -qF -- "-DTORVEX_FIRMWARE=<the dongle's firmware file>" "$work/configure.log" ||
        fail "$1: the configure error does not offer the dongle's firmware file"
    grep -qF -- "-DTORVEX_ALLOW_TEST_IMAGE=ON" "$work/configure.log" ||
        fail "$1: the configure error does not offer the test image"
}

expect_no_choice_refused "no firmware chosen"
configure -DTORVEX_ALLOW_TEST_IMAGE=ON || { cat "$work/configure.log"; fail "configuring with only the opt-in failed"; }
grep -q "Carrying the test image" "$work/configure.log" || fail "the opt-in alone does not carry the test image"
expect_no_choice_refused "opt-in taken back" -DTORVEX_ALLOW_TEST_IMAGE=OFF

configure -DTORVEX_FIRMWARE="$source_dir/firmware/CAN.bin" || { cat "$work/configure.log"; exit 1; }
build_program
expect_refused "the test image named, not allowed"

cp "$source_dir/firmware/CAN.bin" "$work/dongle-firmware.bin"
configure -DTORVEX_FIRMWARE="$work/dongle-firmware.bin" || fail "configuring with a renamed copy failed"
expect_refused "renamed copy of the test image"

configure -DTORVEX_ALLOW_TEST_IMAGE=ON || fail "configuring the opted-in build failed"
expect_installed "opted-in build"

configure -DTORVEX_ALLOW_TEST_IMAGE=OFF -DTORVEX_FIRMWARE="$other_image" || fail "configuring with another image failed"
build_program
expect_installed "build with another image"

rm -rf "$build"
expect_configure_error "missing image" "$work/no-such-firmware.bin"
: >"$work/empty.bin"
expect_configure_error "empty image" "$work/empty.bin"

[ "$errors" -eq 0 ] || { echo "$errors problem(s)"; exit 1; }
echo "PASS: the test image is refused by install and cpack, under any name, unless allowed; other images install"
