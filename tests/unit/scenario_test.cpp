// Every end-to-end scenario (tests/scenarios) on the simulated machine:
// planted, the program's own WinMain run with the user's actions played on
// the simulated dialog, and checked by the same library that checks the run
// under Wine. The record is the driver's, written here from what the
// simulated machine saw.
#include <algorithm>
#include <filesystem>
#include <functional>

#include "scenarios/scenario.h"
#include "test_support.h"

namespace {

const std::string kFolder = std::string(ZRT_SOURCE_DIR) + "/tests/scenarios";

// Each scenario, and again, where it plants a service, with the services'
// processes ending after the run: whether the manager has removed a deleted
// service's key before the registry stage comes to it is a race on Windows
// and under Wine, so the scenario must hold for both orders.
const char kLate[] = "_service_keys_left_to_the_registry_stage";

std::vector<std::string> ScenarioNames() {
    std::vector<std::string> names;
    for (const auto &entry : std::filesystem::directory_iterator(kFolder)) {
        if (entry.path().extension() != ".scenario")
            continue;
        std::string name = entry.path().stem().string();
        names.push_back(name);
        scenario::Scenario s;
        std::string error;
        if (scenario::Load(kFolder, name, &s, &error))
            for (const std::string &line : scenario::Lines(s, "plant"))
                if (line.rfind("service ", 0) == 0) {
                    names.push_back(name + kLate);
                    break;
                }
    }
    std::sort(names.begin(), names.end());
    return names;
}

// The controls as the driver's "read" lists them.
std::vector<std::string> ReadDialog() {
    std::vector<std::string> lines{"READ caption=" + scenario::Quote(sim::DialogControl(0)->text)};
    for (int id = 1; id < 0x10000; ++id) {
        auto control = sim::DialogControl(id);
        if (!control)
            continue;
        int visible = (control->style & WS_VISIBLE) ? 1 : 0;
        if (control->className == "msctls_progress32") {
            lines.push_back("PROGRESS " + std::to_string(id) + " visible=" + std::to_string(visible) +
                            " marquee=" + std::to_string((control->style & PBS_MARQUEE) ? 1 : 0) +
                            " smooth=" + std::to_string((control->style & PBS_SMOOTH) ? 1 : 0));
            continue;
        }
        lines.push_back("CONTROL " + std::to_string(id) + " class=" + control->className + " visible=" +
                        std::to_string(visible) + " enabled=" + std::to_string((control->style & WS_DISABLED) ? 0 : 1) +
                        " text=" + scenario::Quote(control->text));
    }
    return lines;
}

std::string BoxLine(const sim::MessageBoxRecord &box) {
    return scenario::BoxLine(box.owner != nullptr && box.owner == sim::DialogWindow(), box.style, box.answer,
                             box.caption, box.text);
}

// The driver's actions played by the simulated user. Each action leaves a
// part of the record: fixed lines, lines taken while the dialog runs, or
// the next message box; the parts are put together after the run.
class Player {
  public:
    explicit Player(const std::vector<std::string> &actions) {
        for (size_t i = 0; i < actions.size(); ++i) {
            const std::string &action = actions[i];
            const std::string argument = i + 1 < actions.size() ? actions[i + 1] : "";
            if (action == "wait-dialog") {
                Part([](std::vector<std::string> *r) {
                    r->push_back("DIALOG caption=" + scenario::Quote(sim::DialogControl(0)->text));
                });
            } else if (action == "read") {
                size_t slot = Slot();
                user_.push_back(sim::Step([this, slot](HWND) { taken_[slot] = ReadDialog(); }));
            } else if (action == "wait-box") {
                // The clicks and closes up to the box's answer come while it is up.
                size_t box = answers_.size();
                meanwhile_.push_back({box, {}});
                boxUp_ = true;
                Part([box](std::vector<std::string> *r) {
                    r->push_back(box < sim::MessageBoxes().size() ? "MSGBOX-UP"
                                                                  : "ERROR wait-box: no message box appeared");
                });
            } else if (action == "click") {
                Act(sim::Click(std::stoi(argument)));
                Line("CLICK " + argument);
            } else if (action == "answer") {
                boxUp_ = false;
                answers_.push_back(std::stoi(argument));
                Part([this](std::vector<std::string> *r) { NextBox(r); });
            } else if (action == "no-box") {
                Line("NO-MSGBOX " + argument);
            } else if (action == "close") {
                Act(sim::CloseDialog());
                Line("CLOSE");
            } else if (action == "wait-exit") {
                Line("EXIT");
            } else if (action == "finish") {
                Part([this](std::vector<std::string> *r) {
                    while (box_ < sim::MessageBoxes().size())
                        NextBox(r);
                    r->push_back("EXIT");
                });
            } else if (action == "second-copy") {
                // Started while the first runs; its box is answered OK.
                answers_.push_back(IDOK);
                size_t slot = Slot();
                user_.push_back(sim::Step([this, slot](HWND) {
                    char none[] = "";
                    taken_[slot] = {"SECOND-EXIT " + std::to_string(WinMain(nullptr, nullptr, none, SW_SHOW))};
                }));
                parts_.insert(parts_.end() - 1, [this](std::vector<std::string> *r) { NextBox(r); });
            }
            if (action == "click" || action == "answer" || action == "no-box" || action == "pause")
                ++i;
        }
    }

    // Runs the program with the arguments; the record, ended by its exit code.
    std::vector<std::string> Run(const std::string &arguments) {
        sim::ScriptUser(user_);
        sim::ScriptMessageBoxAnswers(answers_);
        sim::WhileMessageBoxUp([this](const std::string &) {
            size_t box = boxesShown_++;
            for (const Meanwhile &m : meanwhile_)
                if (m.box == box)
                    for (const sim::UserAction &action : m.actions)
                        sim::DeliverNow(action);
        });
        std::string commandLine = arguments;
        int exitCode = WinMain(GetModuleHandleA(nullptr), nullptr, commandLine.data(), SW_SHOWNORMAL);
        sim::JoinThreads();
        EXPECT_FALSE(sim::DialogTimedOut());
        std::vector<std::string> record;
        for (const auto &part : parts_)
            part(&record);
        record.push_back("EXIT-CODE " + std::to_string(exitCode));
        return record;
    }

  private:
    // What the user does while the n-th message box (from 0) is up.
    struct Meanwhile {
        size_t box;
        std::vector<sim::UserAction> actions;
    };

    void Act(const sim::UserAction &action) {
        if (boxUp_)
            meanwhile_.back().actions.push_back(action);
        else
            user_.push_back(action);
    }
    void Part(std::function<void(std::vector<std::string> *)> part) { parts_.push_back(std::move(part)); }
    void Line(const std::string &line) {
        Part([line](std::vector<std::string> *r) { r->push_back(line); });
    }
    size_t Slot() {
        size_t slot = taken_.size();
        taken_.emplace_back();
        Part([this, slot](std::vector<std::string> *r) {
            r->insert(r->end(), taken_[slot].begin(), taken_[slot].end());
        });
        return slot;
    }
    void NextBox(std::vector<std::string> *record) {
        auto boxes = sim::MessageBoxes();
        record->push_back(box_ < boxes.size() ? BoxLine(boxes[box_++]) : "<no message box>");
    }

    std::vector<sim::UserAction> user_;
    std::vector<int> answers_;
    std::vector<std::function<void(std::vector<std::string> *)>> parts_;
    std::vector<std::vector<std::string>> taken_;
    size_t box_ = 0;
    std::vector<Meanwhile> meanwhile_;
    bool boxUp_ = false; // between a wait-box and the box's answer
    size_t boxesShown_ = 0;
};

// The machine the scenarios were written on is a Wine prefix of 64-bit
// Windows: its two control sets are separate keys, its public profile is
// C:\users\Public, and the all-users Start Menu is there.
void LikeTheScenariosMachine() {
    sim::SetCurrentControlSetLink(false);
    sim::PlantFolder("C:\\ProgramData\\Microsoft\\Windows\\Start Menu\\Programs");
    sim::SetEnvironment("PUBLIC", "C:\\users\\Public");
    sim::SetDialogSafetyTimeout(5000);
}

class Scenario : public MachineTest, public ::testing::WithParamInterface<std::string> {};

TEST_P(Scenario, RunsOnTheSimulatedMachine) {
    LikeTheScenariosMachine();
    std::string name = GetParam();
    bool late =
        name.size() > sizeof kLate && name.compare(name.size() - (sizeof kLate - 1), std::string::npos, kLate) == 0;
    if (late)
        name.resize(name.size() - (sizeof kLate - 1));
    sim::SetServiceProcessesEndLate(late);
    scenario::Scenario s;
    std::string error;
    ASSERT_TRUE(scenario::Load(kFolder, name, &s, &error)) << error;
    ASSERT_TRUE(scenario::Plant(s, &error)) << error;
    scenario::RunPlan plan = scenario::Plan(s);
    Player player(plan.actions);
    std::vector<std::string> record = player.Run(plan.arguments);
    for (const char *kind : {"file", "find", "key", "service", "process", "mutex", "token"})
        EXPECT_EQ(sim::OpenHandles(kind), 0u) << "the program left a handle open: " << kind;
    // A restart the program asked for ends every other process; the
    // queued deletions are carried out when the machine starts again.
    for (const sim::ExitWindowsRecord &call : sim::ExitWindowsCalls())
        if (call.result)
            sim::Restart();
    for (const std::string &failure : scenario::Check(s, record))
        ADD_FAILURE() << failure;
    if (plan.restart) {
        sim::Restart();
        for (const std::string &failure : scenario::CheckAfterRestart(s))
            ADD_FAILURE() << failure;
    }
}

INSTANTIATE_TEST_SUITE_P(EveryScenario, Scenario, ::testing::ValuesIn(ScenarioNames()),
                         [](const ::testing::TestParamInfo<std::string> &info) { return info.param; });

} // namespace
