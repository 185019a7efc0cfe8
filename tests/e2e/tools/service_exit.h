// How a test service's process ends once its service has stopped.
#pragma once

#include <windows.h>

// Wine's dispatcher returns as soon as the service reports itself stopped,
// which the prompt mode does inside its handler; the answer to that stop
// request is written by the dispatcher's own thread only after the handler
// has returned. Had the process exited at once, that answer could be lost
// (natively it never was; under qemu-i386 emulation and load the stop failed
// now and then with 109 or 1053). So the process stays until its service is
// marked for deletion, which whoever stopped it asks for only after the stop
// request has come back, and at most five seconds when nobody deletes it.
// It must not stay longer: Wine deletes a marked service, and its registry
// key, only once its process has ended, and the removal's registry stage
// that comes next deletes that key too.
inline void StayUntilMarkedForDeletion(const char *name) {
    const DWORD kStayMs = 5000, kLookMs = 20;
    SC_HANDLE manager = OpenSCManagerA(NULL, NULL, SC_MANAGER_CONNECT);
    SC_HANDLE self = manager ? OpenServiceA(manager, name, SERVICE_CHANGE_CONFIG) : NULL;
    for (DWORD stayed = 0; self && stayed < kStayMs; stayed += kLookMs) {
        // Changes nothing; fails with 1072 once the service is marked.
        if (!ChangeServiceConfigA(self, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, NULL, NULL, NULL, NULL,
                                  NULL, NULL, NULL) &&
            GetLastError() == ERROR_SERVICE_MARKED_FOR_DELETE)
            break;
        Sleep(kLookMs);
    }
    if (self)
        CloseServiceHandle(self);
    if (manager)
        CloseServiceHandle(manager);
}
