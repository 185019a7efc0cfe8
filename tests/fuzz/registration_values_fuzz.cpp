// The values of the instance's registration that the SQL stage reads (the
// instance id, its program folder and its product code, NUL-separated in the
// input) and the in-memory listings and command line built from them. Only
// the instance's own keys, folder and package may go: the listings hold only
// their own lines, every key beside them and every file beside the folder
// stays, and the Installer is only ever started for a braced GUID.
#include <cstdint>
#include <regex>
#include <vector>

#include "fuzz_support.h"
#include "removers/sql_instance.h"

namespace {

const std::string kRoot = "HKLM\\SOFTWARE\\Wow6432Node\\Microsoft\\Microsoft SQL Server";
const std::string kProgramDir = "C:\\Program Files\\Microsoft SQL Server";

// What stays whatever the values say.
const char *const kKeysBeside[] = {
    "HKLM\\SOFTWARE\\Wow6432Node\\Microsoft\\Microsoft SQL Server",
    "HKLM\\SOFTWARE\\Wow6432Node\\Microsoft\\Microsoft SQL Server\\OtherInstance",
    "HKLM\\SOFTWARE\\Microsoft\\Microsoft SQL Server\\OtherInstance",
    "HKLM\\SOFTWARE\\Wow6432Node\\Sentinel",
    "HKLM\\SOFTWARE\\Sentinel",
    "HKLM\\SYSTEM\\ControlSet001\\Services\\Sentinel",
    "HKCU\\Software\\Sentinel",
    "HKU\\S-1-5-18\\Sentinel",
};
const char *const kFilesBeside[] = {
    "C:\\Program Files\\Microsoft SQL Server\\OtherInstance\\data.mdf",
    "C:\\Sentinel\\keep.txt",
    "C:\\Windows\\System32\\keep.dll",
};

// The entry lines the stage's registry listings may hold.
const std::regex kEntryLine(R"(Registry_[1-5]:: HKLM\\(SOFTWARE\\Microsoft\\Microsoft SQL Server\\[ -\[\]-~]+|)"
                            R"(SYSTEM\\(ControlSet001|CurrentControlSet)\\Services\\MSSQL\$VUVURIDIVUZO|)"
                            R"(SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\\{[0-9A-Fa-f-]{36}\})\r)");
const std::regex
    kInstallerLine(R"(MSIEXEC\.EXE /qn /norestart /x \{[0-9A-Fa-f]{8}(-[0-9A-Fa-f]{4}){3}-[0-9A-Fa-f]{12}\})");

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string input(reinterpret_cast<const char *>(data), size);
    std::vector<std::string> fields;
    for (size_t at = 0; fields.size() < 3; at = input.find('\0', at) + 1) {
        size_t end = input.find('\0', at);
        fields.push_back(input.substr(at, end == std::string::npos ? std::string::npos : end - at));
        if (end == std::string::npos)
            break;
    }
    fields.resize(3);
    const std::string &id = fields[0];
    fuzz::FreshMachine();
    sim::PlantService("SqlWriter", sim::ServiceScript{});
    sim::PlantValue(kRoot, "InstalledInstances", REG_MULTI_SZ, std::string("VUVURIDIVUZO\0\0", 14));
    sim::PlantValue(kRoot + "\\Instance Names\\SQL", "VUVURIDIVUZO", REG_SZ, id);
    // The setup key where a well-formed id would find it; a value planted
    // under an id that is no key name is planted where it lands.
    if (!id.empty() && id.find('\\') == std::string::npos && id.find('/') == std::string::npos) {
        sim::PlantValue(kRoot + "\\" + id + "\\Setup", "SqlProgramDir", REG_SZ, fields[1]);
        sim::PlantValue(kRoot + "\\" + id + "\\Setup", "ProductCode", REG_SZ, fields[2]);
    }
    for (const char *key : kKeysBeside)
        sim::PlantKey(key);
    for (const char *file : kFilesBeside)
        sim::PlantFile(file, "keep");
    sim::PlantService("MSSQL$VUVURIDIVUZO", sim::ServiceScript{});

    ListingCursor cursor = {0, 0, nullptr, nullptr};
    RemoveSQLInstance(&cursor);

    for (const char *key : kKeysBeside)
        fuzz::Require(sim::KeyExists(key), key);
    for (const char *file : kFilesBeside)
        fuzz::Require(sim::Exists(file), file);
    std::string log = fuzz::Log();
    size_t entries = 0;
    for (size_t at = 0; at < log.size();) {
        size_t end = log.find('\n', at);
        std::string line = log.substr(at, end == std::string::npos ? std::string::npos : end - at);
        if (line.rfind("Registry_", 0) == 0) {
            fuzz::Require(std::regex_match(line, kEntryLine), "a listing line of the stage's own");
            ++entries;
        }
        at = end == std::string::npos ? log.size() : end + 1;
    }
    fuzz::Require(entries == 0 || entries == 4 || entries == 5, "four or five entries, or none");
    for (const sim::ProcessLaunch &launch : sim::ProcessLaunches())
        fuzz::Require(std::regex_match(launch.commandLine, kInstallerLine), "the Installer for a braced GUID only");
    return 0;
}
