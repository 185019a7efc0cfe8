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

} // namespace
