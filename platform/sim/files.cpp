// The simulated file system: drive C: with folders and files, open file
// handles with their share modes, files held open by other processes, and
// the list of deletions queued for the next restart.
#include <algorithm>
#include <cctype>
#include <cstring>
#include <map>
#include <stdexcept>
#include <utility>
#include <vector>

#include "sim/control.h"
#include "sim/files.h"
#include "sim/internal.h"

namespace sim::detail {

namespace {

// The rights that the sharing modes of other handles speak of ("Creating
// and Opening Files"): reading and writing a file's data.
constexpr DWORD kReadRights = FILE_READ_DATA | FILE_EXECUTE;
constexpr DWORD kWriteRights = FILE_WRITE_DATA | FILE_APPEND_DATA;

std::map<std::string, FileNode> &Nodes() {
    static std::map<std::string, FileNode> nodes;
    return nodes;
}

std::vector<std::string> &Queue() {
    static std::vector<std::string> queue;
    return queue;
}

std::string &TempPath() {
    static std::string path;
    return path;
}

struct FindObject : Object {
    std::vector<WIN32_FIND_DATAA> entries;
    size_t next = 0;
    const char *Kind() const override { return "find"; }
};

uint64_t &LastNodeId() {
    static uint64_t id = 0;
    return id;
}

WIN32_FIND_DATAA FindData(const std::string &name, DWORD attributes, size_t size) {
    WIN32_FIND_DATAA data;
    std::memset(&data, 0, sizeof data);
    data.dwFileAttributes = attributes;
    data.nFileSizeLow = static_cast<DWORD>(size);
    std::strncpy(data.cFileName, name.c_str(), MAX_PATH - 1);
    return data;
}

// Open handles of this process on a node, as FileObjects.
std::vector<std::shared_ptr<FileObject>> OpenFiles(const std::string &key);

// Splits a path at its separators ("/" and "\\"), hands each component to
// `take`, which adds what it keeps to the parts, and joins the parts with
// backslashes, a leading separator kept.
template <class Take> std::string Rejoin(const std::string &path, Take take) {
    std::vector<std::string> parts;
    std::string part;
    for (char c : path) {
        if (c == '/' || c == '\\') {
            take(part, parts);
            part.clear();
        } else {
            part += c;
        }
    }
    take(part, parts);
    std::string out = path.empty() || (path[0] != '\\' && path[0] != '/') ? "" : "\\";
    for (size_t i = 0; i < parts.size(); ++i)
        out += (i == 0 ? "" : "\\") + parts[i];
    return out;
}

// True when the path key is `top`'s or one below it.
bool IsAtOrBelow(const std::string &key, const std::string &top) {
    return key.compare(0, top.size(), top) == 0 && (key.size() == top.size() || key[top.size()] == '\\');
}

// Moves the node at `source` (its own path, copied: the node goes) with all
// below it to `target`: each keeps its id, so its handles follow it, and
// its security.
void MoveNodes(const std::string source, const std::string &target) {
    const std::string sourceKey = Upper(source);
    std::vector<FileNode> moved;
    for (auto it = Nodes().begin(); it != Nodes().end();) {
        if (!IsAtOrBelow(it->first, sourceKey)) {
            ++it;
            continue;
        }
        moved.push_back(it->second);
        moved.back().path = target + it->second.path.substr(source.size());
        it = Nodes().erase(it);
    }
    for (FileNode &node : moved) {
        for (auto &f : AllOf<FileObject>())
            if (f->node == node.id)
                f->key = Upper(node.path);
        Nodes()[Upper(node.path)] = node;
    }
}

} // namespace

std::string NormalizePath(const std::string &path) {
    // The sim's own form of a path, the key of its nodes: separators made
    // one backslash, nothing else changed. A name reaches it as the file
    // system holds it: "x." stays "x.", as it does in an NT path.
    return Rejoin(path, [](const std::string &part, std::vector<std::string> &parts) {
        if (!part.empty())
            parts.push_back(part);
    });
}

namespace {

const char kVerbatimPrefix[] = "\\\\?\\"; // the four characters \\?\ and nothing else

bool IsVerbatim(const std::string &path) { return path.compare(0, 4, kVerbatimPrefix) == 0; }

} // namespace

// "Naming Files, Paths, and Namespaces": a Win32 path is made full before
// it reaches the file system ("/" and "\" are separators, "." and ".."
// are resolved, and "do not end a file or directory name with a space or a
// period. Although the underlying file system may support such names, the
// Windows shell and user interface does not": GetFullPathName drops each
// component's trailing periods and spaces, so "C:\t\x.\f" is
// "C:\t\x\f" and "x. . " is "x"); while for a path that begins with the
// four characters backslash, backslash, "?", backslash, that prefix "tells
// the Windows APIs to disable all string parsing and to send the string
// that follows it straight to the file system" (the page and
// GetFullPathNameA's own). The rest, separators aside, is kept as it is.
//
// The same page: a path that is neither "\\..." nor "X:\..." is relative,
// "to the current directory", and "C:tmp.txt" names "a file named
// tmp.txt in the current directory on drive C", which for another drive
// than the current folder's is its root here (no process has set one).
std::string Win32FullPath(const std::string &path) {
    if (IsVerbatim(path))
        return NormalizePath(path.substr(4));
    const bool rooted = !path.empty() && (path[0] == '\\' || path[0] == '/');
    const bool drive = path.size() >= 2 && path[1] == ':';
    const std::string &current = ProgramFolder();
    const bool full = drive && path.size() > 2 && (path[2] == '\\' || path[2] == '/');
    if (!path.empty() && !rooted && !full && current.size() > 2 && current[1] == ':') {
        const bool onCurrentDrive = !drive || std::toupper(current[0]) == std::toupper(path[0]);
        return Win32FullPath((onCurrentDrive ? current : path.substr(0, 2)) + "\\" + path.substr(drive ? 2 : 0));
    }
    return Rejoin(path, [](const std::string &part, std::vector<std::string> &parts) {
        if (part == "..") {
            bool atDrive = parts.size() == 1 && parts[0].size() == 2 && parts[0][1] == ':';
            if (!parts.empty() && !atDrive)
                parts.pop_back(); // never above the drive
        } else if (part != ".") {
            size_t kept = part.find_last_not_of(". ");
            std::string name = part.substr(0, kept == std::string::npos ? 0 : kept + 1);
            if (!name.empty())
                parts.push_back(name);
        }
    });
}

// The NT path that Windows makes of a Win32 path: "\??\" and the full path;
// a verbatim path (prefix backslash, backslash, "?", backslash) becomes
// "\??\" and the rest unchanged.
std::string NtPathOf(const std::string &path) {
    return "\\??\\" + (IsVerbatim(path) ? path.substr(4) : Win32FullPath(path));
}

std::string PathKey(const std::string &path) { return Upper(NormalizePath(path)); }

std::string ParentPath(const std::string &normalized) {
    size_t slash = normalized.rfind('\\');
    return slash == std::string::npos ? std::string() : normalized.substr(0, slash);
}

std::string LeafName(const std::string &normalized) {
    size_t slash = normalized.rfind('\\');
    return slash == std::string::npos ? normalized : normalized.substr(slash + 1);
}

FileNode *FindNode(const std::string &path) {
    auto it = Nodes().find(PathKey(path));
    return it == Nodes().end() ? nullptr : &it->second;
}

FileNode *NodeById(uint64_t id) {
    if (id == 0)
        return nullptr;
    for (auto &entry : Nodes())
        if (entry.second.id == id)
            return &entry.second;
    return nullptr;
}

// "ACE Inheritance Rules": a new file takes the entries its folder marks to
// be inherited by objects; a new folder those marked for containers, and
// keeps those for objects only as inherit-only, to pass them on. The entry
// of CREATOR OWNER is given to the creator ("Creator Owner ID").
std::optional<std::vector<sim::AccessEntry>> InheritedList(const FileNode &parent, bool folder,
                                                           const std::string &creator) {
    if (!parent.security.accessList)
        return std::nullopt;
    std::vector<sim::AccessEntry> list;
    for (const sim::AccessEntry &entry : *parent.security.accessList) {
        sim::AccessEntry child = entry;
        child.inheritance &= ~INHERIT_ONLY_ACE;
        if (folder && !(entry.inheritance & CONTAINER_INHERIT_ACE) && (entry.inheritance & OBJECT_INHERIT_ACE))
            child.inheritance |= INHERIT_ONLY_ACE;
        else if (!(entry.inheritance & (folder ? CONTAINER_INHERIT_ACE : OBJECT_INHERIT_ACE)))
            continue;
        if (!folder)
            child.inheritance = 0;
        if (entry.trustee == "S-1-3-0" && !(child.inheritance & INHERIT_ONLY_ACE)) {
            if (folder)
                list.push_back({entry.trustee, entry.access, entry.mode, entry.inheritance | INHERIT_ONLY_ACE});
            child.trustee = creator;
            child.inheritance = 0;
        }
        list.push_back(child);
    }
    return list;
}

FileNode &MakeNode(const std::string &path, bool folder) {
    std::string normalized = NormalizePath(path);
    std::string parent = ParentPath(normalized);
    if (!parent.empty() && parent.size() > 2 && !FindNode(parent))
        MakeNode(parent, true);
    FileNode &node = Nodes()[Upper(normalized)];
    node.path = normalized;
    node.folder = folder;
    if (node.id == 0) {
        node.id = ++LastNodeId();
        // "Ownership of a Securable Object": the creator owns what it makes.
        if (ActingAsUser())
            node.security.owner = kStandardUserSid;
        if (const FileNode *above = FindNode(parent))
            node.security.accessList = InheritedList(*above, folder, ActingAsUser() ? kStandardUserSid : kUserSid);
    }
    return node;
}

void EraseNode(const std::string &path) { Nodes().erase(PathKey(path)); }

std::vector<std::string> TakeRestartQueue() { return std::exchange(Queue(), {}); }

bool DeleteShareConflict(const FileNode &node, DWORD access, DWORD share) {
    for (auto &f : AllOf<FileObject>()) {
        if (f->node != node.id)
            continue;
        if (((access & DELETE) && !(f->share & FILE_SHARE_DELETE)) ||
            ((f->access & DELETE) && !(share & FILE_SHARE_DELETE)))
            return true;
    }
    return false;
}

std::vector<const FileNode *> Children(const std::string &folder) {
    std::string prefix = PathKey(folder) + "\\";
    std::vector<const FileNode *> out;
    for (auto it = Nodes().lower_bound(prefix); it != Nodes().end(); ++it) {
        if (it->first.compare(0, prefix.size(), prefix) != 0)
            break;
        if (it->first.find('\\', prefix.size()) == std::string::npos)
            out.push_back(&it->second);
    }
    return out;
}

bool OpenElsewhereWithoutDeleteShare(const std::string &path) {
    FileNode *node = FindNode(path);
    for (auto &f : AllOf<FileObject>())
        if ((f->key == PathKey(path) || (node && f->node == node->id)) && !(f->share & FILE_SHARE_DELETE))
            return true;
    return false;
}

// Windows records a delayed deletion in the registry, where the session
// manager reads it at the next start: the NT path of the name passed
// ("\??\" and the full path as GetFullPathName makes it; a verbatim path
// as it stands after "\??\"), then an empty target, appended to the list.
// The record, not the name passed, is what the restart acts on.
void QueueForRestart(const std::string &path) {
    std::string recorded = NtPathOf(path);
    Queue().push_back(recorded);
    const char kSessionManager[] = "HKLM\\SYSTEM\\CurrentControlSet\\Control\\Session Manager";
    const char kPendingRenames[] = "PendingFileRenameOperations";
    auto pending = sim::KeyValue(kSessionManager, kPendingRenames);
    std::string list = pending && pending->type == REG_MULTI_SZ ? pending->data : "";
    if (!list.empty() && list.back() == '\0')
        list.pop_back(); // the list's own terminator, added again below
    list += recorded + '\0' + '\0' + '\0';
    sim::PlantValue(kSessionManager, kPendingRenames, REG_MULTI_SZ, list);
}

// Windows gives up after 63 reparse points on one path.
constexpr int kMaxLinkHops = 63;

std::string FollowLinks(const std::string &path, bool followLast) {
    std::string resolved = NormalizePath(path);
    // Links are followed as Windows follows them: every folder on the way,
    // and the last component only when the call opens what the link names.
    // A link's target is an NT path: neither made full again nor redirected
    // ("File System Redirector": the redirector changes the path a 32-bit
    // program passes, not what a reparse point names).
    for (int hops = 0; hops < kMaxLinkHops; ++hops) {
        bool followed = false;
        for (size_t end = resolved.find('\\');; end = resolved.find('\\', end + 1)) {
            bool last = end == std::string::npos;
            FileNode *node = FindNode(resolved.substr(0, end));
            if (node && node->IsLink() && (!last || followLast)) {
                resolved = NormalizePath(node->linkTarget + (last ? "" : resolved.substr(end)));
                followed = true;
                break;
            }
            if (last)
                break;
        }
        if (!followed)
            break;
    }
    return resolved;
}

std::string ResolvePath(const std::string &path, bool followLast) {
    return FollowLinks(RedirectPath(Win32FullPath(path)), followLast);
}

namespace {

std::vector<std::shared_ptr<FileObject>> OpenFiles(const std::string &key) {
    std::vector<std::shared_ptr<FileObject>> out;
    for (auto &f : AllOf<FileObject>())
        if (f->key == key)
            out.push_back(f);
    return out;
}

} // namespace

std::string FilesText() {
    SIM_LOCK();
    std::string text;
    for (auto &entry : Nodes()) {
        const FileNode &node = entry.second;
        text += "file " + node.path + " " + std::to_string(node.Attributes()) + " " + node.linkTarget + " " +
                node.security.owner + " " + std::to_string(node.data.size()) + "\n";
    }
    return text;
}

void ResetFiles() {
    SIM_LOCK();
    Nodes().clear();
    Queue().clear();
    ResetCodePage();
    ResetCallHooks();
    MakeNode("C:", true);
    // No "SysWOW64\drivers": a Wine prefix has none, so a driver file's
    // path with redirection on ends in ERROR_PATH_NOT_FOUND there and here.
    for (const char *folder :
         {"C:\\Windows\\System32\\drivers", "C:\\Windows\\SysWOW64", "C:\\Program Files", "C:\\Program Files (x86)",
          "C:\\ProgramData", "C:\\Users\\Public\\Desktop", "C:\\Users\\Admin\\AppData\\Local\\Temp"})
        MakeNode(folder, true);
    TempPath() = "C:\\Users\\Admin\\AppData\\Local\\Temp\\";
}

// The opening of a Win32 call on a path: counted, a scripted failure taken,
// no path refused. True, with the last error set, when the call ends there.
bool PathCallEnds(const char *api, LPCSTR path) {
    NoteCall(api);
    DWORD code;
    if (TakeFault(api, path, &code))
        return Fail(code, true);
    return path == nullptr || *path == '\0' ? Fail(ERROR_PATH_NOT_FOUND, true) : false;
}

std::shared_ptr<FileObject> FileHandleCall(const char *api, HANDLE h) {
    NoteCall(api);
    auto file = Lookup<FileObject>(h);
    DWORD code;
    if (file && TakeFault(api, nullptr, &code))
        return Fail(code, nullptr);
    return file ? file : Fail(ERROR_INVALID_HANDLE, nullptr);
}

std::string FileOwnerByHandle(HANDLE handle, DWORD *status) {
    auto f = Lookup<FileObject>(handle);
    FileNode *node = f ? NodeById(f->node) : nullptr;
    *status = !f                            ? ERROR_INVALID_HANDLE
              : !node                       ? ERROR_FILE_NOT_FOUND
              : !(f->access & READ_CONTROL) ? ERROR_ACCESS_DENIED
                                            : 0;
    if (*status != 0)
        return std::string();
    return node->security.owner.empty() ? sim::kUserSid : node->security.owner;
}

DWORD SetFileSecurityByHandle(HANDLE handle, const std::string *owner, const std::vector<sim::AccessEntry> *accessList,
                              bool listProtected) {
    auto f = Lookup<FileObject>(handle);
    if (!f)
        return ERROR_INVALID_HANDLE;
    FileNode *node = NodeById(f->node);
    if (node == nullptr)
        return ERROR_FILE_NOT_FOUND;
    if ((owner && !(f->access & WRITE_OWNER)) || (accessList && !(f->access & WRITE_DAC)))
        return ERROR_ACCESS_DENIED;
    if (owner)
        node->security.owner = *owner;
    if (accessList) {
        node->security.accessList = *accessList;
        node->security.listProtected = listProtected;
    }
    return ERROR_SUCCESS;
}

} // namespace sim::detail

using namespace sim::detail;

namespace {

// CreateFile with the path as the file system names it.
HANDLE OpenNamed(const std::string &named, DWORD access, DWORD share, DWORD disposition, DWORD attributes) {
    std::string normalized = ResolvePath(named, !(attributes & FILE_FLAG_OPEN_REPARSE_POINT));
    FileNode *parent = FindNode(ParentPath(normalized));
    FileNode *node = FindNode(normalized);
    // A drive's root has no parent; every other path needs its folder.
    if ((!parent || !parent->folder) && !(node && ParentPath(normalized).empty()))
        return Fail(ERROR_PATH_NOT_FOUND, INVALID_HANDLE_VALUE);
    // The access check (access_check.cpp): CreateFile asks SYNCHRONIZE and
    // FILE_READ_ATTRIBUTES besides what the caller asks; the final name is
    // checked, a link that is followed to it too; a new file needs
    // FILE_ADD_FILE on its folder, and its handle holds what was asked. The
    // handle keeps the rights granted now, generic ones mapped.
    const DWORD asked = access | SYNCHRONIZE | FILE_READ_ATTRIBUTES;
    DWORD granted = 0, passed = 0;
    FileNode *finalLink = FindNode(ResolvePath(named, false));
    if ((finalLink && finalLink->IsLink() && !(attributes & FILE_FLAG_OPEN_REPARSE_POINT) &&
         !FileAccessGranted(finalLink->security, asked, &passed)) ||
        (!node && parent && disposition != OPEN_EXISTING && disposition != TRUNCATE_EXISTING &&
         !FileAccessGranted(parent->security, FILE_ADD_FILE, &passed)) ||
        !FileAccessGranted(node ? node->security : sim::FileSecurity{}, asked, &granted))
        return Fail(ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE);
    // A folder opens only for backup semantics, and only as it is.
    if (node && node->folder) {
        if (!(attributes & FILE_FLAG_BACKUP_SEMANTICS))
            return Fail(ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE);
        if (disposition != OPEN_EXISTING && disposition != OPEN_ALWAYS)
            return Fail(ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE);
        if (DeleteShareConflict(*node, granted, share))
            return Fail(ERROR_SHARING_VIOLATION, INVALID_HANDLE_VALUE);
        auto folder = std::make_shared<FileObject>();
        folder->key = PathKey(normalized);
        folder->node = node->id;
        folder->access = granted;
        folder->share = share;
        SetLastError(ERROR_SUCCESS);
        return reinterpret_cast<HANDLE>(AddHandle(folder));
    }
    if (node) {
        if (DeleteShareConflict(*node, granted, share))
            return Fail(ERROR_SHARING_VIOLATION, INVALID_HANDLE_VALUE);
        for (auto &f : OpenFiles(PathKey(normalized))) {
            bool wantsRead = granted & kReadRights, wantsWrite = granted & kWriteRights;
            bool hasRead = f->access & kReadRights, hasWrite = f->access & kWriteRights;
            if ((wantsRead && !(f->share & FILE_SHARE_READ)) || (wantsWrite && !(f->share & FILE_SHARE_WRITE)) ||
                (hasRead && !(share & FILE_SHARE_READ)) || (hasWrite && !(share & FILE_SHARE_WRITE)))
                return Fail(ERROR_SHARING_VIOLATION, INVALID_HANDLE_VALUE);
        }
        // "2.1.5.1.2.1 Algorithm to Check Access to an Existing File": a
        // read-only file refuses FILE_WRITE_DATA and FILE_APPEND_DATA.
        if ((granted & kWriteRights) && (node->attributes & FILE_ATTRIBUTE_READONLY))
            return Fail(ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE);
    }
    bool existed = node != nullptr;
    switch (disposition) {
    case CREATE_NEW:
        if (existed)
            return Fail(ERROR_FILE_EXISTS, INVALID_HANDLE_VALUE);
        break;
    case OPEN_EXISTING:
    case TRUNCATE_EXISTING:
        if (!existed)
            return Fail(ERROR_FILE_NOT_FOUND, INVALID_HANDLE_VALUE);
        break;
    case CREATE_ALWAYS:
    case OPEN_ALWAYS:
        break;
    default:
        return Fail(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
    }
    if (!existed) {
        node = &MakeNode(normalized, false);
        node->attributes = attributes ? attributes : FILE_ATTRIBUTE_NORMAL;
    }
    if (disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING)
        node->data.clear();
    auto file = std::make_shared<FileObject>();
    file->key = PathKey(normalized);
    file->node = node->id;
    file->access = granted;
    file->share = share;
    HANDLE h = reinterpret_cast<HANDLE>(AddHandle(file));
    SetLastError(existed && (disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS) ? ERROR_ALREADY_EXISTS
                                                                                         : ERROR_SUCCESS);
    return h;
}

} // namespace

HANDLE CreateFileA(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES, DWORD disposition, DWORD attributes,
                   HANDLE) {
    SIM_LOCK();
    if (PathCallEnds("CreateFileA", path))
        return INVALID_HANDLE_VALUE;
    return OpenNamed(FromAnsi(path), access, share, disposition, attributes);
}

// A wide path: the way a test opens a name that has no ANSI form.
HANDLE CreateFileW(const WCHAR *path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES, DWORD disposition,
                   DWORD attributes, HANDLE) {
    SIM_LOCK();
    const std::string named = Utf8(path != nullptr ? std::u16string(path) : std::u16string());
    if (PathCallEnds("CreateFileW", named.c_str()))
        return INVALID_HANDLE_VALUE;
    return OpenNamed(named, access, share, disposition, attributes);
}

BOOL WriteFile(HANDLE h, LPCVOID data, DWORD size, LPDWORD written, LPOVERLAPPED) {
    SIM_LOCK();
    if (written)
        *written = 0;
    auto file = FileHandleCall("WriteFile", h);
    if (!file)
        return FALSE;
    if (!(file->access & kWriteRights))
        return Fail(ERROR_ACCESS_DENIED, FALSE);
    auto it = Nodes().find(file->key);
    if (it == Nodes().end())
        return Fail(ERROR_INVALID_HANDLE, FALSE);
    it->second.data.append(static_cast<const char *>(data), size);
    if (written)
        *written = size;
    return TRUE;
}

BOOL ReadFile(HANDLE h, LPVOID data, DWORD size, LPDWORD read, LPOVERLAPPED) {
    SIM_LOCK();
    // Only whole-file reads from the start are needed by the tests' programs.
    if (read)
        *read = 0;
    auto file = Lookup<FileObject>(h);
    if (!file)
        return Fail(ERROR_INVALID_HANDLE, FALSE);
    auto it = Nodes().find(file->key);
    if (it == Nodes().end())
        return Fail(ERROR_INVALID_HANDLE, FALSE);
    DWORD n = static_cast<DWORD>(std::min<size_t>(size, it->second.data.size()));
    std::memcpy(data, it->second.data.data(), n);
    if (read)
        *read = n;
    return TRUE;
}

namespace {

// "File Security and Access Rights": deleting an item needs DELETE on it,
// or FILE_DELETE_CHILD on its folder.
bool MayDelete(const FileNode &node) {
    DWORD granted = 0;
    if (FileAccessGranted(node.security, DELETE, &granted))
        return true;
    const FileNode *parent = FindNode(ParentPath(node.path));
    return parent && FileAccessGranted(parent->security, FILE_DELETE_CHILD, &granted);
}

// The node a path names, a link at its end itself, never its target. NULL,
// with the last error set, when there is none.
FileNode *NamedNode(LPCSTR path, std::string *normalized) {
    *normalized = ResolvePath(path, false);
    FileNode *node = FindNode(*normalized);
    if (node == nullptr) {
        FileNode *parent = FindNode(ParentPath(*normalized));
        SetLastError(parent && parent->folder ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND);
    }
    return node;
}

// The node that DeleteFileA or RemoveDirectoryA acts on.
FileNode *NodeToRemove(const char *api, LPCSTR path, std::string *normalized) {
    return PathCallEnds(api, path) ? nullptr : NamedNode(FromAnsi(path).c_str(), normalized);
}

bool OpenAnywhere(const FileNode &node) {
    for (auto &f : AllOf<FileObject>())
        if (f->node == node.id)
            return true;
    return false;
}

// A rename or move on the one volume, as MoveFileExA makes it without
// MOVEFILE_DELAY_UNTIL_REBOOT: the item is opened by its name for DELETE
// (a link at the end of either name is itself the item) and that open is
// renamed. Sources, one line each:
// - "2.1.5.15.11 FileRenameInformation": the open renamed must hold DELETE,
//   which "File Security and Access Rights" grants by DELETE on the item
//   or FILE_DELETE_CHILD on its folder (MayDelete).
// - "Creating and Opening Files": that open is refused while another
//   handle does not share delete.
// - "Set File Information Processing": the target's folder is opened "to
//   ensure that the user has access to create a child under that parent":
//   FILE_ADD_FILE for a file, FILE_ADD_SUBDIRECTORY for a folder
//   ("File Security and Access Rights").
// - "2.4.41 FileRenameInformation": a name that exists is a collision
//   unless it is to be replaced, and an open one cannot be replaced.
// - "MoveFileExA function": MOVEFILE_REPLACE_EXISTING "cannot be used if
//   lpNewFileName or lpExistingFileName names a directory".
// - "MoveFileA function": only a move across volumes loses the item's
//   security descriptor; the item and all below it keep theirs.
// Traversing the folders on the way is never checked ("Bypass traverse
// checking", held by every token).
BOOL MoveNodeTo(FileNode *node, const std::string &source, const std::string &replacement, DWORD flags);

BOOL Rename(LPCSTR existing, LPCSTR replacement, DWORD flags) {
    std::string source;
    FileNode *node = NamedNode(existing, &source);
    if (node == nullptr)
        return FALSE;
    if (replacement == nullptr || *replacement == '\0')
        return Fail(ERROR_INVALID_PARAMETER, FALSE);
    if (ParentPath(source).empty() || !MayDelete(*node))
        return Fail(ERROR_ACCESS_DENIED, FALSE);
    if (OpenElsewhereWithoutDeleteShare(source))
        return Fail(ERROR_SHARING_VIOLATION, FALSE);
    return MoveNodeTo(node, source, replacement, flags);
}

// The move itself, once the open renamed holds DELETE: the target's folder
// and name are checked, and the item goes there.
BOOL MoveNodeTo(FileNode *node, const std::string &source, const std::string &replacement, DWORD flags) {
    const std::string target = ResolvePath(replacement.c_str(), false);
    const FileNode *folder = FindNode(ParentPath(target));
    DWORD granted = 0;
    if (folder == nullptr || !folder->folder)
        return Fail(ERROR_PATH_NOT_FOUND, FALSE);
    if (!FileAccessGranted(folder->security, node->folder ? FILE_ADD_SUBDIRECTORY : FILE_ADD_FILE, &granted))
        return Fail(ERROR_ACCESS_DENIED, FALSE);
    const std::string sourceKey = PathKey(source), targetKey = PathKey(target);
    // A folder cannot go below itself (refused; the code is the simulation's).
    if (targetKey != sourceKey && IsAtOrBelow(targetKey, sourceKey))
        return Fail(ERROR_INVALID_PARAMETER, FALSE);
    FileNode *replaced = targetKey == sourceKey ? nullptr : FindNode(target);
    if (replaced != nullptr) {
        if (!(flags & MOVEFILE_REPLACE_EXISTING))
            return Fail(ERROR_ALREADY_EXISTS, FALSE);
        if (node->folder || replaced->folder || !MayDelete(*replaced) || OpenAnywhere(*replaced))
            return Fail(ERROR_ACCESS_DENIED, FALSE);
        EraseNode(target);
    }
    MoveNodes(node->path, folder->path + "\\" + LeafName(target));
    return TRUE;
}

} // namespace

// "SetFileInformationByHandle function", FileRenameInfo: the rename of the
// open the handle is, which must have been granted DELETE at its opening
// ("2.1.5.15.11 FileRenameInformation"); the new name is a full path.
BOOL SetFileInformationByHandle(HANDLE file, FILE_INFO_BY_HANDLE_CLASS infoClass, LPVOID info, DWORD size) {
    SIM_LOCK();
    auto f = FileHandleCall("SetFileInformationByHandle", file);
    if (!f)
        return FALSE;
    FileNode *node = NodeById(f->node);
    const auto *rename = static_cast<const FILE_RENAME_INFO *>(info);
    if (infoClass != FileRenameInfo || rename == nullptr || size < sizeof(FILE_RENAME_INFO) ||
        rename->RootDirectory != nullptr || rename->FileNameLength > size - offsetof(FILE_RENAME_INFO, FileName))
        return Fail(ERROR_INVALID_PARAMETER, FALSE);
    if (node == nullptr)
        return Fail(ERROR_FILE_NOT_FOUND, FALSE);
    if (!(f->access & DELETE) || ParentPath(node->path).empty())
        return Fail(ERROR_ACCESS_DENIED, FALSE);
    const std::u16string name(rename->FileName, rename->FileNameLength / sizeof(WCHAR));
    return MoveNodeTo(node, node->path, Utf8(name), rename->ReplaceIfExists ? MOVEFILE_REPLACE_EXISTING : 0);
}

namespace {

BOOL MoveFileEx(const char *api, LPCSTR existing, LPCSTR replacement, DWORD flags) {
    if (PathCallEnds(api, existing))
        return FALSE;
    if (!(flags & MOVEFILE_DELAY_UNTIL_REBOOT))
        return Rename(existing, replacement, flags);
    if (replacement != nullptr)
        return Fail(ERROR_CALL_NOT_IMPLEMENTED, FALSE); // a rename at the restart: nothing needs one
    // "MoveFileExA function": the delay "can be used only if the process is
    // in the context of a user who belongs to the administrators group".
    if (ActingAsUser() || !IsAdministratorToken())
        return Fail(ERROR_ACCESS_DENIED, FALSE);
    // Windows only records the request; the path need not exist.
    QueueForRestart(existing);
    return TRUE;
}

} // namespace

BOOL MoveFileExA(LPCSTR existing, LPCSTR replacement, DWORD flags) {
    SIM_LOCK();
    const std::string from = FromAnsi(existing), to = FromAnsi(replacement);
    return MoveFileEx("MoveFileExA", existing != nullptr ? from.c_str() : nullptr,
                      replacement != nullptr ? to.c_str() : nullptr, flags);
}

// The same, with the names as the file system holds them.
BOOL MoveFileExW(LPCWSTR existing, LPCWSTR replacement, DWORD flags) {
    SIM_LOCK();
    auto narrow = [](LPCWSTR wide) { return wide != nullptr ? Utf8(std::u16string(wide)) : std::string(); };
    const std::string from = narrow(existing), to = narrow(replacement);
    return MoveFileEx("MoveFileExW", existing != nullptr ? from.c_str() : nullptr,
                      replacement != nullptr ? to.c_str() : nullptr, flags);
}

// Windows' order of refusals: a missing parent or node, then the kind of
// node, then another process's open handle, then the read-only attribute.
BOOL DeleteFileA(LPCSTR path) {
    SIM_LOCK();
    std::string normalized;
    FileNode *node = NodeToRemove("DeleteFileA", path, &normalized);
    if (node == nullptr)
        return FALSE;
    if (node->folder || !MayDelete(*node))
        return Fail(ERROR_ACCESS_DENIED, FALSE);
    if (OpenElsewhereWithoutDeleteShare(normalized))
        return Fail(ERROR_SHARING_VIOLATION, FALSE);
    if (node->attributes & FILE_ATTRIBUTE_READONLY)
        return Fail(ERROR_ACCESS_DENIED, FALSE);
    EraseNode(normalized);
    return TRUE;
}

BOOL RemoveDirectoryA(LPCSTR path) {
    SIM_LOCK();
    std::string normalized;
    FileNode *node = NodeToRemove("RemoveDirectoryA", path, &normalized);
    if (node == nullptr)
        return FALSE;
    if (!node->folder)
        return Fail(ERROR_DIRECTORY, FALSE);
    if (ParentPath(normalized).empty() || !MayDelete(*node))
        return Fail(ERROR_ACCESS_DENIED, FALSE); // a drive's root, or refused
    if (OpenElsewhereWithoutDeleteShare(normalized))
        return Fail(ERROR_SHARING_VIOLATION, FALSE);
    // Windows honours a folder's read-only attribute here (Wine ignores it).
    if (node->attributes & FILE_ATTRIBUTE_READONLY)
        return Fail(ERROR_ACCESS_DENIED, FALSE);
    // A directory link goes alone, whatever its target holds.
    if (!node->IsLink() && !Children(normalized).empty())
        return Fail(ERROR_DIR_NOT_EMPTY, FALSE);
    EraseNode(normalized);
    return TRUE;
}

namespace {

// CreateDirectory with the path as the file system names it.
BOOL CreateDirectoryNamed(const char *api, const char *subject, const std::string &path) {
    NoteCall(api);
    DWORD code;
    if (TakeFault(api, subject, &code))
        return Fail(code, FALSE);
    std::string normalized = ResolvePath(path, false);
    FileNode *parent = FindNode(ParentPath(normalized));
    if (!parent || !parent->folder)
        return Fail(ERROR_PATH_NOT_FOUND, FALSE);
    if (FindNode(normalized))
        return Fail(ERROR_ALREADY_EXISTS, FALSE);
    DWORD granted = 0;
    if (!FileAccessGranted(parent->security, FILE_ADD_SUBDIRECTORY, &granted))
        return Fail(ERROR_ACCESS_DENIED, FALSE);
    MakeNode(normalized, true).attributes = FILE_ATTRIBUTE_DIRECTORY;
    return TRUE;
}

} // namespace

BOOL CreateDirectoryA(LPCSTR path, LPSECURITY_ATTRIBUTES) {
    SIM_LOCK();
    return CreateDirectoryNamed("CreateDirectoryA", path, FromAnsi(path));
}

// A wide path: the way a test makes a name that has no ANSI form.
BOOL CreateDirectoryW(const WCHAR *path, LPSECURITY_ATTRIBUTES) {
    SIM_LOCK();
    const std::string utf8 = Utf8(path != nullptr ? std::u16string(path) : std::u16string());
    return CreateDirectoryNamed("CreateDirectoryW", utf8.c_str(), utf8);
}

DWORD GetFileAttributesA(LPCSTR path) {
    SIM_LOCK();
    NoteCall("GetFileAttributesA");
    DWORD code;
    if (TakeFault("GetFileAttributesA", path, &code))
        return Fail(code, INVALID_FILE_ATTRIBUTES);
    // A link reports its own attributes, reparse point included.
    std::string normalized = ResolvePath(FromAnsi(path), false);
    FileNode *node = FindNode(normalized);
    if (!node) {
        FileNode *parent = FindNode(ParentPath(normalized));
        return Fail(parent && parent->folder ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND, INVALID_FILE_ATTRIBUTES);
    }
    return node->Attributes();
}

BOOL SetFileAttributesA(LPCSTR path, DWORD attributes) {
    SIM_LOCK();
    DWORD code;
    if (TakeFault("SetFileAttributesA", path, &code))
        return Fail(code, FALSE);
    FileNode *node = FindNode(ResolvePath(FromAnsi(path), false));
    if (!node)
        return Fail(ERROR_FILE_NOT_FOUND, FALSE);
    node->attributes = attributes & ~FILE_ATTRIBUTE_DIRECTORY;
    return TRUE;
}

DWORD GetTempPathA(DWORD size, LPSTR buffer) {
    SIM_LOCK();
    DWORD code;
    if (TakeFault("GetTempPathA", nullptr, &code))
        return Fail(code, 0u);
    const std::string &path = TempPath();
    if (path.size() + 1 > size)
        return static_cast<DWORD>(path.size() + 1);
    std::memcpy(buffer, path.c_str(), path.size() + 1);
    return static_cast<DWORD>(path.size());
}

HANDLE FindFirstFileA(LPCSTR pattern, LPWIN32_FIND_DATAA data) {
    SIM_LOCK();
    NoteCall("FindFirstFileA");
    DWORD code;
    if (TakeFault("FindFirstFileA", pattern, &code))
        return Fail(code, INVALID_HANDLE_VALUE);
    std::string text = FromAnsi(pattern);
    // The program only ever lists a whole folder: "<folder>\*".
    if (text.size() < 2 || text.compare(text.size() - 2, 2, "\\*") != 0)
        return Fail(ERROR_INVALID_NAME, INVALID_HANDLE_VALUE);
    // The folder is opened, so a link there is followed to its target.
    std::string folder = ResolvePath(text.substr(0, text.size() - 2), true);
    FileNode *node = FindNode(folder);
    if (node && node->IsLink())
        return Fail(static_cast<DWORD>(ERROR_CANT_RESOLVE_FILENAME), INVALID_HANDLE_VALUE);
    if (!node || !node->folder)
        return Fail(node ? ERROR_DIRECTORY : ERROR_PATH_NOT_FOUND, INVALID_HANDLE_VALUE);
    auto find = std::make_shared<FindObject>();
    if (folder.size() > 2) {
        find->entries.push_back(FindData(".", FILE_ATTRIBUTE_DIRECTORY, 0));
        find->entries.push_back(FindData("..", FILE_ATTRIBUTE_DIRECTORY, 0));
    }
    for (const FileNode *child : Children(folder)) {
        find->entries.push_back(FindData(child->FindName(), child->Attributes(), child->data.size()));
        find->entries.back().dwReserved0 = child->reparseTag;
    }
    if (find->entries.empty())
        return Fail(ERROR_FILE_NOT_FOUND, INVALID_HANDLE_VALUE);
    *data = find->entries[0];
    find->next = 1;
    return reinterpret_cast<HANDLE>(AddHandle(find));
}

BOOL FindNextFileA(HANDLE h, LPWIN32_FIND_DATAA data) {
    SIM_LOCK();
    NoteCall("FindNextFileA");
    auto find = Lookup<FindObject>(h);
    if (!find)
        return Fail(ERROR_INVALID_HANDLE, FALSE);
    DWORD code;
    if (TakeFault("FindNextFileA", nullptr, &code))
        return Fail(code, FALSE);
    if (find->next >= find->entries.size())
        return Fail(ERROR_NO_MORE_FILES, FALSE);
    *data = find->entries[find->next++];
    return TRUE;
}

BOOL FindClose(HANDLE h) {
    SIM_LOCK();
    if (!Lookup<FindObject>(h))
        return Fail(ERROR_INVALID_HANDLE, FALSE);
    RemoveHandle(h);
    return TRUE;
}

namespace sim {

void PlantFolder(const std::string &path) {
    SIM_LOCK();
    MakeNode(path, true).attributes = FILE_ATTRIBUTE_DIRECTORY;
}

void PlantFile(const std::string &path, const std::string &bytes, DWORD attributes) {
    SIM_LOCK();
    FileNode &node = MakeNode(path, false);
    node.data = bytes;
    node.attributes = attributes;
}

std::optional<std::string> FileBytes(const std::string &path) {
    SIM_LOCK();
    FileNode *node = FindNode(path);
    if (!node || node->folder)
        return std::nullopt;
    return node->data;
}

bool Exists(const std::string &path) {
    SIM_LOCK();
    return FindNode(path) != nullptr;
}

void SetFileOwner(const std::string &path, const std::string &owner) {
    SIM_LOCK();
    if (FileNode *node = FindNode(path))
        node->security.owner = owner;
}

void SetFileSecurity(const std::string &path, const FileSecurity &security) {
    SIM_LOCK();
    if (FileNode *node = FindNode(path))
        node->security = security;
}

FileSecurity FileSecurityOf(const std::string &path) {
    SIM_LOCK();
    FileNode *node = FindNode(path);
    return node ? node->security : FileSecurity{};
}

std::vector<std::string> RestartQueue() {
    SIM_LOCK();
    return Queue();
}

std::vector<std::string> FolderEntries(const std::string &path) {
    SIM_LOCK();
    std::vector<std::string> names;
    for (const FileNode *child : Children(path))
        names.push_back(LeafName(child->path));
    return names;
}

void PlantLink(const std::string &path, const std::string &target, bool directory, DWORD tag) {
    SIM_LOCK();
    FileNode &node = MakeNode(path, directory);
    node.attributes = directory ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_NORMAL;
    node.linkTarget = NormalizePath(target);
    node.reparseData.clear();
    node.reparseTag = tag;
}

void PlantReparseData(const std::string &path, DWORD tag) {
    SIM_LOCK();
    if (FileNode *node = FindNode(path))
        node->reparseTag = tag;
}

bool MoveTree(const std::string &from, const std::string &to) {
    SIM_LOCK();
    FileNode *source = FindNode(from);
    std::string target = NormalizePath(to);
    FileNode *parent = FindNode(ParentPath(target));
    if (!source || FindNode(target) || !parent || !parent->folder)
        return false;
    MoveNodes(source->path, target);
    return true;
}

void RemoveTree(const std::string &path) {
    SIM_LOCK();
    std::string key = PathKey(path);
    for (auto it = Nodes().begin(); it != Nodes().end();)
        it = IsAtOrBelow(it->first, key) ? Nodes().erase(it) : std::next(it);
}

void HoldOpenElsewhere(const std::string &path) {
    SIM_LOCK();
    HANDLE held = INVALID_HANDLE_VALUE;
    DWORD error = 0;
    AsUser([&] {
        held = OpenNamed(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING,
                         FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT);
        error = GetLastError();
    });
    if (held == INVALID_HANDLE_VALUE)
        throw std::runtime_error("the user cannot hold " + path + " open: " + std::to_string(error));
}

void SetTempPath(const std::string &path) {
    SIM_LOCK();
    TempPath() = path;
}

} // namespace sim
