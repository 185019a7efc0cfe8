// The simulated machine against Wine: the same planting as an end-to-end
// scenario, the same stage, held to the very expected text that the run of
// the real program under Wine is compared with (tests/e2e/expected/). When
// the simulation drifts from what Windows (as Wine shows it) does, this
// fails here, not only on a machine with Wine.
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "core/entry_listing.h"
#include "removers/registry.h"
#include "removers/sql_instance.h"
#include "test_support.h"

namespace {

// An expected trace-log part, stored with LF line ends, as the log has them.
std::string ExpectedLog(const std::string &name) {
    std::ifstream file(std::string(ZRT_SOURCE_DIR) + "/tests/e2e/expected/" + name);
    std::stringstream text;
    text << file.rdbuf();
    std::string log;
    for (char c : text.str()) {
        if (c == '\n')
            log += '\r';
        log += c;
    }
    return log;
}

// The tree that tests/e2e/plant/registry.sh plants under each product key.
void PlantProductTree(const std::string &key) {
    sim::PlantValue(key, "Version", REG_SZ, std::string("8.0.1.145", 10));
    sim::PlantValue(key, "InstallLevel", REG_DWORD, std::string("\x01\0\0\0", 4));
    sim::PlantValue(key + "\\Components", "Core", REG_SZ, std::string("installed", 10));
    sim::PlantValue(key + "\\Settings", "Port", REG_DWORD, std::string("\x90\x1f\0\0", 4));
    sim::PlantValue(key + "\\Settings\\Paths", "Data", REG_SZ, "C:\\ProgramData\\Zeltra Computing");
}

// Every HKLM key of the default listing, as the listing writes it (below HKLM).
std::vector<std::string> ListedKeys() {
    std::vector<std::string> keys;
    std::istringstream lines(sim::DefaultEntryListing());
    for (std::string line; std::getline(lines, line);)
        if (line.rfind("HKLM\\", 0) == 0)
            keys.push_back(line.substr(5, line.size() - 6)); // without the CR
    return keys;
}

class RegistryAsWineRunsIt : public MachineTest {
  protected:
    void SetUp() override {
        MachineTest::SetUp();
        sim::SetCurrentControlSetLink(false); // Wine keeps the two control sets apart
        OpenLog();
    }

    // Stage 3 over the default listing, after the banner the run writes.
    // Stage 2 leaves last error 2 on these machines (its last, absent file),
    // and registry calls do not change it: the error lines show that 2.
    std::string RunStage(LONG expectedResult = 0) {
        ListingCursor cursor = {0, 0, nullptr, nullptr};
        EXPECT_EQ(LoadEntryListing(&cursor), 1);
        cursor.Position = std::strstr(cursor.Position, "NRE=");
        WriteLogLine("/*========== 3:: RemoveRegistry ===============*/\r\n");
        SetLastError(ERROR_FILE_NOT_FOUND);
        EXPECT_EQ(RemoveRegistry(&cursor), expectedResult);
        std::string log = Log();
        return log.substr(log.find("/*=========="));
    }
};

TEST_F(RegistryAsWineRunsIt, EveryListedKeyInBothViews) {
    for (const std::string &key : ListedKeys()) {
        if (key.rfind("SOFTWARE\\", 0) == 0) {
            PlantProductTree("HKLM\\" + key);
            PlantProductTree("HKLM\\SOFTWARE\\Wow6432Node\\" + key.substr(9));
        } else {
            PlantProductTree("HKLM\\" + key);
        }
    }
    PlantProductTree("HKLM\\SOFTWARE\\Zeltra Computing\\OtherProduct");
    PlantProductTree("HKLM\\SOFTWARE\\Wow6432Node\\Zeltra Computing\\OtherProduct");

    EXPECT_EQ(RunStage(), ExpectedLog("registry/all_keys.txt"));
    EXPECT_EQ(g_run.tally.registry, 104u) << "the summary's Registry count under Wine";
    EXPECT_TRUE(sim::KeyExists("HKLM\\SOFTWARE\\Zeltra Computing\\OtherProduct\\Settings\\Paths"));
    EXPECT_TRUE(sim::KeyExists("HKLM\\SOFTWARE\\Wow6432Node\\Zeltra Computing\\OtherProduct\\Settings\\Paths"));
}

// The 32-bit ZeltraWS protected (taken over and deleted); ZeltraTSSetup only
// in the 64-bit view and protected there (the grant names the default view,
// where it is absent: left, and the stage's result says so).
TEST_F(RegistryAsWineRunsIt, ProtectedKeysTakenOverOrLeft) {
    for (const std::string &key : ListedKeys()) {
        if (key.rfind("SOFTWARE\\", 0) == 0) {
            PlantProductTree("HKLM\\" + key);
            if (key != "SOFTWARE\\Zeltra Computing\\ZeltraTSSetup")
                PlantProductTree("HKLM\\SOFTWARE\\Wow6432Node\\" + key.substr(9));
        } else {
            PlantProductTree("HKLM\\" + key);
        }
    }
    sim::ProtectKey("HKLM\\SOFTWARE\\Zeltra Computing\\ZeltraTSSetup");
    sim::ProtectKey("HKLM\\SOFTWARE\\Wow6432Node\\Zeltra Computing\\ZeltraWS");

    EXPECT_EQ(RunStage(kRegistryKeyRemains), ExpectedLog("registry/protected_key_taken_over.txt"));
    EXPECT_EQ(g_run.tally.registry, 96u);
    EXPECT_TRUE(sim::KeyExists("HKLM\\SOFTWARE\\Zeltra Computing\\ZeltraTSSetup\\Settings\\Paths"));
    EXPECT_FALSE(sim::KeyExists("HKLM\\SOFTWARE\\Wow6432Node\\Zeltra Computing\\ZeltraWS"));
}

TEST_F(RegistryAsWineRunsIt, AMachineWithoutTheProduct) {
    EXPECT_EQ(RunStage(), ExpectedLog("registry/clean_machine.txt"));
    EXPECT_EQ(g_run.tally.registry, 0u);
}

} // namespace

namespace {

// The SQL instance as tests/e2e/plant/sql.sh plants it under Wine.
const std::string kSqlRoot32 = "HKLM\\SOFTWARE\\Wow6432Node\\Microsoft\\Microsoft SQL Server";
const std::string kSqlRoot64 = "HKLM\\SOFTWARE\\Microsoft\\Microsoft SQL Server";
const std::string kPackageCode = "{7A1E2C3D-4B5F-4C6D-8E9F-0A1B2C3D4E5F}";
const std::string kInstanceDir = "C:\\Program Files\\Microsoft SQL Server\\MSSQL10.VUVURIDIVUZO";

class SqlAsWineRunsIt : public MachineTest {
  protected:
    void SetUp() override {
        MachineTest::SetUp();
        sim::SetCurrentControlSetLink(false);
        OpenLog();
    }
};

TEST_F(SqlAsWineRunsIt, TheInstanceRemovedInCompleteMode) {
    sim::PlantValue(kSqlRoot32, "InstalledInstances", REG_MULTI_SZ,
                    std::string("SQLEXPRESS\0VUVURIDIVUZO\0VUVURIDIVUZO2\0\0", 39));
    for (const char *name : {"SQLEXPRESS", "VUVURIDIVUZO", "VUVURIDIVUZO2"})
        sim::PlantValue(kSqlRoot32 + "\\Instance Names\\SQL", name, REG_SZ, std::string("MSSQL10.") + name);
    sim::PlantValue(kSqlRoot32 + "\\MSSQL10.VUVURIDIVUZO\\Setup", "SqlProgramDir", REG_SZ,
                    "C:\\Program Files\\Microsoft SQL Server");
    sim::PlantValue(kSqlRoot32 + "\\MSSQL10.VUVURIDIVUZO\\Setup", "ProductCode", REG_SZ, kPackageCode);
    for (const std::string &root : {kSqlRoot32, kSqlRoot64}) {
        sim::PlantKey(root + "\\MSSQL10.VUVURIDIVUZO\\MSSQLServer\\Parameters");
        sim::PlantKey(root + "\\VUVURIDIVUZO\\Setup");
        sim::PlantKey(root + "\\MSSQL10.VUVURIDIVUZO2\\Setup");
    }
    sim::PlantKey("HKLM\\SYSTEM\\ControlSet001\\Services\\MSSQL$VUVURIDIVUZO\\Parameters");
    sim::PlantKey("HKLM\\SOFTWARE\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\" + kPackageCode);
    sim::InstallProduct(kPackageCode);
    sim::PlantService("MSSQL$VUVURIDIVUZO", sim::ServiceScript{SERVICE_RUNNING, SERVICE_DEMAND_START, 0, 0, false});
    sim::PlantService("SqlWriter", sim::ServiceScript{SERVICE_RUNNING, SERVICE_AUTO_START, 0, 0, false});
    for (const char *file : {"MSSQL\\Binn\\sqlservr.exe", "MSSQL\\DATA\\master.mdf", "MSSQL\\DATA\\mastlog.ldf",
                             "MSSQL\\Log\\ERRORLOG", "sql_engine_core_inst.log"})
        sim::PlantFile(kInstanceDir + "\\" + file, file);
    sim::HoldOpenElsewhere(kInstanceDir + "\\MSSQL\\DATA\\master.mdf");

    // Stages 1 to 3 found nothing on that machine; the file stage's last
    // absent file left 2, which the registry calls do not change.
    WriteLogLine("/*========== 4:: RemoveSQLInstance ===============*/\r\n");
    SetLastError(ERROR_FILE_NOT_FOUND);
    ListingCursor cursor = {0, 0, nullptr, nullptr};
    EXPECT_EQ(RemoveSQLInstance(&cursor), 0);

    std::string expected = ExpectedLog("sql/stage4_instance.log");
    expected.replace(expected.find("@LAST_ERROR@"), 12, "2");
    EXPECT_EQ(Log(), expected);
    EXPECT_EQ(sim::KeyValue(kSqlRoot32, "InstalledInstances")->data, std::string("SQLEXPRESS\0VUVURIDIVUZO2\0\0", 26));
    EXPECT_EQ(g_run.tally.registry, 13u);
    EXPECT_EQ(g_run.tally.files, 6u);
    EXPECT_EQ(g_run.tally.filesQueued, 1u);
    EXPECT_EQ(g_run.tally.servicesStopped, 1u);
}

} // namespace
