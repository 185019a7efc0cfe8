#include <string>
#include <vector>

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
        sim::InstallProduct(kCode);
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
    std::string found = "Found Instance Name \"VUVURIDIVUZO\"\r\n";
    std::string removing = "Removing Instance Name \"VUVURIDIVUZO\"\r\n";
    EXPECT_EQ(Log(), found + removing + kWriterDone + found + removing + kWriterDone + found + removing + kWriterDone);
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
    PlantList(std::string(1100, 'x'));
    EXPECT_EQ(Run(), 0) << "too long to read: nothing is known";
    EXPECT_EQ(List(), std::string(1100, 'x'));
}

TEST_F(SqlInstance, WhatTheSetupKeyLacksDecidesTheSteps) {
    PlantList(Names({"VUVURIDIVUZO"}));
    sim::PlantValue(kMap, "VUVURIDIVUZO", REG_SZ, kId);
    sim::PlantKey(kRoot + "\\" + kId);
    EXPECT_EQ(Run(), 0) << "an id without setup key: the four-key listing only";
    std::string log = Log();
    EXPECT_NE(log.find("Registry_4:: HKLM\\SYSTEM\\CurrentControlSet\\Services\\MSSQL$VUVURIDIVUZO\r\n"),
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

TEST_F(SqlInstance, ValuesThatAreNotWhatTheyClaimAreNotUsed) {
    // An empty id would name the SQL Server root and the folder of every instance.
    PlantList(Names({"VUVURIDIVUZO"}));
    sim::PlantValue(kMap, "VUVURIDIVUZO", REG_SZ, "");
    sim::PlantValue(kRoot + "\\Setup", "SqlProgramDir", REG_SZ, kProgramDir);
    sim::PlantKey(kRoot + "\\OtherInstance");
    sim::PlantFile(kProgramDir + "\\OtherInstance\\data.mdf");
    EXPECT_EQ(Run(), 0);
    EXPECT_TRUE(sim::KeyExists(kRoot + "\\OtherInstance"));
    EXPECT_TRUE(sim::Exists(kProgramDir + "\\OtherInstance\\data.mdf"));
    EXPECT_EQ(Log().find("Registry_1::"), std::string::npos);

    for (const char *badId : {"..", "a\\b", "."}) {
        PlantList(Names({"VUVURIDIVUZO"}));
        sim::PlantValue(kMap, "VUVURIDIVUZO", REG_SZ, badId);
        Run();
    }
    EXPECT_EQ(Log().find("Registry_1::"), std::string::npos);

    for (const char *badDir : {"Microsoft SQL Server", "C:\\Program Files\\..", "\\\\"}) {
        PlantList(Names({"VUVURIDIVUZO"}));
        sim::PlantValue(kMap, "VUVURIDIVUZO", REG_SZ, kId);
        sim::PlantValue(kRoot + "\\" + kId + "\\Setup", "SqlProgramDir", REG_SZ, badDir);
        sim::PlantValue(kRoot + "\\" + kId + "\\Setup", "ProductCode", REG_SZ, kCode);
        Run();
    }
    EXPECT_EQ(Log().find("SQL_DIR::"), std::string::npos) << "a folder that is no absolute path";
    EXPECT_EQ(Log().find("SQL_SRVC::"), std::string::npos) << "nothing after an unusable folder";

    PlantList(Names({"VUVURIDIVUZO"}));
    sim::PlantValue(kMap, "VUVURIDIVUZO", REG_SZ, kId);
    sim::PlantValue(kRoot + "\\" + kId + "\\Setup", "SqlProgramDir", REG_SZ, kProgramDir);
    sim::PlantValue(kRoot + "\\" + kId + "\\Setup", "ProductCode", REG_SZ, "x /i \\\\evil\\share\\p.msi");
    Run();
    EXPECT_TRUE(sim::ProcessLaunches().empty()) << "a product code that is no braced GUID";
}

TEST_F(SqlInstance, RefusedRegistryWritesGoThroughTheBoundedAccessRetry) {
    PlantList(Names({"VUVURIDIVUZO"}));
    sim::GuardKey(kRoot, sim::KeyGuard::UntilAccessReplaced);
    EXPECT_EQ(Run(), 0);
    EXPECT_EQ(List(), std::string(1, '\0'));
    EXPECT_EQ(sim::NamedSecurityCalls(),
              std::vector<std::string>{"MACHINE\\Software\\Microsoft\\Microsoft SQL Server"});

    sim::Reset();
    std::memset(&g_run, 0, sizeof g_run);
    sim::PlantService("SqlWriter", sim::ServiceScript{});
    OpenLog();
    PlantList(Names({"VUVURIDIVUZO"}));
    sim::GuardKey(kRoot, sim::KeyGuard::Always);
    EXPECT_NE(Run(), 0) << "still refused after the bounded retries";
    std::string refused = "ERROR:: (Setting Value For Installed Instances) 5\r\n";
    EXPECT_EQ(Log(), "Found Instance Name \"VUVURIDIVUZO\"\r\nRemoving Instance Name \"VUVURIDIVUZO\"\r\n" + refused +
                         refused + refused + kWriterDone);

    sim::SetPrivilegeHeld("SeTakeOwnershipPrivilege", false);
    EXPECT_EQ(Run(), -1) << "the privilege could not be enabled";
}

TEST_F(SqlInstance, TheMapEntryIsDeletedWithEveryAttemptLogged) {
    PlantList(Names({"VUVURIDIVUZO"}));
    sim::PlantValue(kMap, "VUVURIDIVUZO", REG_SZ, kId);
    sim::GuardKey(kMap, sim::KeyGuard::UntilAccessReplaced);
    // The grant names the map's parent, so the map itself stays refused.
    EXPECT_EQ(Run(), -3);
    std::string log = Log();
    size_t attempts = 0;
    for (size_t at = 0; (at = log.find("SQL_REG:: VUVURIDIVUZO (Deletion)", at)) != std::string::npos; ++at)
        ++attempts;
    EXPECT_EQ(attempts, 3u);
    EXPECT_EQ(sim::NamedSecurityCalls().back(), "MACHINE\\Software\\Microsoft\\Microsoft SQL Server\\Instance NAmes");
    EXPECT_NE(log.find("Registry_1::"), std::string::npos) << "the id was read: its keys still go";
}

TEST_F(SqlInstance, AFailedStepIsReportedEvenWhenLaterStepsSucceed) {
    PlantInstance();
    sim::FailCall("OpenSCManagerA", {.error = ERROR_ACCESS_DENIED});
    EXPECT_EQ(Run(), 1) << "the service step failed; the Installer, keys and folder still went";
    EXPECT_FALSE(sim::ProductInstalled(kCode));
    EXPECT_FALSE(sim::Exists(kFolder));

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

} // namespace
