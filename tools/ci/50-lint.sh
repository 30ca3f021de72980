#!/usr/bin/env bash
# Static checks of our own C++ code: clang-tidy with the checks in
# .clang-tidy over every file the build compiles under src/ and tools/,
# cppcheck over the same directories, and clang-format's layout (.clang-format)
# over every C++ file under src/, tools/ and tests/. Reads build-test/ for the
# exact compiler flags (compile_commands.json).
set -uo pipefail
cd "$(dirname "$0")/../.."

build=${BUILD_DIR:-build-test}
root=$(pwd)
failed=0
[ -f "$build/compile_commands.json" ] || { echo "no $build/compile_commands.json: build first"; exit 1; }

mapfile -t compiled < <(grep -o '"file": *"[^"]*"' "$build/compile_commands.json" |
    sed 's/"file": *"\(.*\)"/\1/' | grep -E "^$root/(src|tools)/" | sort -u)
echo "clang-tidy: ${#compiled[@]} files"
if ! printf '%s\n' "${compiled[@]}" |
    xargs -P "$(nproc)" -n 1 clang-tidy -p "$build" --quiet 2>/dev/null; then
    echo "FAILED: clang-tidy"
    failed=1
fi

echo "cppcheck: src tools"
if ! cppcheck --enable=warning,performance,portability --error-exitcode=1 --inline-suppr \
    --quiet --std=c++17 --language=c++ -I src -I tools src tools; then
    echo "FAILED: cppcheck"
    failed=1
fi

mapfile -t cxx < <(find src tools tests -name '*.cpp' -o -name '*.h' | sort)
echo "clang-format: ${#cxx[@]} files"
if ! clang-format --dry-run --Werror "${cxx[@]}"; then
    echo "FAILED: clang-format (fix with: clang-format -i <file>)"
    failed=1
fi
exit $failed
