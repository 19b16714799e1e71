// Reads the entries of the daily event-log files ("%02d%03d.log") in a directory, so tests
// can check which codes and messages a component logged.
#pragma once

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

struct LoggedEntry {
    int Code = 0;
    std::string Message;
};

// Every entry line ("HH:MM:SS:mmm  CODE  message") of every .log file in the directory, in
// file-name order; header lines are skipped. Line ends (CR LF) are removed.
inline std::vector<LoggedEntry> ReadLogEntries(const std::string &directory) {
    std::vector<LoggedEntry> entries;
    std::vector<std::filesystem::path> files;
    std::error_code error;
    for (const auto &item : std::filesystem::directory_iterator(directory, error))
        if (item.path().extension() == ".log")
            files.push_back(item.path());
    std::sort(files.begin(), files.end());
    for (const auto &file : files) {
        std::ifstream in(file, std::ios::binary);
        std::string line;
        while (std::getline(in, line)) {
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            // Time stamp: 12 characters with colons at 2, 5 and 8, then two blanks.
            if (line.size() < 20 || line[2] != ':' || line[5] != ':' || line[8] != ':' ||
                line.compare(12, 2, "  ") != 0)
                continue;
            const size_t codeEnd = line.find("  ", 14);
            if (codeEnd == std::string::npos)
                continue;
            LoggedEntry entry;
            try {
                entry.Code = std::stoi(line.substr(14, codeEnd - 14));
            } catch (...) {
                continue;
            }
            entry.Message = line.substr(codeEnd + 2);
            entries.push_back(entry);
        }
    }
    return entries;
}

// The messages logged with one code.
inline std::vector<std::string> LoggedMessages(const std::string &directory, int code) {
    std::vector<std::string> messages;
    for (const auto &entry : ReadLogEntries(directory))
        if (entry.Code == code)
            messages.push_back(entry.Message);
    return messages;
}
