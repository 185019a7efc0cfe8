# shellcheck shell=bash
# The removal tool itself, driven the way a user drives it: its dialog,
# start-up refusal, the confirmation, the outcome boxes, and what a run
# leaves on the machine. Run by run_e2e.sh with --program.

TOOL='C:\e2e\ZeltraES_RT.exe'
BOX_TITLE='ZeltraEnterprise Security RT'

# The trace log the tool writes with /l, with CR LF turned into LF.
tool_trace_log() {
    local log
    log=$(e2e_trace_log 'ZeltraES_RT_*_Log.txt')
    [[ -n $log ]] || e2e_fail "no trace log in $(e2e_temp_dir)"
    [[ $(wc -l <<<"$log") == 1 ]] || e2e_fail "more than one trace log: $log"
    tr -d '\r' <"$log" >"$E2E_TEST_DIR/trace.txt"
    printf '%s\n' "$E2E_TEST_DIR/trace.txt"
}

# Fault caught: wrong captions, texts or control ids; the progress bar shown
# before a run; a close that does not end the program or a wrong exit code;
# a trace log written without /l.
scenario_program_dialog_shows_title_and_buttons() {
    e2e_start "$TOOL"
    local prog=$E2E_PID
    e2e_drive_ok wait-dialog read close wait-exit
    e2e_expect_line "$E2E_DRIVE_OUT" 'READ caption="ZeltraEnterprise Security Removal Tool"'
    e2e_expect_line "$E2E_DRIVE_OUT" 'CONTROL 1001 class=Button visible=1 enabled=1 text="Remove ZeltraEnterprise Server Only"'
    e2e_expect_line "$E2E_DRIVE_OUT" 'CONTROL 1002 class=Static visible=1 enabled=1 text="ZeltraEnterprise Security Removal Tool"'
    e2e_expect_line "$E2E_DRIVE_OUT" 'CONTROL 1004 class=Button visible=1 enabled=1 text="Remove ZeltraEnterprise Server Completely"'
    grep -q '^PROGRESS 1003 visible=0 marquee=0 ' "$E2E_DRIVE_OUT" ||
        e2e_fail "progress bar 1003 not hidden and idle: $(grep '^PROGRESS' "$E2E_DRIVE_OUT")"
    e2e_wait "$prog" 10 || e2e_fail "still running after the dialog closed"
    e2e_expect_eq "$E2E_EXIT" 0 "exit code after close"
    [[ -z $(e2e_trace_log 'ZeltraES_RT_*_Log.txt') ]] || e2e_fail "trace log written without /l"
}

# Fault caught: answering No starts a run anyway, leaves buttons disabled,
# or the "Start::" line is written only after the confirmation.
scenario_program_no_on_confirmation_keeps_dialog_idle() {
    e2e_start "$TOOL" /l
    local prog=$E2E_PID
    e2e_drive_ok wait-dialog click 1001 answer 7 click 1004 answer 7 no-box 300 read close wait-exit
    e2e_expect_line "$E2E_DRIVE_OUT" "MSGBOX owner=none buttons=YES,NO icon=question answer=NO caption=\"$BOX_TITLE\" text=\"This tool will remove all traces of ZeltraEnterprise Server except the traces related to VuvuriDivUZO Instance.\\r\\nDo you want to continue?\""
    e2e_expect_line "$E2E_DRIVE_OUT" "MSGBOX owner=none buttons=YES,NO icon=question answer=NO caption=\"$BOX_TITLE\" text=\"This tool will remove all traces of ZeltraEnterprise Server and VuvuriDivUZO Instance both.\\r\\nDo you want to continue?\""
    e2e_expect_line "$E2E_DRIVE_OUT" 'CONTROL 1001 class=Button visible=1 enabled=1 text="Remove ZeltraEnterprise Server Only"'
    e2e_expect_line "$E2E_DRIVE_OUT" 'CONTROL 1004 class=Button visible=1 enabled=1 text="Remove ZeltraEnterprise Server Completely"'
    e2e_wait "$prog" 10 || e2e_fail "still running after the dialog closed"
    e2e_expect_eq "$E2E_EXIT" 0 "exit code"
    local trace
    trace=$(tool_trace_log)
    e2e_expect_eq "$(grep '^Start::' "$trace" | tr '\n' '|')" \
        'Start:: Removing Product Traces Only|Start:: Removing Product And SQL Instance Traces Both|' \
        "Start:: lines of the trace log"
    e2e_expect_no_line "$trace" 'Acquiring Resources'
}

# Fault caught: a second copy opens a second dialog, or exits with 0; the
# first copy is disturbed by it.
scenario_program_second_copy_is_refused() {
    e2e_start "$TOOL"
    local first=$E2E_PID second
    e2e_drive_ok wait-dialog
    e2e_start "$TOOL"
    second=$E2E_PID
    e2e_drive_ok answer 1
    e2e_expect_line "$E2E_DRIVE_OUT" 'MSGBOX owner=none buttons=OK icon=error answer=OK caption="ZeltraEnterprise Security Removal Tool" text="Instance Already Running"'
    e2e_wait "$second" 10 || e2e_fail "second copy still running"
    e2e_expect_eq "$E2E_EXIT" 255 "exit code of the second copy (-1)"
    e2e_drive_ok read close wait-exit
    e2e_expect_line "$E2E_DRIVE_OUT" 'CONTROL 1001 class=Button visible=1 enabled=1 text="Remove ZeltraEnterprise Server Only"'
    e2e_wait "$first" 10 || e2e_fail "first copy still running"
    e2e_expect_eq "$E2E_EXIT" 0 "exit code of the first copy"
}

# program_expect_no_traces BUTTON CONFIRMATION: a run started with BUTTON,
# confirmed, shows only "No Traces Found" and the program ends with 0.
program_expect_no_traces() {
    local button=$1 confirmation=$2 prog
    e2e_start "$TOOL"
    prog=$E2E_PID
    e2e_drive_ok wait-dialog click "$button" answer 6 answer 1 wait-exit
    e2e_expect_file "$E2E_DRIVE_OUT" <<EOF
DIALOG caption="ZeltraEnterprise Security Removal Tool"
CLICK $button
MSGBOX owner=none buttons=YES,NO icon=question answer=YES caption="$BOX_TITLE" text="$confirmation\\r\\nDo you want to continue?"
MSGBOX owner=dialog buttons=OK icon=information answer=OK caption="$BOX_TITLE" text="No Traces Found"
EXIT
EOF
    e2e_wait "$prog" 10 || e2e_fail "still running after the dialog closed"
    e2e_expect_eq "$E2E_EXIT" 0 "exit code after button $button"
}

# Fault caught: a run on a machine without the product (in either mode)
# reports traces, offers a restart, or reports a failure; in complete
# removal, the missing SQL Server or writer service counted as a failure.
scenario_program_clean_machine_reports_no_traces() {
    program_expect_no_traces 1001 \
        'This tool will remove all traces of ZeltraEnterprise Server except the traces related to VuvuriDivUZO Instance.'
    program_expect_no_traces 1004 \
        'This tool will remove all traces of ZeltraEnterprise Server and VuvuriDivUZO Instance both.'
}

# Fault caught: a listed folder under the all-users profile is not deleted
# or miscounted; the summary is missing, owned by the dialog or in the wrong
# order; the restart is not offered; declining it does not end the program;
# the stages run out of order or stage 4 runs in mode 1.
scenario_program_found_folder_is_deleted_and_restart_offered() {
    e2e_plant_file 'C:\ProgramData\ZeltraSetup\setup.log'
    e2e_start "$TOOL" /l
    local prog=$E2E_PID
    e2e_drive_ok wait-dialog click 1001 answer 6 answer 1 answer 7 wait-exit
    e2e_expect_line "$E2E_DRIVE_OUT" 'MSGBOX owner=none buttons=OK icon=information answer=OK caption="ZeltraEnterprise Server Removal Tool" text="Traces Found And Deleted::\r\nFiles = (2)\r\nRegistry = (0)\r\nServices Stopped = (0)\r\nFiles Queued For Deletion = (0)"'
    e2e_expect_line "$E2E_DRIVE_OUT" "MSGBOX owner=dialog buttons=YES,NO icon=none answer=NO caption=\"$BOX_TITLE\" text=\"A restart is required to complete the process\""
    e2e_wait "$prog" 10 || e2e_fail "still running after the restart was declined"
    e2e_expect_eq "$E2E_EXIT" 0 "exit code"
    if e2e_exists 'C:\ProgramData\ZeltraSetup'; then e2e_fail "C:\\ProgramData\\ZeltraSetup still exists"; fi
    local trace
    trace=$(tool_trace_log)
    e2e_expect_eq "$(grep -E '^(Start::|Acquiring|/\*==========)' "$trace" | tr '\n' '|')" \
        'Start:: Removing Product Traces Only|Acquiring Resources|/*========== 1:: StopServices ===============*/|/*========== 2:: RemoveFolders ===============*/|/*========== 3:: RemoveRegistry ===============*/|' \
        "start line and stage banners"
}

# Fault caught: the restart offer answered Yes does nothing (no
# ExitWindowsEx, or one Wine refuses), or the program outlives it; what was
# queued for the restart is not carried out by it. Under Wine the restart
# ends every process of the prefix (the caller exits 0) and carries out the
# queued deletions at the next start.
scenario_program_restart_answered_yes_ends_the_program() {
    e2e_plant_file 'C:\ProgramData\ZeltraSetup\setup.log'
    e2e_plant_file 'C:\ProgramData\ZeltraSetup\locked.dat'
    e2e_start 'C:\e2e\e2e_tool.exe' hold-file 'C:\ProgramData\ZeltraSetup\locked.dat' 60
    local holder=$E2E_PID
    local i
    for ((i = 0; i < 100; i++)); do
        grep -q held "$E2E_TEST_DIR"/start-0.out 2>/dev/null && break
        sleep 0.05
    done
    e2e_start "$TOOL" /l
    local prog=$E2E_PID
    e2e_drive_ok wait-dialog click 1001 answer 6 answer 1 answer 6
    e2e_wait "$prog" 20 || e2e_fail "still running after the restart was accepted"
    e2e_expect_eq "$E2E_EXIT" 0 "exit code"
    e2e_wait "$holder" 20 || e2e_fail "the restart did not end the other programs of the machine"
    e2e_expect_line "$E2E_DRIVE_OUT" 'MSGBOX owner=none buttons=OK icon=information answer=OK caption="ZeltraEnterprise Server Removal Tool" text="Traces Found And Deleted::\r\nFiles = (1)\r\nRegistry = (0)\r\nServices Stopped = (0)\r\nFiles Queued For Deletion = (1)"'
    e2e_expect_line "$E2E_DRIVE_OUT" "MSGBOX owner=dialog buttons=YES,NO icon=none answer=YES caption=\"$BOX_TITLE\" text=\"A restart is required to complete the process\""
    # The machine starts again: the queued file goes.
    e2e_wine 'C:\e2e\e2e_tool.exe' service-query SqlWriter >/dev/null || true
    if e2e_exists 'C:\ProgramData\ZeltraSetup\locked.dat'; then e2e_fail "the queued file survived the restart"; fi
}
