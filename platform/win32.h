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
#include <msi.h>
#include <shlwapi.h>
#else
#include "sim/windows.h"
#endif
