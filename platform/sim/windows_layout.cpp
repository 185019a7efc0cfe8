// A Windows Server's own layout where the tool goes, planted by one call:
// the system folders with their owners and access lists, and the
// compatibility links that Windows keeps for programs written before
// Vista. Sources, one line each:
// - "Junction Points and Backup Applications": the links of the old layout
//   (C:\Documents and Settings, ProgramData's Application Data, Desktop,
//   Documents, Start Menu and Templates) are junctions, hidden and system,
//   whose access list denies Everyone the reading of their contents: a path
//   through them can be traversed, their contents cannot be listed
//   (icacls shows Everyone:(DENY)(S,RD), Everyone:(RX), SYSTEM:(F),
//   Administrators:(F)).
// - "Known Folders" / "CSIDL": ProgramData, Public's Desktop and Documents,
//   the all-users Start Menu and Templates, the target of each link.
// - "Default ACL of ProgramData" as icacls shows it: SYSTEM and
//   Administrators full control, CREATOR OWNER full control of what it
//   creates, Users read and execute, and adding files and folders.
// - "Default ACL of the Windows folder" as icacls shows it: TrustedInstaller
//   full control, SYSTEM and Administrators full control of what is below
//   (modify of the folder itself, simplified to full), Users read and
//   execute; users add nothing there.
// The registry part, one source each:
// - DISA STIG V-220907 "Default permissions for the HKEY_LOCAL_MACHINE
//   registry hive must be maintained": SOFTWARE's list.
// - "Registry Redirector": the 32-bit view is SOFTWARE\Wow6432Node, which
//   inherits SOFTWARE's list.
// - "Enum Registry Tree" (reserved for the system): LEGACY_<NAME> and its
//   0000 owned by SYSTEM, Administrators read.
// - "Configure Windows Service Accounts and Permissions": the instance-id
//   key gives the per-service SID full control.
// - "Service Security and Access Rights" / sc showsid: NT SERVICE\<name> is
//   S-1-5-80- and the SHA-1 of the upper-case name.
// - "File Locations for Default and Named Instances of SQL Server":
//   InstalledInstances, Instance Names\SQL, MSSQL10.<id>\Setup.
#include "sim/control.h"
#include "sim/files.h"

namespace sim {

namespace {

const char kSystem[] = "S-1-5-18";
const char kAdministrators[] = "S-1-5-32-544";
const char kEveryone[] = "S-1-1-0";
const char kUsers[] = "S-1-5-32-545";
const char kCreatorOwner[] = "S-1-3-0";
const char kTrustedInstaller[] = "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";
const char kAllApplicationPackages[] = "S-1-15-2-1";
constexpr DWORD kInherit = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
constexpr DWORD kAddFileAndFolder = 0x0002u | 0x0004u | 0x0010u | 0x0100u; // WD, AD, WEA, WA

struct LayoutLink {
    const char *path;
    const char *target;
    DWORD tag;
};

const LayoutLink kCompatibilityLinks[] = {
    {"C:\\Documents and Settings", "C:\\Users", IO_REPARSE_TAG_MOUNT_POINT},
    {"C:\\ProgramData\\Application Data", "C:\\ProgramData", IO_REPARSE_TAG_MOUNT_POINT},
    {"C:\\ProgramData\\Desktop", "C:\\Users\\Public\\Desktop", IO_REPARSE_TAG_MOUNT_POINT},
    {"C:\\ProgramData\\Documents", "C:\\Users\\Public\\Documents", IO_REPARSE_TAG_MOUNT_POINT},
    {"C:\\ProgramData\\Start Menu", "C:\\ProgramData\\Microsoft\\Windows\\Start Menu", IO_REPARSE_TAG_MOUNT_POINT},
    {"C:\\ProgramData\\Templates", "C:\\ProgramData\\Microsoft\\Windows\\Templates", IO_REPARSE_TAG_MOUNT_POINT},
    {"C:\\Users\\All Users", "C:\\ProgramData", IO_REPARSE_TAG_SYMLINK},
    {"C:\\Users\\Default User", "C:\\Users\\Default", IO_REPARSE_TAG_MOUNT_POINT},
};

void Secure(const std::string &path, const std::string &owner, std::vector<AccessEntry> list) {
    detail::FileNode *node = detail::FindNode(path);
    node->security.owner = owner;
    node->security.accessList = std::move(list);
    node->security.listProtected = true;
}

// The services of the product's entry listing whose LEGACY_ keys Windows
// made when they first ran (resources/entry_listing.txt).
const char *const kProductServices[] = {"ZELTRABIZUPDATER", "ZELTRAWEBSERVER"};

const char kSqlRoot[] = "HKLM\\SOFTWARE\\Wow6432Node\\Microsoft\\Microsoft SQL Server";

void PlantSoftware() {
    const std::vector<AccessEntry> software = {
        {kUsers, KEY_READ, GRANT_ACCESS, CONTAINER_INHERIT_ACE},
        {kAdministrators, KEY_ALL_ACCESS, GRANT_ACCESS, CONTAINER_INHERIT_ACE},
        {kSystem, KEY_ALL_ACCESS, GRANT_ACCESS, CONTAINER_INHERIT_ACE},
        {kCreatorOwner, GENERIC_ALL, GRANT_ACCESS, CONTAINER_INHERIT_ACE | INHERIT_ONLY_ACE},
        {kAllApplicationPackages, KEY_READ, GRANT_ACCESS, CONTAINER_INHERIT_ACE}};
    PlantKeySecurity("HKLM\\SOFTWARE", FileSecurity{kSystem, software, true});
    PlantKeySecurity("HKLM\\SOFTWARE\\Wow6432Node", FileSecurity{kSystem, software, false});
}

void PlantLegacyServiceKeys() {
    const FileSecurity legacy{
        kSystem,
        std::vector<AccessEntry>{{kSystem, KEY_ALL_ACCESS, GRANT_ACCESS, CONTAINER_INHERIT_ACE},
                                 {kAdministrators, KEY_READ, GRANT_ACCESS, CONTAINER_INHERIT_ACE}},
        true};
    for (const char *service : kProductServices) {
        std::string key = std::string("HKLM\\SYSTEM\\CurrentControlSet\\Enum\\Root\\LEGACY_") + service;
        PlantValue(key + "\\0000", "Service", REG_SZ, std::string(service) + '\0');
        PlantKeySecurity(key, legacy);
        PlantKeySecurity(key + "\\0000", legacy);
    }
}

std::string MultiString(std::initializer_list<const char *> names) {
    std::string data;
    for (const char *name : names)
        data += std::string(name) + '\0';
    return data + '\0';
}

void PlantSqlInstance() {
    PlantValue(kSqlRoot, "InstalledInstances", REG_MULTI_SZ, MultiString({kSqlInstanceName}));
    PlantValue(std::string(kSqlRoot) + "\\Instance Names\\SQL", kSqlInstanceName, REG_SZ,
               std::string(kSqlInstanceId) + '\0');
    std::string instance = std::string(kSqlRoot) + "\\" + kSqlInstanceId;
    PlantValue(instance + "\\Setup", "SqlProgramDir", REG_SZ,
               std::string("C:\\Program Files\\Microsoft SQL Server") + '\0');
    // The instance's own service identity may change its keys (its Setup
    // values among them); the rest is SOFTWARE's list, inherited.
    std::vector<AccessEntry> list = *KeySecurityOf("HKLM\\SOFTWARE\\Wow6432Node").accessList;
    list.push_back({kSqlServiceSid, KEY_ALL_ACCESS, GRANT_ACCESS, CONTAINER_INHERIT_ACE});
    PlantKeySecurity(instance, FileSecurity{kAdministrators, list, false});
    PlantKeySecurity(instance + "\\Setup", FileSecurity{kAdministrators, list, false});
}

} // namespace

void PlantWindowsServerLayout(bool productInstalled) {
    SIM_LOCK();
    for (const LayoutLink &link : kCompatibilityLinks)
        PlantFolder(link.target);
    PlantFolder("C:\\ProgramData\\Microsoft\\Windows\\Start Menu\\Programs");
    PlantFolder("C:\\Windows\\Installer");
    Secure("C:\\Windows", kTrustedInstaller,
           {{kTrustedInstaller, FILE_ALL_ACCESS, GRANT_ACCESS, CONTAINER_INHERIT_ACE},
            {kSystem, FILE_ALL_ACCESS, GRANT_ACCESS, kInherit},
            {kAdministrators, FILE_ALL_ACCESS, GRANT_ACCESS, kInherit},
            {kUsers, FILE_GENERIC_READ | FILE_GENERIC_EXECUTE, GRANT_ACCESS, kInherit}});
    Secure("C:\\ProgramData", kSystem,
           {{kSystem, FILE_ALL_ACCESS, GRANT_ACCESS, kInherit},
            {kAdministrators, FILE_ALL_ACCESS, GRANT_ACCESS, kInherit},
            {kCreatorOwner, FILE_ALL_ACCESS, GRANT_ACCESS, kInherit | INHERIT_ONLY_ACE},
            {kUsers, FILE_GENERIC_READ | FILE_GENERIC_EXECUTE, GRANT_ACCESS, kInherit},
            {kUsers, kAddFileAndFolder, GRANT_ACCESS, CONTAINER_INHERIT_ACE}});
    for (const LayoutLink &link : kCompatibilityLinks) {
        PlantLink(link.path, link.target, true, link.tag);
        detail::FindNode(link.path)->attributes |= FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
        Secure(link.path, kSystem,
               {{kEveryone, SYNCHRONIZE | FILE_LIST_DIRECTORY, DENY_ACCESS, 0},
                {kEveryone, FILE_GENERIC_READ | FILE_GENERIC_EXECUTE, GRANT_ACCESS, 0},
                {kSystem, FILE_ALL_ACCESS, GRANT_ACCESS, 0},
                {kAdministrators, FILE_ALL_ACCESS, GRANT_ACCESS, 0}});
    }
    PlantSoftware();
    if (productInstalled) {
        PlantLegacyServiceKeys();
        PlantSqlInstance();
    }
}

} // namespace sim
