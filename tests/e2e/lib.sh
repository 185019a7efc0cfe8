# shellcheck shell=bash
# Library of the end-to-end harness: Wine prefixes, a virtual X display,
# running Windows programs, planting things on the Windows machine, and
# assertions. Sourced by run_e2e.sh and by every scenario file.
#
# Safety rules kept by everything here:
#  - every wait is bounded (timeouts below) and polls in short steps;
#  - every Wine process the harness starts carries E2E_WINE_MARK=<run id> in
#    its environment, so clean-up can find exactly our processes (and their
#    descendants, which inherit it) and kill them by PID;
#  - the prefix template is never written through: see e2e_copy_prefix.

# The scenarios that scenario.exe plants and checks.
E2E_SCENARIOS=$(cd "$(dirname "${BASH_SOURCE[0]}")/../scenarios" && pwd)

# How 32-bit programs run here (natively, or emulated and slower).
# shellcheck source=../../scripts/wine_32bit.sh
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/wine_32bit.sh"
zrt_32bit_mode

# Timeouts, overridable from the environment. Every deadline is as measured
# where 32-bit programs run natively; e2e_scaled stretches it by
# ZRT_WINE_SLOWDOWN where they are emulated.
: "${E2E_UI_TIMEOUT_MS:=15000}"  # one driver wait (dialog, message box, exit)
: "${E2E_CMD_TIMEOUT_S:=60}"     # one foreground Wine command
: "${E2E_POLL_S:=0.05}"          # polling step

e2e_scaled() { echo $(($1 * ZRT_WINE_SLOWDOWN)); }

e2e_log() { printf '%s\n' "$*" >&2; }

# Seconds since the epoch with milliseconds, for timings.
e2e_now() { date +%s.%N; }
e2e_elapsed() { awk -v a="$1" -v b="$(e2e_now)" 'BEGIN { printf "%.2f", b - a }'; }

# ---------------------------------------------------------------------------
# Run setup and clean-up

# e2e_init WORKDIR
# Prepares a run in WORKDIR (created if missing) and installs the trap that
# removes every process the run started. Sets E2E_WORK, E2E_RUN_ID.
e2e_init() {
    E2E_WORK=$(mkdir -p "$1" && cd "$1" && pwd)
    E2E_RUN_ID="e2e-$$-$(date +%s%N)"
    E2E_TEMPLATE="$E2E_WORK/template"
    E2E_HOME="$E2E_WORK/home"
    mkdir -p "$E2E_HOME" "$E2E_WORK/tests"
    : >"$E2E_WORK/prefixes.list"
    export E2E_WORK E2E_RUN_ID E2E_TEMPLATE E2E_HOME
    trap e2e_cleanup_all EXIT
    trap 'exit 130' INT TERM HUP
}

# PIDs of live processes that carry this run's mark (optionally only those
# of one prefix). Zombies are skipped: they hold no resources.
e2e_marked_pids() {
    local prefix=${1:-} env_file pid stat state
    # One grep over every environ file: a loop of greps costs ~0.4 s.
    grep -lzxF "E2E_WINE_MARK=$E2E_RUN_ID" /proc/[0-9]*/environ 2>/dev/null |
        while IFS= read -r env_file; do
            if [[ -n $prefix ]]; then
                grep -qzxF "WINEPREFIX=$prefix" "$env_file" 2>/dev/null || continue
            fi
            pid=${env_file#/proc/}
            pid=${pid%/environ}
            stat=$(cat "/proc/$pid/stat" 2>/dev/null) || continue
            state=${stat##*) }  # the name in parentheses may hold blanks
            state=${state%% *}
            [[ $state == Z || -z $state ]] && continue
            echo "$pid"
        done || true
}

# e2e_kill_marked [PREFIX]
# TERM, then after at most 2 s KILL, every marked process (of PREFIX).
e2e_kill_marked() {
    local pids i
    pids=$(e2e_marked_pids "${1:-}")
    [[ -z $pids ]] && return 0
    # shellcheck disable=SC2086
    kill -TERM $pids 2>/dev/null || true
    for ((i = 0; i < 40; i++)); do
        pids=$(e2e_marked_pids "${1:-}")
        [[ -z $pids ]] && return 0
        sleep "$E2E_POLL_S"
    done
    # shellcheck disable=SC2086
    kill -KILL $pids 2>/dev/null || true
}

# e2e_kill_tree PID
# KILLs PID and every descendant it has now (found by parent PID).
e2e_kill_tree() {
    local pids
    pids=$(ps -e -o pid=,ppid= | awk -v root="$1" '
        { parent[$1] = $2 }
        END {
            keep[root] = 1
            do {
                grew = 0
                for (p in parent) if (!(p in keep) && (parent[p] in keep)) { keep[p] = 1; grew = 1 }
            } while (grew)
            for (p in keep) print p
        }')
    # shellcheck disable=SC2086
    kill -KILL $pids 2>/dev/null || true
}

# e2e_stop_prefix PREFIX
# Ends the wineserver of PREFIX and all its programs, then anything of ours
# still running in it.
e2e_stop_prefix() {
    local prefix=$1
    [[ -d $prefix ]] || return 0
    WINEPREFIX=$prefix timeout 10 wineserver -k >/dev/null 2>&1 || true
    e2e_kill_marked "$prefix"
}

# Trap handler: stops every prefix, every marked process and the X server.
e2e_cleanup_all() {
    local rc=$? prefix
    set +e
    trap - EXIT INT TERM HUP
    # A scenario still running would go on starting programs: stop it first.
    [[ -n ${E2E_SCENARIO_PID:-} ]] && e2e_kill_tree "$E2E_SCENARIO_PID"
    if [[ -n ${E2E_WORK:-} && -f $E2E_WORK/prefixes.list ]]; then
        while IFS= read -r prefix; do
            e2e_stop_prefix "$prefix"
        done <"$E2E_WORK/prefixes.list"
    fi
    [[ -n ${E2E_RUN_ID:-} ]] && e2e_kill_marked
    e2e_stop_xvfb
    if [[ -n ${E2E_WORK:-} && ${E2E_REMOVE_WORK:-0} == 1 ]]; then
        rm -rf "$E2E_WORK"
    fi
    exit "$rc"
}

# ---------------------------------------------------------------------------
# Virtual X display

# e2e_start_xvfb
# Starts Xvfb on the first display from :90 up that has no lock file and
# waits (at most 10 s) until it accepts connections. Exports DISPLAY; sets
# E2E_XVFB_PID.
e2e_start_xvfb() {
    local n i
    for ((n = 90; n < 190; n++)); do
        [[ -e /tmp/.X$n-lock || -e /tmp/.X11-unix/X$n ]] && continue
        Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp \
            </dev/null >"$E2E_WORK/xvfb.log" 2>&1 &
        E2E_XVFB_PID=$!
        for ((i = 0; i < 200; i++)); do
            if ! kill -0 "$E2E_XVFB_PID" 2>/dev/null; then
                break  # lost the display to someone else: try the next one
            fi
            if [[ -S /tmp/.X11-unix/X$n ]] && xdpyinfo -display ":$n" >/dev/null 2>&1; then
                export DISPLAY=":$n"
                export E2E_XVFB_PID
                return 0
            fi
            sleep "$E2E_POLL_S"
        done
        kill -KILL "$E2E_XVFB_PID" 2>/dev/null || true
        wait "$E2E_XVFB_PID" 2>/dev/null || true
        E2E_XVFB_PID=
    done
    e2e_log "e2e: could not start Xvfb (see $E2E_WORK/xvfb.log)"
    return 1
}

e2e_stop_xvfb() {
    local i display=${DISPLAY:-}
    [[ -n ${E2E_XVFB_PID:-} ]] || return 0
    kill -TERM "$E2E_XVFB_PID" 2>/dev/null || true
    for ((i = 0; i < 60; i++)); do
        kill -0 "$E2E_XVFB_PID" 2>/dev/null || break
        sleep "$E2E_POLL_S"
    done
    kill -KILL "$E2E_XVFB_PID" 2>/dev/null || true
    wait "$E2E_XVFB_PID" 2>/dev/null || true
    # A killed server leaves its lock behind; remove it only if it is ours.
    if [[ -n $display && -f /tmp/.X${display#:}-lock ]] &&
        [[ $(tr -d ' \n' <"/tmp/.X${display#:}-lock") == "$E2E_XVFB_PID" ]]; then
        rm -f "/tmp/.X${display#:}-lock" "/tmp/.X11-unix/X${display#:}"
    fi
    E2E_XVFB_PID=
}

# ---------------------------------------------------------------------------
# Running Wine

# e2e_wine_vars
# Fills the array E2E_ENV with the environment every Wine process of the
# harness gets: the current WINEPREFIX, no debug output, a UTF-8 locale, the
# run's mark, a private HOME, no desktop-menu integration (nothing leaks
# to the host) and no debugger: a crashed program ends instead of starting
# winedbg, which would wait for ever and keep its wineserver alive.
e2e_wine_vars() {
    local user
    user=$(id -un)
    E2E_ENV=(WINEPREFIX="$WINEPREFIX" WINEDEBUG=-all LANG=C.UTF-8 LC_ALL=C.UTF-8
        DISPLAY="${DISPLAY:-}" HOME="$E2E_HOME" USER="$user" LOGNAME="$user"
        WINEDLLOVERRIDES="winemenubuilder.exe=d;mscoree=d;mshtml=d;winedbg.exe=d"
        E2E_WINE_MARK="$E2E_RUN_ID")
}

# e2e_wine_env CMD... : runs CMD (wine, wineserver, wineboot) in that environment.
e2e_wine_env() {
    e2e_wine_vars
    env "${E2E_ENV[@]}" "$@"
}

# e2e_wine ARGS...
# Runs `wine ARGS` in the foreground, stdin from /dev/null, for at most
# E2E_CMD_TIMEOUT_S seconds; returns its exit code (124 on timeout).
e2e_wine() {
    e2e_wine_vars
    timeout -k 2 "$(e2e_scaled "$E2E_CMD_TIMEOUT_S")" env "${E2E_ENV[@]}" wine "$@" </dev/null
}

# e2e_start WINDOWS_EXE [ARGS...]
# Starts a Windows program in the background. Sets E2E_PID (the program's
# own Unix process: the wine launcher execs into it). Its stdout/stderr go
# to $E2E_TEST_DIR/<n>.out / <n>.err. Wait for it with e2e_wait in the
# same shell.
e2e_start() {
    local n
    n=$(find "$E2E_TEST_DIR" -maxdepth 1 -name 'start-*.out' | wc -l)
    e2e_wine_env wine "$@" </dev/null \
        >"$E2E_TEST_DIR/start-$n.out" 2>"$E2E_TEST_DIR/start-$n.err" &
    # shellcheck disable=SC2034  # output for the caller
    E2E_PID=$!
}

# e2e_wait PID SECONDS
# Waits for a process started by e2e_start in this shell. Sets E2E_EXIT to
# its exit code as Unix sees it (a Windows exit code of -1 reads 255).
# Returns 1 (after killing it, E2E_EXIT=124) when it is still running after
# SECONDS. Must not run in a command substitution: `wait` only sees
# children of the current shell.
e2e_wait() {
    local pid=$1 limit start
    limit=$(e2e_scaled "$2")
    start=$(date +%s%N)
    while kill -0 "$pid" 2>/dev/null; do
        if (($(date +%s%N) - start >= limit * 1000000000)); then
            kill -KILL "$pid" 2>/dev/null || true
            wait "$pid" 2>/dev/null || true
            E2E_EXIT=124
            return 1
        fi
        sleep "$E2E_POLL_S"
    done
    # shellcheck disable=SC2034  # output for the caller
    E2E_EXIT=0
    # shellcheck disable=SC2034
    wait "$pid" || E2E_EXIT=$?
    return 0
}

# e2e_drive ACTION...
# Runs the driver (installed in the prefix as C:\e2e\driver.exe) with the
# given actions against the dialog captioned $E2E_CAPTION. Each call writes
# a fresh record file; E2E_DRIVE_OUT is its host path. Returns the driver's
# exit code: 0 all actions done, 1 an action failed (an ERROR line says
# which), 2 bad usage.
e2e_drive() {
    local n rc=0
    n=$(find "$E2E_TEST_DIR" -maxdepth 1 -name 'drive-*.txt' | wc -l)
    rm -f "$WINEPREFIX/drive_c/e2e/drive.txt"
    e2e_wine 'C:\e2e\driver.exe' --caption "${E2E_CAPTION:-ZeltraEnterprise Security Removal Tool}" \
        --timeout-ms "$(e2e_scaled "$E2E_UI_TIMEOUT_MS")" --out 'C:\e2e\drive.txt' "$@" \
        >"$E2E_TEST_DIR/drive-$n.log" 2>&1 || rc=$?
    E2E_DRIVE_OUT="$E2E_TEST_DIR/drive-$n.txt"
    if [[ -f $WINEPREFIX/drive_c/e2e/drive.txt ]]; then
        tr -d '\r' <"$WINEPREFIX/drive_c/e2e/drive.txt" >"$E2E_DRIVE_OUT"
    else
        : >"$E2E_DRIVE_OUT"
    fi
    return "$rc"
}

# e2e_drive_ok ACTION...
# Like e2e_drive, but fails the scenario with the driver's ERROR line.
e2e_drive_ok() {
    local rc=0
    e2e_drive "$@" || rc=$?
    if ((rc != 0)); then
        e2e_fail "driver exit $rc: $(grep -m1 '^ERROR' "$E2E_DRIVE_OUT" || tail -n1 "$E2E_TEST_DIR"/drive-*.log)"
    fi
}

# ---------------------------------------------------------------------------
# Prefixes

# e2e_make_template
# Creates the 64-bit prefix every test copies ($E2E_TEMPLATE): wineboot,
# window management off (X11 Driver\Managed=N: without a window manager
# each hide would cost ~2 s), per-user folders that Wine links to $HOME
# turned into real folders (a test deleting "Desktop" files must not reach
# the host), then waits for the wineserver to write everything and exit.
# Wine's service manager gives a service 10 s to answer a control request
# or to connect when started, then fails the call with 1053; Windows gives
# it ServicesPipeTimeout, 30 s by default. Under emulation and load a test
# service was seen to miss the 10 s, so the template sets Windows' default
# (Wine reads the value as a string). A service that never answers still
# gets 1053.
E2E_SERVICES_CONTROL_KEY='HKLM\SYSTEM\CurrentControlSet\Control'
e2e_make_template() {
    local d user
    export WINEPREFIX=$E2E_TEMPLATE
    echo "$E2E_TEMPLATE" >>"$E2E_WORK/prefixes.list"
    e2e_wine_vars
    timeout -k 2 "$(e2e_scaled 120)" env "${E2E_ENV[@]}" WINEARCH=win64 wineboot -i \
        </dev/null >"$E2E_WORK/wineboot.log" 2>&1
    e2e_wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f \
        >>"$E2E_WORK/wineboot.log" 2>&1
    e2e_wine reg add "$E2E_SERVICES_CONTROL_KEY" /v ServicesPipeTimeout /t REG_SZ /d 30000 /f \
        >>"$E2E_WORK/wineboot.log" 2>&1
    if ! timeout "$(e2e_scaled 60)" env "${E2E_ENV[@]}" wineserver -w; then
        e2e_log "e2e: wineserver of the template did not exit; killing it"
        e2e_stop_prefix "$WINEPREFIX"
    fi
    e2e_kill_marked "$WINEPREFIX"
    user=$(id -un)
    for d in "$E2E_TEMPLATE/drive_c/users/$user"/* \
        "$E2E_TEMPLATE/drive_c/users/$user/AppData/Roaming/Microsoft/Windows/Templates"; do
        if [[ -L $d ]]; then
            rm -f "$d"
            mkdir -p "$d"
        fi
    done
    grep -q '"Managed"="N"' "$E2E_TEMPLATE/user.reg" ||
        { e2e_log "e2e: Managed=N missing from the template"; return 1; }
    grep -q '"ServicesPipeTimeout"="30000"' "$E2E_TEMPLATE/system.reg" ||
        { e2e_log "e2e: ServicesPipeTimeout missing from the template"; return 1; }
    [[ -d $E2E_TEMPLATE/drive_c/users/$user/Temp ]] ||
        { e2e_log "e2e: no Temp folder for $user in the template"; return 1; }
    touch "$E2E_TEMPLATE/.e2e-stamp"
    unset WINEPREFIX
}

E2E_LINKED_DIRS=(drive_c/windows/system32 drive_c/windows/syswow64 drive_c/windows/winsxs)

# e2e_copy_prefix DEST
# Copies the template to DEST in ~0.1 s: the three big system folders are
# hard-linked file by file (their folders are new), everything else is
# copied. A test may create, delete or rename anything in DEST: a delete or
# rename only touches DEST's own names. Writing INTO an existing system
# file would change the template's file too; e2e_plant_file never does
# (it unlinks first) and e2e_check_template detects it if a program does.
e2e_copy_prefix() {
    local dest=$1 d excludes=()
    mkdir -p "$dest"
    for d in "${E2E_LINKED_DIRS[@]}"; do excludes+=(--exclude="./$d"); done
    (cd "$E2E_TEMPLATE" && tar "${excludes[@]}" --exclude=./.e2e-stamp -cf - .) |
        (cd "$dest" && tar -xpf -)
    for d in "${E2E_LINKED_DIRS[@]}"; do cp -al "$E2E_TEMPLATE/$d" "$dest/$d"; done
}

# e2e_check_template
# Fails (returns 1, names the files) when a file of the template's linked
# folders was modified after the template was made.
e2e_check_template() {
    local d changed=()
    for d in "${E2E_LINKED_DIRS[@]}"; do
        while IFS= read -r -d '' f; do changed+=("$f"); done < <(
            find "$E2E_TEMPLATE/$d" -type f -newer "$E2E_TEMPLATE/.e2e-stamp" -print0)
    done
    if ((${#changed[@]})); then
        e2e_log "e2e: template files written through a hard link: ${changed[*]}"
        return 1
    fi
}

# e2e_new_prefix DIR EXE...
# Makes DIR/prefix a fresh copy of the template, exports WINEPREFIX, copies
# each EXE into C:\e2e\ and starts a persistent wineserver for it (program
# starts then take ~0.05 s instead of ~0.6 s).
e2e_new_prefix() {
    local dir=$1 exe
    shift
    export WINEPREFIX="$dir/prefix"
    echo "$WINEPREFIX" >>"$E2E_WORK/prefixes.list"
    e2e_copy_prefix "$WINEPREFIX"
    mkdir -p "$WINEPREFIX/drive_c/e2e"
    for exe in "$@"; do cp "$exe" "$WINEPREFIX/drive_c/e2e/"; done
    e2e_wine_env wineserver -p </dev/null >/dev/null 2>&1
}

# ---------------------------------------------------------------------------
# Planting and reading the Windows machine

# e2e_host_path 'C:\dir\file'
# The host path of a C: path in the current prefix. Letter case is kept as
# written: Wine matches names without regard to case, the host does not.
e2e_host_path() {
    local p=$1
    [[ $p =~ ^[Cc]:(\\.*)?$ ]] || { e2e_log "e2e: not a C: path: $p"; return 1; }
    p=${p:2}
    printf '%s/drive_c%s\n' "$WINEPREFIX" "${p//\\//}"
}

# e2e_plant_file 'C:\dir\file' [CONTENT]
# Creates the file (and its folders) with CONTENT (default: one line). An
# existing file is unlinked first, so a hard-linked template file is never
# written through.
e2e_plant_file() {
    local host
    host=$(e2e_host_path "$1")
    mkdir -p "$(dirname "$host")"
    rm -f "$host"
    printf '%s' "${2-planted by the e2e harness}" >"$host"
}

# e2e_plant_scenario NAME
# Plants tests/scenarios/NAME.scenario with C:\e2e\scenario.exe (the
# scenarios are copied to C:\e2e\scenarios first), makes the directory
# links it asks for, and leaves its run plan, one "KIND<TAB>VALUE" line
# each, in $E2E_TEST_DIR/plan.txt.
e2e_plant_scenario() {
    local kind path target
    rm -rf "$WINEPREFIX/drive_c/e2e/scenarios"
    cp -r "$E2E_SCENARIOS" "$WINEPREFIX/drive_c/e2e/scenarios"
    # To a file, not a pipe: the process that holds files outlives the tool.
    if ! e2e_wine 'C:\e2e\scenario.exe' plant 'C:\e2e\scenarios' "$1" >"$E2E_TEST_DIR/plant.out" \
        2>"$E2E_TEST_DIR/plant.err"; then
        e2e_fail "planting: $(tr -d '\r' <"$E2E_TEST_DIR/plant.out" "$E2E_TEST_DIR/plant.err" | head -n 3 | tr '\n' ' ')"
    fi
    tr -d '\r' <"$E2E_TEST_DIR/plant.out" >"$E2E_TEST_DIR/plan.txt"
    # Wine cannot make a reparse point; a Unix link to a folder reads as one.
    while IFS=$'\t' read -r kind path target; do
        if [[ $kind == link ]]; then ln -s "$(e2e_host_path "$target")" "$(e2e_host_path "$path")"; fi
    done <"$E2E_TEST_DIR/plan.txt"
}

# e2e_reg VIEW ARGS...
# Runs the built-in reg.exe in the 32-bit (VIEW=32) or 64-bit (VIEW=64)
# registry view, e.g. e2e_reg 64 add 'HKLM\SOFTWARE\X' /v Name /d Data /f.
# Returns reg's exit code; its output goes to $E2E_TEST_DIR/reg.log.
e2e_reg() {
    local view=$1
    shift
    [[ $view == 32 || $view == 64 ]] || { e2e_log "e2e: view must be 32 or 64"; return 2; }
    e2e_wine reg "$@" "/reg:$view" >>"$E2E_TEST_DIR/reg.log" 2>&1
}

# e2e_reg_exists VIEW KEY [VALUE] -> status 0 when the key (or value) exists.
e2e_reg_exists() {
    local view=$1 key=$2
    if (($# > 2)); then e2e_reg "$view" query "$key" /v "$3"; else e2e_reg "$view" query "$key"; fi
}

# e2e_temp_dir -> host path of the folder GetTempPathA returns.
e2e_temp_dir() { printf '%s/drive_c/users/%s/Temp\n' "$WINEPREFIX" "$(id -un)"; }

# e2e_trace_log NAME_GLOB -> host path(s) of matching files in the temp folder.
e2e_trace_log() {
    local dir f
    dir=$(e2e_temp_dir)
    for f in "$dir"/$1; do [[ -e $f ]] && printf '%s\n' "$f"; done
    return 0
}

# ---------------------------------------------------------------------------
# Assertions. A scenario runs in its own subshell; e2e_fail ends it.

# e2e_fail REASON
e2e_fail() {
    printf '%s\n' "$*" >"$E2E_TEST_DIR/reason"
    exit 1
}

# e2e_expect_eq ACTUAL EXPECTED WHAT
e2e_expect_eq() {
    [[ $1 == "$2" ]] || e2e_fail "$3: got '$1', expected '$2'"
}

# e2e_expect_line FILE LINE: FILE holds LINE exactly (as a whole line).
e2e_expect_line() {
    grep -Fxq -- "$2" "$1" || e2e_fail "missing line in $(basename "$1"): $2"
}

# e2e_expect_file FILE < EXPECTED: FILE equals stdin exactly; on mismatch the
# diff is kept in $E2E_TEST_DIR/diff.txt and the first difference reported.
e2e_expect_file() {
    local expected="$E2E_TEST_DIR/expected.$RANDOM"
    cat >"$expected"
    if ! diff -u "$expected" "$1" >"$E2E_TEST_DIR/diff.txt"; then
        e2e_fail "$(basename "$1") differs: $(grep -m2 '^[-+][^-+]' "$E2E_TEST_DIR/diff.txt" | tr '\n' ' ')"
    fi
}
