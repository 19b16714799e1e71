// Conformance of the registry: Win32 behaviour of keys and values, and threads working on the
// same key.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "RegistryTestSupport.h"
#include "common/TestRoot.h"
#include "platform/win32.h"

using namespace registrytest;

namespace {

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
    // Each value's bytes are followed by a byte that is no NUL: Windows counts a string's
    // terminator that the size left out when it follows the data.
    for (const Case &c : cases) {
        const std::string guarded = c.bytes + 'X';
        ASSERT_EQ(ERROR_SUCCESS,
                  RegSetValueExA(key, c.name, 0, c.type, reinterpret_cast<const BYTE *>(guarded.data()),
                                 static_cast<DWORD>(c.bytes.size())))
            << c.name;
    }

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
    // HKEY_CURRENT_USER is not redirected to the test's key on Windows: the key goes again.
    EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyA(HKEY_CURRENT_USER, TestKey));
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

}  // namespace
