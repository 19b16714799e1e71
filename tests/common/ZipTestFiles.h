// Helpers for the zip tests on both platforms: files with chosen contents and modification
// times under a test root, and archives of chosen items written byte by byte (stored, with
// their CRC-32), so that a test can hand the library names no add would make. Checks with the
// system's own zip tools and child processes are in ZipTools.h (Linux).
#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#ifdef _WIN32
#include "platform/win32.h"
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace ziptest {

constexpr uint64_t UnixEpochAsFileTime = 116444736000000000ull;

inline void WriteBytes(const std::string &path, const std::string &bytes) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

inline std::string ReadBytes(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

inline bool Exists(const std::string &path) {
#ifdef _WIN32
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
#else
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
#endif
}

// Sets a file's modification time to a FILETIME value (100 ns units since 1601, UTC).
inline bool SetModified(const std::string &path, uint64_t fileTime) {
#ifdef _WIN32
    HANDLE file = CreateFileA(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    const FILETIME time = {static_cast<DWORD>(fileTime), static_cast<DWORD>(fileTime >> 32)};
    const bool set = SetFileTime(file, nullptr, &time, &time) != FALSE;
    CloseHandle(file);
    return set;
#else
    struct timespec times[2];
    const uint64_t sinceUnix = fileTime - UnixEpochAsFileTime;
    times[0].tv_sec = static_cast<time_t>(sinceUnix / 10000000ull);
    times[0].tv_nsec = static_cast<long>(sinceUnix % 10000000ull) * 100;
    times[1] = times[0];
    return utimensat(AT_FDCWD, path.c_str(), times, 0) == 0;
#endif
}

inline uint64_t Modified(const std::string &path) {
#ifdef _WIN32
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data))
        return 0;
    return (static_cast<uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) |
           data.ftLastWriteTime.dwLowDateTime;
#else
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
        return 0;
    return static_cast<uint64_t>(st.st_mtim.tv_sec) * 10000000ull + st.st_mtim.tv_nsec / 100 +
           UnixEpochAsFileTime;
#endif
}

// A FILETIME value for a UTC calendar time.
inline uint64_t FileTimeOf(int year, int month, int day, int hour, int minute, int second) {
    struct tm t = {};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
#ifdef _WIN32
    return static_cast<uint64_t>(_mkgmtime(&t)) * 10000000ull + UnixEpochAsFileTime;
#else
    return static_cast<uint64_t>(timegm(&t)) * 10000000ull + UnixEpochAsFileTime;
#endif
}

// CRC-32 as ZIP stores it, bit by bit (independent of the code under test).
inline uint32_t ZipCrc32(const std::string &bytes) {
    uint32_t crc = 0xFFFFFFFFu;
    for (unsigned char c : bytes) {
        crc ^= c;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

// Writes an archive of the given items (name, contents), each stored as it is, with a DOS
// time of 1 January 2026, 12:00. Any name goes: "../x", "/tmp/x", "a\\b", names of any length.
inline bool BuildArchive(const std::string &path,
                         const std::vector<std::pair<std::string, std::string>> &items) {
    auto le = [](std::string *out, uint64_t value, int bytes) {
        for (int i = 0; i < bytes; ++i)
            out->push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
    };
    const uint16_t dosTime = 12 << 11, dosDate = ((2026 - 1980) << 9) | (1 << 5) | 1;
    std::string data, central;
    for (const auto &item : items) {
        const uint32_t crc = ZipCrc32(item.second);
        const uint64_t offset = data.size();
        le(&data, 0x04034b50, 4);
        le(&data, 10, 2);  // version needed
        le(&data, 0, 2);   // flags
        le(&data, 0, 2);   // stored
        le(&data, dosTime, 2);
        le(&data, dosDate, 2);
        le(&data, crc, 4);
        le(&data, item.second.size(), 4);
        le(&data, item.second.size(), 4);
        le(&data, item.first.size(), 2);
        le(&data, 0, 2);
        data += item.first + item.second;
        le(&central, 0x02014b50, 4);
        le(&central, 20, 2);  // made by
        le(&central, 10, 2);
        le(&central, 0, 2);
        le(&central, 0, 2);
        le(&central, dosTime, 2);
        le(&central, dosDate, 2);
        le(&central, crc, 4);
        le(&central, item.second.size(), 4);
        le(&central, item.second.size(), 4);
        le(&central, item.first.size(), 2);
        le(&central, 0, 2);  // extra
        le(&central, 0, 2);  // comment
        le(&central, 0, 2);  // disk
        le(&central, 0, 2);  // internal attributes
        le(&central, 0, 4);  // external attributes
        le(&central, offset, 4);
        central += item.first;
    }
    std::string end;
    le(&end, 0x06054b50, 4);
    le(&end, 0, 4);
    le(&end, items.size(), 2);
    le(&end, items.size(), 2);
    le(&end, central.size(), 4);
    le(&end, data.size(), 4);
    le(&end, 0, 2);
    WriteBytes(path, data + central + end);
    return ReadBytes(path).size() == data.size() + central.size() + end.size();
}

}  // namespace ziptest
