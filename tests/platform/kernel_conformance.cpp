// Windows behaviour the program relies on, pinned down once and checked on
// both machines: compiled for the host against the simulated machine, and as
// a Windows program run under Wine. Where Wine cannot show a behaviour, the
// test skips and states what Windows does; the simulation follows Windows.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "conformance.h"
#include "resources/resource.h"

namespace {

using namespace conformance;

TEST(Resources, TheEmbeddedListingIsFoundByNumberAndTypeName) {
    HMODULE self = GetModuleHandleA(NULL);
    ASSERT_NE(self, nullptr);
    HRSRC res = FindResourceA(self, MAKEINTRESOURCEA(IDR_ENTRYLISTINGS), "ENTRYLISTINGS");
    ASSERT_NE(res, nullptr);
    EXPECT_EQ(SizeofResource(self, res), 2473u) << "no terminating zero is added";
    HGLOBAL loaded = LoadResource(self, res);
    ASSERT_NE(loaded, nullptr);
    const char *data = static_cast<const char *>(LockResource(loaded));
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(std::string(data, 7), "/*\tNS: ");

    SetLastError(kSentinel);
    EXPECT_EQ(FindResourceA(self, MAKEINTRESOURCEA(IDR_ENTRYLISTINGS + 1), "ENTRYLISTINGS"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_NAME_NOT_FOUND));
    EXPECT_EQ(FindResourceA(self, MAKEINTRESOURCEA(IDR_ENTRYLISTINGS), "NOSUCHTYPE"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_TYPE_NOT_FOUND));
}

TEST(Environment, TheTempPathEndsWithABackslashAndReportsTheSizeNeeded) {
    char buffer[MAX_PATH];
    std::memset(buffer, '#', sizeof buffer);
    DWORD length = GetTempPathA(MAX_PATH, buffer);
    ASSERT_GT(length, 0u);
    ASSERT_LT(length, static_cast<DWORD>(MAX_PATH));
    EXPECT_EQ(std::strlen(buffer), length);
    EXPECT_EQ(buffer[length - 1], '\\');

    char tiny[2] = {'#', '#'};
    EXPECT_EQ(GetTempPathA(2, tiny), length + 1) << "too small: the size needed, terminator included";
}

TEST(Kernel, ASecondCreationOfANamedMutexSays183) {
    SetLastError(kSentinel);
    HANDLE first = CreateMutexA(NULL, FALSE, "Global\\zrt_conformance_mutex");
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    HANDLE second = CreateMutexA(NULL, FALSE, "Global\\zrt_conformance_mutex");
    ASSERT_NE(second, nullptr) << "a handle to the existing mutex";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    CloseHandle(second);
    CloseHandle(first);
    HANDLE again = CreateMutexA(NULL, FALSE, "Global\\zrt_conformance_mutex");
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS)) << "gone with its last handle";
    CloseHandle(again);
}

TEST(Security, TheAdministratorsCheckIsLookedUpAtRunTime) {
    HMODULE advapi = LoadLibraryA("advapi32.dll");
    ASSERT_NE(advapi, nullptr);
    auto check = LOOK_UP_EXPORT(advapi, CheckTokenMembership);
    ASSERT_NE(check, nullptr);
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID admins = NULL;
    ASSERT_TRUE(AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0,
                                         &admins));
    BOOL member = FALSE;
    EXPECT_TRUE(check(NULL, admins, &member));
    EXPECT_TRUE(member) << "tests run elevated";
    FreeSid(admins);
    FreeLibrary(advapi);
}

TEST(Security, AdjustingAHeldPrivilegeLeavesNoError) {
    HANDLE token = NULL;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token));
    TOKEN_PRIVILEGES tp;
    tp.PrivilegeCount = 1;
    tp.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    ASSERT_TRUE(LookupPrivilegeValueA(NULL, SE_SHUTDOWN_NAME, &tp.Privileges[0].Luid));
    SetLastError(kSentinel);
    EXPECT_TRUE(AdjustTokenPrivileges(token, FALSE, &tp, sizeof tp, NULL, NULL));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS)) << "an administrator holds the shutdown privilege";
    CloseHandle(token);
}

TEST(Security, AdjustingAPrivilegeNotHeldSucceedsWith1300) {
    HANDLE token = NULL;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token));
    TOKEN_PRIVILEGES tp;
    tp.PrivilegeCount = 1;
    tp.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    // Held by no administrator's token: only the system creates tokens.
    ASSERT_TRUE(LookupPrivilegeValueA(NULL, "SeCreateTokenPrivilege", &tp.Privileges[0].Luid));
    SetLastError(kSentinel);
    EXPECT_TRUE(AdjustTokenPrivileges(token, FALSE, &tp, sizeof tp, NULL, NULL));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ALL_ASSIGNED));
    CloseHandle(token);
}

DWORD WINAPI SetsItsOwnLastError(LPVOID) {
    SetLastError(5678);
    return 0;
}

TEST(Kernel, TheLastErrorBelongsToEachThread) {
    SetLastError(1234);
    HANDLE t = CreateThread(NULL, 0, SetsItsOwnLastError, NULL, 0, NULL);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(WaitForSingleObject(t, 5000), WAIT_OBJECT_0);
    CloseHandle(t);
    EXPECT_EQ(GetLastError(), 1234u);
}

} // namespace
