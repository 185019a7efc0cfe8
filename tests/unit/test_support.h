// Shared ground of the unit tests: a fresh simulated machine and fresh run
// state for every test, and a trace log to read back.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "core/run_state.h"
#include "core/trace_log.h"
#include "exports.h"
#include "nt_files.h"
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

// The reparse data of a link whose substitute name is `substitute` (and its
// print name the same without "\??\"), as FSCTL_GET_REPARSE_POINT gives it.
inline std::vector<BYTE> LinkData(ULONG tag, const std::u16string &substitute, ULONG flags = 0) {
    const std::u16string print = substitute.substr(std::min<size_t>(4, substitute.size()));
    const size_t names = tag == kReparseTagSymbolicLink ? kSymbolicLinkNamesAt : kMountPointNamesAt;
    std::vector<BYTE> data(names + (substitute.size() + print.size()) * sizeof(char16_t));
    const USHORT fields[4] = {0, static_cast<USHORT>(substitute.size() * 2), static_cast<USHORT>(substitute.size() * 2),
                              static_cast<USHORT>(print.size() * 2)};
    const USHORT length = static_cast<USHORT>(data.size() - kReparseHeaderBytes);
    std::memcpy(data.data(), &tag, sizeof tag);
    std::memcpy(data.data() + 4, &length, sizeof length);
    std::memcpy(data.data() + kReparseHeaderBytes, fields, sizeof fields);
    if (tag == kReparseTagSymbolicLink)
        std::memcpy(data.data() + kMountPointNamesAt, &flags, sizeof flags);
    std::memcpy(data.data() + names, substitute.data(), substitute.size() * 2);
    std::memcpy(data.data() + names + substitute.size() * 2, print.data(), print.size() * 2);
    return data;
}

// Makes the folder a handle names a mount point (junction) to `target`, a
// full path, as a process does: FSCTL_SET_REPARSE_POINT with that data.
// FALSE, with the last error, where Windows refuses.
inline BOOL SetMountPoint(HANDLE folder, const std::string &target) {
    std::vector<BYTE> data = LinkData(kReparseTagMountPoint, u"\\??\\" + std::u16string(target.begin(), target.end()));
    return DeviceIoControl(folder, FSCTL_SET_REPARSE_POINT, data.data(), static_cast<DWORD>(data.size()), nullptr, 0,
                           nullptr, nullptr);
}
