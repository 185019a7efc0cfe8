// What every conformance test shares: the sentinel that proves what a call
// wrote, scratch paths, and the few things that the machine running the
// suite provides (host_main.cpp on the simulated machine, wine_main.cpp
// under Wine or Windows). Tests reach the machine only through the Windows
// API and these declarations.
#pragma once

#include <string>

#include "exports.h"

namespace conformance {

const DWORD kSentinel = 0xdeadbeef;
// GetExitCodeProcess's answer while the process runs.
const DWORD kStillActive = 259;

// Installed by the machine before the first test, removed after the last:
// a stopped service, and three running ones that answer a stop request
// promptly, not at all (accepting no controls), or with a stop-pending
// state they never leave.
const char kIdleService[] = "ZrtConfIdle";
const char kPromptService[] = "ZrtConfPrompt";
const char kRefusingService[] = "ZrtConfRefuse";
const char kLingeringService[] = "ZrtConfLinger";

// The full path of this program, which CreateProcessA can start: with the
// arguments "--exit N" it exits with N at once, with "--sleep MS" it exits
// with 0 after MS milliseconds.
std::string ProgramPath();

// The start type the service manager holds for a service; kSentinel when it
// cannot say.
DWORD ServiceStartType(const char *service);

// The behaviour of MachineGap that the service cases need: running the
// suite's service processes.
const char kServiceProcesses[] = "service processes";

// The behaviour of MachineGap that taking a key over needs: the enabled
// take-ownership privilege granting WRITE_OWNER whatever the key's list says.
const char kTakeOwnership[] = "take-ownership privilege";

// Why this machine cannot show a behaviour of Windows, or null when it can.
// The simulated machine names its known gaps here, so that the test skips
// with the reason instead of failing; so does Wine under emulation.
const char *MachineGap(const char *behaviour);

// Whether the suite runs under Wine (which then may differ from Windows).
bool UnderWine();

std::string TempFolder();
// A scratch path in the temporary folder, removed by the test that made it.
std::string Scratch(const char *name);
// ASCII upper case, to compare paths as Windows does.
std::string Upper(std::string text);
HANDLE Create(const std::string &path, DWORD access, DWORD share, DWORD disposition);

} // namespace conformance
