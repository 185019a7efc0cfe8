# shellcheck shell=bash
# The removal tool's registry stage under Wine: the product's keys in both
# registry views, keys protected by their access list, and a clean machine.
# Run by run_e2e.sh with --program; uses TOOL from program.sh.
#
# The stage's trace log is compared byte for byte with
# expected/registry/<name>.txt (LF there, CR LF in the log). About the
# numbers in its "ERROR:: (Opening Key) %d" and "(Deleting Key) %d" lines:
# Wine's registry functions leave the thread's last error alone, so a line
# shows the last error of the last call that did set one. Before the first
# grant that is stage 2's last DeleteFileA, on
# C:\users\Public\Desktop\Zeltra Business Lite Console.lnk: the folder is
# there and the file is not, so 2 (in a prefix without that folder the
# lines read 3: measured). Once the access grant has run, its
# AdjustTokenPrivileges has set 0, and every later line reads 0
# (SetNamedSecurityInfoA, SetEntriesInAclA, LocalFree, FreeSid,
# LoadLibraryA, GetProcAddress and FreeLibrary leave it alone: measured).
# The simulated machine gives the same numbers for the same plantings.

REGISTRY_E2E_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source=/dev/null
source "$REGISTRY_E2E_DIR/plant/registry.sh"
REGISTRY_EXPECTED=$REGISTRY_E2E_DIR/expected/registry

# What the protecting access list reads back as (see e2e_tool protect-key).
REGISTRY_PROTECTED_SDDL='O:SYD:P(D;OICI;SD;;;WD)(A;OICI;RCWDWO;;;BA)(A;OICI;KR;;;WD)'

registry_tool() { e2e_wine 'C:\e2e\e2e_tool.exe' "$@" | tr -d '\r'; }

# Key security descriptors live only as long as the prefix's wineserver: the
# protection planted here must reach the run in the same server.
registry_expect_wineserver_alive() {
    local pid
    for pid in $(e2e_marked_pids "$WINEPREFIX"); do
        [[ $(cat "/proc/$pid/comm" 2>/dev/null) == wineserver* ]] && return 0
    done
    e2e_fail "no persistent wineserver for $WINEPREFIX: a protection planted now would be lost"
}

# registry_protect VIEW PATH: owner SYSTEM and an access list that refuses
# delete, checked by reading it back.
registry_protect() {
    registry_tool protect-key "$1" "$2" >/dev/null || e2e_fail "protect-key $1 $2 failed"
    e2e_expect_eq "$(registry_tool key-sddl "$1" "$2")" "$REGISTRY_PROTECTED_SDDL" "security of $2 ($1-bit view) after planting"
}

# registry_run_mode1 ANSWER...: the tool with /l, mode 1 confirmed, the
# given boxes answered in order; the whole driver record is kept in
# $E2E_DRIVE_OUT.
registry_run_mode1() {
    e2e_start "$TOOL" /l
    local prog=$E2E_PID
    e2e_drive_ok wait-dialog click 1001 answer 6 "$@" wait-exit
    e2e_wait "$prog" 10 || e2e_fail "still running after the last box"
    e2e_expect_eq "$E2E_EXIT" 0 "exit code"
}

# registry_expect_stage_log NAME: the trace log from the stage 3 banner to
# its end (mode 1 writes nothing after it) equals the expected text, CR LF
# line ends included.
registry_expect_stage_log() {
    local log
    log=$(e2e_trace_log 'ZeltraES_RT_*_Log.txt')
    [[ -n $log && $(wc -l <<<"$log") == 1 ]] || e2e_fail "expected one trace log, found: ${log:-none}"
    sed -n '/^\/\*========== 3:: RemoveRegistry =/,$p' "$log" >"$E2E_TEST_DIR/stage3.txt"
    e2e_expect_file "$E2E_TEST_DIR/stage3.txt" < <(sed 's/$/\r/' "$REGISTRY_EXPECTED/$1")
}

# registry_expect_keys VIEW yes|no PATH...: each key (below HKLM) is there
# or not in that view.
registry_expect_keys() {
    local view=$1 state=$2 answers line
    shift 2
    answers=$(registry_tool keys-exist "$view" "$@")
    # Every path answered: a tool that printed nothing proves nothing.
    e2e_expect_eq "$(grep -c . <<<"$answers")" "$#" "answers of keys-exist"
    while IFS= read -r line; do
        [[ $line == "$state "* ]] || e2e_fail "$view-bit view: expected $state, got: $line"
    done <<<"$answers"
}

# The listed keys below HKLM, as the listing names them.
registry_listed_keys() {
    local key
    for key in "${PRODUCT_SOFTWARE_KEYS[@]}"; do printf 'SOFTWARE\\%s\n' "$key"; done
    for key in "${PRODUCT_SYSTEM_KEYS[@]}"; do printf 'SYSTEM\\%s\n' "$key"; done
}

registry_summary_box() {
    printf 'MSGBOX owner=none buttons=OK icon=information answer=OK caption="ZeltraEnterprise Server Removal Tool" text="Traces Found And Deleted::\\r\\nFiles = (0)\\r\\nRegistry = (%s)\\r\\nServices Stopped = (0)\\r\\nFiles Queued For Deletion = (0)"\n' "$1"
}

# registry_expect_boxes COUNT FAILED: the driver record of a mode 1 run.
# With traces found (COUNT > 0): the summary from the worker, the failure
# box when the stage failed (FAILED=1), then the restart offer (declined);
# without: "No Traces Found" only.
registry_expect_boxes() {
    local count=$1 failed=$2
    {
        echo 'DIALOG caption="ZeltraEnterprise Security Removal Tool"'
        echo 'CLICK 1001'
        printf '%s\n' "MSGBOX owner=none buttons=YES,NO icon=question answer=YES caption=\"$BOX_TITLE\" text=\"This tool will remove all traces of ZeltraEnterprise Server except the traces related to VuvuriDivUZO Instance.\\r\\nDo you want to continue?\""
        ((count == 0)) || registry_summary_box "$count"
        if ((failed)); then
            printf '%s\n' "MSGBOX owner=dialog buttons=OK icon=error answer=OK caption=\"$BOX_TITLE\" text=\"The tool has failed to process\\r\\nERROR:: (4)\""
        fi
        if ((count == 0)); then
            printf '%s\n' "MSGBOX owner=dialog buttons=OK icon=information answer=OK caption=\"$BOX_TITLE\" text=\"No Traces Found\""
        else
            printf '%s\n' "MSGBOX owner=dialog buttons=YES,NO icon=none answer=NO caption=\"$BOX_TITLE\" text=\"A restart is required to complete the process\""
        fi
        echo 'EXIT'
    } | e2e_expect_file "$E2E_DRIVE_OUT"
}

# Fault caught: a listed key left in either view (the 64-bit pass missing or
# run in the wrong view); a subkey deleted after its parent or not at all; a
# sibling of a listed key, or a parent of one, deleted; a wrong or missing
# entry, success or error line; a shared key (SystemCertificates,
# Classes\Installer) not reported as absent in the second pass; a count that
# is not one per deleted key; a failure reported for a clean removal.
scenario_program_registry_all_keys_deleted_in_both_views() {
    plant_product_registry
    plant_registry_trees 32 'SOFTWARE\Zeltra Computing\OtherProduct'
    plant_registry_trees 64 'SOFTWARE\Zeltra Computing\OtherProduct'
    registry_run_mode1 answer 1 answer 7
    # 26 distinct trees of 4 keys: 6 listed keys in two views, 4 that the
    # views share, 10 under SYSTEM.
    registry_expect_boxes 104 0
    registry_expect_stage_log all_keys.txt
    local view listed
    mapfile -t listed < <(registry_listed_keys)
    for view in 32 64; do
        registry_expect_keys "$view" no "${listed[@]}"
        registry_expect_keys "$view" yes 'SOFTWARE\Zeltra Computing' 'SOFTWARE\Zeltra Computing\OtherProduct' \
            'SOFTWARE\Zeltra Computing\OtherProduct\Settings\Paths' 'SOFTWARE\Microsoft\SystemCertificates\AuthRoot\Certificates' \
            'SOFTWARE\Classes\Installer\Features' 'SYSTEM\ControlSet001\Services' 'SYSTEM\CurrentControlSet\Enum\Root'
        e2e_expect_eq "$(registry_tool value "$view" 'SOFTWARE\Zeltra Computing\OtherProduct' Version)" 8.0.1.145 \
            "OtherProduct's value in the $view-bit view"
    done
}

# A key whose access list refuses delete refuses the remover's open for all
# access too (KEY_ALL_ACCESS holds DELETE). The remover takes such a key
# over as it does a refused delete: the open's error line, the grant, the
# open again. ZeltraWS, protected in the 32-bit view, is then deleted with
# its subkeys. ZeltraTSSetup, protected and only in the 64-bit view, stays:
# the grant names the key as the process sees it by default (Wow6432Node),
# where it is absent, so SetNamedSecurityInfoA fails and the stage reports
# the key left (result -3, the failure box with 4).
# Fault caught: a protected key left although the grant could open it; a
# key that could not be opened counted as removed (stage result 0, no
# failure box); the 64-bit view's refusal lost; the other view's copy or
# the other keys not deleted after a refusal; the untouched key's security
# changed.
scenario_program_registry_protected_key_is_taken_over() {
    plant_product_registry
    e2e_reg 32 delete 'HKLM\SOFTWARE\Zeltra Computing\ZeltraTSSetup' /f || e2e_fail "reg delete failed"
    registry_expect_wineserver_alive
    registry_protect 64 'SOFTWARE\Zeltra Computing\ZeltraTSSetup'
    registry_protect 32 'SOFTWARE\Zeltra Computing\ZeltraWS'
    # 104 less ZeltraTSSetup's 8 keys.
    registry_run_mode1 answer 1 answer 1 answer 7
    registry_expect_boxes 96 1
    registry_expect_stage_log protected_key_taken_over.txt
    registry_expect_keys 64 yes 'SOFTWARE\Zeltra Computing\ZeltraTSSetup\Components' \
        'SOFTWARE\Zeltra Computing\ZeltraTSSetup\Settings\Paths'
    registry_expect_keys 32 no 'SOFTWARE\Zeltra Computing\ZeltraWS' 'SOFTWARE\Zeltra Computing\ZeltraTSSetup'
    registry_expect_keys 64 no 'SOFTWARE\Zeltra Computing\ZeltraWS'
    # Untouched, and still there: the run was in the planting's wineserver.
    e2e_expect_eq "$(registry_tool key-sddl 64 'SOFTWARE\Zeltra Computing\ZeltraTSSetup')" "$REGISTRY_PROTECTED_SDDL" \
        "security of the 64-bit ZeltraTSSetup after the run"
}

# The takeover's bound: a listed key that opens but whose delete is refused
# (5) because a protected subkey is still below it. The subkey's open is
# refused three times (its parent is an opened key, which the grant cannot
# name, so nothing changes between the tries). In the 32-bit view (ZeltraBusinessServer) the grant
# replaces the listed key's access list, the delete is refused again, and
# the retry ends after the bound of two grants: three "Deleting Key" lines.
# In the 64-bit view only (ZeltraTSSetup) the grant names the default
# view's key, which is absent: SetNamedSecurityInfoA fails, the retry ends
# at once after one line, and no other key's access list changes.
# Fault caught: an unbounded retry (the run never ends), a retry without
# bound count or without a grant between the refusals, a grant on the
# wrong key, an access list other than Administrators' one entry of
# GENERIC_ALL without inheritance, a failure reported as success.
scenario_program_registry_access_takeover_is_bounded() {
    plant_product_registry
    e2e_reg 32 delete 'HKLM\SOFTWARE\Zeltra Computing\ZeltraTSSetup' /f || e2e_fail "reg delete failed"
    registry_expect_wineserver_alive
    registry_protect 32 'SOFTWARE\Zeltra Computing\ZeltraBusinessServer\Settings'
    registry_protect 64 'SOFTWARE\Zeltra Computing\ZeltraTSSetup\Settings'
    local untouched
    untouched=$(registry_tool key-sddl 64 'SOFTWARE\Zeltra Computing\ZeltraTSSetup')
    # 104 less 7 of ZeltraTSSetup (only its Components goes) and 3 of the
    # 32-bit ZeltraBusinessServer (its Components goes).
    registry_run_mode1 answer 1 answer 1 answer 7
    registry_expect_boxes 94 1
    registry_expect_stage_log takeover_bounded.txt
    registry_expect_keys 32 yes 'SOFTWARE\Zeltra Computing\ZeltraBusinessServer\Settings\Paths'
    registry_expect_keys 32 no 'SOFTWARE\Zeltra Computing\ZeltraBusinessServer\Components'
    registry_expect_keys 64 no 'SOFTWARE\Zeltra Computing\ZeltraBusinessServer' 'SOFTWARE\Zeltra Computing\ZeltraTSSetup\Components'
    registry_expect_keys 64 yes 'SOFTWARE\Zeltra Computing\ZeltraTSSetup\Settings\Paths'
    # The grant's list. Only the list is compared: Wine 8 also sets the
    # owner (BA becomes S-1-5-21-0-0-0-513) when asked for the list alone,
    # where Windows leaves the owner as it was.
    local granted
    granted=$(registry_tool key-sddl 32 'SOFTWARE\Zeltra Computing\ZeltraBusinessServer')
    e2e_expect_eq "${granted#*D:}" '(A;;GA;;;BA)' "access list of the 32-bit ZeltraBusinessServer after the grant"
    e2e_expect_eq "$(registry_tool key-sddl 32 'SOFTWARE\Zeltra Computing\ZeltraBusinessServer\Settings')" \
        "$REGISTRY_PROTECTED_SDDL" "security of the protected subkey (a grant through a key handle changes nothing)"
    e2e_expect_eq "$(registry_tool key-sddl 64 'SOFTWARE\Zeltra Computing\ZeltraTSSetup')" "$untouched" \
        "security of the 64-bit ZeltraTSSetup (the grant named the other view)"
}

# Fault caught: an absent key reported as a failure or counted; a second
# pass missing for an HKLM key; a summary, restart offer or failure box on
# a machine without the product; an entry skipped or misnumbered.
scenario_program_registry_clean_machine_logs_every_absent_key() {
    registry_run_mode1 answer 1
    registry_expect_boxes 0 0
    registry_expect_stage_log clean_machine.txt
}
