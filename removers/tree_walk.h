// The files stage's walk: how it reaches the items it deletes, only through
// handles it has checked, and how it queues for the restart what stays.
// A path is followed from its anchor (the location's folder, trusted as the
// system gives it) one name at a time, each opened relative to the folder
// before it without following a reparse point; one of Windows' own
// compatibility links right below the location's folder is crossed into the
// target read from its own handle, and any other link on the way ends the
// walk. A folder tree is removed depth first through the
// handles its listings give; a link in it is removed as a link, never
// entered. What is in use is queued for deletion at the restart once its
// path cannot change until then.
#pragma once

#include <cstddef>

#include "removers/folders.h"

// Removes the folder tree at `folder`, reached from its first `anchorLength`
// characters. Returns 0, or the last failure: kNotProcessed, kPathRefused,
// kNameRefused, kLeftInPlace or options.queueFailure.
LONG RemoveTreeAt(const char *folder, size_t anchorLength, const FolderTreeOptions &options);

// Deletes the single file at `path`, reached from its first `anchorLength`
// characters; one in use is queued for deletion at the restart. No log line
// on any path but a refused one. Returns 0, kPathRefused, kFileRefused or
// kQueueFailed.
LONG DeleteListedFile(const char *path, size_t anchorLength);

// Ends an entry whose path passes through a link, or that this system
// cannot walk safely: logs it, and returns kPathRefused.
LONG RefusePath(const char *path);

// A component that Windows would not take as a plain name: empty, or only
// dots and blanks ("." and ".." step out of place; Windows drops trailing
// dots and blanks, so "..." and ". ." are no safer).
bool IsStepComponent(const char *component, size_t length);
