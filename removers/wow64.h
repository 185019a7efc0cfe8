// The WOW64 test and the switch of file-system redirection, for the one
// place that must reach the 64-bit drivers folder from this 32-bit program.
// All three functions are looked up by name: older Windows lacks them.
#pragma once

#include "exports.h"

// True when the program runs as a 32-bit process on 64-bit Windows.
bool IsWow64();

// The calling thread's redirection, switched off until the switch is undone.
struct RedirectionSwitch {
    Wow64RevertWow64FsRedirectionFn revert;
    LPVOID saved;
};

// Switches redirection off for the calling thread. False, with nothing
// changed, when either function is missing or the switch fails.
bool TurnRedirectionOff(RedirectionSwitch *redirection);

// Puts redirection back as TurnRedirectionOff found it.
void TurnRedirectionBackOn(const RedirectionSwitch &redirection);
