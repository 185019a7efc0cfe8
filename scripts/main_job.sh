#!/usr/bin/env bash
# The tool's main job, end to end, on a throwaway Windows machine: installs
# what is missing, builds the program, makes a Wine prefix, plants the
# product's default installation and its SQL instance there, runs
# ZeltraES_RT.exe /l through its dialog in complete removal (mode 2), and
# prints the message boxes, the trace log, and what was on the machine
# before and after.
#
#   bash scripts/main_job.sh [--mode 1|2] [--show] [--keep]
#
#   --mode N  removal mode: 1 the product only, 2 the product and its SQL
#             instance (default 2)
#   --show    with a display (DISPLAY set), show the dialog to a person
#             instead of driving it; the run ends when the person closes it
#   --keep    keep the machine (its folder is printed) instead of removing it
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD

MODE=2 SHOW=0 KEEP=0
while (($#)); do
    case $1 in
        --mode) MODE=${2:?}; shift 2 ;;
        --show) SHOW=1; shift ;;
        --keep) KEEP=1; shift ;;
        *) sed -n '2,16s/^# \{0,1\}//p' "$0" >&2; exit 2 ;;
    esac
done
[[ $MODE == 1 || $MODE == 2 ]] || { echo "main_job: --mode is 1 or 2" >&2; exit 2; }
if ((SHOW)) && [[ -z ${DISPLAY:-} ]]; then
    echo "main_job: --show needs a display (DISPLAY is not set)" >&2
    exit 2
fi

bash scripts/setup.sh
echo "== building the program (win32 preset)"
cmake --preset win32 >/dev/null
cmake --build --preset win32 >/dev/null
BUILD=$ROOT/build/win32
EXES=("$BUILD/ZeltraES_RT.exe" "$BUILD/tests/e2e/driver.exe" "$BUILD/tests/e2e/tools/scenario.exe"
    "$BUILD/tests/e2e/tools/test_service.exe" "$BUILD/tests/e2e/tools/vuvuridivuzo.msi")
# The product and its SQL instance, as one of the end-to-end scenarios plants them.
SCENARIO=sql_instance_removed_with_the_product

# shellcheck source=../tests/e2e/lib.sh
source "$ROOT/tests/e2e/lib.sh"
echo "$ZRT_32BIT_LINE"
[[ $ZRT_32BIT != unavailable ]] || exit 1

WORK=$(mktemp -d "${TMPDIR:-/tmp}/zrt-main-job.XXXXXX")
e2e_init "$WORK"
((KEEP)) || E2E_REMOVE_WORK=1
export E2E_TEST_DIR=$WORK/machine
mkdir -p "$E2E_TEST_DIR"
if ((!SHOW)); then
    e2e_start_xvfb
fi
echo "== making a Windows machine (Wine prefix, about 20 s)"
e2e_make_template
e2e_new_prefix "$E2E_TEST_DIR" "${EXES[@]}"

echo "== planting the product's installation"
(e2e_plant_scenario "$SCENARIO") || { echo "main_job: $(cat "$E2E_TEST_DIR/reason")" >&2; exit 1; }

# What of the product is on the machine: its services, files and keys.
describe_machine() {
    e2e_wine 'C:\e2e\scenario.exe' show 'C:\e2e\scenarios' "$SCENARIO" | tr -d '\r'
}

echo
echo "== the machine before"
describe_machine

echo
echo "== running ZeltraES_RT.exe /l, removal mode $MODE"
e2e_start 'C:\e2e\ZeltraES_RT.exe' /l
program=$E2E_PID
if ((SHOW)); then
    echo "The dialog is on $DISPLAY: use it; this ends when the program does."
    e2e_wait "$program" 3600 || echo "(still running after an hour: ended)"
else
    button=$((MODE == 1 ? 1001 : 1004))
    E2E_UI_TIMEOUT_MS=180000 e2e_drive_ok wait-dialog click "$button" answer 6 finish
    e2e_wait "$program" 60 || echo "(the program did not end: ended)"
    echo "-- message boxes, in order"
    grep '^MSGBOX' "$E2E_DRIVE_OUT" | sed 's/^MSGBOX //'
fi
echo "-- exit code: $E2E_EXIT"

echo
echo "== the trace log"
log=$(e2e_trace_log 'ZeltraES_RT_*_Log.txt')
if [[ -n $log ]]; then
    echo "($(e2e_temp_dir | sed "s#^$WINEPREFIX/drive_c#C:#")/$(basename "$log"))"
    tr -d '\r' <"$log"
    echo
else
    echo "(none)"
fi

echo
echo "== the machine after"
describe_machine
echo "-- queued for deletion at the next restart"
e2e_wine reg query 'HKLM\SYSTEM\CurrentControlSet\Control\Session Manager' /v PendingFileRenameOperations 2>/dev/null |
    tr -d '\r' | sed -n 's/.*REG_MULTI_SZ *//p' | sed 's/\\0/\n/g' | sed '/^$/d' || true
((KEEP)) && echo "(machine kept in $WORK/machine/prefix)"
exit 0
