// The archive bookkeeping: "ArchiveSamples" and "ArchiveDate" under the engine's key.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "acquisition/DataAcquisition.h"
#include "common/TestRoot.h"

namespace {

const char *const KeyPath = "SYSTEM\\CurrentControlSet\\Services\\QORL Data Acquisition\\Parameters\\Metek1";

class TestEngine : public DataAcquisition {
public:
    using DataAcquisition::DataAcquisition;
    void Acquire() override {}
};

class Bookkeeping : public ::testing::Test {
protected:
    Bookkeeping() : log("Metek1", root.Drive("C:\\Kestrune Logs").c_str()), engine(log) {
        snprintf(engine.RegistryKeyPath, sizeof engine.RegistryKeyPath, "%s", KeyPath);
    }

    // The take time of a pass: 8 December 2026, 14:30:05.123 UTC.
    static SYSTEMTIME TakeTime() {
        SYSTEMTIME t = {};
        t.wYear = 2026;
        t.wMonth = 12;
        t.wDayOfWeek = 2;
        t.wDay = 8;
        t.wHour = 14;
        t.wMinute = 30;
        t.wSecond = 5;
        t.wMilliseconds = 123;
        return t;
    }

    // A value of the engine's key: its type and bytes; ERROR_FILE_NOT_FOUND when missing.
    LONG Get(const char *name, DWORD &type, std::string &bytes) {
        HKEY key = nullptr;
        LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, KeyPath, 0, KEY_READ, &key);
        if (rc != ERROR_SUCCESS)
            return rc;
        char data[256];
        DWORD size = sizeof data;
        rc = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE *>(data), &size);
        RegCloseKey(key);
        if (rc == ERROR_SUCCESS)
            bytes.assign(data, size);
        return rc;
    }

    void Put(const char *name, DWORD type, const std::string &bytes) {
        HKEY key = nullptr;
        char noClass[1] = "";
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, KeyPath, 0, noClass, 0, KEY_ALL_ACCESS,
                                                 nullptr, &key, nullptr));
        ASSERT_EQ(ERROR_SUCCESS,
                  RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE *>(bytes.data()),
                                 static_cast<DWORD>(bytes.size())));
        RegCloseKey(key);
    }

    static std::string Dword(DWORD v) { return std::string(reinterpret_cast<const char *>(&v), sizeof v); }

    // Replaces the registry store by a file that is not a database, or removes it.
    void BreakStore() {
        RepairStore();
        std::ofstream(root.Path() + "/registry.db", std::ios::binary | std::ios::trunc)
            << std::string(8192, 'x');
    }
    void RepairStore() {
        for (const char *suffix : {"", "-wal", "-shm"})
            std::filesystem::remove(root.Path() + "/registry.db" + suffix);
    }

    // Everything the event log has written so far.
    std::string LogText() {
        std::string text;
        std::error_code ec;
        for (const auto &f : std::filesystem::directory_iterator(root.Path() + "/c/Kestrune Logs", ec)) {
            std::ifstream in(f.path(), std::ios::binary);
            std::stringstream s;
            s << in.rdbuf();
            text += s.str();
        }
        return text;
    }
    static int Count(const std::string &text, const std::string &what) {
        int n = 0;
        for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
            ++n;
        return n;
    }

    TestRoot root;
    EventLog log;
    TestEngine engine;
};

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

TEST_F(Bookkeeping, AKeyThatCannotBeOpenedIsLoggedOncePerEpisode) {
    const std::string entry = "5026  Metek1: Error opening the registry key " + std::string(KeyPath) +
                              ". Archive bookkeeping suspended.";
    BreakStore();
    engine.UpdateArchiveBookkeeping(TakeTime(), 90);
    engine.UpdateArchiveBookkeeping(TakeTime(), 91);
    EXPECT_TRUE(engine.BookkeepingSuspended);
    EXPECT_EQ(nullptr, engine.CurrentRegEditor);
    EXPECT_EQ(1, Count(LogText(), entry));

    // A good pass ends the episode; the next failure is logged again.
    RepairStore();
    engine.UpdateArchiveBookkeeping(TakeTime(), 92);
    EXPECT_FALSE(engine.BookkeepingSuspended);
    DWORD type = 0;
    std::string bytes;
    ASSERT_EQ(ERROR_SUCCESS, Get("ArchiveSamples", type, bytes));
    EXPECT_EQ(Dword(92), bytes);

    BreakStore();
    engine.UpdateArchiveBookkeeping(TakeTime(), 93);
    engine.UpdateArchiveBookkeeping(TakeTime(), 94);
    EXPECT_EQ(2, Count(LogText(), entry));
}

// Another program holds the store locked (an open write transaction): each update gives up
// after its bounded wait, the values stay as they were, and the log gets one 5026 entry for
// the episode. The next update after the lock is gone writes both values and ends the episode.
TEST_F(Bookkeeping, AStoreLockedByAnotherProgramIsSkippedOncePerEpisode) {
    const std::string entry = "5026  Metek1: Error opening the registry key " + std::string(KeyPath) +
                              ". Archive bookkeeping suspended.";
    engine.UpdateArchiveBookkeeping(TakeTime(), 10);

    sqlite3 *other = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_open((root.Path() + "/registry.db").c_str(), &other));
    ASSERT_EQ(SQLITE_OK, sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr));
    engine.UpdateArchiveBookkeeping(TakeTime(), 11);
    engine.UpdateArchiveBookkeeping(TakeTime(), 12);
    EXPECT_TRUE(engine.BookkeepingSuspended);
    EXPECT_EQ(nullptr, engine.CurrentRegEditor);
    EXPECT_EQ(1, Count(LogText(), entry));
    DWORD type = 0;
    std::string bytes;
    ASSERT_EQ(ERROR_SUCCESS, Get("ArchiveSamples", type, bytes));  // readers are not held up
    EXPECT_EQ(Dword(10), bytes);

    ASSERT_EQ(SQLITE_OK, sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr));
    sqlite3_close(other);
    engine.UpdateArchiveBookkeeping(TakeTime(), 13);
    EXPECT_FALSE(engine.BookkeepingSuspended);
    ASSERT_EQ(ERROR_SUCCESS, Get("ArchiveSamples", type, bytes));
    EXPECT_EQ(Dword(13), bytes);
    EXPECT_EQ(1, Count(LogText(), entry));
    // The thread's own registry wait limit is back to the default.
    EXPECT_EQ(10000u, KestruneSetRegistryWaitLimit(10000));
}

}  // namespace
