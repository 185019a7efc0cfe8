// The native file interface of ntdll that the folder walk looks up at run
// time: opening a name relative to an open folder, listing a folder through
// its handle, reading a handle's attributes and reparse tag, and deleting
// through a handle. Declared here with the layouts Windows gives them, under
// names of our own, so that both builds share one definition.
#pragma once

#include <cstddef>

#include "win32.h"

typedef LONG NtStatus;

// UNICODE_STRING: a counted wide string, lengths in bytes.
struct NtName {
    WORD length;
    WORD maximumLength;
    WCHAR *buffer;
};

// OBJECT_ATTRIBUTES.
struct NtObjectAttributes {
    ULONG length;
    HANDLE rootDirectory;
    NtName *objectName;
    ULONG attributes;
    void *securityDescriptor;
    void *securityQualityOfService;
};

// IO_STATUS_BLOCK.
struct NtIoStatus {
    union {
        NtStatus status;
        void *pointer;
    };
    ULONG_PTR information;
};

// FILE_ID_FULL_DIR_INFORMATION (class 38). For a reparse point eaSize holds
// its tag.
struct NtDirEntry {
    ULONG nextEntryOffset;
    ULONG fileIndex;
    LONGLONG creationTime;
    LONGLONG lastAccessTime;
    LONGLONG lastWriteTime;
    LONGLONG changeTime;
    LONGLONG endOfFile;
    LONGLONG allocationSize;
    ULONG fileAttributes;
    ULONG fileNameLength; // bytes
    ULONG eaSize;
    LONGLONG fileId;
    WCHAR fileName[1];
};

static_assert(offsetof(NtDirEntry, fileId) == 72 && offsetof(NtDirEntry, fileName) == 80,
              "the layout Windows fills in");

// FILE_ATTRIBUTE_TAG_INFORMATION (class 35).
struct NtAttributeTag {
    ULONG fileAttributes;
    ULONG reparseTag;
};

// FILE_BASIC_INFORMATION (class 4). In a change, a time of 0 and attributes
// of 0 leave them as they are.
struct NtBasicInformation {
    LONGLONG creationTime;
    LONGLONG lastAccessTime;
    LONGLONG lastWriteTime;
    LONGLONG changeTime;
    ULONG fileAttributes;
};

static_assert(offsetof(NtBasicInformation, fileAttributes) == 32 && sizeof(NtBasicInformation) == 40,
              "the layout Windows fills in");

// Information classes.
constexpr ULONG kNtFileBasicInformation = 4;
constexpr ULONG kNtFileInternalInformation = 6; // FILE_INTERNAL_INFORMATION: the file id, a LONGLONG
constexpr ULONG kNtFileDispositionInformation = 13;
constexpr ULONG kNtFileAttributeTagInformation = 35;
constexpr ULONG kNtFileIdFullDirectoryInformation = 38;

// NtCreateFile: disposition and options.
constexpr ULONG kNtFileOpen = 1;
constexpr ULONG kNtFileOpenIf = 3; // opened, or created where there is none
constexpr ULONG kNtDirectoryFile = 0x00000001;
constexpr ULONG kNtSynchronousIoNonAlert = 0x00000020;
constexpr ULONG kNtNonDirectoryFile = 0x00000040;
constexpr ULONG kNtDeleteOnClose = 0x00001000;
constexpr ULONG kNtOpenForBackupIntent = 0x00004000;
constexpr ULONG kNtOpenReparsePoint = 0x00200000;
constexpr ULONG kNtCaseInsensitive = 0x00000040; // OBJ_CASE_INSENSITIVE

// Access rights on files and folders.
constexpr DWORD kFileListDirectory = 0x0001;
constexpr DWORD kFileTraverse = 0x0020;
constexpr DWORD kFileReadAttributes = 0x0080;
constexpr DWORD kFileWriteAttributes = 0x0100;
constexpr DWORD kSynchronize = 0x00100000;

// Status values the walk and the simulation meet.
constexpr NtStatus kNtSuccess = 0;
constexpr NtStatus kNtBufferOverflow = static_cast<NtStatus>(0x80000005u);
constexpr NtStatus kNtNoMoreFiles = static_cast<NtStatus>(0x80000006u);
constexpr NtStatus kNtInvalidHandle = static_cast<NtStatus>(0xC0000008u);
constexpr NtStatus kNtInvalidParameter = static_cast<NtStatus>(0xC000000Du);
constexpr NtStatus kNtNoSuchFile = static_cast<NtStatus>(0xC000000Fu);
constexpr NtStatus kNtAccessDenied = static_cast<NtStatus>(0xC0000022u);
constexpr NtStatus kNtBufferTooSmall = static_cast<NtStatus>(0xC0000023u);
constexpr NtStatus kNtObjectNameInvalid = static_cast<NtStatus>(0xC0000033u);
constexpr NtStatus kNtObjectNameNotFound = static_cast<NtStatus>(0xC0000034u);
constexpr NtStatus kNtObjectPathNotFound = static_cast<NtStatus>(0xC000003Au);
constexpr NtStatus kNtSharingViolation = static_cast<NtStatus>(0xC0000043u);
constexpr NtStatus kNtFileIsADirectory = static_cast<NtStatus>(0xC00000BAu);
constexpr NtStatus kNtDirectoryNotEmpty = static_cast<NtStatus>(0xC0000101u);
constexpr NtStatus kNtNotADirectory = static_cast<NtStatus>(0xC0000103u);
constexpr NtStatus kNtCannotDelete = static_cast<NtStatus>(0xC0000121u);

// FSCTL_GET_REPARSE_POINT: a reparse point's data, read through a handle
// to the reparse point itself, at most 16 KB (REPARSE_DATA_BUFFER, ntifs.h:
// the tag, the data's length and a reserved word; for a mount point the
// offsets and lengths of its substitute and print names, then the names;
// for a symbolic link the same, its flags, then the names).
constexpr DWORD kFsctlGetReparsePoint = 0x000900A8;
constexpr DWORD kMaxReparseDataBytes = 16 * 1024;
constexpr size_t kReparseHeaderBytes = 8;
constexpr size_t kMountPointNamesAt = kReparseHeaderBytes + 8;
constexpr size_t kSymbolicLinkNamesAt = kReparseHeaderBytes + 12;
constexpr ULONG kSymbolicLinkRelative = 1; // SYMLINK_FLAG_RELATIVE
constexpr ULONG kReparseTagMountPoint = 0xA0000003u;
constexpr ULONG kReparseTagSymbolicLink = 0xA000000Cu;

// Reparse tags: a name surrogate (bit 29) stands for another name, as a
// junction or a symbolic link does; other tags mark data kept elsewhere.
constexpr ULONG kReparseTagNameSurrogateBit = 0x20000000u;
