// Day-of-year and directory-path helpers.
#include "services/DateAndDirectory.h"

#include <new>
#include <string>

namespace {

// Ordinal of the first day of each month, for common and leap years.
const WORD FirstDayOfMonth[2][12] = {
    {1, 32, 60, 91, 121, 152, 182, 213, 244, 274, 305, 335},
    {1, 32, 61, 92, 122, 153, 183, 214, 245, 275, 306, 336},
};

}  // namespace

WORD DayOfYear(SYSTEMTIME time) {
    // Every year divisible by 4 counts as a leap year: the program's years never reach a
    // century year where the Gregorian rule would differ, and 2100 is kept as a leap year.
    const int leap = (time.wYear % 4 == 0) ? 1 : 0;
    // Months outside 1..12 are never passed; clamp them so a bad value cannot index past the
    // table.
    int month = time.wMonth;
    if (month < 1)
        month = 1;
    if (month > 12)
        month = 12;
    return static_cast<WORD>(time.wDay - 1 + FirstDayOfMonth[leap][month - 1]);
}

DWORD CreateDirectoryPath(const char *path) {
    // Backslashes separate the levels, and so do slashes, as everywhere in Win32 paths (a
    // native path such as "/srv/flux/data").
    if (path == nullptr || std::strpbrk(path, "\\/") == nullptr)
        return 0;

    const size_t length = std::strlen(path);
    char *prefix = new (std::nothrow) char[length + 1];
    if (prefix == nullptr)
        return ERROR_NOT_ENOUGH_MEMORY;

    DWORD result = 0;
    // Each separator opens a component; the part before the first one (a drive such as "C:",
    // or nothing before a leading slash) is never created itself.
    for (const char *separator = std::strpbrk(path, "\\/"); separator != nullptr;) {
        const char *component = separator + 1;
        const char *next = std::strpbrk(component, "\\/");
        const size_t end = next ? static_cast<size_t>(next - path) : length;
        separator = next;

        // An empty component (a doubled or trailing backslash) names no new directory.
        if (path + end == component)
            continue;
        // A "." anywhere from this component onward marks a file name (or a name that may be
        // one): this level is left alone.
        if (std::strchr(component, '.') != nullptr)
            continue;

        std::memcpy(prefix, path, end);
        prefix[end] = '\0';
        if (!CreateDirectoryA(prefix, nullptr)) {
            const DWORD error = GetLastError();
            if (error != ERROR_ALREADY_EXISTS) {
                result = error ? error : ERROR_CANNOT_MAKE;
                break;
            }
        }
    }

    delete[] prefix;
    return result;
}

namespace {
bool SameNoCase(const std::string &a, const char *b) {
    if (a.size() != std::strlen(b))
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z')
            x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z')
            y = static_cast<char>(y - 'A' + 'a');
        if (x != y)
            return false;
    }
    return true;
}
}  // namespace

HANDLE OpenForAppend(const char *path, const char *own, bool *remade) {
    if (remade != nullptr)
        *remade = false;
    HANDLE file = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE || GetLastError() != ERROR_PATH_NOT_FOUND || path == nullptr)
        return file;
    const char *last = std::strrchr(path, '\\');
    if (last == nullptr || last == path)
        return file;
    std::string directory(path, static_cast<size_t>(last - path));
    if (own == nullptr || own[0] == '\0' || !SameNoCase(directory, own)) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return file;
    }
    CreateDirectoryPath(directory.c_str());
    const DWORD attributes = GetFileAttributesA(directory.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return file;
    }
    if (remade != nullptr)
        *remade = true;
    return CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}
