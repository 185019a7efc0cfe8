#!/usr/bin/env bash
# Runs a Windows test program under Wine in a prefix of its own, made once
# per build folder and reused. Usage: run_under_wine.sh PREFIX_DIR PROGRAM [ARGS...]
# Its first line says how 32-bit programs run here; where they cannot run
# at all it exits 77, which ctest reports as a skip.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=../../scripts/wine_32bit.sh
source "$here/../../scripts/wine_32bit.sh"
zrt_32bit_require
slow=$ZRT_WINE_SLOWDOWN

prefix=$(realpath -m "$1")
shift
# No debugger: a crashed program ends instead of waiting in winedbg for ever.
export WINEPREFIX=$prefix WINEARCH=win64 WINEDEBUG=-all LANG=C.UTF-8 \
  WINEDLLOVERRIDES="winemenubuilder.exe=d;mscoree=d;mshtml=d;winedbg.exe=d"
if [ ! -f "$prefix/.zrt-ready" ]; then
  rm -rf "$prefix"
  mkdir -p "$prefix"
  timeout -k 5 $((180 * slow)) wineboot -i >/dev/null 2>&1
  # Windows' 30 s for a service's answer to a control request, in place of
  # Wine's 10 s (see tests/e2e/lib.sh, e2e_make_template).
  timeout -k 5 $((60 * slow)) wine reg add 'HKLM\SYSTEM\CurrentControlSet\Control' \
    /v ServicesPipeTimeout /t REG_SZ /d 30000 /f >/dev/null 2>&1
  timeout -k 5 $((60 * slow)) wineserver -w
  touch "$prefix/.zrt-ready"
fi
status=0
timeout -k 5 $((300 * slow)) wine "$@" || status=$?
timeout -k 5 30 wineserver -k >/dev/null 2>&1 || true
exit $status
