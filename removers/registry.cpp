#include "removers/registry.h"

#include <cstring>

#include "core/bounded_format.h"
#include "core/run_state.h"
#include "core/trace_log.h"
#include "exports.h"
#include "removers/registry_access.h"

namespace {

struct RegistryRoot {
    const char *abbreviation;
    int length;
    HKEY key;
    const char *entryLine;
};

// In the order they are tried: "HKU" after "HKCU".
const RegistryRoot kRoots[] = {
    {"HKCR", 4, HKEY_CLASSES_ROOT, "Registry_%d:: HKCR\\%s\r\n"},
    {"HKLM", 4, HKEY_LOCAL_MACHINE, "Registry_%d:: HKLM\\%s\r\n"},
    {"HKCU", 4, HKEY_CURRENT_USER, "Registry_%d:: HKCU\\%s\r\n"},
    {"HKU", 3, HKEY_USERS, "Registry_%d:: HKU\\%s\r\n"},
    {"HKCC", 4, HKEY_CURRENT_CONFIG, "Registry_%d:: HKCC\\%s\r\n"},
};
constexpr LONG kMachineRoot = 2;

constexpr REGSAM k64BitViewAccess = KEY_ALL_ACCESS | KEY_WOW64_64KEY;
constexpr DWORD kSubkeyNameChars = 260;
constexpr size_t kKeyPathChars = 2048;

// A path that is empty, starts or ends with a separator or holds an empty
// component would name the root or a parent of the key the entry means.
bool IsWellFormedKeyPath(const char *path) {
    size_t length = std::strlen(path);
    return length > 0 && path[0] != '\\' && path[length - 1] != '\\' && std::strstr(path, "\\\\") == NULL;
}

// How the keys of one tree are opened and deleted. Each key is deleted
// through the handle that walked it, with ntdll's NtDeleteKey where it is
// found: one server request, where RegDeleteKeyExA and RegDeleteKeyA on the
// empty path open the key a second time, delete and close it. Without it,
// RegDeleteKeyExA in the view of `access`, else RegDeleteKeyA.
struct KeyDeletion {
    REGSAM access;
    RegDeleteKeyExAFn deleteKeyEx;
    NtDeleteKeyFn deleteByHandle;
    RtlNtStatusToDosErrorFn toDosError;
    // What is left of the tree's budget of subkeys (kMaxSubkeysDeleted),
    // shared by every level of the recursion.
    DWORD subkeysLeft;
    // The key at hand by its full name below `root`, as the grant names a
    // refused key; `unnamed` counts the levels below a name too long for it.
    HKEY root;
    char keyPath[kKeyPathChars];
    size_t keyPathLength;
    size_t unnamed;
};

KeyDeletion LookUpKeyDeletion(HKEY root, const char *path, REGSAM access, RegDeleteKeyExAFn deleteKeyEx) {
    KeyDeletion deletion = {access, deleteKeyEx, NULL, NULL, kMaxSubkeysDeleted, root, "", 0, 0};
    if (CopyBounded(deletion.keyPath, sizeof deletion.keyPath, path) == kFormatOk)
        deletion.keyPathLength = std::strlen(deletion.keyPath);
    else
        deletion.unnamed = 1;
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    if (ntdll != NULL) {
        deletion.deleteByHandle = LOOK_UP_EXPORT(ntdll, NtDeleteKey);
        deletion.toDosError = LOOK_UP_EXPORT(ntdll, RtlNtStatusToDosError);
    }
    if (deletion.deleteByHandle == NULL || deletion.toDosError == NULL)
        deletion.deleteByHandle = NULL;
    return deletion;
}

LONG DeleteOpenedKey(HKEY key, const KeyDeletion &deletion) {
    if (deletion.deleteByHandle != NULL)
        return static_cast<LONG>(deletion.toDosError(deletion.deleteByHandle(key)));
    return deletion.deleteKeyEx != NULL ? deletion.deleteKeyEx(key, "", deletion.access, 0) : RegDeleteKeyA(key, "");
}

bool DeleteTree(HKEY parent, const char *path, KeyDeletion &deletion);

// Runs a registry operation on the key of `grant` with the access retry;
// every failure is logged with `errorLine` and the failing call's own
// status (registry calls return theirs and leave the thread's last error as
// an earlier call left it).
template <class Operation> LONG WithLoggedAccessRetry(KeyGrant &grant, const char *errorLine, Operation operation) {
    return WithAccessRetry(
               grant, operation,
               [&](LONG status) { WriteLogFormatted(g_run.registryLogLine, kLogLineChars, errorLine, status); })
        .status;
}

// Deletes the opened key itself, with the access retry for a refusal. The
// delete goes through the key's own handle: by name, a link under that name
// would be followed and its target deleted in its place.
bool DeleteKey(KeyGrant &grant, HKEY key, const KeyDeletion &deletion) {
    LONG status =
        WithLoggedAccessRetry(grant, "ERROR:: (Deleting Key) %d\r\n", [&] { return DeleteOpenedKey(key, deletion); });
    if (status != ERROR_SUCCESS)
        return false;
    WriteLogLine("SUCCESS:: Deleted\r\n");
    ++g_run.tally.registry;
    return true;
}

// Deletes the subkeys of an opened key, always the first one, since the
// next moves up when one is gone. False on any enumeration status but
// success and the end (ERROR_MORE_DATA returns no name to go down), on a
// subkey not deleted, on a subkey that is still first after its deletion
// reported success (a name that cannot be opened as enumerated), and once
// the tree's budget of subkeys is spent.
bool DeleteSubkeys(HKEY key, KeyDeletion &deletion) {
    char name[kSubkeyNameChars];
    char previous[kSubkeyNameChars] = "";
    for (;;) {
        std::memset(name, 0, sizeof name);
        DWORD length = kSubkeyNameChars;
        LONG status = RegEnumKeyExA(key, 0, name, &length, NULL, NULL, NULL, NULL);
        if (status == ERROR_NO_MORE_ITEMS)
            return true;
        if (deletion.subkeysLeft == 0 || status != ERROR_SUCCESS || std::strcmp(name, previous) == 0)
            return false;
        --deletion.subkeysLeft;
        size_t parentLength = deletion.keyPathLength;
        bool named = deletion.unnamed == 0 && FormatBounded(deletion.keyPath + parentLength,
                                                            kKeyPathChars - parentLength, "\\%s", name) == kFormatOk;
        if (named)
            deletion.keyPathLength += 1 + std::strlen(name);
        else
            ++deletion.unnamed;
        bool deleted = DeleteTree(key, name, deletion);
        deletion.keyPath[parentLength] = '\0';
        deletion.keyPathLength = parentLength;
        if (!named)
            --deletion.unnamed;
        if (!deleted)
            return false;
        std::memcpy(previous, name, sizeof previous);
    }
}

bool DeleteTree(HKEY parent, const char *path, KeyDeletion &deletion) {
    // An empty path would open the parent itself and empty it.
    if (path == NULL || path[0] == '\0')
        return false;
    HKEY key = NULL;
    // A key whose access list refuses the opening (a protected key denies
    // the DELETE that KEY_ALL_ACCESS asks for) is taken over like a key
    // whose delete is refused, by its full name in the view at hand. A
    // registry link is opened as the link, never followed: it has no
    // subkeys of its own and goes as a link.
    KeyGrant grant = NameKeyForGrant(deletion.root, deletion.unnamed == 0 ? deletion.keyPath : NULL, deletion.access);
    LONG status = WithLoggedAccessRetry(grant, "ERROR:: (Opening Key) %d\r\n", [&] {
        return RegOpenKeyExA(parent, path, REG_OPTION_OPEN_LINK, deletion.access, &key);
    });
    if (status != ERROR_SUCCESS) {
        RestoreKeySecurity(grant);
        return status == ERROR_FILE_NOT_FOUND;
    }
    bool result = DeleteSubkeys(key, deletion);
    // The key's own delete is attempted also when a subkey remains.
    if (!DeleteKey(grant, key, deletion))
        result = false;
    RegCloseKey(key);
    // A key that stays gets back the owner and list the takeover found.
    if (!RestoreKeySecurity(grant))
        result = false;
    return result;
}

// The 64-bit view's pass; true also where Windows has no such view.
bool DeleteIn64BitView(const char *keyPath) {
    HMODULE advapi = LoadLibraryA("Advapi32.dll");
    if (advapi == NULL)
        return true;
    RegDeleteKeyExAFn deleteKeyEx = LOOK_UP_EXPORT(advapi, RegDeleteKeyExA);
    KeyDeletion deletion = LookUpKeyDeletion(HKEY_LOCAL_MACHINE, keyPath, k64BitViewAccess, deleteKeyEx);
    bool removed = deleteKeyEx == NULL || DeleteTree(HKEY_LOCAL_MACHINE, keyPath, deletion);
    FreeLibrary(advapi);
    return removed;
}

// Reads the entry at Position: sets Kind to its root code (1 HKCR, 2 HKLM,
// 3 HKCU, 4 HKU, 5 HKCC) and KeyPath to the rest of the line, ended in place,
// and moves Position to the next line. -13 for an unknown root, -1 when no CR
// follows; Position is then unchanged.
LONG ParseRegistryEntry(ListingCursor *cursor) {
    char *line = cursor->Position;
    for (LONG code = 1; code <= 5; ++code) {
        const RegistryRoot &root = kRoots[code - 1];
        if (StrCmpNIA(line, root.abbreviation, root.length) != 0)
            continue;
        cursor->Kind = code;
        // The separator is skipped whatever it is, but never the line's CR
        // or the end of the text.
        char *keyPath = line + root.length;
        if (*keyPath != '\r' && *keyPath != '\0')
            ++keyPath;
        char *cr = StrChrA(keyPath, '\r');
        if (cr == NULL)
            return -1;
        *cr = '\0';
        // A CR that ends the text leaves Position on the terminator.
        cursor->Position = cr[1] != '\0' ? cr + 2 : cr + 1;
        cursor->KeyPath = keyPath;
        return 0;
    }
    return -13;
}

} // namespace

LONG RemoveRegistry(ListingCursor *cursor) {
    if (!OpenSection(cursor))
        return -1;
    LONG result = 0;
    for (DWORD i = 0; i < cursor->Count; ++i) {
        LONG parsed = ParseRegistryEntry(cursor);
        if (parsed != 0)
            return parsed;
        const RegistryRoot &root = kRoots[cursor->Kind - 1];
        WriteLogFormatted(g_run.registryLogLine, kLogLineChars, root.entryLine, static_cast<LONG>(i + 1),
                          cursor->KeyPath);
        if (!IsWellFormedKeyPath(cursor->KeyPath)) {
            WriteLogLine("ERROR:: (Invalid Key Path)\r\n");
            if (result == 0)
                result = kRegistryPathRefused;
            continue;
        }
        bool removed = DeleteRegistryTree(root.key, cursor->KeyPath, KEY_ALL_ACCESS);
        if (cursor->Kind == kMachineRoot && !DeleteIn64BitView(cursor->KeyPath))
            removed = false;
        if (!removed && result == 0)
            result = kRegistryKeyRemains;
    }
    return result;
}

bool DeleteRegistryTree(HKEY parent, const char *path, REGSAM access) {
    KeyDeletion deletion = LookUpKeyDeletion(parent, path, access, NULL);
    return DeleteTree(parent, path, deletion);
}
