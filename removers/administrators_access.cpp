#include "removers/administrators_access.h"

#include <cstring>

namespace {

const char kTakeOwnershipPrivilege[] = "SeTakeOwnershipPrivilege";

void SetEntry(EXPLICIT_ACCESS_A *entry, PSID trustee) {
    std::memset(entry, 0, sizeof *entry);
    entry->grfAccessPermissions = GENERIC_ALL;
    entry->grfAccessMode = SET_ACCESS;
    entry->grfInheritance = NO_INHERITANCE;
    entry->Trustee.pMultipleTrustee = NULL;
    entry->Trustee.MultipleTrusteeOperation = NO_MULTIPLE_TRUSTEE;
    entry->Trustee.TrusteeForm = TRUSTEE_IS_SID;
    entry->Trustee.TrusteeType = TRUSTEE_IS_GROUP;
    entry->Trustee.ptstrName = static_cast<LPSTR>(trustee);
}

} // namespace

bool EnableTakeOwnershipPrivilege() { return EnablePrivilege(kTakeOwnershipPrivilege); }

bool EnablePrivilege(const char *privilege) {
    HANDLE token = NULL;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token))
        return false;
    bool enabled = false;
    TOKEN_PRIVILEGES privileges;
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    if (LookupPrivilegeValueA(NULL, privilege, &privileges.Privileges[0].Luid) &&
        AdjustTokenPrivileges(token, FALSE, &privileges, sizeof privileges, NULL, NULL))
        // The adjust succeeds for a privilege the token lacks; only the last error tells.
        enabled = GetLastError() != ERROR_NOT_ALL_ASSIGNED;
    CloseHandle(token);
    return enabled;
}

bool MakeAdministratorsAccess(bool withSystem, AdministratorsAccess *access) {
    SID_IDENTIFIER_AUTHORITY ntAuthority = SECURITY_NT_AUTHORITY;
    access->administrators = NULL;
    access->system = NULL;
    access->accessList = NULL;
    if (!AllocateAndInitializeSid(&ntAuthority, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0,
                                  0, &access->administrators))
        return false;
    if (withSystem &&
        !AllocateAndInitializeSid(&ntAuthority, 1, SECURITY_LOCAL_SYSTEM_RID, 0, 0, 0, 0, 0, 0, 0, &access->system)) {
        FreeAdministratorsAccess(access);
        return false;
    }
    EXPLICIT_ACCESS_A entries[2];
    SetEntry(&entries[0], access->administrators);
    if (withSystem)
        SetEntry(&entries[1], access->system);
    if (SetEntriesInAclA(withSystem ? 2 : 1, entries, NULL, &access->accessList) != ERROR_SUCCESS) {
        access->accessList = NULL;
        FreeAdministratorsAccess(access);
        return false;
    }
    return true;
}

void FreeAdministratorsAccess(AdministratorsAccess *access) {
    if (access->accessList != NULL)
        LocalFree(access->accessList);
    if (access->system != NULL)
        FreeSid(access->system);
    if (access->administrators != NULL)
        FreeSid(access->administrators);
    access->administrators = NULL;
    access->system = NULL;
    access->accessList = NULL;
}
