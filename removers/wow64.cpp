#include "removers/wow64.h"

namespace {

// An export of a module the process has loaded already.
template <class F> F LookUp(const char *module, const char *name) {
    HMODULE handle = GetModuleHandleA(module);
    return handle == NULL ? NULL : LookUpExport<F>(handle, name);
}

} // namespace

bool IsWow64() {
    IsWow64ProcessFn isWow64Process = LookUp<IsWow64ProcessFn>("kernel32", "IsWow64Process");
    if (isWow64Process == NULL)
        return false;
    // The call's own result is not needed: on failure the flag stays false.
    BOOL wow64 = FALSE;
    isWow64Process(GetCurrentProcess(), &wow64);
    return wow64 != FALSE;
}

bool TurnRedirectionOff(RedirectionSwitch *redirection) {
    Wow64DisableWow64FsRedirectionFn disable =
        LookUp<Wow64DisableWow64FsRedirectionFn>("kernel32.dll", "Wow64DisableWow64FsRedirection");
    redirection->revert = LookUp<Wow64RevertWow64FsRedirectionFn>("kernel32.dll", "Wow64RevertWow64FsRedirection");
    redirection->saved = NULL;
    if (disable == NULL || redirection->revert == NULL)
        return false;
    return disable(&redirection->saved) != FALSE;
}

void TurnRedirectionBackOn(const RedirectionSwitch &redirection) { redirection.revert(redirection.saved); }
