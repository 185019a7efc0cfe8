#include "removers/tree_walk.h"

#include <cstdint>
#include <cstring>

#include "core/bounded_format.h"
#include "core/run_state.h"
#include "core/trace_log.h"
#include "removers/handle_operations.h"

namespace {

const char kDeleted[] = "SUCCESS:: Deleted\r\n";
const char kMarked[] = "Marked for Deletion\r\n";
const char kReparsePoint[] = "INFO:: (Reparse Point) Removing Link Only\r\n";

// A name on the way, as wide characters: no longer than the path buffer.
constexpr size_t kNameChars = 1024;

// A name's ANSI form: up to two bytes for each of its 255 wide characters.
constexpr int kAnsiNameChars = 512;

// Each folder level adds a separator and a name to the path.
constexpr size_t kMaxLevels = kFolderPathChars / 2;

// One part of a folder's listing: a few records, kept on the stack while the
// level's children are removed (with the recursion, what each level keeps).
constexpr ULONG kListingBytes = 1024;

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

// A path with the exact wide names of what the walk reached: what is
// queued for the restart, where an ANSI form could name another item.
struct WidePath {
    WCHAR text[kFolderPathChars];
    size_t length;
};

// Appends `name` after a separator (none after one already there); false,
// with the path as it was, when the result would not fit.
bool AppendWide(WidePath &path, const WCHAR *name, size_t length) {
    const bool separator = path.length > 0 && path.text[path.length - 1] != '\\';
    if (path.length + (separator ? 1 : 0) + length >= kFolderPathChars)
        return false;
    if (separator)
        path.text[path.length++] = '\\';
    std::memcpy(path.text + path.length, name, length * sizeof(WCHAR));
    path.length += length;
    return true;
}

// Every formatted line of the stage goes through its own buffer.
void LogText(const char *format, const char *text) {
    WriteLogFormatted(g_run.fileLogLine, kLogLineChars, format, text);
}

// A line that prints an error: the thread's last error is set to it, as the
// Win32 call that failed would have left it.
void LogError(const char *format, DWORD error) {
    SetLastError(error);
    WriteLogFormatted(g_run.fileLogLine, kLogLineChars, format, static_cast<int32_t>(error));
}

bool HasSeparator(const char *text) {
    for (const char *p = text; *p != '\0'; ++p) {
        if (IsSeparator(*p))
            return true;
        if (IsDBCSLeadByte(static_cast<BYTE>(*p)) && p[1] != '\0')
            ++p;
    }
    return false;
}

// ---- the path walk: from the anchor to one listed item ----

// What ended a walk along a path that did not reach its item.
enum class PathEnd {
    kReached,
    kFailed,      // an error: the item or a folder on the way is absent, or refused
    kLinkOnTheWay // a link that is not one of Windows' own
};

// Windows' own compatibility links, which a location's folder holds for
// programs written before Vista ("Junction Points and Backup Applications"):
// ProgramData's and a user profile's, and the drive's "Documents and
// Settings". A path may cross one only as its first name below the
// location's folder.
const char *const kWindowsLinkNames[] = {
    "Application Data", "Cookies",      "Desktop",   "Documents", "Documents and Settings",
    "Local Settings",   "My Documents", "NetHood",   "PrintHood", "Recent",
    "SendTo",           "Start Menu",   "Templates",
};

bool IsWindowsLinkName(const char *component, size_t length) {
    for (const char *name : kWindowsLinkNames)
        if (std::strlen(name) == length && StrCmpNIA(component, name, static_cast<int>(length)) == 0)
            return true;
    return false;
}

struct PathWalk {
    const NtFileCalls *nt;
    HANDLE folder;          // the folder reached
    WCHAR name[kNameChars]; // the current name's wide form
    bool belowAnchor;       // the folder reached is the location's own
    DWORD error;            // why the walk failed
    bool checkOwners;       // of every folder passed below the anchor
    bool ownersTrusted;     // every such folder's owner is one no standard user can be
    WidePath *resolved;     // what the walk reached, by exact names; may be null
    bool resolvedFits;
};

// Adds a name to what the walk reached.
void Resolve(PathWalk &walk, const WCHAR *name, size_t length) {
    if (walk.resolved != nullptr && !AppendWide(*walk.resolved, name, length))
        walk.resolvedFits = false;
}

// The length in bytes of the component at `component`, up to a separator or
// the end; the trail byte of a double-byte character separates nothing.
size_t ComponentLength(const char *component) {
    size_t length = 0;
    while (component[length] != '\0' && !IsSeparator(component[length]))
        length += IsDBCSLeadByte(static_cast<BYTE>(component[length])) && component[length + 1] != '\0' ? 2 : 1;
    return length;
}

// Converts the component into walk.name; returns its length, or 0 when the
// component has no wide form that fits (the conversion fails with 0, and
// does for an empty component).
size_t WideName(PathWalk &walk, const char *component, size_t length) {
    return static_cast<size_t>(MultiByteToWideChar(CP_ACP, 0, component, static_cast<int>(length), walk.name,
                                                   static_cast<int>(kNameChars - 1)));
}

// Moves the walk into the folder `next`, opened (or not) with `error`: a
// link found there ends the walk; a folder passed has its owner judged.
PathEnd Enter(PathWalk &walk, HANDLE next, DWORD error) {
    CloseHandle(walk.folder);
    walk.folder = next;
    walk.belowAnchor = false;
    if (error != 0) {
        walk.error = error == ERROR_FILE_NOT_FOUND ? ERROR_PATH_NOT_FOUND : error;
        return PathEnd::kFailed;
    }
    if (HandleIsLink(*walk.nt, next))
        return PathEnd::kLinkOnTheWay;
    if (walk.checkOwners && !OwnedByTrustedPrincipal(*walk.nt, next))
        walk.ownersTrusted = false;
    return PathEnd::kReached;
}

// Moves the walk past the folder `component` (its wide form in walk.name,
// `nameLength` characters): into it, or, when it is one of Windows' own
// links right below the location's folder, into the target read from the
// link's own handle; the link is never opened by name again. Any other
// link ends the walk.
PathEnd PassFolder(PathWalk &walk, const char *component, size_t length, size_t nameLength, const EntryFacts &facts) {
    HANDLE next = NULL;
    if (!IsLinkEntry(facts.attributes, facts.tag)) {
        Resolve(walk, walk.name, nameLength);
        return Enter(walk, next, OpenFolder(*walk.nt, walk.folder, walk.name, nameLength, &next));
    }
    static LinkTarget target; // one walk at a time
    if (!walk.belowAnchor || !IsWindowsLinkName(component, length) ||
        !ReadSystemLinkTarget(*walk.nt, walk.folder, walk.name, nameLength, &target))
        return PathEnd::kLinkOnTheWay;
    // What the walk reached is now the target's path.
    if (walk.resolved != nullptr)
        walk.resolved->length = 0;
    Resolve(walk, target.wide, target.wideLength);
    return Enter(walk, next, OpenAnchor(target.ansi, &next));
}

// Opens the item that `path` names below its first `anchorLength`
// characters, with its file id. A failure's error is in item->openError:
// ERROR_PATH_NOT_FOUND for a missing folder on the way, the open's error for
// the item itself. With `foldersTrusted`, says whether every folder passed
// below the anchor has an owner no standard user can be; with `resolved`,
// gives the path of what was reached by exact wide names (through the
// target of a Windows link crossed), or reaches nothing when it does not fit.
PathEnd OpenAlongPath(const NtFileCalls &nt, const char *path, size_t anchorLength, ItemKind kind, WalkItem *item,
                      bool *foldersTrusted = nullptr, WidePath *resolved = nullptr) {
    *item = WalkItem{};
    char anchor[1024];
    if (anchorLength >= sizeof anchor) {
        item->openError = ERROR_INVALID_NAME;
        return PathEnd::kFailed;
    }
    std::memcpy(anchor, path, anchorLength);
    anchor[anchorLength] = '\0';
    // A bare name: in the current folder.
    if (anchorLength == 0)
        std::memcpy(anchor, ".", 2);
    PathWalk walk;
    walk.nt = &nt;
    walk.belowAnchor = true;
    walk.checkOwners = foldersTrusted != nullptr;
    walk.ownersTrusted = true;
    walk.resolved = resolved;
    walk.resolvedFits = true;
    if (resolved != nullptr) {
        int wide = MultiByteToWideChar(CP_ACP, 0, anchor, -1, resolved->text, static_cast<int>(kFolderPathChars));
        resolved->length = wide > 0 ? static_cast<size_t>(wide - 1) : 0;
        walk.resolvedFits = wide > 0;
    }
    walk.error = OpenAnchor(anchor, &walk.folder);
    const char *component = path + anchorLength;
    PathEnd end = walk.error == 0 ? PathEnd::kReached : PathEnd::kFailed;
    while (end == PathEnd::kReached) {
        while (IsSeparator(*component))
            ++component;
        size_t length = ComponentLength(component);
        bool last = component[length] == '\0';
        size_t nameLength = WideName(walk, component, length);
        EntryFacts facts = {};
        walk.error = nameLength == 0 ? ERROR_INVALID_NAME : LookUpEntry(nt, walk.folder, walk.name, nameLength, &facts);
        if (walk.error != 0) {
            if (!last && walk.error == ERROR_FILE_NOT_FOUND)
                walk.error = ERROR_PATH_NOT_FOUND;
            break;
        }
        if (last) {
            item->id = facts.id;
            Resolve(walk, walk.name, nameLength);
            OpenChild(nt, walk.folder, walk.name, nameLength, kind, facts.attributes, facts.tag, item);
            CloseHandle(walk.folder);
            if (foldersTrusted != nullptr)
                *foldersTrusted = walk.ownersTrusted;
            if (!walk.resolvedFits) {
                CloseItem(item);
                item->openError = ERROR_FILENAME_EXCED_RANGE;
            }
            return item->handle != NULL ? PathEnd::kReached : PathEnd::kFailed;
        }
        end = PassFolder(walk, component, length, nameLength, facts);
        if (end == PathEnd::kLinkOnTheWay)
            break;
        component += length;
    }
    if (walk.folder != NULL)
        CloseHandle(walk.folder);
    if (end == PathEnd::kLinkOnTheWay)
        return end;
    item->openError = walk.error;
    return PathEnd::kFailed;
}

// ---- the restart queue ----

// Queues `path`, a full path, for deletion at the restart in the "\\?\"
// form and by its exact wide names, which Windows records as they stand:
// made full, a path loses each component's trailing dots and blanks
// ("Naming Files, Paths, and Namespaces"), and "x.\f" would be recorded as
// "x\f", another item; an ANSI name may stand for another item too.
bool QueueAsItStands(const WidePath &path) {
    WCHAR verbatim[kFolderPathChars + 4] = {'\\', '\\', '?', '\\'};
    std::memcpy(verbatim + 4, path.text, path.length * sizeof(WCHAR));
    verbatim[4 + path.length] = 0;
    return MoveFileExW(verbatim, NULL, MOVEFILE_DELAY_UNTIL_REBOOT) != FALSE;
}

bool AlreadyQueued(LONGLONG id) {
    for (DWORD i = 0; i < g_run.queuedItemCount; ++i)
        if (g_run.queuedItems[i] == id)
            return true;
    return false;
}

// Queues the item at `path` (its file id `id`, 0 when unknown) for deletion
// at the restart, once in a run; the run's count of queued items counts it
// when `counted`.
bool QueueOnce(const WidePath &path, LONGLONG id, bool counted = true) {
    if (id != 0 && AlreadyQueued(id))
        return true;
    if (!QueueAsItStands(path))
        return false;
    if (counted)
        ++g_run.tally.filesQueued;
    if (id != 0 && g_run.queuedItemCount < kQueuedItemsKept)
        g_run.queuedItems[g_run.queuedItemCount++] = id;
    return true;
}

// ---- the tree ----

// An item of the tree as its parent's listing gave it: its exact wide name
// (in that listing, which outlives everything below it) and its file id.
struct Listed {
    const WCHAR *wide;
    size_t wideLength;
    LONGLONG id;
};

// A folder open in the walk, from the listed one (level 0, reached from the
// anchor) down to the current one.
struct Level {
    HANDLE handle;
    Listed listed;
    bool takenOver;       // before anything below it is queued
    LONGLONG placeholder; // the file id of the placeholder kept in it, once something in it is queued
};

// One walk through a folder tree: the path of the current item, built in
// place level by level, for the log and the restart queue; the items
// themselves are reached through handles only.
struct TreeWalk {
    char path[kFolderPathChars];   // the ANSI path the log shows
    WidePath wide;                 // the same by exact wide names: what is queued
    char name[kAnsiNameChars + 1]; // the current child's ANSI name, until it is in the path
    const FolderTreeOptions *options;
    NtFileCalls nt;
    size_t anchorLength, listedLength; // of the path: the anchor's part, the listed folder's
    LONGLONG listedId;                 // the listed folder's file id
    Level levels[kMaxLevels];
    size_t depth;
    // The error of the walk's last failed call: the line after a folder's
    // removal prints it, as the thread's last error would show it then (the
    // end of the folder's listing, ERROR_NO_MORE_FILES, after most).
    DWORD lastError;
};

// True when the item opened for its attributes is still the item `id`, and
// no longer read-only, which the restart could not delete. Closes it.
bool MadeDeletable(const NtFileCalls &nt, WalkItem &item, LONGLONG id, bool linkAllowed) {
    bool deletable = item.handle != NULL && item.id == id && (linkAllowed || !item.link) && ClearReadOnly(nt, item);
    CloseItem(&item);
    return deletable;
}

// True when the path still leads from the anchor, through no link, to the
// listed folder the walk holds, and the folder is deletable at the restart.
// The folders on the way are not the walk's to take over: they hold others'
// items (ProgramData\Microsoft\Windows\Start Menu, Windows\Installer). A
// standard user can rename or replace none of them unless it is their own,
// so each must have an owner no standard user can be.
bool ListedFolderStillReached(TreeWalk &walk) {
    char listed[kFolderPathChars];
    CopyBounded(listed, sizeof listed, walk.path);
    listed[walk.listedLength] = '\0';
    WalkItem item;
    bool foldersTrusted = false;
    OpenAlongPath(walk.nt, listed, walk.anchorLength, ItemKind::Attributes, &item, &foldersTrusted);
    return MadeDeletable(walk.nt, item, walk.listedId, false) && foldersTrusted;
}

// Makes the path of the item at walk.path one that names it at the restart
// too: every folder above it in the tree is first taken over (then no one
// else can change them), and then the path is checked to be still what the
// walk holds; the item's read-only attribute, which would keep it at the
// restart, is cleared. `item`: as its folder listed it, or null
// for the listed folder itself.
bool PathHeld(TreeWalk &walk, const Listed *item) {
    for (size_t level = 0; level < walk.depth; ++level) {
        Level &l = walk.levels[level];
        // The listed folder's owner, as found before the walk took it, may
        // not be a standard user: they could rename it away through a
        // handle opened earlier and put a junction in its place, in the
        // folder above, where users may add folders.
        if (!l.takenOver && level == 0 && !OwnedByTrustedPrincipal(walk.nt, l.handle))
            return false;
        if (!l.takenOver && !TakeOverFolder(walk.nt, l.handle))
            return false;
        l.takenOver = true;
    }
    if (!ListedFolderStillReached(walk))
        return false;
    for (size_t level = 1; level <= walk.depth; ++level) {
        const Listed *listed = level < walk.depth ? &walk.levels[level].listed : item;
        if (listed != nullptr && !StillListedAs(walk.nt, walk.levels[level - 1].handle, listed->wide,
                                                listed->wideLength, listed->id, level == walk.depth))
            return false;
    }
    if (item == nullptr)
        return true;
    WalkItem child;
    OpenChild(walk.nt, walk.levels[walk.depth - 1].handle, item->wide, item->wideLength, ItemKind::Attributes, 0, 0,
              &child);
    return MadeDeletable(walk.nt, child, item->id, true);
}

// Queues the item at walk.path for deletion at the restart, once its path
// is held; where it cannot be, it is not queued, as when queuing fails.
bool QueueInTree(TreeWalk &walk, const Listed *item) {
    if (!PathHeld(walk, item))
        return false;
    // The folder holding the item keeps a placeholder from now on.
    if (item != nullptr) {
        Level &folder = walk.levels[walk.depth - 1];
        if (folder.placeholder == 0 && !KeepPlaceholder(walk.nt, folder.handle, &folder.placeholder))
            return false;
    }
    if (!QueueOnce(walk.wide, item != nullptr ? item->id : walk.listedId))
        return false;
    // An item queued already is only logged as marked again.
    WriteLogLine(kMarked);
    ++g_run.itemsMarked;
    return true;
}

// Queues the placeholder of the folder at walk.wide, the level just left;
// it is not the run's to count.
bool QueuePlaceholder(TreeWalk &walk) {
    static WidePath path; // one walk at a time
    path = walk.wide;
    return AppendWide(path, kPlaceholderName, kPlaceholderChars) &&
           QueueOnce(path, walk.levels[walk.depth].placeholder, false);
}

// Appends `separator` and `name` at `length`; false, with the path as it
// was, when the result would not fit.
bool AppendAt(TreeWalk &walk, size_t length, const char *separator, const char *name, size_t *newLength) {
    size_t total = length + std::strlen(separator) + std::strlen(name);
    if (total >= kFolderPathChars)
        return false;
    FormatBounded(walk.path + length, kFolderPathChars - length, "%s%s", separator, name);
    *newLength = total;
    return true;
}

LONG RemoveLevel(TreeWalk &walk, size_t length, WalkItem &item, const Listed *listed);

// A file inside the tree. Sets *stop when queuing failed: the folder's
// enumeration ends there.
LONG RemoveFileInTree(TreeWalk &walk, const char *name, WalkItem &item, const Listed &listed, bool link, bool *stop) {
    LogText("FILENAME:: %s\r\n", name);
    if (link)
        WriteLogLine(kReparsePoint);
    DWORD error = DeleteItem(walk.nt, &item);
    if (error == 0) {
        WriteLogLine(kDeleted);
        ++g_run.tally.files;
        return 0;
    }
    walk.lastError = error;
    // Gone meanwhile: nothing stays. Any other refusal leaves it in place,
    // which the result must say although no line does.
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
        return 0;
    if (error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED)
        return kLeftInPlace;
    LogError("INFO:: (Deleting file) %d\r\n", error);
    if (QueueInTree(walk, &listed))
        return 0;
    *stop = true;
    return walk.options->queueFailure;
}

bool IsDotEntry(const NtDirEntry &entry) {
    size_t length = entry.fileNameLength / sizeof(WCHAR);
    return (length == 1 || length == 2) && entry.fileName[0] == '.' && entry.fileName[length - 1] == '.';
}

// True for the placeholder that the walk keeps in the folder it lists.
bool IsKeptPlaceholder(const TreeWalk &walk, const NtDirEntry &entry) {
    return walk.levels[walk.depth - 1].placeholder == entry.fileId;
}

// The child that a listing record of the folder at walk.path describes.
LONG RemoveChild(TreeWalk &walk, size_t length, HANDLE folder, const NtDirEntry &entry, bool *stop) {
    size_t wideLength = entry.fileNameLength / sizeof(WCHAR);
    // The name as the ANSI listing gives it, for the log and the path.
    char *name = walk.name;
    int nameLength =
        WideCharToMultiByte(CP_ACP, 0, entry.fileName, static_cast<int>(wideLength), name, kAnsiNameChars, NULL, NULL);
    name[nameLength] = '\0'; // 0 for a failure
    // An ANSI form can hold separators or dots that the wide name does not
    // (best-fit): its path would name another item.
    if (HasSeparator(name) || IsStepComponent(name, std::strlen(name))) {
        LogText("ERROR:: (Invalid Name) %s\r\n", name);
        return kNameRefused;
    }
    size_t childLength = 0;
    if (!AppendAt(walk, length, "\\", name, &childLength)) {
        LogText("ERROR:: (Path Too Long) %s\r\n", name);
        return kNotProcessed;
    }
    if (!AppendWide(walk.wide, entry.fileName, wideLength)) {
        LogText("ERROR:: (Path Too Long) %s\r\n", name);
        return kNotProcessed;
    }
    Listed listed = {entry.fileName, wideLength, entry.fileId};
    WalkItem item;
    if (entry.fileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        OpenChild(walk.nt, folder, entry.fileName, wideLength, ItemKind::Folder, entry.fileAttributes, entry.eaSize,
                  &item);
        return RemoveLevel(walk, childLength, item, &listed);
    }
    OpenChild(walk.nt, folder, entry.fileName, wideLength, ItemKind::File, entry.fileAttributes, entry.eaSize, &item);
    return RemoveFileInTree(walk, name, item, listed, IsLinkEntry(entry.fileAttributes, entry.eaSize), stop);
}

LONG RemoveContents(TreeWalk &walk, size_t length, HANDLE folder) {
    alignas(8) char listing[kListingBytes];
    LONG status = 0;
    bool stop = false;
    DWORD end = 0;
    for (bool restart = true; !stop && (end = ListFolder(walk.nt, folder, listing, kListingBytes, restart)) == 0;
         restart = false) {
        for (const char *record = listing; !stop;) {
            const NtDirEntry &entry = *reinterpret_cast<const NtDirEntry *>(record);
            if (!IsDotEntry(entry) && !IsKeptPlaceholder(walk, entry)) {
                const size_t wideLength = walk.wide.length;
                LONG result = RemoveChild(walk, length, folder, entry, &stop);
                walk.path[length] = '\0';
                walk.wide.length = wideLength;
                // A later success never hides an earlier failure.
                if (result != 0)
                    status = result;
            }
            if (entry.nextEntryOffset == 0)
                break;
            record += entry.nextEntryOffset;
        }
    }
    if (end != 0)
        walk.lastError = end;
    // A folder that cannot be listed keeps what it holds; its own removal is
    // still tried, and fails unless it was empty. (A listing with no entry
    // at all, not even ".", ends with ERROR_FILE_NOT_FOUND.)
    if (!stop && end != ERROR_NO_MORE_FILES && end != ERROR_FILE_NOT_FOUND && status == 0)
        status = kLeftInPlace;
    return status;
}

// The folder at walk.path (of `length` characters), opened as `item`: its
// contents unless it is a link, then the folder itself. `listed`: as its
// folder listed it; null for the listed folder.
LONG RemoveLevel(TreeWalk &walk, size_t length, WalkItem &item, const Listed *listed) {
    LONG status = 0;
    DWORD markedBefore = g_run.itemsMarked;
    if (!item.link && item.handle != NULL) {
        // The search pattern "<folder>\*" must fit, or nothing is done here.
        if (length + 2 >= kFolderPathChars || walk.depth == kMaxLevels) {
            CloseItem(&item);
            return kNotProcessed;
        }
        walk.levels[walk.depth++] = {item.handle, listed != nullptr ? *listed : Listed{}, false, 0};
        status = RemoveContents(walk, length, item.handle);
        --walk.depth;
        // The placeholder goes after what it kept, and before its folder.
        if (walk.levels[walk.depth].placeholder != 0 && !QueuePlaceholder(walk))
            status = walk.options->queueFailure;
    }
    const FolderTreeOptions &options = *walk.options;
    LogText("DIRNAME:: %s\r\n", walk.path);
    if (item.link)
        WriteLogLine(kReparsePoint);
    DWORD error = DeleteItem(walk.nt, &item);
    if (error != 0)
        walk.lastError = error;
    if (options.logEveryRemoval)
        LogError("INFO:: (Deleting Dir) %d\r\n", walk.lastError);
    if (error == 0) {
        WriteLogLine(kDeleted);
        ++g_run.tally.files;
        return status;
    }
    // Kept only by what was queued inside it: queued after them, the
    // restart removes it emptied.
    bool keptByQueued = error == ERROR_DIR_NOT_EMPTY && status == 0 && g_run.itemsMarked > markedBefore;
    if (error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED && !keptByQueued) {
        // Absent: nothing to remove. Anything else stays.
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
            return status;
        return status != 0 ? status : kLeftInPlace;
    }
    if (!options.logEveryRemoval)
        LogError("INFO:: (Deleting Dir) %d\r\n", error);
    return QueueInTree(walk, listed) ? status : options.queueFailure;
}

} // namespace

bool IsStepComponent(const char *component, size_t length) {
    for (size_t i = 0; i < length; ++i)
        if (component[i] != '.' && component[i] != ' ')
            return false;
    return true;
}

LONG RefusePath(const char *path) {
    LogText("ERROR:: (Invalid Path) %s\r\n", path);
    return kPathRefused;
}

LONG RemoveTreeAt(const char *folder, size_t anchorLength, const FolderTreeOptions &options) {
    TreeWalk walk;
    walk.options = &options;
    walk.depth = 0;
    walk.lastError = GetLastError();
    walk.anchorLength = anchorLength;
    size_t length = 0;
    if (!AppendAt(walk, 0, "", folder, &length))
        return kNotProcessed;
    walk.listedLength = length;
    if (!LookUpNtFileCalls(&walk.nt))
        return RefusePath(folder);
    WalkItem item;
    // Absent or unreachable: its removal reports why.
    walk.wide.length = 0;
    if (OpenAlongPath(walk.nt, walk.path, anchorLength, ItemKind::Folder, &item, nullptr, &walk.wide) ==
        PathEnd::kLinkOnTheWay)
        return RefusePath(folder);
    walk.listedId = item.id;
    return RemoveLevel(walk, length, item, nullptr);
}

LONG DeleteListedFile(const char *path, size_t anchorLength) {
    NtFileCalls nt;
    if (!LookUpNtFileCalls(&nt))
        return RefusePath(path);
    WalkItem item;
    PathEnd end = OpenAlongPath(nt, path, anchorLength, ItemKind::File, &item);
    if (end == PathEnd::kLinkOnTheWay)
        return RefusePath(path);
    DWORD error = DeleteItem(nt, &item);
    if (error == 0) {
        ++g_run.tally.files;
        return 0;
    }
    // Absent, with or without its folder: nothing left to delete.
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
        return 0;
    if (error != ERROR_SHARING_VIOLATION)
        return kFileRefused;
    // Its path must name it at the restart too: every folder on it must
    // have an owner no standard user can be.
    LONGLONG id = item.id;
    bool foldersTrusted = false;
    static WidePath resolved; // one walk at a time
    bool reached = OpenAlongPath(nt, path, anchorLength, ItemKind::Attributes, &item, &foldersTrusted, &resolved) ==
                   PathEnd::kReached;
    if (!reached || !MadeDeletable(nt, item, id, true) || !foldersTrusted)
        return kQueueFailed;
    return QueueOnce(resolved, id) ? 0 : kQueueFailed;
}
