// Process behaviour that running the Windows Installer relies on: how
// CreateProcessA finds the program, waiting with a timeout, exit codes, and
// the system folder the Installer is taken from.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "conformance.h"

namespace {

using namespace conformance;

struct Started {
    BOOL ok;
    DWORD error;
    PROCESS_INFORMATION info;
};

Started Start(const char *application, std::string commandLine) {
    STARTUPINFOA startup;
    std::memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    Started s;
    std::memset(&s.info, 0, sizeof s.info);
    SetLastError(kSentinel);
    s.ok = CreateProcessA(application, &commandLine[0], NULL, NULL, FALSE, 0, NULL, NULL, &startup, &s.info);
    s.error = GetLastError();
    return s;
}

// Waits for the process to end and closes its handles; its exit code, or
// kSentinel when it did not end within ten seconds.
DWORD Finish(const Started &s) {
    DWORD code = kSentinel;
    if (WaitForSingleObject(s.info.hProcess, 10000) == WAIT_OBJECT_0)
        GetExitCodeProcess(s.info.hProcess, &code);
    CloseHandle(s.info.hThread);
    CloseHandle(s.info.hProcess);
    return code;
}

std::string FileName(const std::string &path) { return path.substr(path.rfind('\\') + 1); }

TEST(Processes, AProgramStartsByApplicationNameOrByTheCommandLinesFirstToken) {
    std::string program = ProgramPath();
    Started named = Start(program.c_str(), "child --exit 7");
    ASSERT_TRUE(named.ok) << named.error;
    EXPECT_NE(named.info.hProcess, nullptr);
    EXPECT_NE(named.info.dwProcessId, 0u);
    EXPECT_EQ(Finish(named), 7u) << "the command line is passed as it is";

    Started quoted = Start(NULL, "\"" + program + "\" --exit 9");
    ASSERT_TRUE(quoted.ok) << quoted.error;
    EXPECT_EQ(Finish(quoted), 9u);

    Started bare = Start(NULL, FileName(program) + " --exit 11");
    ASSERT_TRUE(bare.ok) << "the program's own folder is searched first: " << bare.error;
    EXPECT_EQ(Finish(bare), 11u);

    Started absent = Start(NULL, "zrt_no_such_program.exe /x");
    EXPECT_FALSE(absent.ok);
    EXPECT_EQ(absent.error, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST(Processes, AnAbsentProgramSays2AndOneInAnAbsentFolder3) {
    std::string inTemp = TempFolder() + "zrt_no_such_program.exe";
    Started absent = Start(inTemp.c_str(), "zrt_no_such_program.exe /x");
    EXPECT_FALSE(absent.ok);
    EXPECT_EQ(absent.error, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    Started nowhere = Start("C:\\zrt_absent_folder\\setup.exe", "setup.exe /x");
    EXPECT_FALSE(nowhere.ok);
    EXPECT_EQ(nowhere.error, static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
}

TEST(Processes, AWaitThatRunsOutSays258AndTheProcessIsStillActive) {
    Started sleeper = Start(NULL, ProgramCommand("--sleep 1000"));
    ASSERT_TRUE(sleeper.ok) << sleeper.error;
    EXPECT_EQ(WaitForSingleObject(sleeper.info.hProcess, 100), WAIT_TIMEOUT);
    DWORD code = kSentinel;
    EXPECT_TRUE(GetExitCodeProcess(sleeper.info.hProcess, &code));
    EXPECT_EQ(code, kStillActive);
    EXPECT_EQ(Finish(sleeper), 0u);
}

TEST(Processes, TheSystemFolderIsSystem32AndATooSmallBufferGetsTheSize) {
    char buffer[MAX_PATH];
    std::memset(buffer, '#', sizeof buffer);
    SetLastError(kSentinel);
    UINT length = GetSystemDirectoryA(buffer, MAX_PATH);
    ASSERT_GT(length, 0u);
    EXPECT_EQ(std::strlen(buffer), length);
    EXPECT_EQ(Upper(buffer), "C:\\WINDOWS\\SYSTEM32") << "not SysWOW64, for a 32-bit process too";
    EXPECT_EQ(GetLastError(), kSentinel);

    char tiny[4];
    std::memset(tiny, '#', sizeof tiny);
    EXPECT_EQ(GetSystemDirectoryA(tiny, sizeof tiny), length + 1) << "terminator included";
    EXPECT_EQ(tiny[0], '#') << "nothing is written";
}

} // namespace
