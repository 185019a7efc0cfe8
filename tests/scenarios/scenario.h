// An end-to-end case as data: what a machine holds, what the user does, and
// what must be seen and left. One scenario file plants and checks the
// simulated machine (the unit tests) and a Wine machine (scenario.exe)
// through the same Windows calls; what only one kind of machine can do is in
// machine.h. The format is described in tests/scenarios/README.md.
#pragma once

#include <string>
#include <vector>

namespace scenario {

// One line of a section, with the machine it is written for: "windows| "
// lines hold for Windows (and the simulation that follows it), "wine| "
// lines for Wine where it differs.
struct Line {
    enum Only { kBoth, kWindows, kWine } only;
    std::string text;
};

struct Section {
    std::string name;     // "plant", "run", "record", "log", "expect", "after restart", "tree"
    std::string argument; // what follows the name in the header: "stage 1", a tree's root
    std::vector<Line> lines;
};

struct Scenario {
    std::string name;
    std::vector<Section> sections;
};

// Reads FOLDER/NAME.scenario, with its "include" and "<<" files from FOLDER.
// False, with the reason, when it cannot be read or is malformed.
bool Load(const std::string &folder, const std::string &name, Scenario *scenario, std::string *error);

// The lines of the sections called `name` that hold on this machine.
std::vector<std::string> Lines(const Scenario &scenario, const std::string &name);

// Plants the [plant] section. False, with the reason, on the first failure.
bool Plant(const Scenario &scenario, std::string *error);

// What the user section asks: the program's arguments, the driver's actions
// in order ("second-copy" among them), and whether the machine restarts
// after the run.
struct RunPlan {
    std::string arguments;
    std::vector<std::string> actions;
    unsigned uiTimeoutMs = 0; // the driver's bound for one wait; 0: its default
    bool restart = false;
};
RunPlan Plan(const Scenario &scenario);

// The checks after the run: the record (the driver's lines, the exit code),
// the trace log, [tree] and [expect]; with `afterRestart`, the [after
// restart] items. Every failure is one text; none when all hold.
std::vector<std::string> Check(const Scenario &scenario, const std::vector<std::string> &record);
std::vector<std::string> CheckAfterRestart(const Scenario &scenario);

// What the machine holds now of everything the [plant] section names: one
// line each, "service NAME: state=4 start=3", "file PATH: present", ...
std::vector<std::string> Describe(const Scenario &scenario);

// The driver's record line of a message box (see tests/e2e/README.md).
std::string BoxLine(bool ownedByDialog, unsigned style, int answer, const std::string &caption,
                    const std::string &text);
// A product code as the Installer packs it in the names of its keys.
std::string PackedCode(const std::string &productCode);
// Text quoted with C escapes, as the driver writes it.
std::string Quote(const std::string &text);

} // namespace scenario
