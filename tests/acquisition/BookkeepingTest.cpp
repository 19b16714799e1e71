// The archive bookkeeping: "ArchiveSamples" and "ArchiveDate" under the engine's key.
#include <gtest/gtest.h>

#include <string>

#include "BookkeepingFixture.h"

using namespace bookkeepingtest;

namespace {

using Bookkeeping = BookkeepingFixture;

TEST_F(Bookkeeping, AnEmptyKeyPathLeavesTheRegistryAlone) {
    engine.RegistryKeyPath[0] = '\0';
    engine.UpdateArchiveBookkeeping(TakeTime(), 90);
    HKEY key = nullptr;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND,
              RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services", 0, KEY_READ, &key));
}

TEST_F(Bookkeeping, APassOf90Good6BlackoutAnd4BadWrites90AndTheDate) {
    engine.ArchivedCount = 90;
    engine.BlackoutCount = 6;
    engine.BadCount = 4;
    engine.EditedCount = 0;
    engine.UpdateArchiveBookkeeping(TakeTime(), static_cast<int>(engine.ArchivedCount + engine.EditedCount));

    DWORD type = 0;
    std::string bytes;
    ASSERT_EQ(ERROR_SUCCESS, Get("ArchiveSamples", type, bytes));
    EXPECT_EQ(REG_DWORD, type);
    EXPECT_EQ(Dword(90), bytes);
    ASSERT_EQ(ERROR_SUCCESS, Get("ArchiveDate", type, bytes));
    EXPECT_EQ(REG_SZ, type);
    EXPECT_EQ(std::string("12/08/2026 14:30:05 UTC\0", 24), bytes);
    EXPECT_EQ(nullptr, engine.CurrentRegEditor);
}

TEST_F(Bookkeeping, EachPassRewritesBothValues) {
    engine.UpdateArchiveBookkeeping(TakeTime(), 4000);
    SYSTEMTIME later = TakeTime();
    later.wMonth = 1;
    later.wDay = 2;
    later.wYear = 2027;
    later.wHour = 3;
    later.wMinute = 4;
    later.wSecond = 9;
    engine.UpdateArchiveBookkeeping(later, 17);

    DWORD type = 0;
    std::string bytes;
    ASSERT_EQ(ERROR_SUCCESS, Get("ArchiveSamples", type, bytes));
    EXPECT_EQ(Dword(17), bytes);
    ASSERT_EQ(ERROR_SUCCESS, Get("ArchiveDate", type, bytes));
    EXPECT_EQ(std::string("01/02/2027 03:04:09 UTC\0", 24), bytes);
}

TEST_F(Bookkeeping, AValueOfAnotherTypeIsLeftAlone) {
    Put("ArchiveSamples", REG_SZ, std::string("monitor's\0", 10));
    engine.UpdateArchiveBookkeeping(TakeTime(), 90);
    DWORD type = 0;
    std::string bytes;
    ASSERT_EQ(ERROR_SUCCESS, Get("ArchiveSamples", type, bytes));
    EXPECT_EQ(REG_SZ, type);
    EXPECT_EQ(std::string("monitor's\0", 10), bytes);
    ASSERT_EQ(ERROR_SUCCESS, Get("ArchiveDate", type, bytes));
    EXPECT_EQ(std::string("12/08/2026 14:30:05 UTC\0", 24), bytes);

    Put("ArchiveDate", REG_BINARY, "\x01\x02");
    engine.UpdateArchiveBookkeeping(TakeTime(), 5);
    ASSERT_EQ(ERROR_SUCCESS, Get("ArchiveDate", type, bytes));
    EXPECT_EQ(REG_BINARY, type);
    EXPECT_EQ("\x01\x02", bytes);
}

// The registry matches value names in any letter case, and so does the bookkeeping: a value
// of another type whose name differs only in case is left alone as well.
TEST_F(Bookkeeping, AValueOfAnotherTypeIsLeftAloneInAnyLetterCase) {
    Put("archivesamples", REG_SZ, std::string("monitor's\0", 10));
    Put("ARCHIVEDATE", REG_BINARY, "\x01\x02");
    engine.UpdateArchiveBookkeeping(TakeTime(), 90);
    DWORD type = 0;
    std::string bytes;
    ASSERT_EQ(ERROR_SUCCESS, Get("ArchiveSamples", type, bytes));
    EXPECT_EQ(REG_SZ, type);
    EXPECT_EQ(std::string("monitor's\0", 10), bytes);
    ASSERT_EQ(ERROR_SUCCESS, Get("ArchiveDate", type, bytes));
    EXPECT_EQ(REG_BINARY, type);
    EXPECT_EQ("\x01\x02", bytes);

    // Of the right type, they are updated under the name they have.
    Put("archivesamples", REG_DWORD, Dword(1));
    engine.UpdateArchiveBookkeeping(TakeTime(), 91);
    ASSERT_EQ(ERROR_SUCCESS, Get("ArchiveSamples", type, bytes));
    EXPECT_EQ(REG_DWORD, type);
    EXPECT_EQ(Dword(91), bytes);
}

}  // namespace
