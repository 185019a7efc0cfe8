# shellcheck shell=bash
# The complete removal's last stage, the product's private SQL Server
# instance, in the real program: planted with a real Windows Installer
# package (tests/e2e/plant/sql.sh), removed through the dialog in mode 2,
# and left alone in mode 1. Run by run_e2e.sh with --program and the
# --extra tools (e2e_tool.exe, test_service.exe). Uses TOOL, BOX_TITLE and
# tool_trace_log of program.sh.

SQL_SCENARIO_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=../plant/sql.sh
source "$SQL_SCENARIO_DIR/../plant/sql.sh"
SQL_EXPECTED="$SQL_SCENARIO_DIR/../expected/sql"

SQL_SUMMARY_TITLE='ZeltraEnterprise Server Removal Tool'

# sql_run_tool BUTTON ANSWER... : starts the tool with /l, clicks BUTTON,
# answers the boxes in turn, waits for its exit (code 0) and stops the
# helper holding the locked file.
sql_run_tool() {
    local button=$1 prog answer actions=()
    shift
    for answer in "$@"; do actions+=(answer "$answer"); done
    e2e_start "$TOOL" /l
    prog=$E2E_PID
    e2e_drive_ok wait-dialog click "$button" "${actions[@]}" wait-exit
    e2e_wait "$prog" 10 || e2e_fail "still running after its dialog closed"
    e2e_expect_eq "$E2E_EXIT" 0 "exit code"
    kill "$SQL_HOLD_PID" 2>/dev/null || true
    wait "$SQL_HOLD_PID" 2>/dev/null || true
}

# sql_expect_drive_record CONFIRMATION FILES KEYS SERVICES QUEUED : the whole record of
# a run that found traces and whose restart offer was declined.
sql_expect_drive_record() {
    e2e_expect_file "$E2E_DRIVE_OUT" <<EOF
DIALOG caption="ZeltraEnterprise Security Removal Tool"
CLICK 1004
MSGBOX owner=none buttons=YES,NO icon=question answer=YES caption="$BOX_TITLE" text="$1"
MSGBOX owner=none buttons=OK icon=information answer=OK caption="$SQL_SUMMARY_TITLE" text="Traces Found And Deleted::\\r\\nFiles = ($2)\\r\\nRegistry = ($3)\\r\\nServices Stopped = ($4)\\r\\nFiles Queued For Deletion = ($5)"
MSGBOX owner=dialog buttons=YES,NO icon=none answer=NO caption="$BOX_TITLE" text="A restart is required to complete the process"
EXIT
EOF
}

SQL_CONFIRM_BOTH='This tool will remove all traces of ZeltraEnterprise Server and VuvuriDivUZO Instance both.\r\nDo you want to continue?'

# The trace log, byte for byte (CR LF line ends), as a host path.
sql_raw_trace_log() {
    local log
    log=$(e2e_trace_log 'ZeltraES_RT_*_Log.txt')
    [[ -n $log && $(wc -l <<<"$log") == 1 ]] || e2e_fail "expected one trace log, found: $log"
    printf '%s\n' "$log"
}

# sql_expected_stage4 LAST_ERROR : the stage's expected lines, LF ends.
# Under Wine RegDeleteValueA leaves the thread's last error as it was, so
# the "SQL_REG::" line shows whatever the calls before it left there.
sql_expected_stage4() {
    sed "s/@LAST_ERROR@/$1/" "$SQL_EXPECTED/stage4_instance.log"
}

# What a mode-2 run must leave of the instance: checked on the machine.
sql_expect_instance_removed() {
    local view key pending
    e2e_expect_eq "$(sql_value_hex 32 "$SQL_ROOT" InstalledInstances)" \
        "type=7 size=$((11 + 14 + 1)) hex=$(sql_multi_sz_hex "${SQL_INSTANCES_AFTER[@]}")" \
        "InstalledInstances rewritten"
    e2e_expect_eq "$(sql_value_hex 32 "$SQL_MAP" VUVURIDIVUZO)" absent "the instance map's entry"
    for key in SQLEXPRESS VUVURIDIVUZO2; do
        e2e_expect_eq "$(e2e_wine 'C:\e2e\e2e_tool.exe' value 32 "$SQL_MAP" "$key" | tr -d '\r')" \
            "MSSQL10.$key" "another instance's map entry"
    done
    # The package is gone through the Installer itself: its file, its
    # cached copy and its own registration (the program deletes only the
    # Uninstall entry, and the log shows it was already gone).
    if e2e_exists "$SQL_PACKAGE_FILE"; then e2e_fail "the package's file is still installed"; fi
    if compgen -G "$(e2e_host_path 'C:\windows\Installer')/*.msi" >/dev/null; then
        e2e_fail "the Installer still caches the package"
    fi
    local left
    left=$(sql_existing_keys 64 "SOFTWARE\\Classes\\Installer\\Products\\$SQL_PACKAGE_PACKED" \
        "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Installer\\UserData\\S-1-5-18\\Products\\$SQL_PACKAGE_PACKED")
    e2e_expect_eq "$left" '' "the Installer's registration of the package"
    for view in 32 64; do
        left=$(sql_existing_keys "$view" "$SQL_ROOT\\$SQL_INSTANCE_ID" "$SQL_ROOT\\VUVURIDIVUZO" "$SQL_UNINSTALL_KEY" \
            'SYSTEM\ControlSet001\Services\MSSQL$VUVURIDIVUZO' 'SYSTEM\CurrentControlSet\Services\MSSQL$VUVURIDIVUZO' \
            "$SQL_ROOT\\MSSQL10.VUVURIDIVUZO2\\Setup" "$SQL_MAP")
        # The other instance's keys stay; the map is ours in the 32-bit view only.
        key="$SQL_ROOT\\MSSQL10.VUVURIDIVUZO2\\Setup"
        [[ $view == 32 ]] && key+=$'\n'"$SQL_MAP"
        e2e_expect_eq "$left" "$key" "keys left in the $view-bit view"
    done
    e2e_expect_eq "$(sql_service_query 'MSSQL$VUVURIDIVUZO')" absent "the instance's service"
    e2e_expect_eq "$(sql_service_query SqlWriter)" 'state=4 start=3' "SqlWriter: running, manual start"
    # The folder: everything deleted but the held file, queued for restart.
    local f
    for f in "${SQL_INSTANCE_FILES[@]}"; do
        [[ $SQL_INSTANCE_DIR\\$f == "$SQL_LOCKED_FILE" ]] && continue
        if e2e_exists "$SQL_INSTANCE_DIR\\$f"; then e2e_fail "$f is still in the instance folder"; fi
    done
    e2e_exists "$SQL_LOCKED_FILE" || e2e_fail "the held file was deleted while held"
    pending=$(sql_value_hex 64 'SYSTEM\CurrentControlSet\Control\Session Manager' PendingFileRenameOperations |
        sed -n 's/.*hex=//p' | sed 's/../\\x&/g')
    # shellcheck disable=SC2059  # the hex bytes are the format on purpose
    printf "$pending" | tr '\0' '\n' | grep -A1 -Fx "\\??\\$SQL_LOCKED_FILE" | sed -n 2p | grep -qx '' ||
        e2e_fail "the held file is not queued for deletion: $(printf "$pending" | tr '\0' '|')"
    e2e_exists "$SQL_PROGRAM_DIR\\MSSQL10.VUVURIDIVUZO2\\MSSQL\\DATA\\master.mdf" ||
        e2e_fail "another instance's folder was touched"
}

# Fault caught: InstalledInstances rewritten with a name lost, out of order,
# with a wrong size, or without our name only (a substring match would drop
# "VUVURIDIVUZO2" and keep ours); the map entry left or another one deleted;
# the Installer not run or run with a wrong command line (the package stays
# installed); the instance's keys left in either view or
# another instance's keys deleted; the instance folder not removed, the held
# file not queued; SqlWriter stopped or not set to manual start; any line of
# the trace log, in any stage, or the summary's counts; an msiexec.exe
# beside the tool run instead of the system's Installer.
scenario_program_sql_instance_removed_in_complete_mode() {
    plant_sql_instance
    # A program named like the Installer beside the tool, where a search
    # by name would find it first: it does nothing, so the package stays.
    cp "$WINEPREFIX/drive_c/e2e/e2e_tool.exe" "$WINEPREFIX/drive_c/e2e/msiexec.exe"
    sql_run_tool 1004 6 1 7
    # Files: sqlservr.exe, Binn, mastlog.ldf, ERRORLOG, Log and the setup log
    # (DATA and the folders above it hold the queued file). Registry: the
    # instance key with Setup, MSSQLServer and Parameters (4) and the same
    # without Setup in the 64-bit view (3), the VUVURIDIVUZO key with Setup in
    # both views (4), ControlSet001's service key with Parameters (2); the
    # Uninstall entry and CurrentControlSet's service key were already gone.
    sql_expect_drive_record "$SQL_CONFIRM_BOTH" 6 13 1 1
    # The stages before find nothing on this machine; their last failing call
    # (a folder's removal, error 2) leaves the last error the SQL_REG line shows.
    cp "$(sql_raw_trace_log)" "$E2E_TEST_DIR/trace.txt"
    e2e_expect_file "$E2E_TEST_DIR/trace.txt" < <({
        echo 'Start:: Removing Product And SQL Instance Traces Both'
        cat "$SQL_EXPECTED/product_stages_clean.log"
        sql_expected_stage4 2
    } | sed 's/$/\r/')
    sql_expect_instance_removed
}

# Fault caught: mode 1 runs the SQL stage or touches the instance in any
# way (its list, map entry, keys, service, package, folder or SqlWriter).
scenario_program_sql_instance_untouched_in_product_mode() {
    plant_sql_instance
    sql_run_tool 1001 6 1
    e2e_expect_line "$E2E_DRIVE_OUT" "MSGBOX owner=dialog buttons=OK icon=information answer=OK caption=\"$BOX_TITLE\" text=\"No Traces Found\""
    e2e_expect_file "$(sql_raw_trace_log)" < <({
        echo 'Start:: Removing Product Traces Only'
        cat "$SQL_EXPECTED/product_stages_clean.log"
    } | sed 's/$/\r/')
    e2e_expect_eq "$(sql_value_hex 32 "$SQL_ROOT" InstalledInstances)" \
        "type=7 size=$((11 + 13 + 14 + 1)) hex=$(sql_multi_sz_hex "${SQL_INSTANCES_BEFORE[@]}")" \
        "InstalledInstances"
    e2e_expect_eq "$(e2e_wine 'C:\e2e\e2e_tool.exe' value 32 "$SQL_MAP" VUVURIDIVUZO | tr -d '\r')" \
        "$SQL_INSTANCE_ID" "the instance map's entry"
    local view
    for view in 32 64; do
        e2e_expect_eq "$(sql_existing_keys "$view" "$SQL_ROOT\\$SQL_INSTANCE_ID\\MSSQLServer\\Parameters" \
            "$SQL_ROOT\\VUVURIDIVUZO\\Setup" 'SYSTEM\ControlSet001\Services\MSSQL$VUVURIDIVUZO' | wc -l)" 3 \
            "the instance's keys in the $view-bit view"
    done
    sql_key_exists 32 "$SQL_UNINSTALL_KEY" || e2e_fail "the package was uninstalled"
    e2e_exists "$SQL_PACKAGE_FILE" || e2e_fail "the package's file was removed"
    e2e_expect_eq "$(sql_service_query 'MSSQL$VUVURIDIVUZO')" 'state=4 start=3' "the instance's service"
    e2e_expect_eq "$(sql_service_query SqlWriter)" 'state=4 start=2' "SqlWriter"
    local f
    for f in "${SQL_INSTANCE_FILES[@]}"; do
        e2e_exists "$SQL_INSTANCE_DIR\\$f" || e2e_fail "$f was removed from the instance folder"
    done
}

# Fault caught: the SQL stage disturbed by the stages before it (a cursor
# or tally left over, a wrong stage order), or the product's stages by the
# SQL instance beside them: one mode-2 run must remove the whole default
# product and the instance, and its summary must add up both.
# Needs the product's planting (plant/services_files.sh, plant/registry.sh);
# without it the scenario is skipped with the reason in its folder.
scenario_program_sql_instance_removed_with_the_product() {
    local part
    for part in services_files registry; do
        if [[ ! -f $SQL_SCENARIO_DIR/../plant/$part.sh ]]; then
            echo "SKIP: tests/e2e/plant/$part.sh is not in this tree" | tee "$E2E_TEST_DIR/skipped" >&2
            return 0
        fi
        # shellcheck source=/dev/null
        source "$SQL_SCENARIO_DIR/../plant/$part.sh"
    done
    plant_product_services prompt prompt prompt
    plant_product_files
    plant_product_registry
    plant_sql_instance
    sql_run_tool 1004 6 1 7
    # The product alone: 25 files and folders, 92 keys (its service keys
    # under CurrentControlSet go with the deleted services), 3 services;
    # the instance adds what the scenario above counts.
    sql_expect_drive_record "$SQL_CONFIRM_BOTH" $((25 + 6)) $((92 + 13)) $((3 + 1)) $((0 + 1))
    local log
    log=$(sql_raw_trace_log)
    e2e_expect_eq "$(tr -d '\r' <"$log" | grep -E '^(Start::|Acquiring|/\*==========)' | tr '\n' '|')" \
        'Start:: Removing Product And SQL Instance Traces Both|Acquiring Resources|/*========== 1:: StopServices ===============*/|/*========== 2:: RemoveFolders ===============*/|/*========== 3:: RemoveRegistry ===============*/|/*========== 4:: RemoveSQLInstance ===============*/|' \
        "start line and stage banners"
    # The file stage's last FindNextFileA (18, no more files) leaves the last
    # error that the registry stage and the SQL_REG line show.
    sed -n '/^\/\*========== 4::/,$p' "$log" >"$E2E_TEST_DIR/stage4.txt"
    e2e_expect_file "$E2E_TEST_DIR/stage4.txt" < <(sql_expected_stage4 18 | sed 's/$/\r/')
    sql_expect_instance_removed
    for part in "${PRODUCT_SERVICES[@]}"; do
        e2e_expect_eq "$(sql_service_query "$part")" absent "the product's service $part"
    done
    for part in "$PRODUCT_PROGRAM_FOLDER" "${PRODUCT_DATA_FILES[@]}" "${PRODUCT_SHORTCUTS[@]}"; do
        if e2e_exists "$part"; then e2e_fail "$part is still there"; fi
    done
}
