// Helpers of the registry tests: a key handle that closes itself, values written and read
// whole, and the fixture.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/TestRoot.h"
#include "platform/win32.h"

namespace registrytest {

inline const char *const TestKey = "SOFTWARE\\Kestrune Tests\\Registry";

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

inline LONG Create(HKEY root, const char *path, HKEY *out, DWORD *disposition = nullptr,
                   REGSAM sam = KEY_ALL_ACCESS) {
    char noClass[1] = "";
    return RegCreateKeyExA(root, path, 0, noClass, REG_OPTION_NON_VOLATILE, sam, nullptr, out, disposition);
}

inline LONG SetBytes(HKEY key, const char *name, DWORD type, const std::string &bytes) {
    return RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE *>(bytes.data()),
                          static_cast<DWORD>(bytes.size()));
}

inline LONG SetDword(HKEY key, const char *name, DWORD value) {
    return RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE *>(&value), sizeof value);
}

// Reads a value completely: its type and bytes.
inline LONG Query(HKEY key, const char *name, DWORD &type, std::string &bytes) {
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
inline std::vector<std::string> ValueNames(HKEY key) {
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

// Each test has a root of its own: on Windows, HKEY_LOCAL_MACHINE is the test's key.
class Registry : public ::testing::Test {
protected:
    TestRoot root;
};

}  // namespace registrytest
