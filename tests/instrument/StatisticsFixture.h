// A uSonic-3 engine in a temporary root, with helpers that feed it instrument lines one
// record at a time and read back the statistics file it writes.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "common/LogEntries.h"
#include "common/TestRoot.h"
#include "instrument/SonicMetek3ClassAMPSerial.h"
#include "services/EventLog.h"

inline SYSTEMTIME CalendarTime(WORD year, WORD month, WORD day, WORD hour, WORD minute, WORD second,
                               WORD millisecond = 0) {
    SYSTEMTIME time = {};
    time.wYear = year;
    time.wMonth = month;
    time.wDay = day;
    time.wHour = hour;
    time.wMinute = minute;
    time.wSecond = second;
    time.wMilliseconds = millisecond;
    FILETIME file;
    // Round trip, so the day of the week is filled in as the engine's copies would be.
    SystemTimeToFileTime(&time, &file);
    FileTimeToSystemTime(&file, &time);
    return time;
}

class StatisticsFixture : public ::testing::Test {
protected:
    StatisticsFixture()
        : log_("Statistics test log", root_.Drive("C:\\Data").c_str()), engine_("Metek", "666", log_) {
        std::filesystem::create_directories(root_.Posix("c/Stats"));
    }

    // Accumulates one record with this text and status, as the archive thread would.
    void Accumulate(const std::string &text, SHORT status = SampleGood) {
        SampleRecord &record = engine_.Buffers[2].Records[7];
        char *const ownText = record.Text;
        const LONG ownLength = record.Length;
        std::vector<char> storage(text.begin(), text.end());
        storage.push_back('\0');
        record.Text = storage.data();
        record.Length = static_cast<LONG>(text.size());
        record.Status = status;
        engine_.CurrentBuffer = 2;
        engine_.CurrentSample = 7;
        engine_.AccumulateStatistics();
        record.Text = ownText;
        record.Length = ownLength;
        record.Status = SampleGood;
    }

    // Closes a period into the file at this Windows path (under the test's root).
    void WritePeriod(const SYSTEMTIME &start, const SYSTEMTIME &end,
                     const char *path = "C:\\Stats\\stats.txt") {
        engine_.PeriodStartTime = start;
        engine_.PeriodEndTime = end;
        snprintf(engine_.StatsFilePath, sizeof engine_.StatsFilePath, "%s", root_.Drive(path).c_str());
        engine_.WriteStatistics();
    }

    std::string FileBytes(const std::string &relative = "c/Stats/stats.txt") const {
        std::ifstream in(root_.Posix(relative), std::ios::binary);
        std::ostringstream bytes;
        bytes << in.rdbuf();
        return bytes.str();
    }

    // The lines of the file, each without its CR LF.
    std::vector<std::string> FileLines(const std::string &relative = "c/Stats/stats.txt") const {
        std::vector<std::string> lines;
        const std::string bytes = FileBytes(relative);
        size_t begin = 0;
        while (begin < bytes.size()) {
            size_t end = bytes.find("\r\n", begin);
            if (end == std::string::npos)
                end = bytes.size();
            lines.push_back(bytes.substr(begin, end - begin));
            begin = end + 2;
        }
        return lines;
    }

    // The blank-separated fields of the last period line: [0] the times, [1]..[40] the values.
    std::vector<std::string> LastLineFields() const {
        std::vector<std::string> fields;
        const std::vector<std::string> lines = FileLines();
        if (lines.empty())
            return fields;
        std::istringstream in(lines.back());
        std::string field;
        while (in >> field)
            fields.push_back(field);
        return fields;
    }

    // Field numbers of the period line (1-based as in the file's value order).
    static constexpr int NumSampField = 1, OffSampField = 2, OnGoodSampField = 3, OnBadSampField = 4,
                         BlockSampField = 5, BlockAvgField = 6, BlockPctAvgField = 7;
    static constexpr int UField = 8, VField = 14, WField = 20,
                         TField = 26;                               // GoodSamp, BadSamp, four results
    static constexpr int UWField = 32, VWField = 35, WTField = 38;  // GoodSamp, BadSamp, covariance

    TestRoot root_;
    EventLog log_;
    SonicMetek3ClassAMPSerial engine_;
};
