// Helpers of the event-log tests: entries of given times, the day files read back, and a
// fixture whose test root has its C: drive made.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "common/TestRoot.h"
#include "platform/win32.h"
#include "services/EventLog.h"
#include "services/StationFormats.h"

namespace eventlogtest {

inline const char *const ServiceLogName = "QORL Data Acquisition Service EventLog";

inline FILETIME At(int year, int month, int day, int hour, int minute, int second, int millisecond) {
    const SYSTEMTIME time = Moment(year, month, day, hour, minute, second, millisecond);
    FILETIME fileTime = {};
    EXPECT_TRUE(SystemTimeToFileTime(&time, &fileTime));
    return fileTime;
}

inline EventLog::Entry MakeEntry(FILETIME time, LONG code, const char *message) {
    EventLog::Entry entry;
    entry.Time = time;
    entry.Code = code;
    entry.Message = message;
    return entry;
}

inline std::string ReadFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
}

inline std::string Header(const char *date, const char *name) {
    return std::string(date) + " " + name + "\r\n\r\nHH:MM:SS:MMM  Code  Message\r\n";
}

// All day files of a directory, oldest first, joined.
inline std::string ReadAllLogs(const std::string &directory) {
    std::vector<std::string> files;
    for (const auto &entry : std::filesystem::directory_iterator(directory))
        if (entry.path().extension() == ".log")
            files.push_back(entry.path().string());
    std::sort(files.begin(), files.end());
    std::string all;
    for (const auto &file : files)
        all += ReadFile(file);
    return all;
}

// The lines of a text that ends every line with CR LF (checked).
inline std::vector<std::string> CrLfLines(const std::string &text) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2)
        lines.push_back(text.substr(start, end - start));
    EXPECT_EQ(start, text.size()) << "text after the last CR LF";
    return lines;
}

// A log name no other test process uses, so named mutexes do not meet across tests.
inline std::string UniqueName(const char *what) {
    return std::string("Kestrune test ") + what + " " + std::to_string(GetCurrentProcessId());
}

// Removes the day files, so entries of explicit dates start files of their own even when one
// of those dates is today and the constructor's entry went there.
inline void RemoveLogs(const std::string &directory) {
    for (const auto &entry : std::filesystem::directory_iterator(directory))
        if (entry.path().extension() == ".log")
            std::filesystem::remove(entry.path());
}

// Each test has a root of its own with its C: drive made.
class EventLogFixture : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(std::filesystem::create_directory(root.Posix("c"))); }

    TestRoot root;
};

}  // namespace eventlogtest
