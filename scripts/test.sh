#!/usr/bin/env bash
# Runs every test of the removal tool from a fresh clone: installs what is
# missing, builds the host, host-asan and win32 presets, and runs the unit
# tests (plain and sanitized), the platform conformance suite and the
# end-to-end tests of the real program under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
start=$(date +%s)
for preset in host host-asan win32; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
done
ctest --preset host --parallel 2
ctest --preset host-asan --parallel 2
ctest --preset win32
echo "all suites passed in $(( $(date +%s) - start )) s"
