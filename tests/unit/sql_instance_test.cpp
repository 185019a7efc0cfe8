#include <string>
#include <vector>

#include "core/removal_run.h"
#include "removers/sql_instance.h"
#include "test_support.h"

namespace {

// What a 32-bit process sees as HKLM\Software\Microsoft\Microsoft SQL Server.
const std::string kRoot = "HKLM\\SOFTWARE\\Wow6432Node\\Microsoft\\Microsoft SQL Server";
const std::string kMap = kRoot + "\\Instance Names\\SQL";
const std::string kId = "MSSQL10.VUVURIDIVUZO";
const std::string kCode = "{6F3B1C2A-9D4E-4A7B-8C5D-1E2F3A4B5C6D}";
const std::string kProgramDir = "C:\\Program Files\\Microsoft SQL Server";
const std::string kFolder = kProgramDir + "\\" + kId;

const char kWriterDone[] = "SUCCESS:: Stopped SqlWriter\r\n";

std::string Names(const std::vector<std::string> &names, bool finalNul = true) {
    std::string data;
    for (const std::string &n : names)
        data += n + '\0';
    if (finalNul)
        data += '\0';
    return data;
}

class SqlInstance : public MachineTest {
  protected:
    ListingCursor cursor = {0, 0, nullptr, nullptr};

    void SetUp() override {
        MachineTest::SetUp();
        sim::PlantService("SqlWriter", sim::ServiceScript{});
        OpenLog();
    }

    void PlantList(const std::string &data, DWORD type = REG_MULTI_SZ) {
        sim::PlantValue(kRoot, "InstalledInstances", type, data);
    }

    // The whole registration of the instance, as SQL Server's setup leaves it.
    void PlantInstance() {
        PlantList(Names({"SQLEXPRESS", "VUVURIDIVUZO", "OTHER"}));
        sim::PlantValue(kMap, "VUVURIDIVUZO", REG_SZ, kId);
        sim::PlantValue(kRoot + "\\" + kId + "\\Setup", "SqlProgramDir", REG_SZ, kProgramDir);
        sim::PlantValue(kRoot + "\\" + kId + "\\Setup", "ProductCode", REG_SZ, kCode);
        sim::PlantKey(kRoot + "\\" + kId + "\\MSSQLServer\\Parameters");
        sim::PlantKey(kRoot + "\\VUVURIDIVUZO");
        sim::PlantKey("HKLM\\SYSTEM\\CurrentControlSet\\Services\\MSSQL$VUVURIDIVUZO");
        sim::PlantKey("HKLM\\SOFTWARE\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\" + kCode);
        sim::PlantService("MSSQL$VUVURIDIVUZO", sim::ServiceScript{});
        sim::PlantFile(kFolder + "\\MSSQL\\DATA\\master.mdf", "db");
        sim::InstallProduct(kCode, kFolder + "\\");
    }

    std::string List() {
        auto value = sim::KeyValue(kRoot, "InstalledInstances");
        return value ? value->data : "<absent>";
    }

    // The log after the stage banner's position: everything the stage wrote.
    LONG Run() { return RemoveSQLInstance(&cursor); }
};

TEST_F(SqlInstance, WithoutARegistrationOnlyTheWriterStepRuns) {
    EXPECT_EQ(Run(), 0) << "no SQL root key";
    PlantList(Names({"SQLEXPRESS", "VUVURIDIVUZO2"}));
    EXPECT_EQ(Run(), 0) << "other instances only, one merely containing our name";
    EXPECT_EQ(List(), Names({"SQLEXPRESS", "VUVURIDIVUZO2"}));
    PlantList(std::string(1, '\0'));
    EXPECT_EQ(Run(), 0);
    EXPECT_EQ(Log(), std::string(kWriterDone) + kWriterDone + "INFO:: No Installed Instances Found" + kWriterDone)
        << "the empty list's line has no line end";
    EXPECT_EQ(sim::InstalledService("SqlWriter")->startType, static_cast<DWORD>(SERVICE_DEMAND_START));
    EXPECT_EQ(sim::InstalledService("SqlWriter")->state, static_cast<DWORD>(SERVICE_RUNNING)) << "never stopped";
}

TEST_F(SqlInstance, TheWriterStepReportsAMissingWriterAndReleasesItsHandles) {
    sim::FailCall("ChangeServiceConfigA", {.error = ERROR_ACCESS_DENIED});
    Run();
    sim::FailCall("OpenSCManagerA", {.error = ERROR_ACCESS_DENIED});
    Run();
    EXPECT_EQ(Log(), "ERROR:: Stopping SqlWriter\r\nERROR:: Stopping SqlWriter\r\n");
    EXPECT_EQ(sim::OpenHandles("service"), 0u);
}

TEST_F(SqlInstance, OnlyOurOwnNameIsTakenOutAndTheOthersKeepTheirOrder) {
    PlantList(Names({"ELEVENCHARS", "VUVURIDIVUZO"}));
    Run();
    EXPECT_EQ(List(), std::string("ELEVENCHARS\0\0", 13));

    PlantList(Names({"VUVURIDIVUZO"}));
    Run();
    EXPECT_EQ(List(), std::string(1, '\0'));

    PlantList(Names({"vuvuridivuzo", "VUVURIDIVUZO2", "A"}));
    Run();
    EXPECT_EQ(List(), Names({"VUVURIDIVUZO2", "A"})) << "names compare without regard to case";

    PlantList(Names({"A", "", "VUVURIDIVUZO", "", "B"}));
    Run();
    EXPECT_EQ(List(), Names({"A", "B"})) << "an empty string ends no walk, and goes: it is no name";
    std::string each = "Found Instance Name \"VUVURIDIVUZO\"\r\nRemoving Instance Name \"VUVURIDIVUZO\"\r\n" +
                       std::string(kWriterDone);
    EXPECT_EQ(Log(), each + each + each + each);
}

TEST_F(SqlInstance, MoreThan128NamesLoseNoneButOurs) {
    std::vector<std::string> names, kept;
    for (int i = 0; i < 200; ++i) {
        std::string n = "N" + std::to_string(100 + i);
        names.push_back(n);
        kept.push_back(n);
        if (i == 150)
            names.push_back("VUVURIDIVUZO");
    }
    PlantList(Names(names));
    ASSERT_LE(Names(names).size(), 1024u);
    Run();
    EXPECT_EQ(List(), Names(kept)) << "a match past the 128th is removed like any other";
}

TEST_F(SqlInstance, AListWithoutItsFinalNulOrOfAnotherTypeIsReadOnlyWithinItsSize) {
    PlantList(Names({"A", "VUVURIDIVUZO"}, false).substr(0, 14)); // "A\0VUVURIDIVUZO", no NUL at all
    Run();
    EXPECT_EQ(List(), std::string("A\0\0", 3));
    PlantList(std::string("VUVURIDIVUZO"), REG_SZ);
    Run();
    EXPECT_EQ(List(), std::string(1, '\0'));
    EXPECT_EQ(sim::KeyValue(kRoot, "InstalledInstances")->type, static_cast<DWORD>(REG_MULTI_SZ))
        << "written back as the list it is";
    PlantList(std::string(1100, 'x'));
    EXPECT_EQ(Run(), -3) << "too long to read whole: an instance may be in it unseen";
    EXPECT_EQ(List(), std::string(1100, 'x'));
}

// The whole removal of a registered instance is a scenario
// (tests/scenarios/sql_instance_*); here, how the Installer is started.
TEST_F(SqlInstance, TheInstallerIsTheSystemOneStartedInTheSystemFolder) {
    PlantInstance();
    sim::PlantFile("C:\\Tools\\msiexec.exe", "planted beside the program");
    sim::RegisterProgram("C:\\Tools\\msiexec.exe", 10);
    EXPECT_EQ(Run(), 0);
    auto launches = sim::ProcessLaunches();
    ASSERT_EQ(launches.size(), 1u);
    EXPECT_EQ(launches[0].application, "C:\\Windows\\system32\\msiexec.exe");
    EXPECT_EQ(launches[0].commandLine, "MSIEXEC.EXE /qn /norestart /x " + kCode);
    EXPECT_EQ(launches[0].started, "C:\\Windows\\system32\\msiexec.exe") << "never the one beside the program";
    EXPECT_EQ(launches[0].currentFolder, "C:\\Windows\\system32") << "nor started in the tool's current folder";
    EXPECT_EQ(sim::OpenHandles("process"), 0u);
}

TEST_F(SqlInstance, WhatTheSetupKeyLacksDecidesTheSteps) {
    PlantList(Names({"VUVURIDIVUZO"}));
    sim::PlantValue(kMap, "VUVURIDIVUZO", REG_SZ, kId);
    sim::PlantKey(kRoot + "\\" + kId);
    EXPECT_EQ(Run(), 0) << "an id without setup key: the four-key listing only, the id's key last";
    std::string log = Log();
    EXPECT_NE(log.find("Registry_4:: HKLM\\SOFTWARE\\Microsoft\\Microsoft SQL Server\\" + kId + "\r\n"),
              std::string::npos);
    EXPECT_EQ(log.find("Registry_5::"), std::string::npos);
    EXPECT_EQ(log.find("SQL_SRVC::"), std::string::npos);
    EXPECT_EQ(log.find("SQL_DIR::"), std::string::npos);
    EXPECT_FALSE(sim::KeyExists(kRoot + "\\" + kId));

    PlantList(Names({"VUVURIDIVUZO"}));
    sim::PlantValue(kMap, "VUVURIDIVUZO", REG_SZ, kId);
    sim::PlantValue(kRoot + "\\" + kId + "\\Setup", "SqlProgramDir", REG_SZ, kProgramDir);
    sim::PlantFolder(kFolder);
    EXPECT_EQ(Run(), 0) << "a setup key without product code: no service, no Installer";
    EXPECT_FALSE(sim::Exists(kFolder));
    EXPECT_TRUE(sim::ProcessLaunches().empty());
    EXPECT_EQ(Log().find("SQL_SRVC::"), std::string::npos);
}

// A value that is not what it claims is not used, and the stage says the
// instance was not fully removed. Each row plants a whole registration with
// one value replaced (the instance id, the program folder or the product
// code) and says which steps still run: those that have what they need.
// The keys and the registration stay, so that a later run finds the
// instance.
TEST_F(SqlInstance, ValuesThatAreNotWhatTheyClaimAreNotUsedAndFailTheStage) {
    enum Reaches { kNothing, kServiceAndPackage, kFolderOnly };
    struct Case {
        const char *name;
        std::string id, programDir, code;
        Reaches reaches;
        std::string installedAt = ""; // where the Installer has the code's product, if anywhere
    };
    const std::string other = "{0A1B2C3D-4E5F-4061-8273-94A5B6C7D8E9}";
    const std::string longId(256, 'I');
    const Case cases[] = {
        {"empty id: the SQL Server root and every instance's folder", "", kProgramDir, kCode, kNothing},
        {"id ..", "..", kProgramDir, kCode, kNothing},
        {"id .", ".", kProgramDir, kCode, kNothing},
        {"id of dots only", "...", kProgramDir, kCode, kNothing},
        {"id with a backslash", "a\\b", kProgramDir, kCode, kNothing},
        {"id with a slash", "a/b", kProgramDir, kCode, kNothing},
        {"id with a colon", "C:x", kProgramDir, kCode, kNothing},
        {"id adding a key line", "MSSQL.1\r\nHKLMxSOFTWARE", kProgramDir, kCode, kNothing},
        {"id adding a user key line", "MSSQL.1\r\nHKCUxSoftware", kProgramDir, kCode, kNothing},
        {"id with a line feed", "MSSQL.1\nX", kProgramDir, kCode, kNothing},
        {"id with a tab", "MSSQL\t1", kProgramDir, kCode, kNothing},
        {"id too long to hold", longId, kProgramDir, kCode, kNothing},
        {"another instance's id", "MSSQL10.OTHER", kProgramDir, kCode, kNothing},
        {"a plain folder name", "Binn", kProgramDir, kCode, kNothing},
        {"id with no version", "MSSQL.VUVURIDIVUZO", kProgramDir, kCode, kNothing},
        {"relative folder", kId, "Microsoft SQL Server", kCode, kServiceAndPackage},
        {"drive-relative folder", kId, "C:SQL", kCode, kServiceAndPackage},
        {"folder leading up", kId, "C:\\Program Files\\..", kCode, kServiceAndPackage},
        {"folder leading up through a slash", kId, "C:\\Program Files/..\\Windows", kCode, kServiceAndPackage},
        {"share", kId, "\\\\host\\share\\SQL", kCode, kServiceAndPackage},
        {"share root", kId, "\\\\", kCode, kServiceAndPackage},
        {"device path", kId, "\\\\.\\C:\\SQL", kCode, kServiceAndPackage},
        {"long path form", kId, "\\\\?\\C:\\SQL", kCode, kServiceAndPackage},
        {"folder with a stream name", kId, "C:\\SQL:data", kCode, kServiceAndPackage},
        {"folder with a line end", kId, "C:\\SQL\r\nX", kCode, kServiceAndPackage},
        {"code with a command line", kId, kProgramDir, "x /i \\\\evil\\share\\p.msi", kFolderOnly},
        {"code of the right length without braces", kId, kProgramDir, "(6F3B1C2A-9D4E-4A7B-8C5D-1E2F3A4B5C6D)",
         kFolderOnly},
        {"code with a blank for a dash", kId, kProgramDir, "{6F3B1C2A-9D4E-4A7B-8C5D 1E2F3A4B5C6D}", kFolderOnly},
        {"code with a letter that is no hex digit", kId, kProgramDir, "{6F3B1C2A-9D4E-4A7B-8C5D-1E2F3A4B5C6G}",
         kFolderOnly},
        {"code with its dashes moved", kId, kProgramDir, "{6F3B1C2A9-D4E-4A7B-8C5D-1E2F3A4B5C6D}", kFolderOnly},
        {"code adding a key line", kId, kProgramDir, "{6F3B1C2A-9D4E-4A7B-8C5D-1E2F3A4B5C6D}\r\nHKCUxSoftware",
         kFolderOnly},
        // The service account may write the code: only the Installer's own
        // registration, in the instance's folder, makes it the package.
        {"code of another product", kId, kProgramDir, other, kFolderOnly, "C:\\Program Files\\Other\\"},
        {"code of a product in a folder named like another instance", kId, kProgramDir, other, kFolderOnly,
         kFolder + "2\\"},
        {"code of a product in a folder ending like ours", kId, kProgramDir, other, kFolderOnly,
         kProgramDir + "\\X" + kId},
        {"code of a product on a share named like ours", kId, kProgramDir, other, kFolderOnly, "\\\\host\\" + kId},
        {"code of a product with no location", kId, kProgramDir, other, kFolderOnly, "-"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        sim::Reset();
        std::memset(&g_run, 0, sizeof g_run);
        SetUp();
        PlantInstance();
        sim::PlantValue(kMap, "VUVURIDIVUZO", REG_SZ, c.id);
        sim::PlantValue(kRoot + "\\" + kId + "\\Setup", "SqlProgramDir", REG_SZ, c.programDir);
        sim::PlantValue(kRoot + "\\" + kId + "\\Setup", "ProductCode", REG_SZ, c.code);
        if (!c.installedAt.empty())
            sim::InstallProduct(c.code, c.installedAt == "-" ? "" : c.installedAt);
        sim::PlantKey("HKCU\\Software\\Other");
        sim::PlantFile(kProgramDir + "\\OtherInstance\\data.mdf");
        EXPECT_EQ(Run(), 3);

        std::string log = Log();
        const bool package = c.reaches == kServiceAndPackage;
        EXPECT_EQ(log.find("SQL_SRVC::") != std::string::npos, package);
        EXPECT_EQ(sim::ProductInstalled(kCode), !package);
        EXPECT_EQ(sim::ProductInstalled(other), !c.installedAt.empty()) << "never uninstalled";
        EXPECT_EQ(sim::InstalledService("MSSQL$VUVURIDIVUZO").has_value(), !package);
        EXPECT_EQ(log.find("SQL_DIR::") != std::string::npos, c.reaches == kFolderOnly);
        EXPECT_EQ(sim::Exists(kFolder), c.reaches != kFolderOnly);
        EXPECT_EQ(log.find("Registry_1::"), std::string::npos);
        EXPECT_EQ(log.find("SQL_REG::"), std::string::npos);
        EXPECT_TRUE(sim::KeyExists(kRoot + "\\" + kId + "\\Setup"));
        EXPECT_TRUE(sim::KeyValue(kMap, "VUVURIDIVUZO").has_value());
        EXPECT_EQ(List(), Names({"SQLEXPRESS", "VUVURIDIVUZO", "OTHER"}));
        // Whatever the value holds, the listings hold only their own lines.
        EXPECT_EQ(log.find(":: HKCU"), std::string::npos);
        EXPECT_EQ(log.find(":: HKLM\\SOFTWARE\r\n"), std::string::npos);
        EXPECT_TRUE(sim::KeyExists(kRoot));
        EXPECT_TRUE(sim::KeyExists("HKCU\\Software\\Other"));
        EXPECT_TRUE(sim::Exists(kProgramDir + "\\OtherInstance\\data.mdf"));
        EXPECT_EQ(sim::InstalledService("SqlWriter")->startType, static_cast<DWORD>(SERVICE_DEMAND_START));
    }
}

// Missing facts are no failure; the discovery just ends where they are
// missing, and a missing map value is neither deleted nor logged.
TEST_F(SqlInstance, AMissingValueEndsTheDiscoveryWithoutAFailure) {
    PlantList(Names({"VUVURIDIVUZO"}));
    sim::PlantKey(kMap);
    EXPECT_EQ(Run(), 0);
    EXPECT_EQ(Log(), "Found Instance Name \"VUVURIDIVUZO\"\r\nRemoving Instance Name \"VUVURIDIVUZO\"\r\n" +
                         std::string(kWriterDone));

    // An empty product code is an unknown one: the four-key listing and the
    // folder. A code the Installer has no product for (a run before
    // uninstalled it) leaves nothing to uninstall: the service still goes.
    for (const char *code : {"", "{0A1B2C3D-4E5F-4061-8273-94A5B6C7D8E9}"}) {
        PlantInstance();
        sim::PlantValue(kRoot + "\\" + kId + "\\Setup", "ProductCode", REG_SZ, code);
        EXPECT_EQ(Run(), 0);
        EXPECT_TRUE(sim::ProcessLaunches().empty());
        EXPECT_FALSE(sim::Exists(kFolder));
        EXPECT_EQ(sim::InstalledService("MSSQL$VUVURIDIVUZO").has_value(), code[0] == '\0');
        EXPECT_EQ(Log().find("Registry_5::"), std::string::npos);
    }
}

// On the faithful machine a key that refuses a change refuses the tool's
// KEY_ALL_ACCESS opening first, which removers/sql_instance.cpp gives up
// on silently: this test fails on that fault of the tool (reported, left).
TEST_F(SqlInstance, RefusedRegistryWritesGoThroughTheBoundedAccessRetry) {
    PlantList(Names({"VUVURIDIVUZO"}));
    sim::ProtectKey(kRoot, KEY_READ);
    EXPECT_EQ(Run(), 0);
    EXPECT_EQ(List(), std::string(1, '\0'));
    EXPECT_FALSE(sim::NamedSecurityCalls().empty());
    for (const std::string &named : sim::NamedSecurityCalls())
        EXPECT_EQ(named, "MACHINE\\Software\\Microsoft\\Microsoft SQL Server");

    sim::Reset();
    std::memset(&g_run, 0, sizeof g_run);
    sim::PlantService("SqlWriter", sim::ServiceScript{});
    OpenLog();
    PlantList(Names({"VUVURIDIVUZO"}));
    sim::FailCall("RegSetValueExA", {.error = ERROR_ACCESS_DENIED, .times = sim::kAlways}); // refused whatever the list
    EXPECT_NE(Run(), 0) << "still refused after the bounded retries";
    std::string refused = "ERROR:: (Setting Value For Installed Instances) 5\r\n";
    EXPECT_EQ(Log(), "Found Instance Name \"VUVURIDIVUZO\"\r\nRemoving Instance Name \"VUVURIDIVUZO\"\r\n" + refused +
                         refused + refused + kWriterDone);

    sim::SetPrivilegeHeld("SeTakeOwnershipPrivilege", false);
    EXPECT_EQ(Run(), -1) << "the privilege could not be enabled";
}

// Fails on the same fault: the protected map refuses the KEY_ALL_ACCESS
// opening, which the tool gives up on before any deletion is attempted.
// The map refuses changes until its own list is replaced (Administrators may
// only read it); then a deletion refused whatever the list. Each line shows
// the deletion's own status, not the thread's last error.
TEST_F(SqlInstance, TheMapEntryIsDeletedWithEveryAttemptLogged) {
    PlantInstance();
    sim::ProtectKey(kMap, KEY_READ);
    SetLastError(1234);
    EXPECT_EQ(Run(), 0);
    EXPECT_FALSE(sim::KeyValue(kMap, "VUVURIDIVUZO").has_value());
    for (const std::string &named : sim::NamedSecurityCalls())
        EXPECT_EQ(named, "MACHINE\\Software\\Microsoft\\Microsoft SQL Server\\Instance Names\\SQL")
            << "the grant names the key whose value is refused";
    EXPECT_NE(Log().find("SQL_REG:: VUVURIDIVUZO (Deletion) 5 \r\nSQL_REG:: VUVURIDIVUZO (Deletion) 0 \r\n"),
              std::string::npos);

    PlantInstance();
    sim::FailCall("RegDeleteValueA", {.error = ERROR_ACCESS_DENIED, .times = sim::kAlways});
    EXPECT_EQ(Run(), -3);
    std::string log = Log();
    size_t attempts = 0;
    for (size_t at = 0; (at = log.find("SQL_REG:: VUVURIDIVUZO (Deletion) 5 \r\n", at)) != std::string::npos; ++at)
        ++attempts;
    // The map has its own list back from the run before: refused once and
    // granted again, then the deletion refused up to the bound.
    EXPECT_EQ(attempts, 1u + 1u + 3u);
    EXPECT_NE(log.find("Registry_1::"), std::string::npos) << "the keys went before the map";
    EXPECT_EQ(List(), Names({"SQLEXPRESS", "VUVURIDIVUZO", "OTHER"})) << "listed until the map's entry is gone";
}

TEST_F(SqlInstance, AFailedStepIsReportedEvenWhenLaterStepsSucceed) {
    PlantInstance();
    sim::FailCall("OpenSCManagerA", {.error = ERROR_ACCESS_DENIED});
    EXPECT_EQ(Run(), 1) << "the service step failed; the Installer, keys and folder still went";
    EXPECT_FALSE(sim::ProductInstalled(kCode));
    EXPECT_FALSE(sim::Exists(kFolder));

    // The Installer's exit code: done, done with a restart to come, or no
    // such package are success; anything else (1603 a fatal error, 1618
    // another installation in progress), and no start at all, a failure.
    struct Exit {
        DWORD code;
        LONG result;
    };
    for (const Exit &e : {Exit{0, 0}, Exit{3010, 0}, Exit{1605, 0}, Exit{1603, -1}, Exit{1618, -1}}) {
        SCOPED_TRACE(e.code);
        PlantInstance();
        sim::RegisterProgram("C:\\Windows\\system32\\msiexec.exe", 10, [&](const std::string &) { return e.code; });
        EXPECT_EQ(Run(), e.result);
        EXPECT_FALSE(sim::Exists(kFolder)) << "the later steps still ran";
    }
    PlantInstance();
    sim::RemoveProgram("C:\\Windows\\system32\\msiexec.exe");
    EXPECT_EQ(Run(), -1) << "the Installer could not be started";
    EXPECT_FALSE(sim::Exists(kFolder));
}

TEST_F(SqlInstance, ASlowInstallerIsWaitedForAMinuteAtMost) {
    PlantInstance();
    sim::RegisterProgram("C:\\Windows\\system32\\msiexec.exe", 90000);
    uint64_t before = sim::SleptMilliseconds();
    EXPECT_EQ(Run(), 0) << "a timed-out wait is no error";
    EXPECT_EQ(sim::SleptMilliseconds() - before, 60000u);
}

// A complete removal ended at any call (the process killed, the power lost)
// and then run again leaves the machine as one uninterrupted run does,
// after the restart, and changes nothing outside its targets. The calls are
// shared out among four tests, which ctest runs side by side.
class EndedRun : public SqlInstance, public ::testing::WithParamInterface<unsigned> {};
constexpr unsigned kEndedRunShards = 4;

TEST_P(EndedRun, IsFinishedByRunningItAgain) {
    auto plant = [&] {
        sim::Reset();
        sim::PlantService("SqlWriter", sim::ServiceScript{});
        sim::PlantService("ZeltraWebServer");
        sim::PlantFile("C:\\Program Files (x86)\\Zeltra Computing\\ZeltraBusinessServer\\server.exe");
        sim::PlantFile("C:\\ProgramData\\Zeltra Computing\\ZeltraWS\\ws.log");
        sim::PlantValue("HKLM\\SOFTWARE\\Wow6432Node\\Zeltra Computing\\ZeltraWS", "Path", REG_SZ, "C:\\");
        sim::PlantKey("HKLM\\SOFTWARE\\Wow6432Node\\Zeltra Computing\\Other");
        PlantInstance();
    };
    auto run = [] {
        std::memset(&g_run, 0, sizeof g_run);
        g_run.removalMode = 2;
        return RunRemoval(reinterpret_cast<HWND>(0x7000));
    };
    plant();
    ASSERT_EQ(run(), 0);
    const unsigned calls = sim::CallsMade();
    sim::Restart();
    const std::string once = sim::MachineText();
    unsigned unfinished = 0;
    for (unsigned at = 1 + GetParam(); at <= calls; at += kEndedRunShards) {
        plant();
        sim::EndProcessAtCall(at);
        try {
            run();
        } catch (const sim::ProcessEnded &) {
        }
        sim::EndProcess();
        run();
        sim::Restart();
        if (sim::MachineText() != once && ++unfinished <= 3)
            ADD_FAILURE() << "ended at call " << at << " of " << calls << ":\n" << sim::MachineText();
    }
    EXPECT_EQ(unfinished, 0u) << "of " << calls << " calls";
}

INSTANTIATE_TEST_SUITE_P(Shards, EndedRun, ::testing::Range(0u, kEndedRunShards));

} // namespace
