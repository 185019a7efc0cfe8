// A restart of the simulated machine: the other processes end, and the
// deletions queued for the restart are carried out as the session manager
// carries them out at boot ("MoveFileExA function": MOVEFILE_DELAY_UNTIL_REBOOT
// records the request in PendingFileRenameOperations and "the system
// deletes" the file, or the folder if it is empty, "during restart"):
// - by the NT path recorded, as it was recorded: Windows does not make it
//   full a second time (Wine's replay does: a Wine difference);
// - natively: no WOW64 redirection, whatever the program's thread had;
// - links on the way are followed; the item found there is deleted itself
//   (a link goes alone, its target stays);
// - a missing item, a non-empty folder and a read-only item are skipped
//   (the deletion is refused; nothing else happens).
#include "sim/control.h"
#include "sim/files.h"
#include "sim/internal.h"

namespace sim {

namespace {

void CarryOut(const std::string &recorded) {
    const std::string prefix = "\\??\\";
    std::string path = recorded.compare(0, prefix.size(), prefix) == 0 ? recorded.substr(prefix.size()) : recorded;
    std::string found = detail::FollowLinks(path, false);
    detail::FileNode *node = detail::FindNode(found);
    if (node == nullptr || detail::ParentPath(node->path).empty())
        return;
    if (node->attributes & FILE_ATTRIBUTE_READONLY)
        return;
    if (node->folder && !node->IsLink() && !detail::Children(found).empty())
        return;
    detail::EraseNode(found);
}

} // namespace

void Restart() {
    SIM_LOCK();
    // Every other process ends with the old session.
    detail::EndUserProcesses();
    for (const std::string &recorded : detail::TakeRestartQueue())
        CarryOut(recorded);
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Control\\Session Manager", 0,
                      KEY_ALL_ACCESS | KEY_WOW64_64KEY, &key) == ERROR_SUCCESS) {
        RegDeleteValueA(key, "PendingFileRenameOperations");
        RegCloseKey(key);
    }
}

} // namespace sim
