// Shared ground of the unit tests: a fresh simulated machine and fresh run
// state for every test, and a trace log to read back.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "core/run_state.h"
#include "core/trace_log.h"
#include "exports.h"
#include "sim/control.h"

class MachineTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sim::Reset();
        std::memset(&g_run, 0, sizeof g_run);
    }
    // A fresh machine again, so that what a test left allocated (a SID whose
    // release it made fail) is not reported as a leak when the process ends.
    void TearDown() override {
        sim::JoinThreads();
        sim::Reset();
    }

    // Opens a trace log at a known tick count, as "/l" does.
    void OpenLog(DWORD tick = 4242) {
        sim::SetTickCount(tick);
        CreateTraceLog();
        ASSERT_NE(g_run.traceLogHandle, INVALID_HANDLE_VALUE);
    }

    std::string Log() const { return sim::FileBytes(g_run.traceLogPath).value_or("<no log file>"); }
};
