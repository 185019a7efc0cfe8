#!/usr/bin/env bash
# Runs a Windows test program under Wine in a prefix of its own, made once
# per build folder and reused. Usage: run_under_wine.sh PREFIX_DIR PROGRAM [ARGS...]
set -euo pipefail
prefix=$1
shift
export WINEPREFIX=$prefix WINEARCH=win64 WINEDEBUG=-all LANG=C.UTF-8
if [ ! -f "$prefix/system.reg" ]; then
  mkdir -p "$prefix"
  timeout 180 wineboot -i >/dev/null 2>&1
  timeout 60 wineserver -w
fi
status=0
timeout 300 wine "$@" || status=$?
timeout 30 wineserver -k >/dev/null 2>&1 || true
exit $status
