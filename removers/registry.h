// Stage 3 of the removal run: every listed registry key deleted with all its
// subkeys, deepest first; under HKLM in the process's default view and again
// in the 64-bit view. Refused deletes go through the access grant.
#pragma once

#include "core/entry_listing.h"
#include "win32.h"

// Stage results besides 0, -1 (an entry without a CR, or no count line) and
// -13 (an entry with an unknown root). The stage reads on after these two;
// the first one met is the result.
constexpr LONG kRegistryKeyRemains = -3;  // a listed key is still there after its passes
constexpr LONG kRegistryPathRefused = -4; // a key path was empty or ill-formed; the entry was skipped

// One tree's deletion (a listed key in one view) deletes at most this many
// keys below the listed one, however deep they are nested, so that a user
// who keeps re-creating subkeys cannot hold the run for ever; a key that
// still has subkeys then counts as one that remains.
constexpr DWORD kMaxSubkeysDeleted = 10000;

// Reads the registry section at the cursor and deletes every key it lists.
LONG RemoveRegistry(ListingCursor *cursor);

// Deletes the key at `path` below `parent` with its whole subtree, opening
// every key with `access`. True when it is gone, or was never there.
bool DeleteRegistryTree(HKEY parent, const char *path, REGSAM access);
