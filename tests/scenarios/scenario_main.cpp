// scenario.exe: a scenario planted and checked on a real machine, for the
// runner (tests/e2e/run_e2e.sh) and scripts/main_job.sh.
//   plant FOLDER NAME          plants; prints the runner's requests ("link
//                              PATH<TAB>TARGET") and the run plan ("args",
//                              "do", "ui-timeout", "restart")
//   check FOLDER NAME RECORD   checks the run: RECORD is the driver's record
//                              with the runner's own lines
//   after FOLDER NAME          checks the machine after its restart
//   show FOLDER NAME           what the machine holds of the planting
//   hold SECONDS PATH...       holds the files open (started by plant)
// Exit code 0 on success, 1 with every failure on standard output, 2 on a
// bad command line.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "machine.h"
#include "scenario.h"

namespace {

int Report(const std::vector<std::string> &failures) {
    for (const std::string &failure : failures)
        std::printf("FAIL %s\n", failure.c_str());
    return failures.empty() ? 0 : 1;
}

std::vector<std::string> RecordLines(const char *path) {
    std::vector<std::string> lines;
    std::ifstream file(path);
    for (std::string line; std::getline(file, line);) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

} // namespace

int main(int argc, char **argv) {
    const std::string command = argc > 1 ? argv[1] : "";
    if (command == "hold" && argc > 3)
        return scenario::machine::Hold(std::atoi(argv[2]), std::vector<std::string>(argv + 3, argv + argc));
    scenario::Scenario s;
    std::string error;
    if (argc < 4 || !scenario::Load(argv[2], argv[3], &s, &error)) {
        std::fprintf(stderr, "%s\nusage: see the comment at the top of scenario_main.cpp\n", error.c_str());
        return 2;
    }
    if (command == "plant") {
        if (!scenario::Plant(s, &error))
            return Report({error});
        scenario::RunPlan plan = scenario::Plan(s);
        std::printf("args\t%s\ndo\t", plan.arguments.c_str());
        for (const std::string &action : plan.actions)
            std::printf("%s ", action.c_str());
        std::printf("\nui-timeout\t%u\n%s", plan.uiTimeoutMs, plan.restart ? "restart\n" : "");
        return 0;
    }
    if (command == "check" && argc == 5)
        return Report(scenario::Check(s, RecordLines(argv[4])));
    if (command == "after")
        return Report(scenario::CheckAfterRestart(s));
    if (command == "show") {
        for (const std::string &line : scenario::Describe(s))
            std::printf("%s\n", line.c_str());
        return 0;
    }
    std::fprintf(stderr, "usage: see the comment at the top of scenario_main.cpp\n");
    return 2;
}
