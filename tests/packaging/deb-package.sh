#!/usr/bin/env bash
# Builds the Debian package from the build tree with CPack and checks it:
# the control fields (the description names the firmware file carried and its
# SHA-256), the file list (paths, owners, modes), and then installs
# it with dpkg into a scratch root and checks what landed there: the program
# runs, the manual page is compressed and readable, the rule is the shipped one,
# the copyright file is LICENSE's, the changelog names this version.
# Removing the package must leave none of its files behind. An armhf package
# must refuse to install on an ARMv6 or older processor.
# Usage: deb-package.sh <build dir> <source dir> <version> <firmware> [<package> <architecture>]
# With a package file given, that package is checked instead of one built
# here; one for another architecture is installed with --force-architecture
# and its program run through $TORVEX_EMULATOR (for example qemu-aarch64-static).
set -uo pipefail

build=${1:?build dir}
source=${2:?source dir}
version=${3:?version}
firmware=${4:?firmware file}
given_deb=${5:-}
architecture=${6:-$(dpkg --print-architecture)}
emulator=${TORVEX_EMULATOR:-}
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
errors=0
fail() {
    echo "FAIL: $*"
    errors=$((errors + 1))
}

if [ -n "$given_deb" ]; then
    deb=$given_deb
else
    cpack --config "$build/CPackConfig.cmake" -G DEB -B "$scratch/out" >"$scratch/cpack.log" 2>&1 ||
        { cat "$scratch/cpack.log"; echo "FAIL: cpack -G DEB failed"; exit 1; }
    mapfile -t debs < <(find "$scratch/out" -maxdepth 1 -name '*.deb')
    [ "${#debs[@]}" -eq 1 ] || { echo "FAIL: expected one .deb, found ${#debs[@]}"; exit 1; }
    deb=${debs[0]}
fi
force_architecture=()
[ "$architecture" == "$(dpkg --print-architecture)" ] || force_architecture=(--force-architecture)
[ "$(basename "$deb")" == "torvex-flasher_${version}_${architecture}.deb" ] ||
    fail "package file is named $(basename "$deb")"

dpkg-deb -I "$deb"
field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" == torvex-flasher ] || fail "Package: $(field Package)"
[ "$(field Version)" == "$version" ] || fail "Version: $(field Version), expected $version"
[ "$(field Architecture)" == "$architecture" ] || fail "Architecture: $(field Architecture), expected $architecture"
[[ $(field Maintainer) =~ ^[^\<]+\ \<[^@\>]+@[^@\>]+\>$ ]] || fail "Maintainer is not 'Name <address>': $(field Maintainer)"
[[ ", $(field Recommends), " == *", setserial"[\ ,]* ]] || fail "setserial is not recommended: $(field Recommends)"
firmware_sha256=$(sha256sum <"$firmware" | cut -d ' ' -f 1)
# names <text>: the text names the firmware by its file name and its SHA-256.
names() { grep -qxF "  $(basename "$firmware")" <<<"$1" && grep -qxF "  $firmware_sha256" <<<"$1"; }
names "$(field Description)" || fail "the description does not name $(basename "$firmware") and $firmware_sha256"

echo
dpkg-deb -c "$deb" | tee "$scratch/contents"
# entry <mode> <path>: the archive holds <path> owned by root with <mode>.
entry() {
    grep -qE "^$1 root/root +[0-9]+ [0-9-]+ [0-9:]+ \./$2\$" "$scratch/contents" ||
        fail "the package has no $2 with mode $1 owned by root: $(grep -F "./$2" "$scratch/contents" || echo missing)"
}
entry -rwxr-xr-x usr/bin/ZEL_USB_Flasher
entry -rw-r--r-- usr/share/man/man1/ZEL_USB_Flasher.1.gz
entry -rw-r--r-- usr/lib/udev/rules.d/60-torvex.rules
entry -rw-r--r-- usr/share/doc/torvex-flasher/copyright
entry -rw-r--r-- usr/share/doc/torvex-flasher/changelog.gz
odd_directories=$(awk '/^d/ && ($1 != "drwxr-xr-x" || $2 != "root/root") { print $1, $2, $6 }' "$scratch/contents")
[ -z "$odd_directories" ] || fail "directories not 755 root/root: $odd_directories"
outside=$(awk '{ print $6 }' "$scratch/contents" | grep -v '^\./usr/' | grep -vx '\./' || true)
[ -z "$outside" ] || fail "files outside /usr: $outside"
grep -qE '/man/man[1-9]/[^ ]+\.[1-9]$' "$scratch/contents" && fail "an uncompressed manual page is in the package"

# Install into an empty dpkg root, as apt would on a real system.
# The scratch root has no libc6 package: a dynamic program's Depends cannot be
# met there; nor has it a shell, so maintainer scripts run outside it, where
# "uname -m" gives the answer of a board of the package's architecture.
root=$scratch/root
install_into() {
    dpkg --root="$1" --force-depends --force-not-root --force-script-chrootless "${force_architecture[@]}" \
        --log=/dev/null -i "$deb"
}
fake_bin=$scratch/bin
mkdir "$fake_bin"
# machine_is MACHINE: "uname -m" says MACHINE from now on.
machine_is() { printf '#!/bin/sh\necho %s\n' "$1" >"$fake_bin/uname" && chmod 755 "$fake_bin/uname"; }
installed() { [ "$(dpkg-query --admindir="$1/var/lib/dpkg" -W -f='${Status}' torvex-flasher 2>/dev/null)" == "install ok installed" ]; }
empty_root() {
    mkdir -p "$1/var/lib/dpkg/info" "$1/var/lib/dpkg/updates"
    touch "$1/var/lib/dpkg/status" "$1/var/lib/dpkg/available"
}
declare -A board_machine=([amd64]=x86_64 [arm64]=aarch64 [armhf]=armv7l)
machine_is "${board_machine[$architecture]:-$(uname -m)}"
empty_root "$root"
PATH=$fake_bin:$PATH install_into "$root" >"$scratch/dpkg.log" 2>&1 || { cat "$scratch/dpkg.log"; fail "dpkg -i --root failed"; }
installed "$root" || fail "dpkg does not record torvex-flasher as installed"
names "$(dpkg-query --admindir="$root/var/lib/dpkg" -s torvex-flasher)" || fail "dpkg -s does not name the firmware"
# The program itself names the same release and firmware.
if [ "$architecture" == "$(dpkg --print-architecture)" ]; then
    told=$("$root/usr/bin/ZEL_USB_Flasher" --version)
    want="ZEL_USB_Flasher $version"$'\n'"firmware: $(basename "$firmware"), $(stat -c %s "$firmware") bytes, sha256 $firmware_sha256"
    if [ "$firmware_sha256" == "$(cut -d ' ' -f 1 "$source/firmware/CAN.bin.sha256")" ]; then
        want+=$'\n'"This is the project's test image, not a dongle's firmware."
    fi
    [ "$told" == "$want" ] || fail "ZEL_USB_Flasher --version says: $told"
fi

# The armhf program dies on the processors of the Raspberry Pi 1 and Zero
# (armv6l) and older ones (armv5tejl): there the package must not install.
if [ "$architecture" == armhf ]; then
    for machine in armv6l armv5tejl; do
        machine_is "$machine"
        empty_root "$scratch/$machine"
        log=$scratch/$machine.log
        if PATH=$fake_bin:$PATH install_into "$scratch/$machine" >"$log" 2>&1; then
            fail "the armhf package installed on $machine"
        fi
        if ! grep -q "this processor is $machine " "$log" ||
            ! grep -q "ZEL_USB_Flasher-$version-armv6l of the same release" "$log"; then
            fail "on $machine the refusal does not name ZEL_USB_Flasher-$version-armv6l: $(cat "$log")"
        fi
        if installed "$scratch/$machine" || [ -e "$scratch/$machine/usr/bin/ZEL_USB_Flasher" ]; then
            fail "after the refusal on $machine the package is installed"
        fi
    done
    echo "refused on armv6l and armv5tejl; on armv6l:"
    sed -n '/^torvex-flasher: not installed/,/instead\.$/p' "$scratch/armv6l.log"
fi

program=$root/usr/bin/ZEL_USB_Flasher
if [ -x "$program" ]; then
    output=$($emulator "$program" --help)
    status=$?
    [ "$status" -eq 255 ] || fail "packaged program: --help exited with $status, expected 255"
    [[ $output == "usage: "* ]] || fail "packaged program: --help printed: $output"
    description=$(file -b "$program")
    echo "packaged program: $description"
    [[ $description == *", stripped"* ]] || fail "the packaged program is not stripped"
    # A dynamic program must pull in its libraries; a static one must not ask for any.
    if [[ $description == *"dynamically linked"* ]]; then
        for library in libc6 libstdc++6; do
            [[ ", $(field Depends)" == *", $library "* ]] || fail "dynamic program, but Depends lacks $library: $(field Depends)"
        done
    else
        [ -z "$(field Depends)" ] || fail "static program, but Depends is: $(field Depends)"
    fi
else
    fail "no executable /usr/bin/ZEL_USB_Flasher after dpkg -i"
fi

page=$root/usr/share/man/man1/ZEL_USB_Flasher.1.gz
if gzip -t "$page" 2>/dev/null; then
    zcat "$page" | cmp -s - "$build/packaging/ZEL_USB_Flasher.1" || fail "the packaged manual page is not the built one"
    found=$(MANPATH="$root/usr/share/man" man -w 1 ZEL_USB_Flasher 2>&1)
    [ "$found" == "$page" ] || fail "man -w 1 ZEL_USB_Flasher in the package root gives: $found"
else
    fail "no gzip-compressed /usr/share/man/man1/ZEL_USB_Flasher.1.gz"
fi

rule=$root/usr/lib/udev/rules.d/60-torvex.rules
cmp -s "$rule" "$source/packaging/60-torvex.rules" || fail "/usr/lib/udev/rules.d/60-torvex.rules is missing or not the shipped rule"

doc=$root/usr/share/doc/torvex-flasher
# The copyright file is machine-readable and carries LICENSE's notice and terms.
head -n 1 "$doc/copyright" 2>/dev/null | grep -qx 'Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' ||
    fail "copyright is not in Debian's machine-readable format"
notice=$(sed -n 's/^Copyright (c) //p' "$source/LICENSE")
grep -qx "Copyright: $notice" "$doc/copyright" 2>/dev/null || fail "copyright does not name '$notice'"
grep -qx "License: Expat" "$doc/copyright" 2>/dev/null || fail "copyright does not give the Expat (MIT) licence"
terms=$(sed -n '/^Permission is hereby granted/,$p' "$source/LICENSE" | sed 's/^$/./; s/^/ /')
[[ $(cat "$doc/copyright" 2>/dev/null) == *"$terms" ]] || fail "copyright does not end with LICENSE's terms"
# A forgotten changelog entry would ship a package that contradicts its own history.
latest=$(zcat "$doc/changelog.gz" 2>/dev/null | head -n 1)
[[ $latest == "torvex-flasher ($version) "* ]] || fail "changelog.gz does not start with version $version: $latest"

dpkg --root="$root" --force-not-root --log=/dev/null -r torvex-flasher >"$scratch/dpkg.log" 2>&1 ||
    { cat "$scratch/dpkg.log"; fail "dpkg -r failed"; }
left=$(find "$root/usr" -type f 2>/dev/null)
[ -z "$left" ] || fail "files left after dpkg -r: $left"

[ "$errors" -eq 0 ] || { echo "$errors problem(s)"; exit 1; }
echo "$(basename "$deb"): fields, contents, install and removal as expected"
