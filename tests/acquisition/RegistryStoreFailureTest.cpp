// The archive pass and its bookkeeping when the SQLite registry store cannot be used: locked
// by another program's open write transaction, or replaced by a file that is no database.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "ArchiveFixture.h"
#include "BookkeepingFixture.h"

namespace {

using ArchiveStoreLock = archivetest::ArchiveFixture;
using archivetest::LogMessages;
using archivetest::Stamp;

class BookkeepingStore : public bookkeepingtest::BookkeepingFixture {
protected:
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
};

using bookkeepingtest::KeyPath;

TEST_F(ArchiveStoreLock, ALockedRegistryNeverKeepsThePassFromWritingItsRawData) {
    Configure(2, 1);
    snprintf(engine->RegistryKeyPath, sizeof engine->RegistryKeyPath, "%s",
             "SYSTEM\\CurrentControlSet\\Services\\QORL Data Acquisition\\Parameters\\Metek1");
    Fill(0, {{"a\r\n", Stamp(2026, 12, 8, 13, 0, 0, 0), SampleGood}});
    Pass(0);  // creates the store and the key

    // Another program holds the store locked for the next two passes.
    sqlite3 *other = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_open((root.Path() + "/registry.db").c_str(), &other));
    ASSERT_EQ(SQLITE_OK, sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr));
    Fill(1, {{"b\r\n", Stamp(2026, 12, 8, 13, 0, 1, 0), SampleGood}});
    Pass(1);
    Fill(2, {{"c\r\n", Stamp(2026, 12, 8, 13, 0, 2, 0), SampleGood}});
    Pass(2);
    ASSERT_EQ(SQLITE_OK, sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr));
    sqlite3_close(other);

    EXPECT_EQ(Raw("lab02634213_raw.txt"),
              "12/08/2026 13:00 Metek (SN: 666)\r\n0000000 a\r\n0001000 b\r\n0002000 c\r\n");
    EXPECT_EQ(LogMessages(data, 5026),
              std::vector<std::string>{
                  "Metek1: Error opening the registry key SYSTEM\\CurrentControlSet\\Services\\QORL "
                  "Data Acquisition\\Parameters\\Metek1. Archive bookkeeping suspended."});
    EXPECT_TRUE(engine->BookkeepingSuspended);
    EXPECT_EQ(engine->Buffers[1].SampleCount, 0u);
    EXPECT_EQ(engine->Buffers[2].SampleCount, 0u);
}

TEST_F(BookkeepingStore, AKeyThatCannotBeOpenedIsLoggedOncePerEpisode) {
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
TEST_F(BookkeepingStore, AStoreLockedByAnotherProgramIsSkippedOncePerEpisode) {
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
