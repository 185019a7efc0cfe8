// SetProcessMitigationPolicy, a kernel32 export of Windows 10 and later that
// the program looks up by name; the simulation keeps only the redirection
// trust policy (RedirectionGuard: junctions made by non-administrators are
// not followed). Wine 8 exports the function and does nothing with it.
#include <cstring>

#include "sim/control.h"
#include "sim/internal.h"

namespace sim::detail {

namespace {

DWORD g_redirectionTrust = 0;

constexpr int kRedirectionTrustPolicy = 16;

BOOL WINAPI SimSetProcessMitigationPolicy(PROCESS_MITIGATION_POLICY policy, PVOID buffer, SIZE_T length) {
    SIM_LOCK();
    DWORD code;
    if (TakeFault("SetProcessMitigationPolicy", nullptr, &code))
        return Fail(code, FALSE);
    if (policy != kRedirectionTrustPolicy || buffer == nullptr || length != sizeof(DWORD))
        return Fail(ERROR_INVALID_PARAMETER, FALSE);
    std::memcpy(&g_redirectionTrust, buffer, sizeof(DWORD));
    return TRUE;
}

} // namespace

void RegisterMitigationExports() {
    g_redirectionTrust = 0;
    SIM_EXPORT("kernel32.dll", SetProcessMitigationPolicy, SimSetProcessMitigationPolicy);
}

} // namespace sim::detail

namespace sim {

DWORD RedirectionTrustFlags() {
    SIM_LOCK();
    return detail::g_redirectionTrust;
}

} // namespace sim
