// The functions that the program looks up by name at run time, registered
// with the module that exports them on Windows. A test removes one with
// sim::RemoveExport to play an older Windows.
#include "sim/internal.h"

namespace sim::detail {

void RegisterDefaultExports() {
    RegisterKernelExports();
    RegisterSecurityExports();
    RegisterWow64Exports();
    RegisterNtdllExports();
    RegisterMitigationExports();
    RegisterRegistryExports();
    RegisterInstallerExports();
}

} // namespace sim::detail
