// The simulated machine's behaviours that the stages' tests rely on and that
// are easy to get wrong: each follows Windows (differences from Wine noted).
#include <functional>
#include <thread>

#include "exports.h"
#include "nt_files.h"
#include "test_support.h"

namespace {

class SimulatedMachine : public MachineTest {};

TEST_F(SimulatedMachine, ExpansionKeepsUndefinedVariablesAndReportsTheSizeNeeded) {
    char buffer[64];
    SetLastError(0xdeadbeef);
    EXPECT_EQ(ExpandEnvironmentStringsA("%NO_SUCH_VAR%", buffer, sizeof buffer), 14u) << "length + 1";
    EXPECT_STREQ(buffer, "%NO_SUCH_VAR%");
    EXPECT_EQ(GetLastError(), 0xdeadbeefu);
    EXPECT_EQ(ExpandEnvironmentStringsA("%WinDir%\\x 100%% a%b", buffer, sizeof buffer), 23u);
    EXPECT_STREQ(buffer, "C:\\Windows\\x 100%% a%b");

    std::memset(buffer, '#', sizeof buffer);
    EXPECT_EQ(ExpandEnvironmentStringsA("%ProgramFiles%\\", buffer, 10), 24u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(buffer[0], '#') << "too small a buffer receives nothing";
}

TEST_F(SimulatedMachine, RedirectionIsPerThreadAndSendsSystem32ToSysWow64) {
    const char driver[] = "C:\\Windows\\System32\\drivers\\z.sys";
    sim::PlantFile(driver);
    sim::PlantFile("C:\\Windows\\System32\\drivers\\etc\\hosts");
    EXPECT_FALSE(DeleteFileA(driver));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND)) << "SysWOW64\\drivers does not exist";
    EXPECT_NE(GetFileAttributesA("C:\\Windows\\System32\\drivers\\etc\\hosts"), INVALID_FILE_ATTRIBUTES)
        << "drivers\\etc is exempt";

    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    auto disable = LOOK_UP_EXPORT(kernel, Wow64DisableWow64FsRedirection);
    auto revert = LOOK_UP_EXPORT(kernel, Wow64RevertWow64FsRedirection);
    ASSERT_TRUE(disable && revert);
    LPVOID saved = nullptr;
    ASSERT_TRUE(disable(&saved));
    bool otherThreadRedirected = false;
    std::thread([&] { otherThreadRedirected = GetFileAttributesA(driver) == INVALID_FILE_ATTRIBUTES; }).join();
    EXPECT_TRUE(otherThreadRedirected);
    EXPECT_TRUE(DeleteFileA(driver));
    EXPECT_TRUE(revert(saved));
    EXPECT_FALSE(sim::FsRedirectionOff());

    sim::SetWow64Process(false);
    EXPECT_FALSE(disable(&saved));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FUNCTION));
}

TEST_F(SimulatedMachine, LinksAreFollowedOnTheWayButDeletedThemselves) {
    sim::PlantFile("C:\\Target\\inner.txt");
    sim::PlantLink("C:\\Data\\dirlink", "C:\\Target", true);
    sim::PlantLink("C:\\Data\\filelink", "C:\\Target\\inner.txt", false);
    EXPECT_EQ(GetFileAttributesA("C:\\Data\\dirlink"), 0x410u);

    WIN32_FIND_DATAA found;
    HANDLE find = FindFirstFileA("C:\\Data\\dirlink\\*", &found);
    ASSERT_NE(find, INVALID_HANDLE_VALUE);
    std::vector<std::string> names;
    do
        names.push_back(found.cFileName);
    while (FindNextFileA(find, &found));
    FindClose(find);
    EXPECT_EQ(names, (std::vector<std::string>{".", "..", "inner.txt"})) << "the target's entries";

    // Windows removes the link alone; Wine removes an empty target with it
    // and refuses a full one (145), and deletes a file link's target.
    EXPECT_TRUE(RemoveDirectoryA("C:\\Data\\dirlink"));
    EXPECT_TRUE(DeleteFileA("C:\\Data\\filelink"));
    EXPECT_TRUE(sim::Exists("C:\\Target\\inner.txt"));
    EXPECT_EQ(sim::FolderEntries("C:\\Data"), std::vector<std::string>{});

    // Paths are made full as Windows makes them: ".." climbs.
    sim::PlantFile("C:\\victim.txt");
    EXPECT_TRUE(DeleteFileA("C:\\Data\\sub\\..\\..\\victim.txt"));
    EXPECT_FALSE(sim::Exists("C:\\victim.txt"));
}

// What Wine cannot stage (Win32 makes no links there): the native calls
// open a link itself, and a handle stays with its item when another process
// moves it, at the moment a test chooses.
TEST_F(SimulatedMachine, NativeOpensStopAtLinksAndHandlesFollowTheirItem) {
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    auto create = LOOK_UP_EXPORT(ntdll, NtCreateFile);
    auto query = LOOK_UP_EXPORT(ntdll, NtQueryInformationFile);
    auto list = LOOK_UP_EXPORT(ntdll, NtQueryDirectoryFile);
    auto set = LOOK_UP_EXPORT(ntdll, NtSetInformationFile);
    ASSERT_TRUE(create && query && list && set);
    sim::PlantFile("C:\\Target\\inner.txt");
    sim::PlantLink("C:\\Data\\junction", "C:\\Target", true, IO_REPARSE_TAG_MOUNT_POINT);
    sim::PlantFile("C:\\Data\\Tree\\t.txt");
    HANDLE data = CreateFileA("C:\\Data", kFileListDirectory | kSynchronize, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    ASSERT_NE(data, INVALID_HANDLE_VALUE);
    auto open = [&](HANDLE folder, const char *name, ULONG options) {
        std::u16string wide(name, name + std::strlen(name));
        NtName n = {static_cast<WORD>(wide.size() * 2), static_cast<WORD>(wide.size() * 2), wide.data()};
        NtObjectAttributes attributes = {sizeof attributes, folder, &n, kNtCaseInsensitive, nullptr, nullptr};
        NtIoStatus io;
        HANDLE h = nullptr;
        EXPECT_EQ(create(&h, DELETE | kFileListDirectory | kFileReadAttributes, &attributes, &io, nullptr, 0, 7,
                         kNtFileOpen, options, nullptr, 0),
                  kNtSuccess)
            << name;
        return h;
    };
    NtIoStatus io;
    BYTE yes = TRUE;
    HANDLE link = open(data, "junction", kNtOpenReparsePoint);
    NtAttributeTag tag = {0, 0};
    EXPECT_EQ(query(link, &io, &tag, sizeof tag, kNtFileAttributeTagInformation), kNtSuccess);
    EXPECT_EQ(tag.fileAttributes, 0x410u);
    EXPECT_EQ(tag.reparseTag, IO_REPARSE_TAG_MOUNT_POINT);
    EXPECT_EQ(set(link, &io, &yes, 1, kNtFileDispositionInformation), kNtSuccess) << "the link goes alone";
    CloseHandle(link);
    EXPECT_TRUE(sim::Exists("C:\\Target\\inner.txt"));

    // Moved away and replaced by a junction before the listing: the handle
    // lists and deletes in the folder it opened.
    HANDLE tree = open(data, "Tree", kNtOpenReparsePoint | kNtDirectoryFile);
    sim::AtCall("NtQueryDirectoryFile", 1, [] {
        ASSERT_TRUE(sim::MoveTree("C:\\Data\\Tree", "C:\\Moved"));
        sim::PlantLink("C:\\Data\\Tree", "C:\\Target", true, IO_REPARSE_TAG_MOUNT_POINT);
    });
    alignas(8) char buffer[512];
    ASSERT_EQ(list(tree, nullptr, nullptr, nullptr, &io, buffer, sizeof buffer, kNtFileIdFullDirectoryInformation,
                   FALSE, nullptr, TRUE),
              kNtSuccess);
    EXPECT_EQ(sim::FileCalls("NtQueryDirectoryFile"), 1u);
    const NtDirEntry *third = reinterpret_cast<const NtDirEntry *>(buffer);
    for (int skip = 0; skip < 2; ++skip)
        third = reinterpret_cast<const NtDirEntry *>(reinterpret_cast<const char *>(third) + third->nextEntryOffset);
    EXPECT_EQ(std::u16string(third->fileName, third->fileNameLength / 2), u"t.txt");
    HANDLE file = open(tree, "t.txt", kNtOpenReparsePoint | kNtNonDirectoryFile);
    EXPECT_EQ(set(file, &io, &yes, 1, kNtFileDispositionInformation), kNtSuccess);
    CloseHandle(file);
    CloseHandle(tree);
    CloseHandle(data);
    EXPECT_EQ(sim::FolderEntries("C:\\Moved"), std::vector<std::string>{});
    EXPECT_TRUE(sim::Exists("C:\\Target\\inner.txt"));
}

// Each call reports what Windows reports (0: it is done): removals, then
// the standard user's renames and links on a server, in ProgramData, where
// users may add to every folder but remove only what they made.
TEST_F(SimulatedMachine, CallsReportWindowsCodes) {
    sim::PlantWindowsServerLayout();
    sim::PlantFile("C:\\Full\\f.txt");
    sim::PlantFolder("C:\\Busy");
    sim::HoldOpenElsewhere("C:\\Busy");
    const std::string product = "C:\\ProgramData\\Zeltra\\p.txt", mine = "C:\\ProgramData\\Mine\\";
    sim::PlantFile(product);
    sim::PlantFile("C:\\Victim\\v.txt");
    sim::AsUser([&] {
        for (const char *folder : {"", "Empty", "Kept", "Full", "Held", "Taken", "Files"})
            CreateDirectoryA((mine + folder).c_str(), nullptr);
        for (const char *file : {"Full\\f.txt", "Full\\g.txt"})
            CloseHandle(CreateFileA((mine + file).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
    });
    sim::HoldOpenElsewhere(mine + "Held");
    sim::SetFileSecurity(
        mine + "Files",
        {sim::kStandardUserSid, std::vector<sim::AccessEntry>{{"S-1-5-32-545", FILE_ADD_FILE, GRANT_ACCESS, 0}}, true});
    auto open = [](const std::string &path, DWORD access) {
        return CreateFileA(path.c_str(), access, 7, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    };
    auto renameTo = [](HANDLE file, const std::u16string &to) {
        std::vector<BYTE> info(sizeof(FILE_RENAME_INFO) + to.size() * sizeof(WCHAR));
        auto *rename = reinterpret_cast<FILE_RENAME_INFO *>(info.data());
        rename->FileNameLength = static_cast<DWORD>(to.size() * sizeof(WCHAR));
        std::memcpy(rename->FileName, to.data(), rename->FileNameLength);
        return SetFileInformationByHandle(file, FileRenameInfo, rename, static_cast<DWORD>(info.size()));
    };
    // ntdll's calls, as the walk makes them: a status made the last error.
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    auto nt = [&](NtStatus status) {
        SetLastError(LOOK_UP_EXPORT(ntdll, RtlNtStatusToDosError)(status));
        return status == kNtSuccess;
    };
    auto createIn = [&](HANDLE folder, std::u16string name) {
        NtName wide = {static_cast<WORD>(name.size() * 2), static_cast<WORD>(name.size() * 2), name.data()};
        NtObjectAttributes attributes = {sizeof(NtObjectAttributes), folder, &wide, kNtCaseInsensitive, NULL, NULL};
        NtIoStatus io = {};
        HANDLE file = NULL;
        return nt(LOOK_UP_EXPORT(ntdll, NtCreateFile)(&file, GENERIC_WRITE, &attributes, &io, nullptr, 0, 7,
                                                      kNtFileOpenIf, kNtNonDirectoryFile, nullptr, 0));
    };
    auto setAttributes = [&](HANDLE file) {
        NtBasicInformation basic = {0, 0, 0, 0, FILE_ATTRIBUTE_NORMAL};
        NtIoStatus io = {};
        return nt(
            LOOK_UP_EXPORT(ntdll, NtSetInformationFile)(file, &io, &basic, sizeof basic, kNtFileBasicInformation));
    };
    struct Row {
        const char *what;
        bool asUser;
        std::function<BOOL()> call;
        DWORD error;
    } rows[] = {
        {"a full folder", false, [] { return RemoveDirectoryA("C:\\Full"); }, ERROR_DIR_NOT_EMPTY},
        {"an absent folder", false, [] { return RemoveDirectoryA("C:\\Absent"); }, ERROR_FILE_NOT_FOUND},
        {"below an absent folder", false, [] { return RemoveDirectoryA("C:\\Absent\\Child"); }, ERROR_PATH_NOT_FOUND},
        {"a file as a folder", false, [] { return RemoveDirectoryA("C:\\Full\\f.txt"); }, ERROR_DIRECTORY},
        {"a folder held open", false, [] { return RemoveDirectoryA("C:\\Busy"); }, ERROR_SHARING_VIOLATION},
        // A rename needs DELETE on the item (or FILE_DELETE_CHILD above it),
        // the right to add its kind of item where it goes, no handle that
        // does not share delete.
        {"renaming the installer's file", true,
         [&] { return MoveFileExA(product.c_str(), (mine + "p.txt").c_str(), 0); }, ERROR_ACCESS_DENIED},
        {"a folder into a folder that takes files only", true,
         [&] { return MoveFileExA((mine + "Kept").c_str(), (mine + "Files\\Kept").c_str(), 0); }, ERROR_ACCESS_DENIED},
        {"a file there", true,
         [&] { return MoveFileExA((mine + "Full\\f.txt").c_str(), (mine + "Files\\f.txt").c_str(), 0); }, 0},
        {"a folder held open without delete sharing", true,
         [&] { return MoveFileExA((mine + "Held").c_str(), (mine + "Moved").c_str(), 0); }, ERROR_SHARING_VIOLATION},
        {"their own folder", true, [&] { return MoveFileExA((mine + "Kept").c_str(), (mine + "Moved").c_str(), 0); },
         0},
        // A mount point through a handle that may write, on an empty folder;
        // a symbolic link needs a privilege users lack.
        {"a junction through a handle opened to read", true,
         [&] { return SetMountPoint(open(mine + "Empty", GENERIC_READ), "C:\\Victim"); }, ERROR_ACCESS_DENIED},
        {"a junction on a folder that holds a file", true,
         [&] { return SetMountPoint(open(mine + "Full", GENERIC_WRITE), "C:\\Victim"); }, ERROR_DIR_NOT_EMPTY},
        {"a junction on their empty folder", true,
         [&] { return SetMountPoint(open(mine + "Empty", GENERIC_WRITE), "C:\\Victim"); }, 0},
        {"a handle keeps what it was granted", true,
         [&] {
             HANDLE taken = open(mine + "Taken", FILE_WRITE_DATA);
             sim::SetFileSecurity(mine + "Taken", {"S-1-5-32-544", std::vector<sim::AccessEntry>{}, true});
             return SetMountPoint(taken, "C:\\Victim");
         },
         0},
        // A handle renames what it names only with the DELETE it was granted.
        {"renaming through a handle opened to write", true,
         [&] { return renameTo(open(mine + "Full\\g.txt", GENERIC_WRITE), u"C:\\ProgramData\\Mine\\g2.txt"); },
         ERROR_ACCESS_DENIED},
        {"renaming through a handle opened to delete", true,
         [&] { return renameTo(open(mine + "Full\\g.txt", DELETE), u"C:\\ProgramData\\Mine\\g2.txt"); }, 0},
        // Making an item needs the right to add it to its folder, now; a
        // change of attributes, FILE_WRITE_ATTRIBUTES on the handle.
        {"a file made in the Windows folder", true, [&] { return createIn(open("C:\\Windows", GENERIC_READ), u"x"); },
         ERROR_ACCESS_DENIED},
        {"a file made in ProgramData", true, [&] { return createIn(open("C:\\ProgramData", GENERIC_READ), u"x"); }, 0},
        {"attributes through a handle opened to read", false,
         [&] { return setAttributes(open("C:\\Full\\f.txt", GENERIC_READ)); }, ERROR_ACCESS_DENIED},
        {"attributes through a handle opened to write them", false,
         [&] { return setAttributes(open("C:\\Full\\f.txt", FILE_WRITE_ATTRIBUTES)); }, 0},
        {"a symbolic link", true,
         [&] { return static_cast<BOOL>(CreateSymbolicLinkA((mine + "link").c_str(), "C:\\Victim", 1)); },
         ERROR_PRIVILEGE_NOT_HELD},
    };
    for (const Row &row : rows) {
        DWORD error = 0;
        auto run = [&] { error = row.call() ? 0 : GetLastError(); };
        row.asUser ? sim::AsUser(run) : run();
        EXPECT_EQ(error, row.error) << row.what;
    }
    EXPECT_TRUE(sim::Exists(mine + "Moved") && sim::Exists(mine + "Files\\f.txt"));
    EXPECT_EQ(GetFileAttributesA((mine + "Empty\\v.txt").c_str()), FILE_ATTRIBUTE_NORMAL) << "through the junction";
}

TEST_F(SimulatedMachine, DeletedServiceLeavesWithItsLastHandleOnceStopped) {
    sim::PlantService("Svc", {SERVICE_RUNNING, SERVICE_AUTO_START, 1, 0, false});
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE first = OpenServiceA(manager, "svc", SERVICE_ALL_ACCESS);
    SC_HANDLE second = OpenServiceA(manager, "SVC", SERVICE_ALL_ACCESS);
    ASSERT_TRUE(first && second);
    SERVICE_STATUS status;
    EXPECT_TRUE(ControlService(first, SERVICE_CONTROL_STOP, &status));
    EXPECT_EQ(status.dwCurrentState, SERVICE_STOP_PENDING);
    EXPECT_TRUE(DeleteService(first));
    EXPECT_FALSE(DeleteService(second));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_MARKED_FOR_DELETE));
    EXPECT_FALSE(ChangeServiceConfigA(second, SERVICE_NO_CHANGE, SERVICE_DISABLED, SERVICE_NO_CHANGE, nullptr, nullptr,
                                      nullptr, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_MARKED_FOR_DELETE));

    EXPECT_TRUE(CloseServiceHandle(first));
    CloseServiceHandle(second);
    EXPECT_TRUE(sim::InstalledService("Svc")) << "still stop-pending: it stays";
    SC_HANDLE again = OpenServiceA(manager, "Svc", SERVICE_ALL_ACCESS);
    EXPECT_TRUE(QueryServiceStatus(again, &status));
    EXPECT_TRUE(QueryServiceStatus(again, &status));
    EXPECT_EQ(status.dwCurrentState, SERVICE_STOPPED);
    std::memset(&status, 0, sizeof status);
    EXPECT_FALSE(ControlService(again, SERVICE_CONTROL_STOP, &status));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_NOT_ACTIVE));
    EXPECT_EQ(status.dwCurrentState, SERVICE_STOPPED) << "filled for this error";
    CloseServiceHandle(again);
    EXPECT_FALSE(sim::InstalledService("Svc"));
    EXPECT_FALSE(OpenServiceA(manager, "Svc", SERVICE_ALL_ACCESS));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
    EXPECT_EQ(sim::OpenHandles("service"), 1u);
    CloseServiceHandle(manager);
    EXPECT_EQ(sim::OpenHandles("service"), 0u);
}

// The access check every open goes through: each row sets one item's owner
// and list and asks one right (CreateFileA adds SYNCHRONIZE and
// FILE_READ_ATTRIBUTES); then the Windows Server layout's junctions, which
// a path crosses but which cannot be opened to be listed.
TEST_F(SimulatedMachine, OpensAreCheckedAgainstTheItemsListAsWindowsChecksThem) {
    const std::string item = "C:\\Data\\item.txt";
    sim::PlantFile(item);
    const DWORD basic = SYNCHRONIZE | FILE_READ_ATTRIBUTES;
    struct Row {
        const char *why;
        const char *owner;
        std::vector<sim::AccessEntry> list;
        bool takeOwnership;
        DWORD wanted;
        bool opens;
    } rows[] = {
        {"an allowing entry", "S-1-5-18", {{"S-1-5-32-544", basic | DELETE, GRANT_ACCESS, 0}}, false, DELETE, true},
        {"a right no entry names", "S-1-5-18", {{"S-1-5-32-544", basic, GRANT_ACCESS, 0}}, false, DELETE, false},
        {"a deny before the grant",
         "S-1-5-18",
         {{"S-1-1-0", DELETE, DENY_ACCESS, 0}, {"S-1-5-32-544", FILE_ALL_ACCESS, GRANT_ACCESS, 0}},
         false,
         DELETE,
         false},
        {"a grant before the deny",
         "S-1-5-18",
         {{"S-1-5-32-544", FILE_ALL_ACCESS, GRANT_ACCESS, 0}, {"S-1-1-0", DELETE, DENY_ACCESS, 0}},
         false,
         DELETE,
         true},
        {"generic rights mapped", "S-1-5-18", {{"S-1-5-32-545", GENERIC_ALL, GRANT_ACCESS, 0}}, false, DELETE, true},
        {"the owner's implied rights",
         "S-1-5-32-544",
         {{"S-1-1-0", basic, GRANT_ACCESS, 0}},
         false,
         READ_CONTROL | WRITE_DAC,
         true},
        {"no implied rights for another owner",
         "S-1-5-18",
         {{"S-1-1-0", basic, GRANT_ACCESS, 0}},
         false,
         WRITE_DAC,
         false},
        {"the take-ownership privilege", "S-1-5-18", {{"S-1-1-0", basic, GRANT_ACCESS, 0}}, true, WRITE_OWNER, true},
        {"an entry for another user",
         "S-1-5-18",
         {{"S-1-5-21-9-9-9-1001", FILE_ALL_ACCESS, GRANT_ACCESS, 0}},
         false,
         0,
         false},
        {"MAXIMUM_ALLOWED", "S-1-5-18", {{"S-1-1-0", basic, GRANT_ACCESS, 0}}, false, MAXIMUM_ALLOWED, true},
    };
    for (const Row &row : rows) {
        sim::SetFileSecurity(item, {row.owner, row.list, true});
        sim::SetPrivilegeHeld("SeTakeOwnershipPrivilege", true);
        HANDLE token = nullptr;
        OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token);
        TOKEN_PRIVILEGES privileges = {1, {{{0, 0}, row.takeOwnership ? SE_PRIVILEGE_ENABLED : 0u}}};
        LookupPrivilegeValueA(nullptr, SE_TAKE_OWNERSHIP_NAME, &privileges.Privileges[0].Luid);
        AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr);
        CloseHandle(token);
        HANDLE h = CreateFileA(item.c_str(), row.wanted, 7, nullptr, OPEN_EXISTING, 0, nullptr);
        EXPECT_EQ(h != INVALID_HANDLE_VALUE, row.opens) << row.why;
        if (h == INVALID_HANDLE_VALUE)
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED)) << row.why;
        else
            CloseHandle(h);
    }

    // A handle keeps what it was granted when its list changes.
    sim::SetFileSecurity(item, {"", std::nullopt, false});
    HANDLE held = CreateFileA(item.c_str(), DELETE, 7, nullptr, OPEN_EXISTING, 0, nullptr);
    sim::SetFileSecurity(item, {"S-1-5-18", std::vector<sim::AccessEntry>{}, true});
    EXPECT_EQ(CreateFileA(item.c_str(), DELETE, 7, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
    auto dispose = LOOK_UP_EXPORT(GetModuleHandleA("ntdll.dll"), NtSetInformationFile);
    BYTE gone = TRUE;
    NtIoStatus io;
    EXPECT_EQ(dispose(held, &io, &gone, 1, kNtFileDispositionInformation), kNtSuccess);
    CloseHandle(held);
    EXPECT_FALSE(sim::Exists(item));

    sim::PlantWindowsServerLayout();
    sim::PlantFolder("C:\\ProgramData\\Zeltra");
    const DWORD list = FILE_LIST_DIRECTORY | SYNCHRONIZE;
    EXPECT_EQ(CreateFileA("C:\\ProgramData\\Application Data", list, 7, nullptr, OPEN_EXISTING,
                          FILE_FLAG_BACKUP_SEMANTICS, nullptr),
              INVALID_HANDLE_VALUE)
        << "a junction of the layout cannot be listed";
    HANDLE crossed = CreateFileA("C:\\ProgramData\\Application Data\\Zeltra", list, 7, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    EXPECT_NE(crossed, INVALID_HANDLE_VALUE) << "but a path through it is opened";
    CloseHandle(crossed);
}

// "Naming Files, Paths, and Namespaces" / GetFullPathNameA: every ANSI or
// wide path-taking call makes its path full first: each component's
// trailing periods and spaces go, "." and ".." are resolved. A path that
// begins "\\?\" is taken as it stands.
TEST_F(SimulatedMachine, Win32PathsLoseTrailingPeriodsAndSpacesUnlessVerbatim) {
    sim::PlantFile("C:\\T\\x\\f", "plain");
    sim::PlantFile("C:\\T\\x.\\f", "dotted"); // as the file system may hold it, made through "\\?\"

    HANDLE h = CreateFileA("C:\\T\\x.\\f", GENERIC_READ, 7, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    char bytes[16] = {};
    DWORD read = 0;
    EXPECT_TRUE(ReadFile(h, bytes, sizeof bytes, &read, nullptr));
    EXPECT_EQ(std::string(bytes, read), "plain") << "\"x.\\f\" is \"x\\f\"";
    CloseHandle(h);
    h = CreateFileA("\\\\?\\C:\\T\\x.\\f", GENERIC_READ, 7, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(ReadFile(h, bytes, sizeof bytes, &read, nullptr));
    EXPECT_EQ(std::string(bytes, read), "dotted") << "a verbatim path keeps its period";
    CloseHandle(h);

    // Every call: "x. . " is "x"; ".\" and "..\" are resolved.
    EXPECT_EQ(GetFileAttributesA("C:\\T\\x. . \\.\\sub\\..\\f  .."), FILE_ATTRIBUTE_NORMAL);
    EXPECT_TRUE(SetFileAttributesA("C:\\T\\x. \\f.", FILE_ATTRIBUTE_HIDDEN));
    EXPECT_EQ(GetFileAttributesA("\\\\?\\C:\\T\\x\\f"), static_cast<DWORD>(FILE_ATTRIBUTE_HIDDEN));
    EXPECT_EQ(GetFileAttributesA("\\\\?\\C:\\T\\x.\\f"), FILE_ATTRIBUTE_NORMAL) << "the other file";
    WIN32_FIND_DATAA found;
    HANDLE find = FindFirstFileA("C:\\T\\x .\\*", &found);
    ASSERT_NE(find, INVALID_HANDLE_VALUE);
    EXPECT_STREQ(found.cFileName, ".");
    FindClose(find);
    EXPECT_TRUE(CreateDirectoryA("C:\\T\\new. ", nullptr));
    EXPECT_EQ(sim::FolderEntries("C:\\T"), (std::vector<std::string>{"new", "x", "x."}));
    EXPECT_FALSE(CreateDirectoryA("C:\\T\\new..", nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_TRUE(CreateDirectoryW(u"\\\\?\\C:\\T\\wide.", nullptr)) << "the wide calls alike";
    EXPECT_TRUE(sim::Exists("C:\\T\\wide."));
    EXPECT_TRUE(RemoveDirectoryA("C:\\T\\new."));
    EXPECT_FALSE(RemoveDirectoryA("C:\\T\\wide."));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND)) << "\"wide.\" names \"wide\"";
    EXPECT_TRUE(RemoveDirectoryA("\\\\?\\C:\\T\\wide."));
    EXPECT_TRUE(DeleteFileA("C:\\T\\x...\\f "));
    EXPECT_FALSE(sim::Exists("C:\\T\\x\\f"));
    EXPECT_TRUE(sim::Exists("C:\\T\\x.\\f"));
    EXPECT_TRUE(DeleteFileA("\\\\?\\C:\\T\\x.\\f"));
    EXPECT_FALSE(sim::Exists("C:\\T\\x.\\f"));
}

// CreateProcessA makes its application's path full as the file calls do.
TEST_F(SimulatedMachine, AProgramsPathIsMadeFullToo) {
    sim::RegisterProgram("C:\\Tools\\p.exe", 0, [](const std::string &) { return 7u; });
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    char line[] = "p";
    ASSERT_TRUE(CreateProcessA("C:\\Tools\\sub\\..\\p.exe. ", line, nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                               &startup, &info));
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeProcess(info.hProcess, &code));
    EXPECT_EQ(code, 7u);
    CloseHandle(info.hProcess);
    CloseHandle(info.hThread);
}

// The native calls take a name as it stands: "x." relative to a folder's
// handle is "x.", never "x".
TEST_F(SimulatedMachine, NativeNamesAreTakenAsTheyStand) {
    auto create = LOOK_UP_EXPORT(GetModuleHandleA("ntdll.dll"), NtCreateFile);
    ASSERT_TRUE(create);
    sim::PlantFolder("C:\\T\\x");
    HANDLE t = CreateFileA("C:\\T", kFileListDirectory | kSynchronize, 7, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    ASSERT_NE(t, INVALID_HANDLE_VALUE);
    auto open = [&](const char16_t *name) {
        std::u16string wide(name);
        NtName n = {static_cast<WORD>(wide.size() * 2), static_cast<WORD>(wide.size() * 2), wide.data()};
        NtObjectAttributes attributes = {sizeof attributes, t, &n, kNtCaseInsensitive, nullptr, nullptr};
        NtIoStatus io;
        HANDLE h = nullptr;
        NtStatus status = create(&h, kFileReadAttributes, &attributes, &io, nullptr, 0, 7, kNtFileOpen, 0, nullptr, 0);
        if (status == kNtSuccess)
            CloseHandle(h);
        return status;
    };
    EXPECT_EQ(open(u"x"), kNtSuccess);
    EXPECT_EQ(open(u"x."), kNtObjectNameNotFound) << "no \"x.\" here";
    sim::PlantFolder("C:\\T\\x.");
    EXPECT_EQ(open(u"x."), kNtSuccess);
    CloseHandle(t);
}

// "MoveFileExA function": MOVEFILE_DELAY_UNTIL_REBOOT records the request
// in PendingFileRenameOperations, in NT form and in the order of the calls;
// at the restart the session manager deletes what that record names.
TEST_F(SimulatedMachine, TheRestartQueueHoldsNtPathsAndTheRestartActsOnThem) {
    sim::PlantFile("C:\\T\\x\\f");
    sim::PlantFile("C:\\T\\x.\\f");
    sim::PlantFile("C:\\T\\y.\\g");
    sim::PlantFolder("C:\\T\\empty.");
    sim::PlantFile("C:\\T\\full\\kept.txt");
    sim::PlantFile("C:\\T\\ro", "", FILE_ATTRIBUTE_READONLY);
    ASSERT_TRUE(MoveFileExA("C:\\T\\x.\\f", nullptr, MOVEFILE_DELAY_UNTIL_REBOOT));
    ASSERT_TRUE(MoveFileExA("\\\\?\\C:\\T\\y.\\g", nullptr, MOVEFILE_DELAY_UNTIL_REBOOT));
    ASSERT_TRUE(MoveFileExA("C:/T/sub/../absent. ", nullptr, MOVEFILE_DELAY_UNTIL_REBOOT));
    ASSERT_TRUE(MoveFileExA("\\\\?\\C:\\T\\empty.", nullptr, MOVEFILE_DELAY_UNTIL_REBOOT));
    ASSERT_TRUE(MoveFileExA("C:\\T\\full", nullptr, MOVEFILE_DELAY_UNTIL_REBOOT));
    ASSERT_TRUE(MoveFileExW(u"C:\\T\\ro", nullptr, MOVEFILE_DELAY_UNTIL_REBOOT));
    const std::vector<std::string> recorded = {"\\??\\C:\\T\\x\\f",   "\\??\\C:\\T\\y.\\g", "\\??\\C:\\T\\absent",
                                               "\\??\\C:\\T\\empty.", "\\??\\C:\\T\\full",  "\\??\\C:\\T\\ro"};
    EXPECT_EQ(sim::RestartQueue(), recorded);
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Control\\Session Manager", 0,
                            KEY_QUERY_VALUE, &key),
              ERROR_SUCCESS);
    char data[512] = {};
    DWORD size = sizeof data, type = 0;
    ASSERT_EQ(
        RegQueryValueExA(key, "PendingFileRenameOperations", nullptr, &type, reinterpret_cast<BYTE *>(data), &size),
        ERROR_SUCCESS);
    RegCloseKey(key);
    std::string expected;
    for (const std::string &path : recorded)
        expected += path + '\0' + '\0';
    EXPECT_EQ(std::string(data, size), expected + '\0') << "the same record, each with an empty target";

    sim::Restart();
    EXPECT_FALSE(sim::Exists("C:\\T\\x\\f")) << "the recorded path";
    EXPECT_TRUE(sim::Exists("C:\\T\\x.\\f")) << "not the name passed";
    EXPECT_FALSE(sim::Exists("C:\\T\\y.\\g")) << "a verbatim record, not made full again";
    EXPECT_FALSE(sim::Exists("C:\\T\\empty.")) << "an empty folder";
    EXPECT_TRUE(sim::Exists("C:\\T\\full")) << "a folder that is not empty stays";
    EXPECT_TRUE(sim::Exists("C:\\T\\full\\kept.txt"));
    EXPECT_TRUE(sim::Exists("C:\\T\\ro")) << "a read-only file stays, as any delete refuses it";
    EXPECT_EQ(sim::RestartQueue(), std::vector<std::string>{});
}

// The session manager follows links on the way to the recorded path, deletes
// a link at its end alone, and is a native process: no WOW64 redirection.
TEST_F(SimulatedMachine, TheRestartFollowsLinksOnTheWayWithoutRedirection) {
    sim::PlantFile("C:\\Target\\inner.txt");
    sim::PlantFile("C:\\Target\\sub\\kept.txt");
    sim::PlantLink("C:\\Data\\junction", "C:\\Target", true, IO_REPARSE_TAG_MOUNT_POINT);
    sim::PlantLink("C:\\Data\\sublink", "C:\\Target\\sub", true, IO_REPARSE_TAG_MOUNT_POINT);
    sim::PlantFile("C:\\Windows\\System32\\zrt.txt");
    sim::PlantFile("C:\\Windows\\SysWOW64\\zrt.txt");
    ASSERT_TRUE(MoveFileExA("C:\\Data\\junction.\\inner.txt", nullptr, MOVEFILE_DELAY_UNTIL_REBOOT));
    ASSERT_TRUE(MoveFileExA("C:\\Data\\sublink", nullptr, MOVEFILE_DELAY_UNTIL_REBOOT));
    ASSERT_TRUE(MoveFileExA("C:\\Windows\\System32\\zrt.txt", nullptr, MOVEFILE_DELAY_UNTIL_REBOOT));
    EXPECT_EQ(sim::RestartQueue()[2], "\\??\\C:\\Windows\\System32\\zrt.txt") << "recorded as passed, made full";
    sim::Restart();
    EXPECT_FALSE(sim::Exists("C:\\Target\\inner.txt")) << "through the junction";
    EXPECT_FALSE(sim::Exists("C:\\Data\\sublink")) << "the link itself";
    EXPECT_TRUE(sim::Exists("C:\\Target\\sub\\kept.txt")) << "not its target";
    EXPECT_FALSE(sim::Exists("C:\\Windows\\System32\\zrt.txt")) << "the recorded path, not redirected";
    EXPECT_TRUE(sim::Exists("C:\\Windows\\SysWOW64\\zrt.txt"));
}

// "File System Redirector": the redirector changes the path that the 32-bit
// program passes; what a junction names is reached as it is, System32 too.
TEST_F(SimulatedMachine, RedirectionLeavesALinksTargetAlone) {
    sim::PlantFile("C:\\Windows\\System32\\zrt\\native.txt"); // no "zrt" in SysWOW64
    sim::PlantLink("C:\\Data\\junction", "C:\\Windows\\System32\\zrt", true, IO_REPARSE_TAG_MOUNT_POINT);
    EXPECT_EQ(GetFileAttributesA("C:\\Windows\\System32\\zrt\\native.txt"), INVALID_FILE_ATTRIBUTES)
        << "the path passed is redirected";
    EXPECT_EQ(GetFileAttributesA("C:\\Data\\junction\\native.txt"), FILE_ATTRIBUTE_NORMAL)
        << "the junction's target is not";

    auto create = LOOK_UP_EXPORT(GetModuleHandleA("ntdll.dll"), NtCreateFile);
    ASSERT_TRUE(create);
    HANDLE data = CreateFileA("C:\\Data", kFileListDirectory | kSynchronize, 7, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    ASSERT_NE(data, INVALID_HANDLE_VALUE);
    auto open = [&](const char16_t *name, ULONG options) {
        std::u16string wide(name);
        NtName n = {static_cast<WORD>(wide.size() * 2), static_cast<WORD>(wide.size() * 2), wide.data()};
        NtObjectAttributes attributes = {sizeof attributes, data, &n, kNtCaseInsensitive, nullptr, nullptr};
        NtIoStatus io;
        HANDLE h = nullptr;
        NtStatus status =
            create(&h, kFileReadAttributes, &attributes, &io, nullptr, 0, 7, kNtFileOpen, options, nullptr, 0);
        if (status == kNtSuccess)
            CloseHandle(h);
        return status;
    };
    EXPECT_EQ(open(u"junction\\native.txt", 0), kNtSuccess) << "through the junction, on the way";
    CloseHandle(data);
    HANDLE folder = CreateFileA("C:\\Data\\junction", kFileListDirectory | kSynchronize, 7, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    ASSERT_NE(folder, INVALID_HANDLE_VALUE) << "the junction followed at the end";
    data = folder;
    EXPECT_EQ(open(u"native.txt", 0), kNtSuccess);
    CloseHandle(folder);
    data = CreateFileA("C:\\Data", kFileListDirectory | kSynchronize, 7, nullptr, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    EXPECT_EQ(open(u"junction", kNtDirectoryFile), kNtSuccess) << "the junction opened natively, followed";
    CloseHandle(data);
}

// The standard user acts through the same access check, in a process of
// their own: their handles outlive the tool's process and end at a restart.
TEST_F(SimulatedMachine, AStandardUserActsThroughTheSameRulesInAProcessOfTheirOwn) {
    sim::PlantWindowsServerLayout();
    const std::string admins = "C:\\ProgramData\\Zeltra\\admins.txt";
    const std::string mine = "C:\\ProgramData\\Mine";
    sim::PlantFile(admins);
    sim::SetFileSecurity(
        admins,
        {"S-1-5-32-544", std::vector<sim::AccessEntry>{{"S-1-5-32-544", FILE_ALL_ACCESS, GRANT_ACCESS, 0}}, true});
    sim::AsUser([&] {
        EXPECT_EQ(CreateFileA(admins.c_str(), GENERIC_READ, 7, nullptr, OPEN_EXISTING, 0, nullptr),
                  INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
        EXPECT_TRUE(CreateDirectoryA(mine.c_str(), nullptr)) << "ProgramData lets users add folders";
        EXPECT_FALSE(DeleteFileA(admins.c_str())) << "neither DELETE on it nor FILE_DELETE_CHILD above";
        EXPECT_FALSE(CreateDirectoryA("C:\\Windows\\Mine", nullptr)) << "nor may they add to Windows";
        EXPECT_FALSE(MoveFileExA(mine.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT)) << "administrators only";
    });
    EXPECT_EQ(sim::FileSecurityOf(mine).owner, sim::kStandardUserSid);
    sim::HoldOpenElsewhere(mine);
    EXPECT_EQ(sim::OpenHandles("file"), 0u) << "the user's handle is not the tool's";
    EXPECT_FALSE(RemoveDirectoryA(mine.c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    sim::EndProcess();
    EXPECT_FALSE(RemoveDirectoryA(mine.c_str())) << "the tool's process ending closes none of the user's";
    sim::Restart();
    sim::AsUser([&] { EXPECT_TRUE(RemoveDirectoryA(mine.c_str())) << "CREATOR OWNER's entry, given to the user"; });
}

} // namespace
