// The control API of the simulated machine. Only tests include this header:
// they plant what a machine holds, script failures and answers, and read back
// what the program did.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "sim/windows.h"

namespace sim {

// Back to a fresh machine: default module resources and exports, an
// administrator's token, the drive C: with the usual folders, an empty
// restart queue, tick count 0, no scripted failures or answers.
void Reset();

// ---- injected failures ----
// Makes the next `times` calls of `api` (after `skip` matching calls) fail
// with `error`. With a subject, only calls whose main argument (path, name,
// resource type) contains it, case-insensitively, match.
void FailCall(const std::string &api, DWORD error, unsigned skip = 0, unsigned times = 1,
              const std::string &subject = "");
constexpr unsigned kAlways = 0xFFFFFFFFu;

// ---- clock ----
void SetTickCount(DWORD ticks);
// Milliseconds that Sleep has been asked for since the reset.
uint64_t SleptMilliseconds();

// GetVersion's value; a set top bit is the Windows 9x family.
void SetVersion(DWORD version);

// ---- kernel objects ----
// Another process holds a named mutex.
void PlantMutex(const std::string &name);
// Waits until every thread started with CreateThread has ended.
void JoinThreads();

// ---- handles ----
// Open handles of a kind ("file", "mutex", "thread", "key", "service", ...).
size_t OpenHandles(const std::string &kind);

// ---- module resources ----
void SetResource(const std::string &type, int id, const std::string &bytes);
void RemoveResource(const std::string &type, int id);
// The bytes of resources/entry_listing.txt, as embedded in the program.
std::string DefaultEntryListing();

// ---- module exports looked up at run time ----
void RemoveExport(const std::string &module, const std::string &function);

// ---- files ----
void PlantFolder(const std::string &path);
void PlantFile(const std::string &path, const std::string &bytes = "", DWORD attributes = FILE_ATTRIBUTE_NORMAL);
std::optional<std::string> FileBytes(const std::string &path);
bool Exists(const std::string &path);
// Paths queued with MOVEFILE_DELAY_UNTIL_REBOOT, in order, as passed.
std::vector<std::string> RestartQueue();
// The files directly in a folder (names only), in enumeration order.
std::vector<std::string> FolderEntries(const std::string &path);
void SetTempPath(const std::string &path);

// ---- the process token ----
void SetAdministrator(bool administrator);
// Privileges held by the token (all of the usual ones after a reset).
void SetPrivilegeHeld(const std::string &privilege, bool held);
bool PrivilegeEnabled(const std::string &privilege);
// SIDs allocated and not yet freed.
size_t LiveSids();

// ---- user interface ----
struct MessageBoxRecord {
    HWND owner;
    std::string text;
    std::string caption;
    UINT style;
    int answer;
};
// Answers for the next message boxes, in order. A box with no scripted
// answer gets IDOK, or IDNO when it has Yes and No.
void ScriptMessageBoxAnswers(const std::vector<int> &answers);
std::vector<MessageBoxRecord> MessageBoxes();
struct ShowWindowRecord {
    HWND hwnd;
    int command;
};
std::vector<ShowWindowRecord> ShowWindowCalls();

// ---- the dialog runtime ----
// A window as a test reads it: the dialog or one of its controls. The state
// stays readable after the dialog has ended, until the next reset.
struct WindowState {
    HWND hwnd;
    std::string className;
    std::string text;
    LONG style;         // WS_VISIBLE and WS_DISABLED included
    int x, y, cx, cy;   // dialog units, as in the template
    HFONT font;         // the last WM_SETFONT
    bool marquee;       // PBM_SETMARQUEE turned it on
    UINT marqueeStepMs; // PBM_SETMARQUEE's interval (30 when given 0)
    bool destroyed;
};
// The running dialog, else the last one since the reset; 0 when none ran.
HWND DialogWindow();
// The dialog's state (id 0) or its control's; nullopt when there is none.
std::optional<WindowState> DialogControl(int id = 0);
// Messages the dialog procedure received, in order, with what it returned.
struct DialogMessageRecord {
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    INT_PTR result;
};
std::vector<DialogMessageRecord> DialogMessages();
// A dialog waits at most this long (real time) for its next message when the
// scripted user has nothing left to do; then it ends with -1 and
// DialogTimedOut() says so. 10 s after a reset.
void SetDialogSafetyTimeout(DWORD ms);
bool DialogTimedOut();

// The scripted user acts on the dialog whenever its message queue has run
// empty, one action at a time, on the dialog's own thread.
struct UserAction {
    enum Kind { kClick, kClose, kStep } kind;
    int controlId;
    std::function<void(HWND dialog)> step;
};
// A mouse click on a control: WM_COMMAND (BN_CLICKED) to the dialog, or
// nothing when the control is disabled or hidden.
UserAction Click(int controlId);
// Alt+F4 or the system menu's Close: WM_CLOSE to the dialog.
UserAction CloseDialog();
// The test's own code, run when the dialog is idle (to look, or to wait).
UserAction Step(std::function<void(HWND dialog)> step);
void ScriptUser(const std::vector<UserAction> &actions);
size_t UnusedUserActions();

struct AnimateWindowRecord {
    HWND hwnd;
    DWORD time;
    DWORD flags;
};
std::vector<AnimateWindowRecord> AnimateWindowCalls();

// ---- fonts, common controls, restart ----
// The LOGFONTA a font was created from (also after it was deleted).
std::optional<LOGFONTA> FontDescription(HFONT font);
// Fonts created and not yet deleted.
size_t LiveFonts();
// ExitWindowsEx never acts: it records the request. A reboot or shutdown
// fails with ERROR_PRIVILEGE_NOT_HELD unless SeShutdownPrivilege is enabled.
struct ExitWindowsRecord {
    UINT flags;
    DWORD reason;
    BOOL result;
};
std::vector<ExitWindowsRecord> ExitWindowsCalls();

} // namespace sim
