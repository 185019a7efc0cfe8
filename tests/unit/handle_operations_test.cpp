#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "removers/handle_operations.h"
#include "test_support.h"

namespace {

void SetField(std::vector<BYTE> &data, size_t at, USHORT value) { std::memcpy(data.data() + at, &value, 2); }

class LinkTargetReader : public MachineTest {};

// The reader of a link's data read from the file system: whatever the data
// holds, it reads nothing past what was read, and names a target only for
// a well-formed full local path that the ANSI code page holds exactly.
TEST_F(LinkTargetReader, NamesOnlyAFullLocalPathWithinTheData) {
    const std::u16string filled = u"\\??\\C:\\" + std::u16string(1020, u'n'); // 1023 characters after "\??\"
    struct Case {
        const char *name;
        std::vector<BYTE> data;
        std::function<void(std::vector<BYTE> &)> change;
        size_t size; // of what was read; 0: the whole data
        const char *target;
    } cases[] = {
        {"a mount point", LinkData(kReparseTagMountPoint, u"\\??\\C:\\x"), {}, 0, "C:\\x"},
        {"an absolute symbolic link", LinkData(kReparseTagSymbolicLink, u"\\??\\z:\\x"), {}, 0, "z:\\x"},
        {"a drive's root", LinkData(kReparseTagMountPoint, u"\\??\\C:\\"), {}, 0, "C:\\"},
        {"the first letter", LinkData(kReparseTagMountPoint, u"\\??\\A:\\x"), {}, 0, "A:\\x"},
        {"the last letter", LinkData(kReparseTagMountPoint, u"\\??\\Z:\\x"), {}, 0, "Z:\\x"},
        {"the first small letter", LinkData(kReparseTagMountPoint, u"\\??\\a:\\x"), {}, 0, "a:\\x"},
        {"the last small letter", LinkData(kReparseTagMountPoint, u"\\??\\z:\\x"), {}, 0, "z:\\x"},
        {"before the letters", LinkData(kReparseTagMountPoint, u"\\??\\@:\\x"), {}, 0, nullptr},
        {"after them", LinkData(kReparseTagMountPoint, u"\\??\\[:\\x"), {}, 0, nullptr},
        {"before the small letters", LinkData(kReparseTagMountPoint, u"\\??\\`:\\x"), {}, 0, nullptr},
        {"after them", LinkData(kReparseTagMountPoint, u"\\??\\{:\\x"), {}, 0, nullptr},
        {"no separator after the drive", LinkData(kReparseTagMountPoint, u"\\??\\C:x\\y"), {}, 0, nullptr},
        {"a target that fills the path", LinkData(kReparseTagMountPoint, filled), {}, 0, "C:\\n"},
        {"one longer", LinkData(kReparseTagMountPoint, filled + u"n"), {}, 0, nullptr},
        {"a relative symbolic link", LinkData(kReparseTagSymbolicLink, u"\\??\\C:\\x", 1), {}, 0, nullptr},
        {"another tag", LinkData(0xA0000019u, u"\\??\\C:\\x"), {}, 0, nullptr},
        {"its name last in the data", LinkData(kReparseTagMountPoint, u"\\??\\C:\\x"),
         [](std::vector<BYTE> &d) {
             d.resize(d.size() - 8); // no print name
             SetField(d, 4, static_cast<USHORT>(d.size() - kReparseHeaderBytes));
             SetField(d, kReparseHeaderBytes + 6, 0);
         },
         0, "C:\\x"},
        {"a drive alone", LinkData(kReparseTagMountPoint, u"\\??\\C:"), {}, 0, nullptr},
        {"a Win32 prefix", LinkData(kReparseTagMountPoint, u"\\\\?\\C:\\x"), {}, 0, nullptr},
        {"another prefix", LinkData(kReparseTagMountPoint, u"\\?x\\C:\\x"), {}, 0, nullptr},
        {"no separator after the prefix", LinkData(kReparseTagMountPoint, u"\\??xC:\\x"), {}, 0, nullptr},
        {"cut inside the header", LinkData(kReparseTagMountPoint, u"\\??\\C:\\x"), {}, kMountPointNamesAt - 1, nullptr},
        {"a symbolic link cut before its names",
         LinkData(kReparseTagSymbolicLink, u"\\??\\C:\\x"),
         {},
         kSymbolicLinkNamesAt - 1,
         nullptr},
        {"cut before its stated length",
         LinkData(kReparseTagMountPoint, u"\\??\\C:\\x"),
         {},
         kMountPointNamesAt + 2,
         nullptr},
        {"a name past the stated length", LinkData(kReparseTagMountPoint, u"\\??\\C:\\x"),
         [](std::vector<BYTE> &d) { SetField(d, kReparseHeaderBytes, 10); }, 0, nullptr},
        {"an odd count of bytes", LinkData(kReparseTagMountPoint, u"\\??\\C:\\xy"),
         [](std::vector<BYTE> &d) { SetField(d, kReparseHeaderBytes + 2, 17); }, 0, nullptr},
        {"no ANSI form", LinkData(kReparseTagMountPoint, u"\\??\\C:\\\uFF36"), {}, 0, nullptr},
    };
    for (Case &c : cases) {
        if (c.change)
            c.change(c.data);
        LinkTarget target = {};
        const bool named = ParseLinkTarget(c.data.data(), c.size ? c.size : c.data.size(), &target);
        EXPECT_EQ(named, c.target != nullptr) << c.name;
        if (named && c.target != nullptr) {
            EXPECT_EQ(std::string(target.ansi).substr(0, std::strlen(c.target)), c.target) << c.name;
        }
    }
    // A double-byte code page: the ANSI form of 1023 characters may need
    // more than its buffer's 1023 bytes.
    sim::SetAnsiCodePage(932);
    LinkTarget target = {};
    const std::vector<BYTE> wide = LinkData(kReparseTagMountPoint, filled.substr(0, 1026) + u"\u30BD");
    EXPECT_FALSE(ParseLinkTarget(wide.data(), wide.size(), &target));
}

} // namespace
