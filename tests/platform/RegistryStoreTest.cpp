// The POSIX layer's registry store: a SQLite database below KESTRUNE_ROOT, its names folded in
// ASCII only, a store locked by another program or not a database at all, and two processes
// writing the same key.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "RegistryTestSupport.h"
#include "common/ChildProgram.h"
#include "common/TestRoot.h"
#include "platform/win32.h"

using namespace registrytest;

namespace {

// The store folds ASCII letters only: Latin-1 capital and small A-umlaut stay distinct names
// (the Windows registry compares names case-insensitively as Unicode text).
TEST_F(Registry, OnlyAsciiLettersFoldInValueNames) {
    Key key;
    ASSERT_EQ(ERROR_SUCCESS, Create(HKEY_LOCAL_MACHINE, TestKey, &key));
    ASSERT_EQ(ERROR_SUCCESS, SetDword(key, "ArchiveSamples", 1));
    ASSERT_EQ(ERROR_SUCCESS, SetDword(key, "\xc4x", 1));
    ASSERT_EQ(ERROR_SUCCESS, SetDword(key, "\xe4x", 2));
    EXPECT_EQ(3u, ValueNames(key).size());
}

TEST_F(Registry, ValuesPersistInRegistryDb) {
    {
        Key key;
        ASSERT_EQ(ERROR_SUCCESS, Create(HKEY_LOCAL_MACHINE, TestKey, &key));
        ASSERT_EQ(ERROR_SUCCESS, SetDword(key, "ArchiveSamples", 90));
    }
    EXPECT_EQ(0, access((root.Path() + "/registry.db").c_str(), F_OK));

    // Another root is another store; the first is found again when the variable comes back.
    {
        TestRoot other;
        Key key;
        EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegOpenKeyExA(HKEY_LOCAL_MACHINE, TestKey, 0, KEY_READ, &key));
    }
    ASSERT_STREQ(root.Path().c_str(), getenv("KESTRUNE_ROOT"));
    Key key;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, TestKey, 0, KEY_READ, &key));
    DWORD type = 0;
    std::string bytes;
    ASSERT_EQ(ERROR_SUCCESS, Query(key, "ArchiveSamples", type, bytes));
    EXPECT_EQ(std::string("\x5a\0\0\0", 4), bytes);
}

TEST_F(Registry, AnOpenKeyStaysOnItsStoreWhenTheRootChanges) {
    Key key;
    ASSERT_EQ(ERROR_SUCCESS, Create(HKEY_LOCAL_MACHINE, TestKey, &key));
    {
        TestRoot other;
        ASSERT_EQ(ERROR_SUCCESS, SetDword(key, "Written", 1));
        Key elsewhere;
        EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegOpenKeyExA(HKEY_LOCAL_MACHINE, TestKey, 0, KEY_READ, &elsewhere));
    }
    Key again;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, TestKey, 0, KEY_READ, &again));
    DWORD type = 0, size = 0;
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(again, "Written", nullptr, &type, nullptr, &size));
}

TEST_F(Registry, AStoreThatIsNotADatabaseFails) {
    FILE *f = fopen((root.Path() + "/registry.db").c_str(), "wb");
    ASSERT_NE(nullptr, f);
    std::string junk(8192, 'x');
    fwrite(junk.data(), 1, junk.size(), f);
    fclose(f);
    Key key;
    EXPECT_NE(ERROR_SUCCESS, Create(HKEY_LOCAL_MACHINE, TestKey, &key));
    EXPECT_EQ(nullptr, key.h);
}

// Another program holds the store locked (an open write transaction of its own). A thread
// with a wait limit gets ERROR_BUSY once the limit has passed, and nothing is changed; reads
// still see the last committed values; other threads keep the default limit.
TEST_F(Registry, AThreadsWaitLimitBoundsItsWaitForALockedStore) {
    Key key;
    ASSERT_EQ(ERROR_SUCCESS, Create(HKEY_LOCAL_MACHINE, TestKey, &key));
    ASSERT_EQ(ERROR_SUCCESS, SetDword(key, "Count", 1));

    sqlite3 *other = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_open((root.Path() + "/registry.db").c_str(), &other));
    ASSERT_EQ(SQLITE_OK, sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr));

    EXPECT_EQ(10000u, KestruneSetRegistryWaitLimit(50));
    EXPECT_EQ(ERROR_BUSY, SetDword(key, "Count", 2));
    Key created;
    EXPECT_EQ(ERROR_BUSY, Create(HKEY_LOCAL_MACHINE, "SOFTWARE\\Kestrune Tests\\Locked", &created));
    EXPECT_EQ(nullptr, created.h);
    DWORD type = 0;
    std::string bytes;
    ASSERT_EQ(ERROR_SUCCESS, Query(key, "Count", type, bytes));
    EXPECT_EQ(std::string("\x01\0\0\0", 4), bytes);

    DWORD otherThreadsLimit = 0;
    std::thread([&] { otherThreadsLimit = KestruneSetRegistryWaitLimit(10000); }).join();
    EXPECT_EQ(10000u, otherThreadsLimit);

    ASSERT_EQ(SQLITE_OK, sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr));
    sqlite3_close(other);
    EXPECT_EQ(ERROR_SUCCESS, SetDword(key, "Count", 3));
    EXPECT_EQ(50u, KestruneSetRegistryWaitLimit(10000));
    ASSERT_EQ(ERROR_SUCCESS, Query(key, "Count", type, bytes));
    EXPECT_EQ(std::string("\x03\0\0\0", 4), bytes);
}

// --- Two processes ------------------------------------------------------------------------

const char *const ChildRoleVariable = "KESTRUNE_REGISTRY_TEST_CHILD";
const int ProcessWrites = 40;
const size_t SharedSize = 16384;

// Writes "<prefix><i>" values and rewrites the shared value with a block of one repeated
// byte, reading the shared value back each time: a torn value would mix two writers' bytes.
void WriteAndRead(HKEY key, const char *prefix, char fill, int &torn, int &failed) {
    for (int i = 0; i < ProcessWrites; ++i) {
        char name[32];
        snprintf(name, sizeof name, "%s%d", prefix, i);
        if (SetDword(key, name, static_cast<DWORD>(i)) != ERROR_SUCCESS)
            ++failed;
        if (SetBytes(key, "Shared", REG_BINARY, std::string(SharedSize, fill)) != ERROR_SUCCESS)
            ++failed;
        DWORD type = 0;
        std::string bytes;
        if (Query(key, "Shared", type, bytes) != ERROR_SUCCESS) {
            ++failed;
            continue;
        }
        if (bytes.size() != SharedSize || bytes.find_first_not_of(bytes[0]) != std::string::npos)
            ++torn;
    }
}

// The child's half; runs only when the parent test starts this binary as its child.
TEST(RegistryChild, WritesAndReadsTheParentsKey) {
    const char *role = getenv(ChildRoleVariable);
    if (!role)
        GTEST_SKIP() << "runs as the child of Registry.TwoProcessesWriteAndReadTheSameKey";
    Key key;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, TestKey, 0, KEY_ALL_ACCESS, &key));
    // The parent wrote this before starting the child.
    DWORD type = 0;
    std::string bytes;
    ASSERT_EQ(ERROR_SUCCESS, Query(key, "FromParent", type, bytes));
    EXPECT_EQ(REG_SZ, type);
    EXPECT_EQ(std::string("hello\0", 6), bytes);

    int torn = 0, failed = 0;
    WriteAndRead(key, "Child", 'c', torn, failed);
    EXPECT_EQ(0, torn);
    EXPECT_EQ(0, failed);
    ASSERT_EQ(ERROR_SUCCESS, SetBytes(key, "ChildDone", REG_SZ, std::string(role) + '\0'));
}

TEST_F(Registry, TwoProcessesWriteAndReadTheSameKey) {
    Key key;
    ASSERT_EQ(ERROR_SUCCESS, Create(HKEY_LOCAL_MACHINE, TestKey, &key));
    ASSERT_EQ(ERROR_SUCCESS, SetBytes(key, "FromParent", REG_SZ, std::string("hello\0", 6)));

    ChildProgram child(ThisTestCase("RegistryChild.WritesAndReadsTheParentsKey"),
                       {std::string(ChildRoleVariable) + "=writer"});
    ASSERT_TRUE(child.Started());

    int torn = 0, failed = 0;
    WriteAndRead(key, "Parent", 'p', torn, failed);

    EXPECT_EQ(0, child.Wait());
    EXPECT_EQ(0, torn);
    EXPECT_EQ(0, failed);

    // Every value of both writers is there, and the child reached its end.
    DWORD type = 0;
    std::string bytes;
    ASSERT_EQ(ERROR_SUCCESS, Query(key, "ChildDone", type, bytes));
    EXPECT_EQ(std::string("writer\0", 7), bytes);
    int parentValues = 0, childValues = 0;
    for (const std::string &name : ValueNames(key)) {
        parentValues += name.rfind("Parent", 0) == 0;
        childValues += name.rfind("Child", 0) == 0 && name != "ChildDone";
    }
    EXPECT_EQ(ProcessWrites, parentValues);
    EXPECT_EQ(ProcessWrites, childValues);
}

}  // namespace
