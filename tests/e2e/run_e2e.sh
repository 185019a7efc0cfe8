#!/usr/bin/env bash
# Runs the end-to-end tests under Wine on a virtual X display: the harness's
# self-tests (functions scenario_harness_* in scenarios/harness.sh, against
# the stand-in dialog) and every scenario of tests/scenarios, played against
# the real program.
#
#   run_e2e.sh --driver driver.exe [--fixture fake_dialog.exe]
#              [--program ZeltraES_RT.exe] [--extra FILE]... [--only REGEX]
#              [--work DIR] [--keep]
#
# The harness's tests need --fixture, the scenarios --program and, as
# --extra, scenario.exe, test_service.exe and vuvuridivuzo.msi (installed
# beside the program); what lacks its programs is skipped with a SKIP line.
# Each test gets a fresh copy of one prefix template, made once per run.
# Prints "PASS name" or "FAIL name: reason" per test and ends with
# "N passed, M failed". Exit status: 0 when nothing failed, 1 when a test
# failed, 2 on bad usage or when the harness itself could not start, 77
# (nothing run) when this machine cannot run 32-bit programs even emulated.
# Its first line says how they run (scripts/wine_32bit.sh).
set -euo pipefail

E2E_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=lib.sh
source "$E2E_DIR/lib.sh"

usage() {
    sed -n '2,20s/^# \{0,1\}//p' "${BASH_SOURCE[0]}" >&2
    exit 2
}

TOOL='C:\e2e\ZeltraES_RT.exe'

# windows_exit CODE: a Unix exit status as the Windows exit code (255: -1).
windows_exit() { echo $(($1 > 127 ? $1 - 256 : $1)); }

# wait_for_restart: the restart the user accepted goes on after the
# program's exit: Wine ends every process of the machine (the planted holder
# among them), then wineboot carries out the queued deletions. Checking
# before it has finished would race it, so this waits (bounded) until no
# process of the machine runs scenario.exe's holder or wineboot.
wait_for_restart() {
    local pid deadline=$(($(date +%s) + $(e2e_scaled 20))) busy
    while (($(date +%s) < deadline)); do
        busy=0
        for pid in $(e2e_marked_pids "$WINEPREFIX"); do
            if tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null | grep -qiE 'scenario\.exe"? hold|wineboot'; then
                busy=1
                break
            fi
        done
        ((busy)) || return 0
        sleep "$E2E_POLL_S"
    done
    e2e_fail "the restart did not end within $(e2e_scaled 20) s"
}

# play_scenario NAME: plants tests/scenarios/NAME.scenario, runs the program
# with the driver playing its user section (a "second-copy" action starts a
# second copy and answers its box), adds the exit codes to the driver's
# record, and has scenario.exe check the run; after a restart when asked.
play_scenario() {
    local name=$1 kind value args=() actions=() part=() restart=0 action prog second
    local record="$E2E_TEST_DIR/record.txt" timeout=$E2E_UI_TIMEOUT_MS
    e2e_plant_scenario "$name"
    while IFS=$'\t' read -r kind value; do
        case $kind in
            args) read -ra args <<<"$value" ;;
            do) read -ra actions <<<"$value" ;;
            ui-timeout) ((value == 0)) || timeout=$value ;;
            restart) restart=1 ;;
        esac
    done <"$E2E_TEST_DIR/plan.txt"
    : >"$record"
    e2e_start "$TOOL" "${args[@]}"
    prog=$E2E_PID
    for action in "${actions[@]}" END; do
        if [[ $action != second-copy && $action != END ]]; then
            part+=("$action")
            continue
        fi
        if ((${#part[@]})); then
            E2E_UI_TIMEOUT_MS=$timeout e2e_drive "${part[@]}" || e2e_fail "$(grep -m1 '^ERROR' "$E2E_DRIVE_OUT"), last" \
                "boxes: $(grep '^MSGBOX' "$E2E_DRIVE_OUT" | tail -n2 | tr '\n' ' ') trace log errors:" \
                "$(cat "$(e2e_trace_log 'ZeltraES_RT_*_Log.txt')" /dev/null | grep -a '^ERROR' | tr -d '\r' | tr '\n' ' ')"
            cat "$E2E_DRIVE_OUT" >>"$record"
            part=()
        fi
        [[ $action == second-copy ]] || continue
        e2e_start "$TOOL"
        second=$E2E_PID
        e2e_drive_ok answer 1
        cat "$E2E_DRIVE_OUT" >>"$record"
        e2e_wait "$second" 10 || e2e_fail "the second copy is still running"
        echo "SECOND-EXIT $(windows_exit "$E2E_EXIT")" >>"$record"
    done
    e2e_wait "$prog" 30 || e2e_fail "still running after the user's last action"
    echo "EXIT-CODE $(windows_exit "$E2E_EXIT")" >>"$record"
    if grep -q '^MSGBOX .*answer=YES .*text="A restart is required' "$record"; then
        wait_for_restart
    fi
    cp "$record" "$WINEPREFIX/drive_c/e2e/record.txt"
    e2e_wine 'C:\e2e\scenario.exe' check 'C:\e2e\scenarios' "$name" 'C:\e2e\record.txt' >"$E2E_TEST_DIR/check.txt" ||
        e2e_fail "$(tr -d '\r' <"$E2E_TEST_DIR/check.txt" | head -n 4 | tr '\n' ' ')"
    ((restart)) || return 0
    e2e_wine_vars
    timeout -k 2 "$(e2e_scaled 30)" env "${E2E_ENV[@]}" wineserver -k || true
    timeout -k 2 "$(e2e_scaled 60)" env "${E2E_ENV[@]}" wineserver -w ||
        e2e_fail "the wineserver did not end for the restart"
    e2e_wine 'C:\e2e\scenario.exe' after 'C:\e2e\scenarios' "$name" >"$E2E_TEST_DIR/after.txt" ||
        e2e_fail "after the restart: $(tr -d '\r' <"$E2E_TEST_DIR/after.txt" | head -n 4 | tr '\n' ' ')"
}

# run_one NAME COMMAND...: runs one test in its own subshell and prefix,
# under a deadline; prints its PASS/FAIL line; returns 0 on pass.
run_one() {
    local name=$1 dir pid rc=0 reason t waited=0
    shift
    dir="$E2E_WORK/tests/$name"
    rm -rf "$dir"
    mkdir -p "$dir"
    t=$(e2e_now)
    (
        set -Eeuo pipefail
        export E2E_TEST_DIR=$dir
        # A plain failing command ends the scenario too; name it as the reason.
        trap '[[ -e $E2E_TEST_DIR/reason ]] ||
            echo "command failed (status $?): $BASH_COMMAND" >"$E2E_TEST_DIR/reason"' ERR
        e2e_new_prefix "$dir" "${INSTALL[@]}"
        "$@"
    ) </dev/null >"$dir/scenario.log" 2>&1 &
    pid=$!
    E2E_SCENARIO_PID=$pid  # for the clean-up trap
    while kill -0 "$pid" 2>/dev/null; do
        if ((waited >= $(e2e_scaled "$E2E_SCENARIO_LIMIT_S") * 20)); then
            e2e_kill_tree "$pid"
            echo "timed out after $(e2e_scaled "$E2E_SCENARIO_LIMIT_S") s" >"$dir/reason"
            break
        fi
        sleep 0.05
        waited=$((waited + 1))
    done
    wait "$pid" 2>/dev/null || rc=$?
    E2E_SCENARIO_PID=
    e2e_stop_prefix "$dir/prefix"
    if [[ -n $(e2e_marked_pids "$dir/prefix") ]]; then
        rc=1
        echo "processes left behind: $(e2e_marked_pids "$dir/prefix" | tr '\n' ' ')" >"$dir/reason"
    fi
    if ! e2e_check_template 2>"$dir/template.txt"; then
        rc=1
        echo "the prefix template was modified: $(cat "$dir/template.txt")" >"$dir/reason"
    fi
    e2e_log "e2e: $name took $(e2e_elapsed "$t") s"
    if ((rc == 0)); then
        echo "PASS $name"
        ((KEEP)) || rm -rf "$dir/prefix"
        return 0
    fi
    reason=$(head -n1 "$dir/reason" 2>/dev/null || true)
    [[ -n $reason ]] || reason="exit status $rc (see $dir/scenario.log)"
    echo "FAIL $name: $reason"
    return 1
}

# The whole run is one function, parsed before it starts: editing this file
# during a run cannot change what the run executes.
main() {
    DRIVER_EXE='' FIXTURE_EXE='' PROGRAM_EXE='' ONLY='' WORK='' KEEP=0 EXTRA=()
    : "${E2E_SCENARIO_LIMIT_S:=120}"
    while (($#)); do
        case $1 in
            --driver) DRIVER_EXE=${2:?}; shift 2 ;;
            --fixture) FIXTURE_EXE=${2:?}; shift 2 ;;
            --program) PROGRAM_EXE=${2:?}; shift 2 ;;
            --extra) EXTRA+=("${2:?}"); shift 2 ;;
            --only) ONLY=${2:?}; shift 2 ;;
            --work) WORK=${2:?}; shift 2 ;;
            --keep) KEEP=1; shift ;;
            -h | --help) usage ;;
            *) echo "run_e2e.sh: unknown argument: $1" >&2; usage ;;
        esac
    done
    [[ -f $DRIVER_EXE ]] || { echo "run_e2e.sh: --driver is required and must exist" >&2; exit 2; }
    for exe in "$FIXTURE_EXE" "$PROGRAM_EXE" "${EXTRA[@]}"; do
        [[ -z $exe || -f $exe ]] || { echo "run_e2e.sh: no such file: $exe" >&2; exit 2; }
    done
    for tool in wine wineserver wineboot Xvfb xdpyinfo timeout; do
        command -v "$tool" >/dev/null || { echo "run_e2e.sh: $tool not found (see scripts/setup.sh)" >&2; exit 2; }
    done
    zrt_32bit_require

    if [[ -z $WORK ]]; then
        WORK=$(mktemp -d "${TMPDIR:-/tmp}/e2e.XXXXXX")
        ((KEEP)) || E2E_REMOVE_WORK=1
    fi
    INSTALL=("$DRIVER_EXE")
    [[ -n $FIXTURE_EXE ]] && INSTALL+=("$FIXTURE_EXE")
    [[ -n $PROGRAM_EXE ]] && INSTALL+=("$PROGRAM_EXE")
    INSTALL+=("${EXTRA[@]}")

    e2e_init "$WORK"
    e2e_log "e2e: work directory $E2E_WORK"
    t=$(e2e_now)
    e2e_start_xvfb || exit 2
    e2e_log "e2e: Xvfb on $DISPLAY in $(e2e_elapsed "$t") s"
    t=$(e2e_now)
    e2e_make_template || { echo "run_e2e.sh: could not create the prefix template" >&2; exit 2; }
    e2e_log "e2e: prefix template in $(e2e_elapsed "$t") s"

    # shellcheck source=scenarios/harness.sh
    source "$E2E_DIR/scenarios/harness.sh"
    passed=0 failed=0
    for fn in $(declare -F | sed -n 's/^declare -f scenario_harness_/harness_/p'); do
        if [[ -n $ONLY && ! $fn =~ $ONLY ]]; then continue; fi
        if [[ -z $FIXTURE_EXE ]]; then echo "SKIP $fn: no --fixture"; continue; fi
        if run_one "$fn" "scenario_$fn"; then passed=$((passed + 1)); else failed=$((failed + 1)); fi
    done
    for file in "$E2E_SCENARIOS"/*.scenario; do
        name=$(basename "$file" .scenario)
        if [[ -n $ONLY && ! $name =~ $ONLY ]]; then continue; fi
        if [[ -z $PROGRAM_EXE ]]; then echo "SKIP $name: no --program"; continue; fi
        if run_one "$name" play_scenario "$name"; then passed=$((passed + 1)); else failed=$((failed + 1)); fi
    done
    echo "$passed passed, $failed failed"
    ((passed + failed > 0)) || { echo "run_e2e.sh: no scenario ran" >&2; exit 1; }
    ((failed == 0)) || exit 1
}

main "$@"
