// Shared ground of the unit tests: a fresh simulated machine and fresh run
// state for every test, and a trace log to read back.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

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

// Makes the folder a handle names a mount point (junction) to `target`, a
// full path, as a process does: FSCTL_SET_REPARSE_POINT with ntifs.h's
// REPARSE_DATA_BUFFER. FALSE, with the last error, where Windows refuses.
inline BOOL SetMountPoint(HANDLE folder, const std::string &target) {
    const std::u16string print(target.begin(), target.end()), substitute = u"\\??\\" + print;
    const size_t names = REPARSE_DATA_BUFFER_HEADER_SIZE + 4 * sizeof(USHORT);
    std::vector<BYTE> data(names + (substitute.size() + print.size() + 2) * sizeof(WCHAR));
    REPARSE_DATA_BUFFER header = {};
    header.ReparseTag = IO_REPARSE_TAG_MOUNT_POINT;
    header.ReparseDataLength = static_cast<USHORT>(data.size() - REPARSE_DATA_BUFFER_HEADER_SIZE);
    header.MountPointReparseBuffer.SubstituteNameLength = static_cast<USHORT>(substitute.size() * sizeof(WCHAR));
    header.MountPointReparseBuffer.PrintNameOffset = static_cast<USHORT>((substitute.size() + 1) * sizeof(WCHAR));
    header.MountPointReparseBuffer.PrintNameLength = static_cast<USHORT>(print.size() * sizeof(WCHAR));
    std::memcpy(data.data(), &header, names);
    std::memcpy(data.data() + names, substitute.c_str(), (substitute.size() + 1) * sizeof(WCHAR));
    std::memcpy(data.data() + names + header.MountPointReparseBuffer.PrintNameOffset, print.c_str(),
                (print.size() + 1) * sizeof(WCHAR));
    return DeviceIoControl(folder, FSCTL_SET_REPARSE_POINT, data.data(), static_cast<DWORD>(data.size()), nullptr, 0,
                           nullptr, nullptr);
}
