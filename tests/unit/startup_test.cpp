#include <string>
#include <vector>

#include "test_support.h"

namespace {

const char kCaption[] = "ZeltraEnterprise Security Removal Tool";
const char kAccessDenied[] = "ACCESS DENIED\nPlease Run As Administrator";
const char kMutexName[] = "Global\\ZeltraEnterpriseServer_RT";
const char kTemp[] = "C:\\Users\\Admin\\AppData\\Local\\Temp\\";

class Startup : public MachineTest {
  protected:
    void SetUp() override {
        MachineTest::SetUp();
        sim::SetDialogSafetyTimeout(5000);
    }

    // A fresh machine within one test, for a family of cases.
    void FreshMachine() {
        sim::JoinThreads();
        SetUp();
    }

    // Starts the program; by default the user closes the dialog at once.
    int Start(const std::string &commandLine, const std::vector<sim::UserAction> &user = {sim::CloseDialog()}) {
        sim::ScriptUser(user);
        std::string line = commandLine;
        int exitCode = WinMain(GetModuleHandleA(nullptr), nullptr, line.data(), SW_SHOWNORMAL);
        EXPECT_FALSE(sim::DialogTimedOut());
        return exitCode;
    }

    // Whatever way the program took, it leaves nothing open behind.
    static void ExpectCleanedUp() {
        EXPECT_EQ(sim::OpenHandles("mutex"), 0u);
        EXPECT_EQ(sim::OpenHandles("file"), 0u);
        EXPECT_EQ(sim::OpenHandles("token"), 0u);
        EXPECT_EQ(sim::LiveSids(), 0u);
        EXPECT_EQ(sim::LiveFonts(), 0u);
    }

    static void ExpectRefused(const char *text, UINT style) {
        auto boxes = sim::MessageBoxes();
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_EQ(boxes[0].owner, nullptr);
        EXPECT_EQ(boxes[0].text, text);
        EXPECT_EQ(boxes[0].caption, kCaption);
        EXPECT_EQ(boxes[0].style, style);
        EXPECT_EQ(sim::DialogWindow(), nullptr) << "no dialog after a refusal";
        EXPECT_TRUE(sim::FolderEntries(kTemp).empty()) << "no trace log after a refusal, even with /l";
        EXPECT_TRUE(sim::RestartQueue().empty());
        EXPECT_FALSE(sim::PrivilegeEnabled(SE_SHUTDOWN_NAME));
        ExpectCleanedUp();
    }
};

TEST_F(Startup, ASecondCopyIsRefusedWhileTheFirstKeepsItsMutex) {
    sim::PlantMutex(kMutexName);
    EXPECT_EQ(Start("/l"), -1);
    ExpectRefused("Instance Already Running", MB_ICONERROR);
    EXPECT_EQ(Start("/l"), -1) << "the refused copy closed only its own handle";
}

TEST_F(Startup, ACopyThatRanReleasesTheMutexForTheNext) {
    EXPECT_EQ(Start(""), 0);
    EXPECT_EQ(Start(""), 0);
    EXPECT_TRUE(sim::MessageBoxes().empty());
}

// Each refusal: a second copy, however the guard could not be taken (a user
// may create the mutex first with an access list that refuses us; a guard
// not taken is never a guard skipped), and a non-administrator, however the
// check fails.
TEST_F(Startup, EachRefusalShowsItsBoxAndRunsNothing) {
    struct Case {
        const char *name;
        void (*arrange)();
        const char *text;
        UINT style;
    };
    const char kRunning[] = "Instance Already Running";
    const Case cases[] = {
        {"mutex created first, refusing others", [] { sim::PlantMutex(kMutexName, sim::MutexAccess::RefusesOthers); },
         kRunning, MB_ICONERROR},
        {"mutex creation fails", [] { sim::FailCall("CreateMutexA", {.error = ERROR_INVALID_HANDLE}); }, kRunning,
         MB_ICONERROR},
        {"not a member", [] { sim::SetAdministrator(false); }, kAccessDenied, MB_ICONINFORMATION},
        {"CheckTokenMembership not exported", [] { sim::RemoveExport("advapi32.dll", "CheckTokenMembership"); },
         kAccessDenied, MB_ICONINFORMATION},
        {"CheckTokenMembership fails", [] { sim::FailCall("CheckTokenMembership", {.error = ERROR_ACCESS_DENIED}); },
         kAccessDenied, MB_ICONINFORMATION},
        {"advapi32 not loadable",
         [] { sim::FailCall("LoadLibraryA", {.error = ERROR_MOD_NOT_FOUND, .subject = "advapi32"}); }, kAccessDenied,
         MB_ICONINFORMATION},
        {"no SID", [] { sim::FailCall("AllocateAndInitializeSid", {.error = ERROR_NOT_ENOUGH_MEMORY}); }, kAccessDenied,
         MB_ICONINFORMATION},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        FreshMachine();
        c.arrange();
        EXPECT_EQ(Start("/l"), -1);
        ExpectRefused(c.text, c.style);
    }
}

TEST_F(Startup, TheWindows9xFamilyPassesBothChecksWithoutTheToken) {
    sim::SetVersion(0xC0000A04); // top bit set
    sim::SetAdministrator(false);
    EXPECT_EQ(Start(""), 0);
    EXPECT_TRUE(sim::MessageBoxes().empty());
    EXPECT_NE(sim::DialogWindow(), nullptr);
    EXPECT_FALSE(sim::PrivilegeEnabled(SE_SHUTDOWN_NAME)) << "the token was left alone";
    ExpectCleanedUp();
}

TEST_F(Startup, TheShutdownPrivilegeIsEnabledAndItsFailureIsSilent) {
    EXPECT_EQ(Start(""), 0);
    EXPECT_TRUE(sim::PrivilegeEnabled(SE_SHUTDOWN_NAME));
    ExpectCleanedUp();

    FreshMachine();
    sim::FailCall("OpenProcessToken", {.error = ERROR_ACCESS_DENIED});
    EXPECT_EQ(Start(""), 0);
    EXPECT_NE(sim::DialogWindow(), nullptr);
    EXPECT_TRUE(sim::MessageBoxes().empty());
    ExpectCleanedUp();
}

TEST_F(Startup, OnlyExactlySlashLWritesATraceLogThatIsQueuedForDeletion) {
    sim::SetTickCount(777);
    EXPECT_EQ(Start("/l"), 0);
    EXPECT_EQ(sim::FolderEntries(kTemp), std::vector<std::string>{"ZeltraES_RT_777_Log.txt"});
    // Recorded as Windows records it: the NT path, made full (the doubled separator is one).
    EXPECT_EQ(sim::RestartQueue(), std::vector<std::string>{"\\??\\" + std::string(kTemp) + "ZeltraES_RT_777_Log.txt"});
    ExpectCleanedUp();

    for (const char *line : {"/L", " /l", "/l ", "/lx", "/l /l", "-l", "l", ""}) {
        SCOPED_TRACE(std::string("command line \"") + line + "\"");
        FreshMachine();
        EXPECT_EQ(Start(line), 0);
        EXPECT_TRUE(sim::FolderEntries(kTemp).empty());
        EXPECT_TRUE(sim::RestartQueue().empty()) << "MoveFileExA with the empty path queues nothing";
        ExpectCleanedUp();
    }
}

TEST_F(Startup, ALogThatCouldNotBeCreatedIsNotQueuedForDeletion) {
    sim::SetTickCount(777);
    sim::PlantFile(std::string(kTemp) + "ZeltraES_RT_777_Log.txt", "another user's");
    EXPECT_EQ(Start("/l"), 0);
    EXPECT_TRUE(sim::RestartQueue().empty());
    EXPECT_EQ(sim::FileBytes(std::string(kTemp) + "ZeltraES_RT_777_Log.txt"), "another user's");
    ExpectCleanedUp();
}

TEST_F(Startup, TheProcessIsHardenedWhereWindowsCanDoIt) {
    EXPECT_EQ(Start(""), 0);
    EXPECT_EQ(sim::DefaultDllDirectories(), static_cast<DWORD>(LOAD_LIBRARY_SEARCH_SYSTEM32));
    EXPECT_EQ(sim::RedirectionTrustFlags(), 1u) << "RedirectionGuard enforced";

    FreshMachine();
    sim::RemoveExport("kernel32.dll", "SetDefaultDllDirectories");
    sim::RemoveExport("kernel32.dll", "SetProcessMitigationPolicy");
    EXPECT_EQ(Start(""), 0) << "a Windows without them runs as before";
    EXPECT_EQ(sim::RedirectionTrustFlags(), 0u);
    EXPECT_NE(sim::DialogWindow(), nullptr);
    ExpectCleanedUp();
}

TEST_F(Startup, CleanUpAlsoFollowsADialogThatCannotBeCreated) {
    // Without the progress bar's class the template's controls cannot be created.
    sim::FailCall("InitCommonControlsEx", {.error = ERROR_ACCESS_DENIED, .times = sim::kAlways});
    sim::SetTickCount(5);
    EXPECT_EQ(Start("/l", {}), 0);
    EXPECT_TRUE(sim::MessageBoxes().empty());
    ASSERT_TRUE(sim::DialogControl(0).has_value());
    EXPECT_TRUE(sim::DialogControl(0)->destroyed);
    // Recorded as Windows records it: the NT path, made full (the doubled separator is one).
    EXPECT_EQ(sim::RestartQueue(), std::vector<std::string>{"\\??\\" + std::string(kTemp) + "ZeltraES_RT_5_Log.txt"});
    ExpectCleanedUp();
}

} // namespace
