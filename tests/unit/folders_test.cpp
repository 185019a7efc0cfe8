#include <functional>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "core/removal_run.h"
#include "nt_files.h"
#include "removers/folders.h"
#include "test_support.h"

namespace {

const char kNextSection[] = "\r\n\r\n[Registry Entries]\r\nNRE=0\r\n[END]";

class RemoveFoldersTest : public MachineTest {
  protected:
    std::string text;
    ListingCursor cursor = {0, 0, nullptr, nullptr};

    void SetUp() override {
        MachineTest::SetUp();
        OpenLog();
    }

    // Runs the stage on "NFAD=<n>" and the entry lines (each ended by CR LF
    // unless `tail` is empty), followed by the registry section.
    LONG Run(const std::vector<std::string> &entries, const std::string &tail = kNextSection) {
        text = "[File Entries]\r\nNFAD=" + std::to_string(entries.size()) + "\r\n";
        for (size_t i = 0; i < entries.size(); ++i)
            text += entries[i] + (i + 1 < entries.size() ? "\r\n" : "");
        text += tail;
        cursor = {0, 0, nullptr, text.data()};
        size_t openFiles = sim::OpenHandles("file");
        LONG result = RemoveFolders(&cursor);
        EXPECT_EQ(sim::OpenHandles("file"), openFiles) << "every file and folder opened is closed";
        EXPECT_EQ(sim::OpenHandles("find"), 0u) << "every search is closed";
        EXPECT_FALSE(sim::FsRedirectionOff()) << "redirection is back on";
        EXPECT_EQ(sim::LiveSids() + sim::LiveAccessLists(), 0u) << "every owner read and list made is freed";
        return result;
    }

    // A fresh machine and a new log, for each row of a table.
    void FreshMachine() {
        sim::Reset();
        std::memset(&g_run, 0, sizeof g_run);
        OpenLog();
        seen_ = 0;
    }

    // The log written since the last call.
    std::string NewLog() {
        std::string all = Log();
        std::string fresh = all.substr(seen_);
        seen_ = all.size();
        return fresh;
    }

  private:
    size_t seen_ = 0;
};

// The lines of a folder that held only one deletable file.
std::string OneFileFolder(const std::string &folder, const std::string &file) {
    return "FILENAME:: " + file + "\r\nSUCCESS:: Deleted\r\nDIRNAME:: " + folder +
           "\r\nINFO:: (Deleting Dir) 18\r\nSUCCESS:: Deleted\r\n";
}

// Owner Administrators, and a protected list of all access for them and
// SYSTEM alone: what the walk sets on a folder before queuing in it.
bool TakenOver(const std::string &path) {
    sim::FileSecurity security = sim::FileSecurityOf(path);
    if (security.owner != "S-1-5-32-544" || !security.listProtected || !security.accessList ||
        security.accessList->size() != 2)
        return false;
    const char *trustees[] = {"S-1-5-32-544", "S-1-5-18"};
    for (size_t i = 0; i < 2; ++i) {
        const sim::AccessEntry &e = (*security.accessList)[i];
        if (e.trustee != trustees[i] || e.access != GENERIC_ALL || e.mode != GRANT_ACCESS || e.inheritance != 0)
            return false;
    }
    return true;
}
TEST_F(RemoveFoldersTest, EveryLocationCodeReachesItsOwnPlace) {
    const char *planted[] = {
        "C:\\Program Files (x86)\\Zeltra\\a.txt",
        "C:\\Windows\\Installer\\{G}\\b.msi",
        "C:\\Windows\\System32\\drivers\\z.sys",
        "C:\\Data\\one.txt",
        "C:\\Data\\Tree\\c.txt",
        "C:\\ProgramData\\Zeltra\\d.txt",
        "C:\\ProgramData\\Desktop\\e.lnk",
        "C:\\Users\\Admin\\Zeltra\\f.txt",
        "C:\\Users\\Admin\\g.txt",
        "C:\\Users\\Public\\Desktop\\h.lnk",
    };
    for (const char *path : planted)
        sim::PlantFile(path);
    sim::PlantFile("C:\\Program Files\\Zeltra\\a.txt"); // the 64-bit Program Files is not the listing's

    EXPECT_EQ(Run({"1\\Zeltra", "2\\Installer\\{G}", "3\\z.sys", "4\\C:\\Data\\one.txt", "5\\C:\\Data\\Tree",
                   "6\\Zeltra", "7\\Desktop\\e.lnk", "8\\Zeltra", "9\\g.txt", "10\\Desktop\\h.lnk"}),
              0);
    for (const char *path : planted)
        EXPECT_FALSE(sim::Exists(path)) << path;
    EXPECT_TRUE(sim::Exists("C:\\Program Files\\Zeltra\\a.txt"));
    EXPECT_EQ(NewLog(), "File_1:: Zeltra\r\n" + OneFileFolder("C:\\Program Files (x86)\\Zeltra", "a.txt") +
                            OneFileFolder("C:\\Windows\\Installer\\{G}", "b.msi") +
                            OneFileFolder("C:\\Data\\Tree", "c.txt") +
                            OneFileFolder("C:\\ProgramData\\Zeltra", "d.txt") +
                            OneFileFolder("C:\\Users\\Admin\\Zeltra", "f.txt"));
    EXPECT_EQ(g_run.tally.files, 15u) << "ten files and five folders";
    EXPECT_EQ(cursor.Kind, 10);
    EXPECT_EQ(std::string(cursor.Position), std::string(kNextSection).substr(2));

    // Without their variables, codes 6 to 10 are passed over in silence;
    // codes 1 to 3 make no such test and act on the unexpanded text.
    // The files' templates, read as relative paths, name files in the
    // current folder (C:\Tools): they stay.
    for (const char *variable : {"ProgramFiles", "ALLUSERSPROFILE", "USERPROFILE", "PUBLIC", "windir"})
        sim::RemoveEnvironment(variable);
    const char *typed[] = {"C:\\Tools\\%ALLUSERSPROFILE%\\Desktop\\e.lnk", "C:\\Tools\\%USERPROFILE%\\g.txt",
                           "C:\\Tools\\%PUBLIC%\\Desktop\\h.lnk"};
    for (const char *path : typed)
        sim::PlantFile(path);
    sim::PlantFile("C:\\Tools\\%WINDIR%\\system32\\drivers\\z.sys");
    EXPECT_EQ(Run({"1\\Zeltra", "2\\Installer\\{G}", "3\\z.sys", "6\\Zeltra", "7\\Desktop\\e.lnk", "8\\Zeltra",
                   "9\\g.txt", "10\\Desktop\\h.lnk"}),
              0);
    EXPECT_EQ(NewLog(), "File_1:: Zeltra\r\nDIRNAME:: %PROGRAMFILES%\\Zeltra\r\nINFO:: (Deleting Dir) 3\r\n"
                        "DIRNAME:: %WINDIR%\\Installer\\{G}\r\nINFO:: (Deleting Dir) 3\r\n");
    for (const char *path : typed)
        EXPECT_TRUE(sim::Exists(path)) << path;
    EXPECT_FALSE(sim::Exists("C:\\Tools\\%WINDIR%\\system32\\drivers\\z.sys"));

    // A value as long as the unexpanded template is still a value: a user
    // named John has the same length as "%USERPROFILE%\".
    sim::SetEnvironment("USERPROFILE", "C:\\Users\\John");
    sim::PlantFile("C:\\Users\\John\\g.txt");
    EXPECT_EQ(Run({"9\\g.txt"}), 0);
    EXPECT_FALSE(sim::Exists("C:\\Users\\John\\g.txt"));

    // A value with a separator of its own at its end reads as Windows reads
    // it: the tree and the file are removed, not refused as invalid paths.
    sim::SetEnvironment("ALLUSERSPROFILE", "C:\\ProgramData\\");
    sim::PlantFile("C:\\ProgramData\\Zeltra\\d.txt");
    sim::PlantFile("C:\\ProgramData\\Desktop\\e.lnk");
    EXPECT_EQ(Run({"6\\Zeltra", "7\\Desktop\\e.lnk"}), 0);
    EXPECT_EQ(NewLog(), OneFileFolder("C:\\ProgramData\\Zeltra", "d.txt"));
    EXPECT_FALSE(sim::Exists("C:\\ProgramData\\Desktop\\e.lnk"));
}

TEST_F(RemoveFoldersTest, UnknownLocationCodeEndsTheStageWhereItStands) {
    sim::PlantFile("C:\\Data\\one.txt");
    sim::PlantFile("C:\\Data\\two.txt");
    for (const char *bad : {"0\\C:\\Data\\two.txt", "11\\C:\\Data\\two.txt", "C:\\Data\\two.txt", ""}) {
        sim::PlantFile("C:\\Data\\one.txt");
        EXPECT_EQ(Run({"4\\C:\\Data\\one.txt", bad, "4\\C:\\Data\\two.txt"}), kNotProcessed) << bad;
        EXPECT_EQ(std::string(cursor.Position).substr(0, std::string(bad).size() + 2), std::string(bad) + "\r\n")
            << "the line stays unconsumed";
        EXPECT_FALSE(sim::Exists("C:\\Data\\one.txt")) << "entries before it are done";
        EXPECT_TRUE(sim::Exists("C:\\Data\\two.txt")) << "entries after it are not";
    }
    EXPECT_EQ(NewLog(), "");

    // An entry without line end: only code 1 says so.
    EXPECT_EQ(Run({"4\\C:\\Data\\two.txt"}, ""), kNotProcessed);
    EXPECT_EQ(std::string(cursor.Position), "C:\\Data\\two.txt") << "Position after the location code";
    EXPECT_EQ(NewLog(), "");
    EXPECT_EQ(Run({"1\\Zeltra"}, ""), kNotProcessed);
    EXPECT_EQ(NewLog(), "ERROR:: Invalid String Encountered\r\nEXITING..\r\n");

    // Without its count the section is not read: the stage fails.
    text = "[File Entries]\r\n4\\C:\\Data\\two.txt";
    cursor = {0, 0, nullptr, text.data()};
    EXPECT_EQ(RemoveFolders(&cursor), kNotProcessed);
    EXPECT_EQ(NewLog(), "ERROR:: Section Not Found\r\nEXITING..\r\n");
}

TEST_F(RemoveFoldersTest, ProgramFilesFallsBackWhenItsExpansionFails) {
    sim::SetEnvironment("ProgramFiles(x86)", "C:\\PF86");
    sim::PlantFile("C:\\PF86\\Zeltra\\a.txt");
    sim::FailCall("ExpandEnvironmentStringsA", {.error = ERROR_NOT_ENOUGH_MEMORY, .subject = "%PROGRAMFILES%"});
    EXPECT_EQ(Run({"1\\Zeltra"}), 0);
    EXPECT_EQ(NewLog(), "File_1:: Zeltra\r\n" + OneFileFolder("C:\\PF86\\Zeltra", "a.txt"));

    sim::FailCall("ExpandEnvironmentStringsA", {.error = ERROR_NOT_ENOUGH_MEMORY, .times = 2});
    EXPECT_EQ(Run({"1\\Zeltra"}), kExpansionFailed);
    sim::FailCall("ExpandEnvironmentStringsA", {.error = ERROR_NOT_ENOUGH_MEMORY});
    EXPECT_EQ(Run({"6\\Zeltra"}), kExpansionFailed) << "only code 1 has a fallback";
    EXPECT_EQ(NewLog(), "File_1:: Zeltra\r\n");
}

// Owner SYSTEM, and a list that grants Administrators all but WRITE_OWNER,
// which only the privilege to take ownership grants them then.
void GrantAllButWriteOwner(const char *folder) {
    sim::SetFileSecurity(
        folder,
        {"S-1-5-18", std::vector<sim::AccessEntry>{{"S-1-5-32-544", FILE_ALL_ACCESS & ~WRITE_OWNER, GRANT_ACCESS, 0}},
         true});
}

TEST_F(RemoveFoldersTest, LockedAndReadOnlyFilesInATreeAreQueuedAndTheirFolderAfterThem) {
    sim::PlantFile("C:\\Data\\Tree\\locked.txt");
    sim::HoldOpenElsewhere("C:\\Data\\Tree\\locked.txt");
    sim::PlantFile("C:\\Data\\Tree\\ok.txt");
    sim::PlantFile("C:\\Data\\Tree\\ro.txt", "", FILE_ATTRIBUTE_READONLY);
    sim::PlantFile("C:\\Data\\Tree\\sub\\deep.txt");

    EXPECT_EQ(Run({"5\\C:\\Data\\Tree"}), 0) << "a folder kept by queued files is no failure";
    EXPECT_EQ(NewLog(), "FILENAME:: locked.txt\r\nINFO:: (Deleting file) 32\r\nMarked for Deletion\r\n"
                        "FILENAME:: ok.txt\r\nSUCCESS:: Deleted\r\n"
                        "FILENAME:: ro.txt\r\nINFO:: (Deleting file) 5\r\nMarked for Deletion\r\n" +
                            OneFileFolder("C:\\Data\\Tree\\sub", "deep.txt") +
                            "DIRNAME:: C:\\Data\\Tree\r\nINFO:: (Deleting Dir) 145\r\nMarked for Deletion\r\n");
    // The folder keeps a placeholder, queued after its items and before it.
    EXPECT_EQ(sim::FolderEntries("C:\\Data\\Tree"),
              (std::vector<std::string>{"locked.txt", "ro.txt", "~ZeltraES_RT.tmp"}));
    EXPECT_EQ(sim::RestartQueue(),
              (std::vector<std::string>{"\\??\\C:\\Data\\Tree\\locked.txt", "\\??\\C:\\Data\\Tree\\ro.txt",
                                        "\\??\\C:\\Data\\Tree\\~ZeltraES_RT.tmp", "\\??\\C:\\Data\\Tree"}))
        << "NT paths, as PendingFileRenameOperations holds them";
    EXPECT_EQ(g_run.tally.files, 3u);
    EXPECT_EQ(g_run.tally.filesQueued, 3u);
    EXPECT_TRUE(TakenOver("C:\\Data\\Tree")) << "before its files were queued";
    EXPECT_FALSE(TakenOver("C:\\Data")) << "above the tree: not the walk's";

    // A folder refused for its read-only attribute is queued itself.
    sim::PlantFolder("C:\\Data\\Kept");
    SetFileAttributesA("C:\\Data\\Kept", FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(Run({"5\\C:\\Data\\Kept"}), 0);
    EXPECT_EQ(NewLog(), "DIRNAME:: C:\\Data\\Kept\r\nINFO:: (Deleting Dir) 5\r\nMarked for Deletion\r\n");
    EXPECT_EQ(g_run.tally.filesQueued, 4u);

    // Taken over with the privilege where the list does not grant it.
    sim::PlantFile("C:\\Data\\Own\\busy.txt");
    sim::HoldOpenElsewhere("C:\\Data\\Own\\busy.txt");
    GrantAllButWriteOwner("C:\\Data\\Own");
    EXPECT_EQ(Run({"5\\C:\\Data\\Own"}), 0);
    EXPECT_TRUE(TakenOver("C:\\Data\\Own"));

    // Past the ids the run keeps, items are queued all the same.
    FreshMachine();
    g_run.queuedItemCount = kQueuedItemsKept - 1;
    for (const char *name : {"f1", "f2", "f3"}) {
        sim::PlantFile(std::string("C:\\Data\\Many\\") + name);
        sim::HoldOpenElsewhere(std::string("C:\\Data\\Many\\") + name);
    }
    EXPECT_EQ(Run({"5\\C:\\Data\\Many"}), 0);
    EXPECT_EQ(sim::RestartQueue().size(), 5u) << "the files, the placeholder, the folder";
    EXPECT_EQ(g_run.tally.filesQueued, 4u);
    EXPECT_EQ(g_run.queuedItemCount, kQueuedItemsKept);
}

// What stays in a tree without being queued fails the entry, although the
// log has no line for it; its folder, not empty, is not queued either.
// Made full, a path loses each component's trailing dots and blanks: the
// queue names an item by the form Windows takes as it stands, or "x.\held."
// would be recorded as "x\held", another item, and the tree would stay.
TEST_F(RemoveFoldersTest, AQueuedItemIsNamedAsItStandsTrailingDotsAndAll) {
    sim::PlantFile("C:\\Data\\Tree\\x.\\held.");
    sim::HoldOpenElsewhere("\\\\?\\C:\\Data\\Tree\\x.\\held.");
    EXPECT_EQ(Run({"5\\C:\\Data\\Tree"}), 0);
    EXPECT_EQ(sim::RestartQueue(),
              (std::vector<std::string>{"\\??\\C:\\Data\\Tree\\x.\\held.", "\\??\\C:\\Data\\Tree\\x.\\~ZeltraES_RT.tmp",
                                        "\\??\\C:\\Data\\Tree\\x.", "\\??\\C:\\Data\\Tree\\~ZeltraES_RT.tmp",
                                        "\\??\\C:\\Data\\Tree"}));
    sim::Restart();
    EXPECT_FALSE(sim::Exists("C:\\Data\\Tree"));
}

TEST_F(RemoveFoldersTest, WhatStaysUnqueuedFailsTheEntry) {
    struct Case {
        const char *name;
        void (*plant)();
        std::string log;
        std::vector<std::string> queued;
    } cases[] = {
        {"a file refused with another error",
         [] {
             sim::FailCall("NtCreateFile", {.error = static_cast<DWORD>(kNtInvalidParameter), .subject = "odd.txt"});
         },
         "FILENAME:: odd.txt\r\nDIRNAME:: C:\\Data\\Tree\r\nINFO:: (Deleting Dir) 145\r\n",
         {}},
        {"the same beside a queued file",
         [] {
             sim::PlantFile("C:\\Data\\Tree\\busy.txt");
             sim::HoldOpenElsewhere("C:\\Data\\Tree\\busy.txt");
             sim::FailCall("NtCreateFile", {.error = static_cast<DWORD>(kNtInvalidParameter), .subject = "odd.txt"});
         },
         "FILENAME:: busy.txt\r\nINFO:: (Deleting file) 32\r\nMarked for Deletion\r\n"
         "FILENAME:: odd.txt\r\nDIRNAME:: C:\\Data\\Tree\r\nINFO:: (Deleting Dir) 145\r\n",
         {"\\??\\C:\\Data\\Tree\\busy.txt", "\\??\\C:\\Data\\Tree\\~ZeltraES_RT.tmp"}},
        {"a listed folder that cannot be listed",
         [] {
             sim::FailCall("NtQueryDirectoryFile", {.error = static_cast<DWORD>(kNtAccessDenied), .subject = "Tree"});
         },
         "DIRNAME:: C:\\Data\\Tree\r\nINFO:: (Deleting Dir) 145\r\n",
         {}},
        {"the same, queued as another process holds it",
         [] {
             sim::HoldOpenElsewhere("C:\\Data\\Tree");
             sim::FailCall("NtQueryDirectoryFile", {.error = static_cast<DWORD>(kNtAccessDenied), .subject = "Tree"});
         },
         "DIRNAME:: C:\\Data\\Tree\r\nINFO:: (Deleting Dir) 32\r\nMarked for Deletion\r\n",
         {"\\??\\C:\\Data\\Tree"}},
        {"a folder on the way that cannot be opened",
         [] { sim::FailCall("NtCreateFile", {.error = static_cast<DWORD>(kNtInvalidParameter), .subject = "Data"}); },
         "DIRNAME:: C:\\Data\\Tree\r\nINFO:: (Deleting Dir) 87\r\n",
         {}},
        {"a file its open did not find",
         [] {
             sim::FailCall("NtCreateFile", {.error = static_cast<DWORD>(kNtObjectNameNotFound), .subject = "odd.txt"});
         },
         "FILENAME:: odd.txt\r\nDIRNAME:: C:\\Data\\Tree\r\nINFO:: (Deleting Dir) 145\r\n",
         {}},
    };
    for (const Case &c : cases) {
        FreshMachine();
        sim::PlantFile("C:\\Data\\Tree\\odd.txt");
        c.plant();
        EXPECT_EQ(Run({"5\\C:\\Data\\Tree"}), kLeftInPlace) << c.name;
        EXPECT_EQ(NewLog(), c.log) << c.name;
        EXPECT_EQ(sim::RestartQueue(), c.queued) << c.name;
        EXPECT_TRUE(sim::Exists("C:\\Data\\Tree\\odd.txt")) << c.name;
    }
    // A file another process deletes between the listing and its open
    // leaves nothing in place. Opens: Data, Tree, then the file.
    FreshMachine();
    sim::PlantFile("C:\\Data\\Tree\\odd.txt");
    sim::AtCall("NtCreateFile", 3, [] { DeleteFileA("C:\\Data\\Tree\\odd.txt"); });
    EXPECT_EQ(Run({"5\\C:\\Data\\Tree"}), 0);
    EXPECT_EQ(NewLog(),
              "FILENAME:: odd.txt\r\nDIRNAME:: C:\\Data\\Tree\r\nINFO:: (Deleting Dir) 18\r\nSUCCESS:: Deleted\r\n");
    EXPECT_FALSE(sim::Exists("C:\\Data\\Tree"));
}

TEST_F(RemoveFoldersTest, FailedQueuingEndsTheFolderAndFailsTheEntry) {
    sim::PlantFile("C:\\Data\\Tree\\a.txt");
    sim::HoldOpenElsewhere("C:\\Data\\Tree\\a.txt");
    sim::PlantFile("C:\\Data\\Tree\\b.txt");
    sim::FailCall("MoveFileExW", {.error = ERROR_ACCESS_DENIED});
    sim::PlantFolder("C:\\Data\\Kept");
    SetFileAttributesA("C:\\Data\\Kept", FILE_ATTRIBUTE_READONLY);
    sim::FailCall("MoveFileExW", {.error = ERROR_ACCESS_DENIED, .subject = "Kept"});

    EXPECT_EQ(Run({"5\\C:\\Data\\Tree", "5\\C:\\Data\\Kept"}), kQueueFailed);
    EXPECT_EQ(NewLog(), "FILENAME:: a.txt\r\nINFO:: (Deleting file) 32\r\n"
                        "DIRNAME:: C:\\Data\\Tree\r\nINFO:: (Deleting Dir) 145\r\n"
                        "DIRNAME:: C:\\Data\\Kept\r\nINFO:: (Deleting Dir) 5\r\n");
    EXPECT_TRUE(sim::Exists("C:\\Data\\Tree\\b.txt")) << "the enumeration stopped at the failure";
    EXPECT_EQ(g_run.tally.filesQueued, 0u);

    // A folder above the listed one, or the listed one before the walk took
    // it, that a standard user owns, who could replace it by the restart; a
    // folder not taken over; a placeholder not kept: nothing below is queued.
    const std::pair<const char *, std::function<void()>> refusals[] = {
        {"above", [] { sim::SetFileOwner("C:\\Data", sim::kStandardUserSid); }},
        {"listed", [] { sim::SetFileOwner("C:\\Data\\Tree", sim::kStandardUserSid); }},
        {"not taken over", [] { sim::FailCall("SetSecurityInfo", {.error = ERROR_ACCESS_DENIED}); }},
        {"not opened to be taken over",
         [] {
             GrantAllButWriteOwner("C:\\Data\\Tree");
             sim::SetPrivilegeHeld("SeTakeOwnershipPrivilege", false);
         }},
        {"no placeholder",
         [] { sim::FailCall("NtCreateFile", {.error = static_cast<DWORD>(kNtAccessDenied), .subject = "~"}); }},
    };
    for (const auto &[name, refuse] : refusals) {
        FreshMachine();
        sim::PlantFile("C:\\Data\\Tree\\a.txt");
        sim::HoldOpenElsewhere("C:\\Data\\Tree\\a.txt");
        refuse();
        EXPECT_EQ(Run({"5\\C:\\Data\\Tree"}), kQueueFailed) << name;
        EXPECT_EQ(sim::RestartQueue(), std::vector<std::string>{}) << name;
    }
}

// A file in use in C:\Data, which `owner` owns.
void HeldInDataOwnedBy(const char *owner) {
    sim::PlantFile("C:\\Data\\f.txt");
    sim::HoldOpenElsewhere("C:\\Data\\f.txt");
    sim::SetFileOwner("C:\\Data", owner);
}

TEST_F(RemoveFoldersTest, SingleFileOutcomes) {
    struct Case {
        const char *name;
        void (*plant)();
        LONG status;
        DWORD files, queued;
        bool remains;
    } cases[] = {
        {"deleted", [] { sim::PlantFile("C:\\Data\\f.txt"); }, 0, 1, 0, false},
        {"absent", [] { sim::PlantFolder("C:\\Data"); }, 0, 0, 0, false},
        {"absent with its folder", [] {}, 0, 0, 0, false},
        {"in use",
         [] {
             sim::PlantFile("C:\\Data\\f.txt");
             sim::HoldOpenElsewhere("C:\\Data\\f.txt");
         },
         0, 0, 1, true},
        {"in use, queuing fails",
         [] {
             sim::PlantFile("C:\\Data\\f.txt");
             sim::HoldOpenElsewhere("C:\\Data\\f.txt");
             sim::FailCall("MoveFileExW", {.error = ERROR_ACCESS_DENIED});
         },
         kQueueFailed, 0, 0, true},
        {"in use, in a folder a standard user owns and may replace by the restart",
         [] {
             sim::PlantFile("C:\\Data\\f.txt");
             sim::HoldOpenElsewhere("C:\\Data\\f.txt");
             sim::SetFileOwner("C:\\Data", sim::kStandardUserSid);
         },
         kQueueFailed, 0, 0, true},
        {"in use and read-only",
         [] {
             sim::PlantFile("C:\\Data\\f.txt", "", FILE_ATTRIBUTE_READONLY);
             sim::HoldOpenElsewhere("C:\\Data\\f.txt");
         },
         0, 0, 1, true},
        {"in use, in a folder TrustedInstaller owns",
         [] { HeldInDataOwnedBy("S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464"); }, 0, 0, 1, true},
        // Where an owner cannot be judged, it is not trusted.
        {"in use, in a folder SYSTEM owns, its SID not made",
         [] {
             HeldInDataOwnedBy("S-1-5-18");
             sim::FailCall("AllocateAndInitializeSid", {.error = ERROR_NOT_ENOUGH_MEMORY});
         },
         kQueueFailed, 0, 0, true},
        {"in use, its folder's owner not read",
         [] {
             HeldInDataOwnedBy("S-1-5-32-544");
             sim::FailCall("GetSecurityInfo", {.error = ERROR_ACCESS_DENIED});
         },
         kQueueFailed, 0, 0, true},
        {"in use, in a folder a standard user owns, the tool's own user not read",
         [] {
             HeldInDataOwnedBy(sim::kStandardUserSid);
             sim::FailCall("OpenProcessToken", {.error = ERROR_ACCESS_DENIED});
         },
         kQueueFailed, 0, 0, true},
        {"in use, its file id not read",
         [] {
             HeldInDataOwnedBy("S-1-5-32-544");
             sim::FailCall("NtQueryInformationFile",
                           {.error = static_cast<DWORD>(kNtAccessDenied), .skip = 1, .subject = "f.txt"});
         },
         kQueueFailed, 0, 0, true},
        {"in use, its attributes not read",
         [] {
             HeldInDataOwnedBy("S-1-5-32-544");
             sim::FailCall("NtQueryInformationFile",
                           {.error = static_cast<DWORD>(kNtAccessDenied), .skip = 2, .subject = "f.txt"});
         },
         kQueueFailed, 0, 0, true},
        {"not found in its folder's listing",
         [] {
             sim::PlantFile("C:\\Data\\f.txt");
             sim::FailCall("NtQueryDirectoryFile", {.error = static_cast<DWORD>(kNtAccessDenied), .subject = "Data"});
         },
         kFileRefused, 0, 0, true},
        {"read-only", [] { sim::PlantFile("C:\\Data\\f.txt", "", FILE_ATTRIBUTE_READONLY); }, kFileRefused, 0, 0, true},
        {"a folder", [] { sim::PlantFolder("C:\\Data\\f.txt"); }, kFileRefused, 0, 0, true},
        {"a link, in use: the link is queued",
         [] {
             sim::PlantLink("C:\\Data\\f.txt", "C:\\Victim\\v.txt", false, IO_REPARSE_TAG_SYMLINK);
             sim::HoldOpenElsewhere("C:\\Data\\f.txt");
         },
         0, 0, 1, true},
    };
    for (const Case &c : cases) {
        sim::Reset();
        std::memset(&g_run.tally, 0, sizeof g_run.tally);
        c.plant();
        EXPECT_EQ(Run({"4\\C:\\Data\\f.txt"}), c.status) << c.name;
        EXPECT_EQ(g_run.tally.files, c.files) << c.name;
        EXPECT_EQ(g_run.tally.filesQueued, c.queued) << c.name;
        EXPECT_EQ(sim::Exists("C:\\Data\\f.txt"), c.remains) << c.name;
        sim::Restart();
        EXPECT_EQ(sim::Exists("C:\\Data\\f.txt"), c.remains && c.queued == 0) << c.name << ", after the restart";
    }
}

TEST_F(RemoveFoldersTest, DriverFileIsReachedWithRedirectionOffOnlyUnderWow64) {
    const std::string driver = "C:\\Windows\\System32\\drivers\\z.sys";
    sim::PlantFile(driver, "", FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(Run({"3\\z.sys"}), kFileRefused) << "reached, refused, and redirection turned back on";

    SetFileAttributesA(driver.c_str(), FILE_ATTRIBUTE_NORMAL);
    sim::RemoveExport("kernel32.dll", "Wow64RevertWow64FsRedirection");
    EXPECT_EQ(Run({"3\\z.sys"}), 0) << "without the switch the entry is skipped";
    sim::Reset();
    sim::PlantFile(driver);
    sim::FailCall("Wow64DisableWow64FsRedirection", {.error = ERROR_INVALID_FUNCTION});
    EXPECT_EQ(Run({"3\\z.sys"}), 0);
    EXPECT_TRUE(sim::Exists(driver));

    // Without IsWow64Process the program deletes in place, where WOW64 sends
    // it to the absent SysWOW64\drivers: the file is taken as gone.
    sim::RemoveExport("kernel32.dll", "IsWow64Process");
    EXPECT_EQ(Run({"3\\z.sys"}), 0);
    EXPECT_TRUE(sim::Exists(driver));
    // A 32-bit Windows has no redirection.
    sim::Reset();
    sim::PlantFile(driver);
    sim::SetWow64Process(false);
    EXPECT_EQ(Run({"3\\z.sys"}), 0);
    EXPECT_FALSE(sim::Exists(driver));
    EXPECT_EQ(g_run.tally.files, 1u);
}

TEST_F(RemoveFoldersTest, AnyFailingEntryFailsTheStage) {
    sim::PlantFile("C:\\Data\\ro.txt", "", FILE_ATTRIBUTE_READONLY);
    sim::PlantFile("C:\\Data\\ok.txt");
    EXPECT_EQ(Run({"4\\C:\\Data\\ro.txt", "4\\C:\\Data\\ok.txt"}), kFileRefused);
    EXPECT_FALSE(sim::Exists("C:\\Data\\ok.txt"));

    // Inside a tree too, a later subfolder's success keeps an earlier failure.
    sim::PlantFile("C:\\Data\\Tree\\A\\a.txt");
    sim::HoldOpenElsewhere("C:\\Data\\Tree\\A\\a.txt");
    sim::FailCall("MoveFileExW", {.error = ERROR_ACCESS_DENIED});
    sim::PlantFile("C:\\Data\\Tree\\B\\b.txt");
    EXPECT_EQ(Run({"5\\C:\\Data\\Tree"}), kQueueFailed);
    EXPECT_FALSE(sim::Exists("C:\\Data\\Tree\\B"));
}

TEST_F(RemoveFoldersTest, LinksAreRemovedAsLinksAndNeverEntered) {
    sim::PlantFile("C:\\Elsewhere\\keep.txt");
    sim::PlantFile("C:\\Elsewhere\\file.txt");
    sim::PlantLink("C:\\ProgramData\\Zeltra\\dirlink", "C:\\Elsewhere", true, IO_REPARSE_TAG_MOUNT_POINT);
    sim::PlantLink("C:\\ProgramData\\Zeltra\\filelink", "C:\\Elsewhere\\file.txt", false);
    sim::PlantLink("C:\\ProgramData\\Listed", "C:\\Elsewhere", true);
    ASSERT_EQ(GetFileAttributesA("C:\\ProgramData\\Listed"), FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT);
    // Reparse points that keep data elsewhere name nothing: files and folders.
    sim::PlantFile("C:\\ProgramData\\Zeltra\\cloud.txt");
    sim::PlantReparseData("C:\\ProgramData\\Zeltra\\cloud.txt", 0x9000001Au);
    sim::PlantFile("C:\\ProgramData\\Zeltra\\dedup\\d.txt");
    sim::PlantReparseData("C:\\ProgramData\\Zeltra\\dedup", 0x80000013u);

    EXPECT_EQ(Run({"6\\Zeltra", "6\\Listed"}), 0);
    EXPECT_EQ(NewLog(),
              "FILENAME:: cloud.txt\r\nSUCCESS:: Deleted\r\n" +
                  OneFileFolder("C:\\ProgramData\\Zeltra\\dedup", "d.txt") +
                  "DIRNAME:: C:\\ProgramData\\Zeltra\\dirlink\r\n"
                  "INFO:: (Reparse Point) Removing Link Only\r\nINFO:: (Deleting Dir) 18\r\nSUCCESS:: Deleted\r\n"
                  "FILENAME:: filelink\r\nINFO:: (Reparse Point) Removing Link Only\r\nSUCCESS:: Deleted\r\n"
                  "DIRNAME:: C:\\ProgramData\\Zeltra\r\nINFO:: (Deleting Dir) 18\r\nSUCCESS:: Deleted\r\n"
                  "DIRNAME:: C:\\ProgramData\\Listed\r\n"
                  "INFO:: (Reparse Point) Removing Link Only\r\nINFO:: (Deleting Dir) 18\r\nSUCCESS:: Deleted\r\n");
    EXPECT_FALSE(sim::Exists("C:\\ProgramData\\Zeltra"));
    EXPECT_FALSE(sim::Exists("C:\\ProgramData\\Listed"));
    EXPECT_EQ(sim::FolderEntries("C:\\Elsewhere"), (std::vector<std::string>{"file.txt", "keep.txt"}));
    EXPECT_EQ(g_run.tally.files, 7u) << "each link counts as what it stands for";
}

// `folder` extended to `length` characters by names of up to 250, as a
// file system allows them.
std::string Extended(std::string folder, size_t length) {
    while (folder.size() < length)
        folder += "\\" + std::string(std::min<size_t>(250, length - folder.size() - 1), 'n');
    return folder;
}

// Everything below a folder, with each file's bytes: what must stay as it was.
std::string TreeSnapshot(const std::string &folder) {
    std::string out;
    for (const std::string &name : sim::FolderEntries(folder)) {
        std::string path = folder + "\\" + name;
        out += path + "=" + sim::FileBytes(path).value_or("<folder>") + "\n" + TreeSnapshot(path);
    }
    return out;
}

// The attacks of a standard user of a server on the product's tree
// ProgramData\Zeltra\Tree (listed as "6\Zeltra\Tree"), which its installer
// made as an administrator, with ProgramData's inherited list: users may add
// files and folders anywhere in it, but neither rename nor remove what they
// did not make. C:\Victim and C:\Decoy (a copy of the tree's shape) lie
// outside it; ProgramData\Attacker is the user's own folder, where what they
// move away goes. The user acts through the machine's rules: where Windows
// refuses them, the attack fails.
const char kTree[] = "C:\\ProgramData\\Zeltra\\Tree";
const char kAttacker[] = "C:\\ProgramData\\Attacker\\";
constexpr DWORD kInherit = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;

void PlantAttackTree(bool usersVendorFolder = false) {
    sim::PlantWindowsServerLayout();
    // The folder above the tree made by the user before the product's install.
    if (usersVendorFolder)
        sim::AsUser([] { CreateDirectoryA("C:\\ProgramData\\Zeltra", nullptr); });
    // What the attack is for: folders the user may read, but not change.
    for (const char *outside : {"C:\\Victim", "C:\\Decoy"}) {
        sim::PlantFolder(outside);
        sim::SetFileSecurity(outside,
                             {"S-1-5-32-544",
                              std::vector<sim::AccessEntry>{
                                  {"S-1-5-32-544", FILE_ALL_ACCESS, GRANT_ACCESS, kInherit},
                                  {"S-1-5-32-545", FILE_GENERIC_READ | FILE_GENERIC_EXECUTE, GRANT_ACCESS, kInherit}},
                              true});
    }
    for (const char *file : {"C:\\ProgramData\\Zeltra\\Tree\\a.txt", "C:\\ProgramData\\Zeltra\\Tree\\sub\\b.txt",
                             "C:\\ProgramData\\Zeltra\\Tree\\sub\\deep\\c.txt", "C:\\ProgramData\\Zeltra\\Tree\\z.txt",
                             "C:\\Victim\\v.txt", "C:\\Victim\\sub\\w.txt", "C:\\Decoy\\Tree\\d.txt"})
        sim::PlantFile(file, "keep");
    sim::AsUser([] { CreateDirectoryA(kAttacker, nullptr); });
}

// The user makes the folder at `path` a junction to `target`: opened for
// writing and made a mount point. False where Windows refuses.
bool MountOn(const std::string &path, const std::string &target) {
    bool made = false;
    sim::AsUser([&] {
        HANDLE folder = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        made = folder != INVALID_HANDLE_VALUE && SetMountPoint(folder, target);
        if (folder != INVALID_HANDLE_VALUE)
            CloseHandle(folder);
    });
    return made;
}

// The user makes a junction at `path` to `target`: a new folder of theirs.
bool MakeJunction(const std::string &path, const std::string &target) {
    bool created = false;
    sim::AsUser([&] { created = CreateDirectoryA(path.c_str(), nullptr); });
    return created && MountOn(path, target);
}

// The user moves the item at `path`, if there is one and it is not a link
// already, into their folder and makes a junction in its place.
bool SwapForJunction(const std::string &path, const std::string &target) {
    bool link = false;
    sim::AsUser([&] {
        const DWORD attributes = GetFileAttributesA(path.c_str());
        link = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
        if (!link)
            MoveFileExA(path.c_str(), (kAttacker + std::to_string(sim::FileCalls())).c_str(), 0);
    });
    return !link && MakeJunction(path, target);
}

// A file the user makes.
void UserFile(const std::string &path) {
    sim::AsUser([&] { CloseHandle(CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr)); });
}

// The best-fit twin of the tree's "Victim", by its wide name, which has no ANSI form.
const std::u16string kTwin = u"C:\\ProgramData\\Zeltra\\Tree\\\uFF36ictim";

void UserFile(const std::u16string &path) {
    sim::AsUser([&] {
        CloseHandle(CreateFileW(reinterpret_cast<const WCHAR *>(path.c_str()), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0,
                                nullptr));
    });
}

// What the user made in the tree before the run: a folder with a file, and a file.
void PlantUsersOwn() {
    sim::AsUser([] { CreateDirectoryA((std::string(kTree) + "\\Mine").c_str(), nullptr); });
    UserFile(std::string(kTree) + "\\Mine\\m.txt");
    UserFile(std::string(kTree) + "\\mine.txt");
}

// The product's folder not there (yet): the user makes it a junction.
void ProductFolderMadeAJunction() {
    sim::RemoveTree("C:\\ProgramData\\Zeltra");
    ASSERT_TRUE(MakeJunction("C:\\ProgramData\\Zeltra", "C:\\Decoy"));
}

// The installer's folder above the tree (Administrators' own, with
// ProgramData's inherited list), emptied as an earlier entry of the run
// empties it: the user makes it a junction, which stays Administrators'.
void VendorFolderMadeAJunction() {
    sim::RemoveTree(kTree);
    sim::SetFileOwner("C:\\ProgramData\\Zeltra", "S-1-5-32-544");
    ASSERT_TRUE(MountOn("C:\\ProgramData\\Zeltra", "C:\\Decoy"));
}

struct Swap {
    const char *name;
    std::function<bool()> act; // true when Windows let the user do it all
};
const Swap kSwaps[] = {
    {"subfolder to junction", [] { return SwapForJunction(std::string(kTree) + "\\sub", "C:\\Victim"); }},
    {"deeper folder to junction",
     [] { return SwapForJunction(std::string(kTree) + "\\sub\\deep", "C:\\Victim\\sub"); }},
    {"file to symbolic link",
     [] {
         const std::string file = std::string(kTree) + "\\z.txt";
         BOOLEAN linked = FALSE;
         sim::AsUser([&] {
             DeleteFileA(file.c_str());
             linked = CreateSymbolicLinkA(file.c_str(), "C:\\Victim\\v.txt", 0);
         });
         return linked != FALSE;
     }},
    {"file to junction", [] { return SwapForJunction(std::string(kTree) + "\\a.txt", "C:\\Victim"); }},
    {"twin beside a link",
     [] {
         bool made = MakeJunction(std::string(kTree) + "\\Victim", "C:\\Victim");
         if (made)
             sim::HoldOpenElsewhere(std::string(kTree) + "\\Victim");
         sim::AsUser([&] { made = CreateDirectoryW(reinterpret_cast<const WCHAR *>(kTwin.c_str()), nullptr) && made; });
         return made;
     }},
    {"listed folder to junction", [] { return SwapForJunction(kTree, "C:\\Victim"); }},
    {"ancestor to junction", [] { return SwapForJunction("C:\\ProgramData\\Zeltra", "C:\\Decoy"); }},
    {"their own folder to junction", [] { return SwapForJunction(std::string(kTree) + "\\Mine", "C:\\Victim"); }},
    {"their own file to junction", [] { return SwapForJunction(std::string(kTree) + "\\mine.txt", "C:\\Victim"); }},
};

// Every line the stage may write for this entry, whatever the attacker did.
bool IsStageLine(const std::string &line) {
    for (const char *form : {"FILENAME:: ", "DIRNAME:: ", "INFO:: (Deleting Dir) ", "INFO:: (Deleting file) ",
                             "ERROR:: (Invalid Path) C:\\ProgramData\\Zeltra\\Tree", "SUCCESS:: Deleted",
                             "Marked for Deletion", "INFO:: (Reparse Point) Removing Link Only"})
        if (line.compare(0, std::strlen(form), form) == 0)
            return line.find("C:\\Victim") == std::string::npos && line.find("C:\\Decoy") == std::string::npos;
    return false;
}

// A file in use deep in the tree and one the user holds in their own
// folder, queued for the restart through the tree's folders, and a file of
// the same name wherever a swap (of the listed folder, its ancestor, sub,
// deep or the user's folder) would lead a queued path.
void PlantHeldFile() {
    sim::PlantFile(std::string(kTree) + "\\sub\\deep\\busy.txt", "keep");
    sim::HoldOpenElsewhere(std::string(kTree) + "\\sub\\deep\\busy.txt");
    UserFile(std::string(kTree) + "\\Mine\\busy.txt");
    sim::HoldOpenElsewhere(std::string(kTree) + "\\Mine\\busy.txt");
    for (const char *twin : {"C:\\Victim\\busy.txt", "C:\\Victim\\sub\\busy.txt", "C:\\Victim\\deep\\busy.txt",
                             "C:\\Victim\\sub\\deep\\busy.txt", "C:\\Decoy\\Tree\\sub\\deep\\busy.txt"})
        sim::PlantFile(twin, "keep");
}

// Files named like the listed single file wherever a swap would lead its
// path: of sub, of the tree, of its ancestor.
void PlantListedFileTwins() {
    for (const char *twin : {"C:\\Victim\\b.txt", "C:\\Victim\\sub\\b.txt", "C:\\Decoy\\Tree\\sub\\b.txt"})
        sim::PlantFile(twin, "keep");
}

// Handles the user opened before the run, on their own folder in the tree
// and on a file in it that they hold without delete sharing.
HANDLE g_usersFolder, g_usersFile;

void HoldOwnFolderAndFile() {
    sim::PlantFile("C:\\Victim\\held.txt", "keep");
    sim::AsUser([] {
        CreateDirectoryA((std::string(kTree) + "\\Mine").c_str(), nullptr);
        g_usersFolder = CreateFileA((std::string(kTree) + "\\Mine").c_str(), GENERIC_WRITE | DELETE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        g_usersFile = CreateFileA((std::string(kTree) + "\\Mine\\held.txt").c_str(), GENERIC_WRITE | DELETE,
                                  FILE_SHARE_READ, nullptr, CREATE_NEW, 0, nullptr);
    });
}

// After the run, through those handles: the file moved out, and the folder,
// if that emptied it, made a junction to where a file of that name is.
// Returns 0 when the file could not be moved, 1 when it was, 2 when the
// junction was made too.
int EmptyOwnFolderAndMountIt() {
    int done = 0;
    sim::AsUser([&] {
        std::u16string to = u"C:\\ProgramData\\Attacker\\held.txt";
        std::vector<BYTE> info(sizeof(FILE_RENAME_INFO) + to.size() * sizeof(WCHAR));
        auto *rename = reinterpret_cast<FILE_RENAME_INFO *>(info.data());
        rename->FileNameLength = static_cast<DWORD>(to.size() * sizeof(WCHAR));
        std::memcpy(rename->FileName, to.data(), rename->FileNameLength);
        if (SetFileInformationByHandle(g_usersFile, FileRenameInfo, rename, static_cast<DWORD>(info.size())))
            done = SetMountPoint(g_usersFolder, "C:\\Victim") ? 2 : 1;
    });
    return done;
}

// The user after the run, before the restart, tries each folder on the
// queued path, deepest first, and their own folder: moves it away and puts
// a junction in its place.
void SwapWhereAUserMay() {
    const std::string tree = kTree;
    for (const std::string &path : {tree + "\\sub\\deep", tree + "\\sub", tree, tree + "\\Mine"})
        if (SwapForJunction(path, path == tree + "\\sub\\deep" ? "C:\\Victim\\sub" : "C:\\Victim"))
            return;
    SwapForJunction("C:\\ProgramData\\Zeltra", "C:\\Decoy");
}

// For every call of the file system the walk makes, each swap tried just
// before that call (or after the walk: too late), then the user's swap on
// the queued path and the restart: nothing outside the tree changes, every
// handle is closed, and the log has only the stage's lines. The tree alone,
// with a file in use deep in it (the attacks on the restart queue), and a
// single listed file in it (the same guarantee without a walk). The
// machine decides which swaps the user may make; some it must let through.
struct SweepMode {
    const char *name;
    const char *entry;
    std::function<void()> before; // what the user holds from before the run
    std::string removed;
    bool usersVendorFolder = false;
    LONG status = 0;
    std::function<int()> after = nullptr; // what the user does through it after the run
};
const SweepMode kSweepModes[] = {
    {"the tree", "6\\Zeltra\\Tree", [] {}, kTree},
    {"held", "6\\Zeltra\\Tree", PlantHeldFile, std::string(kTree) + "\\sub\\deep\\c.txt"},
    {"single file", "7\\Zeltra\\Tree\\sub\\b.txt", [] {}, std::string(kTree) + "\\sub\\b.txt"},
    {"held below their own folder", "6\\Zeltra\\Tree", PlantHeldFile, std::string(kTree) + "\\a.txt", true,
     kQueueFailed},
    {"their handles from before", "6\\Zeltra\\Tree", HoldOwnFolderAndFile, std::string(kTree) + "\\sub\\deep\\c.txt",
     false, 0, EmptyOwnFolderAndMountIt},
};

// One mode of the sweep per test, which ctest runs side by side.
class SwapSweep : public RemoveFoldersTest, public ::testing::WithParamInterface<size_t> {};

TEST_P(SwapSweep, NoSwapAtAnyMomentReachesOutsideTheTree) {
    const SweepMode &mode = kSweepModes[GetParam()];
    unsigned points = 0, allowed = 0;
    auto plant = [&] {
        FreshMachine();
        PlantAttackTree(mode.usersVendorFolder);
        PlantUsersOwn();
        mode.before();
        PlantListedFileTwins();
    };
    plant();
    const std::string victim = TreeSnapshot("C:\\Victim"), decoy = TreeSnapshot("C:\\Decoy");
    unsigned first = sim::FileCalls() + 1;
    ASSERT_EQ(Run({mode.entry}), mode.status);
    unsigned last = sim::FileCalls() + 1; // one past the walk: a swap that comes too late
    ASSERT_FALSE(sim::Exists(mode.removed));
    for (const Swap &swap : kSwaps) {
        for (unsigned k = first; k <= last; ++k, ++points) {
            plant();
            bool tried = false;
            auto attack = [&] {
                if (!std::exchange(tried, true))
                    allowed += swap.act() ? 1 : 0;
            };
            sim::AtCall("", sim::FileCalls() + (k - first) + 1, attack);
            Run({mode.entry});
            attack();
            if (mode.after)
                mode.after();
            SwapWhereAUserMay();
            sim::Restart();
            std::string where = std::string(swap.name) + " before call " + std::to_string(k - first + 1);
            EXPECT_EQ(TreeSnapshot("C:\\Victim"), victim) << where;
            EXPECT_EQ(TreeSnapshot("C:\\Decoy"), decoy) << where;
            std::string log = NewLog();
            for (size_t at = 0, end; (end = log.find("\r\n", at)) != std::string::npos; at = end + 2)
                EXPECT_TRUE(IsStageLine(log.substr(at, end - at))) << where << ": " << log.substr(at, end - at);
        }
    }
    EXPECT_GT(allowed, 0u) << "the user's own items can be swapped";
    RecordProperty("swap_points", static_cast<int>(points));
    RecordProperty("swaps_allowed", static_cast<int>(allowed));
}

INSTANTIATE_TEST_SUITE_P(Modes, SwapSweep, ::testing::Range<size_t>(0, std::size(kSweepModes)),
                         [](const ::testing::TestParamInfo<size_t> &info) {
                             std::string name = kSweepModes[info.param].name;
                             for (char &c : name)
                                 c = c == ' ' ? '_' : c;
                             return name;
                         });

// The lines of the attack tree's sub, sub\deep and z.txt, then of the tree
// itself, its "(Deleting Dir)" line ending with `treeEnd`.
std::string RestOfAttackTree(const std::string &treeEnd) {
    return OneFileFolder(std::string(kTree) + "\\sub\\deep", "c.txt")
               .insert(0, "FILENAME:: b.txt\r\nSUCCESS:: Deleted\r\n") +
           "DIRNAME:: C:\\ProgramData\\Zeltra\\Tree\\sub\r\nINFO:: (Deleting Dir) 18\r\nSUCCESS:: Deleted\r\n"
           "FILENAME:: z.txt\r\nSUCCESS:: Deleted\r\nDIRNAME:: C:\\ProgramData\\Zeltra\\Tree\r\nINFO:: (Deleting "
           "Dir) " +
           treeEnd;
}

// The attacks one by one, each at the moment that defeats a path-based walk.
TEST_F(RemoveFoldersTest, PlantedLinksAndTwinsDeleteNothingOutside) {
    struct Case {
        const char *name;
        std::function<void()> plant;
        const char *entry;
        LONG status;
        std::string log;
        std::function<void()> after = nullptr; // the user's doing after the run
    } cases[] = {
        // The twin's file in use is queued by its exact wide names: its ANSI
        // path names the link, which stays read-only at the restart, and
        // the victim's file of that name would go.
        {"best-fit twin holding a file in use beside a read-only link",
         [] {
             const std::string link = std::string(kTree) + "\\Victim", twin = std::string(kTree) + "\\\uFF36ictim";
             MakeJunction(link, "C:\\Victim");
             sim::AsUser([&] {
                 SetFileAttributesA(link.c_str(), FILE_ATTRIBUTE_READONLY);
                 CreateDirectoryW(reinterpret_cast<const WCHAR *>(kTwin.c_str()), nullptr);
             });
             UserFile(kTwin + u"\\busy.txt");
             sim::HoldOpenElsewhere(twin + "\\busy.txt");
             sim::PlantFile("C:\\Victim\\busy.txt", "keep");
         },
         "6\\Zeltra\\Tree", 0,
         "FILENAME:: a.txt\r\nSUCCESS:: Deleted\r\n" +
             OneFileFolder(std::string(kTree) + "\\sub\\deep", "c.txt")
                 .insert(0, "FILENAME:: b.txt\r\nSUCCESS:: Deleted\r\n") +
             "DIRNAME:: C:\\ProgramData\\Zeltra\\Tree\\sub\r\nINFO:: (Deleting Dir) 18\r\nSUCCESS:: Deleted\r\n"
             "DIRNAME:: C:\\ProgramData\\Zeltra\\Tree\\Victim\r\nINFO:: (Reparse Point) Removing Link Only\r\n"
             "INFO:: (Deleting Dir) 5\r\nMarked for Deletion\r\nFILENAME:: z.txt\r\nSUCCESS:: Deleted\r\n"
             "FILENAME:: busy.txt\r\nINFO:: (Deleting file) 32\r\nMarked for Deletion\r\n"
             "DIRNAME:: C:\\ProgramData\\Zeltra\\Tree\\Victim\r\nINFO:: (Deleting Dir) 145\r\nMarked for Deletion\r\n"
             "DIRNAME:: C:\\ProgramData\\Zeltra\\Tree\r\nINFO:: (Deleting Dir) 145\r\nMarked for Deletion\r\n"},
        {"best-fit twin beside a held link, no race",
         [] {
             kSwaps[4].act();
             UserFile(kTwin + u"\\t.txt");
         },
         "6\\Zeltra\\Tree", 0,
         // The link is queued as the link it is; the twin, logged by its
         // ANSI form, is emptied and removed through its own handle.
         "FILENAME:: a.txt\r\nSUCCESS:: Deleted\r\n" +
             OneFileFolder(std::string(kTree) + "\\sub\\deep", "c.txt")
                 .insert(0, "FILENAME:: b.txt\r\nSUCCESS:: Deleted\r\n") +
             "DIRNAME:: C:\\ProgramData\\Zeltra\\Tree\\sub\r\nINFO:: (Deleting Dir) 18\r\nSUCCESS:: Deleted\r\n"
             "DIRNAME:: C:\\ProgramData\\Zeltra\\Tree\\Victim\r\nINFO:: (Reparse Point) Removing Link Only\r\n"
             "INFO:: (Deleting Dir) 32\r\nMarked for Deletion\r\nFILENAME:: z.txt\r\nSUCCESS:: Deleted\r\n" +
             OneFileFolder(std::string(kTree) + "\\Victim", "t.txt") +
             "DIRNAME:: C:\\ProgramData\\Zeltra\\Tree\r\nINFO:: (Deleting Dir) 145\r\nMarked for Deletion\r\n"},
        // Opens: Zeltra, Tree, a.txt (deleted), then the user's folder:
        // swapped after the listing.
        {"the user's folder swapped for a junction after the first deletion",
         [] {
             sim::AsUser([] { CreateDirectoryA((std::string(kTree) + "\\Mine").c_str(), nullptr); });
             UserFile(std::string(kTree) + "\\Mine\\m.txt");
             sim::AtCall("NtCreateFile", 4, [] { ASSERT_TRUE(kSwaps[7].act()); });
         },
         "6\\Zeltra\\Tree", 0,
         "FILENAME:: a.txt\r\nSUCCESS:: Deleted\r\nDIRNAME:: C:\\ProgramData\\Zeltra\\Tree\\Mine\r\n"
         "INFO:: (Reparse Point) Removing Link Only\r\nINFO:: (Deleting Dir) 0\r\nSUCCESS:: Deleted\r\n" +
             RestOfAttackTree("18\r\nSUCCESS:: Deleted\r\n")},
        // Where the product has no folder yet, a user may make one: a junction.
        {"junction above the listed folder", [] { ProductFolderMadeAJunction(); }, "6\\Zeltra\\Tree", kPathRefused,
         "ERROR:: (Invalid Path) C:\\ProgramData\\Zeltra\\Tree\r\n"},
        {"junction above a listed file", [] { ProductFolderMadeAJunction(); }, "7\\Zeltra\\Tree\\d.txt", kPathRefused,
         "ERROR:: (Invalid Path) C:\\ProgramData\\Zeltra\\Tree\\d.txt\r\n"},
        // A folder of theirs held open before the walk took it over, with a
        // file in it they hold: once the file is moved out the folder would
        // be empty, and a mount point through the old handle would lead the
        // queued path to C:\Victim\held.txt.
        {"their folder emptied through handles opened before the run", HoldOwnFolderAndFile, "6\\Zeltra\\Tree", 0,
         "FILENAME:: a.txt\r\nSUCCESS:: Deleted\r\nFILENAME:: held.txt\r\nINFO:: (Deleting file) 32\r\n"
         "Marked for Deletion\r\nDIRNAME:: C:\\ProgramData\\Zeltra\\Tree\\Mine\r\nINFO:: (Deleting Dir) 145\r\n"
         "Marked for Deletion\r\n" +
             RestOfAttackTree("145\r\nMarked for Deletion\r\n"),
         [] { EXPECT_EQ(EmptyOwnFolderAndMountIt(), 1) << "moved out, but the folder keeps the placeholder"; }},
        // Named and owned as Windows' own links are, but deeper than right
        // below the location's folder.
        {"a junction of SYSTEM's named as Windows' own, in the tree",
         [] {
             sim::PlantLink(std::string(kTree) + "\\Desktop", "C:\\Victim", true, IO_REPARSE_TAG_MOUNT_POINT);
             sim::SetFileOwner(std::string(kTree) + "\\Desktop", "S-1-5-18");
         },
         "7\\Zeltra\\Tree\\Desktop\\v.txt", kPathRefused,
         "ERROR:: (Invalid Path) C:\\ProgramData\\Zeltra\\Tree\\Desktop\\v.txt\r\n"},
        // Owned as Windows' own links are, but none of them by its place and name.
        {"the installer's folder above, emptied and made a junction", [] { VendorFolderMadeAJunction(); },
         "6\\Zeltra\\Tree", kPathRefused, "ERROR:: (Invalid Path) C:\\ProgramData\\Zeltra\\Tree\r\n"},
    };
    for (const Case &c : cases) {
        FreshMachine();
        PlantAttackTree();
        c.plant();
        const std::string victim = TreeSnapshot("C:\\Victim"), decoy = TreeSnapshot("C:\\Decoy");
        EXPECT_EQ(Run({c.entry}), c.status) << c.name;
        EXPECT_EQ(NewLog(), c.log) << c.name;
        if (c.after)
            c.after();
        sim::Restart();
        EXPECT_EQ(TreeSnapshot("C:\\Victim"), victim) << c.name;
        EXPECT_EQ(TreeSnapshot("C:\\Decoy"), decoy) << c.name;
    }

    // Windows' own link, by its name and owner, is crossed only into the
    // full path of a lettered drive's folder that a mount point or an
    // absolute symbolic link holds and that fits the path buffer.
    const std::tuple<std::string, DWORD, LONG> targets[] = {
        {"A:\\x", IO_REPARSE_TAG_MOUNT_POINT, 0},
        {"Z:\\x", IO_REPARSE_TAG_SYMLINK, 0},
        {"a:\\x", IO_REPARSE_TAG_MOUNT_POINT, 0},
        {"z:\\x", IO_REPARSE_TAG_MOUNT_POINT, 0},
        {Extended("C:", 1023), IO_REPARSE_TAG_MOUNT_POINT, 0},
        {"@:\\x", IO_REPARSE_TAG_MOUNT_POINT, kPathRefused},
        {"[:\\x", IO_REPARSE_TAG_MOUNT_POINT, kPathRefused},
        {"`:\\x", IO_REPARSE_TAG_MOUNT_POINT, kPathRefused},
        {"{:\\x", IO_REPARSE_TAG_MOUNT_POINT, kPathRefused},
        {Extended("C:", 1024), IO_REPARSE_TAG_MOUNT_POINT, kPathRefused},
        {"C:\\x", 0xA0000019u, kPathRefused},
    };
    for (const auto &[target, tag, status] : targets) {
        FreshMachine();
        sim::PlantLink("C:\\ProgramData\\Desktop", target, true, tag);
        sim::SetFileOwner("C:\\ProgramData\\Desktop", "S-1-5-18");
        EXPECT_EQ(Run({"7\\Desktop\\x.txt"}), status) << target.substr(0, 6) << " " << tag;
    }
    sim::PlantLink("C:\\ProgramData\\Desktop", "C:\\x", true, IO_REPARSE_TAG_MOUNT_POINT);
    sim::FailCall("NtCreateFile", {.error = static_cast<DWORD>(kNtAccessDenied), .subject = "Desktop"});
    EXPECT_EQ(Run({"7\\Desktop\\x.txt"}), kPathRefused) << "a link that cannot be opened";
    // Its data as an administrator may set it: a drive's root is a full
    // path; a drive alone or a path on it that is not full is none.
    for (const auto &[set, status] : {std::pair{"C:\\", 0L}, {"C:", kPathRefused}, {"C:x\\y", kPathRefused}}) {
        FreshMachine();
        sim::PlantFolder("C:\\ProgramData\\Desktop");
        sim::PlantFile("C:\\Tools\\x\\y\\x.txt");
        HANDLE link = CreateFileA("C:\\ProgramData\\Desktop", GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        EXPECT_TRUE(SetMountPoint(link, set)) << set;
        CloseHandle(link);
        sim::SetFileOwner("C:\\ProgramData\\Desktop", "S-1-5-18");
        EXPECT_EQ(Run({"7\\Desktop\\x.txt"}), status) << set;
        EXPECT_TRUE(sim::Exists("C:\\Tools\\x\\y\\x.txt")) << set;
    }
    // A symbolic link whose target is relative to its folder: none either.
    FreshMachine();
    sim::PlantFile("C:\\Victim\\x.txt");
    EXPECT_TRUE(CreateSymbolicLinkA("C:\\ProgramData\\Desktop", "..\\Victim", SYMBOLIC_LINK_FLAG_DIRECTORY));
    sim::SetFileOwner("C:\\ProgramData\\Desktop", "S-1-5-18");
    EXPECT_EQ(Run({"7\\Desktop\\x.txt"}), kPathRefused);
    EXPECT_TRUE(sim::Exists("C:\\Victim\\x.txt"));
    // A file in use whose path through the target no longer fits is not
    // queued by the part that does: that would be its folder.
    FreshMachine();
    const std::string filled = Extended("C:", 1020);
    sim::PlantLink("C:\\ProgramData\\Desktop", filled, true, IO_REPARSE_TAG_MOUNT_POINT);
    sim::SetFileOwner("C:\\ProgramData\\Desktop", "S-1-5-18");
    sim::PlantFile(filled + "\\x.txt");
    sim::HoldOpenElsewhere(filled + "\\x.txt");
    EXPECT_EQ(Run({"7\\Desktop\\x.txt"}), kQueueFailed);
    EXPECT_EQ(sim::RestartQueue(), std::vector<std::string>{});
}

TEST_F(RemoveFoldersTest, NamesThatLeaveTheFolderAreRefused) {
    sim::PlantFile("C:\\victim.txt");
    // Wide names whose ANSI forms hold separators or only dots: fullwidth
    // backslash, solidus and full stop.
    sim::PlantFile("C:\\ProgramData\\Zeltra\\..\uFF3C..\uFF3Cvictim.txt");
    sim::PlantFile("C:\\ProgramData\\Zeltra\\..\uFF0F..\uFF0Fvictim.txt");
    sim::PlantFile("C:\\ProgramData\\Zeltra\\\uFF0E\uFF0E\uFF0E");
    sim::PlantFile("C:\\ProgramData\\Zeltra\\x\uFF3Cvictim.txt");

    EXPECT_EQ(Run({"6\\Zeltra"}), kNameRefused);
    EXPECT_EQ(NewLog(), "ERROR:: (Invalid Name) ../../victim.txt\r\nERROR:: (Invalid Name) ..\\..\\victim.txt\r\n"
                        "ERROR:: (Invalid Name) x\\victim.txt\r\nERROR:: (Invalid Name) ...\r\n"
                        "DIRNAME:: C:\\ProgramData\\Zeltra\r\nINFO:: (Deleting Dir) 145\r\n");
    EXPECT_TRUE(sim::Exists("C:\\victim.txt"));

    // On a double-byte code page a trail byte may have the backslash's code:
    // such a name, in the listing or in an entry, is a name like any other.
    sim::SetAnsiCodePage(932);
    sim::PlantFile("C:\\Data\\\u30BD\\\u30BD.txt");
    sim::PlantFile("C:\\Data\\\u30BD\\\u30BD");
    EXPECT_EQ(Run({"5\\C:\\Data\\\x83\x5C"}), 0);
    EXPECT_EQ(NewLog(),
              "FILENAME:: \x83\x5C\r\nSUCCESS:: Deleted\r\n" + OneFileFolder("C:\\Data\\\x83\x5C", "\x83\x5C.txt"));
    EXPECT_EQ(sim::FolderEntries("C:\\Data"), std::vector<std::string>{});
    // A bare name, in the current folder (the program's, C:\Tools); a lead
    // byte without its trail byte ends the entry.
    sim::PlantFile("C:\\Tools\\Rel\\\u30BD");
    sim::PlantFile("C:\\Tools\\\u30BD");
    EXPECT_EQ(Run({"4\\Rel\\\x83\x5C", "4\\\x83\x5C", "4\\Rel\\\x83"}), 0);
    EXPECT_FALSE(sim::Exists("C:\\Tools\\Rel\\\u30BD"));
    EXPECT_FALSE(sim::Exists("C:\\Tools\\\u30BD"));
    EXPECT_EQ(NewLog(), "");
    // A location whose last trail byte has the backslash's code still
    // needs its separator.
    sim::SetEnvironment("ALLUSERSPROFILE", "C:\\\x83\x5C");
    sim::PlantFile("C:\\\u30BD\\Zeltra\\z.txt");
    EXPECT_EQ(Run({"6\\Zeltra"}), 0);
    EXPECT_EQ(NewLog(), OneFileFolder("C:\\\x83\x5C\\Zeltra", "z.txt"));
    EXPECT_FALSE(sim::Exists("C:\\\u30BD\\Zeltra"));
}

TEST_F(RemoveFoldersTest, PathsThatDoNotFitAreNeverActedOn) {
    // An expansion beyond the path buffer leaves nothing usable in it.
    sim::SetEnvironment("ALLUSERSPROFILE", "C:\\" + std::string(1100, 'p'));
    sim::PlantFolder("C:\\Zeltra");
    EXPECT_EQ(Run({"6\\Zeltra", "7\\Zeltra"}), kNotProcessed);
    EXPECT_EQ(NewLog(), "ERROR:: (Path Too Long) Zeltra\r\nERROR:: (Path Too Long) Zeltra\r\n");
    // One that fills it to its end (1022 characters, the separator, the
    // terminator) is whole, but leaves no room for the entry.
    sim::SetEnvironment("ALLUSERSPROFILE", "C:\\" + std::string(1019, 'p'));
    EXPECT_EQ(Run({"6\\Zeltra"}), kNotProcessed);
    EXPECT_EQ(NewLog(), "");

    // A composed path beyond 511 characters, silently; one of 511 is walked.
    sim::SetEnvironment("ALLUSERSPROFILE", "C:\\" + std::string(502, 'p'));
    EXPECT_EQ(Run({"6\\Zeltra"}), kNotProcessed);
    EXPECT_EQ(NewLog(), "");
    sim::SetEnvironment("ALLUSERSPROFILE", "C:\\" + std::string(501, 'p'));
    EXPECT_EQ(Run({"6\\Zeltra"}), 0);
    EXPECT_EQ(NewLog().substr(511), "INFO:: (Deleting Dir) 3\r\n");

    // A complete path is not composed: a file's may pass the buffer, and is
    // walked name by name; a folder's, which its walk extends, may not.
    const std::string longer = Extended("C:", 1200);
    sim::PlantFile(longer);
    EXPECT_EQ(Run({"5\\" + longer}), kNotProcessed);
    EXPECT_EQ(Run({"4\\" + longer}), 0);
    EXPECT_FALSE(sim::Exists(longer));
    // Its anchor, all before its last separator, must fit the walk's buffer.
    EXPECT_EQ(Run({"4\\" + std::string(1023, 'a') + "\\f"}), 0);
    EXPECT_EQ(Run({"4\\" + std::string(1024, 'a') + "\\f"}), kFileRefused);
    // A file in use is queued by a full path of up to 1023 characters.
    const std::string widest = Extended("C:", 1023);
    sim::PlantFile(widest);
    sim::HoldOpenElsewhere(widest);
    EXPECT_EQ(Run({"4\\" + widest}), 0);
    EXPECT_EQ(sim::RestartQueue(), std::vector<std::string>{"\\??\\" + widest});
    EXPECT_EQ(NewLog(), "");

    // A tree as deep as its path allows is walked to its end.
    std::string deepest = "C:\\D";
    while (deepest.size() < 800)
        deepest += "\\d";
    sim::PlantFile(deepest + "\\f");
    EXPECT_EQ(Run({"5\\C:\\D"}), 0);
    EXPECT_FALSE(sim::Exists("C:\\D"));
    NewLog();

    // A child whose path would pass 1023 characters.
    const std::string deep = "C:\\" + std::string(1000, 'd');
    const std::string name = std::string(30, 'n') + ".txt";
    sim::PlantFile(deep + "\\" + name);
    EXPECT_EQ(Run({"5\\" + deep}), kNotProcessed);
    EXPECT_EQ(NewLog(), "ERROR:: (Path Too Long) " + name + "\r\n" + ("DIRNAME:: " + deep).substr(0, 511) +
                            "INFO:: (Deleting Dir) 145\r\n");
    EXPECT_TRUE(sim::Exists(deep + "\\" + name));

    // A folder is listed while "<folder>\*" fits: at 1021 characters, not
    // at 1022. A name may be longer in the ANSI code page than wide: ten
    // katakana, twenty bytes, pass the path there.
    DeleteFileA((deep + "\\" + name).c_str());
    for (size_t length : {17, 18})
        sim::PlantFolder(deep + "\\" + std::string(length, 'f'));
    EXPECT_EQ(Run({"5\\" + deep}), kNotProcessed);
    EXPECT_FALSE(sim::Exists(deep + "\\" + std::string(17, 'f')));
    EXPECT_TRUE(sim::Exists(deep + "\\" + std::string(18, 'f')));
    RemoveDirectoryA((deep + "\\" + std::string(18, 'f')).c_str());
    sim::SetAnsiCodePage(932);
    std::string katakana, ansi;
    for (int i = 0; i < 10; ++i) {
        katakana += "\u30BD";
        ansi += "\x83\x5C";
    }
    sim::PlantFile(deep + "\\" + katakana);
    NewLog();
    EXPECT_EQ(Run({"5\\" + deep}), kNotProcessed);
    EXPECT_EQ(NewLog().substr(0, 46), "ERROR:: (Path Too Long) " + ansi + "\r\n");
    EXPECT_TRUE(sim::Exists(deep + "\\" + katakana));

    // Through Windows' own "Start Menu" link, whose target is 18 characters
    // longer, a path may fit as the log shows it but not by the names that
    // are queued: 1023 wide characters fit, 1024 do not.
    sim::PlantWindowsServerLayout();
    sim::SetEnvironment("ALLUSERSPROFILE", "C:\\ProgramData");
    const std::string menu = "C:\\ProgramData\\Microsoft\\Windows\\Start Menu\\Z";
    for (size_t length : {1023, 1024})
        sim::PlantFile(Extended(menu, length));
    EXPECT_EQ(Run({"6\\Start Menu\\Z"}), kNotProcessed);
    EXPECT_FALSE(sim::Exists(Extended(menu, 1023)));
    EXPECT_TRUE(sim::Exists(Extended(menu, 1024)));
    const std::string kept = Extended(menu, 1024);
    EXPECT_NE(NewLog().find("ERROR:: (Path Too Long) " + kept.substr(kept.rfind('\\') + 1) + "\r\n"),
              std::string::npos);
}

TEST_F(RemoveFoldersTest, PathsWiderThanTheirEntryAreRefused) {
    sim::PlantFile("C:\\victim.txt");
    sim::PlantFile("C:\\ProgramData\\keep.txt");
    EXPECT_EQ(Run({"6\\", "6\\.", "6\\a\\..\\..", "6\\a\\\\b", "4\\C:\\Data\\..\\victim.txt", "5\\", "5\\C:\\Data\\"}),
              kPathRefused);
    EXPECT_EQ(NewLog(), "ERROR:: (Invalid Path) C:\\ProgramData\\\r\n"
                        "ERROR:: (Invalid Path) C:\\ProgramData\\.\r\n"
                        "ERROR:: (Invalid Path) C:\\ProgramData\\a\\..\\..\r\n"
                        "ERROR:: (Invalid Path) C:\\ProgramData\\a\\\\b\r\n"
                        "ERROR:: (Invalid Path) C:\\Data\\..\\victim.txt\r\n"
                        "ERROR:: (Invalid Path) \r\n"
                        "ERROR:: (Invalid Path) C:\\Data\\\r\n");
    // A variable read at run time is checked like the listing; a root
    // alone gives one separator before the entry, never a network path.
    for (const char *value : {"", "\\"}) {
        sim::SetEnvironment("ALLUSERSPROFILE", value);
        EXPECT_EQ(Run({"6\\ProgramData"}), kPathRefused);
        EXPECT_EQ(NewLog(), "ERROR:: (Invalid Path) \\ProgramData\r\n") << value;
    }
    // Without ntdll's file calls nothing can be walked by handle.
    sim::FailCall("GetModuleHandleA", {.error = ERROR_MOD_NOT_FOUND, .subject = "ntdll"});
    EXPECT_EQ(Run({"4\\C:\\victim.txt"}), kPathRefused);
    sim::RemoveExport("ntdll.dll", "NtQueryDirectoryFile");
    EXPECT_EQ(Run({"5\\C:\\ProgramData"}), kPathRefused);
    EXPECT_EQ(NewLog(), "ERROR:: (Invalid Path) C:\\victim.txt\r\nERROR:: (Invalid Path) C:\\ProgramData\r\n");
    EXPECT_TRUE(sim::Exists("C:\\victim.txt"));
    EXPECT_TRUE(sim::Exists("C:\\ProgramData\\keep.txt"));
}

TEST_F(RemoveFoldersTest, InstanceFolderVariantLogsOnlyBeforeQueuingAndFailsWithMinusOne) {
    sim::PlantFile("C:\\SQL\\Data\\ok.mdf");
    sim::PlantFile("C:\\SQL\\Data\\busy.ldf");
    sim::HoldOpenElsewhere("C:\\SQL\\Data\\busy.ldf");
    sim::PlantFolder("C:\\SQL\\Empty");
    SetFileAttributesA("C:\\SQL\\Empty", FILE_ATTRIBUTE_READONLY);

    EXPECT_EQ(RemoveFolderTree("C:\\SQL", kInstanceFolderTree), 0);
    EXPECT_EQ(NewLog(), "FILENAME:: busy.ldf\r\nINFO:: (Deleting file) 32\r\nMarked for Deletion\r\n"
                        "FILENAME:: ok.mdf\r\nSUCCESS:: Deleted\r\n"
                        "DIRNAME:: C:\\SQL\\Data\r\nINFO:: (Deleting Dir) 145\r\nMarked for Deletion\r\n"
                        "DIRNAME:: C:\\SQL\\Empty\r\nINFO:: (Deleting Dir) 5\r\nMarked for Deletion\r\n"
                        "DIRNAME:: C:\\SQL\r\nINFO:: (Deleting Dir) 145\r\nMarked for Deletion\r\n");

    EXPECT_EQ(GetFileAttributesA("C:\\SQL\\Empty") & FILE_ATTRIBUTE_READONLY, 0u) << "cleared before it was queued";
    sim::FailCall("MoveFileExW", {.error = ERROR_ACCESS_DENIED, .times = sim::kAlways});
    SetFileAttributesA("C:\\SQL\\Empty", FILE_ATTRIBUTE_READONLY);
    g_run.queuedItemCount = 0; // as in a run of its own
    EXPECT_EQ(RemoveFolderTree("C:\\SQL", kInstanceFolderTree), kNotProcessed);
    EXPECT_EQ(NewLog(), "FILENAME:: busy.ldf\r\nINFO:: (Deleting file) 32\r\nDIRNAME:: C:\\SQL\\Data\r\n"
                        "DIRNAME:: C:\\SQL\\Empty\r\nINFO:: (Deleting Dir) 5\r\nDIRNAME:: C:\\SQL\r\n");

    // Its path is walked from the drive's root: a junction on it ends the removal.
    sim::PlantLink("C:\\Linked", "C:\\SQL", true, IO_REPARSE_TAG_MOUNT_POINT);
    EXPECT_EQ(RemoveFolderTree("C:\\Linked\\Data", kInstanceFolderTree), kPathRefused);
    EXPECT_EQ(NewLog(), "ERROR:: (Invalid Path) C:\\Linked\\Data\r\n");
    EXPECT_EQ(RemoveFolderTree(("C:\\" + std::string(1100, 's')).c_str(), kInstanceFolderTree), kNotProcessed)
        << "a path past the buffer";
    EXPECT_TRUE(sim::Exists("C:\\SQL\\Data\\busy.ldf"));
}

// The shipped stages over the shipped listing, on a Windows 7 style machine
// where "Application Data", "Start Menu" and "Desktop" in ProgramData are
// Windows' own junctions (owned by SYSTEM) to the newer layout: the old
// layout's entries pass through them and remove the folders, and the newer
// layout's entries find them gone. A user's junction there would be refused
// (PlantedLinksAndTwinsDeleteNothingOutside). Run with the services'
// processes ending before the registry stage and after it: the keys of the
// two services that ran are then the registry stage's to delete.
class ProductRemoval : public MachineTest, public ::testing::WithParamInterface<bool> {};

TEST_P(ProductRemoval, DefaultListingRemovesThePlantedProduct) {
    const bool late = GetParam();
    sim::SetServiceProcessesEndLate(late);
    OpenLog();
    g_run.removalMode = 1;

    sim::PlantService("ZeltraWebServer");
    sim::PlantService("ZeltraBizUpdater", {SERVICE_RUNNING, SERVICE_AUTO_START, 2, 0, false});
    sim::PlantService("ZeltraBizClientSetup", {SERVICE_STOPPED, SERVICE_DEMAND_START, 0, 0, false});
    sim::PlantWindowsServerLayout();
    const std::string pf = "C:\\Program Files (x86)\\Zeltra Computing\\";
    sim::PlantFile(pf + "ZeltraBusinessServer\\server.exe");
    sim::PlantFile(pf + "ZeltraBusinessServer\\conf\\server.ini");
    sim::PlantFile(pf + "Other\\keep.txt");
    sim::PlantFile("C:\\ProgramData\\Zeltra Computing\\ZeltraBusinessServer\\data.db");
    sim::HoldOpenElsewhere("C:\\ProgramData\\Zeltra Computing\\ZeltraBusinessServer\\data.db");
    sim::PlantFile("C:\\ProgramData\\Zeltra Computing\\ZeltraBusinessServer\\logs\\a.log");
    sim::PlantFile("C:\\ProgramData\\Zeltra Computing\\ZeltraWS\\ws.log");
    sim::PlantFile("C:\\ProgramData\\Microsoft\\Windows\\Start Menu\\Programs\\Zeltra Enterprise Security\\"
                   "Zeltra Enterprise Security Console.lnk");
    sim::PlantFile("C:\\Users\\Public\\Desktop\\Zeltra Enterprise Security Console.lnk");
    const std::string msi = "C:\\Windows\\Installer\\{5A0C3E71-64B2-4D8F-A1C9-7E32B6D05F48}\\product.msi";
    sim::PlantFile(msi);

    EXPECT_EQ(RunRemoval(reinterpret_cast<HWND>(0x7000)), 0);

    const std::string waiting = "Waiting for ZeltraBizUpdater to Stop.\r\nGoing To Sleep :-0 (Yawn!!!)\r\n";
    const std::string appData = "C:\\ProgramData\\Application Data\\";
    const std::string expected =
        "Acquiring Resources\r\n"
        "/*========== 1:: StopServices ===============*/\r\n"
        "SERVICE_1:: ZeltraWebServer\r\nSUCCESS:: Stopped\r\nSUCCESS:: Deleted\r\n"
        "SERVICE_2:: ZeltraBizUpdater\r\n" +
        waiting + waiting +
        "SUCCESS:: Stopped\r\nSUCCESS:: Deleted\r\n"
        "SERVICE_3:: ZeltraBizClientSetup\r\nINFO:: (Changing Control) 1062\r\nSUCCESS:: Stopped\r\n"
        "SUCCESS:: Deleted\r\n"
        "/*========== 2:: RemoveFolders ===============*/\r\n"
        "File_1:: Zeltra Computing\\ZeltraBusinessServer\r\n" +
        OneFileFolder(pf + "ZeltraBusinessServer\\conf", "server.ini") +
        "FILENAME:: server.exe\r\nSUCCESS:: Deleted\r\n"
        "DIRNAME:: " +
        pf +
        "ZeltraBusinessServer\r\nINFO:: (Deleting Dir) 18\r\nSUCCESS:: Deleted\r\n"
        "FILENAME:: data.db\r\nINFO:: (Deleting file) 32\r\nMarked for Deletion\r\n" +
        OneFileFolder(appData + "Zeltra Computing\\ZeltraBusinessServer\\logs", "a.log") + "DIRNAME:: " + appData +
        "Zeltra Computing\\ZeltraBusinessServer\r\nINFO:: (Deleting Dir) 145\r\nMarked for Deletion\r\n" +
        OneFileFolder(appData + "Zeltra Computing\\ZeltraWS", "ws.log") + "DIRNAME:: " + appData +
        "ZeltraSetup\r\nINFO:: (Deleting Dir) 2\r\n" +
        OneFileFolder("C:\\ProgramData\\Start Menu\\Programs\\Zeltra Enterprise Security",
                      "Zeltra Enterprise Security Console.lnk") +
        // The newer layout's entries: the same folders, with the file in use
        // queued again under this path, the rest gone.
        "FILENAME:: data.db\r\nINFO:: (Deleting file) 32\r\nMarked for Deletion\r\n"
        "DIRNAME:: C:\\ProgramData\\Zeltra Computing\\ZeltraBusinessServer\r\nINFO:: (Deleting Dir) 145\r\n"
        "Marked for Deletion\r\n"
        "DIRNAME:: C:\\ProgramData\\Zeltra Computing\\ZeltraWS\r\nINFO:: (Deleting Dir) 2\r\n"
        "DIRNAME:: C:\\ProgramData\\ZeltraSetup\r\nINFO:: (Deleting Dir) 2\r\n"
        "DIRNAME:: C:\\ProgramData\\Microsoft\\Windows\\Start Menu\\Programs\\Zeltra Enterprise Security\r\n"
        "INFO:: (Deleting Dir) 2\r\n";
    // Later stages append their own lines after their banners.
    std::string log = Log();
    EXPECT_EQ(log.substr(0, log.find("/*========== 3::")), expected);

    EXPECT_EQ(g_run.tally.servicesStopped, 3u);
    EXPECT_EQ(g_run.tally.files, 11u);
    EXPECT_EQ(g_run.tally.filesQueued, 2u) << "the locked file and its folder, once though two rows reach them";
    EXPECT_EQ(g_run.tracesFound, 1);
    ASSERT_EQ(sim::MessageBoxes().size(), 1u);
    EXPECT_EQ(sim::MessageBoxes()[0].text, std::string("Traces Found And Deleted::\r\nFiles = (11)\r\nRegistry = (") +
                                               (late ? "2" : "0") +
                                               ")\r\nServices Stopped = (3)\r\nFiles Queued For Deletion = (2)");
    for (const std::string name : {"ZeltraWebServer", "ZeltraBizUpdater", "ZeltraBizClientSetup"}) {
        EXPECT_FALSE(sim::InstalledService(name)) << name;
        EXPECT_FALSE(sim::KeyExists("HKLM\\SYSTEM\\CurrentControlSet\\Services\\" + name)) << name;
    }
    EXPECT_EQ(sim::FolderEntries("C:\\Program Files (x86)\\Zeltra Computing"), std::vector<std::string>{"Other"});
    EXPECT_EQ(sim::FolderEntries("C:\\ProgramData\\Zeltra Computing\\ZeltraBusinessServer"),
              (std::vector<std::string>{"data.db", "~ZeltraES_RT.tmp"}));
    EXPECT_TRUE(sim::Exists("C:\\Users\\Public\\Desktop"));
    EXPECT_FALSE(sim::Exists("C:\\Users\\Public\\Desktop\\Zeltra Enterprise Security Console.lnk"));
    EXPECT_TRUE(sim::Exists(msi)) << "the listing counts 13 file entries: its 14th line is never read";
    EXPECT_EQ(sim::OpenHandles("service") + sim::OpenHandles("find"), 0u);
    EXPECT_EQ(sim::SleptMilliseconds(), 2000u);
}

INSTANTIATE_TEST_SUITE_P(ServiceKeys, ProductRemoval, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool> &info) {
                             return info.param ? "LeftToTheRegistryStage" : "GoneWithTheirServices";
                         });

} // namespace
