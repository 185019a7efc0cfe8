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
// predefined `root`. 0: done, or only the privilege enabled when the root has
// no security object name (HKEY_CURRENT_CONFIG, any opened key handle);
// -1: the privilege could not be enabled; -2: the access list was not set.
LONG GrantRegistryKeyAccess(HKEY root, const char *keyPath);

// True when "SeTakeOwnershipPrivilege" is enabled in the process token.
bool EnableTakeOwnershipPrivilege();

// Sets an access list of one entry, all access for Administrators, on the
// registry key with this security object name ("MACHINE\SOFTWARE\...").
bool GrantAdministratorsAllAccess(char *objectName);
