#include <string>
#include <vector>

#include "removers/registry_access.h"
#include "test_support.h"

namespace {

const char kTakeOwnership[] = "SeTakeOwnershipPrivilege";
const char kKey32[] = "HKLM\\SOFTWARE\\Wow6432Node\\Zeltra Computing\\ZeltraWS";
const char kKey64[] = "HKLM\\SOFTWARE\\Zeltra Computing\\ZeltraWS";

class AccessGrant : public MachineTest {
  protected:
    void SetUp() override {
        MachineTest::SetUp();
        sim::ProtectKey(kKey32);
        sim::ProtectKey(kKey64);
    }
    // Grants as the removers do, in `view`, and drops the owner and list
    // kept for the restore, which these tests make themselves.
    static LONG Grant(HKEY root, const char *path, REGSAM view = 0) {
        KeyGrant grant = NameKeyForGrant(root, path, view);
        LONG result = GrantRegistryKeyAccess(grant);
        LocalFree(grant.before);
        return result;
    }
    void ExpectNothingLeftOpen() {
        EXPECT_EQ(sim::LiveSids(), 0u);
        EXPECT_EQ(sim::LiveAccessLists(), 0u);
        EXPECT_EQ(sim::OpenHandles("token"), 0u);
    }
};

TEST_F(AccessGrant, GivesAdministratorsAllAccessToTheDefaultViewsKey) {
    EXPECT_EQ(Grant(HKEY_LOCAL_MACHINE, "SOFTWARE\\Zeltra Computing\\ZeltraWS"), 0);
    EXPECT_TRUE(sim::PrivilegeEnabled(kTakeOwnership));
    EXPECT_EQ(sim::NamedSecurityCalls(), std::vector<std::string>{"MACHINE\\SOFTWARE\\Zeltra Computing\\ZeltraWS"});
    auto list = sim::KeyAccessList(kKey32);
    ASSERT_TRUE(list.has_value());
    ASSERT_EQ(list->size(), 1u);
    EXPECT_EQ((*list)[0].trustee, "S-1-5-32-544");
    EXPECT_EQ((*list)[0].access, GENERIC_ALL);
    EXPECT_EQ((*list)[0].mode, GRANT_ACCESS);
    EXPECT_EQ((*list)[0].inheritance, NO_INHERITANCE);
    EXPECT_EQ(sim::KeyOwner(kKey32), "S-1-5-18") << "the owner is never changed";
    // The security object name reaches only the process's default view.
    EXPECT_EQ(sim::KeyAccessList(kKey64), std::nullopt);
    ExpectNothingLeftOpen();
    // The 64-bit view's pass grants the key in that view.
    EXPECT_EQ(Grant(HKEY_LOCAL_MACHINE, "SOFTWARE\\Zeltra Computing\\ZeltraWS", KEY_ALL_ACCESS | KEY_WOW64_64KEY), 0);
    EXPECT_TRUE(sim::KeyAccessList(kKey64).has_value());
    ExpectNothingLeftOpen();

    // A process that is not WOW64 has one view: the name is the key itself.
    sim::SetRegistryWow64(false);
    EXPECT_EQ(Grant(HKEY_LOCAL_MACHINE, "SOFTWARE\\Zeltra Computing\\ZeltraWS"), 0);
    EXPECT_TRUE(sim::KeyAccessList(kKey64).has_value());
    ExpectNothingLeftOpen();
}

TEST_F(AccessGrant, ARootWithoutAnObjectNameOnlyEnablesThePrivilege) {
    sim::PlantKey("HKCC\\Software\\Zeltra");
    HKEY opened;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Zeltra Computing", 0, KEY_ALL_ACCESS, &opened), 0);
    EXPECT_EQ(Grant(HKEY_CURRENT_CONFIG, "Software\\Zeltra"), 0);
    EXPECT_EQ(Grant(opened, "ZeltraWS"), 0);
    RegCloseKey(opened);
    EXPECT_TRUE(sim::PrivilegeEnabled(kTakeOwnership));
    EXPECT_TRUE(sim::NamedSecurityCalls().empty());
    EXPECT_EQ(sim::KeyAccessList(kKey32), std::nullopt);
    ExpectNothingLeftOpen();
}

TEST_F(AccessGrant, WithoutThePrivilegeNothingIsTouched) {
    // The token lacks it (the adjust succeeds with 1300), or a step fails.
    struct Case {
        const char *api;
        bool held;
    };
    for (const Case &c : {Case{"", false}, Case{"OpenProcessToken", true}, Case{"LookupPrivilegeValueA", true},
                          Case{"AdjustTokenPrivileges", true}}) {
        sim::Reset();
        sim::ProtectKey(kKey32);
        sim::SetPrivilegeHeld(kTakeOwnership, c.held);
        if (*c.api)
            sim::FailCall(c.api, {.error = ERROR_ACCESS_DENIED});
        EXPECT_EQ(Grant(HKEY_LOCAL_MACHINE, "SOFTWARE\\Zeltra Computing\\ZeltraWS"), -1) << c.api;
        EXPECT_FALSE(sim::PrivilegeEnabled(kTakeOwnership)) << c.api;
        EXPECT_TRUE(sim::NamedSecurityCalls().empty()) << c.api;
        EXPECT_EQ(sim::KeyAccessList(kKey32), std::nullopt) << c.api;
        ExpectNothingLeftOpen();
    }
}

TEST_F(AccessGrant, AFailureToBuildOrSetTheListIsMinusTwoAndReleasesEverything) {
    for (const char *api : {"AllocateAndInitializeSid", "SetEntriesInAclA", "SetSecurityInfo"}) {
        sim::Reset();
        sim::ProtectKey(kKey32);
        sim::FailCall(api, {.error = ERROR_NOT_ENOUGH_MEMORY, .times = sim::kAlways});
        EXPECT_EQ(Grant(HKEY_LOCAL_MACHINE, "SOFTWARE\\Zeltra Computing\\ZeltraWS"), -2) << api;
        EXPECT_EQ(sim::KeyAccessList(kKey32), std::nullopt) << api;
        ExpectNothingLeftOpen();
        EXPECT_EQ(sim::OpenHandles("key"), 0u);
    }
    sim::Reset();
    sim::ProtectKey(kKey32);
    // An absent key.
    EXPECT_EQ(Grant(HKEY_USERS, "S-1-5-18\\Absent"), -2);
    // A release that fails does not undo a list that was set.
    sim::FailCall("FreeSid", {.error = ERROR_INVALID_PARAMETER});
    sim::FailCall("LocalFree", {.error = ERROR_INVALID_HANDLE});
    EXPECT_EQ(Grant(HKEY_LOCAL_MACHINE, "SOFTWARE\\Zeltra Computing\\ZeltraWS"), 0);
    EXPECT_TRUE(sim::KeyAccessList(kKey32).has_value());
}

// Where the key's list lets Administrators rewrite it, only the list
// changes; where it does not (a key owned by SYSTEM that gives them read
// access only), the key is taken over for Administrators first.
TEST_F(AccessGrant, TakesTheKeyOverOnlyWhereItsListCannotBeReplaced) {
    const std::string name = "MACHINE\\SOFTWARE\\Zeltra Computing\\ZeltraWS";
    struct Case {
        const char *name;
        DWORD administratorsAccess;
        unsigned failOwnerSet; // SetSecurityInfo calls to pass before one fails, plus 1; 0: none fails
        LONG result;
        const char *owner;
        size_t calls;
    };
    const Case cases[] = {
        {"the list lets them rewrite it", KEY_ALL_ACCESS & ~DELETE, 0, 0, "S-1-5-18", 1},
        {"read only: taken over", KEY_READ, 0, 0, "S-1-5-32-544", 2},
        {"read only, the takeover refused", KEY_READ, 1, -2, "S-1-5-18", 0}, // a failed call is not recorded
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        sim::Reset();
        sim::ProtectKey(kKey32, c.administratorsAccess);
        if (c.failOwnerSet)
            sim::FailCall("SetSecurityInfo", {.error = ERROR_ACCESS_DENIED, .skip = c.failOwnerSet - 1});
        EXPECT_EQ(Grant(HKEY_LOCAL_MACHINE, "SOFTWARE\\Zeltra Computing\\ZeltraWS"), c.result);
        EXPECT_EQ(sim::KeyOwner(kKey32), c.owner);
        EXPECT_EQ(sim::NamedSecurityCalls(), std::vector<std::string>(c.calls, name));
        EXPECT_EQ(sim::KeyAccessList(kKey32).has_value(), c.result == 0);
        ExpectNothingLeftOpen();
        EXPECT_EQ(sim::OpenHandles("key"), 0u);
    }
}

// The grant acts through a handle to the key itself: a registry link
// planted under the name the grant is given is changed as a link, and the
// key it points at keeps its owner and its list.
TEST_F(AccessGrant, ALinkUnderTheNameIsNeverFollowed) {
    const std::string target = "HKLM\\SYSTEM\\CurrentControlSet\\Services\\Victim";
    sim::ProtectKey(target, KEY_READ);
    sim::PlantRegistryLink(kKey32, target);
    EXPECT_EQ(Grant(HKEY_LOCAL_MACHINE, "SOFTWARE\\Zeltra Computing\\ZeltraWS"), 0);
    EXPECT_EQ(sim::KeyOwner(target), "S-1-5-18");
    EXPECT_EQ(sim::KeyAccessList(target), std::nullopt);
    EXPECT_TRUE(sim::KeyAccessList(kKey32).has_value()) << "the link's own list";
    ExpectNothingLeftOpen();
}

// A hive root and the keys directly below HKLM and HKU are never granted;
// below HKCR and HKCU one component names an ordinary key (a ProgID).
TEST_F(AccessGrant, NeverTouchesAHiveRootOrAKeyDirectlyBelowOne) {
    sim::PlantKey("HKCU\\Software");
    for (const char *path : {"", "SOFTWARE\\", "\\SOFTWARE\\Zeltra", "SOFTWARE\\\\Zeltra", "\\"}) {
        SCOPED_TRACE(path);
        EXPECT_EQ(Grant(HKEY_LOCAL_MACHINE, path), -2);
        EXPECT_EQ(Grant(HKEY_CURRENT_USER, path), -2);
    }
    EXPECT_EQ(Grant(HKEY_LOCAL_MACHINE, "SOFTWARE"), -2);
    EXPECT_EQ(Grant(HKEY_USERS, "S-1-5-18"), -2);
    EXPECT_TRUE(sim::NamedSecurityCalls().empty());
    EXPECT_EQ(sim::KeyAccessList("HKCU\\Software"), std::nullopt);
    sim::PlantKey("HKCR\\ZeltraFile");
    EXPECT_EQ(Grant(HKEY_CLASSES_ROOT, "ZeltraFile"), 0);
    EXPECT_EQ(Grant(HKEY_CURRENT_USER, "Software"), 0);
    EXPECT_TRUE(sim::KeyAccessList("HKCU\\Software").has_value());
    ExpectNothingLeftOpen();
}

// What the takeover changed is given back to a key that stays, the owner
// with the restore privilege; a key that went needs nothing.
TEST_F(AccessGrant, AKeyThatStaysGetsItsOwnerAndListBack) {
    sim::ProtectKey(kKey32, KEY_READ);
    const sim::FileSecurity before = sim::KeySecurityOf(kKey32);
    KeyGrant grant = NameKeyForGrant(HKEY_LOCAL_MACHINE, "SOFTWARE\\Zeltra Computing\\ZeltraWS", 0);
    ASSERT_EQ(GrantRegistryKeyAccess(grant), 0);
    ASSERT_EQ(sim::KeyOwner(kKey32), "S-1-5-32-544");
    EXPECT_TRUE(RestoreKeySecurity(grant));
    EXPECT_EQ(sim::KeyOwner(kKey32), "S-1-5-18");
    const sim::FileSecurity after = sim::KeySecurityOf(kKey32);
    ASSERT_TRUE(after.accessList && before.accessList);
    ASSERT_EQ(after.accessList->size(), before.accessList->size());
    for (size_t i = 0; i < after.accessList->size(); ++i) {
        EXPECT_EQ((*after.accessList)[i].trustee, (*before.accessList)[i].trustee);
        EXPECT_EQ((*after.accessList)[i].access, (*before.accessList)[i].access);
        EXPECT_EQ((*after.accessList)[i].mode, (*before.accessList)[i].mode);
    }
    EXPECT_EQ(grant.before, nullptr);

    ASSERT_EQ(GrantRegistryKeyAccess(grant), 0);
    sim::RemoveKeyTree(kKey32);
    EXPECT_TRUE(RestoreKeySecurity(grant)) << "gone: nothing to give back";
    ExpectNothingLeftOpen();
    EXPECT_EQ(sim::OpenHandles("key"), 0u);
}

// Through a handle no object name is formed, so none is cut at 511
// characters: a long path is granted whole.
TEST_F(AccessGrant, ALongKeyPathIsGrantedWhole) {
    std::string path = "SOFTWARE\\" + std::string(250, 'a') + "\\" + std::string(250, 'b') + "\\Zeltra";
    sim::PlantKey("HKCU\\" + path);
    EXPECT_EQ(Grant(HKEY_CURRENT_USER, path.c_str()), 0);
    EXPECT_EQ(sim::NamedSecurityCalls(), std::vector<std::string>{"CURRENT_USER\\" + path});
    EXPECT_TRUE(sim::KeyAccessList("HKCU\\" + path).has_value());
    ExpectNothingLeftOpen();
}

} // namespace
