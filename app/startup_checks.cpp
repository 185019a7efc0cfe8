#include "app/startup_checks.h"

#include "exports.h"

namespace {

// GetVersion sets its top bit on the Windows 9x family: no tokens there.
bool IsWindows9x() { return (GetVersion() & 0x80000000u) != 0; }

} // namespace

BOOL IsAdministrator() {
    if (IsWindows9x())
        return TRUE;
    SID_IDENTIFIER_AUTHORITY ntAuthority = {SECURITY_NT_AUTHORITY};
    PSID administrators = NULL;
    if (!AllocateAndInitializeSid(&ntAuthority, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0,
                                  0, &administrators))
        return FALSE;
    // Looked up at run time: older systems do not export it, and then the
    // user does not count as an administrator.
    BOOL member = FALSE;
    HMODULE advapi = LoadLibraryA("advapi32.dll");
    if (advapi != NULL) {
        CheckTokenMembershipFn checkTokenMembership = LOOK_UP_EXPORT(advapi, CheckTokenMembership);
        // Its own result is not looked at: on failure `member` stays FALSE.
        if (checkTokenMembership != NULL)
            checkTokenMembership(NULL, administrators, &member);
        FreeLibrary(advapi);
    }
    FreeSid(administrators);
    return member;
}

BOOL EnableShutdownPrivilege() {
    if (IsWindows9x())
        return TRUE;
    HANDLE token = NULL;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token))
        return FALSE;
    TOKEN_PRIVILEGES privileges = {};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    BOOL enabled = LookupPrivilegeValueA(NULL, SE_SHUTDOWN_NAME, &privileges.Privileges[0].Luid) &&
                   AdjustTokenPrivileges(token, FALSE, &privileges, 0, NULL, NULL);
    CloseHandle(token);
    return enabled;
}
