#include "removers/services.h"

#include <cstdint>
#include <cstring>

#include "core/run_state.h"
#include "core/trace_log.h"

BOOL SetServiceStartType(SC_HANDLE service, DWORD startType) {
    // Only the start type changes; every other setting stays as it is.
    return ChangeServiceConfigA(service, SERVICE_NO_CHANGE, startType, SERVICE_NO_CHANGE,
                                NULL,  // executable path
                                NULL,  // load-order group
                                NULL,  // tag
                                NULL,  // dependencies
                                NULL,  // account
                                NULL,  // password
                                NULL); // display name
}

namespace {

// At most this many one-second waits for a service to stop.
constexpr int kMaxStopWaits = 30;

// Stop errors that only say the service is not running or cannot take the
// request now: no ERROR line, and the wait and the deletion go on as usual.
// Whether the service then stopped decides the entry.
bool IsToleratedStopError(DWORD error) {
    return error == ERROR_SERVICE_CANNOT_ACCEPT_CTRL || error == ERROR_INVALID_SERVICE_CONTROL ||
           error == ERROR_SERVICE_NOT_ACTIVE;
}

// Polls while the service reports SERVICE_STOP_PENDING, one second apart,
// at most kMaxStopWaits times. `status` keeps the state last reported.
void WaitWhileStopping(SC_HANDLE service, const char *name, SERVICE_STATUS *status, char *line) {
    if (!QueryServiceStatus(service, status))
        return;
    int waits = 0;
    while (status->dwCurrentState == SERVICE_STOP_PENDING) {
        WriteLogFormatted(line, kLogLineChars, "Waiting for %s to Stop.\r\nGoing To Sleep :-0 (Yawn!!!)\r\n", name);
        Sleep(1000);
        if (++waits == kMaxStopWaits) {
            WriteLogLine("Still Waiting!!!...Breaking Out\r\n");
            return;
        }
        if (!QueryServiceStatus(service, status))
            return;
    }
}

// Disables, stops and deletes the open service, logging through the stage's
// `line`. Returns the failure code of this entry, 0 for none.
LONG RemoveService(SC_HANDLE service, const char *name, char *line) {
    if (!SetServiceStartType(service, SERVICE_DISABLED)) {
        DWORD error = GetLastError();
        if (error == ERROR_SERVICE_MARKED_FOR_DELETE) {
            WriteLogLine("INFO:: (Changing Config) Marked for Deletion\r\nCONTINUE..\r\n");
            return 0;
        }
        WriteLogFormatted(line, kLogLineChars, "ERROR:: (Changing Config) %d\r\nCONTINUE..\r\n",
                          static_cast<int32_t>(error));
        return kServiceNotDisabled;
    }

    LONG failure = 0;
    // A state not reported for this service counts as not stopped.
    SERVICE_STATUS status;
    std::memset(&status, 0, sizeof status);
    if (!ControlService(service, SERVICE_CONTROL_STOP, &status)) {
        DWORD error = GetLastError();
        if (IsToleratedStopError(error)) {
            WriteLogFormatted(line, kLogLineChars, "INFO:: (Changing Control) %d\r\n", static_cast<int32_t>(error));
        } else {
            WriteLogFormatted(line, kLogLineChars, "ERROR:: (Changing Control) %d\r\n", static_cast<int32_t>(error));
            failure = kServiceStopRefused;
        }
    }
    WaitWhileStopping(service, name, &status, line);
    // Whatever keeps it from stopping (still stopping after every wait, a
    // stop it cannot take while running or starting, no state reported), a
    // service left installed is a failure, though its log says only why.
    if (status.dwCurrentState != SERVICE_STOPPED)
        return failure != 0 ? failure : kServiceNotStopped;

    WriteLogLine("SUCCESS:: Stopped\r\n");
    if (DeleteService(service)) {
        WriteLogLine("SUCCESS:: Deleted\r\n");
        ++g_run.tally.servicesStopped;
        return failure;
    }
    DWORD error = GetLastError();
    if (error == ERROR_SERVICE_MARKED_FOR_DELETE) {
        WriteLogLine("Marked For Deletion\r\n");
        return failure;
    }
    WriteLogFormatted(line, kLogLineChars, "ERROR:: (Del Srvc) %d\r\n", static_cast<int32_t>(error));
    return kServiceNotDeleted;
}

} // namespace

LONG StopServices(ListingCursor *cursor) {
    if (!OpenSection(cursor))
        return kServiceNoLineEnd;
    SC_HANDLE manager = OpenSCManagerA(NULL, NULL, SC_MANAGER_ALL_ACCESS);
    if (manager == NULL) {
        WriteLogLine("ERROR:: Opening SCM\r\nEXITING..\r\n");
        return kServiceManagerClosed;
    }
    char line[kLogLineChars];
    LONG result = 0;
    SC_HANDLE service = NULL;
    for (DWORD taken = 0; taken < cursor->Count; ++taken) {
        char *name = TakeEntry(cursor);
        if (name == NULL) {
            WriteLogLine("ERROR:: Invalid String Encountered\r\nEXITING..\r\n");
            result = kServiceNoLineEnd;
            break;
        }
        if (service != NULL) {
            CloseServiceHandle(service);
            service = NULL;
        }
        WriteLogFormatted(line, sizeof line, "SERVICE_%d:: %s\r\n", static_cast<int32_t>(taken + 1), name);

        service = OpenServiceA(manager, name, SERVICE_ALL_ACCESS);
        LONG failure = 0;
        if (service == NULL) {
            DWORD error = GetLastError();
            if (error == ERROR_SERVICE_DOES_NOT_EXIST) {
                WriteLogLine("INFO:: (Opening service) Does Not Exist\r\nCONTINUE..\r\n");
            } else {
                WriteLogFormatted(line, sizeof line, "ERROR:: (Opening service) %d\r\nCONTINUE..\r\n",
                                  static_cast<int32_t>(error));
                failure = kServiceNotOpened;
            }
        } else {
            failure = RemoveService(service, name, line);
        }
        // A later entry's success, or its tolerated stop error, never hides
        // an earlier failure.
        if (failure != 0)
            result = failure;
    }
    if (service != NULL)
        CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return result;
}
