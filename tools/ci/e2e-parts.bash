# Sourced by the gates that run end-to-end tests. The tests labelled timing
# (tests/e2e/timing.cmake) have margins of a fraction of the program's own
# timeouts, so they do not run beside dozens of others. TORVEX_E2E_PART:
# "parallel", the gate's other tests ($e2e_jobs at once, eight by default) and
# other checks; "timing", its timing tests one at a time and nothing else;
# unset, both, the timing tests last.
e2e_part=${TORVEX_E2E_PART:-all}

# e2e_ctest EXCLUDED_LABELS CTEST_ARGS...: the tests that CTEST_ARGS select,
# but none labelled with EXCLUDED_LABELS (a regular expression, or empty).
e2e_ctest() {
    local excluded=timing
    [ -z "$1" ] || excluded="timing|$1"
    shift
    case $e2e_part in
        parallel) ctest "$@" -LE "$excluded" -j"${e2e_jobs:-8}" ;;
        timing) ctest "$@" -L timing ;;
        *) ctest "$@" -LE "$excluded" -j"${e2e_jobs:-8}" && ctest "$@" -L timing ;;
    esac
}
