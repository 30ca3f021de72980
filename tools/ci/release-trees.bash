# Sourced by the suites on the release's static programs (20): the release
# that 70-release.sh leaves in $build/release/ (out/: the release; builds/:
# its build trees) and the programs the suites run, so that each static
# program is built only by the release's two builds. The path is absolute:
# the tests run the programs from their own working directories.

release=$(realpath -m "$build/release")
# release_version: the release's version, which must be the one build-test's
# end-to-end tests expect from --version (tools/run-tests.sh builds both so).
release_version() {
    local made expected
    [ -f "$release/out/MANIFEST" ] || { echo "no release in $release/out: run tools/ci/70-release.sh first" >&2; return 1; }
    made=$(sed -n 's/^version //p' "$release/out/MANIFEST")
    expected=$(sed -n 's/^TORVEX_PACKAGE_VERSION:[A-Z]*=//p' "$build/CMakeCache.txt")
    if [ "$made" != "$expected" ]; then
        echo "the release is version $made, $build's tests expect $expected:" \
            "configure $build with -DTORVEX_PACKAGE_VERSION=$made" >&2
        return 1
    fi
    echo "$made"
}

# add_test_programs TREE PROGRAM: adds the test programs (the same program
# around other images, ZEL_USB_Flasher_<length>, in TREE/tests) to the
# release's build TREE, with the release's own options, and checks that the
# release's PROGRAM is still the one that tree built. Installing or packaging
# the tree afterwards still builds nothing but what the release built.
add_test_programs() {
    local tree=$1 program=$2 variants=()
    [ -f "$tree/CMakeCache.txt" ] || { echo "no release build tree $tree: run tools/ci/70-release.sh first"; return 1; }
    cmp -s "$tree/ZEL_USB_Flasher" "$program" || { echo "$tree does not hold the release's $program"; return 1; }
    cmake "$tree" -DBUILD_TESTING=ON -DTORVEX_REQUIRE_GTEST=ON -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON >/dev/null ||
        return 1
    mapfile -t variants < <(sed -n 's/^ZEL_USB_Flasher_\([0-9]*\):.*$/ZEL_USB_Flasher_\1/p' "$tree/Makefile" |
        sort -u)
    [ "${#variants[@]}" -gt 0 ] || { echo "no test programs in $tree"; return 1; }
    cmake --build "$tree" -j"$(nproc)" --target "${variants[@]}" >/dev/null || return 1
    echo "$tree: ${variants[*]}"
    cmp -s "$tree/ZEL_USB_Flasher" "$program" || { echo "$tree rebuilt the release's program"; return 1; }
}
