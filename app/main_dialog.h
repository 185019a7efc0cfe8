// The program's one window: the main dialog (template IDD_MAIN).
#pragma once

#include "win32.h"

// The product's title: the dialog's caption and title line, and the caption
// of the start-up refusals.
constexpr char kToolTitle[] = "ZeltraEnterprise Security Removal Tool";

INT_PTR CALLBACK MainDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
