#include "core/removal_run.h"

#include <cstdint>
#include <cstring>

#include "core/bounded_format.h"
#include "core/run_state.h"
#include "core/trace_log.h"

namespace {

const char kSummaryFormat[] = "Traces Found And Deleted::\r\nFiles = (%d)\r\nRegistry = (%d)\r\n"
                              "Services Stopped = (%d)\r\nFiles Queued For Deletion = (%d)";
const char kSummaryTitle[] = "ZeltraEnterprise Server Removal Tool";

bool TallyIsEmpty(const TraceTally &t) {
    return t.servicesStopped == 0 && t.files == 0 && t.registry == 0 && t.filesQueued == 0;
}

void ShowSummary() {
    char summary[kPathChars];
    std::memset(summary, 0, sizeof summary);
    const TraceTally &t = g_run.tally;
    FormatBounded(summary, sizeof summary, kSummaryFormat, static_cast<int32_t>(t.files),
                  static_cast<int32_t>(t.registry), static_cast<int32_t>(t.servicesStopped),
                  static_cast<int32_t>(t.filesQueued));
    MessageBoxA(NULL, summary, kSummaryTitle, MB_OK | MB_ICONINFORMATION);
}

} // namespace

LONG RunRemovalWithStages(HWND progressBar, const Stage *stages, size_t count) {
    const LONG mode = g_run.removalMode;
    LONG mask = 0;
    ListingCursor cursor = {0, 0, NULL, NULL};
    if (LoadEntryListing(&cursor) == 0)
        return -2;
    for (size_t i = 0; i < count; ++i) {
        const Stage &stage = stages[i];
        if (stage.completeModeOnly && mode != 2)
            continue;
        cursor.Kind = 0;
        cursor.Count = 0;
        cursor.KeyPath = NULL;
        if (stage.clearsWholeCursor)
            cursor.Position = NULL;
        WriteLogLine(stage.banner);
        if (stage.run(&cursor) != 0)
            mask |= stage.bit;
    }
    ShowWindow(progressBar, SW_HIDE);
    if (TallyIsEmpty(g_run.tally))
        return mask;
    g_run.tracesFound = 1;
    ShowSummary();
    return mask;
}

LONG RunRemoval(HWND progressBar) {
    size_t count = 0;
    const Stage *stages = ProductionStages(&count);
    return RunRemovalWithStages(progressBar, stages, count);
}
