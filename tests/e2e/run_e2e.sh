#!/usr/bin/env bash
# Runs the end-to-end scenarios under Wine on a virtual X display.
#
#   run_e2e.sh --driver driver.exe [--fixture fake_dialog.exe]
#              [--program ZeltraES_RT.exe] [--extra EXE]... [--only REGEX]
#              [--work DIR] [--keep]
#
# Scenarios are the functions named scenario_* in scenarios/*.sh, run in
# file order: scenario_harness_* need --fixture, scenario_program_* need
# --program; the others are skipped with a SKIP line. Every --extra
# program (the test service, the planting tool) is installed beside them. Each scenario gets a
# fresh copy of one prefix template, made once per run. Prints "PASS name"
# or "FAIL name: reason" per scenario and ends with "N passed, M failed".
# Exit status: 0 when nothing failed, 1 when a scenario failed, 2 on bad
# usage or when the harness itself could not start, 77 (nothing run) when
# this machine cannot run 32-bit programs even emulated. Its first line says
# how they run (scripts/wine_32bit.sh).
set -euo pipefail

E2E_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=lib.sh
source "$E2E_DIR/lib.sh"

usage() {
    sed -n '2,17s/^# \{0,1\}//p' "${BASH_SOURCE[0]}" >&2
    exit 2
}

# run_one FUNCTION: runs one scenario in its own subshell and prefix, under
# a deadline; prints its PASS/FAIL line; returns 0 on pass.
run_one() {
    local fn=$1 name=${1#scenario_} dir pid rc=0 reason t waited=0
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
        "$fn"
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

    SCENARIO_FILES=("$E2E_DIR"/scenarios/*.sh)
    for f in "${SCENARIO_FILES[@]}"; do
        # shellcheck source=/dev/null
        source "$f"
    done
    mapfile -t SCENARIOS < <(sed -n 's/^\(scenario_[A-Za-z0-9_]*\)[[:space:]]*().*/\1/p' "${SCENARIO_FILES[@]}")

    passed=0 failed=0
    for fn in "${SCENARIOS[@]}"; do
        name=${fn#scenario_}
        if [[ -n $ONLY && ! $name =~ $ONLY ]]; then continue; fi
        if [[ $name == harness_* && -z $FIXTURE_EXE ]]; then echo "SKIP $name: no --fixture"; continue; fi
        if [[ $name == program_* && -z $PROGRAM_EXE ]]; then echo "SKIP $name: no --program"; continue; fi
        if run_one "$fn"; then passed=$((passed + 1)); else failed=$((failed + 1)); fi
    done
    echo "$passed passed, $failed failed"
    ((passed + failed > 0)) || { echo "run_e2e.sh: no scenario ran" >&2; exit 1; }
    ((failed == 0)) || exit 1
}

main "$@"
