// Stage 2, RemoveFolders: deletes the files and folders that the listing's
// file section names, and RemoveFolderTree, the removal of a folder with all
// it holds, which the SQL instance stage uses too.
#pragma once

#include <cstddef>

#include "core/entry_listing.h"
#include "win32.h"

// Entry statuses of RemoveFolders and results of RemoveFolderTree.
constexpr LONG kNotProcessed = -1;    // no line end, unknown location code, a path that does not fit
constexpr LONG kExpansionFailed = -8; // ExpandEnvironmentStringsA returned 0
constexpr LONG kFileRefused = -9;     // a listed file refused deletion
constexpr LONG kQueueFailed = -10;    // queuing for deletion at restart failed
constexpr LONG kPathRefused = -11;    // a path that would reach beyond what its entry names
constexpr LONG kNameRefused = -12;    // a name from the enumeration that is no plain name
constexpr LONG kLeftInPlace = -13; // an item in a tree that stays and is not queued, or a folder that cannot be listed

// The path buffer of one entry and of each walk through a folder tree.
constexpr size_t kFolderPathChars = 1024;

// Where RemoveFolderTree's two users differ.
struct FolderTreeOptions {
    LONG queueFailure;    // the result when queuing a file or folder for restart fails
    bool logEveryRemoval; // "INFO:: (Deleting Dir) %d" after every folder removal, not only before queuing one
};
// The files stage: -10, and the INFO line after every folder removal.
extern const FolderTreeOptions kFolderStageTree;
// The SQL instance's folder: -1, and the INFO line only for a folder that
// failed with ERROR_SHARING_VIOLATION or ERROR_ACCESS_DENIED and is queued.
extern const FolderTreeOptions kInstanceFolderTree;

// Removes the folder (a path without trailing backslash) with everything in
// it, depth first; what is in use or refused is queued for deletion at
// restart, and so is a folder that only queued items keep, after them. A
// reparse point is removed as a link and never entered. Returns 0, or the
// last failure: kNotProcessed, kNameRefused, kLeftInPlace or
// options.queueFailure.
LONG RemoveFolderTree(const char *folder, const FolderTreeOptions &options);

// The stage: 0 when every entry was handled, else the status of the last
// entry that failed; -1 when it ends early (no section, an unknown location
// code, an entry without line end).
LONG RemoveFolders(ListingCursor *cursor);
