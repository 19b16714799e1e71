// Conformance of the registry: Win32 behaviour of keys and values, and several processes and
// threads working on the same key.
#include <gtest/gtest.h>
#include <spawn.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "common/TestRoot.h"
#include "platform/win32.h"

extern char **environ;

namespace {

const char *const TestKey = "SOFTWARE\\Kestrune Tests\\Registry";

// A key handle that closes itself.
class Key {
public:
    Key() = default;
    ~Key() {
        if (h)
            RegCloseKey(h);
    }
    Key(const Key &) = delete;
    Key &operator=(const Key &) = delete;
    HKEY *operator&() { return &h; }
    operator HKEY() const { return h; }
    HKEY h = nullptr;
};

LONG Create(HKEY root, const char *path, HKEY *out, DWORD *disposition = nullptr,
            REGSAM sam = KEY_ALL_ACCESS) {
    char noClass[1] = "";
    return RegCreateKeyExA(root, path, 0, noClass, REG_OPTION_NON_VOLATILE, sam, nullptr, out, disposition);
}

LONG SetBytes(HKEY key, const char *name, DWORD type, const std::string &bytes) {
    return RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE *>(bytes.data()),
                          static_cast<DWORD>(bytes.size()));
}

LONG SetDword(HKEY key, const char *name, DWORD value) {
    return RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE *>(&value), sizeof value);
}

// Reads a value completely: its type and bytes.
LONG Query(HKEY key, const char *name, DWORD &type, std::string &bytes) {
    DWORD size = 0;
    LONG rc = RegQueryValueExA(key, name, nullptr, &type, nullptr, &size);
    if (rc != ERROR_SUCCESS)
        return rc;
    bytes.assign(size + 1, '\0');
    rc = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE *>(&bytes[0]), &size);
    bytes.resize(size);
    return rc;
}

// The names of a key's values, in enumeration order.
std::vector<std::string> ValueNames(HKEY key) {
    std::vector<std::string> names;
    for (DWORD i = 0;; ++i) {
        char name[256];
        DWORD length = sizeof name;
        LONG rc = RegEnumValueA(key, i, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (rc != ERROR_SUCCESS) {
            EXPECT_EQ(ERROR_NO_MORE_ITEMS, rc);
            break;
        }
        names.emplace_back(name, length);
    }
    return names;
}

class Registry : public ::testing::Test {
protected:
    TestRoot root;
};

TEST_F(Registry, CreateKeyMakesIntermediateKeysAndReportsDisposition) {
    Key key;
    DWORD disposition = 0;
    ASSERT_EQ(ERROR_SUCCESS, Create(HKEY_LOCAL_MACHINE, "SOFTWARE\\A\\B\\C", &key, &disposition));
    EXPECT_EQ(REG_CREATED_NEW_KEY, disposition);

    Key again;
    ASSERT_EQ(ERROR_SUCCESS, Create(HKEY_LOCAL_MACHINE, "software\\a\\b\\c", &again, &disposition));
    EXPECT_EQ(REG_OPENED_EXISTING_KEY, disposition);

    Key middle;
    EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\A\\B", 0, KEY_READ, &middle));

    // Keys keep the case they were created with.
    char name[64];
    DWORD length = sizeof name;
    ASSERT_EQ(ERROR_SUCCESS, RegEnumKeyExA(middle, 0, name, &length, nullptr, nullptr, nullptr, nullptr));
    EXPECT_STREQ("C", name);
    EXPECT_EQ(1u, length);
    length = sizeof name;
    EXPECT_EQ(ERROR_NO_MORE_ITEMS,
              RegEnumKeyExA(middle, 1, name, &length, nullptr, nullptr, nullptr, nullptr));
}

TEST_F(Registry, OpeningMissingKeysAndValuesFails) {
    Key key;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND,
              RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Missing", 0, KEY_READ, &key));
    EXPECT_EQ(nullptr, key.h);

    ASSERT_EQ(ERROR_SUCCESS, Create(HKEY_LOCAL_MACHINE, TestKey, &key));
    DWORD type = 0, size = 0;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegQueryValueExA(key, "Missing", nullptr, &type, nullptr, &size));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegDeleteValueA(key, "Missing"));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegDeleteKeyA(key, "Missing"));
}

TEST_F(Registry, TypesAndBytesAreKeptExactly) {
    Key key;
    ASSERT_EQ(ERROR_SUCCESS, Create(HKEY_LOCAL_MACHINE, TestKey, &key));
    struct Case {
        const char *name;
        DWORD type;
        std::string bytes;
    } cases[] = {
        {"Text", REG_SZ, std::string("12/08/2026 14:30:05 UTC\0", 24)},
        {"Unterminated", REG_SZ, "no terminator"},
        {"Expand", REG_EXPAND_SZ, std::string("%TEMP%\\x\0", 9)},
        {"Binary", REG_BINARY, std::string("\x00\xff\x10\x00\x80", 5)},
        {"Count", REG_DWORD, std::string("\x5a\x00\x00\x00", 4)},
        {"Multi", REG_MULTI_SZ, std::string("a\0\0b\0\0", 6)},
        {"None", REG_NONE, std::string("\x01", 1)},
        {"BigEndian", REG_DWORD_BIG_ENDIAN, std::string("\x00\x00\x00\x5a", 4)},
        {"Link", REG_LINK, std::string("L\0i\0", 4)},
        {"Quad", REG_QWORD, std::string("\x01\x02\x03\x04\x05\x06\x07\x08", 8)},
        {"Private", 0x12345u, "opaque"},
        {"Empty", REG_SZ, ""},
    };
    for (const Case &c : cases)
        ASSERT_EQ(ERROR_SUCCESS, SetBytes(key, c.name, c.type, c.bytes)) << c.name;

    // Read back through a second handle, so nothing can come from the first one's state.
    Key reader;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, TestKey, 0, KEY_READ, &reader));
    for (const Case &c : cases) {
        DWORD type = 0;
        std::string bytes;
        ASSERT_EQ(ERROR_SUCCESS, Query(reader, c.name, type, bytes)) << c.name;
        EXPECT_EQ(c.type, type) << c.name;
        EXPECT_EQ(c.bytes, bytes) << c.name;
    }
}

TEST_F(Registry, ValueNamesAreCaseInsensitiveAndKeepTheirCase) {
    Key key;
    ASSERT_EQ(ERROR_SUCCESS, Create(HKEY_LOCAL_MACHINE, TestKey, &key));
    ASSERT_EQ(ERROR_SUCCESS, SetDword(key, "ArchiveSamples", 1));
    ASSERT_EQ(ERROR_SUCCESS, SetDword(key, "ARCHIVESAMPLES", 90));

    EXPECT_EQ(std::vector<std::string>{"ArchiveSamples"}, ValueNames(key));
    DWORD type = 0;
    std::string bytes;
    ASSERT_EQ(ERROR_SUCCESS, Query(key, "archivesamples", type, bytes));
    EXPECT_EQ(std::string("\x5a\0\0\0", 4), bytes);

    // Only ASCII letters fold: Latin-1 capital and small A-umlaut stay distinct names.
    ASSERT_EQ(ERROR_SUCCESS, SetDword(key, "\xc4x", 1));
    ASSERT_EQ(ERROR_SUCCESS, SetDword(key, "\xe4x", 2));
    EXPECT_EQ(3u, ValueNames(key).size());
}

TEST_F(Registry, EnumerationFollowsCreationOrder) {
    Key key;
    ASSERT_EQ(ERROR_SUCCESS, Create(HKEY_LOCAL_MACHINE, TestKey, &key));
    for (const char *name : {"Zeta", "alpha", "Mid", "Beta"})
        ASSERT_EQ(ERROR_SUCCESS, SetDword(key, name, 0));
    ASSERT_EQ(ERROR_SUCCESS, SetBytes(key, "ALPHA", REG_SZ, std::string("rewritten\0", 10)));
    ASSERT_EQ(ERROR_SUCCESS, RegDeleteValueA(key, "mid"));
    ASSERT_EQ(ERROR_SUCCESS, SetDword(key, "Mid", 0));

    std::vector<std::string> expected{"Zeta", "alpha", "Beta", "Mid"};
    EXPECT_EQ(expected, ValueNames(key));
}

TEST_F(Registry, EnumValueBufferRules) {
    Key key;
    ASSERT_EQ(ERROR_SUCCESS, Create(HKEY_LOCAL_MACHINE, TestKey, &key));
    const std::string text("12/08/2026 14:30:05 UTC\0", 24);
    ASSERT_EQ(ERROR_SUCCESS, SetBytes(key, "ArchiveDate", REG_SZ, text));

    char name[32];
    DWORD type = 0;
    BYTE data[64];

    // The name buffer counts the NUL: 11 characters need 12.
    DWORD length = 11;
    DWORD size = sizeof data;
    EXPECT_EQ(ERROR_MORE_DATA, RegEnumValueA(key, 0, name, &length, nullptr, &type, data, &size));
    length = 12;
    size = sizeof data;
    ASSERT_EQ(ERROR_SUCCESS, RegEnumValueA(key, 0, name, &length, nullptr, &type, data, &size));
    EXPECT_STREQ("ArchiveDate", name);
    EXPECT_EQ(11u, length);
    EXPECT_EQ(REG_SZ, type);
    EXPECT_EQ(text.size(), size);
    EXPECT_EQ(0, memcmp(data, text.data(), size));

    // No data buffer: the size only.
    length = sizeof name;
    size = 0;
    ASSERT_EQ(ERROR_SUCCESS, RegEnumValueA(key, 0, name, &length, nullptr, &type, nullptr, &size));
    EXPECT_EQ(text.size(), size);

    // A data buffer that is too small: ERROR_MORE_DATA and the size needed.
    length = sizeof name;
    size = 4;
    EXPECT_EQ(ERROR_MORE_DATA, RegEnumValueA(key, 0, name, &length, nullptr, &type, data, &size));
    EXPECT_EQ(text.size(), size);

    length = sizeof name;
    EXPECT_EQ(ERROR_NO_MORE_ITEMS, RegEnumValueA(key, 1, name, &length, nullptr, &type, nullptr, nullptr));
    length = sizeof name;
    EXPECT_EQ(ERROR_INVALID_PARAMETER, RegEnumValueA(key, 0, name, &length, nullptr, &type, data, nullptr));
}

TEST_F(Registry, QueryValueBufferRules) {
    Key key;
    ASSERT_EQ(ERROR_SUCCESS, Create(HKEY_LOCAL_MACHINE, TestKey, &key));
    ASSERT_EQ(ERROR_SUCCESS, SetDword(key, "ArchiveSamples", 90));

    DWORD type = 0, size = 0;
    ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExA(key, "ArchiveSamples", nullptr, &type, nullptr, &size));
    EXPECT_EQ(4u, size);
    EXPECT_EQ(REG_DWORD, type);

    WORD tooSmall = 0;
    size = sizeof tooSmall;
    EXPECT_EQ(ERROR_MORE_DATA, RegQueryValueExA(key, "ArchiveSamples", nullptr, &type,
                                                reinterpret_cast<BYTE *>(&tooSmall), &size));
    EXPECT_EQ(4u, size);

    DWORD value = 0;
    EXPECT_EQ(ERROR_INVALID_PARAMETER, RegQueryValueExA(key, "ArchiveSamples", nullptr, &type,
                                                        reinterpret_cast<BYTE *>(&value), nullptr));
    size = sizeof value;
    ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExA(key, "ArchiveSamples", nullptr, &type,
                                              reinterpret_cast<BYTE *>(&value), &size));
    EXPECT_EQ(90u, value);
}

TEST_F(Registry, HandlesAreCheckedAndAccessRightsEnforced) {
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, Create(HKEY_LOCAL_MACHINE, TestKey, &key));
    ASSERT_EQ(ERROR_SUCCESS, RegCloseKey(key));
    EXPECT_EQ(ERROR_INVALID_HANDLE, RegCloseKey(key));
    EXPECT_EQ(ERROR_INVALID_HANDLE, SetDword(key, "Stale", 1));

    Key reader;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, TestKey, 0, KEY_READ, &reader));
    EXPECT_EQ(ERROR_ACCESS_DENIED, SetDword(reader, "Denied", 1));
    DWORD type = 0, size = 0;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegQueryValueExA(reader, "Denied", nullptr, &type, nullptr, &size));

    Key writer;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, TestKey, 0, KEY_SET_VALUE, &writer));
    EXPECT_EQ(ERROR_SUCCESS, SetDword(writer, "Allowed", 1));
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegQueryValueExA(writer, "Allowed", nullptr, &type, nullptr, &size));
}

TEST_F(Registry, DeletingKeys) {
    Key child;
    ASSERT_EQ(ERROR_SUCCESS, Create(HKEY_LOCAL_MACHINE, "SOFTWARE\\Parent\\Child", &child));
    ASSERT_EQ(ERROR_SUCCESS, SetDword(child, "Value", 1));

    // A key with subkeys stays.
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Parent"));
    ASSERT_EQ(ERROR_SUCCESS, RegDeleteKeyA(HKEY_LOCAL_MACHINE, "software\\parent\\CHILD"));

    // A handle on a deleted key fails; recreating the key does not revive the old handle.
    EXPECT_EQ(ERROR_KEY_DELETED, SetDword(child, "Value", 2));
    Key recreated;
    DWORD disposition = 0;
    ASSERT_EQ(ERROR_SUCCESS, Create(HKEY_LOCAL_MACHINE, "SOFTWARE\\Parent\\Child", &recreated, &disposition));
    EXPECT_EQ(REG_CREATED_NEW_KEY, disposition);
    EXPECT_TRUE(ValueNames(recreated).empty());
    EXPECT_EQ(ERROR_KEY_DELETED, SetDword(child, "Value", 2));
}

TEST_F(Registry, TheRootsAreSeparateStores) {
    Key machine, user;
    ASSERT_EQ(ERROR_SUCCESS, Create(HKEY_LOCAL_MACHINE, TestKey, &machine));
    ASSERT_EQ(ERROR_SUCCESS, Create(HKEY_CURRENT_USER, TestKey, &user));
    ASSERT_EQ(ERROR_SUCCESS, SetDword(machine, "Where", 1));
    DWORD type = 0, size = 0;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegQueryValueExA(user, "Where", nullptr, &type, nullptr, &size));
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

// Several threads, each with its own handle and sharing one, write the same key.
TEST_F(Registry, ThreadsWriteTheSameKey) {
    Key shared;
    ASSERT_EQ(ERROR_SUCCESS, Create(HKEY_LOCAL_MACHINE, TestKey, &shared));
    const int threads = 4, perThread = 20;
    std::vector<std::thread> workers;
    std::vector<int> failures(threads, 0);
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            Key own;
            if (Create(HKEY_LOCAL_MACHINE, TestKey, &own) != ERROR_SUCCESS) {
                ++failures[t];
                return;
            }
            for (int i = 0; i < perThread; ++i) {
                char name[32];
                snprintf(name, sizeof name, "T%d_%d", t, i);
                HKEY target = i % 2 ? own.h : shared.h;
                if (SetDword(target, name, static_cast<DWORD>(t * 1000 + i)) != ERROR_SUCCESS)
                    ++failures[t];
            }
        });
    }
    for (std::thread &w : workers)
        w.join();
    for (int t = 0; t < threads; ++t)
        EXPECT_EQ(0, failures[t]) << "thread " << t;
    EXPECT_EQ(static_cast<size_t>(threads * perThread), ValueNames(shared).size());
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

    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    ASSERT_GT(n, 0);
    self[n] = '\0';
    char filter[] = "--gtest_filter=RegistryChild.WritesAndReadsTheParentsKey";
    char *argv[] = {self, filter, nullptr};
    setenv(ChildRoleVariable, "writer", 1);
    pid_t child = 0;
    int spawned = posix_spawn(&child, self, nullptr, nullptr, argv, environ);
    unsetenv(ChildRoleVariable);
    ASSERT_EQ(0, spawned);

    int torn = 0, failed = 0;
    WriteAndRead(key, "Parent", 'p', torn, failed);

    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(0, WEXITSTATUS(status));
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
