#include "app/worker.h"

#include "core/removal_run.h"
#include "core/run_state.h"
#include "resources/resource.h"

RemovalRunFunction g_removalRun = RunRemoval;

namespace {

// The button the user clicked, known by the removal mode it chose.
int ClickedButton() { return g_run.removalMode == 2 ? IDC_REMOVE_COMPLETELY : IDC_REMOVE_PRODUCT; }

void SetClickedButtonText(HWND dialog, const char *text) {
    SendDlgItemMessageA(dialog, ClickedButton(), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text));
}

} // namespace

DWORD WINAPI RemovalWorker(LPVOID parameter) {
    HWND dialog = static_cast<HWND>(parameter);
    SetClickedButtonText(dialog, "Please Wait...");
    HWND progressBar = GetDlgItem(dialog, IDC_PROGRESS);
    SetWindowLongA(progressBar, GWL_STYLE,
                   GetWindowLongA(progressBar, GWL_STYLE) | WS_VISIBLE | PBS_MARQUEE | PBS_SMOOTH);
    SendMessageA(progressBar, PBM_SETMARQUEE, TRUE, 25); // on, one step every 25 ms
    EnableWindow(GetDlgItem(dialog, IDC_REMOVE_PRODUCT), FALSE);
    EnableWindow(GetDlgItem(dialog, IDC_REMOVE_COMPLETELY), FALSE);
    g_run.runResult = g_removalRun(progressBar);
    SetClickedButtonText(dialog, "Completed");
    // Cleared before the post: the dialog reads it only after the message.
    g_run.busyMarker = 0;
    PostMessageA(dialog, kRunCompletedMessage, 0, 0);
    return 1;
}
