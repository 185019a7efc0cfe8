#include "app/main_dialog.h"

#include <cstdint>
#include <cstring>

#include "app/worker.h"
#include "core/bounded_format.h"
#include "core/run_state.h"
#include "core/trace_log.h"
#include "resources/resource.h"

namespace {

// The caption of every message box the dialog shows.
const char kBoxTitle[] = "ZeltraEnterprise Security RT";
constexpr size_t kFailureTextChars = 128;

void InitDialog(HWND dialog) {
    SetWindowTextA(dialog, kToolTitle);
    SetDlgItemTextA(dialog, IDC_TITLE, kToolTitle);
    SetDlgItemTextA(dialog, IDC_REMOVE_PRODUCT, "Remove ZeltraEnterprise Server Only");
    SetDlgItemTextA(dialog, IDC_REMOVE_COMPLETELY, "Remove ZeltraEnterprise Server Completely");
    AnimateWindow(dialog, 100, AW_CENTER);

    LOGFONTA title = {};
    title.lfHeight = -20;
    title.lfWeight = FW_BOLD;
    title.lfCharSet = ANSI_CHARSET;
    title.lfOutPrecision = OUT_STROKE_PRECIS;
    title.lfClipPrecision = CLIP_STROKE_PRECIS;
    title.lfQuality = DRAFT_QUALITY;
    title.lfPitchAndFamily = VARIABLE_PITCH | FF_SWISS;
    CopyBounded(title.lfFaceName, LF_FACESIZE, "Arial");
    g_run.titleFont = CreateFontIndirectA(&title);
    SendDlgItemMessageA(dialog, IDC_TITLE, WM_SETFONT, reinterpret_cast<WPARAM>(g_run.titleFont), TRUE);
}

// A button click: logs the choice, asks, and starts the worker. The
// confirmation has no owner window, so the dialog still takes clicks while
// it is up: those, and any click once a run has started, are ignored.
void StartRemoval(HWND dialog, int button) {
    if (g_run.confirming || g_run.runStarted)
        return;
    LONG mode;
    const char *confirmation;
    if (button == IDC_REMOVE_PRODUCT) {
        WriteLogLine("Start:: Removing Product Traces Only\r\n");
        mode = 1;
        confirmation = "This tool will remove all traces of ZeltraEnterprise Server except the traces related to "
                       "VuvuriDivUZO Instance.\r\nDo you want to continue?";
    } else {
        WriteLogLine("Start:: Removing Product And SQL Instance Traces Both\r\n");
        mode = 2;
        confirmation = "This tool will remove all traces of ZeltraEnterprise Server and VuvuriDivUZO Instance "
                       "both.\r\nDo you want to continue?";
    }
    // Only an explicit Yes starts the removal: a box that could not be shown
    // (0) is no consent.
    g_run.confirming = 1;
    int answer = MessageBoxA(NULL, confirmation, kBoxTitle, MB_YESNO | MB_ICONQUESTION);
    g_run.confirming = 0;
    if (answer != IDYES)
        return;
    g_run.removalMode = mode;
    DWORD threadId = 0;
    g_run.busyMarker = CreateThread(NULL, 0, RemovalWorker, dialog, 0, &threadId);
    if (g_run.busyMarker != NULL) {
        g_run.runStarted = 1;
        EnableWindow(GetDlgItem(dialog, IDC_REMOVE_PRODUCT), FALSE);
        EnableWindow(GetDlgItem(dialog, IDC_REMOVE_COMPLETELY), FALSE);
    }
}

void ShowFailure(HWND dialog) {
    char text[kFailureTextChars];
    std::memset(text, 0, sizeof text);
    FormatBounded(text, sizeof text, "%s\r\nERROR:: (%d)", "The tool has failed to process",
                  static_cast<int32_t>(g_run.runResult));
    MessageBoxA(dialog, text, kBoxTitle, MB_ICONERROR);
}

// The run is over: its outcome, and the restart offer when anything was found.
void ShowOutcome(HWND dialog) {
    if (g_run.runResult != 0)
        ShowFailure(dialog);
    if (g_run.tracesFound == 0) {
        if (g_run.runResult == 0)
            MessageBoxA(dialog, "No Traces Found", kBoxTitle, MB_ICONINFORMATION);
        return;
    }
    // A box that could not be shown (0) is no consent either.
    if (MessageBoxA(dialog, "A restart is required to complete the process", kBoxTitle, MB_YESNO) == IDYES)
        ExitWindowsEx(EWX_REBOOT | EWX_FORCE,
                      SHTDN_REASON_FLAG_PLANNED | SHTDN_REASON_MAJOR_OPERATINGSYSTEM | SHTDN_REASON_MINOR_RECONFIG);
}

} // namespace

INT_PTR CALLBACK MainDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    // The progress bar's class must be registered before anything else;
    // asked again for every message, as it costs nothing once done.
    INITCOMMONCONTROLSEX commonControls = {sizeof commonControls, ICC_PROGRESS_CLASS};
    if (!InitCommonControlsEx(&commonControls))
        return FALSE;
    switch (message) {
    case WM_INITDIALOG:
        InitDialog(dialog);
        return TRUE;
    case WM_COMMAND:
        if (LOWORD(wParam) == IDC_REMOVE_PRODUCT || LOWORD(wParam) == IDC_REMOVE_COMPLETELY)
            StartRemoval(dialog, LOWORD(wParam));
        return FALSE;
    case WM_CLOSE:
        // While the worker runs, closing would cut the run short, and during
        // a confirmation a Yes would start a run without its dialog: ignored.
        if (g_run.busyMarker == 0 && !g_run.confirming)
            EndDialog(dialog, 0);
        return TRUE;
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORDLG:
    case WM_CTLCOLORSCROLLBAR:
    case WM_CTLCOLORSTATIC:
        return reinterpret_cast<INT_PTR>(GetStockObject(WHITE_BRUSH));
    case kRunCompletedMessage:
        ShowOutcome(dialog);
        EndDialog(dialog, 0);
        return FALSE;
    case WM_DESTROY:
        // The title font lives as long as the dialog.
        if (g_run.titleFont != NULL)
            DeleteObject(g_run.titleFont);
        g_run.titleFont = NULL;
        return FALSE;
    default:
        return FALSE;
    }
}
