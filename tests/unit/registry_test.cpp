#include <functional>
#include <string>
#include <vector>

#include "nt_files.h"
#include "removers/registry.h"
#include "test_support.h"

namespace {

const char kDeleted[] = "SUCCESS:: Deleted\r\n";
// The number in these lines is the failing call's own status, whatever the
// thread's last error holds.
const char kOpenAbsent[] = "ERROR:: (Opening Key) 2\r\n";
const char kOpenRefused[] = "ERROR:: (Opening Key) 5\r\n";
const char kDeleteRefused[] = "ERROR:: (Deleting Key) 5\r\n";
const char kInvalidPath[] = "ERROR:: (Invalid Key Path)\r\n";

// Plants the key in both views of HKLM\SOFTWARE; `rest` follows "SOFTWARE\".
void PlantBothViews(const std::string &rest) {
    sim::PlantKey("HKLM\\SOFTWARE\\" + rest);
    sim::PlantKey("HKLM\\SOFTWARE\\Wow6432Node\\" + rest);
}

class RegistryStage : public MachineTest {
  protected:
    void SetUp() override {
        MachineTest::SetUp();
        OpenLog();
    }
    // Runs the stage over a listing text of exactly this size, terminated.
    LONG Run(const std::string &listing) {
        // Allocated at its exact size, so that a read past the end is caught.
        text_ = std::vector<char>(listing.c_str(), listing.c_str() + listing.size() + 1);
        cursor_ = ListingCursor{0, 0, nullptr, text_.data()};
        return RemoveRegistry(&cursor_);
    }
    size_t Consumed() const { return static_cast<size_t>(cursor_.Position - text_.data()); }

    std::vector<char> text_;
    ListingCursor cursor_{};
};

TEST_F(RegistryStage, RootsAreMatchedInAnyCaseAndLoggedInCapitals) {
    sim::PlantKey("HKLM\\SOFTWARE\\Wow6432Node\\Zeltra");
    sim::PlantKey("HKCR\\ZeltraFile");
    sim::PlantKey("HKCU\\Software\\Zeltra");
    sim::PlantKey("HKU\\S-1-5-18\\Zeltra");
    sim::PlantKey("HKCC\\Software\\Zeltra");
    EXPECT_EQ(Run("NRE=5\r\nhklm\\SOFTWARE\\Zeltra\r\nhkcr\\ZeltraFile\r\nHkCu\\Software\\Zeltra\r\n"
                  "hku\\S-1-5-18\\Zeltra\r\nhkcc\\Software\\Zeltra\r\n[END]"),
              0);
    // Only HKLM gets the second, 64-bit view's pass.
    EXPECT_EQ(Log(), std::string("Registry_1:: HKLM\\SOFTWARE\\Zeltra\r\n") + kDeleted + kOpenAbsent +
                         "Registry_2:: HKCR\\ZeltraFile\r\n" + kDeleted + "Registry_3:: HKCU\\Software\\Zeltra\r\n" +
                         kDeleted + "Registry_4:: HKU\\S-1-5-18\\Zeltra\r\n" + kDeleted +
                         "Registry_5:: HKCC\\Software\\Zeltra\r\n" + kDeleted);
    for (const char *key : {"HKLM\\SOFTWARE\\Wow6432Node\\Zeltra", "HKCR\\ZeltraFile", "HKCU\\Software\\Zeltra",
                            "HKU\\S-1-5-18\\Zeltra", "HKCC\\Software\\Zeltra"})
        EXPECT_FALSE(sim::KeyExists(key)) << key;
    EXPECT_TRUE(sim::KeyExists("HKCU\\Software"));
    EXPECT_EQ(g_run.tally.registry, 5u);
    EXPECT_EQ(std::string(cursor_.Position), "[END]");
    EXPECT_EQ(sim::OpenHandles("key"), 0u);
}

TEST_F(RegistryStage, AnUnknownRootOrABlankLineEndsTheStageAtThatEntry) {
    for (const std::string bad : {"HKEY_LOCAL_MACHINE\\SOFTWARE\\Zeltra", "", "/* comment */"}) {
        sim::Reset();
        std::memset(&g_run, 0, sizeof g_run);
        OpenLog();
        sim::PlantKey("HKCU\\First");
        sim::PlantKey("HKCU\\Later");
        sim::PlantKey("HKLM\\SOFTWARE\\Wow6432Node\\Zeltra");
        std::string head = "NRE=3\r\nHKCU\\First\r\n";
        EXPECT_EQ(Run(head + bad + "\r\nHKCU\\Later\r\n[END]"), -13) << bad;
        EXPECT_EQ(Log(), std::string("Registry_1:: HKCU\\First\r\n") + kDeleted) << bad;
        EXPECT_EQ(Consumed(), head.size()) << "Position stays at the failed entry";
        EXPECT_TRUE(sim::KeyExists("HKCU\\Later"));
        EXPECT_TRUE(sim::KeyExists("HKLM\\SOFTWARE\\Wow6432Node\\Zeltra"));
    }
}

TEST_F(RegistryStage, AListingThatEndsEarlyEndsTheStageWithoutReadingPastIt) {
    sim::PlantKey("HKCU\\Zeltra");
    // No CR after the key path, and a root with nothing after it: -1, unread.
    for (const std::string listing : {"NRE=1\r\nHKCU\\Zeltra", "NRE=1\r\nHKCU"}) {
        EXPECT_EQ(Run(listing), -1) << listing;
        EXPECT_EQ(Consumed(), 7u);
    }
    EXPECT_EQ(Log(), "");
    EXPECT_TRUE(sim::KeyExists("HKCU\\Zeltra"));
    // A CR that ends the text: the entry is taken, Position stops on the terminator.
    EXPECT_EQ(Run("NRE=1\r\nHKCU\\Zeltra\r"), 0);
    EXPECT_EQ(Consumed(), text_.size() - 1);
    EXPECT_FALSE(sim::KeyExists("HKCU\\Zeltra"));
    // No count line at all.
    EXPECT_EQ(Run("[END]"), -1);
    EXPECT_EQ(Consumed(), 5u);
    // A count of 0 reads no entry.
    EXPECT_EQ(Run("NRE=0\r\nHKCU\\Zeltra\r\n"), 0);
    EXPECT_EQ(Consumed(), 7u);
}

TEST_F(RegistryStage, AnHklmKeyInNeitherViewIsLoggedTwiceAndCountsAsRemoved) {
    // The lines show the call's status, not what the last error holds.
    SetLastError(1234);
    EXPECT_EQ(Run("NRE=1\r\nHKLM\\SOFTWARE\\Zeltra Computing\\Absent\r\n"), 0);
    EXPECT_EQ(Log(), "Registry_1:: HKLM\\SOFTWARE\\Zeltra Computing\\Absent\r\n"
                     "ERROR:: (Opening Key) 2\r\nERROR:: (Opening Key) 2\r\n");
    EXPECT_EQ(g_run.tally.registry, 0u);

    // Without RegDeleteKeyExA (Windows before the 64-bit view) only one pass runs.
    sim::RemoveExport("advapi32.dll", "RegDeleteKeyExA");
    PlantBothViews("Zeltra Computing\\ZeltraWS");
    EXPECT_EQ(
        Run("NRE=2\r\nHKLM\\SOFTWARE\\Zeltra Computing\\Absent\r\nHKLM\\SOFTWARE\\Zeltra Computing\\ZeltraWS\r\n"), 0);
    EXPECT_EQ(Log(), "Registry_1:: HKLM\\SOFTWARE\\Zeltra Computing\\Absent\r\n"
                     "ERROR:: (Opening Key) 2\r\nERROR:: (Opening Key) 2\r\n"
                     "Registry_1:: HKLM\\SOFTWARE\\Zeltra Computing\\Absent\r\nERROR:: (Opening Key) 2\r\n"
                     "Registry_2:: HKLM\\SOFTWARE\\Zeltra Computing\\ZeltraWS\r\nSUCCESS:: Deleted\r\n");
    EXPECT_TRUE(sim::KeyExists("HKLM\\SOFTWARE\\Zeltra Computing\\ZeltraWS")) << "the 64-bit view's key stays";
    EXPECT_EQ(g_run.tally.registry, 1u);
}

TEST_F(RegistryStage, ATreeIsDeletedDeepestFirstInBothViewsAndSiblingsSurvive) {
    // Two subkeys, the first with one of its own; the product's sibling stays.
    for (const char *rest : {"Zeltra Computing\\ZeltraWS\\Alpha\\Deep", "Zeltra Computing\\ZeltraWS\\Beta",
                             "Zeltra Computing\\OtherProduct"})
        PlantBothViews(rest);
    sim::PlantValue("HKLM\\SOFTWARE\\Zeltra Computing\\ZeltraWS\\Beta", "Path", REG_SZ, "C:\\x");
    // A protected key below Deep in the 64-bit view only: its list refuses
    // the opening; it is granted by its full name in that view, and goes.
    sim::ProtectKey("HKLM\\SOFTWARE\\Zeltra Computing\\ZeltraWS\\Alpha\\Deep\\Locked");
    EXPECT_EQ(Run("NRE=1\r\nHKLM\\SOFTWARE\\Zeltra Computing\\ZeltraWS\r\n"), 0);
    EXPECT_EQ(Log(), std::string("Registry_1:: HKLM\\SOFTWARE\\Zeltra Computing\\ZeltraWS\r\n") + kDeleted + kDeleted +
                         kDeleted + kDeleted + kOpenRefused + kDeleted + kDeleted + kDeleted + kDeleted + kDeleted);
    EXPECT_EQ(sim::NamedSecurityCalls().front(), "MACHINE\\SOFTWARE\\Zeltra Computing\\ZeltraWS\\Alpha\\Deep\\Locked");
    EXPECT_FALSE(sim::KeyExists("HKLM\\SOFTWARE\\Wow6432Node\\Zeltra Computing\\ZeltraWS"));
    EXPECT_FALSE(sim::KeyExists("HKLM\\SOFTWARE\\Zeltra Computing\\ZeltraWS"));
    EXPECT_TRUE(sim::KeyExists("HKLM\\SOFTWARE\\Wow6432Node\\Zeltra Computing\\OtherProduct"));
    EXPECT_TRUE(sim::KeyExists("HKLM\\SOFTWARE\\Zeltra Computing\\OtherProduct"));
    EXPECT_EQ(g_run.tally.registry, 9u);
    EXPECT_EQ(sim::OpenHandles("key"), 0u);
}

TEST_F(RegistryStage, ALongEntryLineIsCutWhileTheWholeKeyIsDeleted) {
    std::string path = "Software\\" + std::string(250, 'a') + "\\" + std::string(250, 'b') + "\\Zeltra";
    sim::PlantKey("HKCU\\" + path);
    sim::PlantKey("HKCU\\Software\\" + std::string(250, 'a') + "\\" + std::string(250, 'b') + "\\Other");
    EXPECT_EQ(Run("NRE=1\r\nHKCU\\" + path + "\r\n"), 0);
    std::string full = "Registry_1:: HKCU\\" + path + "\r\n";
    EXPECT_EQ(Log(), full.substr(0, 511) + kDeleted) << "the cut line has no line end";
    EXPECT_FALSE(sim::KeyExists("HKCU\\" + path));
    EXPECT_EQ(sim::KeysBelow("HKCU\\Software\\" + std::string(250, 'a') + "\\" + std::string(250, 'b')),
              std::vector<std::string>{"Other"});
}

TEST_F(RegistryStage, ARefusedDeleteIsRetriedAfterTheAccessGrant) {
    sim::ProtectKey("HKLM\\SOFTWARE\\Wow6432Node\\Zeltra Computing\\ZeltraWS");
    EXPECT_EQ(Run("NRE=1\r\nHKLM\\SOFTWARE\\Zeltra Computing\\ZeltraWS\r\n"), 0);
    // The protected key refuses the opening (KEY_ALL_ACCESS asks DELETE).
    EXPECT_EQ(Log(), std::string("Registry_1:: HKLM\\SOFTWARE\\Zeltra Computing\\ZeltraWS\r\n") + kOpenRefused +
                         kDeleted + kOpenAbsent);
    EXPECT_FALSE(sim::KeyExists("HKLM\\SOFTWARE\\Wow6432Node\\Zeltra Computing\\ZeltraWS"));
    EXPECT_EQ(sim::NamedSecurityCalls(), std::vector<std::string>{"MACHINE\\SOFTWARE\\Zeltra Computing\\ZeltraWS"});
    EXPECT_TRUE(sim::PrivilegeEnabled("SeTakeOwnershipPrivilege"));
    EXPECT_EQ(g_run.tally.registry, 1u);
    EXPECT_EQ(sim::LiveSids(), 0u);
    EXPECT_EQ(sim::LiveAccessLists(), 0u);
    EXPECT_EQ(sim::OpenHandles("token"), 0u);
}

// Each key goes through the handle that walked it (NtDeleteKey, its status
// mapped to the error that decides the retry), not through a second opening
// by name; where ntdll lacks the call, RegDeleteKeyA and RegDeleteKeyExA as
// before, the failed lookup leaving the last error that the lines print.
TEST_F(RegistryStage, AKeyIsDeletedThroughTheHandleThatWalkedIt) {
    const std::string key = "HKLM\\SOFTWARE\\Wow6432Node\\Zeltra Computing\\ZeltraWS";
    const sim::Failure always = {.error = ERROR_INVALID_FUNCTION, .times = sim::kAlways};
    const std::function<void()> machines[] = {
        [&] {
            sim::ProtectKey(key);
            sim::FailCall("RegDeleteKeyA", always);
            sim::FailCall("RegDeleteKeyExA", always);
        },
        [] { sim::FailCall("NtDeleteKey", {.error = static_cast<DWORD>(kNtAccessDenied)}); },
        [&] {
            sim::ProtectKey(key);
            sim::RemoveExport("ntdll.dll", "NtDeleteKey");
        },
    };
    // Where the key is protected its opening is refused; where NtDeleteKey
    // fails, its delete.
    const char *const refusals[] = {kOpenRefused, kDeleteRefused, kOpenRefused};
    for (size_t i = 0; i < std::size(machines); ++i) {
        sim::Reset();
        OpenLog();
        PlantBothViews("Zeltra Computing\\ZeltraWS");
        machines[i]();
        SetLastError(1234);
        EXPECT_EQ(Run("NRE=1\r\nHKLM\\SOFTWARE\\Zeltra Computing\\ZeltraWS\r\n"), 0) << i;
        EXPECT_EQ(Log(), std::string("Registry_1:: HKLM\\SOFTWARE\\Zeltra Computing\\ZeltraWS\r\n") + refusals[i] +
                             kDeleted + kDeleted)
            << i;
        EXPECT_FALSE(sim::KeyExists(key)) << i;
        EXPECT_FALSE(sim::KeyExists("HKLM\\SOFTWARE\\Zeltra Computing\\ZeltraWS")) << i;
        EXPECT_EQ(sim::OpenHandles("key"), 0u) << i;
    }
}

// A protected key refuses the very opening (KEY_ALL_ACCESS asks for the
// DELETE its access list denies): without a takeover there, it would stay.
TEST_F(RegistryStage, AKeyThatRefusesItsOpeningIsTakenOverAndDeleted) {
    const std::string key = "HKLM\\SOFTWARE\\Wow6432Node\\Zeltra Computing\\ZeltraWS";
    sim::PlantKey(key + "\\Settings");
    sim::ProtectKey(key);
    EXPECT_EQ(Run("NRE=1\r\nHKLM\\SOFTWARE\\Zeltra Computing\\ZeltraWS\r\n"), 0);
    EXPECT_EQ(Log(), std::string("Registry_1:: HKLM\\SOFTWARE\\Zeltra Computing\\ZeltraWS\r\n") + kOpenRefused +
                         kDeleted + kDeleted + kOpenAbsent);
    EXPECT_FALSE(sim::KeyExists(key));
    EXPECT_EQ(g_run.tally.registry, 2u);
    EXPECT_EQ(sim::NamedSecurityCalls(), std::vector<std::string>{"MACHINE\\SOFTWARE\\Zeltra Computing\\ZeltraWS"});

    // Owned by SYSTEM with a list that gives Administrators read access only:
    // the list cannot be replaced until the key is taken over.
    sim::PlantKey(key + "\\Settings");
    sim::ProtectKey(key, KEY_READ);
    EXPECT_EQ(Run("NRE=1\r\nHKLM\\SOFTWARE\\Zeltra Computing\\ZeltraWS\r\n"), 0);
    EXPECT_FALSE(sim::KeyExists(key));

    // Without the privilege the refusal stands: one line, the key stays, the
    // stage says so.
    sim::SetPrivilegeHeld("SeTakeOwnershipPrivilege", false);
    sim::PlantKey(key + "\\Settings");
    sim::ProtectKey(key);
    EXPECT_EQ(Run("NRE=1\r\nHKLM\\SOFTWARE\\Zeltra Computing\\ZeltraWS\r\n"), kRegistryKeyRemains);
    EXPECT_TRUE(sim::KeyExists(key + "\\Settings"));
}

TEST_F(RegistryStage, WithoutTheTakeOwnershipPrivilegeARefusedDeleteFails) {
    sim::SetPrivilegeHeld("SeTakeOwnershipPrivilege", false);
    sim::ProtectKey("HKCU\\Software\\Zeltra");
    sim::PlantKey("HKCU\\Software\\Other");
    EXPECT_EQ(Run("NRE=2\r\nHKCU\\Software\\Zeltra\r\nHKCU\\Software\\Other\r\n"), kRegistryKeyRemains);
    EXPECT_EQ(Log(), std::string("Registry_1:: HKCU\\Software\\Zeltra\r\n") + kOpenRefused +
                         "Registry_2:: HKCU\\Software\\Other\r\n" + kDeleted);
    EXPECT_TRUE(sim::KeyExists("HKCU\\Software\\Zeltra"));
    EXPECT_EQ(sim::KeyAccessList("HKCU\\Software\\Zeltra"), std::nullopt);
    EXPECT_TRUE(sim::NamedSecurityCalls().empty());
    EXPECT_EQ(g_run.tally.registry, 1u);
}

TEST_F(RegistryStage, TheAccessRetryIsBoundedWhenTheGrantChangesNothing) {
    std::string refusedThrice = std::string(kDeleteRefused) + kDeleteRefused + kDeleteRefused;
    std::string openRefusedThrice = std::string(kOpenRefused) + kOpenRefused + kOpenRefused;
    // HKEY_CURRENT_CONFIG has no security object name: nothing is set.
    sim::ProtectKey("HKCC\\Software\\Zeltra");
    // A key whose deletion is refused whatever its access list (a fault).
    sim::PlantKey("HKCR\\ZeltraFile\\Shell");
    sim::FailCall(
        "NtDeleteKey",
        {.error = static_cast<DWORD>(kNtAccessDenied), .times = sim::kAlways, .subject = "ZeltraFile\\Shell"});
    // A key directly below HKU (a user's hive) is never granted: one refusal
    // of its opening ends it.
    sim::ProtectKey("HKU\\S-1-5-21-9-9-9-1001");
    EXPECT_EQ(Run("NRE=3\r\nHKCC\\Software\\Zeltra\r\nHKCR\\ZeltraFile\\Shell\r\nHKU\\S-1-5-21-9-9-9-1001\r\n"),
              kRegistryKeyRemains);
    EXPECT_EQ(Log(), "Registry_1:: HKCC\\Software\\Zeltra\r\n" + openRefusedThrice +
                         "Registry_2:: HKCR\\ZeltraFile\\Shell\r\n" + refusedThrice +
                         "Registry_3:: HKU\\S-1-5-21-9-9-9-1001\r\n" + kOpenRefused);
    // Shell's grants, then its owner and list given back as it stays.
    for (const std::string &named : sim::NamedSecurityCalls())
        EXPECT_EQ(named, "CLASSES_ROOT\\ZeltraFile\\Shell");
    EXPECT_EQ(sim::KeyOwner("HKCR\\ZeltraFile\\Shell"), "S-1-5-32-544");
    for (const char *key : {"HKCC\\Software\\Zeltra", "HKCR\\ZeltraFile\\Shell", "HKU\\S-1-5-21-9-9-9-1001"})
        EXPECT_TRUE(sim::KeyExists(key)) << key;
    EXPECT_EQ(sim::KeyAccessList("HKU\\S-1-5-21-9-9-9-1001"), std::nullopt);
    EXPECT_EQ(g_run.tally.registry, 0u);
    EXPECT_EQ(sim::OpenHandles("key"), 0u);
}

TEST_F(RegistryStage, AnEnumerationFailureEndsTheSubkeyLoop) {
    // A subkey name longer than the 260-byte buffer: ERROR_MORE_DATA, no name.
    sim::PlantKey("HKCU\\Software\\Zeltra\\" + std::string(300, 'n'));
    // A subkey that is listed but cannot be opened as listed: no progress.
    sim::PlantKey("HKCU\\Software\\Other\\Ghost");
    sim::FailCall("RegOpenKeyExA", {.error = ERROR_FILE_NOT_FOUND, .times = sim::kAlways, .subject = "Ghost"});
    EXPECT_EQ(Run("NRE=2\r\nHKCU\\Software\\Zeltra\r\nHKCU\\Software\\Other\r\n"), kRegistryKeyRemains);
    std::string refusedThrice = std::string(kDeleteRefused) + kDeleteRefused + kDeleteRefused;
    EXPECT_EQ(Log(), "Registry_1:: HKCU\\Software\\Zeltra\r\n" + refusedThrice +
                         "Registry_2:: HKCU\\Software\\Other\r\n" + kOpenAbsent + refusedThrice);
    EXPECT_TRUE(sim::KeyExists("HKCU\\Software\\Zeltra"));
    EXPECT_TRUE(sim::KeyExists("HKCU\\Software\\Other\\Ghost"));
    EXPECT_EQ(sim::OpenHandles("key"), 0u);
}

// A user who keeps re-creating subkeys cannot hold the run: the tree's
// deletion ends after its bound, however the keys are nested (a bound per
// key would let each level multiply it), and the key counts as one that
// remains. Each shape holds one key more than the bound.
TEST_F(RegistryStage, TheSubkeyLoopIsBounded) {
    const DWORD wide = 101;
    const DWORD shapes[][2] = {{kMaxSubkeysDeleted + 1, 0}, {wide, (kMaxSubkeysDeleted + 1) / wide}};
    for (const auto &shape : shapes) {
        sim::Reset();
        OpenLog();
        for (DWORD i = 0; i < shape[0]; ++i) {
            std::string key = "HKCU\\Software\\Zeltra\\K" + std::to_string(100000 + i);
            sim::PlantKey(key);
            for (DWORD j = 0; j < shape[1]; ++j)
                sim::PlantKey(key + "\\N" + std::to_string(100000 + j));
        }
        ASSERT_GT(shape[0] * (shape[1] + 1), kMaxSubkeysDeleted);
        g_run.tally.registry = 0;
        EXPECT_EQ(Run("NRE=1\r\nHKCU\\Software\\Zeltra\r\n"), kRegistryKeyRemains) << shape[1];
        EXPECT_TRUE(sim::KeyExists("HKCU\\Software\\Zeltra")) << shape[1];
        EXPECT_LE(g_run.tally.registry, kMaxSubkeysDeleted) << shape[1];
        EXPECT_EQ(sim::OpenHandles("key"), 0u);
    }
}

// A link planted where the product's keys are writable, as the listed key or
// below it, goes as a link: what it points at stays.
TEST_F(RegistryStage, ARegistryLinkIsRemovedAsALinkAndNeverFollowed) {
    sim::PlantValue("HKCU\\Software\\Victim\\Data", "Keep", REG_SZ, "yes");
    sim::PlantRegistryLink("HKCU\\Software\\Zeltra", "HKCU\\Software\\Victim");
    sim::PlantRegistryLink("HKCU\\Software\\Other\\Shortcut", "HKCU\\Software\\Victim");
    EXPECT_EQ(Run("NRE=2\r\nHKCU\\Software\\Zeltra\r\nHKCU\\Software\\Other\r\n"), 0);
    EXPECT_EQ(Log(), std::string("Registry_1:: HKCU\\Software\\Zeltra\r\n") + kDeleted +
                         "Registry_2:: HKCU\\Software\\Other\r\n" + kDeleted + kDeleted);
    EXPECT_FALSE(sim::KeyExists("HKCU\\Software\\Zeltra"));
    EXPECT_FALSE(sim::KeyExists("HKCU\\Software\\Other"));
    EXPECT_EQ(sim::KeysBelow("HKCU\\Software\\Victim"), std::vector<std::string>{"Data"});
    EXPECT_EQ(sim::KeyValue("HKCU\\Software\\Victim\\Data", "Keep")->data, "yes");
    EXPECT_EQ(g_run.tally.registry, 3u);
    EXPECT_EQ(sim::OpenHandles("key"), 0u);
}

TEST_F(RegistryStage, AKeyPathWiderThanItsEntryIsRefusedAndTheStageGoesOn) {
    sim::PlantKey("HKCU\\Software\\Zeltra\\Keep");
    sim::PlantKey("HKLM\\SOFTWARE\\Wow6432Node\\Keep");
    sim::PlantKey("HKCU\\Software\\Other");
    const char *bad[] = {"HKLM\\", "HKLM", "HKCU\\\\Software", "HKCU\\Software\\Zeltra\\", "HKCU\\Software\\\\Zeltra"};
    std::string listing = "NRE=6\r\n";
    for (const char *entry : bad)
        listing += std::string(entry) + "\r\n";
    EXPECT_EQ(Run(listing + "HKCU\\Software\\Other\r\n[END]"), kRegistryPathRefused);
    EXPECT_EQ(Log(), std::string("Registry_1:: HKLM\\\r\n") + kInvalidPath + "Registry_2:: HKLM\\\r\n" + kInvalidPath +
                         "Registry_3:: HKCU\\\\Software\r\n" + kInvalidPath +
                         "Registry_4:: HKCU\\Software\\Zeltra\\\r\n" + kInvalidPath +
                         "Registry_5:: HKCU\\Software\\\\Zeltra\r\n" + kInvalidPath +
                         "Registry_6:: HKCU\\Software\\Other\r\n" + kDeleted);
    EXPECT_TRUE(sim::KeyExists("HKCU\\Software\\Zeltra\\Keep"));
    EXPECT_TRUE(sim::KeyExists("HKLM\\SOFTWARE\\Wow6432Node\\Keep"));
    EXPECT_EQ(std::string(cursor_.Position), "[END]");
    // The deletion itself refuses an empty path as well.
    EXPECT_FALSE(DeleteRegistryTree(HKEY_CURRENT_USER, "", KEY_ALL_ACCESS));
    EXPECT_TRUE(sim::KeyExists("HKCU\\Software\\Zeltra\\Keep"));
}

} // namespace
