// Times the files stage's folder walk against the system's "rd /s /q" on the
// same tree, alternating in one run: 20 x 10 folders of 100 files each
// (20,000 files, depth 3). The walk runs in this process, without and with a
// trace log, and once more with 100 of the files, one in each of 100
// folders, held open without FILE_SHARE_DELETE, which it queues for the
// restart (with their folders, which it takes over first); "rd" runs as the
// 32-bit cmd.exe (SysWOW64) and the 64-bit one (Sysnative). Each tool's time
// is net of its run on an empty folder.
// Then the registry stage against "reg delete /f" the same way: 5,051 keys
// (50 x 100, two values each) under the listing's first registry entry, in
// both registry views, which the stage removes in one pass and "reg" in two
// (/reg:32 and /reg:64).
// Usage: removal_bench.exe ROOT [ROUNDS [walk|held]]; prints one line per
// tool with the median in ms and its ratio to the 32-bit system tool, and
// what the held files added per file. With "walk" only the walk is timed,
// without and with a trace log (to compare two builds of it); with "held",
// without and with the held files (to measure what they add in more rounds
// than the whole bench affords).
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

// Where the walk queues for the restart what it cannot delete: one value of
// pairs of strings (the item, then an empty target), in the 64-bit view.
const char kSessionManager[] = "SYSTEM\\CurrentControlSet\\Control\\Session Manager";
const char kPendingRenames[] = "PendingFileRenameOperations";

// The files that a held run holds open: the 51st file of every other folder
// of the tree, so that each one keeps a folder of its own.
std::vector<std::string> HeldPaths(const std::string &tree, int count) {
    std::vector<std::string> paths;
    for (int n = 0; n < count; ++n)
        paths.push_back(tree + "\\a" + std::to_string(n / 5) + "\\b" + std::to_string(n % 5 * 2) + "\\file50.dat");
    return paths;
}

// Opened as a program that uses them would, without FILE_SHARE_DELETE: the
// walk's deletion fails with a sharing violation.
std::vector<HANDLE> Hold(const std::vector<std::string> &paths) {
    std::vector<HANDLE> handles;
    for (const std::string &path : paths)
        handles.push_back(
            CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0, NULL));
    return handles;
}

// The number of items queued for the restart; clears the queue, so that no
// round finds the last one's entries.
size_t TakeQueue() {
    HKEY key = NULL;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSessionManager, 0, KEY_QUERY_VALUE | KEY_SET_VALUE | KEY_WOW64_64KEY,
                      &key) != ERROR_SUCCESS)
        return 0;
    DWORD size = 0;
    std::vector<char> value;
    if (RegQueryValueExA(key, kPendingRenames, NULL, NULL, NULL, &size) == ERROR_SUCCESS) {
        value.resize(size);
        if (RegQueryValueExA(key, kPendingRenames, NULL, NULL, reinterpret_cast<BYTE *>(value.data()), &size) !=
            ERROR_SUCCESS)
            value.clear();
        RegDeleteValueA(key, kPendingRenames);
    }
    RegCloseKey(key);
    // Two ends of string, whatever the value ended with.
    value.resize(value.size() + 2, '\0');
    size_t items = 0;
    for (size_t at = 0; at + 2 < value.size() && value[at] != '\0'; ++items)
        for (int part = 0; part < 2; ++part)
            at += std::strlen(&value[at]) + 1;
    return items;
}

std::string Parent(const std::string &path) { return path.substr(0, path.rfind('\\')); }

// Closes the held files and deletes them with the folders the walk left for
// the restart; false when any of the tree is left.
bool Release(const std::vector<HANDLE> &handles, const std::vector<std::string> &paths, const std::string &tree) {
    for (HANDLE handle : handles)
        CloseHandle(handle);
    for (const std::string &path : paths)
        DeleteFileA(path.c_str());
    for (const std::string &path : paths)
        RemoveDirectoryA(Parent(path).c_str());
    for (const std::string &path : paths)
        RemoveDirectoryA(Parent(Parent(path)).c_str());
    return RemoveDirectoryA(tree.c_str()) != FALSE;
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
    int held; // files of the tree held open while the walk runs
    std::vector<double> times, empty;
    std::vector<size_t> queued; // items each held run queued for the restart
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
    // A run of its own: an id that an earlier round's tree queued, reused,
    // is not queued already.
    g_run.queuedItemCount = 0;
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

template <class T> T Median(std::vector<T> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

double Net(const Tool &tool) { return Median(tool.times) - Median(tool.empty); }

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
                std::vector<std::string> held = HeldPaths(tree, tool.held);
                std::vector<HANDLE> handles = Hold(held);
                tool.times.push_back(Time(tool, tree));
                if (tool.held > 0) {
                    tool.queued.push_back(TakeQueue());
                    if (tool.queued.back() < held.size())
                        std::fprintf(stderr, "%s queued %zu items for %zu held files in round %d\n", tool.name,
                                     tool.queued.back(), held.size(), round + 1);
                    left = !Release(handles, held, tree);
                } else {
                    left = GetFileAttributesA(tree.c_str()) != INVALID_FILE_ATTRIBUTES;
                }
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
    double reference = tools.size() > 2 ? Net(tools[2]) : 0;
    for (Tool &tool : tools) {
        double net = Net(tool);
        std::printf("%-12s net %8.0f ms (median of %d, empty run %6.0f ms)  ratio to %s %.3f\n", tool.name, net, rounds,
                    Median(tool.empty), tools.size() > 2 ? tools[2].name : "-", reference > 0 ? net / reference : 0.0);
    }
}

// What the held files added to the walk: the median of the rounds'
// differences, each between two runs of the same round, which the load of
// the machine changes alike.
void PrintHeldCost(const Tool &walk, const Tool &held) {
    std::vector<double> added;
    for (size_t round = 0; round < held.times.size(); ++round)
        added.push_back(held.times[round] - held.empty[round] - walk.times[round] + walk.empty[round]);
    double median = Median(added);
    std::printf("held files   %d: %+.0f ms over walk, %.1f ms each (median of the rounds' differences; %zu items "
                "queued a round)\n",
                held.held, median, median / held.held, Median(held.queued));
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
        std::fprintf(stderr, "usage: removal_bench ROOT [ROUNDS [walk|held]] | ROOT count\n");
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
    std::vector<Tool> folders = {{"walk", Kind::FolderTree, "", false, 0, {}, {}, {}},
                                 {"walk /l", Kind::FolderTree, "", true, 0, {}, {}, {}},
                                 {"rd 32-bit", Kind::FolderTree, wow + "cmd.exe", false, 0, {}, {}, {}},
                                 {"rd 64-bit", Kind::FolderTree, native + "cmd.exe", false, 0, {}, {}, {}},
                                 {"walk held", Kind::FolderTree, "", false, 100, {}, {}, {}}};
    const char *only = argc > 3 ? argv[3] : "";
    if (std::strcmp(only, "walk") == 0)
        folders.resize(2);
    else if (std::strcmp(only, "held") == 0)
        folders = {folders[0], folders[4]};
    Compare(folders, rounds, root + "\\bench_tree");
    if (folders.back().held > 0)
        PrintHeldCost(folders.front(), folders.back());
    if (*only != '\0')
        return 0;
    std::vector<Tool> registry = {{"registry", Kind::Registry, "", false, 0, {}, {}, {}},
                                  {"registry /l", Kind::Registry, "", true, 0, {}, {}, {}},
                                  {"reg 32-bit", Kind::Registry, wow + "reg.exe", false, 0, {}, {}, {}},
                                  {"reg 64-bit", Kind::Registry, native + "reg.exe", false, 0, {}, {}, {}}};
    Compare(registry, rounds, root + "\\bench_tree");
    return 0;
}
