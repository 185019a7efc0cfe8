// Times the files stage's folder walk against the system's "rd /s /q" on the
// same tree, alternating in one run: 20 x 10 folders of 100 files each
// (20,000 files, depth 3). The walk runs in this process, without and with a
// trace log; "rd" runs as the 32-bit cmd.exe (SysWOW64) and the 64-bit one
// (Sysnative). Each tool's time is net of its run on an empty folder.
// Usage: folder_walk_bench.exe ROOT [ROUNDS [walk]]; prints one line per tool
// with the median in ms and its ratio to "rd" (32-bit). With "walk" only the
// walk is timed (to compare two builds of it).
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/run_state.h"
#include "core/trace_log.h"
#include "removers/folders.h"

namespace {

double Now() {
    LARGE_INTEGER count, frequency;
    QueryPerformanceCounter(&count);
    QueryPerformanceFrequency(&frequency);
    return 1000.0 * static_cast<double>(count.QuadPart) / static_cast<double>(frequency.QuadPart);
}

void Plant(const std::string &tree, int top, int middle, int files) {
    CreateDirectoryA(tree.c_str(), NULL);
    for (int i = 0; i < top; ++i) {
        std::string a = tree + "\\a" + std::to_string(i);
        CreateDirectoryA(a.c_str(), NULL);
        for (int j = 0; j < middle; ++j) {
            std::string b = a + "\\b" + std::to_string(j);
            CreateDirectoryA(b.c_str(), NULL);
            for (int k = 0; k < files; ++k) {
                std::string f = b + "\\file" + std::to_string(k) + ".dat";
                HANDLE h = CreateFileA(f.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
                DWORD written = 0;
                WriteFile(h, "data", 4, &written, NULL);
                CloseHandle(h);
            }
        }
    }
}

bool Run(const std::string &commandLine) {
    STARTUPINFOA startup;
    std::memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    std::vector<char> line(commandLine.begin(), commandLine.end());
    line.push_back('\0');
    if (!CreateProcessA(NULL, line.data(), NULL, NULL, FALSE, CREATE_NO_WINDOW, NULL, NULL, &startup, &process))
        return false;
    WaitForSingleObject(process.hProcess, INFINITE);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    return true;
}

struct Tool {
    const char *name;
    std::string rd; // the cmd.exe that runs "rd"; empty: the walk
    bool log;
    std::vector<double> times, empty;
};

double Time(Tool &tool, const std::string &tree) {
    double start = Now();
    if (tool.rd.empty()) {
        if (tool.log)
            CreateTraceLog();
        RemoveFolderTree(tree.c_str(), kFolderStageTree);
        if (tool.log) {
            CloseHandle(g_run.traceLogHandle);
            g_run.traceLogHandle = INVALID_HANDLE_VALUE;
            DeleteFileA(g_run.traceLogPath);
        }
    } else {
        Run(tool.rd + " /c rd /s /q \"" + tree + "\"");
    }
    return Now() - start;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: folder_walk_bench ROOT [ROUNDS]\n");
        return 2;
    }
    std::string root = argv[1];
    int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
    char windows[MAX_PATH];
    GetWindowsDirectoryA(windows, MAX_PATH);
    std::vector<Tool> tools = {{"walk", "", false, {}, {}},
                               {"walk /l", "", true, {}, {}},
                               {"rd 32-bit", std::string(windows) + "\\SysWOW64\\cmd.exe", false, {}, {}},
                               {"rd 64-bit", std::string(windows) + "\\Sysnative\\cmd.exe", false, {}, {}}};
    if (argc > 3 && std::strcmp(argv[3], "walk") == 0)
        tools.resize(2);
    std::string tree = root + "\\bench_tree";
    for (int round = 0; round < rounds; ++round) {
        for (size_t i = 0; i < tools.size(); ++i) {
            // Each round starts with another tool, so none always runs first.
            Tool &tool = tools[(i + static_cast<size_t>(round)) % tools.size()];
            Plant(tree, 20, 10, 100);
            tool.times.push_back(Time(tool, tree));
            bool removed = GetFileAttributesA(tree.c_str()) == INVALID_FILE_ATTRIBUTES;
            if (!removed)
                std::fprintf(stderr, "%s left the tree in round %d\n", tool.name, round + 1);
            CreateDirectoryA(tree.c_str(), NULL);
            tool.empty.push_back(Time(tool, tree));
        }
    }
    double reference = tools.size() > 2 ? Median(tools[2].times) - Median(tools[2].empty) : 0;
    for (Tool &tool : tools) {
        double net = Median(tool.times) - Median(tool.empty);
        std::printf("%-10s net %8.0f ms (median of %d, empty run %6.0f ms)  ratio to rd 32-bit %.3f\n", tool.name, net,
                    rounds, Median(tool.empty), reference > 0 ? net / reference : 0.0);
    }
    return 0;
}
