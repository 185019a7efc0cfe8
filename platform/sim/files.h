// The simulated file system's nodes, shared by the simulation's file-related
// sources. Nothing outside platform/sim includes this header.
#pragma once

#include <string>
#include <vector>

#include "sim/windows.h"

namespace sim::detail {

struct FileNode {
    std::string path; // normalised, in the case it was created with
    bool folder = false;
    std::string data; // a file's bytes
    DWORD attributes = FILE_ATTRIBUTE_NORMAL;
    bool heldByOtherProcess = false; // open elsewhere without FILE_SHARE_DELETE
    std::string linkTarget;          // a reparse point's target; empty for none
    std::string enumName;            // the name the ANSI enumeration reports, if it differs

    bool IsLink() const { return !linkTarget.empty(); }
    DWORD Attributes() const {
        DWORD a = attributes & ~(FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT);
        if (folder)
            a |= FILE_ATTRIBUTE_DIRECTORY;
        if (IsLink())
            a |= FILE_ATTRIBUTE_REPARSE_POINT;
        if (a == 0)
            a = FILE_ATTRIBUTE_NORMAL;
        return a;
    }
    std::string FindName() const {
        if (!enumName.empty())
            return enumName;
        size_t slash = path.rfind('\\');
        return slash == std::string::npos ? path : path.substr(slash + 1);
    }
};

FileNode *FindNode(const std::string &path);
// Creates the node (and any missing parent folders) or returns the existing one.
FileNode &MakeNode(const std::string &path, bool folder);
void EraseNode(const std::string &path);
std::vector<const FileNode *> Children(const std::string &folder);
// True when a process holds the file open without FILE_SHARE_DELETE.
bool OpenElsewhereWithoutDeleteShare(const std::string &path);
void QueueForRestart(const std::string &path);
// At a restart: no other process holds a file any more, and the queue is
// taken over by the registry value it mirrors.
std::vector<std::string> TakeRestartQueue();
void ReleaseHeldFiles();
// The path a file call of the calling thread reaches: normalised, sent to
// SysWOW64 while WOW64 redirection is on (wow64.cpp).
std::string RedirectPath(const std::string &path);
// RedirectPath, then every link on the way followed to its target; the last
// component too when `followLast`.
std::string ResolvePath(const std::string &path, bool followLast);

} // namespace sim::detail
