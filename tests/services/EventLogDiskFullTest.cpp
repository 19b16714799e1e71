// The event log on a disk that fills up, made with a cap on the process's file sizes: whole
// lines stay on disk and the entry that did not fit goes to stderr.
#include <gtest/gtest.h>

#include <string>

#include "EventLogTestSupport.h"
#include "common/FileSizeCap.h"

using namespace eventlogtest;

namespace {

using EventLogDiskFull = EventLogFixture;

TEST_F(EventLogDiskFull, AFullDiskLeavesWholeLinesAndSendsTheEntryToStderr) {
    EventLog log("Full", "C:\\Data");
    RemoveLogs(root.Posix("c/Data"));
    // Enough lines that the captured stderr, a file of this process too, stays below the cap.
    for (int i = 0; i < 40; ++i)
        log.WriteEntry(MakeEntry(At(2026, 12, 8, 13, 0, 0, 0), 1, "an entry before the disk fills up"));
    const std::string before = ReadFile(root.Posix("c/Data/26342.log"));

    // The write of the next entry comes back short and then fails.
    std::string diverted;
    {
        FileSizeCap cap(before.size() + 10);
        if (!cap.Active())
            GTEST_SKIP() << "RLIMIT_FSIZE cannot be set here";
        testing::internal::CaptureStderr();
        log.WriteEntry(MakeEntry(At(2026, 12, 8, 13, 0, 1, 0), 2, "a line longer than the room left"));
        diverted = testing::internal::GetCapturedStderr();
    }

    EXPECT_EQ(ReadFile(root.Posix("c/Data/26342.log")), before);
    EXPECT_EQ(diverted,
              "Event log C:\\Data\\26342.log not writable (error 223): 13:00:01:000     2  a line longer "
              "than the room left\n");
    log.WriteEntry(MakeEntry(At(2026, 12, 8, 13, 0, 2, 0), 3, "after"));
    EXPECT_EQ(
        ReadFile(root.Posix("c/Data/26342.log")),
        before +
            "13:00:02:000  9997  1 event-log entries could not be written to the log and went to stderr.\r\n"
            "13:00:02:000     3  after\r\n");
}

}  // namespace
