// The simulated file system's nodes, shared by the simulation's file-related
// sources. Nothing outside platform/sim includes this header.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/control.h"
#include "sim/internal.h"
#include "sim/windows.h"

namespace sim::detail {

// The ANSI form of a UTF-8 name in the current ANSI code page, with the
// best-fit replacements Windows makes (a fullwidth letter becomes its plain
// letter); UTF-16 and back (code_page.cpp).
std::string AnsiForm(const std::string &utf8);
// What an ANSI call's path names: its bytes read in the ANSI code page, as
// Windows converts them before the file system sees them ("Code Pages",
// "Conventions for Function Prototypes": an "A" function's strings are in
// the Windows code page and are translated for the Unicode one); "" for none.
std::string FromAnsi(const char *ansi);
std::u16string Utf16(const std::string &utf8);
std::string Utf8(const std::u16string &utf16);
void ResetCodePage();

// Names are kept as UTF-8: the exact wide name of each component. The ANSI
// calls see a name in its ANSI form (AnsiForm), as Windows converts it.
struct FileNode {
    std::string path; // normalised, in the case it was created with
    uint64_t id = 0;  // the file id, unique for the machine's life; handles follow it
    bool folder = false;
    std::string data; // a file's bytes
    DWORD attributes = FILE_ATTRIBUTE_NORMAL;
    std::string linkTarget;     // a link's target; empty for none
    DWORD reparseTag = 0;       // a link's tag, or a data reparse point's; 0 for none
    std::string reparseData;    // the data a process set, kept as set; empty: made from the target
    sim::FileSecurity security; // what SetSecurityInfo set; not enforced
    DWORD links = 1;            // its names: hard links made elsewhere add to them

    bool IsLink() const { return !linkTarget.empty(); }
    DWORD Attributes() const {
        DWORD a = attributes & ~(FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT);
        if (folder)
            a |= FILE_ATTRIBUTE_DIRECTORY;
        if (reparseTag != 0)
            a |= FILE_ATTRIBUTE_REPARSE_POINT;
        if (a == 0)
            a = FILE_ATTRIBUTE_NORMAL;
        return a;
    }
    std::string FindName() const { return AnsiForm(LeafName(path)); }
};

// An open file or folder of this process. A handle names the node by its id,
// so it follows the node when it is moved, and is left dangling when the
// node is deleted. A folder's handle keeps its listing between queries.
struct FileObject : Object {
    std::string key; // the path key at opening, for the data of a file
    uint64_t node = 0;
    DWORD access = 0;
    DWORD share = 0;
    bool listed = false;            // a listing has begun: its entries and mask are fixed
    std::string mask;               // upper-cased; empty: every entry
    std::vector<std::string> names; // the listing's leaf names, "." and ".." included
    size_t next = 0;
    bool deleteOnClose = false; // FILE_DELETE_ON_CLOSE: the node goes with the handle
    ~FileObject() override;
    const char *Kind() const override { return "file"; }
};

// The opening of a Win32 call on a file handle: counted, the handle looked
// up, a scripted failure taken. Null, with the last error set, when the
// call ends there.
std::shared_ptr<FileObject> FileHandleCall(const char *api, HANDLE h);

// Counts a call of the simulated file system and runs the test's action
// planned for it (call_hooks.cpp).
void NoteCall(const char *api);
void ResetCallHooks();

// A handle of any process on the node stands against one that asks for
// DELETE, or that does not share it with one that has it ("Creating and
// Opening Files": the sharing modes of every open handle are checked).
bool DeleteShareConflict(const FileNode &node, DWORD access, DWORD share);

FileNode *FindNode(const std::string &path);
FileNode *NodeById(uint64_t id);
// Creates the node (and any missing parent folders) or returns the existing one.
FileNode &MakeNode(const std::string &path, bool folder);
void EraseNode(const std::string &path);
std::vector<const FileNode *> Children(const std::string &folder);
// True when a process holds the file open without FILE_SHARE_DELETE.
bool OpenElsewhereWithoutDeleteShare(const std::string &path);
void QueueForRestart(const std::string &path);
// The NT path of each delayed deletion, in the order of the calls (the
// registry value PendingFileRenameOperations holds the same). At a restart:
// no other process holds a file any more, and the queue is taken.
std::vector<std::string> TakeRestartQueue();
// The path a file call of the calling thread reaches: sent to SysWOW64
// while WOW64 redirection is on (wow64.cpp). It takes a full path
// (Win32FullPath's) and changes nothing else.
std::string RedirectPath(const std::string &path);
// The full path that a Win32 path names, as GetFullPathName makes it: "."
// and ".." resolved, each component's trailing periods and spaces dropped;
// a path that begins with the verbatim prefix (backslash, backslash, "?",
// backslash) is taken as it stands after the prefix. Every path-taking
// ANSI or wide call goes through it; the native calls never do.
std::string Win32FullPath(const std::string &path);
// The NT path Windows makes of a Win32 path: "\??\" and Win32FullPath's
// path; a verbatim path becomes "\??\" and the rest unchanged.
std::string NtPathOf(const std::string &path);
// Every link on the way to a full path followed to its target, the last
// component too when `followLast`: neither normalised nor redirected.
std::string FollowLinks(const std::string &path, bool followLast);
// What a Win32 path-taking call reaches: Win32FullPath, then RedirectPath,
// then FollowLinks.
std::string ResolvePath(const std::string &path, bool followLast);

} // namespace sim::detail
