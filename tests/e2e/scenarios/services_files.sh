# shellcheck shell=bash
# The removal tool's first two stages on a real machine: the product's
# services (stopped, disabled, deleted, or left in place) and its files and
# folders (deleted, queued for the restart, or refused). Run by run_e2e.sh
# with --program and, as --extra, e2e_tool.exe and test_service.exe. Uses
# TOOL, BOX_TITLE and tool_trace_log of program.sh.
#
# The drivers folder (location code 3) has no entry in the default listing,
# so no run of the real program reaches it; the unit tests cover it.

SF_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source-path=SCRIPTDIR source=../plant/services_files.sh
source "$SF_DIR/../plant/services_files.sh"
SF_LISTING="$SF_DIR/../../../resources/entry_listing.txt"
SF_SUMMARY_TITLE='ZeltraEnterprise Server Removal Tool'
SF_SESSION_MANAGER='HKLM\SYSTEM\CurrentControlSet\Control\Session Manager'

sf_need_tools() {
    local exe
    for exe in e2e_tool.exe test_service.exe; do
        e2e_exists "C:\\e2e\\$exe" || e2e_fail "C:\\e2e\\$exe missing: run with --extra .../$exe"
    done
}

# sf_remove_product ANSWER... : runs the tool with /l, removes the product
# only (mode 1), answers Yes to the confirmation and then the given boxes
# in order, and waits for the dialog and the program to end.
sf_remove_product() {
    e2e_start "$TOOL" /l
    local prog=$E2E_PID answer actions=()
    for answer in "$@"; do actions+=(answer "$answer"); done
    if ! e2e_drive wait-dialog click 1001 answer 6 "${actions[@]}" wait-exit; then
        e2e_fail "$(grep -m1 '^ERROR' "$E2E_DRIVE_OUT"), last boxes: $(grep '^MSGBOX' "$E2E_DRIVE_OUT" | tail -n2 | tr '\n' ' ')"
    fi
    e2e_wait "$prog" 10 || e2e_fail "still running after the dialog closed"
    e2e_expect_eq "$E2E_EXIT" 0 "exit code"
}

# The driver's record line of each box a run of mode 1 shows.
sf_confirmation_box() {
    printf '%s\n' "MSGBOX owner=none buttons=YES,NO icon=question answer=YES caption=\"$BOX_TITLE\" text=\"This tool will remove all traces of ZeltraEnterprise Server except the traces related to VuvuriDivUZO Instance.\\r\\nDo you want to continue?\""
}
sf_summary_box() {
    printf '%s\n' "MSGBOX owner=none buttons=OK icon=information answer=OK caption=\"$SF_SUMMARY_TITLE\" text=\"Traces Found And Deleted::\\r\\nFiles = ($1)\\r\\nRegistry = ($2)\\r\\nServices Stopped = ($3)\\r\\nFiles Queued For Deletion = ($4)\""
}
sf_failure_box() {
    printf '%s\n' "MSGBOX owner=dialog buttons=OK icon=error answer=OK caption=\"$BOX_TITLE\" text=\"The tool has failed to process\\r\\nERROR:: ($1)\""
}
sf_restart_box() {
    printf '%s\n' "MSGBOX owner=dialog buttons=YES,NO icon=none answer=NO caption=\"$BOX_TITLE\" text=\"A restart is required to complete the process\""
}

# sf_expect_boxes FILES REGISTRY SERVICES QUEUED [RESULT] : the driver's
# record of one run: confirmation, summary, the failure box when RESULT is
# given, restart offer declined.
sf_expect_boxes() {
    e2e_expect_file "$E2E_DRIVE_OUT" < <(
        printf '%s\n' 'DIALOG caption="ZeltraEnterprise Security Removal Tool"' 'CLICK 1001'
        sf_confirmation_box
        sf_summary_box "$1" "$2" "$3" "$4"
        (($# < 5)) || sf_failure_box "$5"
        sf_restart_box
        echo EXIT
    )
}

# sf_expect_services_outcome TRACE ENTRY_LINE : two services deleted, the
# one left in place named by its registry entry line.
# Stage 3 deletes the services' keys that are still there: always the key
# of the service left in place; a deleted service's only while its process
# is still ending (the service manager removes the key once it has).
sf_expect_services_outcome() {
    local registry
    registry=$(sf_stage "$1" 3 | grep -c '^SUCCESS:: Deleted$' || true)
    ((registry >= 1 && registry <= 3)) || e2e_fail "registry stage deleted $registry keys"
    [[ $(grep -A1 -Fx -- "$2" "$1" | tail -n1) == 'SUCCESS:: Deleted' ]] ||
        e2e_fail "not deleted by the registry stage: $2"
    sf_expect_boxes 0 "$registry" 2 0
}

# sf_stage TRACE N : the lines of stage N, its banner included, up to the
# next banner.
sf_stage() {
    awk -v n="$2" '/^\/\*========== [0-9]+:: / { inside = ($2 == n "::") } inside' "$1"
}

# sf_service NAME : what the service manager holds: "absent" or
# "state=N start=N".
sf_service() {
    local out
    out=$(e2e_wine 'C:\e2e\e2e_tool.exe' service-query "$1") || e2e_fail "service-query $1 failed"
    printf '%s\n' "${out//$'\r'/}"
}

# sf_waits NAME N : the lines of N one-second waits for a stopping service.
sf_waits() {
    local i
    for ((i = 0; i < $2; i++)); do
        printf 'Waiting for %s to Stop.\nGoing To Sleep :-0 (Yawn!!!)\n' "$1"
    done
}

# sf_registry_stage_absent ERROR : the registry stage's lines when none of
# the listed keys exists: every entry fails to open in both views, each
# time with ERROR as the error number.
sf_registry_stage_absent() {
    local n=0 key
    echo '/*========== 3:: RemoveRegistry ===============*/'
    while IFS= read -r key; do
        key=${key%$'\r'}
        [[ $key == HK* ]] || continue
        n=$((n + 1))
        printf 'Registry_%d:: %s\nERROR:: (Opening Key) %d\nERROR:: (Opening Key) %d\n' "$n" "$key" "$1" "$1"
    done < <(sed -n '/^NRE=/,/^\[END\]/p' "$SF_LISTING")
    ((n == 20)) || e2e_fail "the default listing has $n registry entries, expected 20"
}

# Fault caught: a service that stopped at once or after a few seconds is
# not deleted or not counted; the stop-pending wait is not logged or not
# polled once a second; a service that refuses the stop is deleted, or its
# refusal (1052) is logged as an error or fails the run; a service is not
# disabled before the stop; the summary's "Services Stopped" is wrong.
scenario_program_services_stopped_and_deleted_or_left_disabled() {
    sf_need_tools
    plant_product_services prompt slow refuse
    local s
    for s in "${PRODUCT_SERVICES[@]}"; do
        e2e_expect_eq "$(sf_service "$s")" 'state=4 start=3' "$s before the run"
    done
    sf_remove_product 1 7
    local trace waits
    trace=$(tool_trace_log)
    # The slow service stops 3 s after the request and the tool looks again
    # once a second: the fourth look lands within milliseconds of the stop,
    # so either 3 or 4 waits are right.
    waits=$(grep -c '^Waiting for ZeltraBizUpdater to Stop\.$' "$trace" || true)
    [[ $waits == 3 || $waits == 4 ]] || e2e_fail "ZeltraBizUpdater waited $waits times, expected 3 or 4"
    sf_stage "$trace" 1 >"$E2E_TEST_DIR/stage1.txt"
    e2e_expect_file "$E2E_TEST_DIR/stage1.txt" < <(
        cat <<'EOF'
/*========== 1:: StopServices ===============*/
SERVICE_1:: ZeltraWebServer
SUCCESS:: Stopped
SUCCESS:: Deleted
SERVICE_2:: ZeltraBizUpdater
EOF
        sf_waits ZeltraBizUpdater "$waits"
        cat <<'EOF'
SUCCESS:: Stopped
SUCCESS:: Deleted
SERVICE_3:: ZeltraBizClientSetup
INFO:: (Changing Control) 1052
EOF
    )
    sf_expect_services_outcome "$trace" 'Registry_20:: HKLM\SYSTEM\CurrentControlSet\Services\ZeltraBizClientSetup'
    e2e_expect_eq "$(sf_service ZeltraWebServer)" absent "ZeltraWebServer after the run"
    e2e_expect_eq "$(sf_service ZeltraBizUpdater)" absent "ZeltraBizUpdater after the run"
    # Disabled, and still running: it never accepted the stop.
    e2e_expect_eq "$(sf_service ZeltraBizClientSetup)" 'state=4 start=4' "ZeltraBizClientSetup after the run"
}

# Fault caught: a service that never stops is waited for more or less than
# 30 times, is deleted, counted or reported as a failure, or keeps the
# stage from the next service; an already stopped service (1062 on the
# stop) is logged as an error or not deleted.
scenario_program_services_stuck_one_left_after_30_waits() {
    sf_need_tools
    plant_product_services stopped never prompt
    e2e_expect_eq "$(sf_service ZeltraWebServer)" 'state=1 start=3' "ZeltraWebServer before the run"
    # The summary comes after the 30 one-second waits.
    E2E_UI_TIMEOUT_MS=60000 sf_remove_product 1 7
    local trace
    trace=$(tool_trace_log)
    sf_stage "$trace" 1 >"$E2E_TEST_DIR/stage1.txt"
    e2e_expect_file "$E2E_TEST_DIR/stage1.txt" < <(
        cat <<'EOF'
/*========== 1:: StopServices ===============*/
SERVICE_1:: ZeltraWebServer
INFO:: (Changing Control) 1062
SUCCESS:: Stopped
SUCCESS:: Deleted
SERVICE_2:: ZeltraBizUpdater
EOF
        sf_waits ZeltraBizUpdater 30
        cat <<'EOF'
Still Waiting!!!...Breaking Out
SERVICE_3:: ZeltraBizClientSetup
SUCCESS:: Stopped
SUCCESS:: Deleted
EOF
    )
    sf_expect_services_outcome "$trace" 'Registry_18:: HKLM\SYSTEM\CurrentControlSet\Services\ZeltraBizUpdater'
    e2e_expect_eq "$(sf_service ZeltraWebServer)" absent "ZeltraWebServer after the run"
    # Left in place, disabled, still stop-pending.
    e2e_expect_eq "$(sf_service ZeltraBizUpdater)" 'state=3 start=4' "ZeltraBizUpdater after the run"
    e2e_expect_eq "$(sf_service ZeltraBizClientSetup)" absent "ZeltraBizClientSetup after the run"
}

# sf_left_on_disk : every name left where the product's files were planted
# (the template's own folders below ProgramData\Microsoft left out), one
# per line, relative to C:, in byte order.
sf_left_on_disk() {
    local c="$WINEPREFIX/drive_c"
    find "$c/Program Files (x86)/Zeltra Computing" "$c/ProgramData" "$c/users/Public/Desktop" \
        "$c/windows/Installer" "$c/ZeltraShared" "$c/victim.txt" \
        -path "$c/ProgramData/Microsoft" -prune -o -print |
        sed "s|^$c/||" | LC_ALL=C sort
}

# Fault caught: a listed folder, file or shortcut is left behind or
# miscounted; a file in use or read-only is not queued for the restart, or
# queued in a form the restart does not carry out; the enumeration follows
# a directory link out of the listed folder and deletes what it points at;
# a name that the ANSI conversion turns into "..\..\victim.txt" deletes
# C:\victim.txt; a folder beside the product's, or the installer's cache
# folder that the listing's count leaves out, is deleted; a refused name
# does not fail the stage; the boxes come in the wrong order.
scenario_program_files_every_entry_removed_outsiders_kept() {
    sf_need_tools
    plant_product_files
    # In use: held open without delete sharing by a helper process.
    e2e_plant_file "$PRODUCT_PROGRAM_FOLDER\\ZeltraBS.log"
    # Read-only (Wine reads the attribute from the Unix mode).
    e2e_plant_file 'C:\ProgramData\Zeltra Computing\ZeltraBusinessServer\license.dat'
    chmod a-w "$(e2e_host_path 'C:\ProgramData\Zeltra Computing\ZeltraBusinessServer\license.dat')"
    e2e_plant_file 'C:\Program Files (x86)\Zeltra Computing\OtherProduct\other.exe'
    # A directory link (a reparse point to Windows) to a folder elsewhere.
    e2e_plant_file 'C:\ZeltraShared\shared.txt'
    ln -s "$(e2e_host_path 'C:\ZeltraShared')" "$(e2e_host_path 'C:\ProgramData\Zeltra Computing\ZeltraWS\shared')"
    # Two levels below C:, so that "..\..\victim.txt" joined to the folder
    # names C:\victim.txt.
    e2e_plant_file 'C:\victim.txt'
    e2e_wine 'C:\e2e\e2e_tool.exe' wide-file 'C:\ProgramData\ZeltraSetup' || e2e_fail "wide-file failed"

    local n holder i
    n=$(find "$E2E_TEST_DIR" -maxdepth 1 -name 'start-*.out' | wc -l)
    e2e_start 'C:\e2e\e2e_tool.exe' hold-file "$PRODUCT_PROGRAM_FOLDER\\ZeltraBS.log" 60
    holder=$E2E_PID
    for ((i = 0; i < 200; i++)); do
        grep -q held "$E2E_TEST_DIR/start-$n.out" && break
        sleep "$E2E_POLL_S"
    done
    grep -q held "$E2E_TEST_DIR/start-$n.out" || e2e_fail "the helper did not open ZeltraBS.log"

    # The failure box: the refused name fails stage 2 (mask value 2).
    sf_remove_product 1 1 7
    sf_expect_boxes 21 0 0 2 2

    local trace
    trace=$(tool_trace_log)
    # Wine hands out a folder's names sorted without regard to case, as NTFS
    # does, so the order within each folder is fixed.
    # "INFO:: (Deleting Dir)" shows the thread's last error after
    # RemoveDirectoryA whether or not it succeeded: after a success that is
    # still 18 (ERROR_NO_MORE_FILES) from the enumeration of the folder.
    # Differences from Windows, where the simulation follows Windows:
    #  - ZeltraWS\shared is a Unix directory link; Wine's RemoveDirectoryA
    #    on it fails with 145 because its target holds a file (Windows
    #    removes the link itself: "INFO:: (Deleting Dir)" with the error
    #    value left before, then "SUCCESS:: Deleted"), so ZeltraWS is not
    #    empty either and fails with 145 too.
    #  - Stage 3: Wine's registry functions leave the thread's last error
    #    alone, so every "ERROR:: (Opening Key)" repeats the 18 that the
    #    last enumeration of stage 2 left (the shortcut deletions after it
    #    succeed and do not touch it).
    {
        cat <<'EOF2'
Start:: Removing Product Traces Only
Acquiring Resources
/*========== 1:: StopServices ===============*/
SERVICE_1:: ZeltraWebServer
INFO:: (Opening service) Does Not Exist
CONTINUE..
SERVICE_2:: ZeltraBizUpdater
INFO:: (Opening service) Does Not Exist
CONTINUE..
SERVICE_3:: ZeltraBizClientSetup
INFO:: (Opening service) Does Not Exist
CONTINUE..
/*========== 2:: RemoveFolders ===============*/
File_1:: Zeltra Computing\ZeltraBusinessServer
FILENAME:: zbs.dll
SUCCESS:: Deleted
DIRNAME:: C:\Program Files (x86)\Zeltra Computing\ZeltraBusinessServer\bin
INFO:: (Deleting Dir) 18
SUCCESS:: Deleted
FILENAME:: config.xml
SUCCESS:: Deleted
FILENAME:: ZeltraBS.exe
SUCCESS:: Deleted
FILENAME:: ZeltraBS.log
INFO:: (Deleting file) 32
Marked for Deletion
DIRNAME:: C:\Program Files (x86)\Zeltra Computing\ZeltraBusinessServer
INFO:: (Deleting Dir) 145
FILENAME:: server.dat
SUCCESS:: Deleted
DIRNAME:: C:\ProgramData\Application Data\Zeltra Computing\ZeltraBusinessServer
INFO:: (Deleting Dir) 18
SUCCESS:: Deleted
FILENAME:: ws.dat
SUCCESS:: Deleted
DIRNAME:: C:\ProgramData\Application Data\Zeltra Computing\ZeltraWS
INFO:: (Deleting Dir) 18
SUCCESS:: Deleted
FILENAME:: setup.ini
SUCCESS:: Deleted
DIRNAME:: C:\ProgramData\Application Data\ZeltraSetup
INFO:: (Deleting Dir) 18
SUCCESS:: Deleted
FILENAME:: Zeltra Enterprise Security Console.lnk
SUCCESS:: Deleted
DIRNAME:: C:\ProgramData\Start Menu\Programs\Zeltra Enterprise Security
INFO:: (Deleting Dir) 18
SUCCESS:: Deleted
FILENAME:: license.dat
INFO:: (Deleting file) 5
Marked for Deletion
FILENAME:: server.cfg
SUCCESS:: Deleted
DIRNAME:: C:\ProgramData\Zeltra Computing\ZeltraBusinessServer
INFO:: (Deleting Dir) 145
DIRNAME:: C:\ProgramData\Zeltra Computing\ZeltraWS\shared
INFO:: (Reparse Point) Removing Link Only
INFO:: (Deleting Dir) 145
FILENAME:: ws.cfg
SUCCESS:: Deleted
DIRNAME:: C:\ProgramData\Zeltra Computing\ZeltraWS
INFO:: (Deleting Dir) 145
ERROR:: (Invalid Name) ..\..\victim.txt
FILENAME:: setup.log
SUCCESS:: Deleted
DIRNAME:: C:\ProgramData\ZeltraSetup
INFO:: (Deleting Dir) 145
FILENAME:: Zeltra Enterprise Security Console.lnk
SUCCESS:: Deleted
DIRNAME:: C:\ProgramData\Microsoft\Windows\Start Menu\Programs\Zeltra Enterprise Security
INFO:: (Deleting Dir) 18
SUCCESS:: Deleted
EOF2
        sf_registry_stage_absent 18
    } >"$E2E_TEST_DIR/expected-trace.txt"
    e2e_expect_file "$trace" <"$E2E_TEST_DIR/expected-trace.txt"

    # What is left: the queued files, the link and everything outside the
    # listed entries; the shortcuts (codes 7 and 10) are gone.
    e2e_expect_file <(sf_left_on_disk) <<'EOF2'
Program Files (x86)/Zeltra Computing
Program Files (x86)/Zeltra Computing/OtherProduct
Program Files (x86)/Zeltra Computing/OtherProduct/other.exe
Program Files (x86)/Zeltra Computing/ZeltraBusinessServer
Program Files (x86)/Zeltra Computing/ZeltraBusinessServer/ZeltraBS.log
ProgramData
ProgramData/Application Data
ProgramData/Application Data/Zeltra Computing
ProgramData/Desktop
ProgramData/Start Menu
ProgramData/Start Menu/Programs
ProgramData/Zeltra Computing
ProgramData/Zeltra Computing/ZeltraBusinessServer
ProgramData/Zeltra Computing/ZeltraBusinessServer/license.dat
ProgramData/Zeltra Computing/ZeltraWS
ProgramData/Zeltra Computing/ZeltraWS/shared
ProgramData/ZeltraSetup
ProgramData/ZeltraSetup/..＼..＼victim.txt
ZeltraShared
ZeltraShared/shared.txt
users/Public/Desktop
victim.txt
windows/Installer
windows/Installer/{5A0C3E71-64B2-4D8F-A1C9-7E32B6D05F48}
windows/Installer/{5A0C3E71-64B2-4D8F-A1C9-7E32B6D05F48}/ZeltraBusinessServer.msi
EOF2
    if e2e_exists 'C:\ProgramData\Microsoft\Windows\Start Menu\Programs\Zeltra Enterprise Security'; then
        e2e_fail "the new layout's Start Menu folder is still there"
    fi

    # The restart queue: (path, empty) pairs, in the order queued; the
    # trace log is queued by the tool itself when it ends.
    local queue log_name
    log_name=$(basename "$(e2e_trace_log 'ZeltraES_RT_*_Log.txt')")
    queue=$(e2e_wine reg query "$SF_SESSION_MANAGER" /v PendingFileRenameOperations /reg:64) ||
        e2e_fail "no PendingFileRenameOperations"
    queue=$(grep -F PendingFileRenameOperations <<<"${queue//$'\r'/}")
    e2e_expect_eq "$queue" "    PendingFileRenameOperations    REG_MULTI_SZ    \\??\\$PRODUCT_PROGRAM_FOLDER\\ZeltraBS.log\\0\\0\\??\\C:\\ProgramData\\Zeltra Computing\\ZeltraBusinessServer\\license.dat\\0\\0\\??\\C:\\users\\$(id -un)\\Temp\\$log_name\\0" \
        "PendingFileRenameOperations"

    # The restart: the helper ends, the wineserver restarts and carries out
    # the queue when the next program starts.
    kill "$holder" 2>/dev/null || true
    e2e_wait "$holder" 10 || e2e_fail "the helper did not end"
    e2e_wine_env wineserver -k
    e2e_wine_env wineserver -w
    e2e_wine 'C:\e2e\e2e_tool.exe' key-exists 64 SYSTEM >/dev/null
    if e2e_exists "$PRODUCT_PROGRAM_FOLDER\\ZeltraBS.log"; then e2e_fail "ZeltraBS.log survived the restart"; fi
    if e2e_exists "C:\\users\\$(id -un)\\Temp\\$log_name"; then e2e_fail "the trace log survived the restart"; fi
    if e2e_reg_exists 64 "$SF_SESSION_MANAGER" PendingFileRenameOperations; then
        e2e_fail "PendingFileRenameOperations still set after the restart"
    fi
    # A folder that still held a queued file was not queued itself: emptied
    # by the restart, it stays.
    [[ -z $(ls -A "$(e2e_host_path "$PRODUCT_PROGRAM_FOLDER")") ]] ||
        e2e_fail "the product folder is not empty after the restart"
    # Wine's restart step does not delete a read-only file (its deletion
    # refuses one, as DeleteFileA does) and clears the queue all the same.
    e2e_exists 'C:\ProgramData\Zeltra Computing\ZeltraBusinessServer\license.dat' ||
        e2e_fail "Wine deleted the queued read-only file: update this scenario"
}
