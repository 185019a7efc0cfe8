// Complete removal's last stage: the product's private SQL Server instance.
// It learns the instance from SQL Server's registration, stops and deletes
// its service, uninstalls its package, deletes its folder and its keys,
// takes it out of the registration, and sets the SqlWriter service to
// manual start. What finds the instance goes last, so that a run ended part
// way can be finished by running the tool again.
#include "removers/sql_instance.h"

#include <cstdint>
#include <cstring>

#include "core/bounded_format.h"
#include "core/run_state.h"
#include "core/trace_log.h"
#include "exports.h"
#include "removers/folders.h"
#include "removers/registry.h"
#include "removers/registry_access.h"
#include "removers/services.h"

namespace {

const char kSqlRootKey[] = "Software\\Microsoft\\Microsoft SQL Server";
const char kInstanceMapKey[] = "Instance Names\\SQL";
const char kInstanceMapPath[] = "Software\\Microsoft\\Microsoft SQL Server\\Instance Names\\SQL";
const char kSetValueRefused[] = "ERROR:: (Setting Value For Installed Instances) 5\r\n";
// What changing a value of the registration needs, and no more: a key that
// refuses DELETE (as SQL Server's own keys may) still lets it open.
constexpr REGSAM kChangeAccess = KEY_QUERY_VALUE | KEY_SET_VALUE;
const char kInstalledInstances[] = "InstalledInstances";
const char kInstanceName[] = "VUVURIDIVUZO";

constexpr DWORD kValueBytes = 1024;
constexpr size_t kIdChars = 256;
constexpr size_t kFolderChars = 1024;
constexpr size_t kProductCodeChars = 256;
constexpr size_t kTextChars = 1024;

// Outcome codes of the steps; the stage returns the code of the last step
// that failed.
constexpr LONG kRegistryPartFailed = -3;
constexpr LONG kServiceStepFailed = 1;
constexpr LONG kInstallerFailed = -1; // not started, or it ended with a failure
constexpr LONG kRegistryListingFailed = 4;
constexpr LONG kFolderStepFailed = 2;
// A value of the instance's registration that is there but is not what it
// claims (an id that is no plain name, a folder that is no local drive path,
// a product code that is no braced GUID, or one the Installer does not tie
// to the instance) or cannot be read: the instance is not fully removed.
constexpr LONG kValueRefused = 3;

// What the registry part learned about the instance.
struct InstanceFacts {
    char id[kIdChars];
    char folder[kFolderChars];
    char productCode[kProductCodeChars];
    bool listed; // "InstalledInstances" names it
    bool idKnown;
    bool folderKnown;
    bool productCodeKnown;
    bool packageInstalled; // the Installer has the package, tied to the instance
};

void Record(LONG *result, LONG outcome) {
    if (outcome != 0)
        *result = outcome;
}

// ---- what a value read from the registry must look like to be used ----

// Gives a key the stage was granted its owner and list back, as other
// instances and SQL Server's own services depend on them; a key that cannot
// have them back fails the registry part.
LONG KeepOutcomeAndRestore(LONG outcome, KeyGrant &grant) {
    if (!RestoreKeySecurity(grant) && outcome == 0)
        return kRegistryPartFailed;
    return outcome;
}

bool IsOurInstance(const char *name) {
    return std::strlen(name) == sizeof kInstanceName - 1 && StrCmpNIA(name, kInstanceName, sizeof kInstanceName) == 0;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Skips a run of at least one digit; NULL when there is none.
const char *SkipDigits(const char *p) {
    if (!IsDigit(*p))
        return NULL;
    while (IsDigit(*p))
        ++p;
    return p;
}

// Our instance's id as SQL Server's setup names it, MSSQL<version>
// [_<minor>].VUVURIDIVUZO (MSSQL10.VUVURIDIVUZO, MSSQL10_50.VUVURIDIVUZO):
// the id names a key and a folder, so nothing else is taken from a value
// that the instance's own service account may write.
bool IsOurInstanceId(const char *s) {
    if (StrCmpNIA(s, "MSSQL", 5) != 0)
        return false;
    const char *p = SkipDigits(s + 5);
    if (p != NULL && *p == '_')
        p = SkipDigits(p + 1);
    return p != NULL && *p == '.' && IsOurInstance(p + 1);
}

// A folder on a local drive, "X:\...": never a share (which would hand the
// administrator's credentials to its host), never a device or "\\?\" path,
// no stream name, and no "." or ".." component that leads elsewhere.
bool IsLocalDrivePath(const char *s) {
    bool drive = ((s[0] >= 'A' && s[0] <= 'Z') || (s[0] >= 'a' && s[0] <= 'z')) && s[1] == ':' && s[2] == '\\';
    if (!drive)
        return false;
    for (const char *p = s + 2; *p; ++p)
        if (static_cast<unsigned char>(*p) < 0x20 || *p == 0x7F || *p == '/' || *p == ':')
            return false;
    for (const char *p = s; (p = std::strchr(p, '.')) != NULL; ++p) {
        bool starts = p[-1] == '\\';
        size_t dots = p[1] == '.' ? 2 : 1;
        bool ends = p[dots] == '\\' || p[dots] == '\0';
        if (starts && ends)
            return false;
    }
    return true;
}

bool IsHex(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f'); }

bool IsBracedGuid(const char *s) {
    static const char kShape[] = "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}";
    if (std::strlen(s) != sizeof kShape - 1)
        return false;
    for (size_t i = 0; kShape[i]; ++i)
        if (kShape[i] == 'x' ? !IsHex(s[i]) : s[i] != kShape[i])
            return false;
    return true;
}

// What Windows Installer's own registration says of a product code.
enum class PackageTie {
    kNotInstalled, // no such product per machine: nothing to uninstall
    kUntied,       // installed, but not as this instance's package, or unknown
    kTied,
};

// The instance's service account may write its setup key, so the product
// code there is only taken as the instance's package when the Installer's
// per-machine registration, which only administrators write, installed it
// in a folder named by the instance's id (SQL Server's instance folder,
// <SqlProgramDir>\<id>).
PackageTie TieOfPackage(const char *code, const char *id) {
    HMODULE msi = LoadLibraryA("msi.dll");
    MsiGetProductInfoExAFn productInfo = msi != NULL ? LOOK_UP_EXPORT(msi, MsiGetProductInfoExA) : NULL;
    char location[kFolderChars] = "";
    DWORD chars = sizeof location;
    UINT status = productInfo != NULL
                      ? productInfo(code, NULL, MSIINSTALLCONTEXT_MACHINE, "InstallLocation", location, &chars)
                      : ERROR_PROC_NOT_FOUND;
    if (msi != NULL)
        FreeLibrary(msi);
    if (status == ERROR_UNKNOWN_PRODUCT)
        return PackageTie::kNotInstalled;
    if (status != ERROR_SUCCESS)
        return PackageTie::kUntied;
    location[sizeof location - 1] = '\0';
    size_t length = std::strlen(location);
    if (length > 0 && location[length - 1] == '\\')
        location[--length] = '\0';
    size_t idLength = std::strlen(id);
    bool tied = IsLocalDrivePath(location) && length > idLength && location[length - idLength - 1] == '\\' &&
                StrCmpNIA(location + length - idLength, id, static_cast<int>(idLength) + 1) == 0;
    return tied ? PackageTie::kTied : PackageTie::kUntied;
}

// What reading one of the instance's values gave.
enum class ValueRead {
    kAbsent,  // not there: the discovery ends, as for any missing fact
    kRefused, // there, but unreadable or not what it claims: not used, and reported
    kUsable,
};

// Reads a string value into `buffer` (capacity bytes), terminated within
// its size whether or not the stored data ends with a NUL, and checks it.
template <class Check> ValueRead QueryString(HKEY key, const char *name, char *buffer, DWORD capacity, Check check) {
    DWORD size = capacity - 1;
    std::memset(buffer, 0, capacity);
    LONG status = RegQueryValueExA(key, name, NULL, NULL, reinterpret_cast<BYTE *>(buffer), &size);
    if (status == ERROR_FILE_NOT_FOUND)
        return ValueRead::kAbsent;
    if (status != ERROR_SUCCESS)
        return ValueRead::kRefused;
    buffer[size < capacity ? size : capacity - 1] = '\0';
    return check(buffer) ? ValueRead::kUsable : ValueRead::kRefused;
}

// The registry part's outcome of a value write or deletion run with the
// access retry: 0, the grant's negative result, or kRegistryPartFailed.
LONG RegistryPartOutcome(AccessRetryOutcome retry, bool absentIsDone) {
    if (retry.grant < 0)
        return retry.grant;
    if (retry.status == ERROR_SUCCESS || (absentIsDone && retry.status == ERROR_FILE_NOT_FOUND))
        return 0;
    return kRegistryPartFailed;
}

// Calls visit(name, length) for every name of a multi-string list, in order,
// reading only within its size: the last name ends at the size even when the
// stored list lacks its final NUL. An empty string is no name and ends
// nothing: the names after it are listed too, or a rewrite would drop them.
// The names are copied out terminated.
template <class Visit> void ForEachName(const char *list, DWORD size, Visit visit) {
    for (DWORD at = 0; at < size;) {
        DWORD length = 0;
        while (at + length < size && list[at + length] != '\0')
            ++length;
        if (length > 0) {
            char name[kValueBytes + 1];
            std::memcpy(name, list + at, length);
            name[length] = '\0';
            visit(name, length);
        }
        at += length + 1;
    }
}

// Opens a key of SQL Server's registration with `access`. An absent key
// means no instance (0, *key NULL); any other failure, a refusal above all,
// is a failure: an instance may be there unseen.
LONG OpenRegistration(HKEY parent, const char *path, REGSAM access, HKEY *key) {
    *key = NULL;
    LONG status = RegOpenKeyExA(parent, path, 0, access, key);
    if (status != ERROR_SUCCESS)
        *key = NULL;
    return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND ? 0 : kRegistryPartFailed;
}

// Opens the key of `grant` (a key of the registration below HKLM) to
// change its values, with the access retry: a refused opening is met with
// the grant on that very key, and `onRefused` is called each time. An
// absent key is nothing to change (0, *key NULL).
template <class OnRefused> LONG OpenForChange(KeyGrant &grant, HKEY *key, OnRefused onRefused) {
    *key = NULL;
    AccessRetryOutcome retry = WithAccessRetry(
        grant, [&] { return RegOpenKeyExA(HKEY_LOCAL_MACHINE, grant.keyPath, 0, kChangeAccess, key); },
        [&](LONG status) {
            if (status == ERROR_ACCESS_DENIED)
                onRefused();
        });
    if (retry.status != ERROR_SUCCESS)
        *key = NULL;
    return RegistryPartOutcome(retry, true);
}

// Reads "InstalledInstances" into `list` (kValueBytes); *size 0 when it is
// absent. A list that cannot be read whole is a failure.
LONG ReadInstanceList(HKEY sqlRoot, char *list, DWORD *size) {
    *size = kValueBytes;
    LONG status = RegQueryValueExA(sqlRoot, kInstalledInstances, NULL, NULL, reinterpret_cast<BYTE *>(list), size);
    if (status != ERROR_SUCCESS)
        *size = 0;
    return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND ? 0 : kRegistryPartFailed;
}

bool ListsOurInstance(const char *list, DWORD size) {
    bool found = false;
    ForEachName(list, size, [&](const char *name, DWORD) { found = found || IsOurInstance(name); });
    return found;
}

// Whether "InstalledInstances" names our instance; each such name is logged.
LONG FindInList(HKEY sqlRoot, InstanceFacts *facts) {
    char list[kValueBytes];
    DWORD size = 0;
    LONG outcome = ReadInstanceList(sqlRoot, list, &size);
    if (size == 1)
        WriteLogLine("INFO:: No Installed Instances Found");
    ForEachName(list, size, [&](const char *name, DWORD) {
        if (IsOurInstance(name)) {
            WriteLogLine("Found Instance Name \"VUVURIDIVUZO\"\r\n");
            facts->listed = true;
        }
    });
    return outcome;
}

// Takes our instance's name out of "InstalledInstances", read anew: every
// other name stays, in its order.
LONG UnlistInstance(HKEY sqlRoot, KeyGrant &grant) {
    char list[kValueBytes];
    DWORD size = 0;
    LONG outcome = ReadInstanceList(sqlRoot, list, &size);
    if (outcome != 0 || !ListsOurInstance(list, size))
        return outcome;
    // Room for the names, their NULs and the final NUL, added where missing.
    char rewritten[kValueBytes + 2];
    DWORD written = 0;
    ForEachName(list, size, [&](const char *name, DWORD length) {
        if (IsOurInstance(name)) {
            WriteLogLine("Removing Instance Name \"VUVURIDIVUZO\"\r\n");
            return;
        }
        std::memcpy(rewritten + written, name, length + 1);
        written += length + 1;
    });
    rewritten[written++] = '\0';
    AccessRetryOutcome retry = WithAccessRetry(
        grant,
        [&] {
            return RegSetValueExA(sqlRoot, kInstalledInstances, 0, REG_MULTI_SZ, reinterpret_cast<BYTE *>(rewritten),
                                  written);
        },
        [](LONG status) {
            if (status == ERROR_ACCESS_DENIED)
                WriteLogLine(kSetValueRefused);
        });
    return RegistryPartOutcome(retry, false);
}

void LogMapDeletion(LONG status) {
    WriteLogFormatted(g_run.sqlLogLine, kLogLineChars, "SQL_REG:: VUVURIDIVUZO (Deletion) %d \r\n",
                      static_cast<int32_t>(status));
}

// Deletes the instance map's entry for our instance; every attempt is
// logged with the status it returned, 0 included.
LONG DeleteInstanceMapping(HKEY map) {
    LONG status = RegDeleteValueA(map, kInstanceName);
    LogMapDeletion(status);
    return status;
}

// Reads our instance's id from the instance map.
LONG ReadInstanceId(HKEY sqlRoot, InstanceFacts *facts) {
    HKEY map = NULL;
    LONG outcome = OpenRegistration(sqlRoot, kInstanceMapKey, KEY_QUERY_VALUE, &map);
    if (map == NULL)
        return outcome;
    char id[kValueBytes];
    ValueRead read = QueryString(map, kInstanceName, id, sizeof id,
                                 [](const char *v) { return std::strlen(v) < kIdChars && IsOurInstanceId(v); });
    RegCloseKey(map);
    if (read == ValueRead::kUsable) {
        CopyBounded(facts->id, sizeof facts->id, id);
        facts->idKnown = true;
    }
    return read == ValueRead::kRefused ? kValueRefused : 0;
}

// Deletes the instance map's entry for our instance; a refused opening is
// logged as a refused deletion.
LONG UnmapInstance() {
    HKEY map = NULL;
    KeyGrant grant = NameKeyForGrant(HKEY_LOCAL_MACHINE, kInstanceMapPath, 0);
    LONG outcome = OpenForChange(grant, &map, [] { LogMapDeletion(ERROR_ACCESS_DENIED); });
    if (map != NULL) {
        outcome = RegistryPartOutcome(WithAccessRetry(
                                          grant, [&] { return DeleteInstanceMapping(map); }, [](LONG) {}),
                                      true);
        RegCloseKey(map);
    }
    return KeepOutcomeAndRestore(outcome, grant);
}

// Reads the instance folder and the package's product code from the
// instance's setup key, each on its own. Returns kValueRefused when a value
// is there but not used.
LONG ReadSetup(HKEY sqlRoot, InstanceFacts *facts) {
    char setupPath[kTextChars];
    if (FormatBounded(setupPath, sizeof setupPath, "%s\\Setup", facts->id) != kFormatOk)
        return kValueRefused;
    HKEY setup = NULL;
    LONG outcome = OpenRegistration(sqlRoot, setupPath, KEY_QUERY_VALUE, &setup);
    if (setup == NULL)
        return outcome;
    char programDir[kValueBytes];
    ValueRead read = QueryString(setup, "SqlProgramDir", programDir, sizeof programDir, IsLocalDrivePath);
    if (read == ValueRead::kUsable &&
        FormatBounded(facts->folder, sizeof facts->folder, "%s\\%s", programDir, facts->id) != kFormatOk)
        read = ValueRead::kRefused;
    if (read == ValueRead::kRefused)
        outcome = kValueRefused;
    facts->folderKnown = read == ValueRead::kUsable;
    char code[kProductCodeChars];
    // An empty code is an unknown one; any other must be a braced GUID.
    read = QueryString(setup, "ProductCode", code, sizeof code,
                       [](const char *v) { return v[0] == '\0' || IsBracedGuid(v); });
    if (read == ValueRead::kRefused)
        outcome = kValueRefused;
    if (read == ValueRead::kUsable && code[0] != '\0') {
        PackageTie tie = TieOfPackage(code, facts->id);
        if (tie == PackageTie::kUntied)
            outcome = kValueRefused;
        CopyBounded(facts->productCode, sizeof facts->productCode, code);
        facts->productCodeKnown = tie != PackageTie::kUntied;
        facts->packageInstalled = tie == PackageTie::kTied;
    }
    RegCloseKey(setup);
    return outcome;
}

// Learns what it can of the instance, changing nothing. Returns the
// registry part's outcome.
LONG LearnInstance(InstanceFacts *facts) {
    HKEY sqlRoot = NULL;
    LONG outcome = OpenRegistration(HKEY_LOCAL_MACHINE, kSqlRootKey, KEY_QUERY_VALUE, &sqlRoot);
    if (sqlRoot == NULL)
        return outcome;
    outcome = FindInList(sqlRoot, facts);
    if (facts->listed) {
        Record(&outcome, ReadInstanceId(sqlRoot, facts));
        if (facts->idKnown)
            Record(&outcome, ReadSetup(sqlRoot, facts));
    }
    RegCloseKey(sqlRoot);
    return outcome;
}

// Takes the instance out of SQL Server's registration: the map's entry
// (where it named the instance's id), then its name in the list.
LONG Unregister(bool mapped) {
    LONG outcome = mapped ? UnmapInstance() : 0;
    if (outcome != 0)
        return outcome;
    HKEY sqlRoot = NULL;
    KeyGrant grant = NameKeyForGrant(HKEY_LOCAL_MACHINE, kSqlRootKey, 0);
    outcome = OpenForChange(grant, &sqlRoot, [] { WriteLogLine(kSetValueRefused); });
    if (sqlRoot != NULL) {
        outcome = UnlistInstance(sqlRoot, grant);
        RegCloseKey(sqlRoot);
    }
    return KeepOutcomeAndRestore(outcome, grant);
}

LONG StopAndDeleteService(ListingCursor *cursor, char *text) {
    WriteLogLine("SQL_SRVC:: MSSQL$VUVURIDIVUZO (StopNDel)\r\n");
    CopyBounded(text, kTextChars, "NS=1\r\nMSSQL$VUVURIDIVUZO\r\n[END]");
    *cursor = ListingCursor{0, 0, NULL, text};
    return StopServices(cursor) == 0 ? 0 : kServiceStepFailed;
}

// Exit codes of the Installer that leave the package removed: done, done
// with a restart to follow, and no such product installed.
bool IsUninstalled(DWORD exitCode) {
    return exitCode == ERROR_SUCCESS || exitCode == ERROR_SUCCESS_REBOOT_REQUIRED || exitCode == ERROR_UNKNOWN_PRODUCT;
}

// Runs the Windows Installer from the system folder, and in it, never one
// found beside the program or in the current folder.
LONG Uninstall(const InstanceFacts &facts, char *text) {
    WriteLogLine("SQL_UNINSTALL:: Invoking MSI\r\n");
    FormatBounded(text, kTextChars, "MSIEXEC.EXE /qn /norestart /x %s", facts.productCode);
    char systemFolder[MAX_PATH];
    char installer[MAX_PATH];
    UINT length = GetSystemDirectoryA(systemFolder, sizeof systemFolder);
    if (length == 0 || length >= sizeof systemFolder ||
        FormatBounded(installer, sizeof installer, "%s\\msiexec.exe", systemFolder) != kFormatOk)
        return kInstallerFailed;
    STARTUPINFOA startup;
    std::memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    std::memset(&process, 0, sizeof process);
    if (!CreateProcessA(installer, text, NULL, NULL, FALSE, 0, NULL, systemFolder, &startup, &process))
        return kInstallerFailed;
    LONG outcome = 0;
    // A slower Installer runs on by itself; its result is then not known.
    if (WaitForSingleObject(process.hProcess, 60000) == WAIT_OBJECT_0) {
        DWORD exitCode = 0;
        if (!GetExitCodeProcess(process.hProcess, &exitCode) || !IsUninstalled(exitCode))
            outcome = kInstallerFailed;
    }
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    return outcome;
}

// The instance's keys, the instance-id key last: it holds the setup values
// by which a later run finds the folder and the package.
LONG RemoveInstanceKeys(ListingCursor *cursor, const InstanceFacts &facts, char *text) {
    char uninstallKey[kTextChars] = "";
    HRESULT formatted =
        facts.packageInstalled
            ? FormatBounded(uninstallKey, sizeof uninstallKey,
                            "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\%s\r\n", facts.productCode)
            : kFormatOk;
    if (formatted == kFormatOk)
        formatted = FormatBounded(text, kTextChars,
                                  "NRE=%d\r\n"
                                  "HKLM\\SOFTWARE\\Microsoft\\Microsoft SQL Server\\VUVURIDIVUZO\r\n"
                                  "HKLM\\SYSTEM\\ControlSet001\\Services\\MSSQL$VUVURIDIVUZO\r\n"
                                  "HKLM\\SYSTEM\\CurrentControlSet\\Services\\MSSQL$VUVURIDIVUZO\r\n"
                                  "%s"
                                  "HKLM\\SOFTWARE\\Microsoft\\Microsoft SQL Server\\%s\r\n"
                                  "[END]",
                                  facts.packageInstalled ? 5 : 4, uninstallKey, facts.id);
    if (formatted != kFormatOk)
        return kRegistryListingFailed;
    *cursor = ListingCursor{0, 0, NULL, text};
    return RemoveRegistry(cursor) == 0 ? 0 : kRegistryListingFailed;
}

LONG RemoveInstanceFolder(const InstanceFacts &facts) {
    WriteLogLine("SQL_DIR:: Deleting SQL Instance Dir\r\n");
    return RemoveFolderTree(facts.folder, kInstanceFolderTree) == 0 ? 0 : kFolderStepFailed;
}

// SQL Server's writer service is left running but set to manual start.
void SetSqlWriterToManualStart() {
    SC_HANDLE manager = OpenSCManagerA(NULL, NULL, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE writer = manager ? OpenServiceA(manager, "SqlWriter", SERVICE_ALL_ACCESS) : NULL;
    BOOL changed = writer && SetServiceStartType(writer, SERVICE_DEMAND_START);
    WriteLogLine(changed ? "SUCCESS:: Stopped SqlWriter\r\n" : "ERROR:: Stopping SqlWriter\r\n");
    if (writer)
        CloseServiceHandle(writer);
    if (manager)
        CloseServiceHandle(manager);
}

} // namespace

LONG RemoveSQLInstance(ListingCursor *cursor) {
    static InstanceFacts facts;
    std::memset(&facts, 0, sizeof facts);
    static char text[kTextChars]; // the in-memory listings and the command line, in turn
    LONG result = LearnInstance(&facts);
    if (facts.productCodeKnown) {
        Record(&result, StopAndDeleteService(cursor, text));
        if (facts.packageInstalled)
            Record(&result, Uninstall(facts, text));
    }
    if (facts.folderKnown)
        Record(&result, RemoveInstanceFolder(facts));
    // What finds the instance goes last, and only once every step before has
    // done its part: a run ended or failed before then leaves it for the
    // next run to find. The setup key (in the instance-id key) goes after the
    // other keys, the map's entry after it, the list's name last.
    if (facts.listed && result == 0) {
        if (facts.idKnown)
            Record(&result, RemoveInstanceKeys(cursor, facts, text));
        if (result == 0)
            Record(&result, Unregister(facts.idKnown));
    }
    SetSqlWriterToManualStart();
    return result;
}
