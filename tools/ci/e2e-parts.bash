# Sourced by the gates that run end-to-end tests. They mostly sleep through
# the program's fixed waits, so $e2e_jobs run at once (eight by default), the
# timing tests (tests/e2e/timing.cmake) among them: none assumes how long the
# program's waits last.

# e2e_ctest EXCLUDED_LABELS CTEST_ARGS...: the tests that CTEST_ARGS select,
# but none labelled with EXCLUDED_LABELS (a regular expression, or empty).
# The station's tests (label station) run after the others, and one that fails
# runs once more: under load they have been seen to fail now and then, with a
# simulated dongle that did not answer in time, for a cause not found yet.
e2e_ctest() {
    local excluded=$1
    shift
    ctest "$@" -LE "${excluded:+$excluded|}station" -j"${e2e_jobs:-8}" || return 1
    [[ "|$excluded|" != *"|station|"* ]] || return 0
    ctest "$@" -L station ${excluded:+-LE "$excluded"} --repeat until-pass:2 -j"${e2e_jobs:-8}"
}
