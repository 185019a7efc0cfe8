// A restart of the simulated machine: the other processes end, and the
// deletions queued for the restart are carried out.
#include "sim/control.h"
#include "sim/files.h"
#include "sim/internal.h"

namespace sim {

void Restart() {
    std::vector<std::string> queue;
    {
        SIM_LOCK();
        detail::ReleaseHeldFiles();
        queue = detail::TakeRestartQueue();
    }
    // A read-only file stays: its deletion is refused, as DeleteFileA does.
    for (const std::string &path : queue) {
        DWORD attributes = GetFileAttributesA(path.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
            RemoveDirectoryA(path.c_str());
        else if (attributes != INVALID_FILE_ATTRIBUTES)
            DeleteFileA(path.c_str());
    }
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Control\\Session Manager", 0,
                      KEY_ALL_ACCESS | KEY_WOW64_64KEY, &key) == ERROR_SUCCESS) {
        RegDeleteValueA(key, "PendingFileRenameOperations");
        RegCloseKey(key);
    }
}

} // namespace sim
