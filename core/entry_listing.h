// The entry listing: the embedded text that names what the tool removes, and
// the cursor through which the stages read it, section after section.
#pragma once

#include "win32.h"

struct ListingCursor {
    LONG Kind;      // location code (files) or root code (registry) of the current entry
    DWORD Count;    // entry count of the current section
    char *KeyPath;  // registry stage: the current entry's key path
    char *Position; // the next character to read
};

// Loads the embedded listing into a writable, terminated copy that lives
// until the next load, and points the cursor at it. 1 on success; 0 on any
// failure, with the cursor unchanged.
int LoadEntryListing(ListingCursor *cursor);

// Reads the next count line at or after Position into Count and moves
// Position to the first entry line. False when there is no count line or no
// line end after it: Count is then 0 and Position stands on the text's
// terminator, and "ERROR:: Section Not Found\r\nEXITING..\r\n" is logged.
bool OpenSection(ListingCursor *cursor);

// Takes the entry at Position: ends it in place at its CR and moves Position
// to the next line. NULL, with Position unchanged, when no CR follows.
char *TakeEntry(ListingCursor *cursor);
