// Functions looked up by name at run time, because older Windows lacks them,
// only ntdll exports them, or their library is loaded only where needed. Each one's pointer type is declared here once,
// from its name, and the lookup takes the type from the name, so a call
// site cannot pair a name with another type. Where the system headers
// declare the function, the type is checked against that prototype as the
// program compiles (the simulated machine's header declares the same
// prototypes); ntdll's file calls are declared by nt_files.h alone, with
// its structures, and are checked against the layouts there.
#pragma once

#include <type_traits>

#include "nt_files.h"
#include "win32.h"

// The pointer type NAMEFn of the export NAME.
#define ZRT_EXPORT(ret, name, params) typedef ret(WINAPI *name##Fn) params
// The same, checked against the system's own prototype of NAME.
#define ZRT_SYSTEM_EXPORT(ret, name, params)                                                                           \
    ZRT_EXPORT(ret, name, params);                                                                                     \
    static_assert(std::is_same_v<name##Fn, decltype(&::name)>, #name ": not the type the system's headers declare")

ZRT_SYSTEM_EXPORT(BOOL, IsWow64Process, (HANDLE, PBOOL));
ZRT_SYSTEM_EXPORT(BOOL, Wow64DisableWow64FsRedirection, (PVOID *));
ZRT_SYSTEM_EXPORT(BOOL, Wow64RevertWow64FsRedirection, (PVOID));
ZRT_SYSTEM_EXPORT(BOOL, CheckTokenMembership, (HANDLE, PSID, PBOOL));
ZRT_SYSTEM_EXPORT(LONG, RegDeleteKeyExA, (HKEY, LPCSTR, REGSAM, DWORD));
ZRT_SYSTEM_EXPORT(BOOL, SetDefaultDllDirectories, (DWORD));
ZRT_SYSTEM_EXPORT(BOOL, SetProcessMitigationPolicy, (PROCESS_MITIGATION_POLICY, PVOID, SIZE_T));
ZRT_SYSTEM_EXPORT(UINT, MsiGetProductInfoExA, (LPCSTR, LPCSTR, MSIINSTALLCONTEXT, LPCSTR, LPSTR, LPDWORD));

ZRT_EXPORT(NtStatus, NtCreateFile,
           (HANDLE *, DWORD, NtObjectAttributes *, NtIoStatus *, LONGLONG *, ULONG, ULONG, ULONG, ULONG, void *,
            ULONG));
ZRT_EXPORT(NtStatus, NtQueryDirectoryFile,
           (HANDLE, HANDLE, void *, void *, NtIoStatus *, void *, ULONG, ULONG, BYTE, NtName *, BYTE));
ZRT_EXPORT(NtStatus, NtQueryInformationFile, (HANDLE, NtIoStatus *, void *, ULONG, ULONG));
ZRT_EXPORT(NtStatus, NtSetInformationFile, (HANDLE, NtIoStatus *, void *, ULONG, ULONG));
ZRT_EXPORT(ULONG, RtlNtStatusToDosError, (NtStatus));
ZRT_EXPORT(NtStatus, NtDeleteKey, (HANDLE));

// The export `name` of the loaded `module` as the function pointer type F;
// NULL when it is missing. GetProcAddress's result goes through void (*)(),
// the one function type that converts to any other without a warning.
template <class F> F LookUpExport(HMODULE module, const char *name) {
    return reinterpret_cast<F>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

// The export NAME of `module`, typed as declared above.
#define LOOK_UP_EXPORT(module, name) LookUpExport<name##Fn>(module, #name)
