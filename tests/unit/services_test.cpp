#include <string>
#include <vector>

#include "removers/folders.h"
#include "removers/services.h"
#include "test_support.h"

namespace {

const char kNextSection[] = "\r\n\r\n[File Entries]\r\nNFAD=0\r\n[END]";

class StopServicesTest : public MachineTest {
  protected:
    std::string text; // the listing the cursor walks; writable, as the stage ends entries in place
    ListingCursor cursor = {0, 0, nullptr, nullptr};

    void SetUp() override {
        MachineTest::SetUp();
        OpenLog();
    }

    // Runs the stage on "NS=<n>" and the names, followed by a file section.
    LONG Run(const std::vector<std::string> &names, const std::string &tail = kNextSection) {
        text = "[Service Entries]\r\nNS=" + std::to_string(names.size()) + "\r\n";
        for (size_t i = 0; i < names.size(); ++i)
            text += names[i] + (i + 1 < names.size() ? "\r\n" : "");
        text += tail;
        cursor = {0, 0, nullptr, text.data()};
        LONG result = StopServices(&cursor);
        EXPECT_EQ(sim::OpenHandles("service"), 0u) << "every service manager handle is closed";
        return result;
    }

    std::string Rest() const { return cursor.Position; }
};

std::string Waiting(const std::string &name, int times) {
    std::string lines;
    for (int i = 0; i < times; ++i)
        lines += "Waiting for " + name + " to Stop.\r\nGoing To Sleep :-0 (Yawn!!!)\r\n";
    return lines;
}

TEST_F(StopServicesTest, StopsDisablesAndDeletesWhateverStateTheServiceIsIn) {
    sim::PlantService("Prompt");
    sim::PlantService("Slow", {.stopPolls = 2});
    sim::PlantService("Idle", {.state = SERVICE_STOPPED, .startType = SERVICE_DEMAND_START});
    sim::PlantKey("HKLM\\SYSTEM\\CurrentControlSet\\Services\\Prompt\\Parameters");

    EXPECT_EQ(Run({"Prompt", "Missing", "Slow", "Idle"}), 0);
    EXPECT_EQ(Log(),
              "SERVICE_1:: Prompt\r\nSUCCESS:: Stopped\r\nSUCCESS:: Deleted\r\n"
              "SERVICE_2:: Missing\r\nINFO:: (Opening service) Does Not Exist\r\nCONTINUE..\r\n"
              "SERVICE_3:: Slow\r\n" +
                  Waiting("Slow", 2) +
                  "SUCCESS:: Stopped\r\nSUCCESS:: Deleted\r\n"
                  "SERVICE_4:: Idle\r\nINFO:: (Changing Control) 1062\r\nSUCCESS:: Stopped\r\nSUCCESS:: Deleted\r\n");
    EXPECT_EQ(g_run.tally.servicesStopped, 3u);
    for (const char *name : {"Prompt", "Slow", "Idle"})
        EXPECT_FALSE(sim::InstalledService(name)) << name << " is gone once its handle is closed";
    EXPECT_FALSE(sim::KeyExists("HKLM\\SYSTEM\\ControlSet001\\Services\\Prompt")) << "and its key with it";
    EXPECT_EQ(sim::SleptMilliseconds(), 2000u);
    EXPECT_EQ(Rest(), std::string(kNextSection).substr(2)) << "Position just after the last entry line";
}

TEST_F(StopServicesTest, StuckServiceGetsThirtyWaitsAndIsLeftDisabled) {
    sim::PlantService("Stuck", {.stopPolls = sim::kAlways});
    sim::PlantService("Next");

    EXPECT_EQ(Run({"Stuck", "Next"}), kServiceNotStopped) << "a service left installed is a failure";
    EXPECT_EQ(Log(), "SERVICE_1:: Stuck\r\n" + Waiting("Stuck", 30) +
                         "Still Waiting!!!...Breaking Out\r\n"
                         "SERVICE_2:: Next\r\nSUCCESS:: Stopped\r\nSUCCESS:: Deleted\r\n");
    EXPECT_EQ(sim::SleptMilliseconds(), 30000u) << "thirty one-second waits, in virtual time";
    auto stuck = sim::InstalledService("Stuck");
    ASSERT_TRUE(stuck);
    EXPECT_EQ(stuck->startType, SERVICE_DISABLED);
    EXPECT_FALSE(stuck->markedForDelete);
    EXPECT_EQ(g_run.tally.servicesStopped, 1u);
}

TEST_F(StopServicesTest, MarkedForDeletionIsNoFailureAtEitherStep) {
    sim::PlantService("Marked", {.markedForDelete = true});
    sim::PlantService("Racing");
    // Someone else deletes it between our stop and our delete.
    sim::FailCall("DeleteService", {.error = ERROR_SERVICE_MARKED_FOR_DELETE, .subject = "Racing"});

    EXPECT_EQ(Run({"Marked", "Racing"}), 0);
    EXPECT_EQ(Log(), "SERVICE_1:: Marked\r\nINFO:: (Changing Config) Marked for Deletion\r\nCONTINUE..\r\n"
                     "SERVICE_2:: Racing\r\nSUCCESS:: Stopped\r\nMarked For Deletion\r\n");
    EXPECT_EQ(sim::InstalledService("Marked")->state, SERVICE_RUNNING) << "not stopped once found marked";
    EXPECT_EQ(g_run.tally.servicesStopped, 0u);
}

// The stop request's failures: three codes only say that the service is not
// running or cannot take the request now; any other is a failure. Either way
// the wait and, for a stopped service, the deletion follow; a service left
// installed in any state fails the stage.
TEST_F(StopServicesTest, StopRequestCodesAreToleratedOrFailTheStage) {
    struct Case {
        DWORD error;
        DWORD state; // the service's state, which the refused request leaves
        const char *line;
        LONG result;
        bool deleted;
    };
    const Case cases[] = {
        {ERROR_INVALID_SERVICE_CONTROL, SERVICE_STOPPED, "INFO:: (Changing Control) 1052\r\n", 0, true},
        {ERROR_SERVICE_CANNOT_ACCEPT_CTRL, SERVICE_STOPPED, "INFO:: (Changing Control) 1061\r\n", 0, true},
        {ERROR_SERVICE_NOT_ACTIVE, SERVICE_STOPPED, "INFO:: (Changing Control) 1062\r\n", 0, true},
        // Tolerated, yet left installed and running: a failure all the same.
        {ERROR_INVALID_SERVICE_CONTROL, SERVICE_RUNNING, "INFO:: (Changing Control) 1052\r\n", kServiceNotStopped,
         false},
        {ERROR_SERVICE_CANNOT_ACCEPT_CTRL, SERVICE_START_PENDING, "INFO:: (Changing Control) 1061\r\n",
         kServiceNotStopped, false},
        {ERROR_ACCESS_DENIED, SERVICE_RUNNING, "ERROR:: (Changing Control) 5\r\n", kServiceStopRefused, false},
        {ERROR_SERVICE_REQUEST_TIMEOUT, SERVICE_RUNNING, "ERROR:: (Changing Control) 1053\r\n", kServiceStopRefused,
         false},
        {ERROR_SERVICE_REQUEST_TIMEOUT, SERVICE_STOPPED, "ERROR:: (Changing Control) 1053\r\n", kServiceStopRefused,
         true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        sim::Reset();
        OpenLog();
        g_run.tally.servicesStopped = 0;
        sim::PlantService("Refusing", {.state = c.state});
        sim::FailCall("ControlService", {.error = c.error, .subject = "Refusing"});
        // A later entry's tolerated stop never hides the failure.
        sim::PlantService("Idle", {.state = SERVICE_STOPPED});
        EXPECT_EQ(Run({"Refusing", "Idle"}), c.result);
        EXPECT_EQ(Log(), std::string("SERVICE_1:: Refusing\r\n") + c.line +
                             (c.deleted ? "SUCCESS:: Stopped\r\nSUCCESS:: Deleted\r\n" : "") +
                             "SERVICE_2:: Idle\r\nINFO:: (Changing Control) 1062\r\nSUCCESS:: Stopped\r\n"
                             "SUCCESS:: Deleted\r\n");
        EXPECT_EQ(sim::InstalledService("Refusing").has_value(), !c.deleted);
        if (!c.deleted) {
            EXPECT_EQ(sim::InstalledService("Refusing")->startType, SERVICE_DISABLED);
        }
        EXPECT_EQ(g_run.tally.servicesStopped, c.deleted ? 2u : 1u);
    }
}

TEST_F(StopServicesTest, EachStepsFailureIsLoggedAndTheLastOneReturned) {
    for (const char *name : {"A", "B", "C", "D", "E"})
        sim::PlantService(name);
    sim::FailCall("OpenServiceA", {.error = ERROR_ACCESS_DENIED, .subject = "A"});
    sim::FailCall("ChangeServiceConfigA", {.error = ERROR_INVALID_PARAMETER, .subject = "B"});
    sim::FailCall("DeleteService", {.error = ERROR_ACCESS_DENIED, .subject = "C"});
    // No state reported at all: D counts as not stopped, whatever C left.
    sim::FailCall("ControlService", {.error = ERROR_SERVICE_REQUEST_TIMEOUT, .subject = "D"});
    sim::FailCall("QueryServiceStatus", {.error = ERROR_INVALID_HANDLE, .subject = "D"});
    std::string longName(600, 'L');

    EXPECT_EQ(Run({"A", "B", "C", "D", longName, "E"}), kServiceNotOpened) << "the last failure: the long name";
    std::string cutLine = ("SERVICE_5:: " + longName).substr(0, 511);
    EXPECT_EQ(Log(), "SERVICE_1:: A\r\nERROR:: (Opening service) 5\r\nCONTINUE..\r\n"
                     "SERVICE_2:: B\r\nERROR:: (Changing Config) 87\r\nCONTINUE..\r\n"
                     "SERVICE_3:: C\r\nSUCCESS:: Stopped\r\nERROR:: (Del Srvc) 5\r\n"
                     "SERVICE_4:: D\r\nERROR:: (Changing Control) 1053\r\n" +
                         cutLine + "ERROR:: (Opening service) 123\r\nCONTINUE..\r\n" +
                         "SERVICE_6:: E\r\nSUCCESS:: Stopped\r\nSUCCESS:: Deleted\r\n");
    EXPECT_TRUE(sim::InstalledService("D")) << "no state reported: not deleted";
    EXPECT_EQ(g_run.tally.servicesStopped, 1u);
}

TEST_F(StopServicesTest, UnopenedServiceManagerLeavesTheSectionToTheNextStage) {
    sim::PlantService("Prompt");
    sim::FailCall("OpenSCManagerA", {.error = ERROR_ACCESS_DENIED});

    EXPECT_EQ(Run({"Prompt"}), kServiceManagerClosed);
    EXPECT_EQ(Log(), "ERROR:: Opening SCM\r\nEXITING..\r\n");
    EXPECT_EQ(Rest().substr(0, 8), "Prompt\r\n") << "Position on the first entry line";
    EXPECT_TRUE(sim::InstalledService("Prompt"));

    cursor.Kind = 0;
    cursor.Count = 0;
    EXPECT_EQ(RemoveFolders(&cursor), 0) << "the files stage still finds NFAD=0";
    EXPECT_EQ(Rest(), "[END]");
}

TEST_F(StopServicesTest, ListingFaultsEndTheStage) {
    sim::PlantService("First");
    // The last entry has no line end.
    EXPECT_EQ(Run({"First", "Last"}, ""), kServiceNoLineEnd);
    EXPECT_EQ(Log(), "SERVICE_1:: First\r\nSUCCESS:: Stopped\r\nSUCCESS:: Deleted\r\n"
                     "ERROR:: Invalid String Encountered\r\nEXITING..\r\n");
    EXPECT_EQ(Rest(), "Last");

    // No count line at all: nothing is read and the manager is not opened.
    sim::FailCall("OpenSCManagerA", {.error = ERROR_ACCESS_DENIED});
    std::string before = Log();
    text = "[Service Entries]\r\nFirst\r\n";
    cursor = {0, 0, nullptr, text.data()};
    EXPECT_EQ(StopServices(&cursor), kServiceNoLineEnd);
    EXPECT_EQ(Log().substr(before.size()), "ERROR:: Section Not Found\r\nEXITING..\r\n");

    EXPECT_EQ(Run({}), kServiceManagerClosed) << "the scripted failure is still there for the next call";
    // An empty section opens and closes the manager and reports success.
    before = Log();
    EXPECT_EQ(Run({}), 0);
    EXPECT_EQ(Log().substr(before.size()), "");
}

} // namespace
