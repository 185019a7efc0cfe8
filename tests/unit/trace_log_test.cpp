#include <functional>
#include <string>

#include "core/bounded_format.h"
#include "test_support.h"

namespace {

using TraceLog = MachineTest;

const char kTemp[] = "C:\\Users\\Admin\\AppData\\Local\\Temp\\";

TEST_F(TraceLog, IsCreatedInTheTempFolderNamedByTheTickWithADoubledSeparator) {
    OpenLog(4242);
    EXPECT_STREQ(g_run.traceLogPath, "C:\\Users\\Admin\\AppData\\Local\\Temp\\\\ZeltraES_RT_4242_Log.txt");
    EXPECT_EQ(sim::FileBytes(std::string(kTemp) + "ZeltraES_RT_4242_Log.txt"), "") << "created empty";
}

TEST_F(TraceLog, ATickAbove2To31GivesAMinusSign) {
    OpenLog(0x80000001u);
    EXPECT_NE(std::string(g_run.traceLogPath).find("ZeltraES_RT_-2147483647_Log.txt"), std::string::npos);
}

// Where the temporary folder is shared, another user may have put a file
// or a link under the name first, or may give the new file a second name
// (a hard link) or a reparse point before it is checked by its handle:
// nothing is written through it, nothing stays open, and there is no log.
TEST_F(TraceLog, ANameTakenOrAFileChangedBeforeItsCheckIsNeverWritten) {
    const std::string name = std::string(kTemp) + "ZeltraES_RT_7_Log.txt";
    const std::string victim = "C:\\Windows\\System32\\config.sys";
    auto beforeTheCheck = [&](std::function<void()> change) {
        sim::AtCall("GetFileInformationByHandle", 1, std::move(change));
    };
    struct Case {
        const char *name;
        std::function<void()> plant;
        const char *left; // a file's bytes under the name afterwards
    };
    const Case cases[] = {
        {"a file", [&] { sim::PlantFile(name, "old contents"); }, "old contents"},
        {"a link to another file", [&] { sim::PlantLink(name, victim, false); }, nullptr},
        {"a hard link made to the new file", [&] { beforeTheCheck([&] { sim::AddHardLinkElsewhere(name); }); }, ""},
        {"a data reparse point put on the new file",
         [&] { beforeTheCheck([&] { sim::PlantReparseData(name, 0x80000013u); }); }, ""},
        {"a check that fails", [] { sim::FailCall("GetFileInformationByHandle", {.error = ERROR_ACCESS_DENIED}); }, ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        sim::Reset();
        sim::PlantFile(victim, "system");
        c.plant();
        sim::SetTickCount(7);
        CreateTraceLog();
        EXPECT_EQ(g_run.traceLogHandle, INVALID_HANDLE_VALUE);
        EXPECT_EQ(sim::OpenHandles("file"), 0u);
        WriteLogLine("lost\r\n");
        EXPECT_EQ(sim::FileBytes(victim), "system");
        if (c.left) {
            EXPECT_EQ(sim::FileBytes(name), c.left);
        }
    }
}

TEST_F(TraceLog, OthersMayReadAndWriteTheLogWhileItIsOpen) {
    OpenLog();
    HANDLE reader = CreateFileA(g_run.traceLogPath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(reader, INVALID_HANDLE_VALUE);
    CloseHandle(reader);
}

TEST_F(TraceLog, LinesAreWrittenAsTheyStandInOrder) {
    OpenLog();
    WriteLogLine("Acquiring Resources\r\n");
    WriteLogLine("INFO:: No Installed Instances Found");
    WriteLogLine("SUCCESS:: Deleted\r\n");
    EXPECT_EQ(Log(), "Acquiring Resources\r\nINFO:: No Installed Instances FoundSUCCESS:: Deleted\r\n");
}

TEST_F(TraceLog, ALongFormattedLineIsCutAt511AndTheNextFollowsOnIt) {
    OpenLog();
    char line[kLogLineChars];
    FormatBounded(line, sizeof line, "FILENAME:: %s\r\n", std::string(600, 'x').c_str());
    WriteLogLine(line);
    WriteLogLine("SUCCESS:: Deleted\r\n");
    std::string expected = "FILENAME:: " + std::string(500, 'x') + "SUCCESS:: Deleted\r\n";
    EXPECT_EQ(Log(), expected);
}

TEST_F(TraceLog, WithoutALogEveryWriteIsANoOp) {
    WriteLogLine("nothing\r\n"); // handle 0
    g_run.traceLogHandle = INVALID_HANDLE_VALUE;
    WriteLogLine("nothing\r\n");
    EXPECT_EQ(sim::OpenHandles("file"), 0u);
}

TEST_F(TraceLog, FailedCreationMeansNoLogAndAFailedWriteIsNotRetried) {
    sim::FailCall("CreateFileA", {.error = ERROR_ACCESS_DENIED});
    CreateTraceLog();
    EXPECT_EQ(g_run.traceLogHandle, INVALID_HANDLE_VALUE);
    WriteLogLine("lost\r\n");

    OpenLog(9);
    sim::FailCall("WriteFile", {.error = ERROR_DISK_FULL});
    WriteLogLine("lost\r\n");
    WriteLogLine("kept\r\n");
    EXPECT_EQ(Log(), "kept\r\n");
}

TEST_F(TraceLog, NoTempFolderPutsTheLogInTheDriveRoot) {
    sim::FailCall("GetTempPathA", {.error = ERROR_ENVVAR_NOT_FOUND});
    sim::SetTickCount(5);
    CreateTraceLog();
    EXPECT_STREQ(g_run.traceLogPath, "\\ZeltraES_RT_5_Log.txt");
}

} // namespace
