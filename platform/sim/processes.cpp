// Simulated processes: programs started with CreateProcessA. Until the
// program starts any, no handle is a process.
#include "sim/internal.h"

namespace sim::detail {

bool WaitForProcess(const void *, DWORD, DWORD *) { return false; }

} // namespace sim::detail
