// Functions that older Windows lacks, looked up by name at run time: their
// pointer types, shared by both builds, and the one typed lookup.
#pragma once

#include "win32.h"

typedef BOOL(WINAPI *IsWow64ProcessFn)(HANDLE, PBOOL);
typedef BOOL(WINAPI *Wow64DisableWow64FsRedirectionFn)(LPVOID *);
typedef BOOL(WINAPI *Wow64RevertWow64FsRedirectionFn)(LPVOID);
typedef BOOL(WINAPI *CheckTokenMembershipFn)(HANDLE, PSID, PBOOL);
typedef LONG(WINAPI *RegDeleteKeyExAFn)(HKEY, LPCSTR, REGSAM, DWORD);
typedef BOOL(WINAPI *SetDefaultDllDirectoriesFn)(DWORD);

// The export `name` of the loaded `module` as the function pointer type F;
// NULL when it is missing. GetProcAddress's result goes through void (*)(),
// the one function type that converts to any other without a warning.
template <class F> F LookUpExport(HMODULE module, const char *name) {
    return reinterpret_cast<F>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}
