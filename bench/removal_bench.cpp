// Times the files stage's folder walk against the system's "rd /s /q" on the
// same tree, alternating in one run: 20 x 10 folders of 100 files each
// (20,000 files, depth 3). The walk runs in this process, without and with a
// trace log; "rd" runs as the 32-bit cmd.exe (SysWOW64) and the 64-bit one
// (Sysnative). Each tool's time is net of its run on an empty folder.
// Then the registry stage against "reg delete /f" the same way: 5,051 keys
// (50 x 100, two values each) under the listing's first registry entry, in
// both registry views, which the stage removes in one pass and "reg" in two
// (/reg:32 and /reg:64).
// Usage: removal_bench.exe ROOT [ROUNDS [walk]]; prints one line per tool
// with the median in ms and its ratio to the 32-bit system tool. With "walk"
// only the walk is timed (to compare two builds of it).
// removal_bench.exe ROOT count: the round that run.sh traces to count server
// requests (count_requests.py): the stage (in a process of its own, started
// as "removal_bench.exe ROOT stage KEY"), 32-bit "reg" and 64-bit "reg" each
// delete a key of 20 and one of 220 leaf subkeys.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/run_state.h"
#include "core/trace_log.h"
#include "removers/folders.h"
#include "removers/registry.h"

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

// The listing's first registry entry, below HKLM.
const char kKey[] = "SOFTWARE\\Zeltra Computing\\ZeltraTSSetup";
// Where the count round's keys are planted.
const char kCountKey[] = "SOFTWARE\\ZrtBenchCount";

// `count` leaf subkeys of `parent`, with two values each.
void PlantLeaves(HKEY parent, REGSAM view, int count) {
    for (int j = 0; j < count; ++j) {
        HKEY b = NULL;
        RegCreateKeyExA(parent, ("b" + std::to_string(j)).c_str(), 0, NULL, 0, KEY_ALL_ACCESS | view, NULL, &b, NULL);
        DWORD value = static_cast<DWORD>(j);
        RegSetValueExA(b, "Number", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&value), sizeof value);
        RegSetValueExA(b, "Text", 0, REG_SZ, reinterpret_cast<const BYTE *>("data"), 5);
        RegCloseKey(b);
    }
}

// The key `path` below HKLM with `top` subkeys of `keys` leaves each; with
// `top` 0, `keys` leaves of its own.
void PlantKeys(const char *path, REGSAM view, int top, int keys) {
    HKEY root = NULL;
    RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, NULL, 0, KEY_ALL_ACCESS | view, NULL, &root, NULL);
    if (top == 0)
        PlantLeaves(root, view, keys);
    for (int i = 0; i < top; ++i) {
        HKEY a = NULL;
        RegCreateKeyExA(root, ("a" + std::to_string(i)).c_str(), 0, NULL, 0, KEY_ALL_ACCESS | view, NULL, &a, NULL);
        PlantLeaves(a, view, keys);
        RegCloseKey(a);
    }
    RegCloseKey(root);
}

bool KeyLeft(REGSAM view, const char *path = kKey) {
    HKEY key = NULL;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ | view, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

enum class Kind { FolderTree, Registry };

struct Tool {
    const char *name;
    Kind kind;
    std::string system; // the 32-bit or 64-bit cmd.exe or reg.exe; empty: the program's own stage
    bool log;
    std::vector<double> times, empty;
};

// The registry stage on a listing of the one key `path` below HKLM.
void RemoveKey(const char *path) {
    std::string listing = std::string("NRE=1\r\nHKLM\\") + path + "\r\n";
    ListingCursor cursor = {0, 0, nullptr, &listing[0]};
    RemoveRegistry(&cursor);
}

void RunStage(const Tool &tool, const std::string &tree) {
    if (tool.log)
        CreateTraceLog();
    if (tool.kind == Kind::FolderTree)
        RemoveFolderTree(tree.c_str(), kFolderStageTree);
    else
        RemoveKey(kKey);
    if (tool.log) {
        CloseHandle(g_run.traceLogHandle);
        g_run.traceLogHandle = INVALID_HANDLE_VALUE;
        DeleteFileA(g_run.traceLogPath);
    }
}

double Time(const Tool &tool, const std::string &tree) {
    double start = Now();
    if (tool.system.empty())
        RunStage(tool, tree);
    else if (tool.kind == Kind::FolderTree)
        Run(tool.system + " /c rd /s /q \"" + tree + "\"");
    else
        for (const char *view : {"/reg:32", "/reg:64"})
            Run(tool.system + " delete \"HKLM\\" + kKey + "\" /f " + view);
    return Now() - start;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

// Runs every tool `rounds` times, alternating, each on a fresh copy of what
// it removes, and prints the net medians.
void Compare(std::vector<Tool> &tools, int rounds, const std::string &tree) {
    for (int round = 0; round < rounds; ++round) {
        for (size_t i = 0; i < tools.size(); ++i) {
            // Each round starts with another tool, so none always runs first.
            Tool &tool = tools[(i + static_cast<size_t>(round)) % tools.size()];
            bool left;
            if (tool.kind == Kind::FolderTree) {
                Plant(tree, 20, 10, 100);
                tool.times.push_back(Time(tool, tree));
                left = GetFileAttributesA(tree.c_str()) != INVALID_FILE_ATTRIBUTES;
                CreateDirectoryA(tree.c_str(), NULL);
            } else {
                PlantKeys(kKey, KEY_WOW64_32KEY, 50, 100);
                PlantKeys(kKey, KEY_WOW64_64KEY, 50, 100);
                tool.times.push_back(Time(tool, tree));
                left = KeyLeft(KEY_WOW64_32KEY) || KeyLeft(KEY_WOW64_64KEY);
                for (REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY}) {
                    HKEY key = NULL;
                    RegCreateKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, NULL, 0, KEY_ALL_ACCESS | view, NULL, &key, NULL);
                    RegCloseKey(key);
                }
            }
            if (left)
                std::fprintf(stderr, "%s left what it was to remove in round %d\n", tool.name, round + 1);
            tool.empty.push_back(Time(tool, tree));
        }
    }
    double reference = tools.size() > 2 ? Median(tools[2].times) - Median(tools[2].empty) : 0;
    for (Tool &tool : tools) {
        double net = Median(tool.times) - Median(tool.empty);
        std::printf("%-12s net %8.0f ms (median of %d, empty run %6.0f ms)  ratio to %s %.3f\n", tool.name, net, rounds,
                    Median(tool.empty), tools.size() > 2 ? tools[2].name : "-", reference > 0 ? net / reference : 0.0);
    }
}

// The count round: each tool deletes a key of few leaves and one of many,
// each in a process of its own that count_requests.py finds in the trace by
// the key its command line names.
void CountRound(const std::string &root, const std::string &wow, const std::string &native) {
    char self[MAX_PATH];
    GetModuleFileNameA(NULL, self, MAX_PATH);
    struct Counted {
        const char *tool;
        REGSAM view;
        std::string command; // followed by the key's path
        const char *options;
    } counted[] = {{"stage", KEY_WOW64_32KEY, "\"" + std::string(self) + "\" \"" + root + "\" stage ", ""},
                   {"reg32", KEY_WOW64_32KEY, wow + "reg.exe delete \"HKLM\\", "\" /f /reg:32"},
                   {"reg64", KEY_WOW64_64KEY, native + "reg.exe delete \"HKLM\\", "\" /f /reg:64"}};
    for (const Counted &c : counted) {
        for (int leaves : {20, 220}) {
            std::string path = std::string(kCountKey) + "\\" + c.tool + "-" + std::to_string(leaves);
            PlantKeys(path.c_str(), c.view, 0, leaves);
            Run(c.command + path + c.options);
            if (KeyLeft(c.view, path.c_str()))
                std::fprintf(stderr, "%s left %s\n", c.tool, path.c_str());
        }
    }
    for (REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY})
        RegDeleteKeyExA(HKEY_LOCAL_MACHINE, kCountKey, view, 0);
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: removal_bench ROOT [ROUNDS [walk]] | ROOT count\n");
        return 2;
    }
    std::string root = argv[1];
    if (argc > 3 && std::strcmp(argv[2], "stage") == 0) {
        RemoveKey(argv[3]);
        return 0;
    }
    int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
    char windows[MAX_PATH];
    GetWindowsDirectoryA(windows, MAX_PATH);
    std::string wow = std::string(windows) + "\\SysWOW64\\", native = std::string(windows) + "\\Sysnative\\";
    if (argc > 2 && std::strcmp(argv[2], "count") == 0) {
        CountRound(root, wow, native);
        return 0;
    }
    std::vector<Tool> folders = {{"walk", Kind::FolderTree, "", false, {}, {}},
                                 {"walk /l", Kind::FolderTree, "", true, {}, {}},
                                 {"rd 32-bit", Kind::FolderTree, wow + "cmd.exe", false, {}, {}},
                                 {"rd 64-bit", Kind::FolderTree, native + "cmd.exe", false, {}, {}}};
    bool walkOnly = argc > 3 && std::strcmp(argv[3], "walk") == 0;
    if (walkOnly)
        folders.resize(2);
    Compare(folders, rounds, root + "\\bench_tree");
    if (walkOnly)
        return 0;
    std::vector<Tool> registry = {{"registry", Kind::Registry, "", false, {}, {}},
                                  {"registry /l", Kind::Registry, "", true, {}, {}},
                                  {"reg 32-bit", Kind::Registry, wow + "reg.exe", false, {}, {}},
                                  {"reg 64-bit", Kind::Registry, native + "reg.exe", false, {}, {}}};
    Compare(registry, rounds, root + "\\bench_tree");
    return 0;
}
