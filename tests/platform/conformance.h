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
// A command line that starts this program with `arguments`.
std::string ProgramCommand(const std::string &arguments);

// The start type the service manager holds for a service; kSentinel when it
// cannot say.
DWORD ServiceStartType(const char *service);

// Whether the suite runs under Wine (which then may differ from Windows).
bool UnderWine();

// A check of a behaviour that Wine gets wrong, written with Windows' result
// (as Wine's own tests mark todo_wine): elsewhere it must hold; under Wine
// it must not, so that the day Wine behaves as Windows the test fails and
// the mark goes.
#define TODO_WINE_EXPECT_EQ(actual, windows)                                                                           \
    do {                                                                                                               \
        if (::conformance::UnderWine())                                                                                \
            EXPECT_NE(actual, windows) << "todo_wine: Wine now gives Windows' result here; drop the mark";             \
        else                                                                                                           \
            EXPECT_EQ(actual, windows);                                                                                \
    } while (0)

std::string TempFolder();
// A scratch path in the temporary folder, removed by the test that made it.
std::string Scratch(const char *name);
// ASCII upper case, to compare paths as Windows does.
std::string Upper(std::string text);
HANDLE Create(const std::string &path, DWORD access, DWORD share, DWORD disposition);

} // namespace conformance
