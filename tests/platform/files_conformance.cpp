// File, folder, environment and WOW64 behaviour that the removal of files
// and folders relies on.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "conformance.h"
#include "nt_files.h"

namespace {

using namespace conformance;

// A folder of scratch files, created empty by the test and removed with
// whatever it still holds when the test ends.
class ScratchFolder {
  public:
    explicit ScratchFolder(const char *name) : path_(Scratch(name)) {
        Clear();
        CreateDirectoryA(path_.c_str(), NULL);
    }
    ~ScratchFolder() { Clear(); }
    const std::string &Path() const { return path_; }
    std::string operator/(const char *name) const { return path_ + "\\" + name; }
    // A file holding a few bytes.
    std::string File(const char *name) const {
        std::string path = *this / name;
        HANDLE h = Create(path, GENERIC_WRITE, 0, CREATE_ALWAYS);
        DWORD written = 0;
        WriteFile(h, "bytes", 5, &written, NULL);
        CloseHandle(h);
        return path;
    }

  private:
    void Clear() {
        WIN32_FIND_DATAA data;
        HANDLE find = FindFirstFileA((path_ + "\\*").c_str(), &data);
        if (find != INVALID_HANDLE_VALUE) {
            do {
                std::string name = data.cFileName;
                if (name == "." || name == "..")
                    continue;
                std::string child = path_ + "\\" + name;
                SetFileAttributesA(child.c_str(), FILE_ATTRIBUTE_NORMAL);
                if (!DeleteFileA(child.c_str()))
                    RemoveDirectoryA(child.c_str()); // the tests nest one level only
            } while (FindNextFileA(find, &data));
            FindClose(find);
        }
        RemoveDirectoryA(path_.c_str());
    }
    std::string path_;
};

TEST(Files, CreateAlwaysTruncatesAnExistingFileAndSays183) {
    std::string path = Scratch("truncate.txt");
    HANDLE h = Create(path, GENERIC_WRITE, 0, CREATE_ALWAYS);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD written = kSentinel;
    ASSERT_TRUE(WriteFile(h, "0123456789", 10, &written, NULL));
    EXPECT_EQ(written, 10u);
    CloseHandle(h);

    SetLastError(kSentinel);
    h = Create(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, CREATE_ALWAYS);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    char buffer[16];
    DWORD read = kSentinel;
    ASSERT_TRUE(ReadFile(h, buffer, sizeof buffer, &read, NULL));
    EXPECT_EQ(read, 0u) << "the old contents are gone";
    CloseHandle(h);
    DeleteFileA(path.c_str());
}

TEST(Files, ShareModesDecideWhetherASecondOpenSucceeds) {
    std::string path = Scratch("share.txt");
    HANDLE first = Create(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, CREATE_ALWAYS);
    ASSERT_NE(first, INVALID_HANDLE_VALUE);
    HANDLE second = Create(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING);
    EXPECT_NE(second, INVALID_HANDLE_VALUE) << "the trace log may be read and written by others";
    CloseHandle(second);

    SetLastError(kSentinel);
    HANDLE exclusive = Create(path, GENERIC_READ, 0, OPEN_EXISTING);
    EXPECT_EQ(exclusive, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    CloseHandle(first);
    DeleteFileA(path.c_str());
}

TEST(Files, CreatingInAnAbsentFolderFailsWith3) {
    SetLastError(kSentinel);
    HANDLE h = Create(Scratch("absent\\x.txt"), GENERIC_WRITE, 0, CREATE_ALWAYS);
    EXPECT_EQ(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
}

TEST(Files, ADoubledSeparatorIsAccepted) {
    std::string path = TempFolder() + "\\zrt_conformance_doubled.txt"; // as the trace log's name is built
    HANDLE h = Create(path, GENERIC_WRITE, 0, CREATE_ALWAYS);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
    HANDLE single = Create(Scratch("doubled.txt"), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
    EXPECT_NE(single, INVALID_HANDLE_VALUE) << "the same file as with one separator";
    CloseHandle(single);
    DeleteFileA(path.c_str());
}

TEST(Files, DeleteFileSaysWhyAFileStays) {
    ScratchFolder folder("delete");
    SetLastError(kSentinel);
    EXPECT_FALSE(DeleteFileA((folder / "absent.txt").c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    SetLastError(kSentinel);
    EXPECT_FALSE(DeleteFileA((folder / "absent\\x.txt").c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND)) << "the parent is absent";

    SetLastError(kSentinel);
    EXPECT_FALSE(DeleteFileA(folder.Path().c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED)) << "a folder is no file";

    std::string readOnly = folder.File("read-only.txt");
    ASSERT_TRUE(SetFileAttributesA(readOnly.c_str(), FILE_ATTRIBUTE_READONLY));
    SetLastError(kSentinel);
    EXPECT_FALSE(DeleteFileA(readOnly.c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    ASSERT_TRUE(SetFileAttributesA(readOnly.c_str(), FILE_ATTRIBUTE_NORMAL));
    EXPECT_TRUE(DeleteFileA(readOnly.c_str())) << "deletable once the attribute is cleared";

    std::string held = folder.File("held.txt");
    HANDLE h = Create(held, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    SetLastError(kSentinel);
    EXPECT_FALSE(DeleteFileA(held.c_str())) << "open without FILE_SHARE_DELETE";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    CloseHandle(h);
    EXPECT_TRUE(DeleteFileA(held.c_str())) << "deletable once the handle is closed";
    EXPECT_EQ(GetFileAttributesA(held.c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST(Files, RemoveDirectorySaysWhyAFolderStays) {
    ScratchFolder folder("rmdir");
    std::string file = folder.File("file.txt");
    SetLastError(kSentinel);
    EXPECT_FALSE(RemoveDirectoryA(folder.Path().c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DIR_NOT_EMPTY));
    SetLastError(kSentinel);
    EXPECT_FALSE(RemoveDirectoryA(file.c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DIRECTORY)) << "a file is no folder";
    SetLastError(kSentinel);
    EXPECT_FALSE(RemoveDirectoryA((folder / "absent").c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    SetLastError(kSentinel);
    EXPECT_FALSE(RemoveDirectoryA((folder / "absent\\deeper").c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));

    std::string empty = folder / "empty";
    ASSERT_TRUE(CreateDirectoryA(empty.c_str(), NULL));
    EXPECT_TRUE(RemoveDirectoryA(empty.c_str()));
    EXPECT_EQ(GetFileAttributesA(empty.c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST(Files, ListingAFolderStartsWithDotAndDotDotAndAnAbsentOneSays3) {
    ScratchFolder folder("find");
    folder.File("only.txt");
    WIN32_FIND_DATAA data;
    std::memset(&data, '#', sizeof data);
    HANDLE find = FindFirstFileA((folder.Path() + "\\*").c_str(), &data);
    ASSERT_NE(find, INVALID_HANDLE_VALUE);
    std::vector<std::string> names;
    std::vector<DWORD> attributes;
    do {
        names.push_back(data.cFileName);
        attributes.push_back(data.dwFileAttributes);
        std::memset(&data, '#', sizeof data);
    } while (FindNextFileA(find, &data));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_FILES));
    EXPECT_TRUE(FindClose(find));
    ASSERT_EQ(names, (std::vector<std::string>{".", "..", "only.txt"}));
    EXPECT_TRUE(attributes[0] & FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_TRUE(attributes[1] & FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_FALSE(attributes[2] & FILE_ATTRIBUTE_DIRECTORY);

    SetLastError(kSentinel);
    EXPECT_EQ(FindFirstFileA((folder / "absent\\*").c_str(), &data), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND)) << "not 2: the folder is what is absent";
}

// The native calls of ntdll through which the folder walk acts.
struct Native {
    NtCreateFileFn create;
    NtQueryDirectoryFileFn queryDirectory;
    NtQueryInformationFileFn queryInformation;
    NtSetInformationFileFn setInformation;
    RtlNtStatusToDosErrorFn toDosError;
};

std::vector<WCHAR> Wide(const std::string &ansi) {
    std::vector<WCHAR> wide(ansi.size() + 1, 0);
    int n = MultiByteToWideChar(CP_ACP, 0, ansi.c_str(), -1, wide.data(), static_cast<int>(wide.size()));
    wide.resize(n > 0 ? static_cast<size_t>(n - 1) : 0);
    return wide;
}

// Opens `name` relative to `folder`, as the walk does: the item itself, never
// what a reparse point names; every kind of sharing granted.
NtStatus OpenRelative(const Native &nt, HANDLE folder, std::vector<WCHAR> name, DWORD access, ULONG options,
                      HANDLE *handle) {
    WORD bytes = static_cast<WORD>(name.size() * sizeof(WCHAR));
    NtName wide = {bytes, bytes, name.data()};
    NtObjectAttributes attributes = {sizeof attributes, folder, &wide, kNtCaseInsensitive, NULL, NULL};
    NtIoStatus io;
    std::memset(&io, 0, sizeof io);
    *handle = NULL;
    // Synchronous I/O needs SYNCHRONIZE among the rights asked.
    ULONG synchronous = (access & kSynchronize) ? kNtSynchronousIoNonAlert : 0;
    return nt.create(handle, access, &attributes, &io, NULL, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                     kNtFileOpen, options | kNtOpenReparsePoint | synchronous, NULL, 0);
}

NtStatus Dispose(const Native &nt, HANDLE handle) {
    BYTE deleteFile = TRUE;
    NtIoStatus io;
    return nt.setInformation(handle, &io, &deleteFile, 1, kNtFileDispositionInformation);
}

struct Listed {
    std::vector<WCHAR> name;
    DWORD attributes;
};

// The whole listing of an open folder, from its handle.
NtStatus ListAll(const Native &nt, HANDLE folder, std::vector<Listed> *entries) {
    alignas(8) char buffer[1024];
    NtStatus status;
    for (BYTE restart = TRUE;; restart = FALSE) {
        NtIoStatus io;
        status = nt.queryDirectory(folder, NULL, NULL, NULL, &io, buffer, sizeof buffer,
                                   kNtFileIdFullDirectoryInformation, FALSE, NULL, restart);
        if (status != kNtSuccess)
            return status;
        for (const char *at = buffer;;) {
            const NtDirEntry *entry = reinterpret_cast<const NtDirEntry *>(at);
            entries->push_back({std::vector<WCHAR>(entry->fileName, entry->fileName + entry->fileNameLength / 2),
                                entry->fileAttributes});
            if (entry->nextEntryOffset == 0)
                break;
            at += entry->nextEntryOffset;
        }
    }
}

TEST(Files, NativeCallsOpenByExactWideNameRelativeToAFolderAndDeleteThroughTheHandle) {
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    Native nt = {LOOK_UP_EXPORT(ntdll, NtCreateFile), LOOK_UP_EXPORT(ntdll, NtQueryDirectoryFile),
                 LOOK_UP_EXPORT(ntdll, NtQueryInformationFile), LOOK_UP_EXPORT(ntdll, NtSetInformationFile),
                 LOOK_UP_EXPORT(ntdll, RtlNtStatusToDosError)};
    ASSERT_TRUE(nt.create && nt.queryDirectory && nt.queryInformation && nt.setInformation && nt.toDosError);
    ScratchFolder folder("native");
    folder.File("file.txt");
    std::string readOnly = folder.File("ro.txt");
    ASSERT_TRUE(SetFileAttributesA(readOnly.c_str(), FILE_ATTRIBUTE_READONLY));
    ASSERT_TRUE(CreateDirectoryA((folder / "Victim").c_str(), NULL));
    HANDLE inside = Create(folder / "Victim\\inside.txt", GENERIC_WRITE, 0, CREATE_ALWAYS);
    CloseHandle(inside);
    // A twin: a fullwidth V, whose ANSI form (best fit) is the plain name.
    std::vector<WCHAR> twin = Wide(folder.Path() + "\\");
    const WCHAR twinName[] = {0xFF36, 'i', 'c', 't', 'i', 'm'};
    twin.insert(twin.end(), twinName, twinName + 6);
    twin.push_back(0);
    ASSERT_TRUE(CreateDirectoryW(twin.data(), NULL));
    char ansi[16] = {0};
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, twinName, 6, ansi, sizeof ansi, NULL, NULL), 6);
    EXPECT_STREQ(ansi, "Victim") << "the ANSI listing names both folders alike";

    SetLastError(kSentinel);
    HANDLE h = CreateFileA(folder.Path().c_str(), kFileListDirectory | kSynchronize, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           NULL, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, NULL);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << "a folder opens with backup semantics";
    NtAttributeTag tag = {kSentinel, kSentinel};
    NtIoStatus io;
    EXPECT_EQ(nt.queryInformation(h, &io, &tag, sizeof tag, kNtFileAttributeTagInformation), kNtSuccess);
    EXPECT_EQ(tag.fileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT),
              static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));
    EXPECT_EQ(tag.reparseTag, 0u);

    std::vector<Listed> entries;
    SetLastError(kSentinel);
    NtStatus end = ListAll(nt, h, &entries);
    EXPECT_EQ(end, kNtNoMoreFiles);
    EXPECT_EQ(nt.toDosError(end), static_cast<ULONG>(ERROR_NO_MORE_FILES)) << "what FindNextFileA leaves";
    EXPECT_EQ(GetLastError(), kSentinel) << "the native calls leave the last error alone";
    ASSERT_EQ(entries.size(), 6u);
    EXPECT_EQ(entries[0].name, Wide("."));
    EXPECT_EQ(entries[1].name, Wide(".."));
    EXPECT_EQ(entries[2].name, Wide("file.txt"));
    EXPECT_EQ(entries[4].name, Wide("Victim"));
    EXPECT_EQ(entries[5].name, std::vector<WCHAR>(twinName, twinName + 6)) << "the exact wide name";
    EXPECT_TRUE(entries[5].attributes & FILE_ATTRIBUTE_DIRECTORY);

    // One name looked up: the mask of a handle's first listing.
    HANDLE lookup =
        CreateFileA(folder.Path().c_str(), kFileListDirectory | kSynchronize, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
    std::vector<WCHAR> absent = Wide("absent");
    NtName mask = {12, 12, absent.data()};
    alignas(8) char record[1024];
    EXPECT_EQ(nt.queryDirectory(lookup, NULL, NULL, NULL, &io, record, sizeof record, kNtFileIdFullDirectoryInformation,
                                TRUE, &mask, TRUE),
              kNtNoSuchFile);
    EXPECT_EQ(nt.toDosError(kNtNoSuchFile), static_cast<ULONG>(ERROR_FILE_NOT_FOUND));
    CloseHandle(lookup);

    struct Row {
        const char *name;
        ULONG options;
        NtStatus open, dispose;
        ULONG error; // of the failing step
    } rows[] = {
        {"..", 0, kNtObjectNameInvalid, kNtSuccess, ERROR_INVALID_NAME},
        {"absent", 0, kNtObjectNameNotFound, kNtSuccess, ERROR_FILE_NOT_FOUND},
        {"file.txt", kNtDirectoryFile, kNtNotADirectory, kNtSuccess, ERROR_DIRECTORY},
        {"Victim", kNtNonDirectoryFile, kNtFileIsADirectory, kNtSuccess, ERROR_ACCESS_DENIED},
        {"Victim", kNtDirectoryFile, kNtSuccess, kNtDirectoryNotEmpty, ERROR_DIR_NOT_EMPTY},
        {"ro.txt", kNtNonDirectoryFile, kNtSuccess, kNtCannotDelete, ERROR_ACCESS_DENIED},
        {"ro.txt", kNtNonDirectoryFile | kNtDeleteOnClose, kNtCannotDelete, kNtSuccess, ERROR_ACCESS_DENIED},
        {"file.txt", kNtNonDirectoryFile | kNtDeleteOnClose, kNtSuccess, kNtSuccess, ERROR_SUCCESS},
    };
    for (const Row &row : rows) {
        HANDLE item = NULL;
        EXPECT_EQ(OpenRelative(nt, h, Wide(row.name), DELETE | kSynchronize, row.options, &item), row.open) << row.name;
        if (item == NULL)
            continue;
        EXPECT_EQ(Dispose(nt, item), row.dispose) << row.name;
        EXPECT_EQ(nt.toDosError(row.open != kNtSuccess ? row.open : row.dispose), row.error) << row.name;
        CloseHandle(item);
    }
    EXPECT_EQ(GetFileAttributesA((folder / "file.txt").c_str()), INVALID_FILE_ATTRIBUTES) << "deleted at its close";

    // The twin goes by its exact name; the folder its ANSI form names stays.
    HANDLE item = NULL;
    ASSERT_EQ(
        OpenRelative(nt, h, std::vector<WCHAR>(twinName, twinName + 6), DELETE | kSynchronize, kNtDirectoryFile, &item),
        kNtSuccess);
    EXPECT_EQ(Dispose(nt, item), kNtSuccess);
    CloseHandle(item);
    EXPECT_NE(GetFileAttributesA((folder / "Victim\\inside.txt").c_str()), INVALID_FILE_ATTRIBUTES);

    // A relative name of two components: the folder on the way is passed
    // through, the item at its end opened; its id (FileInternalInformation)
    // is the one its folder's listing gives.
    HANDLE through = NULL;
    ASSERT_EQ(OpenRelative(nt, h, Wide("Victim\\inside.txt"), kFileReadAttributes | kSynchronize, kNtNonDirectoryFile,
                           &through),
              kNtSuccess);
    LONGLONG id = static_cast<LONGLONG>(kSentinel);
    EXPECT_EQ(nt.queryInformation(through, &io, &id, sizeof id, kNtFileInternalInformation), kNtSuccess);
    CloseHandle(through);
    HANDLE victimFolder = NULL;
    ASSERT_EQ(OpenRelative(nt, h, Wide("Victim"), kFileListDirectory | kSynchronize, kNtDirectoryFile, &victimFolder),
              kNtSuccess);
    std::vector<WCHAR> insideName = Wide("inside.txt");
    NtName insideMask = {20, 20, insideName.data()};
    ASSERT_EQ(nt.queryDirectory(victimFolder, NULL, NULL, NULL, &io, record, sizeof record,
                                kNtFileIdFullDirectoryInformation, TRUE, &insideMask, TRUE),
              kNtSuccess);
    EXPECT_EQ(reinterpret_cast<const NtDirEntry *>(record)->fileId, id);
    CloseHandle(victimFolder);
    // Opened without SYNCHRONIZE, and so without synchronous I/O, for its
    // attributes and owner alone (what an access list that denies
    // SYNCHRONIZE still allows): both can be read through that handle.
    HANDLE bare = NULL;
    NtStatus opened = OpenRelative(nt, h, Wide("Victim"), READ_CONTROL | kFileReadAttributes, 0, &bare);
    ASSERT_EQ(opened, kNtSuccess);
    tag = {kSentinel, kSentinel};
    EXPECT_EQ(nt.queryInformation(bare, &io, &tag, sizeof tag, kNtFileAttributeTagInformation), kNtSuccess);
    EXPECT_TRUE(tag.fileAttributes & FILE_ATTRIBUTE_DIRECTORY);
    PSID owner = NULL;
    PSECURITY_DESCRIPTOR descriptor = NULL;
    EXPECT_EQ(GetSecurityInfo(bare, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, NULL, NULL, NULL, &descriptor),
              static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_NE(owner, nullptr);
    LocalFree(descriptor);
    CloseHandle(bare);

    // Held by another handle without FILE_SHARE_DELETE: no open for deletion.
    HANDLE held =
        Create(folder / "Victim\\inside.txt", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING);
    HANDLE victim = NULL;
    ASSERT_EQ(OpenRelative(nt, h, Wide("Victim"), kFileListDirectory | kSynchronize, kNtDirectoryFile, &victim),
              kNtSuccess);
    EXPECT_EQ(OpenRelative(nt, victim, Wide("inside.txt"), DELETE | kSynchronize, kNtNonDirectoryFile, &item),
              kNtSharingViolation);
    EXPECT_EQ(nt.toDosError(kNtSharingViolation), static_cast<ULONG>(ERROR_SHARING_VIOLATION));
    CloseHandle(held);
    EXPECT_EQ(OpenRelative(nt, victim, Wide("inside.txt"), DELETE | kSynchronize, kNtNonDirectoryFile, &item),
              kNtSuccess);
    EXPECT_EQ(Dispose(nt, item), kNtSuccess);
    CloseHandle(item);
    CloseHandle(victim);
    CloseHandle(h);
    SetFileAttributesA(readOnly.c_str(), FILE_ATTRIBUTE_NORMAL);
}

const char kSessionManager[] = "SYSTEM\\CurrentControlSet\\Control\\Session Manager";
const char kPendingRenames[] = "PendingFileRenameOperations";

// The strings of the REG_MULTI_SZ value of pending renames.
std::vector<std::string> PendingRenames() {
    std::vector<std::string> strings;
    HKEY key = NULL;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSessionManager, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return strings;
    std::vector<char> data(65536, '\0');
    DWORD size = static_cast<DWORD>(data.size() - 2);
    DWORD type = kSentinel;
    if (RegQueryValueExA(key, kPendingRenames, NULL, &type, reinterpret_cast<BYTE *>(data.data()), &size) ==
            ERROR_SUCCESS &&
        type == REG_MULTI_SZ) {
        // Every string ends with its own terminator; the list ends with an
        // empty one. A deletion's empty target is a string of the list too,
        // so the list is read by size, not up to the first empty string.
        for (size_t at = 0; at < size; at += std::strlen(&data[at]) + 1)
            strings.push_back(&data[at]);
        if (!strings.empty() && strings.back().empty())
            strings.pop_back();
    }
    RegCloseKey(key);
    return strings;
}

void SetPendingRenames(const std::vector<std::string> &strings) {
    HKEY key = NULL;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSessionManager, 0, KEY_SET_VALUE, &key), ERROR_SUCCESS);
    if (strings.empty()) {
        RegDeleteValueA(key, kPendingRenames);
    } else {
        std::string data;
        for (const std::string &s : strings)
            data += s + '\0';
        data += '\0';
        RegSetValueExA(key, kPendingRenames, 0, REG_MULTI_SZ, reinterpret_cast<const BYTE *>(data.data()),
                       static_cast<DWORD>(data.size()));
    }
    RegCloseKey(key);
}

TEST(Files, ADelayedDeletionOfAnEmptyPathFails) {
    SetLastError(kSentinel);
    EXPECT_FALSE(MoveFileExA("", NULL, MOVEFILE_DELAY_UNTIL_REBOOT)) << "the exit path without a log";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
}

TEST(Files, ADelayedDeletionOfAnAbsentPathIsRecordedAsThePathAndAnEmptyTarget) {
    std::string path = Scratch("never-created.txt");
    std::vector<std::string> before = PendingRenames();
    SetLastError(kSentinel);
    EXPECT_TRUE(MoveFileExA(path.c_str(), NULL, MOVEFILE_DELAY_UNTIL_REBOOT)) << "only recorded, never checked";
    std::vector<std::string> after = PendingRenames();
    SetPendingRenames(before); // nothing of the suite is left for the next start
    std::vector<std::string> expected = before;
    expected.push_back("\\??\\" + path);
    expected.push_back("");
    EXPECT_EQ(after, expected) << "appended: the NT path, then an empty target";
}

// "Naming Files, Paths, and Namespaces" and GetFullPathNameA: a Win32 path
// is made full before it reaches the file system, each component losing
// its trailing periods and spaces; a path that begins "\\?\" is sent as it
// stands. Wine drops only one trailing period of a component on the way
// (and no space), all trailing periods and spaces of the last one.
TEST(Files, Win32PathsLoseTrailingPeriodsAndSpacesButVerbatimPathsKeepThem) {
    const std::string folder = Scratch("dots");
    const std::string verbatim = "\\\\?\\" + folder;
    ASSERT_TRUE(CreateDirectoryA(folder.c_str(), NULL));
    EXPECT_TRUE(CreateDirectoryA((folder + "\\x").c_str(), NULL));
    HANDLE h = Create(folder + "\\x\\f", GENERIC_WRITE, 0, CREATE_NEW);
    EXPECT_NE(h, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(h, "plain", 5, &written, NULL));
    CloseHandle(h);

    h = Create(folder + "\\x.\\f", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
    EXPECT_NE(h, INVALID_HANDLE_VALUE) << "\"x.\\f\" opens \"x\\f\"";
    char bytes[16] = {};
    DWORD read = 0;
    if (h != INVALID_HANDLE_VALUE) {
        EXPECT_TRUE(ReadFile(h, bytes, sizeof bytes, &read, NULL));
        CloseHandle(h);
    }
    EXPECT_EQ(std::string(bytes, read), "plain");
    DWORD attributes = GetFileAttributesA((folder + "\\x.\\f. . ").c_str());
    EXPECT_NE(attributes, INVALID_FILE_ATTRIBUTES) << "\"f. . \" is \"f\"";
    EXPECT_FALSE(attributes & FILE_ATTRIBUTE_DIRECTORY);
    bool found = GetFileAttributesA((folder + "\\x. . \\f").c_str()) != INVALID_FILE_ATTRIBUTES;
    TODO_WINE_EXPECT_EQ(found, true); // "x. . " on the way is "x"

    // Through "\\?\" the period stays: a folder "y." apart from any "y".
    EXPECT_TRUE(CreateDirectoryA((verbatim + "\\y.").c_str(), NULL));
    attributes = GetFileAttributesA((verbatim + "\\y.").c_str());
    EXPECT_NE(attributes, INVALID_FILE_ATTRIBUTES);
    EXPECT_TRUE(attributes & FILE_ATTRIBUTE_DIRECTORY);
    SetLastError(kSentinel);
    EXPECT_EQ(GetFileAttributesA((folder + "\\y.").c_str()), INVALID_FILE_ATTRIBUTES) << "\"y.\" is \"y\": none";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    std::vector<std::string> names;
    WIN32_FIND_DATAA entry;
    HANDLE find = FindFirstFileA((folder + "\\*").c_str(), &entry);
    EXPECT_NE(find, INVALID_HANDLE_VALUE);
    if (find != INVALID_HANDLE_VALUE) {
        do
            names.push_back(entry.cFileName);
        while (FindNextFileA(find, &entry));
        FindClose(find);
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{".", "..", "x", "y."}));

    EXPECT_FALSE(RemoveDirectoryA((folder + "\\y.").c_str()));
    EXPECT_TRUE(RemoveDirectoryA((verbatim + "\\y.").c_str()));
    EXPECT_TRUE(DeleteFileA((folder + "\\x.\\f.").c_str()));
    EXPECT_TRUE(RemoveDirectoryA((folder + "\\x. .").c_str()));
    EXPECT_TRUE(RemoveDirectoryA(folder.c_str()));
}

// "MoveFileExA function": MOVEFILE_DELAY_UNTIL_REBOOT records the NT path
// of the name passed: "\??\" and the full path as GetFullPathNameA makes it;
// a "\\?\" path is "\??\" and the rest as it stands.
TEST(Files, ADelayedDeletionIsRecordedByTheFullPathOfTheNamePassed) {
    const std::string folder = Scratch("queued");
    std::vector<std::string> before = PendingRenames();
    EXPECT_TRUE(MoveFileExA((folder + "\\x.\\f").c_str(), NULL, MOVEFILE_DELAY_UNTIL_REBOOT));
    EXPECT_TRUE(MoveFileExA(("\\\\?\\" + folder + "\\y.\\f").c_str(), NULL, MOVEFILE_DELAY_UNTIL_REBOOT));
    EXPECT_TRUE(MoveFileExA((folder + "\\x. . \\.\\sub\\..\\g. ").c_str(), NULL, MOVEFILE_DELAY_UNTIL_REBOOT));
    std::vector<std::string> after = PendingRenames();
    SetPendingRenames(before); // nothing of the suite is left for the next start
    std::vector<std::string> expected = before;
    for (const std::string &path : {folder + "\\x\\f", folder + "\\y.\\f"}) {
        expected.push_back("\\??\\" + path);
        expected.push_back("");
    }
    ASSERT_EQ(after.size(), expected.size() + 2);
    EXPECT_EQ(std::vector<std::string>(after.begin(), after.begin() + expected.size()), expected)
        << "made full, in the order of the calls; verbatim as it stands";
    TODO_WINE_EXPECT_EQ(after[expected.size()], "\\??\\" + folder + "\\x\\g");
    EXPECT_EQ(after.back(), "");
}

TEST(Environment, AnUndefinedVariableStaysAsTypedAndATooSmallBufferGetsTheSize) {
    const char typed[] = "%ZRT_NO_SUCH_VAR%\\x";
    char buffer[64];
    std::memset(buffer, '#', sizeof buffer);
    SetLastError(kSentinel);
    EXPECT_EQ(ExpandEnvironmentStringsA(typed, buffer, sizeof buffer), sizeof typed) << "length + 1";
    EXPECT_STREQ(buffer, typed);
    EXPECT_EQ(GetLastError(), kSentinel) << "no error for an undefined variable";

    std::memset(buffer, '#', sizeof buffer);
    DWORD needed = ExpandEnvironmentStringsA("%WINDIR%\\x", buffer, sizeof buffer);
    EXPECT_EQ(needed, std::strlen(buffer) + 1);
    EXPECT_EQ(Upper(buffer), "C:\\WINDOWS\\X");

    std::memset(buffer, '#', sizeof buffer);
    SetLastError(kSentinel);
    EXPECT_EQ(ExpandEnvironmentStringsA("%WINDIR%\\x", buffer, 4), needed) << "the size needed";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
}

TEST(Wow64, TheProgramIsA32BitProcessOn64BitWindows) {
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    ASSERT_NE(kernel, nullptr);
    auto isWow64 = LOOK_UP_EXPORT(kernel, IsWow64Process);
    ASSERT_NE(isWow64, nullptr);
    BOOL wow64 = static_cast<BOOL>(kSentinel);
    EXPECT_TRUE(isWow64(GetCurrentProcess(), &wow64));
    EXPECT_EQ(wow64, TRUE);
}

TEST(Wow64, RedirectionSendsSystem32ToSysWow64UntilSwitchedOff) {
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    auto disable = LOOK_UP_EXPORT(kernel, Wow64DisableWow64FsRedirection);
    auto revert = LOOK_UP_EXPORT(kernel, Wow64RevertWow64FsRedirection);
    ASSERT_NE(disable, nullptr);
    ASSERT_NE(revert, nullptr);
    const char drivers[] = "C:\\windows\\system32\\drivers";
    const char driver[] = "C:\\windows\\system32\\drivers\\zrt_absent.sys";
    const char planted[] = "C:\\windows\\system32\\zrt_conformance_native.txt";

    // SysWOW64 has no drivers folder, neither in a Wine prefix nor on the
    // simulated machine, which copies one (Windows has one).
    SetLastError(kSentinel);
    EXPECT_EQ(GetFileAttributesA(drivers), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    SetLastError(kSentinel);
    EXPECT_EQ(GetFileAttributesA(driver), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));

    void *saved = reinterpret_cast<void *>(static_cast<uintptr_t>(kSentinel));
    SetLastError(kSentinel);
    ASSERT_TRUE(disable(&saved));
    EXPECT_EQ(GetLastError(), kSentinel);
    DWORD attributes = GetFileAttributesA(drivers);
    SetLastError(kSentinel);
    DWORD absent = GetFileAttributesA(driver);
    DWORD absentError = GetLastError();
    HANDLE h = Create(planted, GENERIC_WRITE, 0, CREATE_ALWAYS); // in the real system32
    CloseHandle(h);
    EXPECT_TRUE(revert(saved));
    ASSERT_NE(attributes, INVALID_FILE_ATTRIBUTES) << "the real system32 holds drivers";
    EXPECT_TRUE(attributes & FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ(absent, INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(absentError, static_cast<DWORD>(ERROR_FILE_NOT_FOUND)) << "the folder is found, the file is not";
    ASSERT_NE(h, INVALID_HANDLE_VALUE);

    EXPECT_EQ(GetFileAttributesA(drivers), INVALID_FILE_ATTRIBUTES) << "redirected again after the revert";
    EXPECT_EQ(GetFileAttributesA(planted), INVALID_FILE_ATTRIBUTES) << "SysWOW64 has no such file";
    ASSERT_TRUE(disable(&saved));
    EXPECT_NE(GetFileAttributesA(planted), INVALID_FILE_ATTRIBUTES);
    EXPECT_TRUE(DeleteFileA(planted));
    EXPECT_TRUE(revert(saved));
}

} // namespace
