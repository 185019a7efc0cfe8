// A Windows service of the tests' own, standing in for the product's
// services. Its behaviour on a stop request is chosen by its first argument:
//   prompt  stops at once
//   slow    reports stop-pending, then stops after 3.5 seconds (between two
//           of the removal tool's looks, which come once a second)
//   refuse  does not accept the stop control (the stop request fails, 1052)
//   never   reports stop-pending and never stops
#include <windows.h>

#include <cstring>

#include "service_exit.h"

namespace {

SERVICE_STATUS_HANDLE g_status;
SERVICE_STATUS g_state;
char g_mode[16] = "prompt";
char g_name[257];
HANDLE g_stopped;

void Report(DWORD state, DWORD accepted) {
    g_state.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    g_state.dwCurrentState = state;
    g_state.dwControlsAccepted = accepted;
    g_state.dwWin32ExitCode = NO_ERROR;
    g_state.dwWaitHint = state == SERVICE_STOP_PENDING ? 5000 : 0;
    ++g_state.dwCheckPoint;
    SetServiceStatus(g_status, &g_state);
}

DWORD WINAPI SlowStop(LPVOID) {
    Sleep(3500);
    SetEvent(g_stopped);
    return 0;
}

DWORD WINAPI Handler(DWORD control, DWORD, LPVOID, LPVOID) {
    if (control != SERVICE_CONTROL_STOP)
        return control == SERVICE_CONTROL_INTERROGATE ? NO_ERROR : ERROR_CALL_NOT_IMPLEMENTED;
    if (std::strcmp(g_mode, "prompt") == 0) {
        // Stopped before the stop request returns: no status query can see
        // it pending, however the threads are scheduled.
        Report(SERVICE_STOPPED, 0);
        SetEvent(g_stopped);
    } else if (std::strcmp(g_mode, "slow") == 0) {
        Report(SERVICE_STOP_PENDING, 0);
        CloseHandle(CreateThread(NULL, 0, SlowStop, NULL, 0, NULL));
    } else if (std::strcmp(g_mode, "never") == 0) {
        Report(SERVICE_STOP_PENDING, 0);
    }
    return NO_ERROR;
}

void WINAPI ServiceMain(DWORD argc, LPSTR *argv) {
    lstrcpynA(g_name, argc > 0 ? argv[0] : "", sizeof g_name);
    g_status = RegisterServiceCtrlHandlerExA(g_name, Handler, NULL);
    if (!g_status)
        return;
    g_stopped = CreateEventA(NULL, TRUE, FALSE, NULL);
    DWORD accepted = std::strcmp(g_mode, "refuse") == 0 ? 0 : SERVICE_ACCEPT_STOP;
    Report(SERVICE_RUNNING, accepted);
    WaitForSingleObject(g_stopped, INFINITE);
    if (g_state.dwCurrentState != SERVICE_STOPPED)
        Report(SERVICE_STOPPED, 0);
}

} // namespace

int main(int argc, char **argv) {
    if (argc > 1)
        lstrcpynA(g_mode, argv[1], sizeof g_mode);
    char name[] = "";
    SERVICE_TABLE_ENTRYA table[] = {{name, ServiceMain}, {NULL, NULL}};
    if (!StartServiceCtrlDispatcherA(table))
        return 1;
    // Only a stop reported inside the handler can still have its answer to
    // write; the others end as soon as they are stopped, as before.
    if (std::strcmp(g_mode, "prompt") == 0)
        StayUntilMarkedForDeletion(g_name);
    return 0;
}
