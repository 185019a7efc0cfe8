#include "removers/folders.h"

#include <cstdint>
#include <cstring>

#include "core/bounded_format.h"
#include "core/run_state.h"
#include "core/trace_log.h"
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

void LogText(const char *format, const char *text) {
    FormatBounded(g_run.fileLogLine, kLogLineChars, format, text);
    WriteLogLine(g_run.fileLogLine);
}

void LogError(const char *format, DWORD error) {
    FormatBounded(g_run.fileLogLine, kLogLineChars, format, static_cast<int32_t>(error));
    WriteLogLine(g_run.fileLogLine);
}

bool Queue(const char *path) {
    if (!MoveFileExA(path, NULL, MOVEFILE_DELAY_UNTIL_REBOOT))
        return false;
    WriteLogLine(kMarked);
    ++g_run.tally.filesQueued;
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
// empty, does not end with a separator and never steps to a parent.
bool NamesOneTarget(const char *path) {
    const char *component = path;
    for (const char *p = path;; ++p) {
        if (*p != '\\' && *p != '/' && *p != '\0')
            continue;
        if (IsStepComponent(component, static_cast<size_t>(p - component)))
            return false;
        if (*p == '\0')
            return true;
        component = p + 1;
    }
}

// One walk through a folder tree: the path of the current item, built in
// place level by level, and the find record that the levels take turns on.
struct TreeWalk {
    char path[kFolderPathChars];
    WIN32_FIND_DATAA found;
    const FolderTreeOptions *options;
};

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

LONG RemoveLevel(TreeWalk &walk, size_t length, bool link);

// A file inside the tree. Sets *stop when queuing failed: the folder's
// enumeration ends there.
LONG RemoveFileInTree(TreeWalk &walk, const char *name, bool link, bool *stop) {
    LogText("FILENAME:: %s\r\n", name);
    if (link)
        WriteLogLine(kReparsePoint);
    if (DeleteFileA(walk.path)) {
        WriteLogLine(kDeleted);
        ++g_run.tally.files;
        return 0;
    }
    DWORD error = GetLastError();
    if (error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED)
        return 0;
    LogError("INFO:: (Deleting file) %d\r\n", error);
    if (Queue(walk.path))
        return 0;
    *stop = true;
    return walk.options->queueFailure;
}

// The item that the find record holds, below the folder at walk.path.
LONG RemoveChild(TreeWalk &walk, size_t length, bool *stop) {
    const char *name = walk.found.cFileName;
    // An ANSI name can be the best-fit of a wide one, with separators or
    // dots that would lead the path out of this folder.
    if (std::strpbrk(name, "\\/") != NULL || IsStepComponent(name, std::strlen(name))) {
        LogText("ERROR:: (Invalid Name) %s\r\n", name);
        return kNameRefused;
    }
    size_t childLength = 0;
    if (!AppendAt(walk, length, "\\", name, &childLength)) {
        LogText("ERROR:: (Path Too Long) %s\r\n", name);
        return kNotProcessed;
    }
    DWORD attributes = walk.found.dwFileAttributes;
    bool link = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    if (attributes & FILE_ATTRIBUTE_DIRECTORY)
        return RemoveLevel(walk, childLength, link);
    return RemoveFileInTree(walk, name, link, stop);
}

LONG RemoveContents(TreeWalk &walk, size_t length) {
    size_t patternLength = 0;
    AppendAt(walk, length, "\\", "*", &patternLength); // fits: RemoveLevel checked
    HANDLE find = FindFirstFileA(walk.path, &walk.found);
    walk.path[length] = '\0';
    // An absent or unreadable folder: its own removal is still tried.
    if (find == INVALID_HANDLE_VALUE)
        return 0;
    LONG status = 0;
    bool stop = false;
    do {
        if (lstrcmpA(walk.found.cFileName, ".") == 0 || lstrcmpA(walk.found.cFileName, "..") == 0)
            continue;
        LONG result = RemoveChild(walk, length, &stop);
        walk.path[length] = '\0';
        // A later success never hides an earlier failure.
        if (result != 0)
            status = result;
    } while (!stop && FindNextFileA(find, &walk.found));
    FindClose(find);
    return status;
}

// The folder at walk.path (of `length` characters): its contents unless it
// is a link, then the folder itself.
LONG RemoveLevel(TreeWalk &walk, size_t length, bool link) {
    LONG status = 0;
    if (!link) {
        // The search pattern "<folder>\*" must fit, or nothing is done here.
        if (length + 2 >= kFolderPathChars)
            return kNotProcessed;
        status = RemoveContents(walk, length);
    }
    const FolderTreeOptions &options = *walk.options;
    LogText("DIRNAME:: %s\r\n", walk.path);
    if (link)
        WriteLogLine(kReparsePoint);
    BOOL removed = RemoveDirectoryA(walk.path);
    DWORD error = GetLastError();
    if (options.logEveryRemoval)
        LogError("INFO:: (Deleting Dir) %d\r\n", error);
    if (removed) {
        WriteLogLine(kDeleted);
        ++g_run.tally.files;
        return status;
    }
    if (error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED)
        return status;
    if (!options.logEveryRemoval)
        LogError("INFO:: (Deleting Dir) %d\r\n", error);
    return Queue(walk.path) ? status : options.queueFailure;
}

// The single-file deletion: no log line on any path.
LONG DeleteListedFile(const char *path) {
    if (DeleteFileA(path)) {
        ++g_run.tally.files;
        return 0;
    }
    DWORD error = GetLastError();
    // Absent, with or without its folder: nothing left to delete.
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
        return 0;
    if (error != ERROR_SHARING_VIOLATION)
        return kFileRefused;
    if (!MoveFileExA(path, NULL, MOVEFILE_DELAY_UNTIL_REBOOT))
        return kQueueFailed;
    ++g_run.tally.filesQueued;
    return 0;
}

// Under WOW64 the 32-bit program's System32 is SysWOW64: the driver is
// reached with redirection off, and is skipped where it cannot be switched.
LONG DeleteDriverFile(const char *path) {
    if (!IsWow64())
        return DeleteListedFile(path);
    RedirectionSwitch redirection;
    if (!TurnRedirectionOff(&redirection))
        return 0;
    LONG status = DeleteListedFile(path);
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

// Expands the location's prefix into `path` and appends the entry's path.
// Sets *skip when the location's variable is not defined here.
LONG ComposePath(const Location &location, LONG code, const char *entry, char *path, bool *skip) {
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
    return AppendBounded(path, kComposedPathChars, entry) == kFormatOk ? 0 : kNotProcessed;
}

LONG RemoveEntry(LONG code, const char *entry) {
    const Location &location = kLocations[code - 1];
    char path[kFolderPathChars];
    const char *target = path;
    if (location.prefix != NULL) {
        bool skip = false;
        LONG status = ComposePath(location, code, entry, path, &skip);
        if (status != 0 || skip)
            return status;
    } else if (code == 4) {
        target = entry;
    } else if (CopyBounded(path, sizeof path, entry) != kFormatOk) {
        return kNotProcessed;
    }
    if (!NamesOneTarget(target)) {
        LogText("ERROR:: (Invalid Path) %s\r\n", target);
        return kPathRefused;
    }
    switch (location.target) {
    case Target::FolderTree:
        return RemoveFolderTree(target, kFolderStageTree);
    case Target::File:
        return DeleteListedFile(target);
    case Target::DriverFile:
        return DeleteDriverFile(target);
    }
    return kNotProcessed;
}

} // namespace

LONG RemoveFolderTree(const char *folder, const FolderTreeOptions &options) {
    TreeWalk walk;
    walk.options = &options;
    size_t length = 0;
    walk.path[0] = '\0';
    if (!AppendAt(walk, 0, "", folder, &length))
        return kNotProcessed;
    // A listed folder that is itself a link is removed as one, not entered.
    DWORD attributes = GetFileAttributesA(walk.path);
    bool link = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    return RemoveLevel(walk, length, link);
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
            FormatBounded(g_run.fileLogLine, kLogLineChars, "File_%d:: %s\r\n", static_cast<int32_t>(taken + 1), entry);
            WriteLogLine(g_run.fileLogLine);
        }
        LONG status = RemoveEntry(code, entry);
        // Any failing entry fails the stage; the last one's status is kept.
        if (status != 0)
            result = status;
    }
    return result;
}
