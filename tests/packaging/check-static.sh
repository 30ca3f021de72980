#!/usr/bin/env bash
# Fails unless the given program is one self-contained static executable:
# no program interpreter, no dynamic section, no shared library to load.
# Usage: check-static.sh <program>
set -uo pipefail

program=${1:?program}
[ -x "$program" ] || { echo "FAIL: $program is not an executable file"; exit 1; }
description=$(file -b "$program")
echo "file: $description"
case $description in
    *ELF*x86-64*"statically linked"* | *ELF*x86-64*"static-pie linked"*) ;;
    *) echo "FAIL: $program is not a static x86-64 executable"; exit 1 ;;
esac
if readelf -lW "$program" | grep -q 'INTERP'; then
    echo "FAIL: $program asks for a program interpreter"
    exit 1
fi
if readelf -dW "$program" | grep -q 'NEEDED'; then
    echo "FAIL: $program needs shared libraries: $(readelf -dW "$program" | grep NEEDED)"
    exit 1
fi
# ldd's wording differs between versions; what matters is that it lists no library.
if ldd "$program" 2>&1 | grep -q '=>'; then
    echo "FAIL: ldd lists libraries for $program"
    exit 1
fi
echo "$program is static ($(stat -c %s "$program") bytes)"
