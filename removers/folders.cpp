#include "removers/folders.h"

#include <cstdint>
#include <cstring>

#include "core/bounded_format.h"
#include "core/run_state.h"
#include "core/trace_log.h"
#include "removers/folder_walk.h"
#include "removers/wow64.h"

const FolderTreeOptions kFolderStageTree = {kQueueFailed, true};
const FolderTreeOptions kInstanceFolderTree = {kNotProcessed, false};

namespace {

const char kInvalidString[] = "ERROR:: Invalid String Encountered\r\nEXITING..\r\n";
const char kDeleted[] = "SUCCESS:: Deleted\r\n";
const char kMarked[] = "Marked for Deletion\r\n";
const char kReparsePoint[] = "INFO:: (Reparse Point) Removing Link Only\r\n";

// A composed path keeps within 511 characters, whatever the buffer holds.
constexpr size_t kComposedPathChars = 512;

enum class Target { FolderTree, File, DriverFile };

struct Location {
    const char *prefix; // expanded in front of the entry's path; NULL: the path is complete
    Target target;
    DWORD skipLength; // the expansion's length when the variable is not defined; 0: never skipped
};

// By location code 1 to 10. A skip length is the template's own length plus
// its terminator: an undefined variable stays as typed.
const Location kLocations[] = {
    {"%PROGRAMFILES%\\", Target::FolderTree, 0},
    {"%WINDIR%\\", Target::FolderTree, 0},
    {"%WINDIR%\\system32\\drivers\\", Target::DriverFile, 0},
    {NULL, Target::File, 0},
    {NULL, Target::FolderTree, 0},
    {"%ALLUSERSPROFILE%\\", Target::FolderTree, 19},
    {"%ALLUSERSPROFILE%\\", Target::File, 19},
    {"%USERPROFILE%\\", Target::FolderTree, 15},
    {"%USERPROFILE%\\", Target::File, 15},
    {"%PUBLIC%\\", Target::File, 10},
};
const char kProgramFilesFallback[] = "%PROGRAMFILES(x86)%\\";
const char *const kCodePrefixes[] = {"1\\", "2\\", "3\\", "4\\", "5\\", "6\\", "7\\", "8\\", "9\\", "10\\"};

// Every formatted line of the stage goes through its own buffer.
void LogText(const char *format, const char *text) {
    WriteLogFormatted(g_run.fileLogLine, kLogLineChars, format, text);
}

void LogError(const char *format, DWORD error) {
    WriteLogFormatted(g_run.fileLogLine, kLogLineChars, format, static_cast<int32_t>(error));
}

// Queues `path`, a full path, for deletion at the restart in the "\\?\"
// form, which Windows records as it stands: made full, a path loses each
// component's trailing dots and blanks ("Naming Files, Paths, and
// Namespaces"), and "x.\f" would be recorded as "x\f", another item.
bool QueueAsItStands(const char *path) {
    char verbatim[kFolderPathChars + 4];
    return FormatBounded(verbatim, sizeof verbatim, "\\\\?\\%s", path) == kFormatOk &&
           MoveFileExA(verbatim, NULL, MOVEFILE_DELAY_UNTIL_REBOOT);
}

bool AlreadyQueued(LONGLONG id) {
    for (DWORD i = 0; i < g_run.queuedItemCount; ++i)
        if (g_run.queuedItems[i] == id)
            return true;
    return false;
}

// Queues the item at `path` (its file id `id`, 0 when unknown) for deletion
// at the restart and counts it, once in a run: an item queued already is
// only logged as marked again.
bool Queue(const char *path, LONGLONG id) {
    if (id == 0 || !AlreadyQueued(id)) {
        if (!QueueAsItStands(path))
            return false;
        ++g_run.tally.filesQueued;
        if (id != 0 && g_run.queuedItemCount < kQueuedItemsKept)
            g_run.queuedItems[g_run.queuedItemCount++] = id;
    }
    WriteLogLine(kMarked);
    ++g_run.itemsMarked;
    return true;
}

// A component that Windows would not take as a plain name: empty, or only
// dots and blanks ("." and ".." step out of place; Windows drops trailing
// dots and blanks, so "..." and ". ." are no safer).
bool IsStepComponent(const char *component, size_t length) {
    for (size_t i = 0; i < length; ++i)
        if (component[i] != '.' && component[i] != ' ')
            return false;
    return true;
}

// True when every component of the path is a plain name: the path is not
// empty, does not end with a separator and never steps to a parent. The
// trail byte of a double-byte character separates nothing.
bool NamesOneTarget(const char *path) {
    const char *component = path;
    for (const char *p = path;; ++p) {
        if (*p != '\\' && *p != '/' && *p != '\0') {
            if (IsDBCSLeadByte(static_cast<BYTE>(*p)) && p[1] != '\0')
                ++p;
            continue;
        }
        if (IsStepComponent(component, static_cast<size_t>(p - component)))
            return false;
        if (*p == '\0')
            return true;
        component = p + 1;
    }
}

// One walk through a folder tree: the path of the current item, built in
// place level by level, for the log and the restart queue; the items
// themselves are reached through handles only.
// A name's ANSI form: up to two bytes for each of its 255 wide characters.
constexpr int kAnsiNameChars = 512;

// Each folder level adds a separator and a name to the path.
constexpr size_t kMaxLevels = kFolderPathChars / 2;

// An item of the tree as its parent's listing gave it: its exact wide name
// (in that listing, which outlives everything below it), its file id, and
// whether its ANSI name in the path turns back into that wide name, so that
// the path names it and no twin.
struct Listed {
    const WCHAR *wide;
    size_t wideLength;
    LONGLONG id;
    bool exactName;
};

// A folder open in the walk, from the listed one (level 0, reached from the
// anchor) down to the current one.
struct Level {
    HANDLE handle;
    Listed listed;
    bool takenOver; // before anything below it is queued
};

struct TreeWalk {
    char path[kFolderPathChars];
    char name[kAnsiNameChars + 1]; // the current child's ANSI name, until it is in the path
    const FolderTreeOptions *options;
    NtFileCalls nt;
    size_t anchorLength, listedLength; // of the path: the anchor's part, the listed folder's
    LONGLONG listedId;                 // the listed folder's file id
    Level levels[kMaxLevels];
    size_t depth;
};

// True when the path still leads from the anchor, through no link, to the
// listed folder the walk holds. The folders on the way are not the walk's to
// take over: they hold others' items (ProgramData\Microsoft\Windows\Start
// Menu, Windows\Installer), and a standard user can rename none of them
// unless it is their own.
bool ListedFolderStillReached(TreeWalk &walk) {
    char listed[kFolderPathChars];
    CopyBounded(listed, sizeof listed, walk.path);
    listed[walk.listedLength] = '\0';
    WalkItem item;
    bool linkOnTheWay = false;
    bool reached = OpenAlongPath(walk.nt, listed, walk.anchorLength, ItemKind::Folder, &item, &linkOnTheWay);
    reached = reached && !item.link && item.id == walk.listedId;
    CloseItem(&item);
    return reached;
}

// Queues the item at walk.path for deletion at the restart: `item` as its
// folder listed it, or null for the listed folder itself. Its path must name
// it at the restart too, so every folder above it in the tree is first taken
// over (then no one else can change them), and then the path is checked to
// be still what the walk holds. Where that cannot be had, or the ANSI path
// would name a twin, it is not queued, as when queuing fails.
bool QueueInTree(TreeWalk &walk, const Listed *item) {
    // The checks must not change the last error that later lines report.
    DWORD lastError = GetLastError();
    if (item != nullptr && !item->exactName)
        return false;
    for (size_t level = 1; level < walk.depth; ++level)
        if (!walk.levels[level].listed.exactName)
            return false;
    for (size_t level = 0; level < walk.depth; ++level) {
        Level &l = walk.levels[level];
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
    SetLastError(lastError);
    return Queue(walk.path, item != nullptr ? item->id : walk.listedId);
}

// One part of a folder's listing: a few records, kept on the stack while the
// level's children are removed (with the recursion, what each level keeps).
constexpr ULONG kListingBytes = 1024;

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
    if (DeleteItem(walk.nt, &item)) {
        WriteLogLine(kDeleted);
        ++g_run.tally.files;
        return 0;
    }
    DWORD error = GetLastError();
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

// True when the ANSI name turns back into exactly the wide name: a path
// built of it names this item, not a twin that the same ANSI form names.
bool TurnsBackInto(const char *name, const WCHAR *wide, size_t wideLength) {
    WCHAR back[kAnsiNameChars];
    int backLength = MultiByteToWideChar(CP_ACP, 0, name, -1, back, kAnsiNameChars);
    return backLength > 0 && static_cast<size_t>(backLength - 1) == wideLength &&
           std::memcmp(back, wide, wideLength * sizeof(WCHAR)) == 0;
}

bool IsDotEntry(const NtDirEntry &entry) {
    size_t length = entry.fileNameLength / sizeof(WCHAR);
    return (length == 1 || length == 2) && entry.fileName[0] == '.' && entry.fileName[length - 1] == '.';
}

// The child that a listing record of the folder at walk.path describes.
LONG RemoveChild(TreeWalk &walk, size_t length, HANDLE folder, const NtDirEntry &entry, bool *stop) {
    size_t wideLength = entry.fileNameLength / sizeof(WCHAR);
    // The name as the ANSI listing gives it, for the log and the path.
    char *name = walk.name;
    int nameLength =
        WideCharToMultiByte(CP_ACP, 0, entry.fileName, static_cast<int>(wideLength), name, kAnsiNameChars, NULL, NULL);
    name[nameLength > 0 ? nameLength : 0] = '\0';
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
    Listed listed = {entry.fileName, wideLength, entry.fileId, TurnsBackInto(name, entry.fileName, wideLength)};
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
    bool restart = true;
    for (; !stop && ListFolder(walk.nt, folder, listing, kListingBytes, restart); restart = false) {
        for (const char *record = listing; !stop;) {
            const NtDirEntry &entry = *reinterpret_cast<const NtDirEntry *>(record);
            if (!IsDotEntry(entry)) {
                LONG result = RemoveChild(walk, length, folder, entry, &stop);
                walk.path[length] = '\0';
                // A later success never hides an earlier failure.
                if (result != 0)
                    status = result;
            }
            if (entry.nextEntryOffset == 0)
                break;
            record += entry.nextEntryOffset;
        }
    }
    // A folder that cannot be listed keeps what it holds; its own removal is
    // still tried, and fails unless it was empty. (A listing with no entry
    // at all, not even ".", ends with ERROR_FILE_NOT_FOUND.)
    DWORD end = GetLastError();
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
        walk.levels[walk.depth++] = {item.handle, listed != nullptr ? *listed : Listed{}, false};
        status = RemoveContents(walk, length, item.handle);
        --walk.depth;
    }
    const FolderTreeOptions &options = *walk.options;
    LogText("DIRNAME:: %s\r\n", walk.path);
    if (item.link)
        WriteLogLine(kReparsePoint);
    bool removed = DeleteItem(walk.nt, &item);
    DWORD error = GetLastError();
    if (options.logEveryRemoval)
        LogError("INFO:: (Deleting Dir) %d\r\n", error);
    if (removed) {
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

// What ends an entry whose path passes through a link, or that this system
// cannot walk safely.
LONG RefusePath(const char *path) {
    LogText("ERROR:: (Invalid Path) %s\r\n", path);
    return kPathRefused;
}

// The folder tree at `folder`, reached from its first `anchorLength` characters.
LONG RemoveTreeAt(const char *folder, size_t anchorLength, const FolderTreeOptions &options) {
    TreeWalk walk;
    walk.options = &options;
    walk.depth = 0;
    walk.anchorLength = anchorLength;
    size_t length = 0;
    walk.path[0] = '\0';
    if (!AppendAt(walk, 0, "", folder, &length))
        return kNotProcessed;
    walk.listedLength = length;
    if (!LookUpNtFileCalls(&walk.nt))
        return RefusePath(folder);
    WalkItem item;
    bool linkOnTheWay = false;
    bool opened = OpenAlongPath(walk.nt, walk.path, anchorLength, ItemKind::Folder, &item, &linkOnTheWay);
    walk.listedId = item.id;
    if (!opened) {
        if (linkOnTheWay)
            return RefusePath(folder);
        // Absent or unreachable: its removal reports why.
        item.openError = GetLastError();
    }
    return RemoveLevel(walk, length, item, nullptr);
}

// The single-file deletion: no log line on any path but a refused one.
LONG DeleteListedFile(const char *path, size_t anchorLength) {
    NtFileCalls nt;
    if (!LookUpNtFileCalls(&nt))
        return RefusePath(path);
    WalkItem item;
    bool linkOnTheWay = false;
    bool opened = OpenAlongPath(nt, path, anchorLength, ItemKind::File, &item, &linkOnTheWay);
    if (linkOnTheWay)
        return RefusePath(path);
    if (opened && DeleteItem(nt, &item)) {
        ++g_run.tally.files;
        return 0;
    }
    DWORD error = GetLastError();
    // Absent, with or without its folder: nothing left to delete.
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
        return 0;
    if (error != ERROR_SHARING_VIOLATION)
        return kFileRefused;
    LONGLONG id = opened ? item.id : 0;
    if (id != 0 && AlreadyQueued(id))
        return 0;
    if (!QueueAsItStands(path))
        return kQueueFailed;
    ++g_run.tally.filesQueued;
    if (id != 0 && g_run.queuedItemCount < kQueuedItemsKept)
        g_run.queuedItems[g_run.queuedItemCount++] = id;
    return 0;
}

// Under WOW64 the 32-bit program's System32 is SysWOW64: the driver is
// reached with redirection off, and is skipped where it cannot be switched.
LONG DeleteDriverFile(const char *path, size_t anchorLength) {
    if (!IsWow64())
        return DeleteListedFile(path, anchorLength);
    RedirectionSwitch redirection;
    if (!TurnRedirectionOff(&redirection))
        return 0;
    LONG status = DeleteListedFile(path, anchorLength);
    TurnRedirectionBackOn(redirection);
    return status;
}

// Reads the location code at Position into Kind and moves past it; 0, with
// the cursor unchanged, when the line has none.
LONG ReadLocationCode(ListingCursor *cursor) {
    for (LONG code = 1; code <= 10; ++code) {
        const char *prefix = kCodePrefixes[code - 1];
        int length = static_cast<int>(std::strlen(prefix));
        if (StrCmpNIA(cursor->Position, prefix, length) == 0) {
            cursor->Kind = code;
            cursor->Position += length;
            return code;
        }
    }
    return 0;
}

// True when the text's last character is a separator; the trail byte of a
// double-byte character is none.
bool EndsWithSeparator(const char *text, size_t length) {
    bool separator = false;
    for (size_t i = 0; i < length; ++i) {
        separator = text[i] == '\\' || text[i] == '/';
        if (IsDBCSLeadByte(static_cast<BYTE>(text[i])) && i + 1 < length)
            ++i;
    }
    return separator;
}

// Expands the location's prefix into `path` and appends the entry's path.
// Sets *skip when the location's variable is not defined here.
LONG ComposePath(const Location &location, LONG code, const char *entry, char *path, size_t *anchorLength, bool *skip) {
    path[0] = '\0';
    DWORD length = ExpandEnvironmentStringsA(location.prefix, path, kFolderPathChars);
    if (length == 0 && code == 1)
        length = ExpandEnvironmentStringsA(kProgramFilesFallback, path, kFolderPathChars);
    if (length == 0)
        return kExpansionFailed;
    // An undefined variable stays as typed; a value that merely has the
    // template's length is no reason to skip.
    if (length == location.skipLength && std::strcmp(path, location.prefix) == 0) {
        *skip = true;
        return 0;
    }
    // Too long for the buffer: what it holds is no path.
    if (length > kFolderPathChars) {
        LogText("ERROR:: (Path Too Long) %s\r\n", entry);
        return kNotProcessed;
    }
    *anchorLength = std::strlen(path);
    // A value ending with a separator of its own ("C:\\ProgramData\\"): one
    // separator before the entry, as Windows reads such a path.
    if (*anchorLength > 1 && EndsWithSeparator(path, *anchorLength - 1))
        path[--*anchorLength] = '\0';
    return AppendBounded(path, kComposedPathChars, entry) == kFormatOk ? 0 : kNotProcessed;
}

LONG RemoveEntry(LONG code, const char *entry) {
    const Location &location = kLocations[code - 1];
    char path[kFolderPathChars];
    const char *target = path;
    // Where the walk starts: the location's folder, or a complete path's drive.
    size_t anchorLength = 0;
    if (location.prefix != NULL) {
        bool skip = false;
        LONG status = ComposePath(location, code, entry, path, &anchorLength, &skip);
        if (status != 0 || skip)
            return status;
    } else if (code == 4) {
        target = entry;
    } else if (CopyBounded(path, sizeof path, entry) != kFormatOk) {
        return kNotProcessed;
    }
    if (!NamesOneTarget(target))
        return RefusePath(target);
    if (location.prefix == NULL)
        anchorLength = DriveAnchorLength(target);
    switch (location.target) {
    case Target::FolderTree:
        return RemoveTreeAt(target, anchorLength, kFolderStageTree);
    case Target::File:
        return DeleteListedFile(target, anchorLength);
    case Target::DriverFile:
        return DeleteDriverFile(target, anchorLength);
    }
    return kNotProcessed;
}

} // namespace

LONG RemoveFolderTree(const char *folder, const FolderTreeOptions &options) {
    return RemoveTreeAt(folder, DriveAnchorLength(folder), options);
}

LONG RemoveFolders(ListingCursor *cursor) {
    if (!OpenSection(cursor))
        return kNotProcessed;
    LONG result = 0;
    for (DWORD taken = 0; taken < cursor->Count; ++taken) {
        LONG code = ReadLocationCode(cursor);
        if (code == 0)
            return kNotProcessed;
        char *entry = TakeEntry(cursor);
        if (entry == NULL) {
            if (code == 1)
                WriteLogLine(kInvalidString);
            return kNotProcessed;
        }
        if (code == 1) {
            WriteLogFormatted(g_run.fileLogLine, kLogLineChars, "File_%d:: %s\r\n", static_cast<int32_t>(taken + 1),
                              entry);
        }
        LONG status = RemoveEntry(code, entry);
        // Any failing entry fails the stage; the last one's status is kept.
        if (status != 0)
            result = status;
    }
    return result;
}
