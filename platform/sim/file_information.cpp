// What a file handle tells of the node it names: GetFileInformationByHandle,
// and the hard links another process may give a file.
#include <cstring>

#include "sim/control.h"
#include "sim/files.h"

BOOL GetFileInformationByHandle(HANDLE file, LPBY_HANDLE_FILE_INFORMATION info) {
    using namespace sim::detail;
    SIM_LOCK();
    NoteCall("GetFileInformationByHandle");
    DWORD code = 0;
    if (TakeFault("GetFileInformationByHandle", "", &code))
        return Fail(code, FALSE);
    auto object = Lookup<FileObject>(file);
    if (!object)
        return Fail(ERROR_INVALID_HANDLE, FALSE);
    FileNode *node = NodeById(object->node);
    if (!node)
        return Fail(ERROR_FILE_NOT_FOUND, FALSE); // deleted under the handle
    std::memset(info, 0, sizeof *info);
    info->dwFileAttributes = node->Attributes();
    info->dwVolumeSerialNumber = 0x5A17;
    info->nFileSizeLow = static_cast<DWORD>(node->data.size());
    info->nNumberOfLinks = node->links;
    info->nFileIndexHigh = static_cast<DWORD>(node->id >> 32);
    info->nFileIndexLow = static_cast<DWORD>(node->id);
    return TRUE;
}

namespace sim {

void AddHardLinkElsewhere(const std::string &path) {
    SIM_LOCK();
    if (detail::FileNode *node = detail::FindNode(path))
        ++node->links;
}

} // namespace sim
