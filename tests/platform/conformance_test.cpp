// Windows behaviour the program relies on, pinned down once and checked on
// both machines: compiled for the host against the simulated machine, and as
// a Windows program run under Wine. Where Wine cannot show a behaviour, the
// test skips and states what Windows does; the simulation follows Windows.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "win32.h"

namespace {

const DWORD kSentinel = 0xdeadbeef;

std::string TempFolder() {
    char buffer[MAX_PATH];
    std::memset(buffer, 0, sizeof buffer);
    GetTempPathA(MAX_PATH, buffer);
    return buffer;
}

// A scratch file in the temporary folder, removed by the test that made it.
std::string Scratch(const char *name) { return TempFolder() + "zrt_conformance_" + name; }

HANDLE Create(const std::string &path, DWORD access, DWORD share, DWORD disposition) {
    return CreateFileA(path.c_str(), access, share, NULL, disposition, FILE_ATTRIBUTE_NORMAL, NULL);
}

TEST(Resources, TheEmbeddedListingIsFoundByNumberAndTypeName) {
    HMODULE self = GetModuleHandleA(NULL);
    ASSERT_NE(self, nullptr);
    HRSRC res = FindResourceA(self, MAKEINTRESOURCEA(102), "ENTRYLISTINGS");
    ASSERT_NE(res, nullptr);
    EXPECT_EQ(SizeofResource(self, res), 2473u) << "no terminating zero is added";
    HGLOBAL loaded = LoadResource(self, res);
    ASSERT_NE(loaded, nullptr);
    const char *data = static_cast<const char *>(LockResource(loaded));
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(std::string(data, 7), "/*\tNS: ");

    SetLastError(kSentinel);
    EXPECT_EQ(FindResourceA(self, MAKEINTRESOURCEA(103), "ENTRYLISTINGS"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_NAME_NOT_FOUND));
    EXPECT_EQ(FindResourceA(self, MAKEINTRESOURCEA(102), "NOSUCHTYPE"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_TYPE_NOT_FOUND));
}

TEST(Files, CreateAlwaysTruncatesAnExistingFileAndSays183) {
    std::string path = Scratch("truncate.txt");
    HANDLE h = Create(path, GENERIC_WRITE, 0, CREATE_ALWAYS);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD written = kSentinel;
    ASSERT_TRUE(WriteFile(h, "0123456789", 10, &written, NULL));
    EXPECT_EQ(written, 10u);
    CloseHandle(h);

    SetLastError(kSentinel);
    h = Create(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, CREATE_ALWAYS);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    char buffer[16];
    DWORD read = kSentinel;
    ASSERT_TRUE(ReadFile(h, buffer, sizeof buffer, &read, NULL));
    EXPECT_EQ(read, 0u) << "the old contents are gone";
    CloseHandle(h);
}

TEST(Files, ShareModesDecideWhetherASecondOpenSucceeds) {
    std::string path = Scratch("share.txt");
    HANDLE first = Create(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, CREATE_ALWAYS);
    ASSERT_NE(first, INVALID_HANDLE_VALUE);
    HANDLE second = Create(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING);
    EXPECT_NE(second, INVALID_HANDLE_VALUE) << "the trace log may be read and written by others";
    CloseHandle(second);

    SetLastError(kSentinel);
    HANDLE exclusive = Create(path, GENERIC_READ, 0, OPEN_EXISTING);
    EXPECT_EQ(exclusive, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    CloseHandle(first);
}

TEST(Files, CreatingInAnAbsentFolderFailsWith3) {
    SetLastError(kSentinel);
    HANDLE h = Create(Scratch("absent\\x.txt"), GENERIC_WRITE, 0, CREATE_ALWAYS);
    EXPECT_EQ(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
}

TEST(Files, ADoubledSeparatorIsAccepted) {
    std::string path = TempFolder() + "\\zrt_conformance_doubled.txt"; // as the trace log's name is built
    HANDLE h = Create(path, GENERIC_WRITE, 0, CREATE_ALWAYS);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
    HANDLE single = Create(Scratch("doubled.txt"), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
    EXPECT_NE(single, INVALID_HANDLE_VALUE) << "the same file as with one separator";
    CloseHandle(single);
}

TEST(Files, DelayedDeletionIsOnlyRecordedAndAcceptsAnAbsentPath) {
    EXPECT_TRUE(MoveFileExA(Scratch("never-created.txt").c_str(), NULL, MOVEFILE_DELAY_UNTIL_REBOOT));
    SetLastError(kSentinel);
    EXPECT_FALSE(MoveFileExA("", NULL, MOVEFILE_DELAY_UNTIL_REBOOT)) << "the exit path without a log";
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
    auto check = reinterpret_cast<CheckTokenMembershipFn>(GetProcAddress(advapi, "CheckTokenMembership"));
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
