// Helpers for the archive and screening tests: hand-built sample buffers, UTC times, and
// reading back the raw files and the event log under the test's KESTRUNE_ROOT.
#pragma once

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "acquisition/DataAcquisition.h"
#include "services/StationFormats.h"

namespace archivetest {

// The data directory every test engine writes to, and where it lands under the root.
inline const char DataDirectory[] = "C:\\Data\\Archive";
inline std::string DataPath(const std::string &root) {
    return root + "/c/Data/Archive";
}

inline SYSTEMTIME Utc(int year, int month, int day, int hour, int minute, int second, int millisecond) {
    return Moment(year, month, day, hour, minute, second, millisecond);
}

inline FILETIME Stamp(int year, int month, int day, int hour, int minute, int second, int millisecond) {
    SYSTEMTIME time = Utc(year, month, day, hour, minute, second, millisecond);
    FILETIME stamp = {};
    SystemTimeToFileTime(&time, &stamp);
    return stamp;
}

// Puts one record into a buffer of the engine; the text is allocated as the reading loop does.
inline void SetRecord(DataAcquisition &engine, int buffer, DWORD index, const std::string &text,
                      FILETIME stamp, SHORT status = SampleGood) {
    SampleRecord &record = engine.Buffers[buffer].Records[index];
    delete[] record.Text;
    record.Text = new char[text.size() + 1];
    memcpy(record.Text, text.c_str(), text.size() + 1);
    record.Length = static_cast<LONG>(text.size());
    record.TimeStamp = stamp;
    record.Status = status;
}

inline std::string FileText(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// All event-log files of the directory, oldest day first, as one text.
inline std::string LogText(const std::string &directory) {
    std::vector<std::string> logs;
    std::error_code error;
    for (const auto &entry : std::filesystem::directory_iterator(directory, error))
        if (entry.path().extension() == ".log")
            logs.push_back(entry.path().string());
    std::sort(logs.begin(), logs.end());
    std::string text;
    for (const auto &log : logs)
        text += FileText(log);
    return text;
}

// The messages logged with one code, in order.
inline std::vector<std::string> LogMessages(const std::string &directory, int code) {
    std::vector<std::string> messages;
    std::istringstream lines(LogText(directory));
    std::string line;
    char prefix[16];
    snprintf(prefix, sizeof prefix, "  %4d  ", code);
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        size_t at = line.find(prefix);
        if (at == 12)  // after "HH:MM:SS:MMM"
            messages.push_back(line.substr(at + strlen(prefix)));
    }
    return messages;
}

inline std::vector<std::string> DataFiles(const std::string &directory, const std::string &suffix) {
    std::vector<std::string> names;
    std::error_code error;
    for (const auto &entry : std::filesystem::directory_iterator(directory, error)) {
        std::string name = entry.path().filename().string();
        if (name.size() >= suffix.size() &&
            name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
            names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace archivetest
