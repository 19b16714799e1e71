// The daily event log: file names, header and line bytes, the day split, and writers in
// several threads and processes sharing one log through its named mutex.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "EventLogTestSupport.h"
#include "common/ChildProgram.h"

using namespace eventlogtest;

namespace {

using EventLogTest = EventLogFixture;

}  // namespace

TEST_F(EventLogTest, ConstructorCreatesTheDirectoryAndWritesTheFirstEntry) {
    FILETIME before, after;
    GetSystemTimeAsFileTime(&before);
    EventLog log(ServiceLogName, root.Drive("C:\\Data\\Code\\Kestrune").c_str());
    GetSystemTimeAsFileTime(&after);
    EXPECT_STREQ(log.LogName, ServiceLogName);
    EXPECT_STREQ(log.LogDirectory, root.Drive("C:\\Data\\Code\\Kestrune").c_str());
    EXPECT_NE(log.DiskWriteMutex, nullptr);

    const std::vector<std::string> lines = CrLfLines(ReadAllLogs(root.Posix("c/Data/Code/Kestrune")));
    ASSERT_GE(lines.size(), 4u);
    EXPECT_TRUE(
        std::regex_match(lines[0], std::regex(R"(\d\d/\d\d/\d\d QORL Data Acquisition Service EventLog)")))
        << lines[0];
    EXPECT_EQ(lines[1], "");
    EXPECT_EQ(lines[2], "HH:MM:SS:MMM  Code  Message");
    EXPECT_TRUE(
        std::regex_match(lines.back(), std::regex(R"(\d\d:\d\d:\d\d:\d\d\d  9998  Starting event log\.)")))
        << lines.back();
}

TEST_F(EventLogTest, DayFileBytesWithHeaderAndCrLf) {
    EventLog log(ServiceLogName, root.Drive("C:\\Data").c_str());
    RemoveLogs(root.Posix("c/Data"));
    log.WriteEntry(
        MakeEntry(At(2026, 12, 8, 13, 5, 7, 42), 5100, "Metek1: Data acquisition engine start requested."));
    log.WriteEntry(MakeEntry(At(2026, 12, 8, 13, 5, 7, 43), 5106,
                             "Metek1: Data acquisition engine thread priority successfully set to "
                             "THREAD_PRIORITY_TIME_CRITICAL."));
    EXPECT_EQ(ReadFile(root.Posix("c/Data/26342.log")),
              Header("12/08/26", ServiceLogName) +
                  "13:05:07:042  5100  Metek1: Data acquisition engine start requested.\r\n"
                  "13:05:07:043  5106  Metek1: Data acquisition engine thread priority successfully set to "
                  "THREAD_PRIORITY_TIME_CRITICAL.\r\n");
}

TEST_F(EventLogTest, EntriesAroundMidnightGoToTwoDayFilesEachWithItsHeader) {
    EventLog log("Midnight", root.Drive("C:\\Data").c_str());
    RemoveLogs(root.Posix("c/Data"));
    log.WriteEntry(MakeEntry(At(2024, 12, 31, 23, 59, 59, 999), 1, "last of the year"));
    log.WriteEntry(MakeEntry(At(2025, 1, 1, 0, 0, 0, 0), 2, "first of the year"));
    EXPECT_EQ(ReadFile(root.Posix("c/Data/24366.log")),
              Header("12/31/24", "Midnight") + "23:59:59:999     1  last of the year\r\n");
    EXPECT_EQ(ReadFile(root.Posix("c/Data/25001.log")),
              Header("01/01/25", "Midnight") + "00:00:00:000     2  first of the year\r\n");
}

TEST_F(EventLogTest, CodeColumnPadsShortCodesAndWidensForLongOnes) {
    EventLog log("Codes", root.Drive("C:\\Data").c_str());
    RemoveLogs(root.Posix("c/Data"));
    const FILETIME time = At(2026, 3, 1, 6, 7, 8, 9);
    log.WriteEntry(MakeEntry(time, 7, "short"));
    log.WriteEntry(MakeEntry(time, 123456, "wide"));
    log.WriteEntry(MakeEntry(time, -12, "negative"));
    EXPECT_EQ(ReadFile(root.Posix("c/Data/26060.log")), Header("03/01/26", "Codes") +
                                                            "06:07:08:009     7  short\r\n"
                                                            "06:07:08:009  123456  wide\r\n"
                                                            "06:07:08:009   -12  negative\r\n");
}

TEST_F(EventLogTest, HeaderOnlyForNewOrEmptyFiles) {
    EventLog log("Headers", root.Drive("C:\\Data").c_str());
    RemoveLogs(root.Posix("c/Data"));
    ASSERT_TRUE(std::ofstream(root.Posix("c/Data/26100.log")).good());  // exists, empty
    std::ofstream(root.Posix("c/Data/26101.log"), std::ios::binary) << "kept\r\n";
    log.WriteEntry(MakeEntry(At(2026, 4, 10, 1, 2, 3, 4), 10, "into the empty file"));
    log.WriteEntry(MakeEntry(At(2026, 4, 11, 1, 2, 3, 4), 11, "into the file with content"));
    EXPECT_EQ(ReadFile(root.Posix("c/Data/26100.log")),
              Header("04/10/26", "Headers") + "01:02:03:004    10  into the empty file\r\n");
    EXPECT_EQ(ReadFile(root.Posix("c/Data/26101.log")),
              "kept\r\n01:02:03:004    11  into the file with content\r\n");
}

TEST_F(EventLogTest, EmptyMessagesWriteNothing) {
    EventLog log("Empty", root.Drive("C:\\Data").c_str());
    RemoveLogs(root.Posix("c/Data"));
    log.WriteEntry(MakeEntry(At(2026, 1, 1, 0, 0, 0, 0), 3, ""));
    log.WriteEntry(MakeEntry(At(2026, 1, 1, 0, 0, 0, 0), 3, nullptr));
    log.Write(4, "");
    EXPECT_FALSE(std::filesystem::exists(root.Posix("c/Data/26001.log")));
    // The mutex was released each time: a write of a real message still goes through.
    log.WriteEntry(MakeEntry(At(2026, 1, 1, 0, 0, 0, 1), 5, "written"));
    EXPECT_EQ(ReadFile(root.Posix("c/Data/26001.log")),
              Header("01/01/26", "Empty") + "00:00:00:001     5  written\r\n");
}

TEST_F(EventLogTest, AnUnwritableLogGoesToStderrAndIsCountedOnceWritableAgain) {
    const std::string directory = root.Drive("C:\\Data");
    EventLog log("Unwritable", directory.c_str());
    RemoveLogs(root.Posix("c/Data"));
    // A directory in place of the day's file: it cannot be opened, even by root.
    ASSERT_TRUE(std::filesystem::create_directory(root.Posix("c/Data/26342.log")));
    testing::internal::CaptureStderr();
    log.WriteEntry(MakeEntry(At(2026, 12, 8, 13, 5, 7, 42), 5100, "first"));
    log.WriteEntry(MakeEntry(At(2026, 12, 8, 13, 5, 7, 43), 5101, "second"));
    const std::string diverted = testing::internal::GetCapturedStderr();
    EXPECT_EQ(diverted, "Event log " + directory +
                            "\\26342.log not writable (error 5): 13:05:07:042  5100  first\n"
                            "Event log " +
                            directory + "\\26342.log not writable (error 5): 13:05:07:043  5101  second\n");

    std::filesystem::remove(root.Posix("c/Data/26342.log"));
    log.WriteEntry(MakeEntry(At(2026, 12, 8, 13, 5, 8, 0), 5102, "third"));
    log.WriteEntry(MakeEntry(At(2026, 12, 8, 13, 5, 8, 1), 5103, "fourth"));
    EXPECT_EQ(
        ReadFile(root.Posix("c/Data/26342.log")),
        Header("12/08/26", "Unwritable") +
            "13:05:08:000  9997  2 event-log entries could not be written to the log and went to stderr.\r\n"
            "13:05:08:000  5102  third\r\n"
            "13:05:08:001  5103  fourth\r\n");
}

TEST_F(EventLogTest, WriteStampsWithTheTimeOfWriting) {
    EventLog log("Now", root.Drive("C:\\Data").c_str());
    log.Write(4321, "stamped now");
    const std::vector<std::string> lines = CrLfLines(ReadAllLogs(root.Posix("c/Data")));
    ASSERT_FALSE(lines.empty());
    EXPECT_TRUE(std::regex_match(lines.back(), std::regex(R"(\d\d:\d\d:\d\d:\d\d\d  4321  stamped now)")))
        << lines.back();
}

TEST_F(EventLogTest, DirectoryThatCannotBeCreatedRaises) {
    std::ofstream(root.Posix("c/Blocker")) << "a file, not a directory";
    EXPECT_THROW(EventLog("Blocked", root.Drive("C:\\Blocker\\Logs").c_str()), EventLogException);
}

// A directory name holding a "." is never created by the path helper: the log refuses to
// start rather than drop every entry.
TEST_F(EventLogTest, DirectoryLeftUncreatedRaises) {
    ASSERT_TRUE(std::filesystem::create_directory(root.Posix("c/Data")));
    EXPECT_THROW(EventLog("Dotted", root.Drive("C:\\Data\\logs.d").c_str()), EventLogException);
    // With the directory present the same log starts.
    ASSERT_TRUE(std::filesystem::create_directory(root.Posix("c/Data/logs.d")));
    EXPECT_NO_THROW(EventLog("Dotted", root.Drive("C:\\Data\\logs.d").c_str()));
}

TEST_F(EventLogTest, ThreadsWriteWholeLines) {
    EventLog log(UniqueName("threads").c_str(), root.Drive("C:\\Data").c_str());
    const int perThread = 200;
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t) {
        writers.emplace_back([&log, t] {
            char message[128];
            for (int i = 0; i < perThread; ++i) {
                std::snprintf(message, sizeof message, "thread %d entry %d %s", t, i,
                              std::string(60, 'x').c_str());
                log.Write(100 + t, message);
            }
        });
    }
    for (auto &writer : writers)
        writer.join();
    const std::regex entry(R"(\d\d:\d\d:\d\d:\d\d\d   10(\d)  thread (\d) entry (\d+) x{60})");
    std::set<std::string> seen;
    for (const std::string &line : CrLfLines(ReadAllLogs(root.Posix("c/Data")))) {
        std::smatch match;
        if (std::regex_match(line, match, entry)) {
            EXPECT_EQ(match[1], match[2]);
            EXPECT_TRUE(seen.insert(match[2].str() + "/" + match[3].str()).second) << line;
        }
    }
    EXPECT_EQ(seen.size(), 4u * perThread);
}

// A thread that ends while it holds the log's mutex abandons it; the next writer owns it then
// and writes and releases as usual.
TEST_F(EventLogTest, WriterGoesOnAfterAnOwnerThreadEndedHoldingTheMutex) {
    EventLog log(UniqueName("abandoned thread").c_str(), root.Drive("C:\\Data").c_str());
    RemoveLogs(root.Posix("c/Data"));
    std::thread([&log] {
        ASSERT_EQ(WaitForSingleObject(log.DiskWriteMutex, INFINITE), WAIT_OBJECT_0);
    }).join();
    log.WriteEntry(MakeEntry(At(2026, 5, 5, 5, 5, 5, 5), 55, "after the owner ended"));
    EXPECT_EQ(ReadFile(root.Posix("c/Data/26125.log")),
              Header("05/05/26", log.LogName) + "05:05:05:005    55  after the owner ended\r\n");
    DWORD wait = WAIT_FAILED;
    std::thread([&log, &wait] {
        wait = WaitForSingleObject(log.DiskWriteMutex, 0);
        if (wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED)
            ReleaseMutex(log.DiskWriteMutex);
    }).join();
    EXPECT_EQ(wait, WAIT_OBJECT_0);
}

// --- Two processes -------------------------------------------------------------------------

namespace {

const int ChildEntries = 300;

// Re-runs this test binary as a child that runs only EventLogChild.Run in the given mode,
// with its log in the given directory.
std::unique_ptr<ChildProgram> SpawnChild(const char *mode, const std::string &logName,
                                         const std::string &directory) {
    return std::make_unique<ChildProgram>(
        ThisTestCase("EventLogChild.Run"),
        std::vector<std::string>{std::string("KESTRUNE_EVENTLOG_CHILD=") + mode,
                                 "KESTRUNE_EVENTLOG_NAME=" + logName,
                                 "KESTRUNE_EVENTLOG_DIRECTORY=" + directory});
}

}  // namespace

// The child side of the two-process tests; skipped when run on its own.
TEST(EventLogChild, Run) {
    const char *mode = std::getenv("KESTRUNE_EVENTLOG_CHILD");
    const char *name = std::getenv("KESTRUNE_EVENTLOG_NAME");
    const char *directory = std::getenv("KESTRUNE_EVENTLOG_DIRECTORY");
    if (mode == nullptr || name == nullptr || directory == nullptr)
        GTEST_SKIP() << "the child of a two-process event-log test";
    EventLog log(name, directory);
    if (std::string(mode) == "abandon") {
        ASSERT_EQ(WaitForSingleObject(log.DiskWriteMutex, INFINITE), WAIT_OBJECT_0);
        std::_Exit(0);  // ends the process holding the mutex
    }
    char message[160];
    for (int i = 0; i < ChildEntries; ++i) {
        std::snprintf(message, sizeof message, "child entry %d %s", i, std::string(80, 'c').c_str());
        log.Write(2, message);
    }
}

TEST_F(EventLogTest, TwoProcessesShareOneLogWithoutTornLines) {
    const std::string name = UniqueName("two processes");
    EventLog log(name.c_str(), root.Drive("C:\\Shared").c_str());
    const auto child = SpawnChild("write", name, root.Drive("C:\\Shared"));
    ASSERT_TRUE(child->Started());
    char message[160];
    for (int i = 0; i < ChildEntries; ++i) {
        std::snprintf(message, sizeof message, "parent entry %d %s", i, std::string(80, 'p').c_str());
        log.Write(1, message);
    }
    ASSERT_EQ(child->Wait(), 0);

    const std::regex header(R"(\d\d/\d\d/\d\d Kestrune test two processes \d+)");
    const std::regex entry(R"(\d\d:\d\d:\d\d:\d\d\d     (\d)  (parent|child) entry (\d+) ([pc]{80}))");
    const std::regex start(R"(\d\d:\d\d:\d\d:\d\d\d  9998  Starting event log\.)");
    std::set<std::string> seen;
    int starts = 0;
    for (const std::string &line : CrLfLines(ReadAllLogs(root.Posix("c/Shared")))) {
        std::smatch match;
        if (std::regex_match(line, match, entry)) {
            EXPECT_EQ(match[1], match[2] == "parent" ? "1" : "2") << line;
            EXPECT_EQ(match[4], std::string(80, match[2] == "parent" ? 'p' : 'c')) << line;
            EXPECT_TRUE(seen.insert(match[2].str() + match[3].str()).second) << line;
        } else if (std::regex_match(line, start)) {
            ++starts;
        } else {
            EXPECT_TRUE(line.empty() || line == "HH:MM:SS:MMM  Code  Message" ||
                        std::regex_match(line, header))
                << "torn or foreign line: " << line;
        }
    }
    EXPECT_EQ(seen.size(), 2u * ChildEntries);
    EXPECT_EQ(starts, 2);
}

TEST_F(EventLogTest, WriterGoesOnAfterAnOwnerProcessDiedHoldingTheMutex) {
    const std::string name = UniqueName("abandoned process");
    EventLog log(name.c_str(), root.Drive("C:\\Shared").c_str());
    const auto child = SpawnChild("abandon", name, root.Drive("C:\\Shared"));
    ASSERT_TRUE(child->Started());
    ASSERT_EQ(child->Wait(), 0);
    RemoveLogs(root.Posix("c/Shared"));
    log.WriteEntry(MakeEntry(At(2026, 7, 7, 7, 7, 7, 7), 77, "after the owner process died"));
    log.WriteEntry(MakeEntry(At(2026, 7, 7, 7, 7, 7, 8), 78, "and the next one"));
    EXPECT_EQ(ReadFile(root.Posix("c/Shared/26188.log")),
              Header("07/07/26", name.c_str()) +
                  "07:07:07:007    77  after the owner process died\r\n"
                  "07:07:07:008    78  and the next one\r\n");
}
