# Sourced by the gates that run end-to-end tests. They mostly sleep through
# the program's fixed waits, so $e2e_jobs run at once (eight by default), the
# timing tests (tests/e2e/timing.cmake) among them: none assumes how long the
# program's waits last.

# e2e_ctest EXCLUDED_LABELS CTEST_ARGS...: the tests that CTEST_ARGS select,
# but none labelled with EXCLUDED_LABELS (a regular expression, or empty).
e2e_ctest() {
    local excluded=$1
    shift
    ctest "$@" ${excluded:+-LE "$excluded"} -j"${e2e_jobs:-8}"
}
