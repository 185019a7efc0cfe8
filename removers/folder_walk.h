// How the folder walk reaches the items it deletes: only through handles it
// has checked. A path is followed from its anchor (the location's folder,
// trusted as the system gives it) one name at a time, each opened relative
// to the folder before it without following a reparse point; a folder's
// children are listed from its handle with their exact wide names and
// opened relative to it; an item is deleted through its own handle. A
// name-surrogate reparse point (junction, symbolic link) is never passed
// through: on the way to a listed item it ends the walk, inside a tree it is
// removed as a link. The native functions are looked up in ntdll at run
// time; failures set the thread's last error as the Win32 calls do.
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
    LONGLONG id;        // its file id, as its folder's listing gave it (OpenAlongPath)
    DWORD openError;    // why it could not be opened for deletion: 0, or the error its deletion reports
    bool link;          // a name surrogate: removed as a link, never entered
    bool deleteOnClose; // opened to be deleted when its handle closes
};

enum class ItemKind {
    Folder, // listed and deleted: opened for deletion, or for listing alone when another process holds it
    File,   // deleted: a folder is refused with ERROR_ACCESS_DENIED, as DeleteFileA refuses one
};

// True when a listing's attributes and tag mark a link. A reparse point with
// no tag is one too: Wine lists a Unix symbolic link so.
bool IsLinkEntry(DWORD attributes, ULONG tag);

// Opens the item that `path` names below its first `anchorLength`
// characters. Returns false, with the last error set, when it cannot be
// reached: ERROR_PATH_NOT_FOUND for a missing folder on the way, the open's
// error for the item itself. Sets *linkOnTheWay (and returns false) when a
// link stands between the anchor and the item.
bool OpenAlongPath(const NtFileCalls &nt, const char *path, size_t anchorLength, ItemKind kind, WalkItem *item,
                   bool *linkOnTheWay);

// The anchor of a path without location: its drive's root ("C:\"), or for
// any other form everything before its last separator (none for a bare
// name: the current folder).
size_t DriveAnchorLength(const char *path);

// Opens the child `name` (of `nameLength` wide characters) of an open folder,
// as a listing of that folder described it.
void OpenChild(const NtFileCalls &nt, HANDLE folder, const WCHAR *name, size_t nameLength, ItemKind kind,
               DWORD listedAttributes, ULONG listedTag, WalkItem *item);

// The next part of a folder's listing (FILE_ID_FULL_DIR_INFORMATION records)
// into `buffer`; false at its end (last error ERROR_NO_MORE_FILES, as
// FindNextFileA leaves it) or on a failure.
bool ListFolder(const NtFileCalls &nt, HANDLE folder, void *buffer, ULONG size, bool restart);

// Deletes the item through its handle. False, with the last error set (as
// DeleteFileA and RemoveDirectoryA set it), when it stays. Closes the handle.
bool DeleteItem(const NtFileCalls &nt, WalkItem *item);

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

// Closes the item's handle: a folder stays; a file opened for deletion goes.
void CloseItem(WalkItem *item);

// True when the ANSI text holds a path separator; the trail byte of a
// double-byte character is none, whatever its code.
bool HasSeparator(const char *text);
