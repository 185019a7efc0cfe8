#!/usr/bin/env bash
# The fast gate that scripts/test.sh runs before the long suites: every C
# and C++ file as clang-format lays it out (.clang-format), and every target
# of both builds compiled with warnings as errors (ZRT_WARNINGS in
# CMakeLists.txt). The host build (the program, the simulated machine, the
# unit tests and the conformance suite) comes first, so a misformatted file
# fails in a second and a warning in a test within the first minute; the
# win32 build then checks what only it compiles (the e2e tools, the Wine
# side of the conformance suite).
set -euo pipefail
cd "$(dirname "$0")/.."

start=$(date +%s)
mapfile -t sources < <(git ls-files '*.c' '*.cpp' '*.h')
if ! clang-format --dry-run --Werror "${sources[@]}"; then
    echo "gate: FAILED after $(($(date +%s) - start)) s: not as clang-format lays it out (clang-format -i FILE)" >&2
    exit 1
fi
for preset in host win32; do
    cmake --preset "$preset" >/dev/null
    if ! cmake --build --preset "$preset"; then
        echo "gate: FAILED after $(($(date +%s) - start)) s: the $preset build (a warning is an error)" >&2
        exit 1
    fi
done
echo "gate: passed in $(($(date +%s) - start)) s (${#sources[@]} files formatted, host and win32 built without a warning)"
