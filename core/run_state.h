// Every process-wide value of the program, in one place. All start at zero;
// a program run performs at most one removal run, so nothing is reset.
#pragma once

#include "win32.h"

constexpr size_t kPathChars = 260;
constexpr size_t kLogLineChars = 512;

// What the removers counted, in the order the run keeps them.
struct TraceTally {
    DWORD servicesStopped;
    DWORD files;
    DWORD registry;
    DWORD filesQueued;
};

// The file ids of what the files stage queued, so that an item two entries
// reach (through Windows' compatibility links and directly) is queued and
// counted once. Past the last slot an item is queued as often as reached.
constexpr size_t kQueuedItemsKept = 1024;

struct RunState {
    HANDLE traceLogHandle; // 0 or INVALID_HANDLE_VALUE: no trace log
    char traceLogPath[kPathChars];
    LONG removalMode;  // 1: product only; 2: product and SQL instance
    HANDLE busyMarker; // the worker's handle while a run is in progress
    LONG confirming;   // a confirmation box is up: the dialog takes no click and no close meanwhile
    LONG runStarted;   // a worker was started: the program runs no second one
    LONG runResult;
    LONG tracesFound; // 1 once the run counted anything
    TraceTally tally;
    char registryLogLine[kLogLineChars]; // also serves the SQL instance's key deletions
    char fileLogLine[kLogLineChars];
    char sqlLogLine[kLogLineChars];
    HFONT titleFont;
    LONGLONG queuedItems[kQueuedItemsKept];
    DWORD queuedItemCount;
    DWORD itemsMarked; // "Marked for Deletion" lines: queued now or already
};

extern RunState g_run;
