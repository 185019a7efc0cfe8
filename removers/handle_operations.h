// The files stage's handle operations: ntdll's file calls on handles the
// walk holds. A name is opened relative to an open folder without following
// a reparse point; a folder's children are listed from its handle with their
// exact wide names; an item is deleted through its own handle. Every failure
// comes back as a Win32 error value; none of these calls leaves it in the
// thread's last error. The native functions are looked up in ntdll at run
// time.
#pragma once

#include <cstddef>

#include "exports.h"

struct NtFileCalls {
    NtCreateFileFn create;
    NtQueryDirectoryFileFn queryDirectory;
    NtQueryInformationFileFn queryInformation;
    NtSetInformationFileFn setInformation;
    RtlNtStatusToDosErrorFn toDosError;
};

// False when this Windows lacks any of them.
bool LookUpNtFileCalls(NtFileCalls *calls);

// An item opened for deletion.
struct WalkItem {
    HANDLE handle;      // NULL when it could not be opened
    LONGLONG id;        // its file id, as its folder's listing gave it
    DWORD openError;    // why it could not be opened for deletion: 0, or the error its deletion reports
    bool link;          // a name surrogate: removed as a link, never entered
    bool deleteOnClose; // opened to be deleted when its handle closes
};

enum class ItemKind {
    Folder,     // listed and deleted: opened for deletion, or for listing alone when another process holds it
    File,       // deleted: a folder is refused with ERROR_ACCESS_DENIED, as DeleteFileA refuses one
    Attributes, // either, for its attributes: whoever holds it, never as what a link names
};

// What a folder's listing says of one of its names.
struct EntryFacts {
    DWORD attributes;
    ULONG tag; // the reparse tag of a reparse point
    LONGLONG id;
};

// True when a listing's attributes and tag mark a link. A reparse point with
// no tag is one too: Wine lists a Unix symbolic link so.
bool IsLinkEntry(DWORD attributes, ULONG tag);

// Opens `anchor`, a Win32 path, as the system resolves it, for listing and
// passing through; ERROR_PATH_NOT_FOUND when it is absent. The thread's
// last error stays as it was.
DWORD OpenAnchor(const char *anchor, HANDLE *folder);

// Opens the folder `name` (of `nameLength` wide characters) of an open
// folder (or, with no folder, an NT path) for listing and passing through,
// not following a reparse point.
DWORD OpenFolder(const NtFileCalls &nt, HANDLE parent, const WCHAR *name, size_t nameLength, HANDLE *folder);

// The listing's record of `name` in an open folder.
DWORD LookUpEntry(const NtFileCalls &nt, HANDLE folder, const WCHAR *name, size_t nameLength, EntryFacts *facts);

// True when the open handle is a link itself (the check that no swap after
// the listing can pass: the handle is what is acted on).
bool HandleIsLink(const NtFileCalls &nt, HANDLE handle);

// Opens the child `name` of an open folder, as a listing of that folder
// described it; item->openError holds why it could not be. For its
// attributes, item->id is the id of what was opened.
void OpenChild(const NtFileCalls &nt, HANDLE folder, const WCHAR *name, size_t nameLength, ItemKind kind,
               DWORD listedAttributes, ULONG listedTag, WalkItem *item);

// The next part of a folder's listing (FILE_ID_FULL_DIR_INFORMATION records)
// into `buffer`: 0, ERROR_NO_MORE_FILES at its end, or the failure.
DWORD ListFolder(const NtFileCalls &nt, HANDLE folder, void *buffer, ULONG size, bool restart);

// Deletes the item through its handle: 0, or the error that keeps it (as
// DeleteFileA and RemoveDirectoryA report it). Closes the handle.
DWORD DeleteItem(const NtFileCalls &nt, WalkItem *item);

// True when the open folder's listing still has `name` (exact wide
// characters) with the file id `id` that an earlier listing gave, and as no
// link unless `linkAllowed`.
bool StillListedAs(const NtFileCalls &nt, HANDLE folder, const WCHAR *name, size_t nameLength, LONGLONG id,
                   bool linkAllowed);

// Makes the open folder Administrators' own, with a protected access list of
// all access for Administrators and SYSTEM alone: no one else can then add,
// rename or remove anything in it, so a path through it that is queued for
// the restart still names the same item then. Acts on the folder the handle
// names, through a second handle opened from it. False when it could not.
bool TakeOverFolder(const NtFileCalls &nt, HANDLE folder);

// The file the walk keeps in a folder that holds items queued for the
// restart, and queues after them: while it is there the folder cannot be
// emptied, and so cannot be made a mount point (which needs an empty
// folder) by a handle anyone opened on it before the walk took it over.
extern const WCHAR kPlaceholderName[];
extern const size_t kPlaceholderChars;

// Makes the placeholder in the open folder, or takes the one there over:
// Administrators' own, with a protected list of all access for
// Administrators and SYSTEM alone; *id is its file id. False when it cannot
// be had, or a handle with DELETE to it is open.
bool KeepPlaceholder(const NtFileCalls &nt, HANDLE folder, LONGLONG *id);

// Reads the target of the link `name` in the open folder, through that
// link's own handle, when the link is one of Windows' own: a junction or an
// absolute symbolic link that belongs to SYSTEM, to Administrators or to
// TrustedInstaller (which no standard user can have made or changed),
// whose target is a full local path; `target` holds its Win32 path. False
// for any other link.
constexpr size_t kLinkTargetChars = 1024;
struct LinkTarget {
    WCHAR wide[kLinkTargetChars]; // as the link names it, not terminated
    size_t wideLength;
    char ansi[kLinkTargetChars]; // the same in the ANSI code page, terminated
};
bool ReadSystemLinkTarget(const NtFileCalls &nt, HANDLE folder, const WCHAR *name, size_t nameLength,
                          LinkTarget *target);
// The substitute name of a mount point or an absolute symbolic link in the
// reparse data (`size` bytes read), within the data: a full local path
// "\\??\\X:\\...", kept as its Win32 path both as it stands and in the ANSI
// code page, which must turn back into exactly that name.
bool ParseLinkTarget(const BYTE *data, size_t size, LinkTarget *target);

// True when the open folder belongs to SYSTEM, to Administrators, to
// TrustedInstaller or to the user who runs the tool: no standard user can
// have made it theirs, or can rename or replace what it holds unless its
// access list lets them.
bool OwnedByTrustedPrincipal(const NtFileCalls &nt, HANDLE folder);

// Clears the read-only attribute of the item opened as ItemKind::Attributes,
// which the restart could not delete otherwise. False when it is read-only
// and stays so.
bool ClearReadOnly(const NtFileCalls &nt, const WalkItem &item);

// Closes the item's handle: a folder stays; a file opened for deletion goes.
void CloseItem(WalkItem *item);
