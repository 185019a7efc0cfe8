// The simulated registry's own behaviour where it is not obvious and the
// registry remover's tests rely on it: the two views, the links, and the
// statuses Windows gives (measured the same under Wine).
#include <string>
#include <vector>

#include "test_support.h"

namespace {

class SimRegistry : public MachineTest {
  protected:
    LONG Open(const char *path, REGSAM access = KEY_READ) {
        HKEY key;
        LONG status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, access, &key);
        if (status == ERROR_SUCCESS)
            RegCloseKey(key);
        return status;
    }
    void Create(HKEY root, const char *path, REGSAM access = KEY_ALL_ACCESS) {
        HKEY key;
        ASSERT_EQ(RegCreateKeyExA(root, path, 0, NULL, 0, access, NULL, &key, NULL), 0) << path;
        RegCloseKey(key);
    }
};

TEST_F(SimRegistry, AWow64ProcessSeesSoftwareThroughWow6432NodeExceptSharedKeys) {
    Create(HKEY_LOCAL_MACHINE, "SOFTWARE\\Zeltra Computing\\ZeltraWS");
    EXPECT_TRUE(sim::KeyExists("HKLM\\SOFTWARE\\Wow6432Node\\Zeltra Computing\\ZeltraWS"));
    EXPECT_FALSE(sim::KeyExists("HKLM\\SOFTWARE\\Zeltra Computing\\ZeltraWS"));
    EXPECT_EQ(Open("SOFTWARE\\Zeltra Computing\\ZeltraWS", KEY_READ | KEY_WOW64_64KEY), ERROR_FILE_NOT_FOUND);
    // Shared: the installer's classes and the certificate store; CLSID is not.
    Create(HKEY_LOCAL_MACHINE, "SOFTWARE\\Classes\\Installer\\Products\\X");
    Create(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\SystemCertificates\\AuthRoot\\X");
    Create(HKEY_LOCAL_MACHINE, "SOFTWARE\\Classes\\CLSID\\X");
    EXPECT_EQ(Open("SOFTWARE\\Classes\\Installer\\Products\\X", KEY_READ | KEY_WOW64_64KEY), 0);
    EXPECT_EQ(Open("SOFTWARE\\Microsoft\\SystemCertificates\\AuthRoot\\X", KEY_READ | KEY_WOW64_64KEY), 0);
    EXPECT_EQ(Open("SOFTWARE\\Classes\\CLSID\\X", KEY_READ | KEY_WOW64_64KEY), ERROR_FILE_NOT_FOUND);
    EXPECT_TRUE(sim::KeyExists("HKLM\\SOFTWARE\\Classes\\Wow6432Node\\CLSID\\X"));
    // HKLM\SYSTEM is shared; CurrentControlSet is ControlSet001.
    Create(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\Zeltra");
    EXPECT_EQ(Open("SYSTEM\\ControlSet001\\Services\\Zeltra", KEY_READ | KEY_WOW64_64KEY), 0);
    sim::SetCurrentControlSetLink(false);
    EXPECT_EQ(Open("SYSTEM\\CurrentControlSet\\Services\\Zeltra"), ERROR_FILE_NOT_FOUND);
    // A process that is not WOW64 sees one tree and ignores the view flags.
    sim::SetRegistryWow64(false);
    EXPECT_EQ(Open("SOFTWARE\\Zeltra Computing\\ZeltraWS"), ERROR_FILE_NOT_FOUND);
    Create(HKEY_LOCAL_MACHINE, "SOFTWARE\\Zeltra Computing\\ZeltraWS", KEY_ALL_ACCESS | KEY_WOW64_32KEY);
    EXPECT_TRUE(sim::KeyExists("HKLM\\SOFTWARE\\Zeltra Computing\\ZeltraWS"));
    EXPECT_EQ(sim::OpenHandles("key"), 0u);
}

TEST_F(SimRegistry, KeyCallsReturnWindowsStatusesAndLeaveTheLastErrorAlone) {
    sim::PlantKey("HKCU\\Software\\Zeltra\\" + std::string(300, 'n'));
    sim::PlantKey("HKCU\\Software\\Zeltra\\Short");
    SetLastError(1234);
    HKEY key;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Zeltra\\", 0, KEY_ALL_ACCESS, &key), 0)
        << "a trailing separator opens the key itself";
    HKEY other;
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "\\Software", 0, KEY_READ, &other), ERROR_BAD_PATHNAME);
    EXPECT_EQ(RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\Zeltra"), ERROR_ACCESS_DENIED) << "it has subkeys";
    char name[8];
    std::memset(name, 'x', sizeof name);
    DWORD length = sizeof name;
    EXPECT_EQ(RegEnumKeyExA(key, 0, name, &length, NULL, NULL, NULL, NULL), ERROR_MORE_DATA);
    EXPECT_EQ(length, sizeof name);
    EXPECT_EQ(name[0], 'x') << "nothing written";
    length = sizeof name;
    EXPECT_EQ(RegEnumKeyExA(key, 1, name, &length, NULL, NULL, NULL, NULL), 0);
    EXPECT_EQ(std::string(name), "Short");
    EXPECT_EQ(length, 5u);
    EXPECT_EQ(RegEnumKeyExA(key, 2, name, &length, NULL, NULL, NULL, NULL), ERROR_NO_MORE_ITEMS);
    EXPECT_EQ(RegDeleteKeyA(key, "Short"), 0);
    EXPECT_EQ(RegDeleteKeyA(key, std::string(300, 'n').c_str()), 0);
    EXPECT_EQ(RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\Zeltra"), 0) << "deleted while its handle is open";
    EXPECT_EQ(RegEnumKeyExA(key, 0, name, &length, NULL, NULL, NULL, NULL), ERROR_KEY_DELETED);
    EXPECT_EQ(RegCloseKey(key), 0);
    EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
    EXPECT_EQ(GetLastError(), 1234u);
}

TEST_F(SimRegistry, ValuesKeepTypeAndBytesAndReportTheSizeTheyNeed) {
    HKEY key;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Zeltra", 0, NULL, 0, KEY_ALL_ACCESS, NULL, &key, NULL), 0);
    const BYTE hello[] = "hello";
    EXPECT_EQ(RegSetValueExA(key, "Name", 0, REG_SZ, hello, sizeof hello), 0);
    BYTE data[3] = {'z', 'z', 'z'};
    DWORD type = 0, size = sizeof data;
    EXPECT_EQ(RegQueryValueExA(key, "name", NULL, &type, data, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 6u);
    EXPECT_EQ(type, REG_SZ);
    EXPECT_EQ(data[0], 'z');
    EXPECT_EQ(sim::KeyValue("HKLM\\SOFTWARE\\Wow6432Node\\Zeltra", "Name")->data, std::string("hello", 6));
    EXPECT_EQ(RegDeleteValueA(key, "Absent"), ERROR_FILE_NOT_FOUND);
    // A list that now gives Administrators reading only refuses new
    // openings for more, and a reading handle's changes; the handle opened
    // before keeps the access granted then.
    sim::ProtectKey("HKLM\\SOFTWARE\\Wow6432Node\\Zeltra", KEY_READ);
    HKEY reading;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Zeltra", 0, KEY_SET_VALUE, &reading), ERROR_ACCESS_DENIED);
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Zeltra", 0, KEY_READ, &reading), 0);
    EXPECT_EQ(RegSetValueExA(reading, "Name", 0, REG_SZ, hello, sizeof hello), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteValueA(reading, "Name"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegCloseKey(reading), 0);
    EXPECT_EQ(RegDeleteValueA(key, "Name"), 0);
    EXPECT_EQ(RegCloseKey(key), 0);
}

// ---- key security: one access check (access_check.cpp) ----

TEST_F(SimRegistry, EveryKeyCallIsCheckedAgainstTheListOrTheHandlesGrantedAccess) {
    const std::string key = "HKLM\\SOFTWARE\\Wow6432Node\\Zeltra";
    sim::PlantKey(key + "\\Child");
    sim::PlantValue(key, "Name", REG_SZ, "x");
    // Everything but DELETE (the default protection): KEY_ALL_ACCESS is
    // refused at the opening, MAXIMUM_ALLOWED gets all the list gives.
    sim::ProtectKey(key);
    EXPECT_EQ(Open("SOFTWARE\\Zeltra", KEY_ALL_ACCESS), ERROR_ACCESS_DENIED);
    EXPECT_EQ(Open("SOFTWARE\\Zeltra", GENERIC_ALL), ERROR_ACCESS_DENIED) << "mapped to KEY_ALL_ACCESS";
    EXPECT_EQ(Open("SOFTWARE\\Zeltra", GENERIC_READ | GENERIC_WRITE), 0);
    HKEY most;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Zeltra", 0, MAXIMUM_ALLOWED, &most), 0);
    EXPECT_EQ(RegDeleteKeyA(most, "Child"), 0) << "the child has no list";
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Zeltra"), ERROR_ACCESS_DENIED) << "DELETE by name";
    HKEY child;
    EXPECT_EQ(RegCreateKeyExA(most, "New", 0, NULL, 0, KEY_READ, NULL, &child, NULL), 0);
    RegCloseKey(child);
    // A list that gives reading only: no creating below it, no opening for
    // a change; a handle opened for reading alone may not set or enumerate
    // beyond what it holds.
    sim::ProtectKey(key, KEY_QUERY_VALUE);
    EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Zeltra\\Other", 0, NULL, 0, KEY_READ, NULL, &child, NULL),
              ERROR_ACCESS_DENIED)
        << "KEY_CREATE_SUB_KEY of the key above";
    HKEY query;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Zeltra", 0, KEY_QUERY_VALUE, &query), 0);
    char name[32];
    DWORD length = sizeof name;
    EXPECT_EQ(RegEnumKeyExA(query, 0, name, &length, NULL, NULL, NULL, NULL), ERROR_ACCESS_DENIED);
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExA(query, "Name", NULL, NULL, NULL, &size), 0);
    EXPECT_EQ(RegSetValueExA(query, "Name", 0, REG_SZ, reinterpret_cast<const BYTE *>("y"), 2), ERROR_ACCESS_DENIED);
    RegCloseKey(query);
    // The handle opened before keeps all it was granted.
    length = sizeof name;
    EXPECT_EQ(RegEnumKeyExA(most, 0, name, &length, NULL, NULL, NULL, NULL), 0);
    EXPECT_EQ(RegSetValueExA(most, "Name", 0, REG_SZ, reinterpret_cast<const BYTE *>("y"), 2), 0);
    RegCloseKey(most);
}

TEST_F(SimRegistry, SecurityIsChangedByTheHandlesGrantedRightsOrTheNamedKeysList) {
    const std::string key = "HKLM\\SOFTWARE\\Wow6432Node\\Zeltra";
    sim::PlantKey(key);
    HKEY dac;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Zeltra", 0, WRITE_DAC, &dac), 0);
    sim::ProtectKey(key, KEY_READ); // owner SYSTEM, Administrators may read
    PSID admins = nullptr;
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    ASSERT_TRUE(AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0,
                                         &admins));
    EXPLICIT_ACCESS_A entry = {};
    entry.grfAccessPermissions = GENERIC_ALL;
    entry.grfAccessMode = SET_ACCESS;
    entry.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    entry.Trustee.ptstrName = static_cast<LPSTR>(admins);
    PACL all = nullptr;
    ASSERT_EQ(SetEntriesInAclA(1, &entry, NULL, &all), 0u);
    char name[] = "MACHINE\\SOFTWARE\\Zeltra";
    sim::SetPrivilegeHeld("SeTakeOwnershipPrivilege", false);
    EXPECT_EQ(SetNamedSecurityInfoA(name, SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION, NULL, NULL, all, NULL),
              static_cast<DWORD>(ERROR_ACCESS_DENIED))
        << "the named key's list gives no WRITE_DAC";
    EXPECT_EQ(SetSecurityInfo(dac, SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION, NULL, NULL, all, NULL), 0u)
        << "the handle's WRITE_DAC, granted before";
    EXPECT_EQ(SetSecurityInfo(dac, SE_REGISTRY_KEY, OWNER_SECURITY_INFORMATION, admins, NULL, NULL, NULL),
              static_cast<DWORD>(ERROR_ACCESS_DENIED))
        << "no WRITE_OWNER on the handle";
    RegCloseKey(dac);
    EXPECT_EQ(Open("SOFTWARE\\Zeltra", KEY_ALL_ACCESS), 0) << "the list set";
    LocalFree(all);
    FreeSid(admins);
}

// A 32-bit process's security object names reach the 32-bit view, as its
// registry calls without a view flag do; a 64-bit process's the key itself.
TEST_F(SimRegistry, NamedSecurityCallsReachTheViewRegistryRedirectionGives) {
    sim::PlantKey("HKLM\\SOFTWARE\\Wow6432Node\\Zeltra");
    sim::PlantKey("HKLM\\SOFTWARE\\Zeltra");
    sim::ProtectKey("HKLM\\SOFTWARE\\Wow6432Node\\Zeltra", KEY_READ);
    sim::ProtectKey("HKLM\\SOFTWARE\\Classes\\Wow6432Node\\CLSID\\Z", KEY_READ);
    char name[] = "MACHINE\\SOFTWARE\\Zeltra";
    char clsid[] = "MACHINE\\SOFTWARE\\Classes\\CLSID\\Z";
    auto owner = [](char *object) {
        PSID sid = nullptr;
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        DWORD status = GetNamedSecurityInfoA(object, SE_REGISTRY_KEY, OWNER_SECURITY_INFORMATION, &sid, NULL, NULL,
                                             NULL, &descriptor);
        std::string text = status == 0 ? (EqualSid(sid, sid) ? "set" : "") : std::to_string(status);
        if (status == 0) {
            SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
            PSID system = nullptr;
            AllocateAndInitializeSid(&nt, 1, SECURITY_LOCAL_SYSTEM_RID, 0, 0, 0, 0, 0, 0, 0, &system);
            text = EqualSid(sid, system) ? "SYSTEM" : "other";
            FreeSid(system);
            LocalFree(descriptor);
        }
        return text;
    };
    EXPECT_EQ(owner(name), "SYSTEM") << "Wow6432Node's key";
    EXPECT_EQ(owner(clsid), "SYSTEM") << "Classes\\Wow6432Node's CLSID";
    sim::SetRegistryWow64(false);
    EXPECT_EQ(owner(name), "other") << "the 64-bit key, owned by Administrators";
}

// The registry part of a Windows Server's layout.
TEST_F(SimRegistry, TheServerLayoutPlantsSoftwareLegacyServiceKeysAndSqlServersKeys) {
    sim::PlantWindowsServerLayout();
    EXPECT_EQ(sim::KeyOwner("HKLM\\SOFTWARE"), "S-1-5-18");
    EXPECT_EQ(sim::KeySecurityOf("HKLM\\SOFTWARE\\Wow6432Node").accessList->size(), 5u);
    EXPECT_FALSE(sim::KeyExists("HKLM\\SYSTEM\\CurrentControlSet\\Enum\\Root\\LEGACY_ZELTRABIZUPDATER"));
    Create(HKEY_LOCAL_MACHINE, "SOFTWARE\\Zeltra Computing\\ZeltraWS"); // Administrators may create below it

    sim::PlantWindowsServerLayout(true);
    for (const char *service : {"LEGACY_ZELTRABIZUPDATER", "LEGACY_ZELTRAWEBSERVER"}) {
        std::string key = std::string("SYSTEM\\CurrentControlSet\\Enum\\Root\\") + service;
        for (const std::string &path : {key, key + "\\0000"}) {
            SCOPED_TRACE(path);
            EXPECT_EQ(sim::KeyOwner("HKLM\\" + path), "S-1-5-18");
            EXPECT_EQ(Open(path.c_str(), KEY_READ), 0);
            EXPECT_EQ(Open(path.c_str(), KEY_ALL_ACCESS), ERROR_ACCESS_DENIED);
            EXPECT_EQ(Open(path.c_str(), WRITE_DAC), ERROR_ACCESS_DENIED) << "not the owner";
            EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, path.c_str()), ERROR_ACCESS_DENIED);
        }
    }
    // SQL Server's keys, read by a 32-bit process without a view flag.
    const char root[] = "SOFTWARE\\Microsoft\\Microsoft SQL Server";
    EXPECT_EQ(
        sim::KeyValue(std::string("HKLM\\SOFTWARE\\Wow6432Node\\Microsoft\\Microsoft SQL Server"), "InstalledInstances")
            ->data,
        std::string("VUVURIDIVUZO\0\0", 14));
    EXPECT_EQ(Open((std::string(root) + "\\Instance Names\\SQL").c_str()), 0);
    EXPECT_EQ(Open((std::string(root) + "\\MSSQL10.VUVURIDIVUZO\\Setup").c_str(), KEY_ALL_ACCESS), 0)
        << "Administrators keep SOFTWARE's full control";
    auto list =
        sim::KeySecurityOf("HKLM\\SOFTWARE\\Wow6432Node\\Microsoft\\Microsoft SQL Server\\MSSQL10.VUVURIDIVUZO");
    ASSERT_TRUE(list.accessList.has_value());
    EXPECT_EQ(list.accessList->back().trustee, sim::kSqlServiceSid);
    EXPECT_EQ(list.accessList->back().access, static_cast<DWORD>(KEY_ALL_ACCESS));
}

} // namespace
