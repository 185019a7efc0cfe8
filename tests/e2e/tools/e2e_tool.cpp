// The end-to-end tests' hands inside the Wine machine: plants and inspects
// what shell tools cannot (services, files held open, wide file names,
// registry keys with a protecting access list, values in either view).
//   service-create NAME "BINARY ARGS" auto|demand|disabled
//   service-start NAME           starts it and waits until it runs
//   service-query NAME           prints "state=N start=N" or "absent"
//   hold-file PATH SECONDS       holds PATH open without delete sharing
//   value-hex 32|64 PATH NAME    prints "type=N size=N hex=..." with every stored byte, or "absent"
//   wide-file FOLDER             creates "..＼..＼victim.txt" (full-width backslashes)
//   protect-key 32|64 PATH       owner SYSTEM and a DACL that refuses delete
//   key-exists 32|64 PATH        prints yes or no (PATH below HKLM)
//   value 32|64 PATH NAME        prints a value: strings one per line, numbers in decimal
//   keys-exist 32|64 PATH...     prints "yes PATH" or "no PATH" per key (below HKLM)
//   key-sddl 32|64 PATH          prints the key's owner and access list as SDDL
// Exit code 0 on success, 1 on failure (with the reason on stderr).
#include <windows.h>

#include <sddl.h>
#include <stdio.h>
#include <string.h>

namespace {

int Failed(const char *what, DWORD code) {
    fprintf(stderr, "%s failed: %lu\n", what, static_cast<unsigned long>(code));
    return 1;
}

REGSAM View(const char *view) { return strcmp(view, "64") == 0 ? KEY_WOW64_64KEY : KEY_WOW64_32KEY; }

DWORD StartType(const char *name) {
    if (strcmp(name, "auto") == 0)
        return SERVICE_AUTO_START;
    if (strcmp(name, "disabled") == 0)
        return SERVICE_DISABLED;
    return SERVICE_DEMAND_START;
}

int ServiceCreate(const char *name, const char *binary, const char *start) {
    SC_HANDLE scm = OpenSCManagerA(NULL, NULL, SC_MANAGER_ALL_ACCESS);
    if (!scm)
        return Failed("OpenSCManagerA", GetLastError());
    SC_HANDLE svc = CreateServiceA(scm, name, name, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, StartType(start),
                                   SERVICE_ERROR_NORMAL, binary,
                                   NULL,  // load-order group
                                   NULL,  // tag
                                   NULL,  // dependencies
                                   NULL,  // LocalSystem
                                   NULL); // no password
    DWORD error = GetLastError();
    CloseServiceHandle(scm);
    if (!svc)
        return Failed("CreateServiceA", error);
    CloseServiceHandle(svc);
    return 0;
}

int ServiceStart(const char *name) {
    SC_HANDLE scm = OpenSCManagerA(NULL, NULL, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE svc = scm ? OpenServiceA(scm, name, SERVICE_ALL_ACCESS) : NULL;
    if (!svc)
        return Failed("OpenServiceA", GetLastError());
    int rc = StartServiceA(svc, 0, NULL) ? 0 : Failed("StartServiceA", GetLastError());
    SERVICE_STATUS status = {};
    for (int i = 0; rc == 0 && i < 100; ++i) {
        if (QueryServiceStatus(svc, &status) && status.dwCurrentState == SERVICE_RUNNING)
            break;
        Sleep(50);
    }
    if (rc == 0 && status.dwCurrentState != SERVICE_RUNNING)
        rc = Failed("waiting for SERVICE_RUNNING", status.dwCurrentState);
    CloseServiceHandle(svc);
    CloseServiceHandle(scm);
    return rc;
}

int ServiceQuery(const char *name) {
    SC_HANDLE scm = OpenSCManagerA(NULL, NULL, SC_MANAGER_ALL_ACCESS);
    if (!scm)
        return Failed("OpenSCManagerA", GetLastError());
    SC_HANDLE svc = OpenServiceA(scm, name, SERVICE_QUERY_STATUS | SERVICE_QUERY_CONFIG);
    if (!svc) {
        DWORD error = GetLastError();
        CloseServiceHandle(scm);
        if (error == ERROR_SERVICE_DOES_NOT_EXIST) {
            printf("absent\n");
            return 0;
        }
        return Failed("OpenServiceA", error);
    }
    SERVICE_STATUS status = {};
    QueryServiceStatus(svc, &status);
    BYTE buffer[8192];
    DWORD needed = 0;
    QUERY_SERVICE_CONFIGA *config = reinterpret_cast<QUERY_SERVICE_CONFIGA *>(buffer);
    DWORD start = QueryServiceConfigA(svc, config, sizeof buffer, &needed) ? config->dwStartType : 0xFFFFFFFF;
    printf("state=%lu start=%lu\n", static_cast<unsigned long>(status.dwCurrentState),
           static_cast<unsigned long>(start));
    CloseServiceHandle(svc);
    CloseServiceHandle(scm);
    return 0;
}

int HoldFile(const char *path, const char *seconds) {
    HANDLE h = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, NULL);
    if (h == INVALID_HANDLE_VALUE)
        return Failed("CreateFileA", GetLastError());
    printf("held\n");
    fflush(stdout);
    Sleep(static_cast<DWORD>(atoi(seconds)) * 1000);
    CloseHandle(h);
    return 0;
}

constexpr int kValueRead = -1;

// Reads a value below HKLM in a view into data (*size: its capacity, then
// the stored size). Returns kValueRead, or the exit code after printing
// "absent" for a missing value or reporting a failure.
int ReadValue(const char *view, const char *path, const char *name, BYTE *data, DWORD *size, DWORD *type) {
    HKEY key;
    LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, View(view) | KEY_READ, &key);
    if (rc != ERROR_SUCCESS)
        return Failed("RegOpenKeyExA", rc);
    rc = RegQueryValueExA(key, name, NULL, type, data, size);
    RegCloseKey(key);
    if (rc == ERROR_FILE_NOT_FOUND) {
        printf("absent\n");
        return 0;
    }
    if (rc != ERROR_SUCCESS)
        return Failed("RegQueryValueExA", rc);
    return kValueRead;
}

// Every byte as stored, so a test can compare a rewritten list exactly,
// empty strings and missing terminators included.
int ValueHex(const char *view, const char *path, const char *name) {
    BYTE data[16384];
    DWORD size = sizeof data, type = 0;
    int rc = ReadValue(view, path, name, data, &size, &type);
    if (rc != kValueRead)
        return rc;
    printf("type=%lu size=%lu hex=", static_cast<unsigned long>(type), static_cast<unsigned long>(size));
    for (DWORD i = 0; i < size; ++i)
        printf("%02x", data[i]);
    printf("\n");
    return 0;
}

int WideFile(const char *folder) {
    wchar_t path[MAX_PATH];
    int n = MultiByteToWideChar(CP_ACP, 0, folder, -1, path, MAX_PATH);
    if (n == 0)
        return Failed("MultiByteToWideChar", GetLastError());
    const wchar_t name[] = L"\\..\xFF3C..\xFF3Cvictim.txt";
    if (static_cast<size_t>(n) + wcslen(name) >= MAX_PATH)
        return Failed("path length", 0);
    wcscat(path, name);
    HANDLE h = CreateFileW(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (h == INVALID_HANDLE_VALUE)
        return Failed("CreateFileW", GetLastError());
    DWORD written;
    WriteFile(h, "planted\r\n", 9, &written, NULL);
    CloseHandle(h);
    return 0;
}

int ProtectKey(const char *view, const char *path) {
    HKEY key;
    LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, View(view) | WRITE_DAC | WRITE_OWNER | READ_CONTROL, &key);
    if (rc != ERROR_SUCCESS)
        return Failed("RegOpenKeyExA", rc);
    PSECURITY_DESCRIPTOR sd = NULL;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(
            "O:SYD:P(D;OICI;SD;;;WD)(A;OICI;RCWDWO;;;BA)(A;OICI;KR;;;WD)", SDDL_REVISION_1, &sd, NULL))
        return Failed("ConvertStringSecurityDescriptorToSecurityDescriptorA", GetLastError());
    rc = RegSetKeySecurity(key, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, sd);
    LocalFree(sd);
    RegCloseKey(key);
    return rc == ERROR_SUCCESS ? 0 : Failed("RegSetKeySecurity", rc);
}

int KeyExists(const char *view, const char *path) {
    HKEY key;
    LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, View(view) | KEY_READ, &key);
    if (rc == ERROR_SUCCESS)
        RegCloseKey(key);
    printf(rc == ERROR_SUCCESS ? "yes\n" : "no\n");
    return 0;
}

int Value(const char *view, const char *path, const char *name) {
    BYTE data[4096] = {};
    DWORD size = sizeof data - 2, type = 0;
    int rc = ReadValue(view, path, name, data, &size, &type);
    if (rc != kValueRead)
        return rc;
    if (type == REG_DWORD) {
        printf("%lu\n", *reinterpret_cast<unsigned long *>(data));
    } else if (type == REG_MULTI_SZ) {
        printf("size=%lu\n", static_cast<unsigned long>(size));
        for (const char *s = reinterpret_cast<const char *>(data); *s; s += strlen(s) + 1)
            printf("%s\n", s);
    } else {
        printf("%s\n", reinterpret_cast<const char *>(data));
    }
    return 0;
}

int KeysExist(const char *view, int count, char **paths) {
    for (int i = 0; i < count; ++i) {
        HKEY key;
        LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, paths[i], 0, View(view) | KEY_READ, &key);
        if (rc == ERROR_SUCCESS)
            RegCloseKey(key);
        printf("%s %s\n", rc == ERROR_SUCCESS ? "yes" : "no", paths[i]);
    }
    return 0;
}

// Read with READ_CONTROL only: a protected key refuses every other access.
int KeySddl(const char *view, const char *path) {
    HKEY key;
    LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, View(view) | READ_CONTROL, &key);
    if (rc != ERROR_SUCCESS)
        return Failed("RegOpenKeyExA", rc);
    const SECURITY_INFORMATION what = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
    BYTE descriptor[4096];
    DWORD size = sizeof descriptor;
    rc = RegGetKeySecurity(key, what, descriptor, &size);
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS)
        return Failed("RegGetKeySecurity", rc);
    char *text = NULL;
    if (!ConvertSecurityDescriptorToStringSecurityDescriptorA(descriptor, SDDL_REVISION_1, what, &text, NULL))
        return Failed("ConvertSecurityDescriptorToStringSecurityDescriptorA", GetLastError());
    printf("%s\n", text);
    LocalFree(text);
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    const char *cmd = argc > 1 ? argv[1] : "";
    if (strcmp(cmd, "service-create") == 0 && argc == 5)
        return ServiceCreate(argv[2], argv[3], argv[4]);
    if (strcmp(cmd, "service-start") == 0 && argc == 3)
        return ServiceStart(argv[2]);
    if (strcmp(cmd, "service-query") == 0 && argc == 3)
        return ServiceQuery(argv[2]);
    if (strcmp(cmd, "hold-file") == 0 && argc == 4)
        return HoldFile(argv[2], argv[3]);
    if (strcmp(cmd, "value-hex") == 0 && argc == 5)
        return ValueHex(argv[2], argv[3], argv[4]);
    if (strcmp(cmd, "wide-file") == 0 && argc == 3)
        return WideFile(argv[2]);
    if (strcmp(cmd, "protect-key") == 0 && argc == 4)
        return ProtectKey(argv[2], argv[3]);
    if (strcmp(cmd, "key-exists") == 0 && argc == 4)
        return KeyExists(argv[2], argv[3]);
    if (strcmp(cmd, "value") == 0 && argc == 5)
        return Value(argv[2], argv[3], argv[4]);
    if (strcmp(cmd, "keys-exist") == 0 && argc >= 4)
        return KeysExist(argv[2], argc - 3, argv + 3);
    if (strcmp(cmd, "key-sddl") == 0 && argc == 4)
        return KeySddl(argv[2], argv[3]);
    fprintf(stderr, "usage: see the comment at the top of e2e_tool.cpp\n");
    return 2;
}
