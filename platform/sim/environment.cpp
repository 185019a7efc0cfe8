// The simulated process environment: its variables, by default those of a
// 32-bit process on 64-bit Windows, and their expansion.
#include <cstring>
#include <map>

#include "sim/control.h"
#include "sim/internal.h"

namespace sim::detail {

namespace {

// Keyed by the upper-cased name; the value keeps the name as it was set.
std::map<std::string, std::pair<std::string, std::string>> &Variables() {
    static std::map<std::string, std::pair<std::string, std::string>> variables;
    return variables;
}

const std::string *FindVariable(const std::string &name) {
    auto it = Variables().find(Upper(name));
    return it == Variables().end() ? nullptr : &it->second.second;
}

// The expansion as Windows builds it: "%NAME%" becomes the variable's value;
// an undefined name, "%%" and a '%' without a closing one stay as typed.
std::string Expand(const std::string &source) {
    std::string out;
    size_t i = 0;
    while (i < source.size()) {
        size_t open = source.find('%', i);
        if (open == std::string::npos) {
            out.append(source, i, std::string::npos);
            break;
        }
        out.append(source, i, open - i);
        size_t close = source.find('%', open + 1);
        if (close == std::string::npos) {
            out.append(source, open, std::string::npos);
            break;
        }
        const std::string *value = FindVariable(source.substr(open + 1, close - open - 1));
        out += value ? *value : source.substr(open, close - open + 1);
        i = close + 1;
    }
    return out;
}

} // namespace

void ResetEnvironment() {
    SIM_LOCK();
    Variables().clear();
    const char *const defaults[][2] = {
        {"ALLUSERSPROFILE", "C:\\ProgramData"},
        {"CommonProgramFiles", "C:\\Program Files (x86)\\Common Files"},
        {"CommonProgramFiles(x86)", "C:\\Program Files (x86)\\Common Files"},
        {"CommonProgramW6432", "C:\\Program Files\\Common Files"},
        {"ComSpec", "C:\\Windows\\system32\\cmd.exe"},
        {"PROCESSOR_ARCHITECTURE", "x86"},
        {"PROCESSOR_ARCHITEW6432", "AMD64"},
        {"ProgramData", "C:\\ProgramData"},
        {"ProgramFiles", "C:\\Program Files (x86)"},
        {"ProgramFiles(x86)", "C:\\Program Files (x86)"},
        {"ProgramW6432", "C:\\Program Files"},
        {"PUBLIC", "C:\\Users\\Public"},
        {"SystemDrive", "C:"},
        {"SystemRoot", "C:\\Windows"},
        {"TEMP", "C:\\Users\\Admin\\AppData\\Local\\Temp"},
        {"TMP", "C:\\Users\\Admin\\AppData\\Local\\Temp"},
        {"USERNAME", "Admin"},
        {"USERPROFILE", "C:\\Users\\Admin"},
        {"windir", "C:\\Windows"},
    };
    for (auto &variable : defaults)
        Variables()[Upper(variable[0])] = {variable[0], variable[1]};
}

} // namespace sim::detail

using namespace sim::detail;

DWORD ExpandEnvironmentStringsA(LPCSTR src, LPSTR dst, DWORD size) {
    SIM_LOCK();
    DWORD code;
    if (TakeFault("ExpandEnvironmentStringsA", src, &code))
        return Fail(code, 0u);
    if (src == nullptr)
        return Fail(static_cast<DWORD>(ERROR_INVALID_PARAMETER), 0u);
    std::string expanded = Expand(src);
    DWORD needed = static_cast<DWORD>(expanded.size() + 1);
    // Too small a buffer holds nothing usable; only the size needed is
    // reported. Left untouched here, as Wine leaves it.
    if (dst == nullptr || size < needed)
        return Fail(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), needed);
    std::memcpy(dst, expanded.c_str(), needed);
    return needed;
}

namespace sim {

void SetEnvironment(const std::string &name, const std::string &value) {
    SIM_LOCK();
    Variables()[Upper(name)] = {name, value};
}

void RemoveEnvironment(const std::string &name) {
    SIM_LOCK();
    Variables().erase(Upper(name));
}

} // namespace sim
