// Reads, plants and checks a scenario through the Windows API (see
// scenario.h); the same source is built against the simulated machine and
// for Windows.
#include "scenario.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>

#include "machine.h"
#include "win32.h"

namespace scenario {
namespace {

const char kToolCaption[] = "ZeltraEnterprise Security Removal Tool";
const char kBoxTitle[] = "ZeltraEnterprise Security RT";
const char kSummaryTitle[] = "ZeltraEnterprise Server Removal Tool";
const char kBanner[] = "/*========== ";

std::string Trim(const std::string &text) {
    size_t begin = text.find_first_not_of(" \t");
    if (begin == std::string::npos)
        return "";
    size_t end = text.find_last_not_of(" \t\r");
    return text.substr(begin, end - begin + 1);
}

std::string ReplaceAll(std::string text, const std::string &from, const std::string &to) {
    for (size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size())
        text.replace(at, from.size(), to);
    return text;
}

bool StartsWith(const std::string &text, const std::string &prefix) { return text.rfind(prefix, 0) == 0; }

// "a | b" split at the first `separator` into trimmed halves; false without one.
bool Split(const std::string &text, const std::string &separator, std::string *left, std::string *right) {
    size_t at = text.find(separator);
    if (at == std::string::npos)
        return false;
    *left = Trim(text.substr(0, at));
    *right = Trim(text.substr(at + separator.size()));
    return true;
}

// The first word and the rest.
std::string Word(const std::string &text, std::string *rest) {
    size_t space = text.find(' ');
    std::string word = text.substr(0, space);
    *rest = space == std::string::npos ? "" : Trim(text.substr(space + 1)); // `rest` may be `text`
    return word;
}

bool ReadLines(const std::string &path, std::vector<std::string> *lines) {
    std::ifstream file(path);
    if (!file)
        return false;
    for (std::string line; std::getline(file, line);) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines->push_back(line);
    }
    return true;
}

Line MachineLine(const std::string &text) {
    if (StartsWith(text, "windows| "))
        return Line{Line::kWindows, text.substr(9)};
    if (StartsWith(text, "wine| "))
        return Line{Line::kWine, text.substr(6)};
    return Line{Line::kBoth, text};
}

bool HoldsHere(const Line &line) {
    return line.only == Line::kBoth || (line.only == Line::kWine) == machine::UnderWine();
}

// Appends FOLDER/FILE's lines to a section: plant lines ("include FILE"), or
// text lines ("<< FILE NAME=VALUE..." with @NAME@ replaced).
bool Include(const std::string &folder, const std::string &request, bool text, Section *section, std::string *error) {
    std::string rest;
    std::string file = Word(request, &rest);
    std::vector<std::string> lines;
    if (!ReadLines(folder + "/" + file, &lines)) {
        *error = "cannot read " + folder + "/" + file;
        return false;
    }
    std::vector<std::pair<std::string, std::string>> values;
    int times = 1;
    while (!rest.empty()) {
        std::string assignment = Word(rest, &rest), name, value;
        if (!Split(assignment, "=", &name, &value)) {
            *error = "not NAME=VALUE: " + assignment;
            return false;
        }
        if (name == "TIMES")
            times = std::atoi(value.c_str());
        values.push_back({"@" + name + "@", value});
    }
    std::vector<std::string> once = lines;
    for (int i = 1; i < times; ++i)
        lines.insert(lines.end(), once.begin(), once.end());
    for (std::string line : lines) {
        if (!text && (Trim(line).empty() || Trim(line)[0] == '#'))
            continue;
        for (const auto &[name, value] : values)
            line = ReplaceAll(line, name, value);
        if (StartsWith(line, text ? "<< " : "include ")) {
            if (!Include(folder, line.substr(line.find(' ') + 1), text, section, error))
                return false;
            continue;
        }
        section->lines.push_back(MachineLine(text ? line : Trim(line)));
    }
    return true;
}

// ---- registry ----

REGSAM ViewFlag(int view) { return view == 64 ? KEY_WOW64_64KEY : KEY_WOW64_32KEY; }

// "32 HKLM\PATH..." -> the view and the path below HKLM.
bool KeyArgument(const std::string &text, int *view, std::string *path, std::string *rest) {
    std::string after;
    std::string viewWord = Word(text, &after);
    *view = std::atoi(viewWord.c_str());
    std::string key = after;
    if (rest != nullptr && !Split(after, " | ", &key, rest))
        rest->clear();
    if ((*view != 32 && *view != 64) || !StartsWith(key, "HKLM\\"))
        return false;
    *path = key.substr(5);
    return true;
}

HKEY OpenKey(int view, const std::string &path, REGSAM access) {
    HKEY key = NULL;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, ViewFlag(view) | access, &key) != ERROR_SUCCESS)
        return NULL;
    return key;
}

bool KeyExists(int view, const std::string &path) {
    HKEY key = OpenKey(view, path, KEY_READ);
    if (key != NULL)
        RegCloseKey(key);
    return key != NULL;
}

// The Installer's own key of an installed package.
bool PackageInstalled(const std::string &code) {
    return KeyExists(64, "SOFTWARE\\Classes\\Installer\\Products\\" + PackedCode(code));
}

// "sz:TEXT", "dword:N" or "multi:A;B" ("A;;B" holds an empty string between
// them) -> the type and the bytes as stored.
bool ValueData(const std::string &written, DWORD *type, std::string *bytes) {
    std::string kind, data;
    if (!Split(written, ":", &kind, &data))
        return false;
    if (kind == "sz") {
        *type = REG_SZ;
        *bytes = data + '\0';
    } else if (kind == "dword") {
        *type = REG_DWORD;
        DWORD number = static_cast<DWORD>(std::strtoul(data.c_str(), nullptr, 0));
        bytes->assign(reinterpret_cast<const char *>(&number), 4);
    } else if (kind == "multi") {
        *type = REG_MULTI_SZ;
        bytes->clear();
        std::stringstream names(data);
        for (std::string name; std::getline(names, name, ';');)
            *bytes += name + '\0';
        *bytes += '\0';
    } else {
        return false;
    }
    return true;
}

bool SetValue(int view, const std::string &path, const std::string &name, const std::string &written,
              std::string *error) {
    DWORD type;
    std::string bytes;
    if (!ValueData(written, &type, &bytes)) {
        *error = "bad value: " + written;
        return false;
    }
    HKEY key = NULL;
    LONG rc = RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, NULL, 0, ViewFlag(view) | KEY_ALL_ACCESS, NULL, &key,
                              NULL);
    if (rc == ERROR_SUCCESS) {
        if (!name.empty() || !bytes.empty())
            rc = RegSetValueExA(key, name.c_str(), 0, type, reinterpret_cast<const BYTE *>(bytes.data()),
                                static_cast<DWORD>(bytes.size()));
        RegCloseKey(key);
    }
    if (rc != ERROR_SUCCESS)
        *error = "cannot set " + path + " | " + name + ": " + std::to_string(rc);
    return rc == ERROR_SUCCESS;
}

// The tree the product's installer leaves under each of its keys.
bool PlantTree(int view, const std::string &path, std::string *error) {
    return SetValue(view, path, "Version", "sz:8.0.1.145", error) &&
           SetValue(view, path, "InstallLevel", "dword:1", error) &&
           SetValue(view, path + "\\Components", "Core", "sz:installed", error) &&
           SetValue(view, path + "\\Settings", "Port", "dword:8080", error) &&
           SetValue(view, path + "\\Settings\\Paths", "Data", "sz:C:\\ProgramData\\Zeltra Computing", error);
}

LONG DeleteTree(HKEY parent, const std::string &name) {
    HKEY key = NULL;
    LONG rc = RegOpenKeyExA(parent, name.c_str(), 0, KEY_ALL_ACCESS, &key);
    if (rc != ERROR_SUCCESS)
        return rc;
    char child[256];
    for (DWORD size = sizeof child; RegEnumKeyExA(key, 0, child, &size, NULL, NULL, NULL, NULL) == ERROR_SUCCESS;
         size = sizeof child)
        if ((rc = DeleteTree(key, child)) != ERROR_SUCCESS)
            break;
    RegCloseKey(key);
    return rc == ERROR_SUCCESS ? RegDeleteKeyA(parent, name.c_str()) : rc;
}

bool RemoveTree(int view, const std::string &path, std::string *error) {
    size_t slash = path.rfind('\\');
    HKEY parent = OpenKey(view, path.substr(0, slash), KEY_ALL_ACCESS);
    LONG rc = parent != NULL ? DeleteTree(parent, path.substr(slash + 1)) : ERROR_FILE_NOT_FOUND;
    if (parent != NULL)
        RegCloseKey(parent);
    if (rc != ERROR_SUCCESS)
        *error = "cannot delete " + path + ": " + std::to_string(rc);
    return rc == ERROR_SUCCESS;
}

// "type=N bytes" of a value, or "absent".
std::string ValueText(DWORD type, const std::string &bytes) {
    std::string text = "type=" + std::to_string(type) + " hex=";
    char hex[3];
    for (unsigned char c : bytes) {
        std::snprintf(hex, sizeof hex, "%02x", c);
        text += hex;
    }
    return text;
}

// A value's type and bytes; false when the key or the value is absent.
bool QueryValue(int view, const std::string &path, const std::string &name, DWORD *type, std::string *bytes) {
    HKEY key = OpenKey(view, path, KEY_READ);
    if (key == NULL)
        return false;
    std::vector<char> data(65536);
    DWORD size = static_cast<DWORD>(data.size());
    LONG rc = RegQueryValueExA(key, name.c_str(), NULL, type, reinterpret_cast<BYTE *>(data.data()), &size);
    RegCloseKey(key);
    bytes->assign(data.data(), rc == ERROR_SUCCESS ? size : 0);
    return rc == ERROR_SUCCESS;
}

std::string ReadValue(int view, const std::string &path, const std::string &name) {
    DWORD type = 0;
    std::string bytes;
    return QueryValue(view, path, name, &type, &bytes) ? ValueText(type, bytes) : "absent";
}

// The deletions queued for the restart, in order: the sources of the
// (source, empty target) pairs of PendingFileRenameOperations, in NT form.
std::vector<std::string> RestartQueue() {
    std::vector<std::string> strings, paths;
    DWORD type = 0;
    std::string bytes;
    QueryValue(64, "SYSTEM\\CurrentControlSet\\Control\\Session Manager", "PendingFileRenameOperations", &type, &bytes);
    for (size_t at = 0; at < bytes.size(); at += strings.back().size() + 1)
        strings.push_back(bytes.c_str() + at);
    for (size_t i = 0; i + 1 < strings.size() && !strings[i].empty(); i += 2)
        paths.push_back(StartsWith(strings[i], "\\??\\") ? strings[i].substr(4) : strings[i]);
    return paths;
}

// ---- files ----

bool MakeFolders(const std::string &path) {
    for (size_t at = path.find('\\', 3); at != std::string::npos; at = path.find('\\', at + 1))
        CreateDirectoryA(path.substr(0, at).c_str(), NULL);
    return CreateDirectoryA(path.c_str(), NULL) || GetLastError() == ERROR_ALREADY_EXISTS;
}

bool PlantFile(const std::string &path, const std::string &bytes, std::string *error) {
    MakeFolders(path.substr(0, path.rfind('\\')));
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    DWORD written = 0;
    bool ok =
        file != INVALID_HANDLE_VALUE && WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, NULL);
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    if (!ok)
        *error = "cannot plant " + path + ": " + std::to_string(GetLastError());
    return ok;
}

bool Exists(const std::string &path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// The names in a folder, in enumeration order, without "." and "..".
std::vector<std::string> Names(const std::string &folder) {
    std::vector<std::string> names;
    WIN32_FIND_DATAA data;
    HANDLE find = FindFirstFileA((folder + "\\*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE)
        return names;
    do {
        if (std::strcmp(data.cFileName, ".") != 0 && std::strcmp(data.cFileName, "..") != 0)
            names.push_back(data.cFileName);
    } while (FindNextFileA(find, &data));
    FindClose(find);
    return names;
}

// Every path below `folder`, relative to it, parents before children;
// links are listed and not entered.
void ListTree(const std::string &folder, const std::string &prefix, std::vector<std::string> *paths) {
    for (const std::string &name : Names(folder)) {
        paths->push_back(prefix + name);
        std::string path = folder + "\\" + name;
        DWORD attributes = GetFileAttributesA(path.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) &&
            !(attributes & FILE_ATTRIBUTE_REPARSE_POINT) && name.find('\\') == std::string::npos)
            ListTree(path, prefix + name + "\\", paths);
    }
}

std::string TempFolder() {
    char buffer[MAX_PATH + 1] = {};
    GetTempPathA(MAX_PATH, buffer);
    return buffer;
}

// The trace log's path: the one file ZeltraES_RT_<tick>_Log.txt in the
// temporary folder; empty when there is none, "?" when more than one.
std::string TraceLogPath() {
    std::string found;
    for (const std::string &name : Names(TempFolder().substr(0, TempFolder().size() - 1)))
        if (StartsWith(name, "ZeltraES_RT_") && name.size() > 20 && name.substr(name.size() - 8) == "_Log.txt")
            found = found.empty() ? TempFolder() + name : "?";
    return found;
}

std::string FileText(const std::string &path) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return "";
    std::vector<char> buffer(1 << 20);
    DWORD read = 0;
    ReadFile(file, buffer.data(), static_cast<DWORD>(buffer.size()), &read, NULL);
    CloseHandle(file);
    return std::string(buffer.data(), read);
}

// ---- checks ----

// Whether `actual` matches `expected`: equal, or equal up to a final "..."
// of `expected`, with each "{A..B}" of `expected` standing for a number
// from A to B.
bool Matches(const std::string &expected, const std::string &actual) {
    size_t e = 0, a = 0;
    while (e < expected.size()) {
        if (expected.compare(e, 3, "...") == 0 && e + 3 == expected.size())
            return true;
        if (expected[e] == '{' && expected.find("..", e) != std::string::npos) {
            size_t close = expected.find('}', e);
            long low = std::atol(expected.c_str() + e + 1);
            long high = std::atol(expected.c_str() + expected.find("..", e) + 2);
            char *end = nullptr;
            long number = std::strtol(actual.c_str() + a, &end, 10);
            if (end == actual.c_str() + a || number < low || number > high)
                return false;
            a = static_cast<size_t>(end - actual.c_str());
            e = close + 1;
            continue;
        }
        if (a >= actual.size() || expected[e] != actual[a])
            return false;
        ++e;
        ++a;
    }
    return a == actual.size();
}

// Compares line lists; one failure text for the first difference.
void CompareLines(const std::string &what, const std::vector<std::string> &expected,
                  const std::vector<std::string> &actual, std::vector<std::string> *failures) {
    for (size_t i = 0; i < expected.size() || i < actual.size(); ++i) {
        const std::string want = i < expected.size() ? expected[i] : "<end>";
        const std::string got = i < actual.size() ? actual[i] : "<end>";
        if (i >= expected.size() || i >= actual.size() || !Matches(want, got)) {
            failures->push_back(what + ", line " + std::to_string(i + 1) + ":\n  expected: " + want +
                                "\n  actual:   " + got);
            return;
        }
    }
}

std::string ConfirmationText(const std::string &mode) {
    return mode == "complete" ? "This tool will remove all traces of ZeltraEnterprise Server and VuvuriDivUZO "
                                "Instance both.\r\nDo you want to continue?"
                              : "This tool will remove all traces of ZeltraEnterprise Server except the traces "
                                "related to VuvuriDivUZO Instance.\r\nDo you want to continue?";
}

int Answer(const std::string &word) { return word == "YES" ? IDYES : word == "NO" ? IDNO : IDOK; }

// A number of the summary box: "N", or "A..B" for a range.
std::string Count(const std::string &word) { return word.find("..") == std::string::npos ? word : "{" + word + "}"; }

// A record line as the scenario writes it: the driver's own line, or one
// of the boxes by name.
std::string RecordLine(const std::string &line) {
    std::string rest;
    std::string word = Word(line, &rest);
    if (word == "dialog")
        return std::string("DIALOG caption=") + Quote(kToolCaption);
    if (word == "confirm") {
        std::string answer;
        std::string mode = Word(rest, &answer);
        return BoxLine(false, MB_YESNO | MB_ICONQUESTION, Answer(answer), kBoxTitle, ConfirmationText(mode));
    }
    if (word == "summary") {
        std::string n[4];
        for (std::string &count : n)
            count = Count(Word(rest, &rest));
        std::string line = BoxLine(false, MB_OK | MB_ICONINFORMATION, IDOK, kSummaryTitle,
                                   "Traces Found And Deleted::\r\nFiles = (@0)\r\nRegistry = (@1)\r\nServices "
                                   "Stopped = (@2)\r\nFiles Queued For Deletion = (@3)");
        for (int i = 0; i < 4; ++i)
            line.replace(line.find("@" + std::to_string(i)), 2, n[i]);
        return line;
    }
    if (word == "failed")
        return BoxLine(true, MB_OK | MB_ICONERROR, IDOK, kBoxTitle,
                       "The tool has failed to process\r\nERROR:: (" + rest + ")");
    if (word == "restart")
        return BoxLine(true, MB_YESNO, Answer(rest), kBoxTitle, "A restart is required to complete the process");
    if (word == "no-traces")
        return BoxLine(true, MB_OK | MB_ICONINFORMATION, IDOK, kBoxTitle, "No Traces Found");
    if (word == "already-running")
        return BoxLine(false, MB_OK | MB_ICONERROR, IDOK, kToolCaption, "Instance Already Running");
    return line;
}

// The log lines a [log ...] section compares: all, "stage N" (its banner
// to the next), "from N" (its banner to the end), "headings" (the start
// line, "Acquiring Resources" and the banners).
std::vector<std::string> LogPart(const std::vector<std::string> &log, const std::string &part) {
    std::string number;
    std::string kind = Word(part, &number);
    std::vector<std::string> lines;
    bool inside = part.empty() || kind == "contains";
    for (const std::string &line : log) {
        bool banner = StartsWith(line, kBanner);
        if (banner && (kind == "stage" || kind == "from"))
            inside = StartsWith(line, kBanner + number + ":: ") || (kind == "from" && inside);
        if (kind == "headings")
            inside = banner || StartsWith(line, "Start::") || StartsWith(line, "Acquiring");
        if (inside)
            lines.push_back(line);
    }
    return lines;
}

// The line lists an expected list stands for: a run of "either| " lines
// followed by a run of "or| " lines is one place where the log holds one
// run or the other (what depends on a race, such as whether the service
// manager removed a deleted service's key before the registry stage got
// there); every other line stands for itself.
std::vector<std::vector<std::string>> Expansions(const std::vector<std::string> &lines) {
    std::vector<std::vector<std::string>> all{{}};
    for (size_t i = 0; i < lines.size();) {
        std::vector<std::vector<std::string>> runs(1);
        if (!StartsWith(lines[i], "either| ")) {
            runs[0].push_back(lines[i++]);
        } else {
            for (; i < lines.size() && StartsWith(lines[i], "either| "); ++i)
                runs[0].push_back(lines[i].substr(8));
            runs.emplace_back();
            for (; i < lines.size() && StartsWith(lines[i], "or| "); ++i)
                runs[1].push_back(lines[i].substr(4));
        }
        std::vector<std::vector<std::string>> next;
        for (const std::vector<std::string> &start : all)
            for (const std::vector<std::string> &run : runs) {
                next.push_back(start);
                next.back().insert(next.back().end(), run.begin(), run.end());
            }
        all.swap(next);
    }
    return all;
}

// Compares the log's lines with every way the expected lines may read; the
// failure shown is that of the way that held longest.
void CompareLog(const std::string &what, const std::vector<std::string> &expected,
                const std::vector<std::string> &actual, std::vector<std::string> *failures) {
    std::vector<std::string> best;
    size_t bestLine = 0;
    for (const std::vector<std::string> &way : Expansions(expected)) {
        std::vector<std::string> found;
        CompareLines(what, way, actual, &found);
        if (found.empty())
            return;
        size_t line = std::strtoul(found[0].c_str() + found[0].find(", line ") + 7, nullptr, 10);
        if (best.empty() || line > bestLine) {
            best = found;
            bestLine = line;
        }
    }
    failures->insert(failures->end(), best.begin(), best.end());
}

void CheckLog(const Scenario &scenario, std::vector<std::string> *failures) {
    bool wanted = false;
    for (const Section &section : scenario.sections)
        wanted |= section.name == "log";
    if (!wanted)
        return;
    std::string path = TraceLogPath();
    if (path.empty() || path == "?") {
        failures->push_back(path.empty() ? "no trace log in " + TempFolder() : "more than one trace log");
        return;
    }
    std::string text = FileText(path);
    // To write a new expected log: the trace log as the run left it.
    if (const char *copy = std::getenv("ZRT_SCENARIO_LOG_COPY"))
        std::ofstream(copy, std::ios::binary) << text;
    std::vector<std::string> log;
    std::string joined;
    for (size_t at = 0, end; at < text.size(); at = end + 2) {
        end = text.find("\r\n", at);
        if (end == std::string::npos)
            end = text.size();
        log.push_back(text.substr(at, end - at));
        joined += log.back() + "\r\n";
    }
    if (joined != text)
        failures->push_back("the trace log's lines do not all end in CR LF");
    for (const Section &section : scenario.sections) {
        if (section.name != "log")
            continue;
        std::vector<std::string> expected;
        for (const Line &line : section.lines)
            if (HoldsHere(line))
                expected.push_back(line.text);
        std::vector<std::string> part = LogPart(log, section.argument);
        if (StartsWith(section.argument, "contains")) {
            bool found = false;
            for (const std::vector<std::string> &way : Expansions(expected))
                for (size_t i = 0; !found && i + way.size() <= part.size(); ++i)
                    found = std::equal(way.begin(), way.end(), part.begin() + static_cast<long>(i));
            if (!found)
                failures->push_back("the trace log lacks, in a row: " + expected.front() + " ...");
        } else {
            CompareLog("trace log " + (section.argument.empty() ? "" : "(" + section.argument + ")"), expected, part,
                       failures);
        }
    }
}

// One [expect] item; false with what was found instead.
bool Holds(const std::string &item, std::string *found) {
    std::string rest, left, right;
    std::string word = Word(item, &rest);
    int view = 0;
    std::string path, name;
    if (word == "exists" || word == "absent") {
        *found = Exists(rest) ? "exists" : "absent";
        return *found == word;
    }
    if (word == "empty") {
        *found = std::to_string(Names(rest).size()) + " entries";
        return Exists(rest) && Names(rest).empty();
    }
    if (word == "no-name-ending" && Split(rest, " | ", &left, &right)) {
        *found = "";
        for (const std::string &entry : Names(left))
            if (entry.size() >= right.size() && entry.compare(entry.size() - right.size(), right.size(), right) == 0)
                *found += entry + " ";
        return found->empty();
    }
    if ((word == "key" || word == "no-key") && KeyArgument(rest, &view, &path, nullptr)) {
        *found = KeyExists(view, path) ? "key" : "no-key";
        return *found == word;
    }
    if (word == "value" && Split(rest, " = ", &left, &right) && KeyArgument(left, &view, &path, &name)) {
        DWORD type;
        std::string bytes;
        *found = ReadValue(view, path, name);
        return ValueData(right, &type, &bytes) && *found == ValueText(type, bytes);
    }
    if (word == "no-value" && KeyArgument(rest, &view, &path, &name)) {
        *found = ReadValue(view, path, name);
        return *found == "absent";
    }
    if (word == "service" && Split(rest, " = ", &left, &right)) {
        *found = machine::ServiceState(left);
        return *found == right;
    }
    if ((word == "sddl" || word == "dacl") && Split(rest, " = ", &left, &right) &&
        KeyArgument(left, &view, &path, nullptr)) {
        *found = machine::KeySecurity(view, path);
        if (word == "sddl")
            return *found == right;
        return (found->find("D:") == std::string::npos ? "" : found->substr(found->find("D:") + 2)) == right;
    }
    if (word == "folder-sddl" && Split(rest, " = ", &left, &right)) {
        *found = machine::FolderSecurity(left);
        return *found == right;
    }
    if (word == "same-security" && KeyArgument(rest, &view, &path, nullptr)) {
        *found = machine::KeySecurity(view, path);
        return *found == machine::Recall("security " + rest);
    }
    if (word == "queued") {
        std::vector<std::string> queue = RestartQueue();
        std::string expected, actual, log = TraceLogPath();
        for (const std::string &p : queue)
            actual += (actual.empty() ? "" : "; ") + p;
        *found = actual;
        return *found == (log.empty() ? rest : ReplaceAll(rest, "%TRACE_LOG%", log));
    }
    if (word == "package" && Split(rest, " = ", &left, &right)) {
        *found = PackageInstalled(left) ? "installed" : "absent";
        return *found == right;
    }
    if (word == "no-log") {
        *found = TraceLogPath().empty() ? "none" : TraceLogPath();
        return *found == "none";
    }
    if (word == "restarted") {
        *found = machine::Restarted() ? "restarted" : "not restarted";
        return machine::Restarted();
    }
    *found = "not an item";
    return false;
}

// Checks the items of the sections called `name`: a "windows| " item that
// holds under Wine fails, as Wine's todo_wine does, so that the mark goes
// the day Wine behaves as Windows.
void CheckItems(const Scenario &scenario, const std::string &name, std::vector<std::string> *failures) {
    for (const Section &section : scenario.sections) {
        if (section.name != name)
            continue;
        for (const Line &line : section.lines) {
            std::string found;
            bool holds = Holds(line.text, &found);
            if (line.only == Line::kWindows && machine::UnderWine()) {
                if (holds)
                    failures->push_back("holds under Wine now, drop its windows| mark: " + line.text);
            } else if (HoldsHere(line) && !holds) {
                failures->push_back(line.text + "\n  found: " + found);
            }
        }
    }
}

} // namespace

std::string PackedCode(const std::string &code) {
    std::string hex;
    for (char c : code)
        if (c != '{' && c != '}' && c != '-')
            hex += c;
    if (hex.size() != 32)
        return hex;
    std::string packed(hex.rend() - 8, hex.rend());
    packed += std::string(hex.rend() - 12, hex.rend() - 8) + std::string(hex.rend() - 16, hex.rend() - 12);
    for (size_t i = 16; i < 32; i += 2)
        packed += std::string{hex[i + 1], hex[i]};
    return packed;
}

std::string Quote(const std::string &text) {
    std::string quoted = "\"";
    for (unsigned char c : text) {
        if (c == '\\' || c == '"') {
            quoted += '\\';
            quoted += static_cast<char>(c);
        } else if (c == '\r') {
            quoted += "\\r";
        } else if (c == '\n') {
            quoted += "\\n";
        } else if (c == '\t') {
            quoted += "\\t";
        } else if (c < 0x20 || c == 0x7f) {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            quoted += hex;
        } else {
            quoted += static_cast<char>(c);
        }
    }
    return quoted + "\"";
}

std::string BoxLine(bool ownedByDialog, unsigned style, int answer, const std::string &caption,
                    const std::string &text) {
    const char *buttons = (style & 0xF) == MB_YESNO ? "YES,NO" : "OK";
    const char *icons[] = {"none", "error", "question", "warning", "information"};
    unsigned icon = (style & 0xF0) >> 4;
    const char *answers[] = {"none", "OK", "CANCEL", "ABORT", "RETRY", "IGNORE", "YES", "NO"};
    return std::string("MSGBOX owner=") + (ownedByDialog ? "dialog" : "none") + " buttons=" + buttons +
           " icon=" + (icon < 5 ? icons[icon] : "unknown") +
           " answer=" + (answer >= 0 && answer < 8 ? answers[answer] : "none") + " caption=" + Quote(caption) +
           " text=" + Quote(text);
}

bool Load(const std::string &folder, const std::string &name, Scenario *scenario, std::string *error) {
    std::vector<std::string> lines;
    scenario->name = name;
    scenario->sections.clear();
    if (!ReadLines(folder + "/" + name + ".scenario", &lines)) {
        *error = "cannot read " + folder + "/" + name + ".scenario";
        return false;
    }
    for (size_t i = 0; i < lines.size(); ++i) {
        const std::string line = lines[i];
        std::string trimmed = Trim(line);
        *error = name + ".scenario:" + std::to_string(i + 1) + ": ";
        if (trimmed.empty() || trimmed[0] == '#')
            continue;
        if (trimmed[0] == '[' && trimmed.back() == ']') {
            Section section;
            section.name = Word(trimmed.substr(1, trimmed.size() - 2), &section.argument);
            if (section.name == "after") {
                section.name += " " + section.argument;
                section.argument.clear();
            }
            scenario->sections.push_back(section);
            continue;
        }
        if (scenario->sections.empty()) {
            *error += "a line before the first section";
            return false;
        }
        Section &section = scenario->sections.back();
        bool text = section.name == "log" || section.name == "record" || section.name == "tree";
        if (StartsWith(trimmed, "<< ") || StartsWith(trimmed, "include ")) {
            std::string rest;
            Word(trimmed, &rest);
            if (!Include(folder, rest, text, &section, error))
                return false;
            continue;
        }
        section.lines.push_back(MachineLine(text ? line : trimmed));
    }
    error->clear();
    return true;
}

std::vector<std::string> Lines(const Scenario &scenario, const std::string &name) {
    std::vector<std::string> lines;
    for (const Section &section : scenario.sections)
        if (section.name == name)
            for (const Line &line : section.lines)
                if (HoldsHere(line))
                    lines.push_back(line.text);
    return lines;
}

// `text` without the leading `mark`; *marked says whether it was there.
std::string Unmarked(const std::string &text, const std::string &mark, bool *marked) {
    *marked = StartsWith(text, mark);
    return *marked ? text.substr(mark.size()) : text;
}

bool Plant(const Scenario &scenario, std::string *error) {
    std::vector<std::string> held;
    for (const std::string &item : Lines(scenario, "plant")) {
        std::string rest, left, right, path, name, found;
        std::string word = Word(item, &rest);
        int view = 0;
        bool ok = true, readOnly = false;
        if (word == "file") {
            if (!Split(rest, " = ", &left, &right))
                left = rest;
            ok = PlantFile(left, right, error);
        } else if (word == "readonly") {
            ok = PlantFile(rest, "", error) && SetFileAttributesA(rest.c_str(), FILE_ATTRIBUTE_READONLY);
        } else if (word == "folder") {
            ok = MakeFolders(rest);
        } else if (word == "held") {
            held.push_back(rest);
        } else if (word == "link" && Split(rest, " -> ", &left, &right)) {
            ok = machine::PlantLink(left, right, error);
        } else if (word == "windows-server") {
            ok = machine::PlantWindowsServerLayout(rest == "product", error);
        } else if (word == "wide" && Split(rest, " | ", &left, &right)) {
            ok = machine::PlantWideFile(left, right, error);
        } else if (word == "tree" && KeyArgument(rest, &view, &path, nullptr)) {
            ok = PlantTree(view, path, error);
        } else if (word == "key" && KeyArgument(rest, &view, &path, nullptr)) {
            ok = SetValue(view, path, "", "sz:", error);
        } else if (word == "value" && Split(rest, " = ", &left, &right) && KeyArgument(left, &view, &path, &name)) {
            ok = SetValue(view, path, name, right, error);
        } else if (word == "delete-tree" && KeyArgument(rest, &view, &path, nullptr)) {
            ok = RemoveTree(view, path, error);
        } else if (word == "protect" && KeyArgument(Unmarked(rest, "read-only ", &readOnly), &view, &path, nullptr)) {
            ok = machine::ProtectKey(view, path, readOnly, error);
        } else if (word == "remember-security" && KeyArgument(rest, &view, &path, nullptr)) {
            machine::Remember("security " + rest, machine::KeySecurity(view, path));
        } else if (word == "service") {
            std::string serviceName = Word(rest, &rest);
            std::string behaviour = Word(rest, &right);
            DWORD start = right == "auto" ? SERVICE_AUTO_START : SERVICE_DEMAND_START;
            ok = machine::PlantService(serviceName, behaviour, start, error);
        } else if (word == "package") {
            ok = machine::InstallPackage(rest, error);
        } else if (word == "decoy-installer") {
            ok = machine::PlantDecoyInstaller(error);
        } else if (word == "check") {
            if (!(ok = Holds(rest, &found)))
                *error = "as planted: " + rest + "\n  found: " + found;
        } else {
            ok = false;
            *error = "not a planting: " + item;
        }
        if (!ok) {
            if (error->empty())
                *error = "could not plant: " + item;
            return false;
        }
    }
    return held.empty() || machine::HoldFiles(held, error);
}

std::vector<std::string> Describe(const Scenario &scenario) {
    std::vector<std::string> lines;
    for (const std::string &item : Lines(scenario, "plant")) {
        std::string rest, left, right, path, name;
        std::string word = Word(item, &rest);
        int view = 0;
        std::string line;
        if (word == "service")
            line = "service " + Word(rest, &right) + ": " + machine::ServiceState(Word(rest, &right));
        else if (word == "file" || word == "readonly" || word == "held")
            line = "file " + (Split(rest, " = ", &left, &right) ? left : rest);
        else if ((word == "tree" || word == "key" || word == "value") && KeyArgument(rest, &view, &path, &name))
            line = "key " + std::to_string(view) + " HKLM\\" + path + ": " +
                   (KeyExists(view, path) ? "present" : "absent");
        else if (word == "package")
            line = "package " + rest + ": " + (PackageInstalled(rest) ? "installed" : "absent");
        if (StartsWith(line, "file "))
            line += std::string(": ") + (Exists(line.substr(5)) ? "present" : "absent");
        if (!line.empty() && std::find(lines.begin(), lines.end(), line) == lines.end())
            lines.push_back(line);
    }
    return lines;
}

// The driver's number for a word of a run line: a button of the dialog after
// "click", a message box's answer after "answer"; anything else as written.
std::string ActionArgument(const std::string &action, const std::string &word) {
    static const std::map<std::string, std::string> kClicks = {{"remove-product", "1001"},
                                                               {"remove-completely", "1004"}};
    static const std::map<std::string, std::string> kAnswers = {
        {"ok", "1"}, {"cancel", "2"}, {"yes", "6"}, {"no", "7"}};
    const auto &words = action == "click" ? kClicks : kAnswers;
    auto found = words.find(word);
    return (action == "click" || action == "answer") && found != words.end() ? found->second : word;
}

RunPlan Plan(const Scenario &scenario) {
    RunPlan plan;
    for (const std::string &line : Lines(scenario, "run")) {
        std::string rest;
        std::string word = Word(line, &rest);
        if (word == "args")
            plan.arguments = rest;
        else if (word == "restart")
            plan.restart = true;
        else if (word == "ui-timeout")
            plan.uiTimeoutMs = static_cast<unsigned>(std::atoi(rest.c_str()));
        while (word == "do" && !rest.empty()) {
            std::string action = Word(rest, &rest);
            plan.actions.push_back(plan.actions.empty() ? action : ActionArgument(plan.actions.back(), action));
        }
    }
    for (const Section &section : scenario.sections)
        plan.restart |= section.name == "after restart";
    return plan;
}

std::vector<std::string> Check(const Scenario &scenario, const std::vector<std::string> &record) {
    std::vector<std::string> failures;
    bool recorded = false;
    std::vector<std::string> expected;
    for (const std::string &line : Lines(scenario, "record")) {
        recorded = true;
        expected.push_back(RecordLine(line));
    }
    if (recorded)
        CompareLines("record", expected, record, &failures);
    CheckLog(scenario, &failures);
    for (const Section &section : scenario.sections) {
        if (section.name != "tree")
            continue;
        std::string root = section.argument, except;
        Split(section.argument, " except ", &root, &except);
        std::vector<std::string> all, listed, wanted;
        ListTree(root, "", &all);
        for (const std::string &path : all)
            if (except.empty() || (path != except && !StartsWith(path, except + "\\")))
                listed.push_back(path);
        for (const Line &line : section.lines)
            if (HoldsHere(line))
                wanted.push_back(line.text);
        CompareLines("what is left in " + root, wanted, listed, &failures);
    }
    CheckItems(scenario, "expect", &failures);
    return failures;
}

std::vector<std::string> CheckAfterRestart(const Scenario &scenario) {
    std::vector<std::string> failures;
    CheckItems(scenario, "after restart", &failures);
    return failures;
}

} // namespace scenario
