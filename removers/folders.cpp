// Stage 2, the files stage: turns the listing's file section into paths
// (each location code's folder and the entry's path below it) and lines,
// and hands each path to the walk (removers/tree_walk.h).
#include "removers/folders.h"

#include <cstdint>
#include <cstring>

#include "core/bounded_format.h"
#include "core/run_state.h"
#include "core/trace_log.h"
#include "removers/tree_walk.h"
#include "removers/wow64.h"

const FolderTreeOptions kFolderStageTree = {kQueueFailed, true};
const FolderTreeOptions kInstanceFolderTree = {kNotProcessed, false};

namespace {

const char kInvalidString[] = "ERROR:: Invalid String Encountered\r\nEXITING..\r\n";

// A composed path keeps within 511 characters, whatever the buffer holds.
constexpr size_t kComposedPathChars = 512;

enum class Target { FolderTree, File, DriverFile };

struct Location {
    const char *prefix; // expanded in front of the entry's path; NULL: the path is complete
    Target target;
    bool skippedUndefined = false; // passed over when its variable is not defined
};

// By location code 1 to 10. An undefined variable stays as typed: codes 1
// to 3 act on the text as it stands.
const Location kLocations[] = {
    {"%PROGRAMFILES%\\", Target::FolderTree},
    {"%WINDIR%\\", Target::FolderTree},
    {"%WINDIR%\\system32\\drivers\\", Target::DriverFile},
    {NULL, Target::File},
    {NULL, Target::FolderTree},
    {"%ALLUSERSPROFILE%\\", Target::FolderTree, true},
    {"%ALLUSERSPROFILE%\\", Target::File, true},
    {"%USERPROFILE%\\", Target::FolderTree, true},
    {"%USERPROFILE%\\", Target::File, true},
    {"%PUBLIC%\\", Target::File, true},
};
const char kProgramFilesFallback[] = "%PROGRAMFILES(x86)%\\";
const char *const kCodePrefixes[] = {"1\\", "2\\", "3\\", "4\\", "5\\", "6\\", "7\\", "8\\", "9\\", "10\\"};

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

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

// The anchor of a path without location: its drive's root ("C:\"), or for
// any other form everything before its last separator (none for a bare
// name: the current folder).
size_t DriveAnchorLength(const char *path) {
    if (path[0] != '\0' && path[1] == ':' && IsSeparator(path[2]))
        return 3;
    size_t last = 0;
    for (size_t i = 0; path[i] != '\0'; ++i) {
        if (IsSeparator(path[i]))
            last = i;
        else if (IsDBCSLeadByte(static_cast<BYTE>(path[i])) && path[i + 1] != '\0')
            ++i;
    }
    return last;
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
    if (location.skippedUndefined && std::strcmp(path, location.prefix) == 0) {
        *skip = true;
        return 0;
    }
    // Too long for the buffer: what it holds is no path.
    if (length > kFolderPathChars) {
        WriteLogFormatted(g_run.fileLogLine, kLogLineChars, "ERROR:: (Path Too Long) %s\r\n", entry);
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
    if (location.target == Target::FolderTree)
        return RemoveTreeAt(target, anchorLength, kFolderStageTree);
    if (location.target == Target::File)
        return DeleteListedFile(target, anchorLength);
    return DeleteDriverFile(target, anchorLength);
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
