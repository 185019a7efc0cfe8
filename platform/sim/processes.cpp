// Simulated processes: programs registered by path, started with
// CreateProcessA the way Windows finds them, running for a set time on the
// virtual clock. The Windows Installer is one such program.
#include <cstring>
#include <functional>
#include <map>
#include <vector>

#include "sim/control.h"
#include "sim/files.h"
#include "sim/internal.h"

namespace sim::detail {

std::string &ProgramFolder() {
    static std::string folder;
    return folder;
}

namespace {

struct Program {
    DWORD runMilliseconds;
    std::function<DWORD(const std::string &commandLine)> run;
};

std::map<std::string, Program> &Programs() { // by path key
    static std::map<std::string, Program> programs;
    return programs;
}

std::vector<sim::ProcessLaunch> &Launches() {
    static std::vector<sim::ProcessLaunch> launches;
    return launches;
}

// The Installer's per-machine products by product code (upper case), each
// with the install location its registration gives (empty: none).
std::map<std::string, std::string> &InstalledProducts() {
    static std::map<std::string, std::string> products;
    return products;
}

struct ProcessObject : Object {
    DWORD remaining = 0; // virtual milliseconds until it exits
    DWORD exitCode = 0;
    const char *Kind() const override { return "process"; }
};

struct ProcessThreadObject : Object {
    const char *Kind() const override { return "thread"; }
};

const char kSystemFolder[] = "C:\\Windows\\system32";
constexpr DWORD kStillActive = 259;
constexpr DWORD kUnknownProduct = ERROR_UNKNOWN_PRODUCT;

// The first token of a command line, as Windows reads it without an
// application name: quoted, or up to the first blank.
std::string FirstToken(const std::string &line) {
    if (!line.empty() && line[0] == '"') {
        size_t end = line.find('"', 1);
        return line.substr(1, end == std::string::npos ? std::string::npos : end - 1);
    }
    return line.substr(0, line.find(' '));
}

bool HasExtension(const std::string &name) {
    size_t dot = name.rfind('.');
    return dot != std::string::npos && name.find('\\', dot) == std::string::npos;
}

// Windows' search for a program named without a folder: the program's own
// folder, the current folder (the same one here), the system folder, the
// Windows folder.
std::string Resolve(const std::string &name) {
    std::string file = HasExtension(name) ? name : name + ".exe";
    if (file.find('\\') != std::string::npos || file.find(':') != std::string::npos)
        return Programs().count(PathKey(Win32FullPath(file))) ? file : "";
    for (const std::string &folder : {ProgramFolder(), std::string(kSystemFolder), std::string("C:\\Windows")}) {
        if (folder.empty())
            continue;
        std::string candidate = folder + "\\" + file;
        if (Programs().count(PathKey(Win32FullPath(candidate))))
            return candidate;
    }
    return "";
}

// The Windows Installer's "/x {CODE}": uninstalls a product it knows.
DWORD RunInstaller(const std::string &commandLine) {
    size_t x = Upper(commandLine).find("/X ");
    if (x == std::string::npos)
        return ERROR_INVALID_PARAMETER;
    std::string code = Upper(commandLine.substr(x + 3));
    code = code.substr(0, code.find(' '));
    if (!InstalledProducts().erase(code))
        return kUnknownProduct;
    // A 32-bit package's uninstall entry, which the Installer removes with it.
    sim::RemoveKeyTree("HKLM\\SOFTWARE\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\" + code);
    return ERROR_SUCCESS;
}

// "MsiGetProductInfoExA function": a product instance of the machine
// context (szUserSid NULL) is looked up by its code; one the Installer does
// not know gives ERROR_UNKNOWN_PRODUCT; a property that is not set reads as
// an empty string; a value that does not fit gives ERROR_MORE_DATA and the
// length it needs, in characters without the terminating NUL.
UINT WINAPI SimMsiGetProductInfoExA(LPCSTR productCode, LPCSTR userSid, MSIINSTALLCONTEXT context, LPCSTR property,
                                    LPSTR value, LPDWORD valueChars) {
    SIM_LOCK();
    DWORD code;
    if (TakeFault("MsiGetProductInfoExA", productCode, &code))
        return code;
    // Only the machine context is modelled, where the user SID must be NULL.
    if (productCode == nullptr || property == nullptr || context != MSIINSTALLCONTEXT_MACHINE || userSid != nullptr ||
        (value != nullptr && valueChars == nullptr))
        return ERROR_INVALID_PARAMETER;
    auto product = InstalledProducts().find(Upper(productCode));
    if (product == InstalledProducts().end())
        return ERROR_UNKNOWN_PRODUCT;
    if (std::strcmp(property, "InstallLocation") != 0)
        return ERROR_UNKNOWN_PROPERTY;
    const std::string &location = product->second;
    if (valueChars == nullptr)
        return ERROR_SUCCESS;
    DWORD room = *valueChars;
    *valueChars = static_cast<DWORD>(location.size());
    if (value == nullptr)
        return ERROR_SUCCESS;
    if (location.size() >= room) {
        if (room > 0)
            value[0] = '\0';
        return ERROR_MORE_DATA;
    }
    std::memcpy(value, location.c_str(), location.size() + 1);
    return ERROR_SUCCESS;
}

} // namespace

void RegisterInstallerExports() { SIM_EXPORT("msi.dll", MsiGetProductInfoExA, SimMsiGetProductInfoExA); }

bool WaitForProcess(const void *handle, DWORD ms, DWORD *result) {
    auto process = Lookup<ProcessObject>(handle);
    if (!process)
        return false;
    if (process->remaining <= ms) {
        Sleep(process->remaining);
        process->remaining = 0;
        *result = WAIT_OBJECT_0;
    } else {
        Sleep(ms);
        process->remaining -= ms;
        *result = WAIT_TIMEOUT;
    }
    return true;
}

std::string ProductsText() {
    SIM_LOCK();
    std::string text;
    for (const auto &[code, location] : InstalledProducts())
        text += "product " + code + " at " + location + "\n";
    return text;
}

void ResetProcesses() {
    SIM_LOCK();
    Programs().clear();
    Launches().clear();
    InstalledProducts().clear();
    ProgramFolder() = "C:\\Tools";
    // Every Windows has its Installer in the system folder.
    Programs()[PathKey(std::string(kSystemFolder) + "\\msiexec.exe")] = Program{200, RunInstaller};
}

} // namespace sim::detail

using namespace sim::detail;

UINT GetSystemDirectoryA(LPSTR buffer, UINT size) {
    SIM_LOCK();
    DWORD code;
    if (TakeFault("GetSystemDirectoryA", nullptr, &code))
        return Fail(code, 0u);
    UINT length = sizeof kSystemFolder - 1;
    if (size <= length)
        return length + 1;
    std::memcpy(buffer, kSystemFolder, length + 1);
    return length;
}

BOOL CreateProcessA(LPCSTR application, LPSTR commandLine, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL, DWORD,
                    LPVOID, LPCSTR currentFolder, LPSTARTUPINFOA startup, LPPROCESS_INFORMATION info) {
    SIM_LOCK();
    DWORD code;
    std::string line = commandLine ? commandLine : "";
    if (TakeFault("CreateProcessA", application ? application : line.c_str(), &code))
        return Fail(code, FALSE);
    if (startup == nullptr || info == nullptr || (application == nullptr && line.empty()))
        return Fail(ERROR_INVALID_PARAMETER, FALSE);
    std::string path = application ? (Programs().count(PathKey(Win32FullPath(application))) ? application : "")
                                   : Resolve(FirstToken(line));
    Launches().push_back(
        sim::ProcessLaunch{application ? application : "", line, path, currentFolder ? currentFolder : ""});
    if (path.empty()) {
        // An application named in a folder that does not exist: 3, as Windows.
        std::string folder = application ? ParentPath(Win32FullPath(application)) : "";
        FileNode *node = folder.empty() ? nullptr : FindNode(folder);
        return Fail(!folder.empty() && (!node || !node->folder) ? ERROR_PATH_NOT_FOUND : ERROR_FILE_NOT_FOUND, FALSE);
    }
    const Program &program = Programs()[PathKey(Win32FullPath(path))];
    auto process = std::make_shared<ProcessObject>();
    process->remaining = program.runMilliseconds;
    process->exitCode = program.run ? program.run(line) : 0;
    info->hProcess = reinterpret_cast<HANDLE>(AddHandle(process));
    info->hThread = reinterpret_cast<HANDLE>(AddHandle(std::make_shared<ProcessThreadObject>()));
    static DWORD nextId = 2000;
    info->dwProcessId = nextId;
    info->dwThreadId = nextId + 4;
    nextId += 8;
    return TRUE;
}

BOOL GetExitCodeProcess(HANDLE h, LPDWORD code) {
    SIM_LOCK();
    auto process = Lookup<ProcessObject>(h);
    if (!process)
        return Fail(ERROR_INVALID_HANDLE, FALSE);
    *code = process->remaining ? kStillActive : process->exitCode;
    return TRUE;
}

namespace sim {

void RegisterProgram(const std::string &path, DWORD runMilliseconds,
                     std::function<DWORD(const std::string &commandLine)> run) {
    SIM_LOCK();
    Programs()[PathKey(path)] = Program{runMilliseconds, std::move(run)};
}

void RemoveProgram(const std::string &path) {
    SIM_LOCK();
    Programs().erase(PathKey(path));
}

void SetProgramFolder(const std::string &folder) {
    SIM_LOCK();
    ProgramFolder() = folder;
}

std::vector<ProcessLaunch> ProcessLaunches() {
    SIM_LOCK();
    return Launches();
}

void InstallProduct(const std::string &productCode, const std::string &installLocation) {
    SIM_LOCK();
    InstalledProducts()[Upper(productCode)] = installLocation;
}

bool ProductInstalled(const std::string &productCode) {
    SIM_LOCK();
    return InstalledProducts().count(Upper(productCode)) > 0;
}

} // namespace sim
