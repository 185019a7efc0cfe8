// The scenarios' machine part on the simulated machine: what Windows' own
// components do there (the service manager, another process, the Installer)
// is planted through the simulation's control API.
#include <map>

#include "machine.h"
#include "scenario.h"
#include "sim/control.h"

namespace scenario::machine {
namespace {

const char kInstallerFolder[] = "C:\\Windows\\system32\\msiexec.exe";
const char kPackageFile[] = "C:\\Program Files (x86)\\VUVURIDIVUZO Package\\package.txt";
const char kCachedPackage[] = "C:\\Windows\\Installer\\5e1a2.msi";

// The key as the control API names it: the 32-bit view's software keys
// below Wow6432Node.
std::string Physical(int view, const std::string &path) {
    if (view == 32 && path.rfind("SOFTWARE\\", 0) == 0 && path.rfind("SOFTWARE\\Classes\\", 0) != 0)
        return "HKLM\\SOFTWARE\\Wow6432Node\\" + path.substr(9);
    return "HKLM\\" + path;
}

std::vector<std::string> PackageKeys(const std::string &code) {
    return {"HKLM\\SOFTWARE\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\" + code,
            "HKLM\\SOFTWARE\\Classes\\Installer\\Products\\" + scenario::PackedCode(code),
            "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Installer\\UserData\\S-1-5-18\\Products\\" +
                scenario::PackedCode(code)};
}

// "msiexec /x {CODE}": what the Installer removes of an installed package.
DWORD Uninstall(const std::string &commandLine) {
    size_t x = commandLine.find("/x ");
    std::string code = x == std::string::npos ? "" : commandLine.substr(x + 3, 38);
    if (!sim::KeyExists(PackageKeys(code)[1]))
        return 1605; // unknown product
    for (const std::string &key : PackageKeys(code))
        sim::RemoveKeyTree(key);
    DeleteFileA(kPackageFile);
    RemoveDirectoryA("C:\\Program Files (x86)\\VUVURIDIVUZO Package");
    DeleteFileA(kCachedPackage);
    return 0;
}

} // namespace

bool UnderWine() { return false; }

bool PlantService(const std::string &name, const std::string &behaviour, unsigned startType, std::string *error) {
    sim::ServiceScript script{.state = SERVICE_RUNNING, .startType = startType};
    if (behaviour == "stopped")
        script.state = SERVICE_STOPPED;
    else if (behaviour == "slow")
        script.stopPolls = 4; // stop-pending 3.5 s, looked at once a second
    else if (behaviour == "never")
        script.stopPolls = sim::kAlways;
    else if (behaviour == "refuse")
        script.stopError = ERROR_INVALID_SERVICE_CONTROL;
    else if (behaviour != "prompt") {
        *error = "unknown service behaviour " + behaviour;
        return false;
    }
    sim::PlantService(name, script);
    return true;
}

std::string ServiceState(const std::string &name) {
    auto service = sim::InstalledService(name);
    if (!service)
        return "absent";
    return "state=" + std::to_string(service->state) + " start=" + std::to_string(service->startType);
}

bool HoldFiles(const std::vector<std::string> &paths, std::string *) {
    for (const std::string &path : paths)
        sim::HoldOpenElsewhere(path);
    return true;
}

bool Restarted() {
    for (const sim::ExitWindowsRecord &call : sim::ExitWindowsCalls())
        if (call.result)
            return true;
    return false;
}

bool PlantWindowsServerLayout(bool product, std::string *) {
    sim::PlantWindowsServerLayout(product);
    return true;
}

bool PlantLink(const std::string &path, const std::string &target, std::string *) {
    sim::PlantLink(path, target, true);
    return true;
}

bool PlantWideFile(const std::string &folder, const std::string &utf8Name, std::string *) {
    // The simulated machine names items by their UTF-8 wide names and lists
    // them to the ANSI calls in their best-fit forms.
    sim::PlantFile(folder + "\\" + utf8Name, "planted\r\n");
    return true;
}

// The SDDL each protected key was planted with, for KeySecurity.
std::map<std::string, std::string> g_planted;

bool ProtectKey(int view, const std::string &path, bool readOnly, std::string *) {
    if (readOnly)
        sim::ProtectKey(Physical(view, path), KEY_READ);
    else
        sim::ProtectKey(Physical(view, path));
    g_planted[Physical(view, path)] = readOnly ? kReadOnlySddl : kProtectedSddl;
    return true;
}

std::string KeySecurity(int view, const std::string &path) {
    std::string key = Physical(view, path);
    auto list = sim::KeyAccessList(key);
    if (!list && sim::KeyOwner(key) != "S-1-5-18")
        return "O:BAD:(A;OICI;KA;;;BA)";
    if (!list) {
        auto planted = g_planted.find(key);
        return planted == g_planted.end() ? kProtectedSddl : planted->second;
    }
    std::string sddl = "O:BAD:";
    for (const sim::AccessEntry &entry : *list)
        sddl += std::string("(") + (entry.mode == DENY_ACCESS ? "D" : "A") + ";" + (entry.inheritance ? "OICI" : "") +
                ";" + (entry.access == GENERIC_ALL ? "GA" : "?") + ";;;" +
                (entry.trustee == "S-1-5-32-544" ? "BA" : entry.trustee) + ")";
    return sddl;
}

std::string FolderSecurity(const std::string &path) {
    if (!sim::Exists(path))
        return "absent";
    sim::FileSecurity security = sim::FileSecurityOf(path);
    auto alias = [](const std::string &sid) {
        return sid == "S-1-5-32-544" ? std::string("BA") : sid == "S-1-5-18" ? std::string("SY") : sid;
    };
    // Never set: what a folder the tests make inherits (as in the Wine prefix).
    if (security.owner.empty() && !security.accessList)
        return "inherited";
    std::string sddl = "O:" + alias(security.owner) + "D:" + (security.listProtected ? "P" : "");
    for (const sim::AccessEntry &entry : security.accessList.value_or(std::vector<sim::AccessEntry>{}))
        sddl += std::string("(") + (entry.mode == DENY_ACCESS ? "D" : "A") + ";;" +
                (entry.access == GENERIC_ALL ? "FA" : "?") + ";;;" + alias(entry.trustee) + ")";
    return sddl;
}

bool InstallPackage(const std::string &productCode, std::string *) {
    sim::InstallProduct(productCode, kPackageInstallLocation);
    for (const std::string &key : PackageKeys(productCode))
        sim::PlantKey(key);
    sim::PlantFile(kPackageFile, "package");
    sim::PlantFile(kCachedPackage, "package");
    sim::RegisterProgram(kInstallerFolder, 200, Uninstall);
    return true;
}

bool PlantDecoyInstaller(std::string *) {
    sim::RegisterProgram("C:\\Tools\\msiexec.exe", 100, [](const std::string &) -> DWORD { return 0; });
    return true;
}

// Planting and checking run in this one process.
std::map<std::string, std::string> g_notes;

void Remember(const std::string &name, const std::string &value) { g_notes[name] = value; }

std::string Recall(const std::string &name) {
    auto note = g_notes.find(name);
    return note == g_notes.end() ? "nothing remembered" : note->second;
}

} // namespace scenario::machine
