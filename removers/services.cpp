#include "removers/services.h"

#include <cstdint>
#include <cstring>

#include "core/bounded_format.h"
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

struct ServiceLog {
    char line[kLogLineChars];

    void Text(const char *format, const char *text) {
        FormatBounded(line, sizeof line, format, text);
        WriteLogLine(line);
    }
    void Number(const char *format, DWORD number) {
        FormatBounded(line, sizeof line, format, static_cast<int32_t>(number));
        WriteLogLine(line);
    }
};

// Stop errors that only say the service is not running or cannot take the
// request now; the wait and the deletion go on as usual.
bool IsToleratedStopError(DWORD error) {
    return error == ERROR_SERVICE_CANNOT_ACCEPT_CTRL || error == ERROR_INVALID_SERVICE_CONTROL ||
           error == ERROR_SERVICE_NOT_ACTIVE;
}

// Polls while the service reports SERVICE_STOP_PENDING, one second apart,
// at most kMaxStopWaits times. `status` keeps the state last reported.
void WaitWhileStopping(SC_HANDLE service, const char *name, SERVICE_STATUS *status, ServiceLog &log) {
    if (!QueryServiceStatus(service, status))
        return;
    int waits = 0;
    while (status->dwCurrentState == SERVICE_STOP_PENDING) {
        log.Text("Waiting for %s to Stop.\r\nGoing To Sleep :-0 (Yawn!!!)\r\n", name);
        Sleep(1000);
        if (++waits == kMaxStopWaits) {
            WriteLogLine("Still Waiting!!!...Breaking Out\r\n");
            return;
        }
        if (!QueryServiceStatus(service, status))
            return;
    }
}

// Disables, stops and deletes the open service. Returns the failure code of
// this entry, 0 for none.
LONG RemoveService(SC_HANDLE service, const char *name, ServiceLog &log) {
    if (!SetServiceStartType(service, SERVICE_DISABLED)) {
        DWORD error = GetLastError();
        if (error == ERROR_SERVICE_MARKED_FOR_DELETE) {
            WriteLogLine("INFO:: (Changing Config) Marked for Deletion\r\nCONTINUE..\r\n");
            return 0;
        }
        log.Number("ERROR:: (Changing Config) %d\r\nCONTINUE..\r\n", error);
        return kServiceNotDisabled;
    }

    LONG failure = 0;
    // A state not reported for this service counts as not stopped.
    SERVICE_STATUS status;
    std::memset(&status, 0, sizeof status);
    if (!ControlService(service, SERVICE_CONTROL_STOP, &status)) {
        DWORD error = GetLastError();
        if (IsToleratedStopError(error)) {
            log.Number("INFO:: (Changing Control) %d\r\n", error);
        } else {
            log.Number("ERROR:: (Changing Control) %d\r\n", error);
            failure = kServiceStopRefused;
        }
    }
    WaitWhileStopping(service, name, &status, log);
    if (status.dwCurrentState != SERVICE_STOPPED)
        return failure;

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
    log.Number("ERROR:: (Del Srvc) %d\r\n", error);
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
    ServiceLog log;
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
        FormatBounded(log.line, sizeof log.line, "SERVICE_%d:: %s\r\n", static_cast<int32_t>(taken + 1), name);
        WriteLogLine(log.line);

        service = OpenServiceA(manager, name, SERVICE_ALL_ACCESS);
        LONG failure = 0;
        if (service == NULL) {
            DWORD error = GetLastError();
            if (error == ERROR_SERVICE_DOES_NOT_EXIST) {
                WriteLogLine("INFO:: (Opening service) Does Not Exist\r\nCONTINUE..\r\n");
            } else {
                log.Number("ERROR:: (Opening service) %d\r\nCONTINUE..\r\n", error);
                failure = kServiceNotOpened;
            }
        } else {
            failure = RemoveService(service, name, log);
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
