// What the grants of the removers give: the take-ownership privilege, and an
// access list of all access for the Administrators group (and SYSTEM where
// asked), for an object that the removal must be able to change or that no
// one else may change any more.
#pragma once

#include "win32.h"

// True when the privilege (SE_RESTORE_NAME ...) is enabled in the process
// token; the adjustment succeeds for a privilege the token lacks, so the
// last error decides.
bool EnablePrivilege(const char *privilege);
// True when "SeTakeOwnershipPrivilege" is enabled in the process token.
bool EnableTakeOwnershipPrivilege();

struct AdministratorsAccess {
    PSID administrators; // S-1-5-32-544
    PSID system;         // S-1-5-18; NULL unless asked for
    PACL accessList;     // all access for each, inherited by nothing
};

// Builds the SIDs and the list; false, with nothing to free, on a failure.
bool MakeAdministratorsAccess(bool withSystem, AdministratorsAccess *access);
void FreeAdministratorsAccess(AdministratorsAccess *access);
