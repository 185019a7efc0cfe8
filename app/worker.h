// The worker thread that runs the removal while the dialog stays responsive.
#pragma once

#include "win32.h"

// Posted by the worker to the dialog, both parameters 0, once the run is over.
constexpr UINT kRunCompletedMessage = WM_USER + 257;

// Thread procedure; the parameter is the dialog's window. Returns 1.
DWORD WINAPI RemovalWorker(LPVOID dialog);

// The run the worker calls with the progress bar's window: RunRemoval in the
// program. Tests of the dialog point it at a run over stages of their own,
// since the shipped stage table cannot be replaced.
typedef LONG (*RemovalRunFunction)(HWND progressBar);
extern RemovalRunFunction g_removalRun;
