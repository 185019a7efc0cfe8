#include "removers/handle_operations.h"

#include <cstring>
#include <initializer_list>

#include "exports.h"
#include "removers/administrators_access.h"

namespace {

constexpr ULONG kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr ULONG kOpenOptions = kNtOpenReparsePoint | kNtSynchronousIoNonAlert | kNtOpenForBackupIntent;
constexpr DWORD kFolderAccess = kFileListDirectory | kFileTraverse | kFileReadAttributes | kSynchronize;

// A name looked up in a listing, as wide characters.
constexpr size_t kNameChars = 1024;

// Keeps the thread's last error as it was for its lifetime: the Win32 calls
// made here set it, and the walk's log lines print their own errors.
class KeptLastError {
  public:
    KeptLastError() : error_(GetLastError()) {}
    ~KeptLastError() { SetLastError(error_); }
    KeptLastError(const KeptLastError &) = delete;
    KeptLastError &operator=(const KeptLastError &) = delete;

  private:
    DWORD error_;
};

DWORD ErrorOf(const NtFileCalls &nt, NtStatus status) { return status == kNtSuccess ? 0 : nt.toDosError(status); }

NtStatus Open(const NtFileCalls &nt, HANDLE folder, const WCHAR *name, size_t nameLength, DWORD access, ULONG options,
              HANDLE *handle, ULONG share = kShareAll, ULONG disposition = kNtFileOpen) {
    NtName wide = {static_cast<WORD>(nameLength * sizeof(WCHAR)), static_cast<WORD>(nameLength * sizeof(WCHAR)),
                   const_cast<WCHAR *>(name)};
    NtObjectAttributes attributes = {sizeof(NtObjectAttributes), folder, &wide, kNtCaseInsensitive, NULL, NULL};
    NtIoStatus io = {};
    *handle = NULL;
    NtStatus status = nt.create(handle, access, &attributes, &io, NULL, 0, share, disposition, options, NULL, 0);
    if (status != kNtSuccess)
        *handle = NULL;
    return status;
}

// A second handle to the folder an open handle names.
NtStatus Reopen(const NtFileCalls &nt, HANDLE folder, DWORD access, ULONG options, HANDLE *self) {
    const WCHAR none[1] = {};
    return Open(nt, folder, none, 0, access, options | kNtDirectoryFile, self);
}

// SYSTEM, Administrators and NT SERVICE\TrustedInstaller, under the NT
// authority: each SID's count of sub-authorities, then those.
const DWORD kTrustedOwners[][7] = {
    {1, SECURITY_LOCAL_SYSTEM_RID},
    {2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS},
    {6, 80, 956008885u, 3418522649u, 1831038044u, 1853292631u, 2271478464u},
};

// An owner that cannot be compared is not trusted.
bool OwnedBySystemAdministratorsOrTrustedInstaller(PSID owner) {
    SID_IDENTIFIER_AUTHORITY ntAuthority = SECURITY_NT_AUTHORITY;
    for (const DWORD *sub : kTrustedOwners) {
        PSID sid = NULL;
        if (!AllocateAndInitializeSid(&ntAuthority, static_cast<BYTE>(sub[0]), sub[1], sub[2], sub[3], sub[4], sub[5],
                                      sub[6], 0, 0, &sid))
            return false;
        const bool same = EqualSid(owner, sid) != FALSE;
        FreeSid(sid);
        if (same)
            return true;
    }
    return false;
}

// True when `sid` is the user of the tool's own token: what the tool's
// account made itself, where Windows does not make Administrators its owner.
bool IsTheToolsUser(PSID sid) {
    HANDLE token = NULL;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return false;
    // TOKEN_USER and the user's SID after it (SECURITY_MAX_SID_SIZE, 68 bytes).
    alignas(8) BYTE buffer[sizeof(TOKEN_USER) + 68];
    DWORD needed = 0;
    bool same = GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &needed) &&
                EqualSid(reinterpret_cast<TOKEN_USER *>(buffer)->User.Sid, sid);
    CloseHandle(token);
    return same;
}

// Whether `judge` passes the owner of the item, whose handle has
// READ_CONTROL; false when the owner cannot be read.
template <class Judge> bool OwnerPasses(HANDLE item, Judge judge) {
    PSID owner = NULL;
    PSECURITY_DESCRIPTOR descriptor = NULL;
    if (GetSecurityInfo(item, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, NULL, NULL, NULL, &descriptor) !=
        ERROR_SUCCESS)
        return false;
    bool passes = judge(owner);
    LocalFree(descriptor);
    return passes;
}

} // namespace

bool LookUpNtFileCalls(NtFileCalls *calls) {
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    if (ntdll == NULL)
        return false;
    calls->create = LOOK_UP_EXPORT(ntdll, NtCreateFile);
    calls->queryDirectory = LOOK_UP_EXPORT(ntdll, NtQueryDirectoryFile);
    calls->queryInformation = LOOK_UP_EXPORT(ntdll, NtQueryInformationFile);
    calls->setInformation = LOOK_UP_EXPORT(ntdll, NtSetInformationFile);
    calls->toDosError = LOOK_UP_EXPORT(ntdll, RtlNtStatusToDosError);
    return calls->create && calls->queryDirectory && calls->queryInformation && calls->setInformation &&
           calls->toDosError;
}

bool IsLinkEntry(DWORD attributes, ULONG tag) {
    return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) && (tag == 0 || (tag & kReparseTagNameSurrogateBit));
}

DWORD OpenAnchor(const char *anchor, HANDLE *folder) {
    KeptLastError kept;
    *folder = CreateFileA(anchor, kFileListDirectory | kFileTraverse | kSynchronize, kShareAll, NULL, OPEN_EXISTING,
                          FILE_FLAG_BACKUP_SEMANTICS, NULL);
    DWORD error = *folder == INVALID_HANDLE_VALUE ? GetLastError() : 0;
    if (*folder == INVALID_HANDLE_VALUE)
        *folder = NULL;
    return error == ERROR_FILE_NOT_FOUND ? ERROR_PATH_NOT_FOUND : error;
}

DWORD OpenFolder(const NtFileCalls &nt, HANDLE parent, const WCHAR *name, size_t nameLength, HANDLE *folder) {
    return ErrorOf(nt, Open(nt, parent, name, nameLength, kFolderAccess, kOpenOptions | kNtDirectoryFile, folder));
}

DWORD LookUpEntry(const NtFileCalls &nt, HANDLE folder, const WCHAR *name, size_t nameLength, EntryFacts *facts) {
    alignas(8) char record[sizeof(NtDirEntry) + kNameChars * sizeof(WCHAR)];
    NtName mask = {static_cast<WORD>(nameLength * sizeof(WCHAR)), static_cast<WORD>(nameLength * sizeof(WCHAR)),
                   const_cast<WCHAR *>(name)};
    NtIoStatus io = {};
    NtStatus status = nt.queryDirectory(folder, NULL, NULL, NULL, &io, record, sizeof record,
                                        kNtFileIdFullDirectoryInformation, TRUE, &mask, TRUE);
    if (status != kNtSuccess)
        return ErrorOf(nt, status);
    const NtDirEntry *entry = reinterpret_cast<const NtDirEntry *>(record);
    *facts = EntryFacts{entry->fileAttributes, entry->eaSize, entry->fileId};
    return 0;
}

bool HandleIsLink(const NtFileCalls &nt, HANDLE handle) {
    NtAttributeTag tag = {};
    NtIoStatus io = {};
    if (nt.queryInformation(handle, &io, &tag, sizeof tag, kNtFileAttributeTagInformation) != kNtSuccess)
        return false;
    return (tag.fileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) && (tag.reparseTag & kReparseTagNameSurrogateBit);
}

namespace {

template <class T> T ReadAt(const BYTE *data, size_t offset) {
    T value;
    std::memcpy(&value, data + offset, sizeof value);
    return value;
}

} // namespace

bool ParseLinkTarget(const BYTE *data, size_t size, LinkTarget *target) {
    if (size < kMountPointNamesAt)
        return false;
    const ULONG tag = ReadAt<ULONG>(data, 0);
    const size_t length = ReadAt<USHORT>(data, 4) + kReparseHeaderBytes;
    size_t names = kMountPointNamesAt;
    if (tag == kReparseTagSymbolicLink) {
        names = kSymbolicLinkNamesAt;
        if (size < names || (ReadAt<ULONG>(data, kMountPointNamesAt) & kSymbolicLinkRelative))
            return false;
    } else if (tag != kReparseTagMountPoint) {
        return false;
    }
    const size_t offset = ReadAt<USHORT>(data, kReparseHeaderBytes),
                 bytes = ReadAt<USHORT>(data, kReparseHeaderBytes + 2);
    if (length > size || names + offset + bytes > length || bytes % sizeof(WCHAR) != 0)
        return false;
    WCHAR name[kLinkTargetChars + 4];
    const size_t chars = bytes / sizeof(WCHAR);
    if (chars < 7 || chars - 4 >= kLinkTargetChars)
        return false;
    std::memcpy(name, data + names + offset, bytes);
    const bool local = name[0] == '\\' && name[1] == '?' && name[2] == '?' && name[3] == '\\' && name[5] == ':' &&
                       name[6] == '\\' && ((name[4] >= 'A' && name[4] <= 'Z') || (name[4] >= 'a' && name[4] <= 'z'));
    if (!local)
        return false;
    target->wideLength = chars - 4;
    std::memcpy(target->wide, name + 4, target->wideLength * sizeof(WCHAR));
    int ansi = WideCharToMultiByte(CP_ACP, 0, target->wide, static_cast<int>(target->wideLength), target->ansi,
                                   static_cast<int>(kLinkTargetChars) - 1, NULL, NULL);
    if (ansi <= 0)
        return false;
    target->ansi[ansi] = '\0';
    WCHAR back[kLinkTargetChars];
    int backLength = MultiByteToWideChar(CP_ACP, 0, target->ansi, ansi, back, static_cast<int>(kLinkTargetChars));
    return backLength == static_cast<int>(target->wideLength) &&
           std::memcmp(back, target->wide, target->wideLength * sizeof(WCHAR)) == 0 &&
           std::strchr(target->ansi, '/') == NULL;
}

// Windows' own links deny everyone listing them and SYNCHRONIZE
// ("Junction Points and Backup Applications"), so the link is opened for
// its attributes and owner alone, without synchronous I/O, which would need
// SYNCHRONIZE; reading its data needs no access ("FSCTL_GET_REPARSE_POINT
// control code"), and completes at once.
bool ReadSystemLinkTarget(const NtFileCalls &nt, HANDLE folder, const WCHAR *name, size_t nameLength,
                          LinkTarget *target) {
    KeptLastError kept;
    HANDLE link = NULL;
    if (Open(nt, folder, name, nameLength, READ_CONTROL | kFileReadAttributes, kOpenOptions & ~kNtSynchronousIoNonAlert,
             &link) != kNtSuccess)
        return false;
    static BYTE data[kMaxReparseDataBytes]; // one walk at a time, and too large for the stack of a deep walk
    DWORD read = 0;
    bool trusted = HandleIsLink(nt, link) && OwnerPasses(link, OwnedBySystemAdministratorsOrTrustedInstaller) &&
                   DeviceIoControl(link, kFsctlGetReparsePoint, NULL, 0, data, sizeof data, &read, NULL) &&
                   ParseLinkTarget(data, read, target);
    CloseHandle(link);
    return trusted;
}

bool OwnedByTrustedPrincipal(const NtFileCalls &nt, HANDLE folder) {
    KeptLastError kept;
    HANDLE self = NULL;
    if (Reopen(nt, folder, READ_CONTROL | kSynchronize, kOpenOptions, &self) != kNtSuccess)
        return false;
    bool trusted = OwnerPasses(
        self, [](PSID owner) { return OwnedBySystemAdministratorsOrTrustedInstaller(owner) || IsTheToolsUser(owner); });
    CloseHandle(self);
    return trusted;
}

void OpenChild(const NtFileCalls &nt, HANDLE folder, const WCHAR *name, size_t nameLength, ItemKind kind,
               DWORD listedAttributes, ULONG listedTag, WalkItem *item) {
    item->handle = NULL;
    item->openError = 0;
    item->link = kind == ItemKind::Folder && IsLinkEntry(listedAttributes, listedTag);
    item->deleteOnClose = kind == ItemKind::File;
    NtStatus status;
    if (kind == ItemKind::Attributes) {
        status = Open(nt, folder, name, nameLength, kFileReadAttributes | kFileWriteAttributes | kSynchronize,
                      kOpenOptions, &item->handle);
        item->link = status == kNtSuccess && HandleIsLink(nt, item->handle);
        NtIoStatus io = {};
        if (status == kNtSuccess)
            status = nt.queryInformation(item->handle, &io, &item->id, sizeof item->id, kNtFileInternalInformation);
        if (status != kNtSuccess && item->handle != NULL)
            CloseHandle(item->handle);
    } else if (kind == ItemKind::File) {
        // Deleted as its handle closes: a read-only file is refused here.
        status = Open(nt, folder, name, nameLength, DELETE | kFileReadAttributes | kSynchronize,
                      kOpenOptions | kNtNonDirectoryFile | kNtDeleteOnClose, &item->handle);
    } else if (item->link) {
        // The link itself, never what it names.
        status = Open(nt, folder, name, nameLength, DELETE | kFileReadAttributes | kSynchronize, kOpenOptions,
                      &item->handle);
    } else {
        status =
            Open(nt, folder, name, nameLength, DELETE | kFolderAccess, kOpenOptions | kNtDirectoryFile, &item->handle);
        // Held by another process: still listed and emptied; its own
        // deletion reports the sharing violation.
        if (status == kNtSharingViolation) {
            item->openError = ERROR_SHARING_VIOLATION;
            status = Open(nt, folder, name, nameLength, kFolderAccess, kOpenOptions | kNtDirectoryFile, &item->handle);
        }
        // Listed as a folder, found a link: swapped since the listing.
        if (status == kNtSuccess && HandleIsLink(nt, item->handle))
            item->link = true;
    }
    if (status != kNtSuccess) {
        item->openError = nt.toDosError(status);
        item->handle = NULL;
    }
}

DWORD ListFolder(const NtFileCalls &nt, HANDLE folder, void *buffer, ULONG size, bool restart) {
    NtIoStatus io = {};
    return ErrorOf(nt, nt.queryDirectory(folder, NULL, NULL, NULL, &io, buffer, size, kNtFileIdFullDirectoryInformation,
                                         FALSE, NULL, restart ? TRUE : FALSE));
}

DWORD DeleteItem(const NtFileCalls &nt, WalkItem *item) {
    DWORD error = 0;
    if (item->handle == NULL || item->openError != 0) {
        error = item->openError;
    } else if (!item->deleteOnClose) {
        BYTE deleteFile = TRUE;
        NtIoStatus io = {};
        error = ErrorOf(
            nt, nt.setInformation(item->handle, &io, &deleteFile, sizeof deleteFile, kNtFileDispositionInformation));
    }
    // A file opened for deletion goes as its handle closes.
    CloseItem(item);
    return error;
}

bool StillListedAs(const NtFileCalls &nt, HANDLE folder, const WCHAR *name, size_t nameLength, LONGLONG id,
                   bool linkAllowed) {
    // A handle of its own: a listing's mask is fixed by its first query, and
    // the walk's handle is in the middle of its listing.
    HANDLE self = NULL;
    if (Reopen(nt, folder, kFolderAccess, kOpenOptions, &self) != kNtSuccess)
        return false;
    EntryFacts facts = {};
    bool same = LookUpEntry(nt, self, name, nameLength, &facts) == 0 &&
                (linkAllowed || !IsLinkEntry(facts.attributes, facts.tag)) && facts.id == id;
    CloseHandle(self);
    return same;
}

namespace {

// Makes the item open as `self` (with WRITE_DAC and WRITE_OWNER)
// Administrators' own, with a protected list of all access for
// Administrators and SYSTEM alone; never a link.
bool TakeOver(const NtFileCalls &nt, HANDLE self) {
    AdministratorsAccess access;
    bool taken = !HandleIsLink(nt, self) && MakeAdministratorsAccess(true, &access);
    if (taken) {
        taken = SetSecurityInfo(self, SE_FILE_OBJECT,
                                OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION |
                                    PROTECTED_DACL_SECURITY_INFORMATION,
                                access.administrators, NULL, access.accessList, NULL) == ERROR_SUCCESS;
        FreeAdministratorsAccess(&access);
    }
    return taken;
}

} // namespace

bool TakeOverFolder(const NtFileCalls &nt, HANDLE folder) {
    KeptLastError kept;
    // The privilege lets Administrators take a folder whose list does not
    // grant them WRITE_OWNER; where it cannot be had the open may still pass.
    EnableTakeOwnershipPrivilege();
    HANDLE self = NULL;
    if (Reopen(nt, folder, READ_CONTROL | WRITE_DAC | WRITE_OWNER | kSynchronize, kOpenOptions, &self) != kNtSuccess)
        return false;
    bool taken = TakeOver(nt, self);
    CloseHandle(self);
    return taken;
}

const WCHAR kPlaceholderName[] = {'~', 'Z', 'e', 'l', 't', 'r', 'a', 'E', 'S', '_', 'R', 'T', '.', 't', 'm', 'p', 0};
const size_t kPlaceholderChars = sizeof kPlaceholderName / sizeof kPlaceholderName[0] - 1;

bool KeepPlaceholder(const NtFileCalls &nt, HANDLE folder, LONGLONG *id) {
    KeptLastError kept;
    EnableTakeOwnershipPrivilege();
    // Opened without delete sharing: a handle with DELETE that anyone opened
    // on a file of that name before refuses this open.
    HANDLE placeholder = NULL;
    if (Open(nt, folder, kPlaceholderName, kPlaceholderChars,
             DELETE | READ_CONTROL | WRITE_DAC | WRITE_OWNER | kFileReadAttributes | kSynchronize,
             kOpenOptions | kNtNonDirectoryFile, &placeholder, FILE_SHARE_READ | FILE_SHARE_WRITE,
             kNtFileOpenIf) != kNtSuccess)
        return false;
    NtIoStatus io = {};
    bool taken = TakeOver(nt, placeholder) &&
                 nt.queryInformation(placeholder, &io, id, sizeof *id, kNtFileInternalInformation) == kNtSuccess;
    CloseHandle(placeholder);
    return taken;
}

bool ClearReadOnly(const NtFileCalls &nt, const WalkItem &item) {
    NtBasicInformation basic = {};
    NtIoStatus io = {};
    if (nt.queryInformation(item.handle, &io, &basic, sizeof basic, kNtFileBasicInformation) != kNtSuccess)
        return false;
    if (!(basic.fileAttributes & FILE_ATTRIBUTE_READONLY))
        return true;
    ULONG attributes = basic.fileAttributes & ~static_cast<ULONG>(FILE_ATTRIBUTE_READONLY);
    basic = {};
    // Attributes of 0 would change nothing: none left is "normal".
    basic.fileAttributes = attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL;
    return nt.setInformation(item.handle, &io, &basic, sizeof basic, kNtFileBasicInformation) == kNtSuccess;
}

void CloseItem(WalkItem *item) {
    if (item->handle != NULL)
        CloseHandle(item->handle);
    item->handle = NULL;
}
