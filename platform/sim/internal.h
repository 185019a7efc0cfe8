// Plumbing shared by the simulated machine's own source files: the machine
// lock, the handle table, injected failures and path helpers. Nothing outside
// platform/sim includes this header.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "exports.h"
#include "sim/control.h"
#include "sim/windows.h"

namespace sim {
struct AccessEntry;
}

namespace sim::detail {

// One lock for the whole machine: the dialog thread and the worker thread
// both call into it.
std::recursive_mutex &MachineLock();
#define SIM_LOCK() std::lock_guard<std::recursive_mutex> simLock_(::sim::detail::MachineLock())

// Kernel and other objects behind handles. Each kind of handle has its own
// class; Kind() names it for leak checks ("file", "mutex", "key", ...).
struct Object {
    virtual ~Object() = default;
    virtual const char *Kind() const = 0;
};

// True while sim::AsUser runs: calls act as the standard user, and handles
// go to that user's process.
bool ActingAsUser();
// The standard user's processes end (at a restart): their handles close.
void EndUserProcesses();
uintptr_t AddHandle(std::shared_ptr<Object> object);
std::shared_ptr<Object> FindHandle(const void *handle);
bool RemoveHandle(const void *handle);
std::vector<std::shared_ptr<Object>> AllHandles();

template <class T> std::shared_ptr<T> Lookup(const void *handle) {
    return std::dynamic_pointer_cast<T>(FindHandle(handle));
}

template <class T> std::vector<std::shared_ptr<T>> AllOf() {
    std::vector<std::shared_ptr<T>> out;
    for (auto &object : AllHandles())
        if (auto t = std::dynamic_pointer_cast<T>(object))
            out.push_back(t);
    return out;
}

// Injected failures: true when a failure was scripted for this call of `api`
// (optionally only for calls whose subject contains the scripted text); the
// error code is stored in *code.
bool TakeFault(const char *api, const char *subject, DWORD *code);

// Sets the thread's last error and returns `result`, for one-line failures.
template <class R> R Fail(DWORD code, R result) {
    SetLastError(code);
    return result;
}

// Case-insensitive comparisons and upper-casing, ANSI as the program uses it.
std::string Upper(const std::string &text);
bool EqualNoCase(const std::string &a, const std::string &b);

// The simulation's own form of a path, as the file system holds names:
// "/" and "\" are both separators, repeated separators count as one, a
// trailing separator is dropped; nothing else changes ("x." stays "x.").
// A Win32 call's path is first made full (Win32FullPath, files.h). The key
// is the upper-cased normalised path, used to look nodes up.
std::string NormalizePath(const std::string &path);
// The program's folder, which is also the process's current folder.
std::string &ProgramFolder();
std::string PathKey(const std::string &path);
std::string ParentPath(const std::string &normalized);
std::string LeafName(const std::string &normalized);

// Functions that the program looks up with GetProcAddress. Each area
// registers its own in RegisterDefaultExports (exports.cpp).
void RegisterExport(const char *module, const char *function, FARPROC address);
// Registers `implementation` as the export NAME of `module`, checked to be
// of the type the program looks NAME up by (exports.h).
#define SIM_EXPORT(module, name, implementation)                                                                       \
    static_assert(std::is_same_v<decltype(&implementation), name##Fn>, #implementation ": not " #name "'s type");      \
    RegisterExport(module, #name, reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(&implementation)))
void RegisterDefaultExports();

// Waits for a process handle of CreateProcessA; false when the handle is not
// of that kind.
bool WaitForProcess(const void *handle, DWORD ms, DWORD *result);

// The access check of every open of a file or folder (access_check.cpp):
// whether the token may have `wanted` (generic rights mapped,
// MAXIMUM_ALLOWED for all it may have) of an item with `security`, and
// the rights its handle then holds.
bool FileAccessGranted(const sim::FileSecurity &security, DWORD wanted, DWORD *granted);
DWORD MapFileRights(DWORD access);
// The same check for a registry key (the key generic mapping; a key whose
// owner was never set belongs to Administrators, who created it).
bool KeyAccessGranted(const sim::FileSecurity &security, DWORD wanted, DWORD *granted);
DWORD MapKeyRights(DWORD access);
// Whether the process token holds the SID (as a user or group).
bool TokenHasSid(const std::string &sid);
bool IsAdministratorToken();
// Whether the token holds the privilege, enabled or not; the standard user's holds none.
bool PrivilegeHeld(const char *privilege);
// Whether the process is a 32-bit one on 64-bit Windows (wow64.cpp): the
// one state that file-system redirection and the registry views follow.
bool ProcessIsWow64();

// "S-1-5-32-544" and the like for a live SID; empty for anything else.
std::string SidString(PSID sid);

// Sets the owner (a SID string) and/or replaces the access list of the key
// at `path` below the predefined `root`, found in the process's default
// view, as SetNamedSecurityInfoA does; a null pointer leaves that part.
DWORD SetKeySecurity(HKEY root, const std::string &path, const std::string *owner,
                     const std::vector<sim::AccessEntry> *accessList);
// The owner of the key named so, found as SetKeySecurity finds it; the
// opening for READ_CONTROL is checked against its list.
DWORD KeyOwnerByName(HKEY root, const std::string &path, std::string *owner);
// The same through an opened key handle, as SetSecurityInfo does: the
// handle's own access must hold WRITE_OWNER and WRITE_DAC for the changes.
// *objectName is the key's security object name, as it was opened.
// The owner (a SID string) of the file or folder a handle names; *status
// ERROR_ACCESS_DENIED when the handle lacks READ_CONTROL.
std::string FileOwnerByHandle(HANDLE handle, DWORD *status);
// A live SID (as AllocateAndInitializeSid makes one) for "S-1-5-...".
PSID NewSid(const std::string &text);
// Sets the owner and/or the list of the file or folder a handle names;
// ERROR_ACCESS_DENIED when the handle lacks WRITE_OWNER or WRITE_DAC for it.
DWORD SetFileSecurityByHandle(HANDLE handle, const std::string *owner, const std::vector<sim::AccessEntry> *accessList,
                              bool listProtected);
// A key's owner and list through its handle, which needs READ_CONTROL.
DWORD KeySecurityByHandle(HKEY key, sim::FileSecurity *security);
DWORD SetKeySecurityByHandle(HKEY key, const std::string *owner, const std::vector<sim::AccessEntry> *accessList,
                             std::string *objectName);

// Per-area resets, called by sim::Reset(), and per-area exports, called by
// RegisterDefaultExports().
void ResetFiles();
void ResetUi();
void ResetSecurity();
void ResetProcesses();
void RegisterSecurityExports();
void RegisterKernelExports();
void ResetServices();
void ResetEnvironment();
void ResetWow64();
void RegisterWow64Exports();
void RegisterNtdllExports();
void RegisterMitigationExports();
void ResetRegistry();
void ResetRegistrySecurity();
void RegisterRegistryExports();
void RegisterInstallerExports();
// Per-area descriptions for sim::MachineText(), one line per item.
std::string FilesText();
std::string RegistryText();
std::string ServicesText();
std::string ProductsText();

// The user interface's own plumbing: the dialog runtime (dialog.cpp) is reset
// by ResetUi, creates its dialog font without injected failures, and asks
// which window classes InitCommonControlsEx has registered (ui.cpp).
void ResetDialogs();
HFONT NewFont(const LOGFONTA &font);
void ReleaseFont(HFONT font);
bool WindowClassRegistered(const std::string &className);

} // namespace sim::detail
