// The simulated WOW64 layer: whether the process is a 32-bit one on 64-bit
// Windows, and file-system redirection, a setting of each thread, which sends
// the 32-bit program's "C:\Windows\System32" to "C:\Windows\SysWOW64".
// IsWow64Process and the two redirection switches are exports of kernel32
// that the program looks up by name; a test removes them to play an older
// Windows.
#include <map>
#include <thread>

#include "sim/control.h"
#include "sim/files.h"
#include "sim/internal.h"

namespace sim::detail {

namespace {

bool g_wow64 = true;

// Threads that switched redirection off; every other thread has it on.
std::map<std::thread::id, bool> &RedirectionOff() {
    static std::map<std::thread::id, bool> off;
    return off;
}

bool ThreadRedirectionOff() {
    auto it = RedirectionOff().find(std::this_thread::get_id());
    return it != RedirectionOff().end() && it->second;
}

// The saved state handed out by the disable function is opaque to callers;
// these two values say what the revert function restores.
void *const kSavedOn = reinterpret_cast<void *>(0x5700);
void *const kSavedOff = reinterpret_cast<void *>(0x5701);

BOOL WINAPI SimIsWow64Process(HANDLE process, PBOOL wow64) {
    SIM_LOCK();
    DWORD code;
    if (TakeFault("IsWow64Process", nullptr, &code))
        return Fail(code, FALSE);
    if (process != GetCurrentProcess())
        return Fail(static_cast<DWORD>(ERROR_INVALID_HANDLE), FALSE);
    if (wow64 == nullptr)
        return Fail(static_cast<DWORD>(ERROR_NOACCESS), FALSE);
    *wow64 = g_wow64 ? TRUE : FALSE;
    return TRUE;
}

BOOL WINAPI SimWow64DisableWow64FsRedirection(LPVOID *saved) {
    SIM_LOCK();
    DWORD code;
    if (TakeFault("Wow64DisableWow64FsRedirection", nullptr, &code))
        return Fail(code, FALSE);
    // 32-bit Windows has the function but nothing to switch.
    if (!g_wow64)
        return Fail(static_cast<DWORD>(ERROR_INVALID_FUNCTION), FALSE);
    if (saved == nullptr)
        return Fail(static_cast<DWORD>(ERROR_NOACCESS), FALSE);
    *saved = ThreadRedirectionOff() ? kSavedOff : kSavedOn;
    RedirectionOff()[std::this_thread::get_id()] = true;
    return TRUE;
}

BOOL WINAPI SimWow64RevertWow64FsRedirection(LPVOID saved) {
    SIM_LOCK();
    DWORD code;
    if (TakeFault("Wow64RevertWow64FsRedirection", nullptr, &code))
        return Fail(code, FALSE);
    if (!g_wow64)
        return Fail(static_cast<DWORD>(ERROR_INVALID_FUNCTION), FALSE);
    if (saved != kSavedOn && saved != kSavedOff)
        return Fail(static_cast<DWORD>(ERROR_INVALID_PARAMETER), FALSE);
    RedirectionOff()[std::this_thread::get_id()] = saved == kSavedOff;
    return TRUE;
}

// Under System32, these stay where they are even with redirection on.
const char *const kExempt[] = {"CATROOT", "CATROOT2", "DRIVERS\\ETC", "DRIVERSTORE", "LOGFILES", "SPOOL"};

bool StartsWithFolder(const std::string &key, const std::string &folder) {
    return key.compare(0, folder.size(), folder) == 0 && (key.size() == folder.size() || key[folder.size()] == '\\');
}

} // namespace

std::string RedirectPath(const std::string &path) {
    SIM_LOCK();
    std::string normalized = NormalizePath(path);
    if (!g_wow64 || ThreadRedirectionOff())
        return normalized;
    const std::string system32 = "C:\\WINDOWS\\SYSTEM32";
    std::string key = Upper(normalized);
    if (!StartsWithFolder(key, system32))
        return normalized;
    for (const char *exempt : kExempt)
        if (StartsWithFolder(key, system32 + "\\" + exempt))
            return normalized;
    return "C:\\Windows\\SysWOW64" + normalized.substr(system32.size());
}

void RegisterWow64Exports() {
    SIM_EXPORT("kernel32.dll", IsWow64Process, SimIsWow64Process);
    SIM_EXPORT("kernel32.dll", Wow64DisableWow64FsRedirection, SimWow64DisableWow64FsRedirection);
    SIM_EXPORT("kernel32.dll", Wow64RevertWow64FsRedirection, SimWow64RevertWow64FsRedirection);
}

bool ProcessIsWow64() {
    SIM_LOCK();
    return g_wow64;
}

void ResetWow64() {
    SIM_LOCK();
    g_wow64 = true;
    RedirectionOff().clear();
}

} // namespace sim::detail

namespace sim {

void SetWow64Process(bool wow64) {
    SIM_LOCK();
    detail::g_wow64 = wow64; // one state: the files' redirection and the registry views follow it
}

void SetRegistryWow64(bool wow64) { SetWow64Process(wow64); }

bool FsRedirectionOff() {
    SIM_LOCK();
    return detail::ThreadRedirectionOff();
}

} // namespace sim
