// DayOfYear and CreateDirectoryPath against the drive mapping of a temporary root.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "common/TestRoot.h"
#include "services/DateAndDirectory.h"

namespace {

SYSTEMTIME Date(int year, int month, int day) {
    SYSTEMTIME time = {};
    time.wYear = static_cast<WORD>(year);
    time.wMonth = static_cast<WORD>(month);
    time.wDay = static_cast<WORD>(day);
    return time;
}

bool IsDirectory(const std::string &path) {
    return std::filesystem::is_directory(path);
}

bool Exists(const std::string &path) {
    return std::filesystem::exists(path);
}

}  // namespace

TEST(DayOfYear, DocumentedDates) {
    EXPECT_EQ(DayOfYear(Date(2026, 1, 1)), 1);
    EXPECT_EQ(DayOfYear(Date(2026, 12, 8)), 342);
    EXPECT_EQ(DayOfYear(Date(2024, 2, 29)), 60);
    EXPECT_EQ(DayOfYear(Date(2024, 12, 31)), 366);
    // Every year divisible by four counts as a leap year, century years included.
    EXPECT_EQ(DayOfYear(Date(2100, 12, 31)), 366);
    EXPECT_EQ(DayOfYear(Date(2100, 3, 1)), 61);
    EXPECT_EQ(DayOfYear(Date(2023, 12, 31)), 365);
}

TEST(DayOfYear, CountsEveryDayOfCommonAndLeapYears) {
    const int lengths[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    for (int year : {2025, 2026, 2024, 2100}) {
        int expected = 0;
        for (int month = 1; month <= 12; ++month) {
            const int days = lengths[month - 1] + ((month == 2 && year % 4 == 0) ? 1 : 0);
            for (int day = 1; day <= days; ++day)
                ASSERT_EQ(DayOfYear(Date(year, month, day)), ++expected)
                    << year << "-" << month << "-" << day;
        }
        EXPECT_EQ(expected, year % 4 == 0 ? 366 : 365);
    }
}

class CreateDirectoryPathTest : public ::testing::Test {
protected:
    // The drive "C:" exists, as it does on Windows.
    void SetUp() override { ASSERT_TRUE(std::filesystem::create_directory(root.Posix("c"))); }

    TestRoot root;
};

TEST_F(CreateDirectoryPathTest, CreatesEveryMissingLevelAndRepeatsHarmlessly) {
    EXPECT_EQ(CreateDirectoryPath(root.Drive("C:\\Level1\\Level2").c_str()), 0u);
    EXPECT_TRUE(IsDirectory(root.Posix("c/Level1")));
    EXPECT_TRUE(IsDirectory(root.Posix("c/Level1/Level2")));
    EXPECT_EQ(CreateDirectoryPath(root.Drive("C:\\Level1\\Level2").c_str()), 0u);
    // Slashes separate levels too, as in a native path.
    EXPECT_EQ(CreateDirectoryPath((root.Path() + "/native/flux").c_str()), 0u);
    EXPECT_TRUE(IsDirectory(root.Path() + "/native/flux"));
}

TEST_F(CreateDirectoryPathTest, CreatesTheFiveLevelsOfTheDataDirectory) {
    ASSERT_TRUE(std::filesystem::create_directory(root.Posix("c/Data")));
    EXPECT_EQ(CreateDirectoryPath(root.Drive("C:\\Data\\Code\\Projects\\Win32Console\\Kestrune").c_str()),
              0u);
    EXPECT_TRUE(IsDirectory(root.Posix("c/Data/Code/Projects/Win32Console/Kestrune")));
}

TEST_F(CreateDirectoryPathTest, LeavesLevelsWhoseRestHoldsADot) {
    // The file name's dot lies in the rest of the path of every level: none is created.
    EXPECT_EQ(CreateDirectoryPath(root.Drive("C:\\Archive\\Hourly\\lab0.txt").c_str()), 0u);
    EXPECT_FALSE(Exists(root.Posix("c/Archive")));
    // Levels after the last dot are created.
    ASSERT_TRUE(std::filesystem::create_directory(root.Posix("c/v2.0")));
    EXPECT_EQ(CreateDirectoryPath(root.Drive("C:\\v2.0\\Raw\\Hourly").c_str()), 0u);
    EXPECT_TRUE(IsDirectory(root.Posix("c/v2.0/Raw/Hourly")));

    // A dot in the first component: no level is created; the deeper level's parent is missing.
    EXPECT_EQ(CreateDirectoryPath(root.Drive("C:\\v1.2\\logs").c_str()),
              static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_FALSE(Exists(root.Posix("c/v1.2")));
}

TEST_F(CreateDirectoryPathTest, PathWithoutBackslashCreatesNothing) {
    EXPECT_EQ(CreateDirectoryPath("C:Plain"), 0u);
    EXPECT_EQ(CreateDirectoryPath("plain"), 0u);
    EXPECT_EQ(CreateDirectoryPath(""), 0u);
    EXPECT_FALSE(Exists(root.Posix("c/Plain")));
    EXPECT_FALSE(Exists("plain"));
}

TEST_F(CreateDirectoryPathTest, DoubledAndTrailingBackslashesAddNoLevel) {
    EXPECT_EQ(CreateDirectoryPath(root.Drive("C:\\One\\\\Two\\").c_str()), 0u);
    EXPECT_TRUE(IsDirectory(root.Posix("c/One/Two")));
}

TEST_F(CreateDirectoryPathTest, ReportsTheFirstFailedCreationAndKeepsEarlierLevels) {
    ASSERT_TRUE(std::filesystem::create_directory(root.Posix("c/Keep")));
    std::ofstream(root.Posix("c/Keep/Blocker")) << "a file where a directory should be";
    const DWORD result = CreateDirectoryPath(root.Drive("C:\\Keep\\Blocker\\Below\\Deeper").c_str());
    EXPECT_NE(result, 0u);
    EXPECT_NE(result, static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_FALSE(Exists(root.Posix("c/Keep/Blocker/Below")));

    EXPECT_EQ(CreateDirectoryPath(root.Drive("C:\\Made\\Missing\\").c_str()), 0u);
    EXPECT_TRUE(IsDirectory(root.Posix("c/Made/Missing")));
}
