// What the compression tests share: an engine without an acquisition thread, the event-log
// lines they read back, and the hour change the runs start at.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "acquisition/DataAcquisition.h"
#include "common/ZipTestFiles.h"

namespace compressiontest {

using namespace ziptest;

class IdleEngine : public DataAcquisition {
public:
    explicit IdleEngine(EventLog &log) : DataAcquisition(log) {}
    void Acquire() override {}
};

inline std::string ReadLogs(const std::string &folder) {
    std::string all;
    if (!std::filesystem::exists(folder))
        return all;
    for (auto &entry : std::filesystem::directory_iterator(folder))
        if (entry.path().extension() == ".log")
            all += ReadBytes(entry.path().string());
    return all;
}

// The lines of the log that carry a code and contain a text.
inline std::vector<std::string> LogLines(const std::string &logs, const std::string &code) {
    std::vector<std::string> lines;
    size_t at = 0;
    while (at < logs.size()) {
        size_t end = logs.find('\n', at);
        if (end == std::string::npos)
            end = logs.size();
        std::string line = logs.substr(at, end - at);
        if (line.find(code) != std::string::npos)
            lines.push_back(line);
        at = end + 1;
    }
    return lines;
}

// 8 December 2026; the hour change was seen at 15:00:12 UTC.
inline SYSTEMTIME HourChange() {
    SYSTEMTIME t = {};
    t.wYear = 2026;
    t.wMonth = 12;
    t.wDay = 8;
    t.wDayOfWeek = 2;
    t.wHour = 15;
    t.wMinute = 0;
    t.wSecond = 12;
    return t;
}

}  // namespace compressiontest
