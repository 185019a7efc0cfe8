# shellcheck shell=bash
# Self-test of the harness against the stand-in program fixtures/fake_dialog.
# These prove the tools the program scenarios rely on; each names the fault
# of the harness it would catch. Run by run_e2e.sh with --fixture.

FAKE='C:\e2e\fake_dialog.exe'

# Fault caught: the driver reads the wrong window or control (a message box
# taken for the dialog, a control's text, state or progress style misread),
# or the harness loses the program's exit code.
scenario_harness_reads_dialog_and_exit_code() {
    e2e_start "$FAKE"
    local prog=$E2E_PID
    e2e_drive_ok wait-dialog read close wait-exit
    e2e_expect_file "$E2E_DRIVE_OUT" <<'EOF'
DIALOG caption="ZeltraEnterprise Security Removal Tool"
READ caption="ZeltraEnterprise Security Removal Tool"
CONTROL 1001 class=Button visible=1 enabled=1 text="Remove Only"
CONTROL 1002 class=Static visible=1 enabled=1 text="ZeltraEnterprise Security Removal Tool"
PROGRESS 1003 visible=0 marquee=0 smooth=0 style=0x40000000
CONTROL 1004 class=Button visible=1 enabled=1 text="Remove All"
CLOSE
EXIT
EOF
    e2e_wait "$prog" 10 || e2e_fail "program still running after the dialog closed"
    e2e_expect_eq "$E2E_EXIT" 0 "exit code after close"
}

# Fault caught: message boxes from a worker thread or without owner are
# missed, recorded out of order, with the wrong owner, buttons or icon;
# a click on a disabled button goes through; the trace log in the temp
# folder is not found; a non-zero exit code is lost.
scenario_harness_full_run_records_boxes_in_order() {
    e2e_start "$FAKE" /l
    local prog=$E2E_PID
    e2e_drive_ok wait-dialog click 1004 answer 6 wait-text 1004 "Please Wait..." read click 1001 \
        answer 1 answer 7 wait-exit
    e2e_expect_file "$E2E_DRIVE_OUT" <<'EOF'
DIALOG caption="ZeltraEnterprise Security Removal Tool"
CLICK 1004
MSGBOX owner=none buttons=YES,NO icon=question answer=YES caption="ZeltraEnterprise Security RT" text="Remove?\r\nDo you want to continue?"
TEXT 1004 text="Please Wait..."
READ caption="ZeltraEnterprise Security Removal Tool"
CONTROL 1001 class=Button visible=1 enabled=0 text="Remove Only"
CONTROL 1002 class=Static visible=1 enabled=1 text="ZeltraEnterprise Security Removal Tool"
PROGRESS 1003 visible=1 marquee=1 smooth=1 style=0x50000009
CONTROL 1004 class=Button visible=1 enabled=0 text="Please Wait..."
CLICK 1001 ignored=disabled
MSGBOX owner=none buttons=OK icon=information answer=OK caption="ZeltraEnterprise Security RT" text="Removed:\r\nFiles: 0"
MSGBOX owner=dialog buttons=YES,NO icon=none answer=NO caption="ZeltraEnterprise Security RT" text="A restart is required to complete the process"
EXIT
EOF
    e2e_wait "$prog" 10 || e2e_fail "program still running after the dialog closed"
    e2e_expect_eq "$E2E_EXIT" 2 "exit code (the fixture exits with the mode it ran)"
    local log
    log=$(e2e_trace_log 'FakeDialog_Log.txt')
    [[ -n $log ]] || e2e_fail "no trace log in $(e2e_temp_dir)"
    e2e_expect_eq "$(tail -n1 "$log")" $'Start:: mode 2\r' "last trace log line"
}

# Fault caught: "No" is not clicked (or clicks Yes), and `no-box` passes
# although a box is up, or fails although none is.
scenario_harness_no_box_and_answer_no() {
    e2e_start "$FAKE"
    local prog=$E2E_PID rc=0
    e2e_drive_ok wait-dialog click 1001 answer 7 no-box 300 read
    e2e_expect_line "$E2E_DRIVE_OUT" 'NO-MSGBOX 300'
    e2e_expect_line "$E2E_DRIVE_OUT" 'CONTROL 1001 class=Button visible=1 enabled=1 text="Remove Only"'
    # A box that is up must make no-box fail, and be recorded unanswered.
    e2e_drive click 1001 no-box 5000 || rc=$?
    e2e_expect_eq "$rc" 1 "driver exit code when a box appears during no-box"
    e2e_expect_line "$E2E_DRIVE_OUT" 'ERROR no-box: a message box appeared'
    e2e_expect_line "$E2E_DRIVE_OUT" 'MSGBOX owner=none buttons=YES,NO icon=question answer=none caption="ZeltraEnterprise Security RT" text="Remove?\r\nDo you want to continue?"'
    e2e_drive_ok answer 7 close wait-exit
    e2e_wait "$prog" 10 || e2e_fail "program still running"
    e2e_expect_eq "$E2E_EXIT" 0 "exit code after No and close"
}

# Fault caught: a start-up refusal box, which has the dialog's caption, is
# taken for the dialog; a second copy's exit code of -1 is misread; the
# driver waits forever (or reports success) when what it waits for never
# comes; a typo in an action list half-drives the program.
scenario_harness_refusal_box_and_driver_errors() {
    e2e_start "$FAKE"
    local first=$E2E_PID second rc=0
    e2e_drive_ok wait-dialog
    e2e_start "$FAKE"
    second=$E2E_PID
    e2e_drive_ok answer 1
    e2e_expect_line "$E2E_DRIVE_OUT" 'MSGBOX owner=none buttons=OK icon=error answer=OK caption="ZeltraEnterprise Security Removal Tool" text="Instance Already Running"'
    e2e_wait "$second" 10 || e2e_fail "second copy still running"
    e2e_expect_eq "$E2E_EXIT" 255 "exit code of the refused copy (-1)"

    E2E_CAPTION="No Such Window" E2E_UI_TIMEOUT_MS=300 e2e_drive wait-dialog || rc=$?
    e2e_expect_eq "$rc" 1 "driver exit code when the dialog never shows"
    e2e_expect_line "$E2E_DRIVE_OUT" 'ERROR wait-dialog: timed out'
    rc=0
    e2e_drive read clik 1001 || rc=$?
    e2e_expect_eq "$rc" 2 "driver exit code for an unknown action"
    [[ ! -s $E2E_DRIVE_OUT ]] || e2e_fail "driver acted before rejecting its command line"

    e2e_drive_ok close wait-exit
    e2e_wait "$first" 10 || e2e_fail "first copy still running"
    e2e_expect_eq "$E2E_EXIT" 0 "exit code of the first copy"
}

# Fault caught: planted registry values land in the other registry view
# than the one named, or planted files land outside the prefix's C: drive.
scenario_harness_planting_lands_where_programs_look() {
    e2e_reg 32 add 'HKLM\SOFTWARE\ZeltraFixture' /v Probe /t REG_SZ /d in-32 /f
    e2e_reg 64 add 'HKLM\SOFTWARE\ZeltraFixture' /v Probe /t REG_SZ /d in-64 /f
    e2e_plant_file 'C:\ProgramData\ZeltraFixture\probe.txt'
    e2e_reg_exists 64 'HKLM\SOFTWARE\ZeltraFixture' Probe || e2e_fail "64-bit value not found by reg query"
    if e2e_reg_exists 64 'HKLM\SOFTWARE\ZeltraFixture' NoSuchValue; then
        e2e_fail "reg query found a value that was never planted"
    fi
    e2e_start "$FAKE" /l
    local prog=$E2E_PID
    e2e_drive_ok wait-dialog close wait-exit
    e2e_wait "$prog" 10 || e2e_fail "program still running"
    e2e_expect_eq "$(head -n1 "$(e2e_trace_log 'FakeDialog_Log.txt')")" \
        $'probe reg32=in-32 reg64=in-64 file=present\r' "what the program saw"
}
