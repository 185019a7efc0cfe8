#include <string>

#include "core/entry_listing.h"
#include "resources/resource.h"
#include "test_support.h"

namespace {

class EntryListing : public MachineTest {
  protected:
    ListingCursor cursor = {0, 0, nullptr, nullptr};

    // Loads a listing text of the test's own as the embedded resource.
    void Load(const std::string &text) {
        sim::SetResource("ENTRYLISTINGS", IDR_ENTRYLISTINGS, text);
        ASSERT_EQ(LoadEntryListing(&cursor), 1);
    }

    std::vector<std::string> TakeSection() {
        std::vector<std::string> entries;
        if (!OpenSection(&cursor))
            return {"<no section>"};
        for (DWORD i = 0; i < cursor.Count; ++i) {
            char *entry = TakeEntry(&cursor);
            if (!entry) {
                entries.push_back("<no line end>");
                break;
            }
            entries.push_back(entry);
        }
        return entries;
    }
};

TEST_F(EntryListing, EmbeddedBytesAreExactlyTheShippedListing) {
    std::string text = sim::DefaultEntryListing();
    EXPECT_EQ(text.size(), 2473u);
    EXPECT_EQ(text.substr(text.size() - 7), "\r\n[END]") << "no line end after [END]";
    size_t lines = 1;
    for (size_t i = 0; i < text.size(); ++i)
        if (text[i] == '\n') {
            ++lines;
            EXPECT_EQ(text[i - 1], '\r') << "line " << lines - 1 << " ends with CR LF";
        }
    EXPECT_EQ(lines, 53u);
    EXPECT_NE(text.find("AllUsersFolders; \r\n"), std::string::npos) << "line 12 ends with a blank";
    EXPECT_NE(text.find("NFAD=13\r\n"), std::string::npos);
}

TEST_F(EntryListing, DefaultListingYieldsItsThreeSectionsAndEndsAtEnd) {
    OpenLog();
    ASSERT_EQ(LoadEntryListing(&cursor), 1);
    EXPECT_EQ(Log(), "Acquiring Resources\r\n");

    auto services = TakeSection();
    EXPECT_EQ(services, (std::vector<std::string>{"ZeltraWebServer", "ZeltraBizUpdater", "ZeltraBizClientSetup"}));
    auto files = TakeSection();
    ASSERT_EQ(files.size(), 13u) << "the count line says 13, and 13 are read";
    EXPECT_EQ(files.front(), "1\\Zeltra Computing\\ZeltraBusinessServer");
    EXPECT_EQ(files.back(), "10\\Desktop\\Zeltra Business Lite Console.lnk");
    auto keys = TakeSection();
    ASSERT_EQ(keys.size(), 20u);
    EXPECT_EQ(keys.back(), "HKLM\\SYSTEM\\CurrentControlSet\\Services\\ZeltraBizClientSetup");
    EXPECT_STREQ(cursor.Position, "[END]");
}

TEST_F(EntryListing, TheResourceIsNeverWrittenAndEachLoadIsAFreshCopy) {
    // The resource pages are read-only in the simulation: a write would crash.
    ASSERT_EQ(LoadEntryListing(&cursor), 1);
    TakeSection();
    ASSERT_EQ(LoadEntryListing(&cursor), 1);
    EXPECT_EQ(TakeSection().size(), 3u);
}

TEST_F(EntryListing, EveryFailingResourceCallFailsTheLoadAndKeepsTheCursor) {
    OpenLog();
    for (const char *api : {"FindResourceA", "LoadResource", "SizeofResource", "LockResource"}) {
        sim::FailCall(api, {.error = ERROR_RESOURCE_DATA_NOT_FOUND});
        cursor.Position = reinterpret_cast<char *>(0x1234);
        EXPECT_EQ(LoadEntryListing(&cursor), 0) << api;
        EXPECT_EQ(cursor.Position, reinterpret_cast<char *>(0x1234)) << api;
    }
    sim::RemoveResource("ENTRYLISTINGS", IDR_ENTRYLISTINGS);
    EXPECT_EQ(LoadEntryListing(&cursor), 0);
    sim::SetResource("ENTRYLISTINGS", IDR_ENTRYLISTINGS, "");
    EXPECT_EQ(LoadEntryListing(&cursor), 0) << "a resource of size 0";
    std::string fiveLines;
    for (int i = 0; i < 6; ++i)
        fiveLines += "Acquiring Resources\r\n";
    EXPECT_EQ(Log(), fiveLines) << "each attempt logs its line first";
}

TEST_F(EntryListing, SkipsEverythingUpToTheCountLineWhateverItsName) {
    Load("/* comment */\r\n[BEGIN]\r\n\r\nXYZ=2\r\nA\r\nB\r\nC\r\n[END]");
    EXPECT_EQ(TakeSection(), (std::vector<std::string>{"A", "B"}));
    EXPECT_STREQ(cursor.Position, "C\r\n[END]") << "a smaller count leaves lines unread";
}

TEST_F(EntryListing, CountLinesAreReadLikeAtoiButNeverPastTheLine) {
    Load("N=\r\n7\r\nN= +2x\r\nA\r\nB\r\nN=0\r\nN=-1\r\n");
    EXPECT_TRUE(OpenSection(&cursor));
    EXPECT_EQ(cursor.Count, 0u) << "no digits: the next line's digits are not read";
    EXPECT_TRUE(OpenSection(&cursor));
    EXPECT_EQ(cursor.Count, 2u);
    TakeEntry(&cursor);
    TakeEntry(&cursor);
    EXPECT_TRUE(OpenSection(&cursor));
    EXPECT_EQ(cursor.Count, 0u);
    EXPECT_TRUE(OpenSection(&cursor));
    EXPECT_EQ(cursor.Count, 0xFFFFFFFFu);
}

TEST_F(EntryListing, ALargerCountReadsOnIntoTheFollowingLines) {
    Load("NS=4\r\nA\r\nB\r\n\r\nNRE=1\r\nK\r\n[END]");
    EXPECT_EQ(TakeSection(), (std::vector<std::string>{"A", "B", "", "NRE=1"}));
}

TEST_F(EntryListing, ALoneLineFeedDoesNotEndAnEntry) {
    Load("N=2\r\nA\nB\r\nC\r\n");
    EXPECT_EQ(TakeSection(), (std::vector<std::string>{"A\nB", "C"}));
}

TEST_F(EntryListing, NoLineEndLeavesThePositionAtTheEntry) {
    Load("N=2\r\nA\r\nB");
    ASSERT_TRUE(OpenSection(&cursor));
    EXPECT_STREQ(TakeEntry(&cursor), "A");
    char *before = cursor.Position;
    EXPECT_EQ(TakeEntry(&cursor), nullptr);
    EXPECT_EQ(cursor.Position, before);
}

TEST_F(EntryListing, ACarriageReturnEndingTheTextDoesNotStepPastIt) {
    Load("N=2\r\nA\r");
    ASSERT_TRUE(OpenSection(&cursor));
    EXPECT_STREQ(TakeEntry(&cursor), "A");
    EXPECT_EQ(*cursor.Position, '\0');
    EXPECT_EQ(TakeEntry(&cursor), nullptr);
}

TEST_F(EntryListing, AMissingCountLineOrLineEndIsALoggedFailureThatReadsNothing) {
    OpenLog();
    Load("no sections here\r\n");
    EXPECT_FALSE(OpenSection(&cursor));
    EXPECT_EQ(cursor.Count, 0u);
    EXPECT_EQ(*cursor.Position, '\0');
    EXPECT_FALSE(OpenSection(&cursor)) << "a later stage finds nothing either";

    Load("NS=3");
    EXPECT_FALSE(OpenSection(&cursor));
    EXPECT_EQ(*cursor.Position, '\0');
    EXPECT_NE(Log().find("ERROR:: Section Not Found\r\nEXITING..\r\n"), std::string::npos);
}

} // namespace
