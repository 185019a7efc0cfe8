#include "removers/registry_access.h"

#include <cstring>

#include "core/bounded_format.h"

namespace {

const char kTakeOwnershipPrivilege[] = "SeTakeOwnershipPrivilege";
constexpr size_t kRootNameChars = 50;
constexpr size_t kObjectNameChars = 512;

// The name the security functions give a predefined root; empty for every
// other handle, whose key they cannot name.
const char *ObjectRootName(HKEY root) {
    if (root == HKEY_CLASSES_ROOT)
        return "CLASSES_ROOT";
    if (root == HKEY_CURRENT_USER)
        return "CURRENT_USER";
    if (root == HKEY_LOCAL_MACHINE)
        return "MACHINE";
    if (root == HKEY_USERS)
        return "USERS";
    return "";
}

// True when "SeTakeOwnershipPrivilege" is enabled in the process token.
bool EnableTakeOwnershipPrivilege() {
    HANDLE token = NULL;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token))
        return false;
    bool enabled = false;
    TOKEN_PRIVILEGES privileges;
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    if (LookupPrivilegeValueA(NULL, kTakeOwnershipPrivilege, &privileges.Privileges[0].Luid) &&
        AdjustTokenPrivileges(token, FALSE, &privileges, sizeof privileges, NULL, NULL))
        // The adjust succeeds for a privilege the token lacks; only the last error tells.
        enabled = GetLastError() != ERROR_NOT_ALL_ASSIGNED;
    CloseHandle(token);
    return enabled;
}

// Sets an access list of one entry, all access for Administrators, on the
// registry key with this security object name ("MACHINE\\SOFTWARE\\...").
bool GrantAdministratorsAllAccess(char *objectName) {
    SID_IDENTIFIER_AUTHORITY ntAuthority = SECURITY_NT_AUTHORITY;
    PSID administrators = NULL;
    if (!AllocateAndInitializeSid(&ntAuthority, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0,
                                  0, &administrators))
        return false;
    EXPLICIT_ACCESS_A entry;
    std::memset(&entry, 0, sizeof entry);
    entry.grfAccessPermissions = GENERIC_ALL;
    entry.grfAccessMode = SET_ACCESS;
    entry.grfInheritance = NO_INHERITANCE;
    entry.Trustee.pMultipleTrustee = NULL;
    entry.Trustee.MultipleTrusteeOperation = NO_MULTIPLE_TRUSTEE;
    entry.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    entry.Trustee.TrusteeType = TRUSTEE_IS_GROUP;
    entry.Trustee.ptstrName = static_cast<LPSTR>(administrators);
    PACL accessList = NULL;
    bool granted = false;
    if (SetEntriesInAclA(1, &entry, NULL, &accessList) == ERROR_SUCCESS)
        granted = SetNamedSecurityInfoA(objectName, SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION, NULL /* owner */,
                                        NULL /* group */, accessList, NULL /* system list */) == ERROR_SUCCESS;
    if (accessList != NULL)
        LocalFree(accessList);
    FreeSid(administrators);
    return granted;
}

} // namespace

LONG GrantRegistryKeyAccess(HKEY root, const char *keyPath) {
    char rootName[kRootNameChars];
    CopyBounded(rootName, sizeof rootName, ObjectRootName(root));
    if (!EnableTakeOwnershipPrivilege())
        return -1;
    if (rootName[0] == '\0')
        return 0;
    // A name cut at 511 characters is used as it is; setting it then fails.
    char objectName[kObjectNameChars];
    FormatBounded(objectName, sizeof objectName, "%s\\%s", rootName, keyPath);
    return GrantAdministratorsAllAccess(objectName) ? 0 : -2;
}
