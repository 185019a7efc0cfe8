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

// Opens the key itself, a registry link as the link, with `access`.
LONG OpenKeyItself(HKEY root, const char *keyPath, REGSAM access, HKEY *key) {
    return RegOpenKeyExA(root, keyPath, REG_OPTION_OPEN_LINK, access, key);
}

// Sets the owner or the access list through a handle to the key opened for
// that change alone; the handle, not the name, says which key it is.
bool SetKeySecurity(HKEY root, const char *keyPath, SECURITY_INFORMATION what, PSID owner, PACL accessList) {
    HKEY key = NULL;
    if (OpenKeyItself(root, keyPath, what == OWNER_SECURITY_INFORMATION ? WRITE_OWNER : WRITE_DAC, &key) !=
        ERROR_SUCCESS)
        return false;
    bool set = SetSecurityInfo(key, SE_REGISTRY_KEY, what, owner, NULL /* group */, accessList,
                               NULL /* system list */) == ERROR_SUCCESS;
    RegCloseKey(key);
    return set;
}

// Sets an access list of one entry, all access for Administrators, on the
// key `keyPath` below `root`, through a handle: by name, the security
// functions would follow a registry link planted under it to another key.
// Where the key's list does not let Administrators rewrite it (WRITE_DAC),
// the key is first taken over for Administrators, which the enabled
// take-ownership privilege allows (WRITE_OWNER); where the list alone
// suffices the owner stays as it is.
bool GrantAdministratorsAllAccess(HKEY root, const char *keyPath) {
    AdministratorsAccess access;
    if (!MakeAdministratorsAccess(false, &access))
        return false;
    bool granted = SetKeySecurity(root, keyPath, DACL_SECURITY_INFORMATION, NULL, access.accessList);
    if (!granted && SetKeySecurity(root, keyPath, OWNER_SECURITY_INFORMATION, access.administrators, NULL))
        granted = SetKeySecurity(root, keyPath, DACL_SECURITY_INFORMATION, NULL, access.accessList);
    FreeAdministratorsAccess(&access);
    return granted;
}

// A key path of at least two components, none of them empty: the grant
// never reaches a hive root or a key directly below one (HKLM\SOFTWARE).
bool NamesAKeyBelowAHiveKey(const char *keyPath) {
    size_t length = std::strlen(keyPath);
    return length > 0 && keyPath[0] != '\\' && keyPath[length - 1] != '\\' && std::strchr(keyPath, '\\') != NULL &&
           std::strstr(keyPath, "\\\\") == NULL;
}

} // namespace

LONG GrantRegistryKeyAccess(HKEY root, const char *keyPath) {
    char rootName[kRootNameChars];
    CopyBounded(rootName, sizeof rootName, ObjectRootName(root));
    if (!EnableTakeOwnershipPrivilege())
        return -1;
    if (rootName[0] == '\0')
        return 0;
    if (!NamesAKeyBelowAHiveKey(keyPath))
        return -2;
    return GrantAdministratorsAllAccess(root, keyPath) ? 0 : -2;
}
