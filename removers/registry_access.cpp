#include "removers/registry_access.h"

#include <cstring>

#include "core/bounded_format.h"
#include "removers/administrators_access.h"

namespace {

constexpr size_t kRootNameChars = 50;

// The name the security functions give a predefined root; empty for every
// other handle (HKEY_CURRENT_CONFIG, a key the caller opened), whose keys
// the grant leaves alone.
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

// Opens the key itself, a registry link as the link, in the grant's view,
// with `access`.
LONG OpenKeyItself(const KeyGrant &grant, REGSAM access, HKEY *key) {
    return RegOpenKeyExA(grant.root, grant.keyPath, REG_OPTION_OPEN_LINK, access | grant.view, key);
}

// Sets the owner or the access list through a handle to the key opened for
// that change alone; the handle, not the name, says which key it is.
bool SetKeySecurity(const KeyGrant &grant, SECURITY_INFORMATION what, PSID owner, PACL accessList) {
    HKEY key = NULL;
    if (OpenKeyItself(grant, what == OWNER_SECURITY_INFORMATION ? WRITE_OWNER : WRITE_DAC, &key) != ERROR_SUCCESS)
        return false;
    bool set = SetSecurityInfo(key, SE_REGISTRY_KEY, what, owner, NULL /* group */, accessList,
                               NULL /* system list */) == ERROR_SUCCESS;
    RegCloseKey(key);
    return set;
}

// Keeps the key's owner and list in grant.before, through a handle.
bool KeepKeySecurity(KeyGrant &grant) {
    HKEY key = NULL;
    if (OpenKeyItself(grant, READ_CONTROL, &key) != ERROR_SUCCESS)
        return false;
    bool kept = GetSecurityInfo(key, SE_REGISTRY_KEY, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                &grant.ownerBefore, NULL, &grant.listBefore, NULL, &grant.before) == ERROR_SUCCESS;
    RegCloseKey(key);
    if (!kept)
        grant.before = NULL;
    return kept;
}

// Sets an access list of one entry, all access for Administrators, on the
// key of `grant`, through a handle: by name, the security functions would
// follow a registry link planted under it to another key.
// Where the key's list does not let Administrators rewrite it (WRITE_DAC),
// the key is first taken over for Administrators, which the enabled
// take-ownership privilege allows (WRITE_OWNER); where the list alone
// suffices the owner stays as it is.
bool GrantAdministratorsAllAccess(const KeyGrant &grant) {
    AdministratorsAccess access;
    if (!MakeAdministratorsAccess(false, &access))
        return false;
    bool granted = SetKeySecurity(grant, DACL_SECURITY_INFORMATION, NULL, access.accessList);
    if (!granted && SetKeySecurity(grant, OWNER_SECURITY_INFORMATION, access.administrators, NULL))
        granted = SetKeySecurity(grant, DACL_SECURITY_INFORMATION, NULL, access.accessList);
    FreeAdministratorsAccess(&access);
    return granted;
}

// A key path with no empty component that names no hive: the grant never
// reaches a hive root or a key directly below HKLM or HKU (HKLM\SOFTWARE,
// a user's hive), while HKCR\<ProgID> and HKCU\Software are ordinary keys.
bool NamesAnOrdinaryKey(HKEY root, const char *keyPath) {
    size_t length = std::strlen(keyPath);
    bool wellFormed =
        length > 0 && keyPath[0] != '\\' && keyPath[length - 1] != '\\' && std::strstr(keyPath, "\\\\") == NULL;
    bool belowAHive = root == HKEY_LOCAL_MACHINE || root == HKEY_USERS;
    return wellFormed && (!belowAHive || std::strchr(keyPath, '\\') != NULL);
}

} // namespace

LONG GrantRegistryKeyAccess(KeyGrant &grant) {
    char rootName[kRootNameChars];
    CopyBounded(rootName, sizeof rootName, ObjectRootName(grant.root));
    if (!EnableTakeOwnershipPrivilege())
        return -1;
    if (rootName[0] == '\0')
        return 0;
    if (grant.keyPath == NULL || !NamesAnOrdinaryKey(grant.root, grant.keyPath))
        return -2;
    // Nothing is changed that could not be given back.
    if (grant.before == NULL && !KeepKeySecurity(grant))
        return -2;
    return GrantAdministratorsAllAccess(grant) ? 0 : -2;
}

bool RestoreKeySecurity(KeyGrant &grant) {
    if (grant.before == NULL)
        return true;
    bool restored = false;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    HKEY key = NULL;
    LONG opened = OpenKeyItself(grant, WRITE_OWNER | WRITE_DAC, &key);
    if (opened == ERROR_FILE_NOT_FOUND || opened == ERROR_KEY_DELETED) {
        restored = true;
    } else if (opened == ERROR_SUCCESS && GetSecurityDescriptorControl(grant.before, &control, &revision)) {
        EnablePrivilege(SE_RESTORE_NAME);
        SECURITY_INFORMATION what = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION |
                                    ((control & SE_DACL_PROTECTED) != 0 ? PROTECTED_DACL_SECURITY_INFORMATION
                                                                        : UNPROTECTED_DACL_SECURITY_INFORMATION);
        restored = SetSecurityInfo(key, SE_REGISTRY_KEY, what, grant.ownerBefore, NULL, grant.listBefore, NULL) ==
                   ERROR_SUCCESS;
    }
    if (key != NULL)
        RegCloseKey(key);
    LocalFree(grant.before);
    grant.before = NULL;
    return restored;
}
