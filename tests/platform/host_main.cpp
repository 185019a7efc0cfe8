// Host side of the conformance suite: the same tests against a fresh
// simulated machine, planted with what the Windows side installs for real:
// the suite's services and this program as one CreateProcessA can start.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "conformance.h"
#include "sim/control.h"

namespace {

const char kProgram[] = "C:\\Tools\\platform_conformance.exe";
// Virtual time every start of the program takes to exit: long enough for
// the "--sleep" child that the wait tests time out on.
const DWORD kRunMilliseconds = 1000;

// "--exit N" exits with N; anything else (the "--sleep MS" child) with 0.
DWORD RunChild(const std::string &commandLine) {
    size_t at = commandLine.find("--exit ");
    return at == std::string::npos ? 0 : static_cast<DWORD>(std::atoi(commandLine.c_str() + at + 7));
}

class PlantedMachine : public ::testing::Environment {
  public:
    void SetUp() override {
        sim::Reset();
        sim::SetProgramFolder("C:\\Tools");
        sim::RegisterProgram(kProgram, kRunMilliseconds, RunChild);

        sim::ServiceScript idle;
        idle.state = SERVICE_STOPPED;
        idle.startType = SERVICE_DEMAND_START;
        sim::PlantService(conformance::kIdleService, idle);
        sim::ServiceScript prompt;
        prompt.startType = SERVICE_DEMAND_START;
        sim::PlantService(conformance::kPromptService, prompt);
        sim::ServiceScript refusing = prompt;
        refusing.stopError = ERROR_INVALID_SERVICE_CONTROL; // accepts no controls
        sim::PlantService(conformance::kRefusingService, refusing);
        sim::ServiceScript lingering = prompt;
        lingering.stopPolls = sim::kAlways;
        sim::PlantService(conformance::kLingeringService, lingering);
    }
};

} // namespace

namespace conformance {

std::string ProgramPath() { return kProgram; }

DWORD ServiceStartType(const char *service) {
    auto installed = sim::InstalledService(service);
    return installed ? installed->startType : kSentinel;
}

} // namespace conformance

int main(int argc, char **argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new PlantedMachine);
    return RUN_ALL_TESTS();
}
