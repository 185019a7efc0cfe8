// What only a real machine can do, or what the simulation offers in its
// place: one source per machine (machine_sim.cpp, machine_wine.cpp), as
// tests/platform has one main per machine. Everything else a scenario plants
// and checks goes through the Windows API in scenario.cpp.
#pragma once

#include <string>
#include <vector>

namespace scenario::machine {

// Whether this is Wine: "wine| " lines hold here instead of "windows| " ones.
bool UnderWine();

// An installed service of the tests' own service program, started unless
// `behaviour` is "stopped": prompt, slow (stop-pending 3.5 s), refuse (no
// stop control), never (stop-pending for ever). `startType` as Windows has it.
bool PlantService(const std::string &name, const std::string &behaviour, unsigned startType, std::string *error);
// "absent", or "state=N start=N" as the service manager holds it.
std::string ServiceState(const std::string &name);

// Another process holds each file open without delete sharing.
bool HoldFiles(const std::vector<std::string> &paths, std::string *error);
// Whether that process was ended by a restart of the machine.
bool Restarted();
// That process, on a real machine (scenario.exe hold): holds the files for
// `seconds`; 1 when one cannot be opened.
int Hold(int seconds, const std::vector<std::string> &paths);

// A Windows Server's own layout where the tool goes: its compatibility
// junctions, owned by SYSTEM, whose access lists deny listing them. Wine
// has no such layout and keeps no file security: nothing is planted there.
// With `product`, also the keys Windows and SQL Server's setup keep for an
// installed product: its services' LEGACY_* keys, SQL Server's registration.
bool PlantWindowsServerLayout(bool product, std::string *error);

// A directory link (a reparse point) at `path` to `target`.
bool PlantLink(const std::string &path, const std::string &target, std::string *error);
// A file in `folder` whose wide name (UTF-8 here) the ANSI enumeration
// reports by its best fit; a name with separators makes its folders too.
bool PlantWideFile(const std::string &folder, const std::string &utf8Name, std::string *error);

// Owner SYSTEM and an access list that refuses delete (view 32 or 64, path
// below HKLM), or that grants Administrators nothing but reading
// (`readOnly`: not even a change of the list); the key's owner and access
// list as SDDL.
bool ProtectKey(int view, const std::string &path, bool readOnly, std::string *error);
// The two as planted.
inline constexpr char kProtectedSddl[] = "O:SYD:P(D;OICI;SD;;;WD)(A;OICI;RCWDWO;;;BA)(A;OICI;KR;;;WD)";
inline constexpr char kReadOnlySddl[] = "O:SYD:P(A;OICI;KR;;;BA)";
std::string KeySecurity(int view, const std::string &path);

// A folder's owner and access list as SDDL, or "absent".
std::string FolderSecurity(const std::string &path);

// The Windows Installer package of the tests (tests/e2e/msi), installed
// (PackedCode's key shows it) with the install location its registration
// gives (the package's ARPINSTALLLOCATION): the instance's folder;
// and a program named like the Installer beside the removal tool.
inline constexpr char kPackageInstallLocation[] = "C:\\Program Files\\Microsoft SQL Server\\MSSQL10.VUVURIDIVUZO\\";
bool InstallPackage(const std::string &productCode, std::string *error);
bool PlantDecoyInstaller(std::string *error);

// A note that planting leaves for the check, which on a real machine runs
// in another process: what a key's security was before the run.
void Remember(const std::string &name, const std::string &value);
// The note, or "nothing remembered".
std::string Recall(const std::string &name);

} // namespace scenario::machine
