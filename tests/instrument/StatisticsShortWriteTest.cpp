// Statistics files on a disk that fills up, made with a cap on the process's file sizes: a
// period whose line does not fit is reported and leaves the file as it was, so the next
// period's line follows the last whole line.
#include <filesystem>
#include <string>
#include <vector>

#include "StatisticsFixture.h"
#include "common/FileSizeCap.h"

namespace {

using StatisticsShortWrite = StatisticsFixture;

TEST_F(StatisticsShortWrite, ALineThatDoesNotFitIsCutBackAndReported) {
    for (WORD minute = 0; minute < 6; ++minute) {
        Accumulate("XXXXXXXXX1000,1,2.0,0.5,20.0\r\n");
        WritePeriod(CalendarTime(2026, 12, 8, 21, minute, 0), CalendarTime(2026, 12, 8, 21, minute + 1, 0));
    }
    const std::string before = FileBytes();
    ASSERT_EQ(FileLines().size(), 9u);

    {
        FileSizeCap cap(before.size() + 100);  // a fraction of a period line
        if (!cap.Active())
            GTEST_SKIP() << "RLIMIT_FSIZE cannot be lowered here";
        Accumulate("XXXXXXXXX1000,2,2.0,0.5,20.0\r\n");
        WritePeriod(CalendarTime(2026, 12, 8, 21, 6, 0), CalendarTime(2026, 12, 8, 21, 7, 0));
        cap.Lift();
    }
    EXPECT_EQ(FileBytes(), before);
    EXPECT_EQ(
        LoggedMessages(root_.Posix("c/Data"), 6701),
        std::vector<std::string>{"Metek1: Error writing file " + root_.Drive("C:\\Stats\\stats.txt") +
                                 " (error 223; the statistics of the period 06:00:000-07:00:000 are lost)"});

    // The next period is written whole after the last whole line, without a second header.
    Accumulate("XXXXXXXXX1000,3,2.0,0.5,20.0\r\n");
    WritePeriod(CalendarTime(2026, 12, 8, 21, 7, 0), CalendarTime(2026, 12, 8, 21, 8, 0));
    const std::string after = FileBytes();
    ASSERT_EQ(after.compare(0, before.size(), before), 0);
    const std::vector<std::string> lines = FileLines();
    ASSERT_EQ(lines.size(), 10u);
    EXPECT_EQ(lines.back().substr(0, 20), "07:00:000-08:00:000 ");
    EXPECT_EQ(lines.back().size(), lines[3].size());
    EXPECT_EQ(after.substr(after.size() - 2), "\r\n");
}

TEST_F(StatisticsShortWrite, AHeaderThatDoesNotFitLeavesNoFileBehind) {
    {
        FileSizeCap cap(800);  // the event log fits, the three header lines do not
        if (!cap.Active())
            GTEST_SKIP() << "RLIMIT_FSIZE cannot be lowered here";
        Accumulate("XXXXXXXXX1000,1,2.0,0.5,20.0\r\n");
        WritePeriod(CalendarTime(2026, 12, 8, 21, 4, 0), CalendarTime(2026, 12, 8, 21, 5, 0));
        cap.Lift();
    }
    EXPECT_FALSE(std::filesystem::exists(root_.Posix("c/Stats/stats.txt")));
    EXPECT_EQ(LoggedMessages(root_.Posix("c/Data"), 6701).size(), 1u);

    // Once there is room again, the file starts with its header.
    Accumulate("XXXXXXXXX1000,1,2.0,0.5,20.0\r\n");
    WritePeriod(CalendarTime(2026, 12, 8, 21, 5, 0), CalendarTime(2026, 12, 8, 21, 6, 0));
    const std::vector<std::string> lines = FileLines();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], "Metek (SN: 666) Time (YYJJJHH): 2634221 UTC");
    EXPECT_EQ(lines[3].substr(0, 20), "05:00:000-06:00:000 ");
}

}  // namespace
