// The program's entry point: one copy at a time, administrators only, the
// trace log on request, the main dialog, and the clean-up on every way out.
#include <cstring>

#include "app/main_dialog.h"
#include "app/process_hardening.h"
#include "app/startup_checks.h"
#include "core/run_state.h"
#include "core/trace_log.h"
#include "resources/resource.h"
#include "win32.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR commandLine, int) {
    HardenProcess();
    int exitCode = -1;
    // Global: a copy started in another session counts too. A mutex that
    // cannot be created or opened (a user may create it first with an access
    // list that refuses us) is a guard not held: another copy may be running.
    HANDLE mutex = CreateMutexA(NULL, FALSE, "Global\\ZeltraEnterpriseServer_RT");
    if (mutex == NULL || GetLastError() == ERROR_ALREADY_EXISTS) {
        MessageBoxA(NULL, "Instance Already Running", kToolTitle, MB_ICONERROR);
    } else if (!IsAdministrator()) {
        MessageBoxA(NULL, "ACCESS DENIED\nPlease Run As Administrator", kToolTitle, MB_ICONINFORMATION);
    } else {
        // Silent on failure: only the restart offered at the end needs it.
        EnableShutdownPrivilege();
        // Byte for byte: "/L", " /l" or "/l x" run without a log.
        if (commandLine != NULL && std::strcmp(commandLine, "/l") == 0)
            CreateTraceLog();
        DialogBoxParamA(instance, MAKEINTRESOURCEA(IDD_MAIN), NULL, MainDialogProc, 0);
        exitCode = 0;
    }
    // With no log the handle is 0: closing it fails without effect. The log
    // itself stays until the next restart; only a file this run created is
    // queued, never one that stood under its name before.
    bool logCreated = g_run.traceLogHandle != 0 && g_run.traceLogHandle != INVALID_HANDLE_VALUE;
    CloseHandle(g_run.traceLogHandle);
    if (logCreated)
        MoveFileExA(g_run.traceLogPath, NULL, MOVEFILE_DELAY_UNTIL_REBOOT);
    if (mutex != NULL)
        CloseHandle(mutex);
    return exitCode;
}
