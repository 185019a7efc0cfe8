// The access check that every open of a file, a folder or a registry key
// goes through: the rights an access list grants the process's token, as
// Windows computes them. Sources, one line each:
// - "How DACLs Control Access to an Object": entries are read in order; a
//   denying entry that names a right not yet granted ends the check, the
//   rights are granted once allowing entries have named every one asked.
// - "Generic Access Rights" / "File Security and Access Rights": generic
//   rights are mapped to FILE_GENERIC_READ, _WRITE, _EXECUTE, FILE_ALL_ACCESS.
// - "Registry Key Security and Access Rights": for keys, to KEY_READ,
//   KEY_WRITE, KEY_EXECUTE (KEY_READ's rights) and KEY_ALL_ACCESS.
// - "ACE_HEADER": an entry marked INHERIT_ONLY_ACE controls no access to
//   the object that holds it.
// - "ACCESS_MASK": MAXIMUM_ALLOWED asks for every right the list grants.
// - "Null DACLs and Empty DACLs": an object without a list grants everything.
// - "Ownership of a Securable Object"... "the owner is implicitly allowed
//   READ_CONTROL and WRITE_DAC".
// - "Privilege Constants": SeTakeOwnershipPrivilege, enabled, grants
//   WRITE_OWNER whatever the list says.
#include <cstring>

#include "sim/control.h"
#include "sim/internal.h"

namespace sim::detail {

namespace {

constexpr DWORD kFileGenericWrite = 0x00120116u;
constexpr DWORD kKeyExecute = KEY_READ; // KEY_EXECUTE is KEY_READ's value

// What the generic rights mean for one kind of object ("GENERIC_MAPPING").
struct GenericMapping {
    DWORD read, write, execute, all;
};
constexpr GenericMapping kFileMapping = {FILE_GENERIC_READ, kFileGenericWrite, FILE_GENERIC_EXECUTE, FILE_ALL_ACCESS};
constexpr GenericMapping kKeyMapping = {KEY_READ, KEY_WRITE, kKeyExecute, KEY_ALL_ACCESS};

DWORD MapRights(DWORD access, const GenericMapping &mapping) {
    DWORD mapped = access & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
    if (access & GENERIC_READ)
        mapped |= mapping.read;
    if (access & GENERIC_WRITE)
        mapped |= mapping.write;
    if (access & GENERIC_EXECUTE)
        mapped |= mapping.execute;
    if (access & GENERIC_ALL)
        mapped |= mapping.all;
    return mapped;
}

// The check itself, for either kind; an empty owner is `defaultOwner`.
bool AccessGranted(const sim::FileSecurity &security, DWORD wanted, const GenericMapping &mapping,
                   const char *defaultOwner, DWORD *granted) {
    wanted = MapRights(wanted, mapping);
    const bool maximum = (wanted & MAXIMUM_ALLOWED) != 0;
    wanted &= ~MAXIMUM_ALLOWED;
    if (!security.accessList) {
        *granted = maximum ? mapping.all | wanted : wanted;
        return true;
    }
    DWORD allowed = 0, denied = 0;
    const std::string owner = security.owner.empty() ? std::string(defaultOwner) : security.owner;
    if (TokenHasSid(owner))
        allowed |= READ_CONTROL | WRITE_DAC;
    if (sim::PrivilegeEnabled("SeTakeOwnershipPrivilege") && !ActingAsUser())
        allowed |= WRITE_OWNER;
    for (const sim::AccessEntry &entry : *security.accessList) {
        if (!TokenHasSid(entry.trustee) || (entry.inheritance & INHERIT_ONLY_ACE))
            continue;
        DWORD rights = MapRights(entry.access, mapping);
        if (entry.mode == DENY_ACCESS)
            denied |= rights & ~allowed;
        else
            allowed |= rights & ~denied;
    }
    if (maximum) {
        *granted = allowed | wanted;
        return (wanted & ~allowed) == 0;
    }
    *granted = wanted;
    return (wanted & ~allowed) == 0;
}

} // namespace

DWORD MapFileRights(DWORD access) { return MapRights(access, kFileMapping); }

DWORD MapKeyRights(DWORD access) { return MapRights(access, kKeyMapping); }

bool TokenHasSid(const std::string &sid) {
    // The elevated administrator who runs the tool, or the standard user:
    // the account, with the well-known groups of an interactive logon, and
    // Administrators while the token is an administrator's.
    static const char *const kGroups[] = {"S-1-1-0", "S-1-2-0", "S-1-5-4", "S-1-5-11", "S-1-5-32-545"};
    if (sid == (ActingAsUser() ? sim::kStandardUserSid : sim::kUserSid))
        return true;
    for (const char *group : kGroups)
        if (sid == group)
            return true;
    return sid == "S-1-5-32-544" && IsAdministratorToken() && !ActingAsUser();
}

bool FileAccessGranted(const sim::FileSecurity &security, DWORD wanted, DWORD *granted) {
    return AccessGranted(security, wanted, kFileMapping, sim::kUserSid, granted);
}

bool KeyAccessGranted(const sim::FileSecurity &security, DWORD wanted, DWORD *granted) {
    return AccessGranted(security, wanted, kKeyMapping, "S-1-5-32-544", granted);
}

} // namespace sim::detail
