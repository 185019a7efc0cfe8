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
    std::string started;     // the program's path; empty when none was found
};
std::vector<ProcessLaunch> ProcessLaunches();
void InstallProduct(const std::string &productCode);
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
std::vector<MessageBoxRecord> MessageBoxes();
struct ShowWindowRecord {
    HWND hwnd;
    int command;
};
std::vector<ShowWindowRecord> ShowWindowCalls();

} // namespace sim
