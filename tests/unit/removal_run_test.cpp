#include <string>
#include <vector>

#include "core/removal_run.h"
#include "resources/resource.h"
#include "test_support.h"

namespace {

// Stages of the test's own: each records the cursor it was handed, may
// consume a section, may count something, and returns a chosen code.
struct Call {
    int stage;
    ListingCursor cursor;
};
std::vector<Call> g_calls;
LONG g_results[4];
TraceTally g_raise[4];

template <int N> LONG RecordingStage(ListingCursor *cursor) {
    g_calls.push_back(Call{N, *cursor});
    if (N < 3 && OpenSection(cursor))
        for (DWORD i = 0; i < cursor->Count && TakeEntry(cursor); ++i) {
        }
    cursor->Kind = 7;
    cursor->KeyPath = reinterpret_cast<char *>(0x99);
    g_run.tally.servicesStopped += g_raise[N].servicesStopped;
    g_run.tally.files += g_raise[N].files;
    g_run.tally.registry += g_raise[N].registry;
    g_run.tally.filesQueued += g_raise[N].filesQueued;
    return g_results[N];
}

const Stage kStages[] = {
    {1, "/*========== 1:: StopServices ===============*/\r\n", RecordingStage<0>, false, false},
    {2, "/*========== 2:: RemoveFolders ===============*/\r\n", RecordingStage<1>, false, false},
    {4, "/*========== 3:: RemoveRegistry ===============*/\r\n", RecordingStage<2>, false, false},
    {8, "/*========== 4:: RemoveSQLInstance ===============*/\r\n", RecordingStage<3>, true, true},
};

const char kBanners[] = "Acquiring Resources\r\n"
                        "/*========== 1:: StopServices ===============*/\r\n"
                        "/*========== 2:: RemoveFolders ===============*/\r\n"
                        "/*========== 3:: RemoveRegistry ===============*/\r\n";
const char kSqlBanner[] = "/*========== 4:: RemoveSQLInstance ===============*/\r\n";

HWND const kProgressBar = reinterpret_cast<HWND>(0x7000);

class RemovalRun : public MachineTest {
  protected:
    void SetUp() override {
        MachineTest::SetUp();
        g_calls.clear();
        for (int i = 0; i < 4; ++i) {
            g_results[i] = 0;
            g_raise[i] = TraceTally{0, 0, 0, 0};
        }
        OpenLog();
    }
    LONG Run(LONG mode) {
        g_run.removalMode = mode;
        return RunRemovalWithStages(kProgressBar, kStages, 4);
    }
};

TEST_F(RemovalRun, ModeOneRunsThreeStagesHandingTheCursorOn) {
    EXPECT_EQ(Run(1), 0);
    EXPECT_EQ(Log(), kBanners);
    ASSERT_EQ(g_calls.size(), 3u);
    for (const Call &c : g_calls) {
        EXPECT_EQ(c.cursor.Kind, 0) << "stage " << c.stage;
        EXPECT_EQ(c.cursor.Count, 0u);
        EXPECT_EQ(c.cursor.KeyPath, nullptr);
    }
    EXPECT_EQ(std::string(g_calls[1].cursor.Position).substr(0, 9), "\r\n\r\n[File") << "after the services";
    // The count line says 13 while 14 file lines follow: the 14th stays unread.
    EXPECT_EQ(std::string(g_calls[2].cursor.Position).substr(0, 12), "2\\Installer\\") << "after 13 files";
}

TEST_F(RemovalRun, ModeTwoClearsTheWholeCursorForTheFourthStage) {
    EXPECT_EQ(Run(2), 0);
    EXPECT_EQ(Log(), std::string(kBanners) + kSqlBanner);
    ASSERT_EQ(g_calls.size(), 4u);
    EXPECT_EQ(g_calls[3].cursor.Position, nullptr);
    EXPECT_EQ(g_calls[3].cursor.Kind, 0);
    EXPECT_EQ(g_calls[3].cursor.KeyPath, nullptr);
}

TEST_F(RemovalRun, EveryStageRunsWhateverFailsAndSetsItsBit) {
    g_results[0] = -2;
    EXPECT_EQ(Run(2), 1);
    EXPECT_EQ(g_calls.size(), 4u);
    g_calls.clear();
    g_results[1] = -9;
    g_results[2] = -13;
    g_results[3] = 4;
    EXPECT_EQ(Run(2), 15);
    g_calls.clear();
    EXPECT_EQ(Run(1), 7) << "mode 1 never runs the fourth stage";
    EXPECT_EQ(g_calls.size(), 3u);
}

TEST_F(RemovalRun, AnUnloadableListingEndsTheRunWithNothingShown) {
    sim::RemoveResource("ENTRYLISTINGS", IDR_ENTRYLISTINGS);
    g_raise[0].files = 1;
    EXPECT_EQ(Run(2), -2);
    EXPECT_TRUE(g_calls.empty());
    EXPECT_EQ(Log(), "Acquiring Resources\r\n");
    EXPECT_TRUE(sim::ShowWindowCalls().empty()) << "the marquee keeps running";
    EXPECT_TRUE(sim::MessageBoxes().empty());
    EXPECT_EQ(g_run.tracesFound, 0);
}

TEST_F(RemovalRun, NothingCountedHidesTheBarAndShowsNoSummary) {
    EXPECT_EQ(Run(1), 0);
    auto shows = sim::ShowWindowCalls();
    ASSERT_EQ(shows.size(), 1u);
    EXPECT_EQ(shows[0].hwnd, kProgressBar);
    EXPECT_EQ(shows[0].command, SW_HIDE);
    EXPECT_TRUE(sim::MessageBoxes().empty());
    EXPECT_EQ(g_run.tracesFound, 0);
}

TEST_F(RemovalRun, TheSummaryListsFilesRegistryServicesQueuedInThatOrder) {
    g_raise[0].servicesStopped = 3;
    g_raise[1].files = 11;
    g_raise[1].filesQueued = 2;
    g_raise[2].registry = 40;
    g_results[2] = -1;
    EXPECT_EQ(Run(1), 4) << "a failing stage still counts";
    EXPECT_EQ(g_run.tracesFound, 1);
    auto boxes = sim::MessageBoxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].owner, nullptr);
    EXPECT_EQ(boxes[0].text, "Traces Found And Deleted::\r\nFiles = (11)\r\nRegistry = (40)\r\n"
                             "Services Stopped = (3)\r\nFiles Queued For Deletion = (2)");
    EXPECT_EQ(boxes[0].caption, "ZeltraEnterprise Server Removal Tool");
    EXPECT_EQ(boxes[0].style, static_cast<UINT>(MB_OK | MB_ICONINFORMATION));
    EXPECT_EQ(Log(), kBanners) << "the summary is shown, not logged";
}

TEST_F(RemovalRun, OnlyQueuedFilesStillShowTheSummary) {
    g_raise[1].filesQueued = 1;
    Run(1);
    auto boxes = sim::MessageBoxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, "Traces Found And Deleted::\r\nFiles = (0)\r\nRegistry = (0)\r\n"
                             "Services Stopped = (0)\r\nFiles Queued For Deletion = (1)");
    EXPECT_EQ(g_run.tracesFound, 1);
}

TEST_F(RemovalRun, WorksTheSameWithoutATraceLog) {
    CloseHandle(g_run.traceLogHandle);
    g_run.traceLogHandle = nullptr;
    g_results[1] = -1;
    EXPECT_EQ(Run(2), 2);
    EXPECT_EQ(g_calls.size(), 4u);
}

} // namespace
