#include "app/process_hardening.h"

#include "exports.h"
#include "win32.h"

namespace {

// Libraries the process loads by name come from the system folder only,
// never from the program's or the current folder. Windows before 8 (without
// its update) lacks the call.
void LoadLibrariesFromTheSystemFolderOnly(HMODULE kernel) {
    SetDefaultDllDirectoriesFn setDefaultDllDirectories = LOOK_UP_EXPORT(kernel, SetDefaultDllDirectories);
    if (setDefaultDllDirectories != NULL)
        setDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
}

// RedirectionGuard: file opens of this process no longer follow junctions
// that a non-administrator created. Windows before 10 (21H2) lacks the
// policy; Wine has no such links to judge.
void EnableRedirectionGuard(HMODULE kernel) {
    SetProcessMitigationPolicyFn setPolicy = LOOK_UP_EXPORT(kernel, SetProcessMitigationPolicy);
    const auto kRedirectionTrustPolicy = static_cast<PROCESS_MITIGATION_POLICY>(16);
    DWORD enforce = 1; // PROCESS_MITIGATION_REDIRECTION_TRUST_POLICY: EnforceRedirectionTrust
    if (setPolicy != NULL)
        setPolicy(kRedirectionTrustPolicy, &enforce, sizeof enforce);
}

} // namespace

void HardenProcess() {
    // A policy this Windows does not know fails its call: the thread's last
    // error, which later log lines may report, stays as it was.
    DWORD lastError = GetLastError();
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    if (kernel != NULL) {
        LoadLibrariesFromTheSystemFolderOnly(kernel);
        EnableRedirectionGuard(kernel);
    }
    SetLastError(lastError);
}
