// Stage 1, StopServices: disables, stops and deletes each service that the
// listing's service section names. The SQL instance stage calls it too, on a
// listing of its own.
#pragma once

#include "core/entry_listing.h"
#include "win32.h"

// Stage results: the code of the last failure, 0 when there was none.
constexpr LONG kServiceNoLineEnd = -1;     // an entry without line end (or no section): the stage ends
constexpr LONG kServiceManagerClosed = -2; // the service manager could not be opened: no entry is read
constexpr LONG kServiceNotOpened = -3;     // opening a service failed, other than for a missing service
constexpr LONG kServiceNotDisabled = -4;   // disabling failed, other than for a service marked for deletion
constexpr LONG kServiceStopRefused = -5;   // the stop request failed with an error that is not tolerated
constexpr LONG kServiceNotDeleted = -6;    // deleting the stopped service failed, other than as marked
constexpr LONG kServiceNotStopped = -7;    // not stopped after the request and the wait: left installed

LONG StopServices(ListingCursor *cursor);

// Changes only the start type of an open service (SERVICE_DISABLED,
// SERVICE_DEMAND_START ...); the result and last error of ChangeServiceConfigA.
BOOL SetServiceStartType(SC_HANDLE service, DWORD startType);
