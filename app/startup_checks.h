// The checks and preparations of start-up that need the process token.
#pragma once

#include "win32.h"

// Non-zero when the user belongs to the built-in Administrators group; on the
// Windows 9x family, which has no such group, always.
BOOL IsAdministrator();

// Enables SeShutdownPrivilege, which the restart offered at the end of a run
// needs; non-zero on success.
BOOL EnableShutdownPrivilege();
