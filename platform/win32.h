// The one platform switch. Every file of the program includes this header for
// the Windows API; on Windows it is the system's own, elsewhere the simulated
// machine's, with the same names, types, values and signatures.
#pragma once

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <aclapi.h>
#include <commctrl.h>
#include <shlwapi.h>

// Run-time looked-up functions: pointer types shared by both builds.
typedef BOOL(WINAPI *IsWow64ProcessFn)(HANDLE, PBOOL);
typedef BOOL(WINAPI *Wow64DisableWow64FsRedirectionFn)(LPVOID *);
typedef BOOL(WINAPI *Wow64RevertWow64FsRedirectionFn)(LPVOID);
typedef BOOL(WINAPI *CheckTokenMembershipFn)(HANDLE, PSID, PBOOL);
typedef LONG(WINAPI *RegDeleteKeyExAFn)(HKEY, LPCSTR, REGSAM, DWORD);
#else
#include "sim/windows.h"
#endif
