// The removal run: loads the entry listing, runs the stages in order on it,
// and reports what was found and removed.
#pragma once

#include <cstddef>

#include "core/entry_listing.h"
#include "win32.h"

typedef LONG (*StageFunction)(ListingCursor *cursor);

struct Stage {
    LONG bit;           // set in the stage result mask when the stage fails
    const char *banner; // written to the trace log before the stage runs
    StageFunction run;
    bool clearsWholeCursor; // Position too: the stage reads a listing of its own
    bool completeModeOnly;  // runs in removal mode 2 only
};

// The stages of the shipped program, in the order they run.
const Stage *ProductionStages(size_t *count);

// Runs the production stages; returns -2 when the listing could not be
// loaded, else the stage result mask (0 when every stage succeeded).
LONG RunRemoval(HWND progressBar);

// The same run over any table of stages.
LONG RunRemovalWithStages(HWND progressBar, const Stage *stages, size_t count);
