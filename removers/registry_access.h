// The access grant that registry operations fall back on when Windows refuses
// them with ERROR_ACCESS_DENIED: the take-ownership privilege, and an access
// list that gives the Administrators group all access to the key.
#pragma once

#include "win32.h"

// How often a refused registry operation is repeated after a grant before it
// ends as failed: a grant that changes nothing (a root without an object
// name, a key handle, a key refused whatever its access list) must not be
// repeated without end.
constexpr int kAccessRetryLimit = 2;

// Enables the privilege and replaces the access list of `keyPath` below the
// predefined `root`, taking the key over for Administrators first where its
// list does not let them replace it. 0: done, or only the privilege enabled
// when the root has no security object name (HKEY_CURRENT_CONFIG, any opened
// key handle); -1: the privilege could not be enabled; -2: the access list
// was not set, or the path names a hive root or a key directly below one.
LONG GrantRegistryKeyAccess(HKEY root, const char *keyPath);

// What a registry operation run with the access retry ended with: its last
// status, and the grant's negative result when a failed grant ended it.
struct AccessRetryOutcome {
    LONG status;
    LONG grant;
};

// Runs `operation` (returning a registry status) on the key `keyPath` below
// `root`. After each failure, onFailure(status) is called; a refusal
// (ERROR_ACCESS_DENIED) is then met with the grant and the operation tried
// again, at most kAccessRetryLimit times more. Any other failure, and a
// failed grant, end it at once.
template <class Operation, class OnFailure>
AccessRetryOutcome WithAccessRetry(HKEY root, const char *keyPath, Operation operation, OnFailure onFailure) {
    for (int grants = 0;; ++grants) {
        LONG status = operation();
        if (status == ERROR_SUCCESS)
            return {status, 0};
        onFailure(status);
        if (status != ERROR_ACCESS_DENIED || grants == kAccessRetryLimit)
            return {status, 0};
        LONG grant = GrantRegistryKeyAccess(root, keyPath);
        if (grant < 0)
            return {status, grant};
    }
}
