// The simulated process token and security identifiers: whether the user is
// an administrator, which privileges the token holds and which are enabled.
#include <cstring>
#include <set>
#include <vector>

#include "sim/control.h"
#include "sim/internal.h"

namespace sim::detail {

namespace {

struct TokenState {
    bool administrator = true;
    std::set<std::string> held;
    std::set<std::string> enabled;
};

TokenState &Token() {
    static TokenState token;
    return token;
}

// Privilege names by the LUID that LookupPrivilegeValueA hands out.
// "Create symbolic links" (security policy setting): Administrators hold
// SeCreateSymbolicLinkPrivilege by default, users do not.
const char *const kPrivileges[] = {"SeShutdownPrivilege",          "SeTakeOwnershipPrivilege", "SeBackupPrivilege",
                                   "SeRestorePrivilege",           "SeDebugPrivilege",         "SeCreateTokenPrivilege",
                                   "SeCreateSymbolicLinkPrivilege"};
// An administrator's token holds all of them but this one.
const char kNotHeldByAdministrators[] = "SeCreateTokenPrivilege";
constexpr DWORD kFirstLuid = 100;

struct TokenObject : Object {
    DWORD access = 0;
    const char *Kind() const override { return "token"; }
};

// A SID as AllocateAndInitializeSid builds it; FreeSid releases it.
struct SimSid {
    BYTE authority[6];
    BYTE count;
    DWORD sub[8];
};

std::set<SimSid *> &LiveSids() {
    static std::set<SimSid *> sids;
    return sids;
}

// SIDs written into a caller's buffer (GetTokenInformation's), which the
// caller releases with the buffer.
std::set<SimSid *> &BufferSids() {
    static std::set<SimSid *> sids;
    return sids;
}

// True for a live SID of AllocateAndInitializeSid that is S-1-5-32-544.
bool IsAdministratorsSid(PSID sid) {
    auto *s = static_cast<SimSid *>(sid);
    static const BYTE nt[6] = SECURITY_NT_AUTHORITY;
    return LiveSids().count(s) && std::memcmp(s->authority, nt, 6) == 0 && s->count == 2 &&
           s->sub[0] == SECURITY_BUILTIN_DOMAIN_RID && s->sub[1] == DOMAIN_ALIAS_RID_ADMINS;
}

BOOL WINAPI SimCheckTokenMembership(HANDLE token, PSID sid, PBOOL isMember) {
    SIM_LOCK();
    DWORD code;
    if (TakeFault("CheckTokenMembership", nullptr, &code))
        return Fail(code, FALSE);
    if (token != nullptr || sid == nullptr || isMember == nullptr)
        return Fail(ERROR_INVALID_PARAMETER, FALSE);
    *isMember = IsAdministratorsSid(sid) && Token().administrator;
    return TRUE;
}

} // namespace

void RegisterSecurityExports() { SIM_EXPORT("advapi32.dll", CheckTokenMembership, SimCheckTokenMembership); }

void ResetSecurity() {
    SIM_LOCK();
    for (SimSid *s : LiveSids())
        delete s;
    LiveSids().clear();
    BufferSids().clear();
    Token() = TokenState{};
    for (const char *p : kPrivileges)
        if (std::strcmp(p, kNotHeldByAdministrators) != 0)
            Token().held.insert(p);
}

size_t LiveSidCount() { return LiveSids().size(); }

bool PrivilegeHeld(const char *privilege) { return !ActingAsUser() && Token().held.count(privilege) > 0; }

PSID NewSid(const std::string &text) {
    // "S-1-<authority>-<sub>...", as SidString writes it.
    std::vector<uint64_t> parts;
    size_t at = 4;
    if (text.compare(0, 4, "S-1-") != 0)
        return nullptr;
    while (at <= text.size()) {
        size_t end = text.find('-', at);
        parts.push_back(std::stoull(text.substr(at, end == std::string::npos ? std::string::npos : end - at)));
        if (end == std::string::npos)
            break;
        at = end + 1;
    }
    if (parts.size() < 2 || parts.size() > 9)
        return nullptr;
    auto *sid = new SimSid{{}, static_cast<BYTE>(parts.size() - 1), {}};
    for (int i = 5; i >= 0; --i, parts[0] >>= 8)
        sid->authority[i] = static_cast<BYTE>(parts[0] & 0xFF);
    for (size_t i = 1; i < parts.size(); ++i)
        sid->sub[i - 1] = static_cast<DWORD>(parts[i]);
    LiveSids().insert(sid);
    return sid;
}

std::string SidString(PSID sid) {
    auto *s = static_cast<SimSid *>(sid);
    if (!LiveSids().count(s) && !BufferSids().count(s))
        return std::string();
    uint64_t authority = 0;
    for (BYTE b : s->authority)
        authority = authority << 8 | b;
    std::string text = "S-1-" + std::to_string(authority);
    for (BYTE i = 0; i < s->count; ++i)
        text += "-" + std::to_string(s->sub[i]);
    return text;
}

bool IsAdministratorToken() { return Token().administrator; }

} // namespace sim::detail

using namespace sim::detail;

BOOL OpenProcessToken(HANDLE process, DWORD access, PHANDLE token) {
    SIM_LOCK();
    DWORD code;
    if (TakeFault("OpenProcessToken", nullptr, &code))
        return Fail(code, FALSE);
    if (process != GetCurrentProcess() || token == nullptr)
        return Fail(ERROR_INVALID_HANDLE, FALSE);
    auto object = std::make_shared<TokenObject>();
    object->access = access;
    *token = reinterpret_cast<HANDLE>(AddHandle(object));
    return TRUE;
}

// "GetTokenInformation function", "TOKEN_USER structure": TokenUser needs
// TOKEN_QUERY and gives the token's user, its SID in the buffer after the
// structure; a buffer too small fails with ERROR_INSUFFICIENT_BUFFER and
// the size it needs.
BOOL GetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS infoClass, LPVOID info, DWORD length,
                         LPDWORD returnLength) {
    SIM_LOCK();
    DWORD code;
    if (TakeFault("GetTokenInformation", nullptr, &code))
        return Fail(code, FALSE);
    auto object = Lookup<TokenObject>(token);
    if (!object)
        return Fail(ERROR_INVALID_HANDLE, FALSE);
    if (!(object->access & TOKEN_QUERY))
        return Fail(ERROR_ACCESS_DENIED, FALSE);
    if (infoClass != TokenUser || returnLength == nullptr)
        return Fail(ERROR_INVALID_PARAMETER, FALSE);
    *returnLength = sizeof(TOKEN_USER) + sizeof(SimSid);
    if (info == nullptr || length < *returnLength)
        return Fail(ERROR_INSUFFICIENT_BUFFER, FALSE);
    PSID user = NewSid(ActingAsUser() ? sim::kStandardUserSid : sim::kUserSid);
    auto *inBuffer = reinterpret_cast<SimSid *>(static_cast<BYTE *>(info) + sizeof(TOKEN_USER));
    std::memcpy(inBuffer, user, sizeof(SimSid));
    LiveSids().erase(static_cast<SimSid *>(user));
    delete static_cast<SimSid *>(user);
    BufferSids().insert(inBuffer);
    static_cast<TOKEN_USER *>(info)->User = SID_AND_ATTRIBUTES{inBuffer, 0};
    return TRUE;
}

BOOL LookupPrivilegeValueA(LPCSTR system, LPCSTR name, PLUID luid) {
    SIM_LOCK();
    DWORD code;
    if (TakeFault("LookupPrivilegeValueA", name, &code))
        return Fail(code, FALSE);
    if (system != nullptr)
        return Fail(ERROR_CALL_NOT_IMPLEMENTED, FALSE); // only the local system is asked
    for (DWORD i = 0; i < sizeof kPrivileges / sizeof kPrivileges[0]; ++i)
        if (name && EqualNoCase(name, kPrivileges[i])) {
            luid->LowPart = kFirstLuid + i;
            luid->HighPart = 0;
            return TRUE;
        }
    return Fail(ERROR_NO_SUCH_PRIVILEGE, FALSE);
}

BOOL AdjustTokenPrivileges(HANDLE token, BOOL disableAll, PTOKEN_PRIVILEGES state, DWORD, PTOKEN_PRIVILEGES previous,
                           LPDWORD) {
    SIM_LOCK();
    DWORD code;
    if (TakeFault("AdjustTokenPrivileges", nullptr, &code))
        return Fail(code, FALSE);
    auto object = Lookup<TokenObject>(token);
    if (!object)
        return Fail(ERROR_INVALID_HANDLE, FALSE);
    if (!(object->access & TOKEN_ADJUST_PRIVILEGES) || (previous && !(object->access & TOKEN_QUERY)))
        return Fail(ERROR_ACCESS_DENIED, FALSE);
    if (disableAll) {
        Token().enabled.clear();
        return Fail(ERROR_SUCCESS, TRUE);
    }
    bool allAssigned = true;
    for (DWORD i = 0; i < state->PrivilegeCount; ++i) {
        DWORD index = state->Privileges[i].Luid.LowPart - kFirstLuid;
        if (index >= sizeof kPrivileges / sizeof kPrivileges[0] || !Token().held.count(kPrivileges[index])) {
            allAssigned = false;
            continue;
        }
        if (state->Privileges[i].Attributes & SE_PRIVILEGE_ENABLED)
            Token().enabled.insert(kPrivileges[index]);
        else
            Token().enabled.erase(kPrivileges[index]);
    }
    // Success either way; a privilege the token lacks only shows in the last error.
    return Fail(allAssigned ? ERROR_SUCCESS : ERROR_NOT_ALL_ASSIGNED, TRUE);
}

BOOL AllocateAndInitializeSid(PSID_IDENTIFIER_AUTHORITY authority, BYTE count, DWORD s0, DWORD s1, DWORD s2, DWORD s3,
                              DWORD s4, DWORD s5, DWORD s6, DWORD s7, PSID *sid) {
    SIM_LOCK();
    DWORD code;
    if (TakeFault("AllocateAndInitializeSid", nullptr, &code))
        return Fail(code, FALSE);
    if (count == 0 || count > 8 || authority == nullptr || sid == nullptr)
        return Fail(ERROR_INVALID_PARAMETER, FALSE);
    auto *s = new SimSid{{}, count, {s0, s1, s2, s3, s4, s5, s6, s7}};
    std::memcpy(s->authority, authority->Value, 6);
    LiveSids().insert(s);
    *sid = s;
    return TRUE;
}

BOOL EqualSid(PSID first, PSID second) {
    SIM_LOCK();
    std::string a = SidString(first), b = SidString(second);
    if (a.empty() || b.empty())
        return Fail(ERROR_INVALID_SID, FALSE);
    return Fail(ERROR_SUCCESS, a == b ? TRUE : FALSE);
}

PSID FreeSid(PSID sid) {
    SIM_LOCK();
    DWORD code;
    if (TakeFault("FreeSid", nullptr, &code))
        return Fail(code, sid);
    auto *s = static_cast<SimSid *>(sid);
    if (LiveSids().erase(s) == 0)
        return sid; // Windows returns the SID on failure
    delete s;
    return nullptr;
}

namespace sim {

void SetAdministrator(bool administrator) {
    SIM_LOCK();
    Token().administrator = administrator;
}

void SetPrivilegeHeld(const std::string &privilege, bool held) {
    SIM_LOCK();
    if (held)
        Token().held.insert(privilege);
    else {
        Token().held.erase(privilege);
        Token().enabled.erase(privilege);
    }
}

bool PrivilegeEnabled(const std::string &privilege) {
    SIM_LOCK();
    return Token().enabled.count(privilege) > 0;
}

size_t LiveSids() { return sim::detail::LiveSidCount(); }

} // namespace sim
