#!/usr/bin/env bash
# Runs every test of the removal tool from a fresh clone: installs what is
# missing, runs the fast gate (scripts/gate.sh: layout, and the host and
# win32 builds with warnings as errors), builds the host-asan and fuzz
# presets, and runs the
# unit tests (plain and sanitized), the fuzz targets on their corpus, the
# platform conformance suite and the end-to-end tests of the real program
# under Wine. Where this machine runs
# 32-bit programs only emulated, the Wine suites take about three times as
# long; where it cannot run them at all, they are skipped and the summary
# says why.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
# shellcheck source=wine_32bit.sh
source scripts/wine_32bit.sh
start=$(date +%s)
# First the fast gate: layout and warnings (builds host and win32).
bash scripts/gate.sh
for preset in host-asan fuzz; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
done
ctest --preset host --parallel 2
ctest --preset host-asan --parallel 2
# Each fuzz target a few seconds on its checked-in corpus.
ctest --preset fuzz
zrt_32bit_mode
echo "$ZRT_32BIT_LINE"
wine_start=$(date +%s)
ctest --preset win32 | tee build/win32/ctest-wine.txt
wine_s=$(($(date +%s) - wine_start))
if grep -q '(Skipped)' build/win32/ctest-wine.txt; then
  echo "all suites passed in $(($(date +%s) - start)) s; the Wine suites were SKIPPED: $ZRT_32BIT_LINE"
else
  echo "all suites passed in $(($(date +%s) - start)) s (Wine suites $wine_s s; $ZRT_32BIT_LINE)"
fi
