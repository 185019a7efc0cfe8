#include <chrono>
#include <condition_variable>
#include <fstream>
#include <map>
#include <mutex>
#include <regex>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "app/worker.h"
#include "core/removal_run.h"
#include "resources/resource.h"
#include "test_support.h"

namespace {

const char kCaption[] = "ZeltraEnterprise Security Removal Tool";
const char kBoxTitle[] = "ZeltraEnterprise Security RT";
const char kProductOnly[] = "Remove ZeltraEnterprise Server Only";
const char kCompletely[] = "Remove ZeltraEnterprise Server Completely";
const char kConfirmProductOnly[] = "This tool will remove all traces of ZeltraEnterprise Server except the traces "
                                   "related to VuvuriDivUZO Instance.\r\nDo you want to continue?";
const char kConfirmCompletely[] = "This tool will remove all traces of ZeltraEnterprise Server and VuvuriDivUZO "
                                  "Instance both.\r\nDo you want to continue?";
const char kStartProductOnly[] = "Start:: Removing Product Traces Only\r\n";
const char kStartCompletely[] = "Start:: Removing Product And SQL Instance Traces Both\r\n";
const char kAcquiring[] = "Acquiring Resources\r\n";
const char kBanner[] = "/*========== 1:: StopServices ===============*/\r\n";
const char kRestartOffer[] = "A restart is required to complete the process";

// The run the tests give the worker: the real removal run over one stage of
// the test's own, which counts files and returns the result the test chose.
LONG g_stageResult;
DWORD g_stageFiles;

LONG CountingStage(ListingCursor *) {
    g_run.tally.files += g_stageFiles;
    return g_stageResult;
}

const Stage kTestStages[] = {{1, kBanner, CountingStage, false, false}};

LONG RunTestStages(HWND progressBar) { return RunRemovalWithStages(progressBar, kTestStages, 1); }

// Holds the run back until the test has looked at the dialog while it is busy.
class Gate {
  public:
    void Reset() {
        std::lock_guard<std::mutex> lock(lock_);
        reached_ = open_ = false;
    }
    void ArriveAndWait() {
        std::unique_lock<std::mutex> lock(lock_);
        reached_ = true;
        signal_.notify_all();
        signal_.wait_for(lock, std::chrono::seconds(5), [&] { return open_; });
    }
    bool WaitUntilReached() {
        std::unique_lock<std::mutex> lock(lock_);
        return signal_.wait_for(lock, std::chrono::seconds(5), [&] { return reached_; });
    }
    void Open() {
        std::lock_guard<std::mutex> lock(lock_);
        open_ = true;
        signal_.notify_all();
    }

  private:
    std::mutex lock_;
    std::condition_variable signal_;
    bool reached_ = false;
    bool open_ = false;
};

Gate g_gate;

LONG RunAtGate(HWND progressBar) {
    g_gate.ArriveAndWait();
    return RunTestStages(progressBar);
}

struct Box {
    bool ownedByDialog;
    std::string text;
    std::string caption;
    UINT style;
};

Box Confirmation(const char *text) { return Box{false, text, kBoxTitle, MB_YESNO | MB_ICONQUESTION}; }

sim::WindowState Control(int id) {
    auto state = sim::DialogControl(id);
    EXPECT_TRUE(state.has_value()) << "control " << id;
    return state.value_or(sim::WindowState{});
}

bool Enabled(int id) { return !(Control(id).style & WS_DISABLED); }

// The main dialog's template as resources/app.rc writes it: the dialog
// (id 0) and its controls, with the styles the resource compiler gives them.
struct TemplateWindow {
    int id;
    std::string className;
    LONG style;
    std::vector<int> box; // x, y, cx, cy
};

// A style expression of app.rc: names joined by "|"; "NOT name" clears one.
LONG RcStyle(const std::string &expression, LONG style) {
    static const std::map<std::string, LONG> kNames = {
        {"DS_SETFONT", DS_SETFONT},   {"DS_MODALFRAME", DS_MODALFRAME}, {"DS_3DLOOK", DS_3DLOOK},
        {"DS_FIXEDSYS", DS_FIXEDSYS}, {"DS_CENTER", DS_CENTER},         {"WS_POPUP", static_cast<LONG>(WS_POPUP)},
        {"WS_VISIBLE", WS_VISIBLE},   {"WS_CAPTION", WS_CAPTION},       {"WS_SYSMENU", WS_SYSMENU},
        {"WS_GROUP", WS_GROUP},       {"WS_TABSTOP", WS_TABSTOP},       {"WS_MINIMIZEBOX", WS_MINIMIZEBOX},
        {"WS_BORDER", WS_BORDER},     {"SS_CENTER", SS_CENTER},         {"BS_PUSHBUTTON", BS_PUSHBUTTON}};
    std::smatch term;
    for (auto at = expression.cbegin(); std::regex_search(at, expression.cend(), term, std::regex(R"((NOT\s+)?(\w+))"));
         at = term[0].second) {
        auto found = kNames.find(term[2]);
        EXPECT_NE(found, kNames.end()) << "a style this test does not know: " << term[2];
        if (found != kNames.end())
            style = term[1].matched ? style & ~found->second : style | found->second;
    }
    return style;
}

std::vector<TemplateWindow> AppRcDialog() {
    static const std::map<std::string, int> kIds = {{"IDC_TITLE", IDC_TITLE},
                                                    {"IDC_PROGRESS", IDC_PROGRESS},
                                                    {"IDC_REMOVE_PRODUCT", IDC_REMOVE_PRODUCT},
                                                    {"IDC_REMOVE_COMPLETELY", IDC_REMOVE_COMPLETELY}};
    std::ifstream file(ZRT_SOURCE_DIR "/resources/app.rc");
    std::stringstream bytes;
    bytes << file.rdbuf();
    const std::string rc = bytes.str();
    std::smatch m;
    const std::string number = R"(\s*(\d+)\s*)";
    if (!std::regex_search(rc, m,
                           std::regex("IDD_MAIN DIALOGEX" + number + "," + number + "," + number + "," + number +
                                      R"(STYLE\s+([^]*?)\nCAPTION[^]*?\nBEGIN\n([^]*?)\nEND)"))) {
        ADD_FAILURE() << "no IDD_MAIN DIALOGEX in app.rc";
        return {};
    }
    std::vector<TemplateWindow> windows = {
        {0, "#32770", RcStyle(m[5], 0), {std::stoi(m[1]), std::stoi(m[2]), std::stoi(m[3]), std::stoi(m[4])}}};
    // CONTROL text, id, class, style, x, y, cx, cy: the resource compiler puts
    // WS_CHILD | WS_VISIBLE before the style.
    const std::string body = m[6];
    std::regex control(R"rc(CONTROL\s+"[^"]*"\s*,\s*(\w+)\s*,\s*"([^"]*)"\s*,([^,]*),)rc" + number + "," + number +
                       "," + number + "," + number);
    for (auto at = body.cbegin(); std::regex_search(at, body.cend(), m, control); at = m[0].second)
        windows.push_back({kIds.count(m[1]) ? kIds.at(m[1]) : -1,
                           m[2],
                           RcStyle(m[3], static_cast<LONG>(WS_CHILD | WS_VISIBLE)),
                           {std::stoi(m[4]), std::stoi(m[5]), std::stoi(m[6]), std::stoi(m[7])}});
    return windows;
}

class MainDialog : public MachineTest {
  protected:
    void SetUp() override {
        MachineTest::SetUp();
        sim::SetDialogSafetyTimeout(5000);
        g_stageResult = 0;
        g_stageFiles = 0;
        g_removalRun = RunTestStages;
        g_gate.Reset();
    }
    void TearDown() override {
        MachineTest::TearDown();
        g_removalRun = RunRemoval;
    }

    void FreshMachine() {
        sim::JoinThreads();
        SetUp();
    }

    // Runs the program with "/l"; the user acts as scripted and answers the
    // message boxes in turn. The dialog must end by itself or by the script.
    int RunProgram(const std::vector<sim::UserAction> &user, const std::vector<int> &answers) {
        sim::ScriptUser(user);
        sim::ScriptMessageBoxAnswers(answers);
        char commandLine[] = "/l";
        int exitCode = WinMain(GetModuleHandleA(nullptr), nullptr, commandLine, SW_SHOWNORMAL);
        EXPECT_FALSE(sim::DialogTimedOut());
        EXPECT_EQ(sim::UnusedUserActions(), 0u);
        sim::JoinThreads();
        return exitCode;
    }

    static void ExpectBoxes(const std::vector<Box> &expected) {
        auto boxes = sim::MessageBoxes();
        ASSERT_EQ(boxes.size(), expected.size());
        for (size_t i = 0; i < boxes.size(); ++i) {
            SCOPED_TRACE("message box " + std::to_string(i));
            EXPECT_EQ(boxes[i].owner, expected[i].ownedByDialog ? sim::DialogWindow() : nullptr);
            EXPECT_EQ(boxes[i].text, expected[i].text);
            EXPECT_EQ(boxes[i].caption, expected[i].caption);
            EXPECT_EQ(boxes[i].style, expected[i].style);
        }
    }
};

TEST_F(MainDialog, OpensWithItsTextsTheBoldTitleFontAndWhiteBackgrounds) {
    auto look = sim::Step([](HWND dialog) {
        EXPECT_EQ(Control(0).text, kCaption);
        EXPECT_TRUE(Control(0).style & WS_VISIBLE);
        EXPECT_EQ(Control(IDC_TITLE).text, kCaption);
        EXPECT_EQ(Control(IDC_REMOVE_PRODUCT).text, kProductOnly);
        EXPECT_EQ(Control(IDC_REMOVE_COMPLETELY).text, kCompletely);
        EXPECT_FALSE(Control(IDC_PROGRESS).style & WS_VISIBLE);
        EXPECT_TRUE(Enabled(IDC_REMOVE_PRODUCT) && Enabled(IDC_REMOVE_COMPLETELY));

        auto font = sim::FontDescription(Control(IDC_TITLE).font);
        ASSERT_TRUE(font.has_value());
        EXPECT_EQ(font->lfHeight, -20);
        EXPECT_EQ(font->lfWidth, 0);
        EXPECT_EQ(font->lfWeight, 700);
        EXPECT_EQ(font->lfItalic | font->lfUnderline | font->lfStrikeOut, 0);
        EXPECT_EQ(font->lfCharSet, ANSI_CHARSET);
        EXPECT_EQ(font->lfOutPrecision, 3);
        EXPECT_EQ(font->lfClipPrecision, 2);
        EXPECT_EQ(font->lfQuality, 1);
        EXPECT_EQ(font->lfPitchAndFamily, 0x22);
        EXPECT_STREQ(font->lfFaceName, "Arial");
        EXPECT_NE(Control(IDC_REMOVE_PRODUCT).font, Control(IDC_TITLE).font) << "only the title line is bold";

        LRESULT white = reinterpret_cast<LRESULT>(GetStockObject(WHITE_BRUSH));
        for (UINT colour : {WM_CTLCOLOREDIT, WM_CTLCOLORDLG, WM_CTLCOLORSCROLLBAR, WM_CTLCOLORSTATIC})
            EXPECT_EQ(SendMessageA(dialog, colour, 0, 0), white) << colour;
        for (UINT colour : {WM_CTLCOLORMSGBOX, WM_CTLCOLORLISTBOX, WM_CTLCOLORBTN})
            EXPECT_EQ(SendMessageA(dialog, colour, 0, 0), 0) << colour;
    });
    EXPECT_EQ(RunProgram({look, sim::CloseDialog()}, {}), 0);

    auto animations = sim::AnimateWindowCalls();
    ASSERT_EQ(animations.size(), 1u);
    EXPECT_EQ(animations[0].hwnd, sim::DialogWindow());
    EXPECT_EQ(animations[0].time, 100u);
    EXPECT_EQ(animations[0].flags, AW_CENTER);
    EXPECT_TRUE(sim::MessageBoxes().empty());
    EXPECT_EQ(Log(), "");
    EXPECT_EQ(sim::LiveFonts(), 0u) << "the title font goes with the dialog";
}

TEST_F(MainDialog, TheSimulatedDialogIsTheTemplateOfAppRc) {
    auto compare = sim::Step([](HWND) {
        auto windows = AppRcDialog();
        EXPECT_EQ(windows.size(), 5u) << "the dialog and its four controls";
        for (const TemplateWindow &expected : windows) {
            SCOPED_TRACE("window " + std::to_string(expected.id));
            sim::WindowState shown = Control(expected.id);
            EXPECT_EQ(shown.className, expected.className);
            // A progress bar trades WS_BORDER for an edge of its own when created.
            LONG border = expected.className == "msctls_progress32" ? static_cast<LONG>(WS_BORDER) : 0;
            EXPECT_EQ(shown.style, expected.style & ~border);
            EXPECT_EQ(std::vector<int>({shown.x, shown.y, shown.cx, shown.cy}), expected.box);
        }
    });
    EXPECT_EQ(RunProgram({compare, sim::CloseDialog()}, {}), 0);
}

TEST_F(MainDialog, WhileTheRunIsInProgressTheMarqueeTurnsAndCloseIsIgnored) {
    g_removalRun = RunAtGate;
    LONG idleStyle = 0;
    auto before = sim::Step([&](HWND) { idleStyle = Control(IDC_PROGRESS).style; });
    auto runStarted = sim::Step([](HWND) { ASSERT_TRUE(g_gate.WaitUntilReached()); });
    auto busy = sim::Step([&](HWND) {
        EXPECT_FALSE(Control(0).destroyed) << "the close request was ignored";
        EXPECT_NE(g_run.busyMarker, nullptr);
        sim::WindowState bar = Control(IDC_PROGRESS);
        EXPECT_EQ(bar.style, idleStyle | WS_VISIBLE | PBS_MARQUEE | PBS_SMOOTH);
        EXPECT_TRUE(bar.marquee);
        EXPECT_EQ(bar.marqueeStepMs, 25u);
        EXPECT_EQ(Control(IDC_REMOVE_COMPLETELY).text, "Please Wait...");
        EXPECT_EQ(Control(IDC_REMOVE_PRODUCT).text, kProductOnly);
        EXPECT_FALSE(Enabled(IDC_REMOVE_PRODUCT));
        EXPECT_FALSE(Enabled(IDC_REMOVE_COMPLETELY));
        g_gate.Open();
    });
    int exitCode =
        RunProgram({before, sim::Click(IDC_REMOVE_COMPLETELY), runStarted, sim::CloseDialog(), busy}, {IDYES, IDOK});
    EXPECT_EQ(exitCode, 0);
    bool closeSeen = false;
    for (const sim::DialogMessageRecord &m : sim::DialogMessages())
        if (m.message == WM_CLOSE) {
            closeSeen = true;
            EXPECT_EQ(m.result, TRUE);
        }
    EXPECT_TRUE(closeSeen);
    ExpectBoxes({Confirmation(kConfirmCompletely), Box{true, "No Traces Found", kBoxTitle, MB_ICONINFORMATION}});
    EXPECT_EQ(Log(), std::string(kStartCompletely) + kAcquiring + kBanner);
    EXPECT_EQ(Control(IDC_REMOVE_COMPLETELY).text, "Completed");
    EXPECT_FALSE(Control(IDC_PROGRESS).style & WS_VISIBLE) << "hidden by the run";
}

TEST_F(MainDialog, TheOutcomeFollowsTheRunResultAndWhetherTracesWereFound) {
    const Box summaryOfThree{false,
                             "Traces Found And Deleted::\r\nFiles = (3)\r\nRegistry = (0)\r\nServices Stopped = "
                             "(0)\r\nFiles Queued For Deletion = (0)",
                             "ZeltraEnterprise Server Removal Tool", MB_OK | MB_ICONINFORMATION};
    const Box failedWithOne{true, "The tool has failed to process\r\nERROR:: (1)", kBoxTitle, MB_ICONERROR};
    const Box restartOffer{true, kRestartOffer, kBoxTitle, MB_YESNO};
    struct Case {
        const char *name;
        LONG stageResult;
        DWORD files;
        bool shutdownPrivilege;
        bool restartBoxFails;
        std::vector<int> answers;
        std::vector<Box> boxes; // after the confirmation
        std::vector<BOOL> restarts;
    };
    const Case cases[] = {
        {"nothing found", 0, 0, true, false, {IDYES}, {{true, "No Traces Found", kBoxTitle, MB_ICONINFORMATION}}, {}},
        {"traces found, restart declined", 0, 3, true, false, {IDYES, IDOK, IDNO}, {summaryOfThree, restartOffer}, {}},
        {"traces found, the restart offer cannot be shown", 0, 3, true, true, {IDYES, IDOK}, {summaryOfThree}, {}},
        {"traces found and a stage failed, restart accepted",
         1,
         3,
         true,
         false,
         {IDYES, IDOK, IDOK, IDYES},
         {summaryOfThree, failedWithOne, restartOffer},
         {TRUE}},
        {"a stage failed and nothing found", 1, 0, true, false, {IDYES}, {failedWithOne}, {}},
        {"restart accepted without the privilege",
         0,
         3,
         false,
         false,
         {IDYES, IDOK, IDYES},
         {summaryOfThree, restartOffer},
         {FALSE}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        FreshMachine();
        g_stageResult = c.stageResult;
        g_stageFiles = c.files;
        sim::SetPrivilegeHeld(SE_SHUTDOWN_NAME, c.shutdownPrivilege);
        if (c.restartBoxFails)
            sim::FailCall("MessageBoxA", {.error = ERROR_NOT_ENOUGH_MEMORY, .subject = kRestartOffer});
        EXPECT_EQ(RunProgram({sim::Click(IDC_REMOVE_PRODUCT)}, c.answers), 0);
        std::vector<Box> expected{Confirmation(kConfirmProductOnly)};
        expected.insert(expected.end(), c.boxes.begin(), c.boxes.end());
        ExpectBoxes(expected);
        auto restarts = sim::ExitWindowsCalls();
        ASSERT_EQ(restarts.size(), c.restarts.size());
        for (size_t i = 0; i < restarts.size(); ++i) {
            EXPECT_EQ(restarts[i].flags, 6u);
            EXPECT_EQ(restarts[i].reason, 0x80020004u);
            EXPECT_EQ(restarts[i].result, c.restarts[i]);
        }
        EXPECT_EQ(Control(IDC_REMOVE_PRODUCT).text, "Completed");
        EXPECT_EQ(Log(), std::string(kStartProductOnly) + kAcquiring + kBanner);
    }
}

// The confirmation has no owner window, so the dialog takes clicks and
// Close while it is up; none of them may start a second run or end the
// program under the first.
TEST_F(MainDialog, ClicksAndCloseDuringTheConfirmationAreIgnored) {
    struct Case {
        const char *name;
        std::vector<sim::UserAction> meanwhile;
    };
    const Case cases[] = {
        {"the other button", {sim::Click(IDC_REMOVE_COMPLETELY)}},
        {"the same button", {sim::Click(IDC_REMOVE_PRODUCT)}},
        {"Close", {sim::CloseDialog()}},
        {"Close, then the other button", {sim::CloseDialog(), sim::Click(IDC_REMOVE_COMPLETELY)}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        FreshMachine();
        bool first = true;
        sim::WhileMessageBoxUp([&](const std::string &) {
            if (!std::exchange(first, false))
                return;
            for (const sim::UserAction &action : c.meanwhile)
                sim::DeliverNow(action);
        });
        EXPECT_EQ(RunProgram({sim::Click(IDC_REMOVE_PRODUCT)}, {IDYES, IDOK}), 0);
        ExpectBoxes({Confirmation(kConfirmProductOnly), Box{true, "No Traces Found", kBoxTitle, MB_ICONINFORMATION}});
        EXPECT_EQ(Log(), std::string(kStartProductOnly) + kAcquiring + kBanner) << "one run, in mode 1";
        EXPECT_EQ(Control(IDC_REMOVE_PRODUCT).text, "Completed");
        size_t delivered = 0;
        for (const sim::DialogMessageRecord &m : sim::DialogMessages())
            delivered += m.message == WM_CLOSE || (m.message == WM_COMMAND && m.lParam != 0);
        EXPECT_EQ(delivered, c.meanwhile.size() + 1) << "the dialog got them, and ignored them";
    }
}

TEST_F(MainDialog, TheShippedRunSaysNoTracesOrReportsAListingItCannotLoad) {
    g_removalRun = RunRemoval;
    EXPECT_EQ(RunProgram({sim::Click(IDC_REMOVE_PRODUCT)}, {IDYES}), 0);
    ExpectBoxes({Confirmation(kConfirmProductOnly), Box{true, "No Traces Found", kBoxTitle, MB_ICONINFORMATION}});
    EXPECT_EQ(Log().rfind(std::string(kStartProductOnly) + kAcquiring, 0), 0u) << Log();

    FreshMachine();
    g_removalRun = RunRemoval;
    sim::RemoveResource("ENTRYLISTINGS", IDR_ENTRYLISTINGS);
    EXPECT_EQ(RunProgram({sim::Click(IDC_REMOVE_COMPLETELY)}, {IDYES}), 0);
    ExpectBoxes({Confirmation(kConfirmCompletely),
                 Box{true, "The tool has failed to process\r\nERROR:: (-2)", kBoxTitle, MB_ICONERROR}});
    EXPECT_EQ(Log(), std::string(kStartCompletely) + kAcquiring);
    sim::WindowState bar = Control(IDC_PROGRESS);
    EXPECT_TRUE((bar.style & WS_VISIBLE) && bar.marquee) << "the run stopped before hiding the marquee";
}

TEST_F(MainDialog, ARunThatCannotStartLeavesTheButtonsEnabledAndShowsNothingMore) {
    auto notStarted = [](LONG mode, const char *completelyText) {
        return sim::Step([=](HWND) {
            EXPECT_TRUE(Enabled(IDC_REMOVE_PRODUCT));
            EXPECT_TRUE(Enabled(IDC_REMOVE_COMPLETELY));
            EXPECT_EQ(g_run.busyMarker, nullptr);
            EXPECT_EQ(g_run.removalMode, mode);
            EXPECT_EQ(Control(IDC_REMOVE_COMPLETELY).text, completelyText);
            EXPECT_FALSE(Control(IDC_PROGRESS).style & WS_VISIBLE);
        });
    };
    sim::FailCall("CreateThread", {.error = ERROR_NOT_ENOUGH_MEMORY});
    EXPECT_EQ(RunProgram({sim::Click(IDC_REMOVE_COMPLETELY), notStarted(2, kCompletely), sim::CloseDialog()}, {IDYES}),
              0);
    ExpectBoxes({Confirmation(kConfirmCompletely)});
    EXPECT_EQ(Log(), kStartCompletely);

    // A confirmation box that cannot be shown is no consent.
    FreshMachine();
    sim::FailCall("MessageBoxA", {.error = ERROR_NOT_ENOUGH_MEMORY, .subject = "Do you want to continue?"});
    EXPECT_EQ(RunProgram({sim::Click(IDC_REMOVE_COMPLETELY), notStarted(0, kCompletely), sim::CloseDialog()}, {}), 0);
    EXPECT_TRUE(sim::MessageBoxes().empty());
    EXPECT_EQ(sim::OpenHandles("thread"), 0u);
    EXPECT_EQ(Log(), kStartCompletely);
}

TEST_F(MainDialog, AMessageIsLeftUnhandledWhenTheProgressClassCannotBeRegistered) {
    auto commonControlsFail =
        sim::Step([](HWND) { sim::FailCall("InitCommonControlsEx", {.error = ERROR_ACCESS_DENIED}); });
    auto stillOpen = sim::Step([](HWND) { EXPECT_FALSE(Control(0).destroyed); });
    EXPECT_EQ(RunProgram({commonControlsFail, sim::CloseDialog(), stillOpen, sim::CloseDialog()}, {}), 0);
    std::vector<UINT> closes;
    for (const sim::DialogMessageRecord &m : sim::DialogMessages())
        if (m.message == WM_CLOSE)
            closes.push_back(static_cast<UINT>(m.result));
    EXPECT_EQ(closes, (std::vector<UINT>{FALSE, TRUE})) << "only the second close request was handled";
}

} // namespace
