// The access check that every open of a file or folder goes through: the
// rights an access list grants the process's token, as Windows computes
// them. Sources, one line each:
// - "How DACLs Control Access to an Object": entries are read in order; a
//   denying entry that names a right not yet granted ends the check, the
//   rights are granted once allowing entries have named every one asked.
// - "Generic Access Rights" / "File Security and Access Rights": generic
//   rights are mapped to FILE_GENERIC_READ, _WRITE, _EXECUTE, FILE_ALL_ACCESS.
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

} // namespace

DWORD MapFileRights(DWORD access) {
    DWORD mapped = access & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
    if (access & GENERIC_READ)
        mapped |= FILE_GENERIC_READ;
    if (access & GENERIC_WRITE)
        mapped |= kFileGenericWrite;
    if (access & GENERIC_EXECUTE)
        mapped |= FILE_GENERIC_EXECUTE;
    if (access & GENERIC_ALL)
        mapped |= FILE_ALL_ACCESS;
    return mapped;
}

bool TokenHasSid(const std::string &sid) {
    // The elevated administrator who runs the tool: the user, with the
    // well-known groups of an interactive logon, and Administrators while
    // the token is an administrator's.
    static const char *const kGroups[] = {"S-1-1-0", "S-1-2-0", "S-1-5-4", "S-1-5-11", "S-1-5-32-545"};
    if (sid == sim::kUserSid)
        return true;
    for (const char *group : kGroups)
        if (sid == group)
            return true;
    return sid == "S-1-5-32-544" && IsAdministratorToken();
}

bool FileAccessGranted(const sim::FileSecurity &security, DWORD wanted, DWORD *granted) {
    wanted = MapFileRights(wanted);
    const bool maximum = (wanted & MAXIMUM_ALLOWED) != 0;
    wanted &= ~MAXIMUM_ALLOWED;
    if (!security.accessList) {
        *granted = maximum ? FILE_ALL_ACCESS | wanted : wanted;
        return true;
    }
    DWORD allowed = 0, denied = 0;
    const std::string &owner = security.owner.empty() ? std::string(sim::kUserSid) : security.owner;
    if (TokenHasSid(owner))
        allowed |= READ_CONTROL | WRITE_DAC;
    if (sim::PrivilegeEnabled("SeTakeOwnershipPrivilege"))
        allowed |= WRITE_OWNER;
    for (const sim::AccessEntry &entry : *security.accessList) {
        if (!TokenHasSid(entry.trustee))
            continue;
        DWORD rights = MapFileRights(entry.access);
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

} // namespace sim::detail
