// Links a process makes itself: a mount point (junction) set through a
// handle to an empty folder with FSCTL_SET_REPARSE_POINT, and taken off with
// FSCTL_DELETE_REPARSE_POINT; a symbolic link with CreateSymbolicLinkA.
// Sources, one line each:
// - "2.1.5.10.37 FSCTL_SET_REPARSE_POINT", "2.1.5.10.3
//   FSCTL_DELETE_REPARSE_POINT": the handle's granted access must hold
//   FILE_WRITE_DATA or FILE_WRITE_ATTRIBUTES; the buffer is its header's 8
//   bytes and ReparseDataLength, at most 16384; a mount point's tag goes on
//   a directory only.
// - "FSCTL_SET_REPARSE_POINT control code": STATUS_DIRECTORY_NOT_EMPTY, "a
//   reparse point cannot be set on a nonempty directory".
// - "Reparse Point Operations": modifying or deleting a reparse point names
//   its tag, or fails with ERROR_REPARSE_TAG_MISMATCH.
// - "FSCTL_DELETE_REPARSE_POINT control code": the buffer is the header
//   alone, ReparseDataLength zero; "2.3.6 FSCTL_DELETE_REPARSE_POINT
//   Reply": STATUS_NOT_A_REPARSE_POINT where there is none.
// - "REPARSE_DATA_BUFFER structure": a mount point's substitute name is the
//   NT path it stands for ("\??\C:\..."), its print name the one shown.
// - "CreateSymbolicLinkA function" / "FSCTL_SET_REPARSE_POINT IOCTL": a
//   symbolic link needs SE_CREATE_SYMBOLIC_LINK_NAME (developer mode, which
//   lets a user do without, is off on a server); "3.3.5.15.13 Handling a Set
//   Reparse Point Request": the privilege is the symbolic link's alone.
// - "FSCTL_GET_REPARSE_POINT control code", "2.3.28 FSCTL_GET_REPARSE_POINT
//   Reply": the data is read through any handle to the reparse point
//   itself; STATUS_BUFFER_TOO_SMALL below the header, STATUS_BUFFER_OVERFLOW
//   (the data cut at the buffer's end) for the rest, STATUS_NOT_A_REPARSE_POINT
//   where there is none. A link's substitute name is "\??\" and its target,
//   its print name the target; a symbolic link's flags say it is absolute,
//   or for one made with a relative target ("REPARSE_DATA_BUFFER
//   structure", SYMLINK_FLAG_RELATIVE) that its names are that target.
//   The data a process set is what it reads back, byte for byte: the file
//   system keeps the buffer, checking only the header and name fields.
// - "Set File Information Processing" / "File Security and Access Rights":
//   a new name in a folder needs FILE_ADD_FILE or FILE_ADD_SUBDIRECTORY.
#include <algorithm>
#include <cstring>

#include "sim/control.h"
#include "sim/files.h"

namespace sim::detail {

namespace {

const char kCreateSymbolicLink[] = "SeCreateSymbolicLinkPrivilege";
constexpr size_t kHeaderBytes = REPARSE_DATA_BUFFER_HEADER_SIZE;
constexpr size_t kNameFields = 4 * sizeof(USHORT); // the offsets and lengths of a mount point's two names

template <class T> T At(const BYTE *data, size_t offset) {
    T value;
    std::memcpy(&value, data + offset, sizeof value);
    return value;
}

// The target a mount point's data names, or false when a name lies outside
// the data or the substitute name is no "\??\" path.
bool MountPointTarget(const BYTE *data, size_t length, std::string *target) {
    if (length < kNameFields)
        return false;
    const BYTE *names = data + kHeaderBytes + kNameFields;
    const size_t room = length - kNameFields;
    for (size_t field = 0; field < 4; field += 2) {
        const size_t offset = At<USHORT>(data, kHeaderBytes + field * 2),
                     bytes = At<USHORT>(data, kHeaderBytes + field * 2 + 2);
        if (offset > room || bytes > room - offset || bytes % sizeof(WCHAR) != 0)
            return false;
    }
    std::u16string substitute(At<USHORT>(data, kHeaderBytes + 2) / sizeof(WCHAR), u'\0');
    std::memcpy(&substitute[0], names + At<USHORT>(data, kHeaderBytes), substitute.size() * sizeof(WCHAR));
    if (substitute.compare(0, 4, u"\\??\\") != 0 || substitute.size() == 4)
        return false;
    *target = NormalizePath(Utf8(substitute.substr(4)));
    return true;
}

DWORD SetMountPoint(FileNode &node, const BYTE *data, size_t size) {
    const ULONG tag = At<ULONG>(data, 0);
    const size_t length = At<USHORT>(data, sizeof(ULONG));
    if (size != kHeaderBytes + length)
        return ERROR_INVALID_REPARSE_DATA;
    if (node.reparseTag != 0 && node.reparseTag != tag)
        return ERROR_REPARSE_TAG_MISMATCH;
    if (tag == IO_REPARSE_TAG_SYMLINK && !PrivilegeHeld(kCreateSymbolicLink))
        return ERROR_PRIVILEGE_NOT_HELD;
    if (tag != IO_REPARSE_TAG_MOUNT_POINT)
        return ERROR_INVALID_FUNCTION; // the simulated machine makes no other kind this way
    if (!node.folder)
        return ERROR_DIRECTORY;
    if (!node.IsLink() && !Children(node.path).empty())
        return ERROR_DIR_NOT_EMPTY;
    std::string target;
    if (!MountPointTarget(data, length, &target))
        return ERROR_INVALID_REPARSE_DATA;
    node.reparseTag = tag;
    node.linkTarget = target;
    node.reparseData.assign(reinterpret_cast<const char *>(data), size);
    return ERROR_SUCCESS;
}

DWORD DeleteReparsePoint(FileNode &node, const BYTE *data, size_t size) {
    if (size != kHeaderBytes || At<USHORT>(data, sizeof(ULONG)) != 0)
        return ERROR_INVALID_REPARSE_DATA;
    if (node.reparseTag == 0)
        return ERROR_NOT_A_REPARSE_POINT;
    if (node.reparseTag != At<ULONG>(data, 0))
        return ERROR_REPARSE_TAG_MISMATCH;
    node.reparseTag = 0;
    node.linkTarget.clear();
    node.reparseData.clear();
    return ERROR_SUCCESS;
}

constexpr ULONG kRelativeTarget = 1; // SYMLINK_FLAG_RELATIVE

// A link's reparse data: its substitute and print names, and for a
// symbolic link its flags.
std::string LinkData(DWORD tag, const std::u16string &substitute, const std::u16string &print, ULONG flags) {
    const bool symbolic = tag == IO_REPARSE_TAG_SYMLINK;
    std::string names(reinterpret_cast<const char *>(substitute.data()), substitute.size() * sizeof(char16_t));
    names.append(reinterpret_cast<const char *>(print.data()), print.size() * sizeof(char16_t));
    const USHORT fields[4] = {0, static_cast<USHORT>(substitute.size() * 2), static_cast<USHORT>(substitute.size() * 2),
                              static_cast<USHORT>(print.size() * 2)};
    std::string body(reinterpret_cast<const char *>(fields), sizeof fields);
    if (symbolic)
        body.append(reinterpret_cast<const char *>(&flags), sizeof flags);
    body += names;
    const USHORT length = static_cast<USHORT>(body.size());
    std::string data(reinterpret_cast<const char *>(&tag), sizeof tag);
    data.append(reinterpret_cast<const char *>(&length), sizeof length);
    data.append(2, '\0');
    return data + body;
}

// The data FSCTL_GET_REPARSE_POINT gives of a link: as a process set it,
// or else made from its full target.
std::string ReparseData(const FileNode &node) {
    if (!node.reparseData.empty())
        return node.reparseData;
    const std::u16string print = Utf16(node.linkTarget);
    return LinkData(node.reparseTag, u"\\??\\" + print, print, 0);
}

DWORD GetReparsePoint(const FileNode &node, LPVOID out, DWORD outSize, LPDWORD returned) {
    if (node.reparseTag == 0 || !node.IsLink())
        return ERROR_NOT_A_REPARSE_POINT;
    if (out == nullptr || outSize < kHeaderBytes)
        return ERROR_INSUFFICIENT_BUFFER;
    const std::string data = ReparseData(node);
    const DWORD copied = static_cast<DWORD>(std::min<size_t>(data.size(), outSize));
    std::memcpy(out, data.data(), copied);
    if (returned != nullptr)
        *returned = copied;
    return copied < data.size() ? ERROR_MORE_DATA : ERROR_SUCCESS;
}

} // namespace

} // namespace sim::detail

using namespace sim::detail;

BOOL DeviceIoControl(HANDLE device, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize, LPDWORD returned,
                     LPOVERLAPPED) {
    SIM_LOCK();
    if (returned != nullptr)
        *returned = 0;
    auto file = FileHandleCall("DeviceIoControl", device);
    if (!file)
        return FALSE;
    FileNode *node = NodeById(file->node);
    if (node == nullptr)
        return Fail(ERROR_FILE_NOT_FOUND, FALSE);
    if (code == FSCTL_GET_REPARSE_POINT) {
        const DWORD error = GetReparsePoint(*node, out, outSize, returned);
        return error == ERROR_SUCCESS ? TRUE : Fail(error, FALSE);
    }
    if (code != FSCTL_SET_REPARSE_POINT && code != FSCTL_DELETE_REPARSE_POINT)
        return Fail(ERROR_INVALID_FUNCTION, FALSE);
    // The rights the handle was granted at its opening, whatever its item's
    // list says now.
    if (!(file->access & (FILE_WRITE_DATA | FILE_WRITE_ATTRIBUTES)))
        return Fail(ERROR_ACCESS_DENIED, FALSE);
    if (in == nullptr || inSize < kHeaderBytes || inSize > MAXIMUM_REPARSE_DATA_BUFFER_SIZE)
        return Fail(ERROR_INVALID_REPARSE_DATA, FALSE);
    const BYTE *data = static_cast<const BYTE *>(in);
    const DWORD error =
        code == FSCTL_SET_REPARSE_POINT ? SetMountPoint(*node, data, inSize) : DeleteReparsePoint(*node, data, inSize);
    return error == ERROR_SUCCESS ? TRUE : Fail(error, FALSE);
}

BOOLEAN CreateSymbolicLinkA(LPCSTR link, LPCSTR target, DWORD flags) {
    SIM_LOCK();
    NoteCall("CreateSymbolicLinkA");
    DWORD code;
    if (TakeFault("CreateSymbolicLinkA", link, &code))
        return Fail(code, static_cast<BOOLEAN>(FALSE));
    if (link == nullptr || *link == '\0' || target == nullptr || *target == '\0')
        return Fail(ERROR_INVALID_PARAMETER, static_cast<BOOLEAN>(FALSE));
    if (!PrivilegeHeld(kCreateSymbolicLink))
        return Fail(ERROR_PRIVILEGE_NOT_HELD, static_cast<BOOLEAN>(FALSE));
    const std::string path = ResolvePath(FromAnsi(link), false);
    const FileNode *folder = FindNode(ParentPath(path));
    const bool directory = (flags & SYMBOLIC_LINK_FLAG_DIRECTORY) != 0;
    DWORD granted = 0;
    if (folder == nullptr || !folder->folder)
        return Fail(ERROR_PATH_NOT_FOUND, static_cast<BOOLEAN>(FALSE));
    if (FindNode(path) != nullptr)
        return Fail(ERROR_ALREADY_EXISTS, static_cast<BOOLEAN>(FALSE));
    if (!FileAccessGranted(folder->security, directory ? FILE_ADD_SUBDIRECTORY : FILE_ADD_FILE, &granted))
        return Fail(ERROR_ACCESS_DENIED, static_cast<BOOLEAN>(FALSE));
    // A relative target is taken from the link's folder.
    const std::string named = FromAnsi(target);
    const bool full = named.size() > 1 && (named[1] == ':' || named[0] == '\\');
    FileNode &node = MakeNode(path, directory);
    node.attributes = directory ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_NORMAL;
    node.linkTarget = Win32FullPath(full ? named : folder->path + "\\" + named);
    node.reparseTag = IO_REPARSE_TAG_SYMLINK;
    if (!full)
        node.reparseData = LinkData(node.reparseTag, Utf16(named), Utf16(named), kRelativeTarget);
    return TRUE;
}
