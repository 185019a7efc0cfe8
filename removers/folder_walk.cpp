#include "removers/folder_walk.h"

#include <cstring>
#include <initializer_list>

#include "exports.h"
#include "removers/administrators_access.h"

namespace {

constexpr ULONG kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr ULONG kOpenOptions = kNtOpenReparsePoint | kNtSynchronousIoNonAlert | kNtOpenForBackupIntent;
constexpr DWORD kFolderAccess = kFileListDirectory | kFileTraverse | kFileReadAttributes | kSynchronize;

// A name on the way, as wide characters: no longer than the path buffer.
constexpr size_t kNameChars = 1024;

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

bool Fail(const NtFileCalls &nt, NtStatus status) {
    SetLastError(nt.toDosError(status));
    return false;
}

NtStatus Open(const NtFileCalls &nt, HANDLE folder, const WCHAR *name, size_t nameLength, DWORD access, ULONG options,
              HANDLE *handle) {
    NtName wide = {static_cast<WORD>(nameLength * sizeof(WCHAR)), static_cast<WORD>(nameLength * sizeof(WCHAR)),
                   const_cast<WCHAR *>(name)};
    NtObjectAttributes attributes = {sizeof(NtObjectAttributes), folder, &wide, kNtCaseInsensitive, NULL, NULL};
    NtIoStatus io;
    std::memset(&io, 0, sizeof io);
    *handle = NULL;
    NtStatus status = nt.create(handle, access, &attributes, &io, NULL, 0, kShareAll, kNtFileOpen, options, NULL, 0);
    if (status != kNtSuccess)
        *handle = NULL;
    return status;
}

// True when the open handle is a link itself (the check that no swap after
// the listing can pass: the handle is what is acted on).
bool HandleIsLink(const NtFileCalls &nt, HANDLE handle) {
    NtAttributeTag tag = {0, 0};
    NtIoStatus io;
    std::memset(&io, 0, sizeof io);
    if (nt.queryInformation(handle, &io, &tag, sizeof tag, kNtFileAttributeTagInformation) != kNtSuccess)
        return false;
    return (tag.fileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) && (tag.reparseTag & kReparseTagNameSurrogateBit);
}

// True when the link `name` in the open folder belongs to SYSTEM, to
// Administrators or to TrustedInstaller: Windows' own links (ProgramData's
// "Application Data", "Start Menu" and "Desktop"), which no standard user
// can have made or can change. Their access lists deny everyone listing
// them and SYNCHRONIZE, so the link is opened for its attributes and owner
// alone, without synchronous I/O, which would need SYNCHRONIZE.
bool SystemLink(const NtFileCalls &nt, HANDLE folder, const WCHAR *name, size_t nameLength) {
    HANDLE link = NULL;
    if (Open(nt, folder, name, nameLength, READ_CONTROL | kFileReadAttributes, kOpenOptions & ~kNtSynchronousIoNonAlert,
             &link) != kNtSuccess)
        return false;
    PSID owner = NULL;
    PSECURITY_DESCRIPTOR descriptor = NULL;
    bool trusted = false;
    if (HandleIsLink(nt, link) && GetSecurityInfo(link, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, NULL, NULL,
                                                  NULL, &descriptor) == ERROR_SUCCESS) {
        SID_IDENTIFIER_AUTHORITY ntAuthority = SECURITY_NT_AUTHORITY;
        PSID system = NULL, administrators = NULL, trustedInstaller = NULL;
        if (AllocateAndInitializeSid(&ntAuthority, 1, SECURITY_LOCAL_SYSTEM_RID, 0, 0, 0, 0, 0, 0, 0, &system))
            trusted = EqualSid(owner, system) != FALSE;
        if (!trusted && AllocateAndInitializeSid(&ntAuthority, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS,
                                                 0, 0, 0, 0, 0, 0, &administrators))
            trusted = EqualSid(owner, administrators) != FALSE;
        // NT SERVICE\TrustedInstaller.
        if (!trusted && AllocateAndInitializeSid(&ntAuthority, 6, 80, 956008885u, 3418522649u, 1831038044u, 1853292631u,
                                                 2271478464u, 0, 0, &trustedInstaller))
            trusted = EqualSid(owner, trustedInstaller) != FALSE;
        for (PSID sid : {system, administrators, trustedInstaller})
            if (sid != NULL)
                FreeSid(sid);
        LocalFree(descriptor);
    }
    CloseHandle(link);
    return trusted;
}

// The listing's record of one name in an open folder; false when it has none.
bool LookUpEntry(const NtFileCalls &nt, HANDLE folder, const WCHAR *name, size_t nameLength, DWORD *attributes,
                 ULONG *tag, NtStatus *status, LONGLONG *id = nullptr) {
    alignas(8) char record[sizeof(NtDirEntry) + kNameChars * sizeof(WCHAR)];
    NtName mask = {static_cast<WORD>(nameLength * sizeof(WCHAR)), static_cast<WORD>(nameLength * sizeof(WCHAR)),
                   const_cast<WCHAR *>(name)};
    NtIoStatus io;
    std::memset(&io, 0, sizeof io);
    *status = nt.queryDirectory(folder, NULL, NULL, NULL, &io, record, sizeof record, kNtFileIdFullDirectoryInformation,
                                TRUE, &mask, TRUE);
    if (*status != kNtSuccess)
        return false;
    const NtDirEntry *entry = reinterpret_cast<const NtDirEntry *>(record);
    *attributes = entry->fileAttributes;
    *tag = entry->eaSize;
    if (id != nullptr)
        *id = entry->fileId;
    return true;
}

// What a listing would say of `name`, a path relative to the open folder
// that goes through Windows' own links: their targets cannot be listed
// through them, so the item itself is opened (as a link, if it is one) for
// its attributes, reparse tag and id.
bool DescribeThrough(const NtFileCalls &nt, HANDLE folder, const WCHAR *name, size_t nameLength, DWORD *attributes,
                     ULONG *tag, NtStatus *status, LONGLONG *id) {
    HANDLE item = NULL;
    *status = Open(nt, folder, name, nameLength, kFileReadAttributes | kSynchronize, kOpenOptions, &item);
    if (*status != kNtSuccess)
        return false;
    NtAttributeTag info = {0, 0};
    NtIoStatus io;
    std::memset(&io, 0, sizeof io);
    *status = nt.queryInformation(item, &io, &info, sizeof info, kNtFileAttributeTagInformation);
    if (*status == kNtSuccess)
        *status = nt.queryInformation(item, &io, id, sizeof *id, kNtFileInternalInformation);
    CloseHandle(item);
    *attributes = info.fileAttributes;
    *tag = info.reparseTag;
    return *status == kNtSuccess;
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

bool HasSeparator(const char *text) {
    for (const char *p = text; *p != '\0'; ++p) {
        if (IsSeparator(*p))
            return true;
        if (IsDBCSLeadByte(static_cast<BYTE>(*p)) && p[1] != '\0')
            ++p;
    }
    return false;
}

size_t DriveAnchorLength(const char *path) {
    if (path[0] != '\0' && path[1] == ':' && IsSeparator(path[2]))
        return 3;
    size_t last = 0;
    for (size_t i = 0; path[i] != '\0'; ++i) {
        if (IsSeparator(path[i]))
            last = i;
        else if (IsDBCSLeadByte(static_cast<BYTE>(path[i])) && path[i + 1] != '\0')
            ++i;
    }
    return last;
}

void OpenChild(const NtFileCalls &nt, HANDLE folder, const WCHAR *name, size_t nameLength, ItemKind kind,
               DWORD listedAttributes, ULONG listedTag, WalkItem *item) {
    item->handle = NULL;
    item->openError = 0;
    item->link = kind == ItemKind::Folder && IsLinkEntry(listedAttributes, listedTag);
    item->deleteOnClose = kind == ItemKind::File;
    NtStatus status;
    if (kind == ItemKind::File) {
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

bool OpenAlongPath(const NtFileCalls &nt, const char *path, size_t anchorLength, ItemKind kind, WalkItem *item,
                   bool *linkOnTheWay) {
    *linkOnTheWay = false;
    item->handle = NULL;
    item->id = 0;
    item->openError = 0;
    item->link = false;
    item->deleteOnClose = false;
    char anchor[1024];
    if (anchorLength >= sizeof anchor)
        return Fail(nt, kNtObjectNameInvalid);
    std::memcpy(anchor, path, anchorLength);
    anchor[anchorLength] = '\0';
    // A bare name: in the current folder.
    if (anchorLength == 0)
        std::memcpy(anchor, ".", 2);
    // The anchor is opened as the system resolves it; opening it must not
    // change the last error that later log lines report.
    DWORD lastError = GetLastError();
    HANDLE folder = CreateFileA(anchor, kFileListDirectory | kFileTraverse | kSynchronize, kShareAll, NULL,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
    if (folder == INVALID_HANDLE_VALUE) {
        if (GetLastError() == ERROR_FILE_NOT_FOUND)
            SetLastError(ERROR_PATH_NOT_FOUND);
        return false;
    }
    SetLastError(lastError);
    const char *component = path + anchorLength;
    while (IsSeparator(*component))
        ++component;
    // The names of Windows' own links crossed since `folder` was opened,
    // each with its separator: the next name is opened through them, as a
    // path through them is opened, for they cannot be opened themselves.
    WCHAR relative[kNameChars];
    size_t through = 0;
    size_t length = 0;
    for (;; component += length) {
        while (IsSeparator(*component))
            ++component;
        length = 0;
        while (component[length] != '\0' && !IsSeparator(component[length]))
            length += IsDBCSLeadByte(static_cast<BYTE>(component[length])) && component[length + 1] != '\0' ? 2 : 1;
        bool last = component[length] == '\0';
        WCHAR *name = relative + through;
        int nameLength = length == 0 ? 0
                                     : MultiByteToWideChar(CP_ACP, 0, component, static_cast<int>(length), name,
                                                           static_cast<int>(kNameChars - through - 1));
        size_t relativeLength = through + static_cast<size_t>(nameLength > 0 ? nameLength : 0);
        DWORD attributes = 0;
        ULONG tag = 0;
        NtStatus status = kNtObjectNameInvalid;
        bool described =
            nameLength > 0 &&
            (through == 0
                 ? LookUpEntry(nt, folder, name, relativeLength, &attributes, &tag, &status, &item->id)
                 : DescribeThrough(nt, folder, relative, relativeLength, &attributes, &tag, &status, &item->id));
        if (!described) {
            CloseHandle(folder);
            if (!last && (status == kNtNoSuchFile || status == kNtObjectNameNotFound))
                status = kNtObjectPathNotFound;
            return Fail(nt, status);
        }
        if (last) {
            OpenChild(nt, folder, relative, relativeLength, kind, attributes, tag, item);
            CloseHandle(folder);
            if (item->handle == NULL) {
                SetLastError(item->openError);
                return false;
            }
            return true;
        }
        HANDLE next = NULL;
        if (!IsLinkEntry(attributes, tag))
            status = Open(nt, folder, relative, relativeLength, kFolderAccess, kOpenOptions | kNtDirectoryFile, &next);
        bool link = IsLinkEntry(attributes, tag) || (status == kNtSuccess && HandleIsLink(nt, next));
        // Windows' own links are crossed as a component of the next name
        // (with room left for the separator and one character of it: a
        // conversion into no room at all would only measure the name).
        if (link && relativeLength + 2 < kNameChars && SystemLink(nt, folder, relative, relativeLength)) {
            if (next != NULL)
                CloseHandle(next);
            relative[relativeLength] = static_cast<WCHAR>('\\');
            through = relativeLength + 1;
            continue;
        }
        CloseHandle(folder);
        if (link) {
            if (next != NULL)
                CloseHandle(next);
            *linkOnTheWay = true;
            return false;
        }
        if (status != kNtSuccess)
            return Fail(nt, status == kNtObjectNameNotFound ? kNtObjectPathNotFound : status);
        folder = next;
        through = 0;
    }
}

bool ListFolder(const NtFileCalls &nt, HANDLE folder, void *buffer, ULONG size, bool restart) {
    NtIoStatus io;
    std::memset(&io, 0, sizeof io);
    NtStatus status = nt.queryDirectory(folder, NULL, NULL, NULL, &io, buffer, size, kNtFileIdFullDirectoryInformation,
                                        FALSE, NULL, restart ? TRUE : FALSE);
    return status == kNtSuccess || Fail(nt, status);
}

bool DeleteItem(const NtFileCalls &nt, WalkItem *item) {
    bool deleted;
    if (item->handle == NULL || item->openError != 0) {
        SetLastError(item->openError);
        deleted = false;
    } else if (item->deleteOnClose) {
        deleted = true; // as the handle closes below
    } else {
        BYTE deleteFile = TRUE;
        NtIoStatus io;
        std::memset(&io, 0, sizeof io);
        NtStatus status =
            nt.setInformation(item->handle, &io, &deleteFile, sizeof deleteFile, kNtFileDispositionInformation);
        deleted = status == kNtSuccess || Fail(nt, status);
    }
    DWORD error = GetLastError();
    CloseItem(item);
    SetLastError(error);
    return deleted;
}

bool StillListedAs(const NtFileCalls &nt, HANDLE folder, const WCHAR *name, size_t nameLength, LONGLONG id,
                   bool linkAllowed) {
    // A handle of its own: a listing's mask is fixed by its first query, and
    // the walk's handle is in the middle of its listing.
    HANDLE self = NULL;
    const WCHAR none[1] = {0};
    if (Open(nt, folder, none, 0, kFolderAccess, kOpenOptions | kNtDirectoryFile, &self) != kNtSuccess)
        return false;
    DWORD attributes = 0;
    ULONG tag = 0;
    NtStatus status;
    LONGLONG listedId = 0;
    bool same = LookUpEntry(nt, self, name, nameLength, &attributes, &tag, &status, &listedId) &&
                (linkAllowed || !IsLinkEntry(attributes, tag)) && listedId == id;
    CloseHandle(self);
    return same;
}

bool TakeOverFolder(const NtFileCalls &nt, HANDLE folder) {
    // The privilege lets Administrators take a folder whose list does not
    // grant them WRITE_OWNER; where it cannot be had the open may still pass.
    EnableTakeOwnershipPrivilege();
    HANDLE self = NULL;
    const WCHAR none[1] = {0};
    if (Open(nt, folder, none, 0, READ_CONTROL | WRITE_DAC | WRITE_OWNER | kSynchronize,
             kOpenOptions | kNtDirectoryFile, &self) != kNtSuccess)
        return false;
    AdministratorsAccess access;
    bool taken = !HandleIsLink(nt, self) && MakeAdministratorsAccess(true, &access);
    if (taken) {
        taken = SetSecurityInfo(self, SE_FILE_OBJECT,
                                OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION |
                                    PROTECTED_DACL_SECURITY_INFORMATION,
                                access.administrators, NULL, access.accessList, NULL) == ERROR_SUCCESS;
        FreeAdministratorsAccess(&access);
    }
    CloseHandle(self);
    return taken;
}

void CloseItem(WalkItem *item) {
    if (item->handle != NULL)
        CloseHandle(item->handle);
    item->handle = NULL;
}
