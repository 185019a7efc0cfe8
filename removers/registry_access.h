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

// The key a refused operation acts on, as the grant names it: its path
// below a predefined root, in the registry view of the operation
// (KEY_WOW64_64KEY, KEY_WOW64_32KEY or 0), and the owner and access list it
// had before its first grant, kept to be given back.
struct KeyGrant {
    HKEY root;
    const char *keyPath; // NULL: a key that cannot be named (its path too long)
    REGSAM view;
    PSECURITY_DESCRIPTOR before; // NULL until a grant changed the key
    PSID ownerBefore;            // within `before`
    PACL listBefore;             // within `before`; NULL for a key without one
};

inline KeyGrant NameKeyForGrant(HKEY root, const char *keyPath, REGSAM view) {
    return KeyGrant{root, keyPath, view & (KEY_WOW64_64KEY | KEY_WOW64_32KEY), NULL, NULL, NULL};
}

// Enables the privilege and replaces the access list of the key, taking it
// over for Administrators first where its list does not let them replace
// it; the first time, its owner and list are kept in grant.before. 0: done,
// or only the privilege enabled when the root has no security object name
// (HKEY_CURRENT_CONFIG); -1: the privilege could not be enabled; -2: the
// access list was not set, the key cannot be named, or the path names a
// hive root or a key directly below HKLM or HKU.
LONG GrantRegistryKeyAccess(KeyGrant &grant);

// A takeover leaves no trace on what stays: a key that still exists gets
// back the owner and list kept at its first grant (giving ownership back to
// another account takes the restore privilege). True when nothing was kept,
// the key is gone, or it has them back; what was kept is freed.
bool RestoreKeySecurity(KeyGrant &grant);

// What a registry operation run with the access retry ended with: its last
// status, and the grant's negative result when a failed grant ended it.
struct AccessRetryOutcome {
    LONG status;
    LONG grant;
};

// Runs `operation` (returning a registry status) on the key of `grant`.
// After each failure, onFailure(status) is called; a refusal
// (ERROR_ACCESS_DENIED) is then met with the grant and the operation tried
// again, at most kAccessRetryLimit times more. Any other failure, and a
// failed grant, end it at once. The caller gives the key's security back
// with RestoreKeySecurity once it is done with the key.
template <class Operation, class OnFailure>
AccessRetryOutcome WithAccessRetry(KeyGrant &grant, Operation operation, OnFailure onFailure) {
    for (int grants = 0;; ++grants) {
        LONG status = operation();
        if (status == ERROR_SUCCESS)
            return {status, 0};
        onFailure(status);
        if (status != ERROR_ACCESS_DENIED || grants == kAccessRetryLimit)
            return {status, 0};
        LONG granted = GrantRegistryKeyAccess(grant);
        if (granted < 0)
            return {status, granted};
    }
}
