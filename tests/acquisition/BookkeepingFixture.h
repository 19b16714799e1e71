// The bookkeeping tests' engine and fixture: the engine's key, its values read and written
// directly, and the event log's text.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "acquisition/DataAcquisition.h"
#include "common/TestRoot.h"

namespace bookkeepingtest {

inline const char *const KeyPath =
    "SYSTEM\\CurrentControlSet\\Services\\QORL Data Acquisition\\Parameters\\Metek1";

class TestEngine : public DataAcquisition {
public:
    using DataAcquisition::DataAcquisition;
    void Acquire() override {}
};

// An engine whose bookkeeping goes to the key above, with its log below the test's root.
class BookkeepingFixture : public ::testing::Test {
protected:
    BookkeepingFixture() : log("Metek1", root.Drive("C:\\Kestrune Logs").c_str()), engine(log) {
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

}  // namespace bookkeepingtest
