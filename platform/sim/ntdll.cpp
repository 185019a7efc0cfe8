// The native file functions of ntdll that the folder walk looks up by name:
// opening a name relative to an open folder, or by an empty name the folder
// itself (only that: the program never passes a full NT path), listing a
// folder through its handle, a handle's attributes and reparse tag, and
// deletion through a handle. As on Windows
// they return a status and leave the thread's last error alone; the listing
// of a handle is fixed by its first query (a snapshot of the names here).
// A deletion takes effect at once, not when the last handle closes.
#include <algorithm>
#include <cstddef>
#include <cstring>
#include <vector>

#include "nt_files.h"
#include "sim/control.h"
#include "sim/files.h"

namespace sim::detail {

namespace {

bool IsInside(const FileNode &node) { return !ParentPath(node.path).empty(); }

// Windows' order: the drive's root and read-only items cannot be deleted,
// then a folder must be empty; a link goes alone.
NtStatus DeletionRefused(const FileNode &node) {
    if (!IsInside(node) || (node.attributes & FILE_ATTRIBUTE_READONLY))
        return kNtCannotDelete;
    if (node.folder && !node.IsLink() && !Children(node.path).empty())
        return kNtDirectoryNotEmpty;
    return kNtSuccess;
}

// A new file or folder made by NtCreateFile ("NtCreateFile function",
// FILE_OPEN_IF): "File Security and Access Rights": making it needs
// FILE_ADD_FILE or FILE_ADD_SUBDIRECTORY on its folder, checked against the
// folder's list as it is now; its list is what the folder passes on
// (MakeNode), its attributes those asked for, and its creator's handle has
// the access asked for.
NtStatus CreateNode(HANDLE *out, DWORD access, const FileNode &folder, const std::string &name, ULONG attributes,
                    ULONG share, ULONG options, NtIoStatus *io) {
    const bool directory = (options & kNtDirectoryFile) != 0;
    DWORD granted = 0;
    if (!FileAccessGranted(folder.security, directory ? FILE_ADD_SUBDIRECTORY : FILE_ADD_FILE, &granted))
        return kNtAccessDenied;
    FileNode &node = MakeNode(folder.path + "\\" + name, directory);
    node.attributes = attributes;
    auto file = std::make_shared<FileObject>();
    file->key = PathKey(node.path);
    file->node = node.id;
    file->access = MapFileRights(access);
    file->share = share;
    *out = reinterpret_cast<HANDLE>(AddHandle(file));
    io->status = kNtSuccess;
    io->information = 2; // FILE_CREATED
    return kNtSuccess;
}

NtStatus WINAPI SimNtCreateFile(HANDLE *out, DWORD access, NtObjectAttributes *attributes, NtIoStatus *io, LONGLONG *,
                                ULONG fileAttributes, ULONG share, ULONG disposition, ULONG options, void *, ULONG) {
    SIM_LOCK();
    NoteCall("NtCreateFile");
    *out = nullptr;
    if (attributes == nullptr || attributes->objectName == nullptr)
        return kNtInvalidParameter;
    const NtName &wide = *attributes->objectName;
    std::string name = Utf8(std::u16string(wide.buffer, wide.length / sizeof(WCHAR)));
    DWORD code;
    if (TakeFault("NtCreateFile", name.c_str(), &code))
        return static_cast<NtStatus>(code);
    auto root = Lookup<FileObject>(attributes->rootDirectory);
    if (!root || (disposition != kNtFileOpen && disposition != kNtFileOpenIf))
        return root ? kNtInvalidParameter : kNtInvalidHandle;
    FileNode *parent = NodeById(root->node);
    if (parent == nullptr || !parent->folder || parent->IsLink())
        return kNtObjectPathNotFound;
    // A relative name may hold several components. Each one before the last
    // is passed through, a link followed to its target, without an access
    // check ("Bypass traverse checking", SeChangeNotifyPrivilege, which
    // every token holds); the last one is the name opened and checked.
    std::vector<std::string> components;
    for (size_t at = 0, end; at <= name.size() && !name.empty(); at = end + 1) {
        end = std::min(name.find('\\', at), name.size());
        components.push_back(name.substr(at, end - at));
    }
    for (const std::string &component : components)
        if (component.empty() || component == "." || component == ".." || component.find('/') != std::string::npos)
            return kNtObjectNameInvalid;
    FileNode *folder = parent;
    for (size_t i = 0; i + 1 < components.size(); ++i) {
        folder = FindNode(folder->path + "\\" + components[i]);
        if (folder != nullptr && folder->IsLink())
            folder = FindNode(FollowLinks(folder->linkTarget, true));
        if (folder == nullptr || !folder->folder)
            return kNtObjectPathNotFound;
    }
    // No name: the folder itself, through a new handle.
    FileNode *node = name.empty() ? parent : FindNode(folder->path + "\\" + components.back());
    if (node == nullptr && disposition == kNtFileOpenIf)
        return CreateNode(out, access, *folder, components.back(), fileAttributes, share, options, io);
    if (node == nullptr)
        return kNtObjectNameNotFound;
    // The final name is checked, a link that is followed too: "Junction
    // Points and Backup Applications": paths through Windows' own links can
    // be traversed, but their contents cannot be listed.
    DWORD granted = 0;
    if (!FileAccessGranted(node->security, access, &granted))
        return kNtAccessDenied;
    if (node->IsLink() && !(options & kNtOpenReparsePoint)) {
        node = FindNode(FollowLinks(node->linkTarget, true));
        if (node == nullptr)
            return kNtObjectNameNotFound;
        if (!FileAccessGranted(node->security, access, &granted))
            return kNtAccessDenied;
    }
    if ((options & kNtDirectoryFile) && !node->folder)
        return kNtNotADirectory;
    if ((options & kNtNonDirectoryFile) && node->folder)
        return kNtFileIsADirectory;
    if (DeleteShareConflict(*node, access, share))
        return kNtSharingViolation;
    if (options & kNtDeleteOnClose) {
        if (!(access & DELETE))
            return kNtInvalidParameter;
        if (NtStatus refused = DeletionRefused(*node))
            return refused;
    }
    auto file = std::make_shared<FileObject>();
    file->key = PathKey(node->path);
    file->node = node->id;
    file->access = granted; // kept whatever the list says later
    file->share = share;
    file->deleteOnClose = (options & kNtDeleteOnClose) != 0;
    *out = reinterpret_cast<HANDLE>(AddHandle(file));
    io->status = kNtSuccess;
    io->information = 1; // FILE_OPENED
    return kNtSuccess;
}

// The opening of a call on an open handle: counted, the handle looked up,
// a scripted failure taken (its subject the node's path). The status to
// return, or kNtSuccess to go on; *node is null for a deleted node.
NtStatus OnHandle(const char *api, HANDLE h, std::shared_ptr<FileObject> *f, FileNode **node) {
    NoteCall(api);
    *f = Lookup<FileObject>(h);
    if (!*f)
        return kNtInvalidHandle;
    *node = NodeById((*f)->node);
    DWORD code;
    if (TakeFault(api, *node ? (*node)->path.c_str() : nullptr, &code))
        return static_cast<NtStatus>(code);
    return kNtSuccess;
}

// The node a listed name stands for: "." and ".." are the folder and its parent.
FileNode *ListedNode(FileNode &folder, const std::string &name) {
    if (name == ".")
        return &folder;
    if (name == "..")
        return FindNode(ParentPath(folder.path));
    return FindNode(folder.path + "\\" + name);
}

NtStatus WINAPI SimNtQueryDirectoryFile(HANDLE h, HANDLE, void *, void *, NtIoStatus *io, void *buffer, ULONG size,
                                        ULONG infoClass, BYTE single, NtName *mask, BYTE restart) {
    SIM_LOCK();
    std::shared_ptr<FileObject> f;
    FileNode *folder = nullptr;
    if (NtStatus status = OnHandle("NtQueryDirectoryFile", h, &f, &folder))
        return status;
    if (folder == nullptr)
        return kNtObjectPathNotFound;
    if (!folder->folder || infoClass != kNtFileIdFullDirectoryInformation)
        return kNtInvalidParameter;
    bool first = !f->listed;
    if (first || restart) {
        if (first && mask != nullptr)
            f->mask = Upper(Utf8(std::u16string(mask->buffer, mask->length / sizeof(WCHAR))));
        f->listed = true;
        f->names.clear();
        if (IsInside(*folder)) {
            f->names.push_back(".");
            f->names.push_back("..");
        }
        for (const FileNode *child : Children(folder->path))
            f->names.push_back(LeafName(child->path));
        if (!f->mask.empty() && f->mask != "*") {
            std::vector<std::string> kept;
            for (const std::string &name : f->names)
                if (Upper(name) == f->mask)
                    kept.push_back(name);
            f->names = kept;
        }
        f->next = 0;
    }
    size_t used = 0, count = 0;
    NtDirEntry *previous = nullptr;
    for (; f->next < f->names.size(); ++f->next) {
        const FileNode *node = ListedNode(*folder, f->names[f->next]);
        if (node == nullptr)
            continue; // deleted since the listing began
        std::u16string name = Utf16(f->names[f->next]);
        size_t need = offsetof(NtDirEntry, fileName) + name.size() * sizeof(WCHAR);
        size_t at = (used + 7) & ~static_cast<size_t>(7);
        if (at + need > size) {
            if (count == 0)
                return kNtBufferTooSmall;
            break;
        }
        auto *entry = reinterpret_cast<NtDirEntry *>(static_cast<char *>(buffer) + at);
        std::memset(entry, 0, offsetof(NtDirEntry, fileName));
        entry->fileAttributes = node->Attributes();
        entry->eaSize = node->reparseTag;
        entry->fileId = static_cast<LONGLONG>(node->id);
        entry->endOfFile = static_cast<LONGLONG>(node->data.size());
        entry->fileNameLength = static_cast<ULONG>(name.size() * sizeof(WCHAR));
        std::memcpy(entry->fileName, name.data(), name.size() * sizeof(WCHAR));
        if (previous != nullptr)
            previous->nextEntryOffset =
                static_cast<ULONG>(reinterpret_cast<char *>(entry) - reinterpret_cast<char *>(previous));
        previous = entry;
        used = at + need;
        ++count;
        if (single) {
            ++f->next;
            break;
        }
    }
    if (count == 0)
        return first && !f->mask.empty() ? kNtNoSuchFile : kNtNoMoreFiles;
    io->status = kNtSuccess;
    io->information = used;
    return kNtSuccess;
}

// OnHandle for a call on an existing node with one information class:
// kNtInvalidParameter when `classFits` is false.
NtStatus OnNodeHandle(const char *api, HANDLE h, bool classFits, std::shared_ptr<FileObject> *f, FileNode **node) {
    if (NtStatus status = OnHandle(api, h, f, node))
        return status;
    if (!classFits)
        return kNtInvalidParameter;
    return *node == nullptr ? kNtObjectNameNotFound : kNtSuccess;
}

// NtQueryInformationFile: FileAttributeTagInformation and
// FileBasicInformation need a handle with FILE_READ_ATTRIBUTES,
// FileInternalInformation (the id a listing gives) none
// ("NtQueryInformationFile", its table of classes).
NtStatus WINAPI SimNtQueryInformationFile(HANDLE h, NtIoStatus *io, void *buffer, ULONG size, ULONG infoClass) {
    SIM_LOCK();
    std::shared_ptr<FileObject> f;
    FileNode *node = nullptr;
    bool fits = (infoClass == kNtFileAttributeTagInformation && size >= sizeof(NtAttributeTag)) ||
                (infoClass == kNtFileBasicInformation && size >= sizeof(NtBasicInformation)) ||
                (infoClass == kNtFileInternalInformation && size >= sizeof(LONGLONG));
    if (NtStatus status = OnNodeHandle("NtQueryInformationFile", h, fits, &f, &node))
        return status;
    if (infoClass == kNtFileInternalInformation) {
        LONGLONG id = static_cast<LONGLONG>(node->id);
        std::memcpy(buffer, &id, sizeof id);
        io->status = kNtSuccess;
        io->information = sizeof id;
        return kNtSuccess;
    }
    if (!(f->access & FILE_READ_ATTRIBUTES))
        return kNtAccessDenied;
    if (infoClass == kNtFileBasicInformation) {
        NtBasicInformation basic = {0, 0, 0, 0, node->Attributes()};
        std::memcpy(buffer, &basic, sizeof basic);
        io->status = kNtSuccess;
        io->information = sizeof basic;
        return kNtSuccess;
    }
    auto *tag = static_cast<NtAttributeTag *>(buffer);
    tag->fileAttributes = node->Attributes();
    tag->reparseTag = node->reparseTag;
    io->status = kNtSuccess;
    io->information = sizeof(NtAttributeTag);
    return kNtSuccess;
}

// NtSetInformationFile: FileBasicInformation needs a handle with
// FILE_WRITE_ATTRIBUTES, and attributes of 0 leave them as they are
// ("FILE_BASIC_INFORMATION structure"); FileDispositionInformation DELETE.
NtStatus WINAPI SimNtSetInformationFile(HANDLE h, NtIoStatus *io, void *buffer, ULONG size, ULONG infoClass) {
    SIM_LOCK();
    std::shared_ptr<FileObject> f;
    FileNode *node = nullptr;
    bool fits = (infoClass == kNtFileDispositionInformation && size >= 1) ||
                (infoClass == kNtFileBasicInformation && size >= sizeof(NtBasicInformation));
    if (NtStatus status = OnNodeHandle("NtSetInformationFile", h, fits, &f, &node))
        return status;
    if (infoClass == kNtFileBasicInformation) {
        if (!(f->access & FILE_WRITE_ATTRIBUTES))
            return kNtAccessDenied;
        NtBasicInformation basic;
        std::memcpy(&basic, buffer, sizeof basic);
        if (basic.fileAttributes != 0)
            node->attributes = basic.fileAttributes;
        io->status = kNtSuccess;
        io->information = 0;
        return kNtSuccess;
    }
    if (!(f->access & DELETE))
        return kNtAccessDenied;
    if (*static_cast<BYTE *>(buffer) == 0)
        return kNtSuccess;
    if (NtStatus refused = DeletionRefused(*node))
        return refused;
    EraseNode(node->path);
    io->status = kNtSuccess;
    io->information = 0;
    return kNtSuccess;
}

ULONG WINAPI SimRtlNtStatusToDosError(NtStatus status) {
    struct Pair {
        NtStatus status;
        ULONG error;
    };
    static const Pair kErrors[] = {
        {kNtSuccess, ERROR_SUCCESS},
        {kNtBufferOverflow, ERROR_MORE_DATA},
        {kNtNoMoreFiles, ERROR_NO_MORE_FILES},
        {kNtInvalidHandle, ERROR_INVALID_HANDLE},
        {kNtInvalidParameter, ERROR_INVALID_PARAMETER},
        {kNtNoSuchFile, ERROR_FILE_NOT_FOUND},
        {kNtAccessDenied, ERROR_ACCESS_DENIED},
        {kNtBufferTooSmall, ERROR_INSUFFICIENT_BUFFER},
        {kNtObjectNameInvalid, ERROR_INVALID_NAME},
        {kNtObjectNameNotFound, ERROR_FILE_NOT_FOUND},
        {kNtObjectPathNotFound, ERROR_PATH_NOT_FOUND},
        {kNtSharingViolation, ERROR_SHARING_VIOLATION},
        {kNtFileIsADirectory, ERROR_ACCESS_DENIED},
        {kNtDirectoryNotEmpty, ERROR_DIR_NOT_EMPTY},
        {kNtNotADirectory, ERROR_DIRECTORY},
        {kNtCannotDelete, ERROR_ACCESS_DENIED},
    };
    for (const Pair &p : kErrors)
        if (p.status == status)
            return p.error;
    return 317; // ERROR_MR_MID_NOT_FOUND: no message for the status
}

} // namespace

FileObject::~FileObject() {
    if (!deleteOnClose)
        return;
    SIM_LOCK();
    if (FileNode *gone = NodeById(node))
        EraseNode(gone->path);
}

void RegisterNtdllExports() {
    SIM_EXPORT("ntdll.dll", NtCreateFile, SimNtCreateFile);
    SIM_EXPORT("ntdll.dll", NtQueryDirectoryFile, SimNtQueryDirectoryFile);
    SIM_EXPORT("ntdll.dll", NtQueryInformationFile, SimNtQueryInformationFile);
    SIM_EXPORT("ntdll.dll", NtSetInformationFile, SimNtSetInformationFile);
    SIM_EXPORT("ntdll.dll", RtlNtStatusToDosError, SimRtlNtStatusToDosError);
}

} // namespace sim::detail
