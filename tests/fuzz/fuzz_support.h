// Shared ground of the fuzz targets: each input runs on a fresh simulated
// machine with a trace log, and a broken invariant stops the fuzzer with the
// input that broke it.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/run_state.h"
#include "core/trace_log.h"
#include "sim/control.h"

namespace fuzz {

inline void FreshMachine() {
    sim::Reset();
    std::memset(&g_run, 0, sizeof g_run);
    sim::SetTickCount(4242);
    CreateTraceLog();
}

inline std::string Log() { return sim::FileBytes(g_run.traceLogPath).value_or(""); }

inline void Require(bool holds, const char *what) {
    if (!holds) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

} // namespace fuzz
