// The statistics file: its three header lines, the fixed-width period line, CR LF line ends
// and the handling of files that exist, are shared or cannot be opened.
#include <sstream>
#include <string>
#include <vector>

#include "StatisticsFixture.h"

namespace {

using StatisticsFile = StatisticsFixture;

const std::string GroupLine =
    "                    --Blackout--   ------ Heating Status ------   ----- Sensor Path Status ------   "
    "---------- u-component velocity (m/s) -----------   ---------- v-component velocity (m/s) -----------   "
    "----------- w-component velocity (m/s) ----------   ------------ virtual temperature (C) ------------   "
    "------- uw (m^2/s^2) ------   ------- vw (m^2/s^2) ------   ------- wt (m/s)(C) -------";
const std::string ColumnLine =
    "MM:SS:mmm MM:SS:mmm    NumSamp   | OffSamp OnGoodSamp OnBadSamp | BlockSamp BlockAvg  BlockPctAvg | "
    "GoodSamp BadSamp Average StdDev Skewness Kurtosis | GoodSamp BadSamp Average StdDev Skewness Kurtosis | "
    "GoodSamp BadSamp Average StdDev Skewness Kurtosis | GoodSamp BadSamp Average StdDev Skewness Kurtosis | "
    "GoodSamp BadSamp Covariance | GoodSamp BadSamp Covariance | GoodSamp BadSamp Covariance";

// The period line of an empty period, column by column: counts 0, block figures 0, every
// result -99.99 in its width (7 averages, 6 deviations, 8 skewness and kurtosis, 10
// covariances).
const std::string EmptyValues =
    "         0           0          0         0           0      0.0            0"
    "          0       0  -99.99 -99.99   -99.99   -99.99"
    "          0       0  -99.99 -99.99   -99.99   -99.99"
    "          0       0  -99.99 -99.99   -99.99   -99.99"
    "          0       0  -99.99 -99.99   -99.99   -99.99"
    "          0       0     -99.99"
    "          0       0     -99.99"
    "          0       0     -99.99";

TEST_F(StatisticsFile, WholeFileLayout) {
    WritePeriod(CalendarTime(2026, 12, 8, 21, 4, 0), CalendarTime(2026, 12, 8, 21, 5, 0));

    // heating, block digit, percentage | u v w T
    Accumulate("XXXXXXXXX1000,1,2.0,0.5,20.0\r\n");
    Accumulate("XXXXXXXXX0325,2,2.0,-0.3,21.0\r\n");
    Accumulate("XXXXXXXXX2151,3,2.0,0.6,20.0\r\n");
    Accumulate("XXXXXXXXX1000,4,2.0,-0.4,21.0\r\n");
    Accumulate("XXXXXXXXX1000,9,9,9,9\r\n", SampleBad);
    Accumulate("XXXXXXXXX1000,9,9,9,9\r\n", SampleBlackout);
    Accumulate("short,-99.99,-99.5,0.25,-99\r\n");
    WritePeriod(CalendarTime(2026, 12, 8, 21, 5, 0), CalendarTime(2026, 12, 8, 21, 6, 0));

    const std::string expected =
        "Metek (SN: 666) Time (YYJJJHH): 2634221 UTC\r\n" + GroupLine + "\r\n" + ColumnLine + "\r\n" +
        "04:00:000-05:00:000 " + EmptyValues + "\r\n" +
        "05:00:000-06:00:000 "
        "         1           1          2         1           2      2.0           38"
        "          4       2    2.50   1.12     0.00    -1.36"
        "          4       2    2.00   0.00   -99.99   -99.99"
        "          5       1    0.13   0.41    -0.21    -1.71"
        "          4       2   20.50   0.50     0.00    -2.00"
        "          4       2      -0.30"
        "          4       2      -0.06"
        "          4       2      -0.84"
        "\r\n";
    EXPECT_EQ(FileBytes(), expected);
}

TEST_F(StatisticsFile, HeaderLinesHaveTheirFixedLengths) {
    WritePeriod(CalendarTime(2026, 1, 1, 0, 0, 0), CalendarTime(2026, 1, 1, 0, 1, 0));
    const std::vector<std::string> lines = FileLines();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], "Metek (SN: 666) Time (YYJJJHH): 2600100 UTC");
    EXPECT_EQ(lines[1].size(), 395u);
    EXPECT_EQ(lines[2].size(), 395u);
    EXPECT_EQ(lines[1], GroupLine);
    EXPECT_EQ(lines[2], ColumnLine);
    // The line of values lines up under the column line: 20 characters of times, then values.
    EXPECT_EQ(lines[3].size(), 20 + EmptyValues.size());
}

// Figures that overflow, are not finite or need more digits than their column print as
// -99.99 in the column's width; every period line keeps the width of an ordinary one.
TEST_F(StatisticsFile, ExtremeValuesKeepEveryPeriodLineAtItsWidth) {
    const char *const periods[][4] = {
        // Each period: four records (u, v, w, T).
        {"S,1e308,1,1,20", "S,-1e308,2,2,21", "S,1e308,1,1,20", "S,-1e308,2,2,21"},       // sums overflow
        {"S,1e300,1,1,20", "S,1e300,2,2,21", "S,1e300,1,1,20", "S,1e300,2,2,21"},         // 301-digit mean
        {"S,1,1e200,1e200,1e200", "S,2,-1e200,-1e200,-1e200", "S,3,1,1,1", "S,4,2,2,2"},  // powers overflow
        {"S,5e7,1,5e7,20", "S,-5e7,1,-5e7,21", "S,5e7,1,5e7,20", "S,-5e7,1,-5e7,21"},  // 15-digit covariance
        {"S,10000,1,-10000,20", "S,-10000,1,10000,20", "S,10000,1,1,20", "S,0,1,1,20"},
    };
    SYSTEMTIME start = CalendarTime(2026, 12, 8, 21, 0, 0);
    for (const auto &period : periods) {
        for (const char *line : period)
            Accumulate(line);
        SYSTEMTIME end = start;
        ++end.wMinute;
        WritePeriod(start, end);
        start = end;
    }

    const std::vector<std::string> lines = FileLines();
    ASSERT_EQ(lines.size(), 3u + 5u);
    for (size_t i = 3; i < lines.size(); ++i) {
        SCOPED_TRACE(lines[i]);
        EXPECT_EQ(lines[i].size(), 20 + EmptyValues.size());
        // Each figure ends where it ends in an ordinary line, right-aligned in its column.
        for (size_t c = 0; c < EmptyValues.size(); ++c) {
            if (EmptyValues[c] != ' ' && (c + 1 == EmptyValues.size() || EmptyValues[c + 1] == ' ')) {
                EXPECT_NE(lines[i][20 + c], ' ') << "column " << c;
                if (c + 1 < EmptyValues.size()) {
                    EXPECT_EQ(lines[i][20 + c + 1], ' ') << "column " << c + 1;
                }
            }
        }
        for (char c : lines[i])
            EXPECT_TRUE(c == ' ' || c == '-' || c == '.' || c == ':' || (c >= '0' && c <= '9')) << c;
    }

    auto field = [](const std::string &line, int number) {
        std::istringstream in(line);
        std::string text;
        for (int i = 0; i <= number; ++i)
            in >> text;
        return text;
    };
    // 1: u's sums overflow; its average is missing, v's figures are ordinary.
    EXPECT_EQ(field(lines[3], UField + 2), "-99.99");
    EXPECT_EQ(field(lines[3], VField + 2), "1.50");
    // 2: a finite mean of 1e300 is too wide for its column.
    EXPECT_EQ(field(lines[4], UField + 2), "-99.99");
    EXPECT_EQ(field(lines[4], UField + 3), "0.00");
    // 3: the fourth powers of 1e200 overflow; u is untouched.
    EXPECT_EQ(field(lines[5], VField + 3), "-99.99");
    EXPECT_EQ(field(lines[5], UField + 2), "2.50");
    // 4: uw = 2.5e15 needs more than 10 columns; the averages fit.
    EXPECT_EQ(field(lines[6], UWField + 2), "-99.99");
    EXPECT_EQ(field(lines[6], UField + 2), "0.00");
    // 5: a mean that fills its 7 columns exactly is printed.
    EXPECT_EQ(field(lines[7], UField + 2), "2500.00");
}

TEST_F(StatisticsFile, EveryLineEndsWithCarriageReturnAndLineFeed) {
    WritePeriod(CalendarTime(2028, 12, 31, 23, 58, 0), CalendarTime(2028, 12, 31, 23, 59, 0));
    WritePeriod(CalendarTime(2028, 12, 31, 23, 59, 0), CalendarTime(2029, 1, 1, 0, 0, 0));
    const std::string bytes = FileBytes();
    size_t lineFeeds = 0;
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (bytes[i] == '\n') {
            ++lineFeeds;
            ASSERT_GT(i, 0u);
            EXPECT_EQ(bytes[i - 1], '\r') << "at byte " << i;
        }
    }
    EXPECT_EQ(lineFeeds, 5u);
    EXPECT_EQ(bytes.back(), '\n');
    // Day 366 of a leap year; the end of the second period is 00:00:000 of the next hour.
    EXPECT_EQ(FileLines()[0], "Metek (SN: 666) Time (YYJJJHH): 2836623 UTC");
    EXPECT_EQ(FileLines()[4].substr(0, 20), "59:00:000-00:00:000 ");
}

TEST_F(StatisticsFile, HeaderOnlyForANewOrEmptyFile) {
    // An existing empty file gets the header.
    { std::ofstream(root_.Posix("c/Stats/stats.txt"), std::ios::binary); }
    WritePeriod(CalendarTime(2026, 12, 8, 21, 4, 0), CalendarTime(2026, 12, 8, 21, 5, 0));
    WritePeriod(CalendarTime(2026, 12, 8, 21, 5, 0), CalendarTime(2026, 12, 8, 21, 6, 0));
    std::vector<std::string> lines = FileLines();
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[0], "Metek (SN: 666) Time (YYJJJHH): 2634221 UTC");
    EXPECT_EQ(lines[3].substr(0, 20), "04:00:000-05:00:000 ");
    EXPECT_EQ(lines[4].substr(0, 20), "05:00:000-06:00:000 ");

    // A file with content never gets a second header, whatever it holds.
    { std::ofstream(root_.Posix("c/Stats/other.txt"), std::ios::binary) << "x"; }
    WritePeriod(CalendarTime(2026, 12, 8, 21, 4, 0), CalendarTime(2026, 12, 8, 21, 5, 0),
                "C:\\Stats\\other.txt");
    EXPECT_EQ(FileBytes("c/Stats/other.txt"), "x04:00:000-05:00:000 " + EmptyValues + "\r\n");
}

TEST_F(StatisticsFile, AppendsWhileAnotherProgramHoldsTheFileOpen) {
    WritePeriod(CalendarTime(2026, 12, 8, 21, 4, 0), CalendarTime(2026, 12, 8, 21, 5, 0));
    // A reader that shares reading and writing, as a program following the file would.
    HANDLE reader = CreateFileA(root_.Drive("C:\\Stats\\stats.txt").c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    WritePeriod(CalendarTime(2026, 12, 8, 21, 5, 0), CalendarTime(2026, 12, 8, 21, 6, 0));
    char bytes[64] = {};
    DWORD read = 0;
    EXPECT_TRUE(ReadFile(reader, bytes, 7, &read, nullptr));
    EXPECT_EQ(std::string(bytes, read), "Metek (");
    CloseHandle(reader);
    EXPECT_EQ(FileLines().size(), 5u);
    EXPECT_TRUE(LoggedMessages(root_.Posix("c/Data"), 6701).empty());
}

TEST_F(StatisticsFile, MissingDirectoryIsReportedForEveryPeriodAndCreatesNothing) {
    Accumulate("XXXXXXXXX1000,1,2.0,0.5,20.0\r\n");
    WritePeriod(CalendarTime(2026, 12, 8, 21, 4, 0), CalendarTime(2026, 12, 8, 21, 5, 0),
                "C:\\Nowhere\\s.txt");
    WritePeriod(CalendarTime(2026, 12, 8, 21, 5, 0), CalendarTime(2026, 12, 8, 21, 6, 0),
                "C:\\Nowhere\\s.txt");
    EXPECT_EQ(LoggedMessages(root_.Posix("c/Data"), 6701),
              std::vector<std::string>(2, "Metek1: Error opening file " + root_.Drive("C:\\Nowhere\\s.txt")));
    EXPECT_FALSE(std::filesystem::exists(root_.Posix("c/Nowhere")));
}

}  // namespace
