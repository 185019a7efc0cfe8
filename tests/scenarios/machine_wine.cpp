// The scenarios' machine part on a real machine (Wine, or Windows): the
// tests' own service program installed as a service, a second process that
// holds files, the Installer run on the tests' package, and what only the
// host can make (a directory link), asked of the runner on standard output.
#include <cstdio>
#include <cwchar>

#include "machine.h"
#include "win32.h"
// After windows.h, which it needs.
#include <sddl.h>

namespace scenario::machine {
namespace {

const char kHolderMutex[] = "ZrtScenarioHolder";
const char kHeldEvent[] = "ZrtScenarioHeld";

// The folder of this program, where the runner puts the tests' programs.
std::string ToolFolder() {
    char path[MAX_PATH] = {};
    GetModuleFileNameA(NULL, path, MAX_PATH);
    std::string folder = path;
    return folder.substr(0, folder.rfind('\\'));
}

bool Failed(const std::string &what, DWORD code, std::string *error) {
    *error = what + " failed: " + std::to_string(code);
    return false;
}

// Runs a command line to its end; its exit code, or -1 after `ms`.
long RunAndWait(std::string commandLine, DWORD ms) {
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessA(NULL, commandLine.data(), NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process))
        return -1;
    DWORD code = static_cast<DWORD>(-1);
    if (WaitForSingleObject(process.hProcess, ms) == WAIT_OBJECT_0)
        GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return static_cast<long>(code);
}

HKEY OpenKey(int view, const std::string &path, REGSAM access) {
    HKEY key = NULL;
    REGSAM flag = view == 64 ? KEY_WOW64_64KEY : KEY_WOW64_32KEY;
    return RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, flag | access, &key) == ERROR_SUCCESS ? key : NULL;
}

} // namespace

bool UnderWine() {
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != NULL && GetProcAddress(ntdll, "wine_get_version") != NULL;
}

bool PlantService(const std::string &name, const std::string &behaviour, unsigned startType, std::string *error) {
    SC_HANDLE manager = OpenSCManagerA(NULL, NULL, SC_MANAGER_ALL_ACCESS);
    if (manager == NULL)
        return Failed("OpenSCManagerA", GetLastError(), error);
    // A stopped service is one that stops at once, never started.
    std::string binary = ToolFolder() + "\\test_service.exe " + (behaviour == "stopped" ? "prompt" : behaviour);
    SC_HANDLE service =
        CreateServiceA(manager, name.c_str(), name.c_str(), SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, startType,
                       SERVICE_ERROR_NORMAL, binary.c_str(), NULL, NULL, NULL, NULL, NULL);
    DWORD code = GetLastError();
    CloseServiceHandle(manager);
    if (service == NULL)
        return Failed("CreateServiceA " + name, code, error);
    SERVICE_STATUS status = {};
    bool ok = behaviour == "stopped" || StartServiceA(service, 0, NULL);
    for (int i = 0; ok && behaviour != "stopped" && i < 200; ++i) {
        if (QueryServiceStatus(service, &status) && status.dwCurrentState == SERVICE_RUNNING)
            break;
        Sleep(50);
    }
    code = GetLastError();
    CloseServiceHandle(service);
    if (!ok || (behaviour != "stopped" && status.dwCurrentState != SERVICE_RUNNING))
        return Failed("starting the service " + name, code, error);
    return true;
}

std::string ServiceState(const std::string &name) {
    SC_HANDLE manager = OpenSCManagerA(NULL, NULL, SC_MANAGER_CONNECT);
    SC_HANDLE service =
        manager != NULL ? OpenServiceA(manager, name.c_str(), SERVICE_QUERY_STATUS | SERVICE_QUERY_CONFIG) : NULL;
    std::string state = "absent";
    if (service != NULL) {
        SERVICE_STATUS status = {};
        QueryServiceStatus(service, &status);
        BYTE buffer[8192];
        DWORD needed = 0;
        auto *config = reinterpret_cast<QUERY_SERVICE_CONFIGA *>(buffer);
        DWORD start = QueryServiceConfigA(service, config, sizeof buffer, &needed) ? config->dwStartType : 0xFFFFFFFF;
        state = "state=" + std::to_string(status.dwCurrentState) + " start=" + std::to_string(start);
        CloseServiceHandle(service);
    }
    if (manager != NULL)
        CloseServiceHandle(manager);
    return state;
}

bool HoldFiles(const std::vector<std::string> &paths, std::string *error) {
    HANDLE held = CreateEventA(NULL, TRUE, FALSE, kHeldEvent);
    std::string commandLine = "\"" + ToolFolder() + "\\scenario.exe\" hold 120";
    for (const std::string &path : paths)
        commandLine += " \"" + path + "\"";
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessA(NULL, commandLine.data(), NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process))
        return Failed("starting the holder", GetLastError(), error);
    HANDLE waits[] = {held, process.hProcess};
    DWORD which = WaitForMultipleObjects(2, waits, FALSE, 20000);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    CloseHandle(held);
    return which == WAIT_OBJECT_0 || Failed("the holder opening every file", which, error);
}

int Hold(int seconds, const std::vector<std::string> &paths) {
    HANDLE alive = CreateMutexA(NULL, FALSE, kHolderMutex);
    for (const std::string &path : paths)
        if (CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                        FILE_ATTRIBUTE_NORMAL, NULL) == INVALID_HANDLE_VALUE) {
            std::fprintf(stderr, "cannot hold %s: %lu\n", path.c_str(), GetLastError());
            return 1;
        }
    HANDLE held = OpenEventA(EVENT_MODIFY_STATE, FALSE, kHeldEvent);
    SetEvent(held);
    Sleep(static_cast<DWORD>(seconds) * 1000);
    CloseHandle(alive);
    return 0;
}

bool Restarted() {
    HANDLE alive = OpenMutexA(SYNCHRONIZE, FALSE, kHolderMutex);
    if (alive != NULL)
        CloseHandle(alive);
    return alive == NULL;
}

// Links made by the runner would belong to the user who runs Wine, and the
// walk would rightly refuse them as a user's links.
bool PlantWindowsServerLayout(bool, std::string *) { return true; }

bool PlantLink(const std::string &path, const std::string &target, std::string *) {
    std::printf("link\t%s\t%s\n", path.c_str(), target.c_str());
    return true;
}

bool PlantWideFile(const std::string &folder, const std::string &utf8Name, std::string *error) {
    // In the "\\?\" form: a name is made as it stands, trailing dots and all.
    std::string utf8 = "\\\\?\\" + folder + "\\" + utf8Name;
    wchar_t path[MAX_PATH];
    if (MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, path, MAX_PATH) == 0)
        return Failed("MultiByteToWideChar", GetLastError(), error);
    // Folders on the way (a wide name may hold some) are made with their wide names.
    int folderChars = 4 + MultiByteToWideChar(CP_UTF8, 0, folder.c_str(), -1, NULL, 0);
    for (wchar_t *separator = wcschr(path + folderChars, L'\\'); separator != NULL;
         separator = wcschr(separator + 1, L'\\')) {
        *separator = L'\0';
        if (!CreateDirectoryW(path, NULL) && GetLastError() != ERROR_ALREADY_EXISTS)
            return Failed("CreateDirectoryW", GetLastError(), error);
        *separator = L'\\';
    }
    HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return Failed("CreateFileW", GetLastError(), error);
    DWORD written;
    WriteFile(file, "planted\r\n", 9, &written, NULL);
    CloseHandle(file);
    return true;
}

bool ProtectKey(int view, const std::string &path, bool readOnly, std::string *error) {
    HKEY key = OpenKey(view, path, WRITE_DAC | WRITE_OWNER | READ_CONTROL);
    if (key == NULL)
        return Failed("opening " + path, ERROR_FILE_NOT_FOUND, error);
    PSECURITY_DESCRIPTOR descriptor = NULL;
    LONG rc = ERROR_INVALID_PARAMETER;
    if (ConvertStringSecurityDescriptorToSecurityDescriptorA(readOnly ? kReadOnlySddl : kProtectedSddl, SDDL_REVISION_1,
                                                             &descriptor, NULL)) {
        rc = RegSetKeySecurity(key, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, descriptor);
        LocalFree(descriptor);
    }
    RegCloseKey(key);
    return rc == ERROR_SUCCESS || Failed("RegSetKeySecurity", rc, error);
}

// Read with READ_CONTROL only: a protected key refuses every other access.
std::string KeySecurity(int view, const std::string &path) {
    HKEY key = OpenKey(view, path, READ_CONTROL);
    if (key == NULL)
        return "absent";
    const SECURITY_INFORMATION what = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
    BYTE descriptor[4096];
    DWORD size = sizeof descriptor;
    LONG rc = RegGetKeySecurity(key, what, descriptor, &size);
    RegCloseKey(key);
    char *text = NULL;
    if (rc != ERROR_SUCCESS ||
        !ConvertSecurityDescriptorToStringSecurityDescriptorA(descriptor, SDDL_REVISION_1, what, &text, NULL))
        return "unreadable";
    std::string sddl = text;
    LocalFree(text);
    return sddl;
}

std::string FolderSecurity(const std::string &path) {
    if (GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES)
        return "absent";
    const SECURITY_INFORMATION what = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
    PSECURITY_DESCRIPTOR descriptor = NULL;
    char *text = NULL;
    if (GetNamedSecurityInfoA(path.c_str(), SE_FILE_OBJECT, what, NULL, NULL, NULL, NULL, &descriptor) !=
            ERROR_SUCCESS ||
        !ConvertSecurityDescriptorToStringSecurityDescriptorA(descriptor, SDDL_REVISION_1, what, &text, NULL)) {
        if (descriptor != NULL)
            LocalFree(descriptor);
        return "unreadable";
    }
    std::string sddl = text;
    LocalFree(text);
    LocalFree(descriptor);
    return sddl;
}

bool InstallPackage(const std::string &, std::string *error) {
    long code = RunAndWait("msiexec /i \"" + ToolFolder() + "\\vuvuridivuzo.msi\" /qn", 60000);
    return code == 0 || Failed("msiexec /i vuvuridivuzo.msi", static_cast<DWORD>(code), error);
}

bool PlantDecoyInstaller(std::string *error) {
    char self[MAX_PATH] = {};
    GetModuleFileNameA(NULL, self, MAX_PATH);
    return CopyFileA(self, (ToolFolder() + "\\msiexec.exe").c_str(), FALSE) ||
           Failed("CopyFileA msiexec.exe", GetLastError(), error);
}

// Notes are lines "name<TAB>value" in a file beside this program: plant and
// check are two runs of it.
std::string NotesPath() { return ToolFolder() + "\\notes.txt"; }

void Remember(const std::string &name, const std::string &value) {
    if (FILE *notes = std::fopen(NotesPath().c_str(), "a")) {
        std::fprintf(notes, "%s\t%s\n", name.c_str(), value.c_str());
        std::fclose(notes);
    }
}

std::string Recall(const std::string &name) {
    std::string value = "nothing remembered";
    if (FILE *notes = std::fopen(NotesPath().c_str(), "r")) {
        char line[4096];
        while (std::fgets(line, sizeof line, notes)) {
            std::string text = line;
            if (!text.empty() && text.back() == '\n')
                text.pop_back();
            if (text.compare(0, name.size() + 1, name + "\t") == 0)
                value = text.substr(name.size() + 1); // the last note counts
        }
        std::fclose(notes);
    }
    return value;
}

} // namespace scenario::machine
