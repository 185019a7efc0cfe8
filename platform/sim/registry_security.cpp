// Access lists of the simulated machine: SetEntriesInAclA builds one,
// SetNamedSecurityInfoA sets it on a registry key named the way the security
// functions name keys ("MACHINE\SOFTWARE\..."), SetSecurityInfo on a key's
// or a file's handle, LocalFree releases it. Only explicit entries are
// modelled, and only the registry enforces them.
#include <algorithm>
#include <set>

#include "sim/control.h"
#include "sim/internal.h"

// What the simulation keeps of an access list: its explicit entries.
struct _ACL {
    std::vector<sim::AccessEntry> entries;
};

namespace sim::detail {

namespace {

// What GetSecurityInfo gives for a key: its owner and list, which
// LocalFree releases with it.
struct KeyDescriptor {
    PSID owner;
    ACL *list; // null for a key without one
    bool listProtected;
};

struct SecurityState {
    std::set<ACL *> liveLists;
    std::set<KeyDescriptor *> keyDescriptors;
    std::set<void *> descriptors; // GetSecurityInfo's: the owner SID alone
    std::vector<std::string> namedCalls;
};

SecurityState &Security() {
    static SecurityState state;
    return state;
}

// The names the security functions give the predefined registry roots.
struct ObjectRoot {
    const char *name;
    HKEY key;
};

bool FindObjectRoot(const std::string &name, HKEY *key) {
    const ObjectRoot roots[] = {{"CLASSES_ROOT", HKEY_CLASSES_ROOT},
                                {"CURRENT_USER", HKEY_CURRENT_USER},
                                {"MACHINE", HKEY_LOCAL_MACHINE},
                                {"USERS", HKEY_USERS}};
    for (const ObjectRoot &root : roots)
        if (EqualNoCase(name, root.name)) {
            *key = root.key;
            return true;
        }
    return false;
}

// What one call changes: the owner (a SID string) and/or the list. The
// group and the system list are not modelled; a list set is kept as it is
// given, protected from inheritance or not.
struct SecurityChange {
    bool setOwner = false, setList = false;
    std::string owner;
    std::vector<sim::AccessEntry> entries;
    const std::string *Owner() const { return setOwner ? &owner : nullptr; }
    const std::vector<sim::AccessEntry> *List() const { return setList ? &entries : nullptr; }
};

bool ReadChange(SECURITY_INFORMATION info, PSID ownerSid, PACL dacl, SecurityChange *change) {
    change->setOwner = (info & OWNER_SECURITY_INFORMATION) != 0;
    change->setList = (info & DACL_SECURITY_INFORMATION) != 0;
    if (change->setOwner) {
        change->owner = SidString(ownerSid);
        if (change->owner.empty())
            return false;
    }
    if (dacl != nullptr && Security().liveLists.count(dacl))
        change->entries = dacl->entries;
    // "SetSecurityInfo": a NULL list grants everyone full access.
    else if (change->setList && dacl == nullptr)
        change->entries = {{"S-1-1-0", GENERIC_ALL, GRANT_ACCESS, 0}};
    return true;
}

void RemoveTrustee(std::vector<sim::AccessEntry> *entries, const std::string &trustee) {
    entries->erase(std::remove_if(entries->begin(), entries->end(),
                                  [&](const sim::AccessEntry &e) { return e.trustee == trustee; }),
                   entries->end());
}

} // namespace

void ResetRegistrySecurity() {
    SIM_LOCK();
    for (ACL *list : Security().liveLists)
        delete list;
    for (KeyDescriptor *key : Security().keyDescriptors)
        delete key;
    Security() = SecurityState{};
}

} // namespace sim::detail

using namespace sim::detail;

DWORD SetEntriesInAclA(ULONG count, PEXPLICIT_ACCESS_A entries, PACL oldAcl, PACL *newAcl) {
    SIM_LOCK();
    DWORD code;
    if (TakeFault("SetEntriesInAclA", nullptr, &code))
        return code;
    if (newAcl == nullptr || (count > 0 && entries == nullptr))
        return ERROR_INVALID_PARAMETER;
    std::vector<sim::AccessEntry> list;
    if (oldAcl != nullptr && Security().liveLists.count(oldAcl))
        list = oldAcl->entries;
    for (ULONG i = 0; i < count; ++i) {
        const EXPLICIT_ACCESS_A &e = entries[i];
        if (e.Trustee.TrusteeForm != TRUSTEE_IS_SID)
            return ERROR_INVALID_PARAMETER; // names are not resolved here
        std::string trustee = SidString(e.Trustee.ptstrName);
        if (trustee.empty())
            return ERROR_INVALID_PARAMETER;
        sim::AccessEntry entry{trustee, e.grfAccessPermissions, GRANT_ACCESS, e.grfInheritance};
        switch (e.grfAccessMode) {
        case SET_ACCESS:
            RemoveTrustee(&list, trustee);
            list.push_back(entry);
            break;
        case GRANT_ACCESS:
            list.push_back(entry);
            break;
        case DENY_ACCESS:
            entry.mode = DENY_ACCESS;
            list.insert(list.begin(), entry); // denying entries come first
            break;
        case REVOKE_ACCESS:
            RemoveTrustee(&list, trustee);
            break;
        default:
            return ERROR_INVALID_PARAMETER;
        }
    }
    ACL *acl = new ACL{list};
    Security().liveLists.insert(acl);
    *newAcl = acl;
    return ERROR_SUCCESS;
}

DWORD SetNamedSecurityInfoA(LPSTR objectName, SE_OBJECT_TYPE type, SECURITY_INFORMATION info, PSID ownerSid, PSID,
                            PACL dacl, PACL) {
    SIM_LOCK();
    DWORD code;
    if (TakeFault("SetNamedSecurityInfoA", objectName, &code))
        return code;
    if (objectName == nullptr || type != SE_REGISTRY_KEY)
        return ERROR_INVALID_PARAMETER;
    std::string name = objectName;
    Security().namedCalls.push_back(name);
    size_t slash = name.find('\\');
    HKEY root;
    if (!FindObjectRoot(name.substr(0, slash), &root))
        return ERROR_INVALID_PARAMETER;
    SecurityChange change;
    if (!ReadChange(info, ownerSid, dacl, &change))
        return ERROR_INVALID_PARAMETER;
    return SetKeySecurity(root, slash == std::string::npos ? "" : name.substr(slash + 1), change.Owner(),
                          change.List());
}

// The owner of a registry key named as SetNamedSecurityInfoA names it, in
// the same view: the descriptor is the owner SID itself.
DWORD GetNamedSecurityInfoA(LPCSTR objectName, SE_OBJECT_TYPE type, SECURITY_INFORMATION info, PSID *owner, PSID *group,
                            PACL *dacl, PACL *sacl, PSECURITY_DESCRIPTOR *descriptor) {
    SIM_LOCK();
    DWORD code;
    if (TakeFault("GetNamedSecurityInfoA", objectName, &code))
        return code;
    if (objectName == nullptr || type != SE_REGISTRY_KEY || info != OWNER_SECURITY_INFORMATION || owner == nullptr ||
        group != nullptr || dacl != nullptr || sacl != nullptr || descriptor == nullptr)
        return ERROR_INVALID_PARAMETER;
    std::string name = objectName;
    size_t slash = name.find('\\');
    HKEY root;
    if (!FindObjectRoot(name.substr(0, slash), &root))
        return ERROR_INVALID_PARAMETER;
    std::string text;
    DWORD status = KeyOwnerByName(root, slash == std::string::npos ? "" : name.substr(slash + 1), &text);
    if (status != ERROR_SUCCESS)
        return status;
    *owner = NewSid(text);
    Security().descriptors.insert(*owner);
    *descriptor = *owner;
    return ERROR_SUCCESS;
}

DWORD SetSecurityInfo(HANDLE handle, SE_OBJECT_TYPE type, SECURITY_INFORMATION info, PSID ownerSid, PSID, PACL dacl,
                      PACL) {
    SIM_LOCK();
    DWORD code;
    if (TakeFault("SetSecurityInfo", nullptr, &code))
        return code;
    SecurityChange change;
    if ((type != SE_REGISTRY_KEY && type != SE_FILE_OBJECT) || !ReadChange(info, ownerSid, dacl, &change))
        return ERROR_INVALID_PARAMETER;
    if (type == SE_FILE_OBJECT)
        return SetFileSecurityByHandle(handle, change.Owner(), change.List(),
                                       (info & PROTECTED_DACL_SECURITY_INFORMATION) != 0);
    std::string name;
    DWORD status = SetKeySecurityByHandle(static_cast<HKEY>(handle), change.Owner(), change.List(), &name);
    if (!name.empty())
        Security().namedCalls.push_back(name);
    return status;
}

HLOCAL LocalFree(HLOCAL mem) {
    SIM_LOCK();
    DWORD code;
    if (TakeFault("LocalFree", nullptr, &code))
        return Fail(code, mem);
    if (mem == nullptr)
        return nullptr;
    if (Security().descriptors.erase(mem) != 0) {
        FreeSid(mem);
        return nullptr;
    }
    auto *key = static_cast<KeyDescriptor *>(mem);
    if (Security().keyDescriptors.erase(key) != 0) {
        FreeSid(key->owner);
        if (key->list != nullptr)
            LocalFree(key->list);
        delete key;
        return nullptr;
    }
    ACL *acl = static_cast<ACL *>(mem);
    if (Security().liveLists.erase(acl) == 0)
        return Fail(ERROR_INVALID_HANDLE, mem);
    delete acl;
    return nullptr;
}

// A key's owner and list through its handle, in one descriptor that
// LocalFree releases.
DWORD GetKeySecurityInfo(HKEY key, PSID *owner, PACL *dacl, PSECURITY_DESCRIPTOR *descriptor) {
    sim::FileSecurity security;
    DWORD status = KeySecurityByHandle(key, &security);
    if (status != ERROR_SUCCESS)
        return status;
    auto *held = new KeyDescriptor{NewSid(security.owner), nullptr, security.listProtected};
    if (security.accessList) {
        held->list = new ACL{*security.accessList};
        Security().liveLists.insert(held->list);
    }
    Security().keyDescriptors.insert(held);
    *owner = held->owner;
    *dacl = held->list;
    *descriptor = held;
    return ERROR_SUCCESS;
}

BOOL GetSecurityDescriptorControl(PSECURITY_DESCRIPTOR descriptor, PSECURITY_DESCRIPTOR_CONTROL control,
                                  LPDWORD revision) {
    SIM_LOCK();
    auto *key = static_cast<KeyDescriptor *>(descriptor);
    if (Security().keyDescriptors.count(key) == 0 || control == nullptr || revision == nullptr)
        return Fail(ERROR_INVALID_PARAMETER, FALSE);
    *control = static_cast<SECURITY_DESCRIPTOR_CONTROL>((key->list ? SE_DACL_PRESENT : 0) |
                                                        (key->listProtected ? SE_DACL_PROTECTED : 0));
    *revision = 1;
    return TRUE;
}

// The owner of a file or folder through its handle: the descriptor is the
// owner SID itself, which LocalFree releases. A key's owner and list.
DWORD GetSecurityInfo(HANDLE handle, SE_OBJECT_TYPE type, SECURITY_INFORMATION info, PSID *owner, PSID *group,
                      PACL *dacl, PACL *sacl, PSECURITY_DESCRIPTOR *descriptor) {
    SIM_LOCK();
    DWORD code;
    if (TakeFault("GetSecurityInfo", nullptr, &code))
        return code;
    if (type == SE_REGISTRY_KEY && info == (OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION) && owner && dacl &&
        descriptor && group == nullptr && sacl == nullptr)
        return GetKeySecurityInfo(static_cast<HKEY>(handle), owner, dacl, descriptor);
    if (type != SE_FILE_OBJECT || info != OWNER_SECURITY_INFORMATION || owner == nullptr || group != nullptr ||
        dacl != nullptr || sacl != nullptr || descriptor == nullptr)
        return ERROR_INVALID_PARAMETER;
    DWORD status;
    std::string text = FileOwnerByHandle(handle, &status);
    if (status != 0)
        return status;
    *owner = NewSid(text);
    Security().descriptors.insert(*owner);
    *descriptor = *owner;
    return ERROR_SUCCESS;
}

namespace sim {

std::vector<std::string> NamedSecurityCalls() {
    SIM_LOCK();
    return Security().namedCalls;
}

size_t LiveAccessLists() {
    SIM_LOCK();
    return Security().liveLists.size();
}

} // namespace sim
