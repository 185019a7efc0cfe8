// The simulated registry: five root trees of keys with typed values, the two
// views of HKLM\SOFTWARE that a 32-bit process sees on 64-bit Windows, the
// CurrentControlSet link, and each key's owner and access list, which every
// opening is checked against (access_check.cpp); a handle keeps the rights
// granted at its opening. Registry calls return their status and, as on Windows,
// leave the thread's last error alone.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>

#include "sim/control.h"
#include "sim/internal.h"

namespace sim::detail {

namespace {

const char kAdministrators[] = "S-1-5-32-544";

// The rights asked of a key: the view flags are none.
DWORD AskedRights(REGSAM access) { return access & ~static_cast<DWORD>(KEY_WOW64_64KEY | KEY_WOW64_32KEY); }

struct KeyNode {
    struct Value {
        std::string name;
        DWORD type;
        std::string data;
    };
    std::string name;                                         // in the case it was created with
    std::map<std::string, std::shared_ptr<KeyNode>> children; // by upper-cased name: enumeration order
    std::vector<Value> values;
    // Its owner (empty: Administrators, who created it) and access list
    // (none: everything granted), checked by access_check.cpp.
    sim::FileSecurity security;
    bool listSetByProgram = false; // SetNamedSecurityInfoA or SetSecurityInfo set the list
    bool deleted = false;
    // A registry link: opening a path through it continues at the target
    // (a root and a physical path), unless the link itself is asked for.
    bool link = false;
    int linkRoot = -1;
    std::vector<std::string> linkParts;

    Value *FindValue(const std::string &valueName) {
        for (Value &v : values)
            if (EqualNoCase(v.name, valueName))
                return &v;
        return nullptr;
    }
    void SetValue(const std::string &valueName, DWORD type, const std::string &data) {
        if (Value *v = FindValue(valueName)) {
            v->type = type;
            v->data = data;
        } else {
            values.push_back(Value{valueName, type, data});
        }
    }
    // Whether the process may have `access` of the key (MAXIMUM_ALLOWED:
    // all the list gives), and the rights a handle then holds.
    bool Grants(REGSAM access, DWORD *granted) const {
        return KeyAccessGranted(security, AskedRights(access), granted);
    }
    bool Grants(REGSAM access) const {
        DWORD granted;
        return Grants(access, &granted);
    }
};

constexpr int kRoots = 5;
const char *const kRootNames[kRoots] = {"HKCR", "HKCU", "HKLM", "HKU", "HKCC"};
constexpr int kMachine = 2;

enum View { kDefaultView, k64BitView, k32BitView };

struct RegistryState {
    std::shared_ptr<KeyNode> roots[kRoots];
    bool controlSetLink = true;
};

RegistryState &Registry() {
    static RegistryState state;
    return state;
}

struct KeyObject : Object {
    int root;
    std::vector<std::string> parts; // physical path below the root
    View view;                      // the view it was opened in; relative opens keep it
    std::shared_ptr<KeyNode> node;
    DWORD access;           // the rights granted at its opening, kept whatever the list becomes
    std::string objectName; // as the security functions name it: "MACHINE\SOFTWARE\..." as opened
    const char *Kind() const override { return "key"; }
};

// HKLM\SOFTWARE keys that both views share (Windows 7 and later; a Wine
// prefix links the same list). Everything else under SOFTWARE is redirected.
const char *const kSharedSoftware[] = {
    "MICROSOFT\\COM3",
    "MICROSOFT\\CRYPTOGRAPHY\\CALAIS\\CURRENT",
    "MICROSOFT\\CRYPTOGRAPHY\\CALAIS\\READERS",
    "MICROSOFT\\CRYPTOGRAPHY\\SERVICES",
    "MICROSOFT\\CTF\\SYSTEMSHARED",
    "MICROSOFT\\CTF\\TIP",
    "MICROSOFT\\DFS",
    "MICROSOFT\\DRIVER SIGNING",
    "MICROSOFT\\ENTERPRISECERTIFICATES",
    "MICROSOFT\\EVENTSYSTEM",
    "MICROSOFT\\MSMQ",
    "MICROSOFT\\NON-DRIVER SIGNING",
    "MICROSOFT\\NOTEPAD\\DEFAULTFONTS",
    "MICROSOFT\\OLE",
    "MICROSOFT\\RAS",
    "MICROSOFT\\RPC",
    "MICROSOFT\\SOFTWARE\\MICROSOFT\\SHARED TOOLS\\MSINFO",
    "MICROSOFT\\SYSTEMCERTIFICATES",
    "MICROSOFT\\TERMSERVLICENSING",
    "MICROSOFT\\TRANSACTION SERVER",
    "MICROSOFT\\WINDOWS\\CURRENTVERSION\\APP PATHS",
    "MICROSOFT\\WINDOWS\\CURRENTVERSION\\CONTROL PANEL\\CURSORS\\SCHEMES",
    "MICROSOFT\\WINDOWS\\CURRENTVERSION\\EXPLORER\\AUTOPLAYHANDLERS",
    "MICROSOFT\\WINDOWS\\CURRENTVERSION\\EXPLORER\\DRIVEICONS",
    "MICROSOFT\\WINDOWS\\CURRENTVERSION\\EXPLORER\\KINDMAP",
    "MICROSOFT\\WINDOWS\\CURRENTVERSION\\GROUP POLICY",
    "MICROSOFT\\WINDOWS\\CURRENTVERSION\\POLICIES",
    "MICROSOFT\\WINDOWS\\CURRENTVERSION\\PREVIEWHANDLERS",
    "MICROSOFT\\WINDOWS\\CURRENTVERSION\\SETUP",
    "MICROSOFT\\WINDOWS\\CURRENTVERSION\\TELEPHONY\\LOCATIONS",
    "MICROSOFT\\WINDOWS NT\\CURRENTVERSION\\CONSOLE",
    "MICROSOFT\\WINDOWS NT\\CURRENTVERSION\\FONTDPI",
    "MICROSOFT\\WINDOWS NT\\CURRENTVERSION\\FONTLINK",
    "MICROSOFT\\WINDOWS NT\\CURRENTVERSION\\FONTMAPPER",
    "MICROSOFT\\WINDOWS NT\\CURRENTVERSION\\FONTS",
    "MICROSOFT\\WINDOWS NT\\CURRENTVERSION\\FONTSUBSTITUTES",
    "MICROSOFT\\WINDOWS NT\\CURRENTVERSION\\GRE_INITIALIZE",
    "MICROSOFT\\WINDOWS NT\\CURRENTVERSION\\LANGUAGEPACK",
    "MICROSOFT\\WINDOWS NT\\CURRENTVERSION\\NETWORKCARDS",
    "MICROSOFT\\WINDOWS NT\\CURRENTVERSION\\PERFLIB",
    "MICROSOFT\\WINDOWS NT\\CURRENTVERSION\\PORTS",
    "MICROSOFT\\WINDOWS NT\\CURRENTVERSION\\PRINT",
    "MICROSOFT\\WINDOWS NT\\CURRENTVERSION\\PROFILELIST",
    "MICROSOFT\\WINDOWS NT\\CURRENTVERSION\\TIME ZONES",
    "POLICIES",
    "REGISTEREDAPPLICATIONS",
};

// HKLM\SOFTWARE\Classes is shared but for these, which a 32-bit process
// finds under Classes\Wow6432Node.
const char *const kRedirectedClasses[] = {"CLSID", "DIRECTSHOW", "INTERFACE", "MEDIA TYPE", "MEDIAFOUNDATION"};

const char kWow6432Node[] = "Wow6432Node";

bool StartsWith(const std::vector<std::string> &parts, size_t from, const std::string &prefix) {
    std::string joined;
    for (size_t i = from; i < parts.size() && joined.size() < prefix.size(); ++i)
        joined += (joined.empty() ? "" : "\\") + Upper(parts[i]);
    return joined == prefix;
}

// Where the 32-bit view keeps HKLM\SOFTWARE\<rest>.
std::vector<std::string> Physical32(std::vector<std::string> rest) {
    bool shared = false;
    for (const char *prefix : kSharedSoftware)
        shared = shared || StartsWith(rest, 0, prefix);
    if (!rest.empty() && Upper(rest[0]) == "CLASSES") {
        shared = true;
        for (const char *c : kRedirectedClasses)
            if (rest.size() >= 2 && Upper(rest[1]) == c) {
                rest.insert(rest.begin() + 1, kWow6432Node);
                break;
            }
    }
    if (!shared)
        rest.insert(rest.begin(), kWow6432Node);
    rest.insert(rest.begin(), "SOFTWARE");
    return rest;
}

bool IsSoftware(const std::vector<std::string> &parts) { return !parts.empty() && Upper(parts[0]) == "SOFTWARE"; }

bool IsWow6432Node(const std::vector<std::string> &parts) {
    return IsSoftware(parts) && parts.size() >= 2 && Upper(parts[1]) == Upper(kWow6432Node);
}

// The 32-bit view of a path below HKLM, as a physical path.
std::vector<std::string> Redirect32(const std::vector<std::string> &parts) {
    if (!IsSoftware(parts) || IsWow6432Node(parts))
        return parts;
    return Physical32(std::vector<std::string>(parts.begin() + 1, parts.end()));
}

// Links of the physical registry: CurrentControlSet is ControlSet001, and on
// 64-bit Windows the Wow6432Node path of a shared key is the shared key.
std::vector<std::string> FollowLinks(int root, std::vector<std::string> parts) {
    if (root != kMachine)
        return parts;
    if (Registry().controlSetLink && parts.size() >= 2 && Upper(parts[0]) == "SYSTEM" &&
        Upper(parts[1]) == "CURRENTCONTROLSET")
        parts[1] = "ControlSet001";
    if (ProcessIsWow64() && IsWow6432Node(parts))
        parts = Physical32(std::vector<std::string>(parts.begin() + 2, parts.end()));
    return parts;
}

int RootIndex(HKEY key) {
    uintptr_t v = reinterpret_cast<uintptr_t>(key);
    if (key == HKEY_CLASSES_ROOT || key == HKEY_CURRENT_USER || key == HKEY_LOCAL_MACHINE || key == HKEY_USERS)
        return static_cast<int>(v - reinterpret_cast<uintptr_t>(HKEY_CLASSES_ROOT));
    if (key == HKEY_CURRENT_CONFIG)
        return 4;
    return -1;
}

// Splits a relative key path. A leading separator is a syntax error on
// Windows; repeated and trailing separators are taken as one.
bool SplitKeyPath(const char *path, std::vector<std::string> *parts) {
    if (path == nullptr)
        return true;
    if (path[0] == '\\')
        return false;
    std::string part;
    for (const char *p = path;; ++p) {
        if (*p == '\\' || *p == '\0') {
            if (!part.empty())
                parts->push_back(part);
            part.clear();
            if (*p == '\0')
                return true;
        } else {
            part += *p;
        }
    }
}

struct Location {
    int root;
    std::vector<std::string> parts;
    View view;
};

// Where a call on (parent, path) lands, as a physical location.
LONG Resolve(HKEY parent, const char *path, REGSAM access, Location *out) {
    View parentView = kDefaultView;
    int root = RootIndex(parent);
    std::vector<std::string> parts;
    if (root < 0) {
        auto key = Lookup<KeyObject>(parent);
        if (!key)
            return ERROR_INVALID_HANDLE;
        if (key->node->deleted)
            return ERROR_KEY_DELETED;
        root = key->root;
        parts = key->parts;
        parentView = key->view;
    }
    if (!SplitKeyPath(path, &parts))
        return ERROR_BAD_PATHNAME;
    View view = (access & KEY_WOW64_64KEY) ? k64BitView : (access & KEY_WOW64_32KEY) ? k32BitView : parentView;
    if (root == kMachine && ProcessIsWow64() && view != k64BitView)
        parts = Redirect32(parts);
    out->root = root;
    out->parts = FollowLinks(root, parts);
    out->view = view;
    return ERROR_SUCCESS;
}

std::shared_ptr<KeyNode> Walk(int root, const std::vector<std::string> &parts, bool create, bool *created) {
    std::shared_ptr<KeyNode> node = Registry().roots[root];
    for (const std::string &part : parts) {
        auto it = node->children.find(Upper(part));
        if (it == node->children.end()) {
            if (!create)
                return nullptr;
            auto child = std::make_shared<KeyNode>();
            child->name = part;
            it = node->children.emplace(Upper(part), child).first;
            if (created)
                *created = true;
        }
        node = it->second;
    }
    return node;
}

// Follows the registry links on a physical location: a component that is a
// link continues at its target, the last one only when `followLast`. False
// when links chain deeper than Windows follows them.
bool FollowKeyLinks(Location *where, bool followLast) {
    for (int hops = 0; hops < 16; ++hops) {
        std::shared_ptr<KeyNode> node = Registry().roots[where->root];
        bool redirected = false;
        for (size_t i = 0; i < where->parts.size() && !redirected; ++i) {
            auto it = node->children.find(Upper(where->parts[i]));
            if (it == node->children.end())
                return true; // absent: there is nothing further to follow
            node = it->second;
            if (node->link && (i + 1 < where->parts.size() || followLast)) {
                std::vector<std::string> rest(where->parts.begin() + static_cast<long>(i) + 1, where->parts.end());
                where->root = node->linkRoot;
                where->parts = node->linkParts;
                where->parts.insert(where->parts.end(), rest.begin(), rest.end());
                redirected = true;
            }
        }
        if (!redirected)
            return true;
    }
    return false;
}

// Makes the node a link to "\REGISTRY\MACHINE\..." or "\REGISTRY\USER\...",
// as the SymbolicLinkValue of a key created with REG_OPTION_CREATE_LINK.
bool SetLinkTarget(KeyNode &node, const std::string &target) {
    std::vector<std::string> parts;
    if (!SplitKeyPath(target.c_str() + (target.empty() || target[0] != '\\' ? 0 : 1), &parts) || parts.size() < 2 ||
        !EqualNoCase(parts[0], "REGISTRY"))
        return false;
    int root = EqualNoCase(parts[1], "MACHINE") ? kMachine : EqualNoCase(parts[1], "USER") ? 3 : -1;
    if (root < 0)
        return false;
    node.link = true;
    node.linkRoot = root;
    node.linkParts = FollowLinks(root, std::vector<std::string>(parts.begin() + 2, parts.end()));
    return true;
}

// The node behind a key handle or a root, for the value and enumeration
// calls, which need `needed` of the handle's granted rights (a predefined
// root is opened with all the rights the caller may have).
LONG NodeOf(HKEY key, DWORD needed, std::shared_ptr<KeyNode> *node) {
    int root = RootIndex(key);
    if (root >= 0) {
        *node = Registry().roots[root];
        return ERROR_SUCCESS;
    }
    auto object = Lookup<KeyObject>(key);
    if (!object)
        return ERROR_INVALID_HANDLE;
    if ((object->access & needed) != needed)
        return ERROR_ACCESS_DENIED;
    if (object->node->deleted)
        return ERROR_KEY_DELETED;
    *node = object->node;
    return ERROR_SUCCESS;
}

// The security object name of the key at `path` below `parent`, as the
// program would spell it: the root's object name, then the path as given.
std::string ObjectName(HKEY parent, const char *path) {
    static const char *const kObjectRoots[kRoots] = {"CLASSES_ROOT", "CURRENT_USER", "MACHINE", "USERS",
                                                     "CURRENT_CONFIG"};
    int root = RootIndex(parent);
    auto key = root < 0 ? Lookup<KeyObject>(parent) : nullptr;
    std::string name = root >= 0 ? kObjectRoots[root] : key ? key->objectName : "";
    return path && *path ? name + "\\" + path : name;
}

HKEY NewKeyHandle(const Location &where, std::shared_ptr<KeyNode> node, DWORD access, std::string objectName) {
    auto object = std::make_shared<KeyObject>();
    object->root = where.root;
    object->parts = where.parts;
    object->view = where.view;
    object->node = std::move(node);
    object->access = access;
    object->objectName = std::move(objectName);
    return reinterpret_cast<HKEY>(AddHandle(object));
}

// RegOpenKeyExA, and with `create` RegCreateKeyExA. A link on the way is
// followed; the key named is the link itself with REG_OPTION_OPEN_LINK, and
// a new key is a link with REG_OPTION_CREATE_LINK.
LONG OpenKey(const char *api, HKEY parent, const char *path, DWORD options, REGSAM access, bool create, PHKEY result,
             LPDWORD disposition) {
    SIM_LOCK();
    DWORD code;
    if (TakeFault(api, path, &code))
        return static_cast<LONG>(code);
    if (result == nullptr)
        return ERROR_INVALID_PARAMETER;
    *result = nullptr; // cleared on failure too, as Windows does
    Location where;
    LONG status = Resolve(parent, path, access, &where);
    if (status != ERROR_SUCCESS)
        return status;
    if (!FollowKeyLinks(&where, !(options & (REG_OPTION_OPEN_LINK | REG_OPTION_CREATE_LINK))))
        return ERROR_CANT_RESOLVE_FILENAME;
    // A key is created below the deepest one that exists, whose list must
    // give KEY_CREATE_SUB_KEY; the new key's own list is none (inherited
    // entries are not modelled).
    if (create && !Walk(where.root, where.parts, false, nullptr)) {
        std::shared_ptr<KeyNode> above = Registry().roots[where.root];
        for (const std::string &part : where.parts) {
            auto it = above->children.find(Upper(part));
            if (it == above->children.end())
                break;
            above = it->second;
        }
        if (!above->Grants(KEY_CREATE_SUB_KEY))
            return ERROR_ACCESS_DENIED;
    }
    bool created = false;
    auto node = Walk(where.root, where.parts, create, &created);
    if (!node)
        return ERROR_FILE_NOT_FOUND;
    if (created && (options & REG_OPTION_CREATE_LINK))
        node->link = true; // its target comes with its SymbolicLinkValue
    // Windows checks the access asked for against the key's list at open;
    // the handle keeps what was granted then.
    DWORD granted = 0;
    if (!node->Grants(access, &granted))
        return ERROR_ACCESS_DENIED;
    if (disposition)
        *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    *result = NewKeyHandle(where, node, granted, ObjectName(parent, path));
    return ERROR_SUCCESS;
}

// Takes a key that holds no subkeys out of the key above it; handles to it
// see it deleted from then on.
void Unlink(KeyNode &owner, KeyNode &node) {
    node.deleted = true;
    owner.children.erase(Upper(node.name));
}

// The key above the key at `parts`, which is not a root.
std::shared_ptr<KeyNode> OwnerOf(int root, const std::vector<std::string> &parts) {
    return Walk(root, std::vector<std::string>(parts.begin(), parts.end() - 1), false, nullptr);
}

// RegDeleteKeyA and RegDeleteKeyExA: a path is opened as RegOpenKeyExA opens
// it, following a link it ends in; an empty path deletes the key of the
// handle itself, a link opened as such included. The opening checks the
// key's access list for DELETE.
LONG DeleteKey(HKEY parent, const char *path, REGSAM view) {
    Location where;
    LONG status = Resolve(parent, path, view & (KEY_WOW64_64KEY | KEY_WOW64_32KEY), &where);
    if (status != ERROR_SUCCESS)
        return status;
    if (path != nullptr && path[0] != '\0' && !FollowKeyLinks(&where, true))
        return ERROR_CANT_RESOLVE_FILENAME;
    if (where.parts.empty())
        return ERROR_ACCESS_DENIED; // a root key cannot be deleted
    auto owner = OwnerOf(where.root, where.parts);
    auto node = Walk(where.root, where.parts, false, nullptr);
    if (!owner || !node)
        return ERROR_FILE_NOT_FOUND;
    // The key is opened for DELETE, checked against its list as it is now.
    if (!node->Grants(DELETE) || !node->children.empty())
        return ERROR_ACCESS_DENIED;
    Unlink(*owner, *node);
    return ERROR_SUCCESS;
}

LONG WINAPI SimRegDeleteKeyExA(HKEY parent, LPCSTR path, REGSAM view, DWORD) {
    SIM_LOCK();
    DWORD code;
    if (TakeFault("RegDeleteKeyExA", path, &code))
        return static_cast<LONG>(code);
    return DeleteKey(parent, path, view);
}

// NtDeleteKey deletes the key of an open handle in whatever view it was
// opened, a link opened as such included. As Windows does, it checks the
// DELETE that the handle was opened with, not the key's list as it is now;
// a key with subkeys cannot be deleted (STATUS_CANNOT_DELETE; Wine says
// STATUS_ACCESS_DENIED, which gives the same error); a key already deleted
// is deleted again without complaint.
NtStatus WINAPI SimNtDeleteKey(HANDLE handle) {
    SIM_LOCK();
    auto key = Lookup<KeyObject>(handle);
    if (!key)
        return kNtInvalidHandle;
    DWORD code;
    if (TakeFault("NtDeleteKey", key->objectName.c_str(), &code))
        return static_cast<NtStatus>(code);
    if (!(key->access & DELETE))
        return kNtAccessDenied;
    if (key->node->deleted)
        return kNtSuccess;
    if (key->parts.empty() || !key->node->children.empty())
        return kNtCannotDelete;
    Unlink(*OwnerOf(key->root, key->parts), *key->node);
    return kNtSuccess;
}

// Parses a control-API path "HKLM\SOFTWARE\..." into a physical location.
Location ControlPath(const std::string &path) {
    std::string rootName = path.substr(0, path.find('\\'));
    std::string rest = rootName.size() < path.size() ? path.substr(rootName.size() + 1) : "";
    Location where{-1, {}, k64BitView};
    for (int i = 0; i < kRoots; ++i)
        if (EqualNoCase(rootName, kRootNames[i]))
            where.root = i;
    if (where.root < 0 || !SplitKeyPath(rest.c_str(), &where.parts)) {
        std::fprintf(stderr, "sim: bad registry path \"%s\"\n", path.c_str());
        std::abort();
    }
    where.parts = FollowLinks(where.root, where.parts);
    return where;
}

std::shared_ptr<KeyNode> ControlKey(const std::string &path, bool create) {
    Location where = ControlPath(path);
    return Walk(where.root, where.parts, create, nullptr);
}

void CollectBelow(const KeyNode &node, const std::string &prefix, std::vector<std::string> *out) {
    for (auto &entry : node.children) {
        std::string path = prefix.empty() ? entry.second->name : prefix + "\\" + entry.second->name;
        out->push_back(path);
        CollectBelow(*entry.second, path, out);
    }
}

void DescribeKeys(const KeyNode &node, const std::string &path, std::string *text) {
    *text += "key " + path + " " + node.security.owner + " " +
             std::to_string(node.security.accessList ? node.security.accessList->size() : 0) + "\n";
    for (const KeyNode::Value &value : node.values)
        *text += "  " + value.name + " " + std::to_string(value.type) + " " + value.data + "\n";
    for (auto &entry : node.children)
        DescribeKeys(*entry.second, path + "\\" + entry.second->name, text);
}

} // namespace

std::string RegistryText() {
    SIM_LOCK();
    std::string text;
    for (int i = 0; i < kRoots; ++i)
        if (Registry().roots[i])
            DescribeKeys(*Registry().roots[i], kRootNames[i], &text);
    return text;
}

void ResetRegistry() {
    SIM_LOCK();
    RegistryState &state = Registry();
    for (auto &root : state.roots) {
        if (root)
            root->deleted = true;
        root = std::make_shared<KeyNode>();
    }
    state.controlSetLink = true;
    for (const char *path : {"SOFTWARE\\Wow6432Node", "SOFTWARE\\Classes", "SYSTEM\\ControlSet001\\Services"}) {
        std::vector<std::string> parts;
        SplitKeyPath(path, &parts);
        Walk(kMachine, parts, true, nullptr);
    }
}

void RegisterRegistryExports() {
    SIM_EXPORT("advapi32.dll", RegDeleteKeyExA, SimRegDeleteKeyExA);
    SIM_EXPORT("ntdll.dll", NtDeleteKey, SimNtDeleteKey);
}

namespace {

DWORD NeededFor(const std::string *owner, const std::vector<sim::AccessEntry> *accessList) {
    return (owner ? WRITE_OWNER : 0) | (accessList ? WRITE_DAC : 0);
}

// Sets the owner and/or the list of a key opened with `held` granted.
DWORD ApplyKeySecurity(KeyNode &node, DWORD held, const std::string *owner,
                       const std::vector<sim::AccessEntry> *accessList) {
    DWORD needed = NeededFor(owner, accessList);
    if ((held & needed) != needed)
        return ERROR_ACCESS_DENIED;
    // The caller may make itself or Administrators the owner; any other
    // owner needs the restore privilege.
    if (owner && *owner != kAdministrators && *owner != sim::kUserSid && !sim::PrivilegeEnabled(SE_RESTORE_NAME))
        return ERROR_INVALID_OWNER;
    if (owner)
        node.security.owner = *owner;
    if (accessList) {
        node.security.accessList = *accessList;
        node.listSetByProgram = true;
    }
    return ERROR_SUCCESS;
}

} // namespace

namespace {

// The key a security object name reaches: as RegOpenKeyExA without a view
// flag reaches it, in the process's default view (a 32-bit process's
// MACHINE\SOFTWARE\... is redirected as the registry redirector says), and
// through a link to its target.
DWORD NamedKey(HKEY root, const std::string &path, std::shared_ptr<KeyNode> *node) {
    Location where;
    LONG status = Resolve(root, path.c_str(), 0, &where);
    if (status != ERROR_SUCCESS)
        return static_cast<DWORD>(status);
    if (!FollowKeyLinks(&where, true))
        return ERROR_CANT_RESOLVE_FILENAME;
    *node = Walk(where.root, where.parts, false, nullptr);
    return *node ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
}

} // namespace

DWORD KeyOwnerByName(HKEY root, const std::string &path, std::string *owner) {
    SIM_LOCK();
    std::shared_ptr<KeyNode> node;
    DWORD status = NamedKey(root, path, &node);
    if (status != ERROR_SUCCESS)
        return status;
    if (!node->Grants(READ_CONTROL))
        return ERROR_ACCESS_DENIED;
    *owner = node->security.owner.empty() ? std::string(kAdministrators) : node->security.owner;
    return ERROR_SUCCESS;
}

DWORD SetKeySecurity(HKEY root, const std::string &path, const std::string *owner,
                     const std::vector<sim::AccessEntry> *accessList) {
    SIM_LOCK();
    std::shared_ptr<KeyNode> node;
    DWORD found = NamedKey(root, path, &node);
    if (found != ERROR_SUCCESS)
        return found;
    // The key is opened with the rights the change needs, checked against its list.
    DWORD granted = 0;
    if (!node->Grants(NeededFor(owner, accessList), &granted))
        return ERROR_ACCESS_DENIED;
    return ApplyKeySecurity(*node, granted, owner, accessList);
}

// The key object behind a handle whose key is still there; null, with the
// status why, otherwise.
std::shared_ptr<KeyObject> LiveKey(HKEY key, DWORD *status) {
    auto object = Lookup<KeyObject>(key);
    *status = !object ? ERROR_INVALID_HANDLE : object->node->deleted ? ERROR_KEY_DELETED : ERROR_SUCCESS;
    return *status == ERROR_SUCCESS ? object : nullptr;
}

DWORD KeySecurityByHandle(HKEY key, sim::FileSecurity *security) {
    SIM_LOCK();
    DWORD status;
    auto object = LiveKey(key, &status);
    if (!object)
        return status;
    if ((object->access & READ_CONTROL) == 0)
        return ERROR_ACCESS_DENIED;
    *security = object->node->security;
    if (security->owner.empty())
        security->owner = kAdministrators;
    return ERROR_SUCCESS;
}

DWORD SetKeySecurityByHandle(HKEY key, const std::string *owner, const std::vector<sim::AccessEntry> *accessList,
                             std::string *objectName) {
    SIM_LOCK();
    DWORD status;
    auto object = LiveKey(key, &status);
    if (object)
        *objectName = object->objectName;
    if (!object)
        return status;
    return ApplyKeySecurity(*object->node, object->access, owner, accessList);
}

} // namespace sim::detail

using namespace sim::detail;

// ---- advapi32: registry ----

LONG RegOpenKeyExA(HKEY parent, LPCSTR subKey, DWORD options, REGSAM access, PHKEY result) {
    return OpenKey("RegOpenKeyExA", parent, subKey, options, access, false, result, nullptr);
}

LONG RegCreateKeyExA(HKEY parent, LPCSTR subKey, DWORD, LPSTR, DWORD options, REGSAM access, LPSECURITY_ATTRIBUTES,
                     PHKEY result, LPDWORD disposition) {
    return OpenKey("RegCreateKeyExA", parent, subKey, options, access, true, result, disposition);
}

LONG RegEnumKeyExA(HKEY key, DWORD index, LPSTR name, LPDWORD nameLength, LPDWORD, LPSTR cls, LPDWORD clsLength,
                   FILETIME *lastWrite) {
    SIM_LOCK();
    DWORD code;
    if (TakeFault("RegEnumKeyExA", nullptr, &code))
        return static_cast<LONG>(code);
    std::shared_ptr<KeyNode> node;
    LONG status = NodeOf(key, KEY_ENUMERATE_SUB_KEYS, &node);
    if (status != ERROR_SUCCESS)
        return status;
    if (name == nullptr || nameLength == nullptr)
        return ERROR_INVALID_PARAMETER;
    if (index >= node->children.size())
        return ERROR_NO_MORE_ITEMS;
    const std::string &child = std::next(node->children.begin(), index)->second->name;
    // The name and its terminator must fit; otherwise nothing is written.
    if (child.size() >= *nameLength)
        return ERROR_MORE_DATA;
    std::memcpy(name, child.c_str(), child.size() + 1);
    *nameLength = static_cast<DWORD>(child.size());
    if (cls != nullptr && clsLength != nullptr && *clsLength > 0)
        cls[0] = '\0';
    if (clsLength != nullptr)
        *clsLength = 0;
    if (lastWrite != nullptr)
        *lastWrite = FILETIME{0, 0};
    return ERROR_SUCCESS;
}

LONG RegDeleteKeyA(HKEY parent, LPCSTR subKey) {
    SIM_LOCK();
    DWORD code;
    if (TakeFault("RegDeleteKeyA", subKey, &code))
        return static_cast<LONG>(code);
    return DeleteKey(parent, subKey, 0);
}

LONG RegCloseKey(HKEY key) {
    SIM_LOCK();
    DWORD code;
    if (TakeFault("RegCloseKey", nullptr, &code))
        return static_cast<LONG>(code);
    if (RootIndex(key) >= 0)
        return ERROR_SUCCESS;
    if (!Lookup<KeyObject>(key))
        return ERROR_INVALID_HANDLE;
    RemoveHandle(key);
    return ERROR_SUCCESS;
}

LONG RegQueryValueExA(HKEY key, LPCSTR name, LPDWORD, LPDWORD type, LPBYTE data, LPDWORD size) {
    SIM_LOCK();
    DWORD code;
    if (TakeFault("RegQueryValueExA", name, &code))
        return static_cast<LONG>(code);
    std::shared_ptr<KeyNode> node;
    LONG status = NodeOf(key, KEY_QUERY_VALUE, &node);
    if (status != ERROR_SUCCESS)
        return status;
    if (data != nullptr && size == nullptr)
        return ERROR_INVALID_PARAMETER;
    KeyNode::Value *value = node->FindValue(name ? name : "");
    if (value == nullptr)
        return ERROR_FILE_NOT_FOUND;
    if (type != nullptr)
        *type = value->type;
    DWORD needed = static_cast<DWORD>(value->data.size());
    if (data != nullptr && *size < needed) {
        *size = needed;
        return ERROR_MORE_DATA;
    }
    if (data != nullptr)
        std::memcpy(data, value->data.data(), needed);
    if (size != nullptr)
        *size = needed;
    return ERROR_SUCCESS;
}

LONG RegSetValueExA(HKEY key, LPCSTR name, DWORD, DWORD type, const BYTE *data, DWORD size) {
    SIM_LOCK();
    DWORD code;
    if (TakeFault("RegSetValueExA", name, &code))
        return static_cast<LONG>(code);
    std::shared_ptr<KeyNode> node;
    LONG status = NodeOf(key, KEY_SET_VALUE, &node);
    if (status != ERROR_SUCCESS)
        return status;
    if (data == nullptr && size > 0)
        return ERROR_INVALID_PARAMETER;
    // A link's target: the wide text of its SymbolicLinkValue.
    if (node->link && type == REG_LINK && name && EqualNoCase(name, "SymbolicLinkValue")) {
        std::string target;
        for (DWORD i = 0; i + 1 < size; i += 2)
            target += static_cast<char>(data[i]);
        if (!SetLinkTarget(*node, target))
            return ERROR_INVALID_PARAMETER;
    }
    node->SetValue(name ? name : "", type, std::string(reinterpret_cast<const char *>(data), data ? size : 0));
    return ERROR_SUCCESS;
}

LONG RegDeleteValueA(HKEY key, LPCSTR name) {
    SIM_LOCK();
    DWORD code;
    if (TakeFault("RegDeleteValueA", name, &code))
        return static_cast<LONG>(code);
    std::shared_ptr<KeyNode> node;
    LONG status = NodeOf(key, KEY_SET_VALUE, &node);
    if (status != ERROR_SUCCESS)
        return status;
    auto &values = node->values;
    auto it = std::find_if(values.begin(), values.end(),
                           [&](const KeyNode::Value &v) { return EqualNoCase(v.name, name ? name : ""); });
    if (it == values.end())
        return ERROR_FILE_NOT_FOUND;
    values.erase(it);
    return ERROR_SUCCESS;
}

// ---- control API ----

namespace sim {

void PlantKey(const std::string &path) {
    SIM_LOCK();
    ControlKey(path, true);
}

void PlantValue(const std::string &key, const std::string &name, DWORD type, const std::string &data) {
    SIM_LOCK();
    ControlKey(key, true)->SetValue(name, type, data);
}

void RemoveKeyTree(const std::string &path) {
    SIM_LOCK();
    Location where = ControlPath(path);
    if (where.parts.empty())
        return;
    auto owner = OwnerOf(where.root, where.parts);
    auto node = Walk(where.root, where.parts, false, nullptr);
    if (!owner || !node)
        return;
    std::vector<std::shared_ptr<KeyNode>> pending{node};
    while (!pending.empty()) { // open handles to any of them now see a deleted key
        auto next = pending.back();
        pending.pop_back();
        next->deleted = true;
        for (auto &child : next->children)
            pending.push_back(child.second);
    }
    owner->children.erase(Upper(where.parts.back()));
}

bool KeyExists(const std::string &path) {
    SIM_LOCK();
    return ControlKey(path, false) != nullptr;
}

std::vector<std::string> KeysBelow(const std::string &path) {
    SIM_LOCK();
    std::vector<std::string> out;
    if (auto node = ControlKey(path, false))
        CollectBelow(*node, "", &out);
    return out;
}

std::optional<RegistryValue> KeyValue(const std::string &key, const std::string &name) {
    SIM_LOCK();
    auto node = ControlKey(key, false);
    KeyNode::Value *value = node ? node->FindValue(name) : nullptr;
    if (value == nullptr)
        return std::nullopt;
    return RegistryValue{value->type, value->data};
}

void ProtectKey(const std::string &path, DWORD administratorsAccess) {
    PlantKeySecurity(path, FileSecurity{"S-1-5-18", std::vector<AccessEntry>{AccessEntry{
                                                        kAdministrators, administratorsAccess, GRANT_ACCESS, 0}}});
}

void PlantKeySecurity(const std::string &path, const FileSecurity &security) {
    SIM_LOCK();
    auto node = ControlKey(path, true);
    node->security = security;
    node->listSetByProgram = false;
}

FileSecurity KeySecurityOf(const std::string &path) {
    SIM_LOCK();
    auto node = ControlKey(path, false);
    return node ? node->security : FileSecurity{};
}

std::optional<std::vector<AccessEntry>> KeyAccessList(const std::string &path) {
    SIM_LOCK();
    auto node = ControlKey(path, false);
    if (!node || !node->listSetByProgram)
        return std::nullopt;
    return node->security.accessList;
}

std::string KeyOwner(const std::string &path) {
    SIM_LOCK();
    auto node = ControlKey(path, false);
    if (!node)
        return std::string();
    return node->security.owner.empty() ? std::string(kAdministrators) : node->security.owner;
}

void PlantRegistryLink(const std::string &path, const std::string &target) {
    SIM_LOCK();
    Location to = ControlPath(target);
    auto node = ControlKey(path, true);
    node->link = true;
    node->linkRoot = to.root;
    node->linkParts = to.parts;
}

void SetCurrentControlSetLink(bool linked) {
    SIM_LOCK();
    Registry().controlSetLink = linked;
}

} // namespace sim
