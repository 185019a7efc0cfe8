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
constexpr unsigned kAlways = 0xFFFFFFFFu;
// Makes the next `times` calls of `api` (after `skip` matching calls) fail
// with `error`. With a subject, only calls whose main argument (path, name,
// resource type) contains it, case-insensitively, match:
// sim::FailCall("DeleteFileA", {.error = 32, .skip = 1, .subject = "Held"}).
struct Failure {
    DWORD error;
    unsigned skip = 0;
    unsigned times = 1; // kAlways: every matching call from then on
    std::string subject = "";
};
void FailCall(const std::string &api, const Failure &failure);

// ---- clock ----
void SetTickCount(DWORD ticks);
// Milliseconds that Sleep has been asked for since the reset.
uint64_t SleptMilliseconds();

// GetVersion's value; a set top bit is the Windows 9x family.
void SetVersion(DWORD version);

// The search folders that SetDefaultDllDirectories (a kernel32 export) set
// for the process; 0 while it was not called.
DWORD DefaultDllDirectories();

// ---- kernel objects ----
// Another process holds a named mutex. With RefusesOthers its access list
// grants only that process, as a user may set it: opening it, which
// creating it again does, fails with ERROR_ACCESS_DENIED.
enum class MutexAccess { OpenToOthers, RefusesOthers };
void PlantMutex(const std::string &name, MutexAccess access = MutexAccess::OpenToOthers);
// Waits until every thread started with CreateThread has ended.
void JoinThreads();

// ---- handles ----
// Open handles of a kind ("file", "find", "mutex", "thread", "key", "service"
// (the service manager's and the services'), ...).
size_t OpenHandles(const std::string &kind);

// ---- module resources ----
void SetResource(const std::string &type, int id, const std::string &bytes);
void RemoveResource(const std::string &type, int id);
// The bytes of resources/entry_listing.txt, as embedded in the program.
std::string DefaultEntryListing();

// ---- the process ends part way ----
// The tool's process ends (killed, or the power goes) at the n-th call
// counted since the reset, from 1, of every function that a failure can be
// injected into: that call throws ProcessEnded before it acts. 0: never.
struct ProcessEnded {};
void EndProcessAtCall(unsigned n);
unsigned CallsMade();
// Windows closes every handle an ended process held, with what each close
// does (a deleted service leaves, a file to go on close goes).
void EndProcess();
// The whole machine as text, to compare two machines: every file and
// folder, key and value, service and installed product.
std::string MachineText();

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
// The machine restarts: every other process ends, so no file is held any
// more, and the deletions queued for the restart are carried out (a
// read-only file's is refused and it stays, as under Wine); the queue and
// its registry value are cleared.
void Restart();
// A link (reparse point) at `path` to `target`: a directory link when
// `directory`. Calls that open a path follow links on the way; DeleteFileA,
// RemoveDirectoryA and GetFileAttributesA act on the link itself.
// The tag says what kind: IO_REPARSE_TAG_SYMLINK or IO_REPARSE_TAG_MOUNT_POINT
// (a junction); both are name surrogates.
void PlantLink(const std::string &path, const std::string &target, bool directory, DWORD tag = IO_REPARSE_TAG_SYMLINK);
// A reparse point that keeps data elsewhere (deduplication, cloud files), on
// an existing file or folder: it stands for no other name and is followed by
// nothing.
void PlantReparseData(const std::string &path, DWORD tag);
// Another name for an existing file, made elsewhere (a hard link): the
// file's link count, as GetFileInformationByHandle reports it, goes up.
void AddHardLinkElsewhere(const std::string &path);
// Moves a file or folder with all it holds, as a rename by another process
// would, whatever this process holds open: open handles follow it. False
// when the source is absent or the target exists or has no folder.
bool MoveTree(const std::string &from, const std::string &to);
// Deletes a file or folder with all it holds, whatever is open.
void RemoveTree(const std::string &path);
// Names are UTF-8 in the paths a test passes: each component is the item's
// exact wide name. The ANSI calls report and accept a name in its ANSI form,
// with Windows' best-fit replacements ("\xEF\xBC\xB6ictim", a fullwidth V,
// is listed as "Victim"); the native calls of ntdll use the wide names.
// The ANSI code page: 1252 after a reset, or 932 (Japanese, double-byte:
// U+30BD is 0x83 0x5C, its trail byte the backslash's code).
void SetAnsiCodePage(UINT page);
// The test's action runs at the n-th call (from 1, counted since the reset)
// of the file function `api` ("NtCreateFile", "WriteFile", ...), or of any
// file function when `api` is empty, before that call acts.
void AtCall(const std::string &api, unsigned n, std::function<void()> action);
// File-function calls since the reset: of `api`, or of all when empty.
unsigned FileCalls(const std::string &api = "");
// The flags last set for the redirection trust policy with
// SetProcessMitigationPolicy (1: enforced); 0 after a reset.
DWORD RedirectionTrustFlags();
// A standard user's process holds the file or folder open (CreateFileA as
// that user, for reading, sharing read and write but not delete; a link as
// the link): deleting
// or removing it fails with ERROR_SHARING_VIOLATION until a restart ends
// that process. Throws std::runtime_error where the user may not open it.
void HoldOpenElsewhere(const std::string &path);
// The enumeration delivers "." and ".." (except in a drive's root), then the
// folder's entries ordered by their upper-cased names, byte by byte, as NTFS
// orders them. Paths: "/" and "\" both separate, "." and ".." are resolved.
// The folders after a reset: C:\Windows\System32\drivers, C:\Windows\SysWOW64
// (with no drivers folder, as in a Wine prefix), C:\Program Files,
// C:\Program Files (x86), C:\ProgramData, C:\Users\Public\Desktop and
// C:\Users\Admin\AppData\Local\Temp.

// ---- environment ----
// After a reset, the variables of a 32-bit process on 64-bit Windows:
// ProgramFiles and ProgramFiles(x86) = C:\Program Files (x86), ProgramW6432 =
// C:\Program Files, windir = SystemRoot = C:\Windows, ALLUSERSPROFILE =
// C:\ProgramData, USERPROFILE = C:\Users\Admin, PUBLIC = C:\Users\Public, TEMP.
// ExpandEnvironmentStringsA leaves an undefined "%NAME%" as typed.
void SetEnvironment(const std::string &name, const std::string &value);
void RemoveEnvironment(const std::string &name);

// ---- WOW64 ----
// Whether IsWow64Process reports a 32-bit process on 64-bit Windows (true
// after a reset). While it does, each thread's file calls under
// C:\Windows\System32 reach C:\Windows\SysWOW64 until that thread switches
// redirection off. The three functions are kernel32 exports: RemoveExport
// plays a Windows without them, FailCall makes them fail.
// The registry views follow (sim::SetRegistryWow64 sets them apart).
void SetWow64Process(bool wow64);
// True while the calling thread has file-system redirection switched off.
bool FsRedirectionOff();

// ---- services ----
// An installed service and how it answers. The state moves only when the
// program acts or queries: an accepted stop request makes it
// SERVICE_STOP_PENDING, and each QueryServiceStatus after that reports
// SERVICE_STOP_PENDING `stopPolls` times (kAlways: for ever), then
// SERVICE_STOPPED. A stop request to a stopped service fails with
// ERROR_SERVICE_NOT_ACTIVE, to a stop-pending one with
// ERROR_SERVICE_CANNOT_ACCEPT_CTRL. DeleteService marks it; a marked service
// leaves the manager once it is stopped and its last handle is closed.
struct ServiceScript {
    DWORD state = SERVICE_RUNNING;
    DWORD startType = SERVICE_AUTO_START;
    DWORD stopPolls = 0;
    DWORD stopError = 0; // non-zero: a stop request is refused with it, the state stays
    bool markedForDelete = false;
};
// Planting installs it as CreateService does, with its key
// HKLM\SYSTEM\CurrentControlSet\Services\NAME (its value Start).
void PlantService(const std::string &name, const ServiceScript &script = ServiceScript());
// DeleteService: "the service is not deleted until all open handles to the
// service have been closed and the service is not running"; its key goes
// with it once its process has ended, which for a service that ran is a
// race with whatever comes next. Off (after a reset): the key goes as the
// service leaves the manager. On: the process of every service that ran
// ends only after the run, so the key is still there for the registry
// stage to find.
void SetServiceProcessesEndLate(bool late);
// The service as the manager holds it now; nothing once it has left.
std::optional<ServiceScript> InstalledService(const std::string &name);

// ---- the process token ----
void SetAdministrator(bool administrator);
// Privileges held by the token (all of the usual ones after a reset).
void SetPrivilegeHeld(const std::string &privilege, bool held);
bool PrivilegeEnabled(const std::string &privilege);
// SIDs allocated and not yet freed.
size_t LiveSids();

// ---- registry ----
// Paths name the root by its abbreviation (HKCR, HKCU, HKLM, HKU, HKCC) and
// are physical: HKLM\SOFTWARE\X is the 64-bit view's key and
// HKLM\SOFTWARE\Wow6432Node\X the 32-bit view's; a key that both views share
// (HKLM\SOFTWARE\Classes\..., HKLM\SYSTEM\...) has one path.
void PlantKey(const std::string &path);
void PlantValue(const std::string &key, const std::string &name, DWORD type, const std::string &data);
bool KeyExists(const std::string &path);
// Removes a key with everything below it, as Windows' own components do
// (the service manager, the Windows Installer); nothing if it is absent.
void RemoveKeyTree(const std::string &path);
// Every key below `path`, as paths relative to it, in enumeration order.
std::vector<std::string> KeysBelow(const std::string &path);
struct RegistryValue {
    DWORD type;
    std::string data;
};
std::optional<RegistryValue> KeyValue(const std::string &key, const std::string &name);
// A key protected as Windows protects one: owner SYSTEM and an access list
// that grants Administrators `administratorsAccess` (generic rights mapped
// as for keys) and nothing else: by default all but DELETE, so that opening
// it with DELETE among the access asked for (KEY_ALL_ACCESS has it) and
// deleting it are refused with ERROR_ACCESS_DENIED. Every key is checked as
// Windows checks it (access_check.cpp): RegOpenKeyExA and RegCreateKeyExA
// the access asked for against the key's list (creating a key needs
// KEY_CREATE_SUB_KEY of the key above), RegDeleteKeyA/ExA DELETE, and the
// value, enumeration and security calls the rights their handle was
// granted at its opening. The owner is granted READ_CONTROL and WRITE_DAC
// whatever the list says, the enabled take-ownership privilege WRITE_OWNER;
// any owner but Administrators or the user needs the restore privilege.
void ProtectKey(const std::string &path, DWORD administratorsAccess = KEY_ALL_ACCESS & ~DELETE);
// An explicit entry of an access list; mode as Windows reads a list back:
// GRANT_ACCESS for an allowing entry, DENY_ACCESS for a denying one.
struct AccessEntry {
    std::string trustee; // SID, "S-1-5-32-544"
    DWORD access;
    ACCESS_MODE mode;
    DWORD inheritance;
};
// What SetSecurityInfo set on a file or folder through a handle opened with
// WRITE_OWNER (the owner) and WRITE_DAC (the list). Recorded, not enforced:
// the simulated files refuse no one.
struct FileSecurity {
    std::string owner;                                  // SID; empty while never set
    std::optional<std::vector<AccessEntry>> accessList; // none while never set
    bool listProtected = false;                         // PROTECTED_DACL_SECURITY_INFORMATION
};
FileSecurity FileSecurityOf(const std::string &path);
// Sets the owner (a SID string) of the item itself (a link, not its
// target), as Windows gives its own links (SYSTEM) or a user theirs. An item
// whose owner was never set belongs to the user who runs the tests
// (kUserSid), as under Wine.
void SetFileOwner(const std::string &path, const std::string &owner);
// Sets an item's owner (empty: the user's) and access list (none: all
// granted), as a user's or Windows' own tools would; every open of the item
// is then checked against them (access_check.cpp).
void SetFileSecurity(const std::string &path, const FileSecurity &security);
// A Windows Server's layout where the tool goes (windows_layout.cpp): the
// old layout's compatibility links (C:\Documents and Settings, ProgramData's
// Application Data, Desktop, Documents, Start Menu and Templates, All Users
// and Default User), each owned by SYSTEM, hidden and system, with an
// access list that denies Everyone listing it (and SYNCHRONIZE), so that a
// path through it opens but it cannot be opened itself but to read its
// attributes and security; ProgramData owned by SYSTEM with its list;
// HKLM\SOFTWARE and its 32-bit view Wow6432Node owned by SYSTEM with their
// lists (Administrators and SYSTEM full control, Users read). With
// `productInstalled`, what the product's install left that Windows guards:
// HKLM\SYSTEM\CurrentControlSet\Enum\Root\LEGACY_<NAME> and its 0000 for
// each of the product's services, owned by SYSTEM, giving Administrators
// read access only; and SQL Server's keys in the 32-bit view as its setup
// leaves them (InstalledInstances, Instance Names\SQL, the instance-id key
// kSqlInstanceId and its Setup, whose list gives the instance's service
// identity kSqlServiceSid full control).
void PlantWindowsServerLayout(bool productInstalled = false);
inline const char kSqlInstanceName[] = "VUVURIDIVUZO";
inline const char kSqlInstanceId[] = "MSSQL10.VUVURIDIVUZO";
// NT SERVICE\MSSQL$VUVURIDIVUZO, the instance's per-service SID.
inline const char kSqlServiceSid[] = "S-1-5-80-1843961090-2879358469-2568316454-968504129-565183692";
inline const char kUserSid[] = "S-1-5-21-0-0-0-1000";
// A standard user of the server, with processes of their own: what `act`
// calls runs with that user's token (kStandardUserSid, Everyone, Users,
// Authenticated Users, Interactive; no Administrators, no privilege), and
// the handles it opens are that user's process's, kept until a restart
// ends it, and the caller's last error stays as it was. Files and folders
// it creates are the user's. What the user may do goes through the same
// checks as the tool's calls: renaming (MoveFileExA), making a junction
// (DeviceIoControl, FSCTL_SET_REPARSE_POINT, on an empty folder opened for
// writing); a symbolic link needs a privilege the user lacks.
inline const char kStandardUserSid[] = "S-1-5-21-0-0-0-1001";
void AsUser(const std::function<void()> &act);
// Plants a key (created if absent) with an owner (empty: Administrators)
// and access list (none: everything granted), as Windows or a setup left
// it; KeySecurityOf reads them back, planted or set.
void PlantKeySecurity(const std::string &path, const FileSecurity &security);
FileSecurity KeySecurityOf(const std::string &path);
// The explicit entries that SetNamedSecurityInfoA or SetSecurityInfo set;
// none while the planted access list stands.
std::optional<std::vector<AccessEntry>> KeyAccessList(const std::string &path);
std::string KeyOwner(const std::string &path);
// A registry link at `path` to the key at `target` (both as above): opening
// a path through it, deleting it by name and setting security by name reach
// the target; REG_OPTION_OPEN_LINK opens the link itself, and a link's own
// handle deletes the link (RegDeleteKeyA with an empty path). KeyExists and
// the other control calls see the link itself.
void PlantRegistryLink(const std::string &path, const std::string &target);
// A 32-bit process on 64-bit Windows (the default): HKLM\SOFTWARE is seen
// through Wow6432Node unless KEY_WOW64_64KEY asks for the 64-bit view, by
// the registry calls and by the security functions' object names alike
// ("MACHINE\SOFTWARE\..."). Off: 32-bit Windows, one view, the flags
// ignored. The same state as SetWow64Process: one process kind.
void SetRegistryWow64(bool wow64);
// HKLM\SYSTEM\CurrentControlSet is a link to ControlSet001, as on Windows
// (the default); off: two separate keys, as in a Wine prefix.
void SetCurrentControlSetLink(bool linked);
// Object names that SetNamedSecurityInfoA was called with, in order, and
// for SetSecurityInfo on a key handle, the name of the key as it was opened
// ("MACHINE\\" and the path as given, below the names of its parents).
std::vector<std::string> NamedSecurityCalls();
// Access lists of SetEntriesInAclA not yet released with LocalFree.
size_t LiveAccessLists();
// ---- processes ----
// A program that CreateProcessA can start: it runs `run` with its command
// line at start, then takes runMilliseconds of virtual time to exit with
// what `run` returned. The Windows Installer is registered after a reset as
// C:\Windows\system32\msiexec.exe: "/x {CODE}" uninstalls a product that
// InstallProduct registered (exit 0), else exits 1605.
void RegisterProgram(const std::string &path, DWORD runMilliseconds,
                     std::function<DWORD(const std::string &commandLine)> run = nullptr);
void RemoveProgram(const std::string &path);
// The folder the running program was started from (searched first).
void SetProgramFolder(const std::string &folder);
struct ProcessLaunch {
    std::string application; // as passed; empty for NULL
    std::string commandLine;
    std::string started;       // the program's path; empty when none was found
    std::string currentFolder; // as passed; empty for NULL (the caller's own)
};
std::vector<ProcessLaunch> ProcessLaunches();
// A product the Installer has installed per machine, with the install
// location its registration gives (MsiGetProductInfoExA's InstallLocation).
void InstallProduct(const std::string &productCode, const std::string &installLocation = "");
bool ProductInstalled(const std::string &productCode);

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
// Runs `meanwhile` with the box's text while each message box is up (after
// it is recorded, before its answer returns), on the thread that shows it.
// A box shown on the dialog's thread keeps dispatching the dialog's
// messages in its own loop: sim::DeliverNow reaches the dialog from there.
void WhileMessageBoxUp(std::function<void(const std::string &text)> meanwhile);
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
// The user acts on the running dialog now: on the dialog's own thread (in a
// message box's loop) the dialog handles it before DeliverNow returns; from
// another thread the click or close is queued for the dialog's thread.
void DeliverNow(const UserAction &action);
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
