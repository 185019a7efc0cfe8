#!/usr/bin/env bash
# Takes the README's screenshot of the dialog: the real program under Wine on
# a virtual display, captured once its dialog shows, trimmed to the window.
#   bash scripts/screenshot.sh [OUT.png]   (default docs/dialog.png)
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
OUT=${1:-$ROOT/docs/dialog.png}
bash scripts/setup.sh
cmake --preset win32 >/dev/null
cmake --build --preset win32 >/dev/null
# shellcheck source=../tests/e2e/lib.sh
source "$ROOT/tests/e2e/lib.sh"
WORK=$(mktemp -d "${TMPDIR:-/tmp}/zrt-shot.XXXXXX")
e2e_init "$WORK"
E2E_REMOVE_WORK=1
export E2E_TEST_DIR=$WORK/shot
mkdir -p "$E2E_TEST_DIR"
e2e_start_xvfb
e2e_make_template
e2e_new_prefix "$E2E_TEST_DIR" build/win32/ZeltraES_RT.exe build/win32/tests/e2e/driver.exe
e2e_start 'C:\e2e\ZeltraES_RT.exe'
program=$E2E_PID
e2e_drive_ok wait-dialog pause 500
import -display "$DISPLAY" -window root "$WORK/screen.png"
convert "$WORK/screen.png" -trim +repage "$OUT"
e2e_drive_ok close wait-exit
e2e_wait "$program" 10 || true
echo "screenshot: $OUT"
