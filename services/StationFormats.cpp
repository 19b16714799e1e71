// The station's outside names and formats (see the header).
#include "services/StationFormats.h"

#include <cstring>

#include "services/DateAndDirectory.h"

const char StatsGroupLine[] =
    "                    --Blackout--   ------ Heating Status ------   ----- Sensor Path Status ------"
    "   ---------- u-component velocity (m/s) -----------   ---------- v-component velocity (m/s) "
    "-----------   ----------- w-component velocity (m/s) ----------   ------------ virtual "
    "temperature (C) ------------   ------- uw (m^2/s^2) ------   ------- vw (m^2/s^2) ------   "
    "------- wt (m/s)(C) -------\r\n";
const char StatsColumnLine[] =
    "MM:SS:mmm MM:SS:mmm    NumSamp   | OffSamp OnGoodSamp OnBadSamp | BlockSamp BlockAvg  BlockPctAvg "
    "| GoodSamp BadSamp Average StdDev Skewness Kurtosis | GoodSamp BadSamp Average StdDev Skewness "
    "Kurtosis | GoodSamp BadSamp Average StdDev Skewness Kurtosis | GoodSamp BadSamp Average StdDev "
    "Skewness Kurtosis | GoodSamp BadSamp Covariance | GoodSamp BadSamp Covariance | GoodSamp BadSamp "
    "Covariance\r\n";

namespace {

// Appends one printf-formatted piece to text; false (text unchanged) when it cannot be
// formatted or stored.
template <typename... Args>
bool AppendFormatted(std::string &text, const char *format, Args... args) {
    const int length = std::snprintf(nullptr, 0, format, args...);
    if (length < 0)
        return false;
    const size_t start = text.size();
    try {
        text.resize(start + static_cast<size_t>(length) + 1);
    } catch (...) {
        return false;
    }
    std::snprintf(&text[start], static_cast<size_t>(length) + 1, format, args...);
    text.resize(start + static_cast<size_t>(length));
    return true;
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// A calendar date and time of day that exists (Gregorian leap years).
bool IsValidMoment(int year, int month, int day, int hour, int minute, int second, int millisecond) {
    static const int days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (year < 1601 || year > 30827 || month < 1 || month > 12 || day < 1)
        return false;
    const bool leap = year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
    if (day > days[month - 1] + (month == 2 && leap ? 1 : 0))
        return false;
    return hour >= 0 && hour <= 23 && minute >= 0 && minute <= 59 && second >= 0 && second <= 59 &&
           millisecond >= 0 && millisecond <= 999;
}

// "first second", cut to the field.
StampText Joined(StampText first, const char *second) {
    size_t at = strnlen(first.Text, sizeof first.Text - 1);
    if (at + 1 < sizeof first.Text)
        first.Text[at++] = ' ';
    for (const char *p = second; *p != '\0' && at + 1 < sizeof first.Text; ++p)
        first.Text[at++] = *p;
    first.Text[at] = '\0';
    return first;
}

}  // namespace

SYSTEMTIME Moment(int year, int month, int day, int hour, int minute, int second, int millisecond) {
    SYSTEMTIME time = {};
    time.wYear = static_cast<WORD>(year);
    time.wMonth = static_cast<WORD>(month);
    time.wDay = static_cast<WORD>(day);
    time.wHour = static_cast<WORD>(hour);
    time.wMinute = static_cast<WORD>(minute);
    time.wSecond = static_cast<WORD>(second);
    time.wMilliseconds = static_cast<WORD>(millisecond);
    return time;
}

// "MM/DD/YY" or, with the whole year, "MM/DD/YYYY": the one date form of the files.
static StampText SlashDate(const SYSTEMTIME &time, bool wholeYear) {
    StampText out;
    snprintf(out.Text, sizeof out.Text, "%02d/%02d/%02d", time.wMonth, time.wDay,
             wholeYear ? time.wYear : time.wYear % 100);
    return out;
}

StampText ShortDate(const SYSTEMTIME &time) {
    return SlashDate(time, false);
}

StampText LogClock(const SYSTEMTIME &time) {
    StampText out;
    snprintf(out.Text, sizeof out.Text, "%02d:%02d:%02d:%03d", time.wHour, time.wMinute, time.wSecond,
             time.wMilliseconds);
    return out;
}

StampText ShortDateClock(const SYSTEMTIME &time) {
    return Joined(ShortDate(time), LogClock(time).Text);
}

StampText ShortDateSecond(const SYSTEMTIME &time) {
    StampText clock;
    snprintf(clock.Text, sizeof clock.Text, "%02d:%02d:%02d", time.wHour, time.wMinute, time.wSecond);
    return Joined(ShortDate(time), clock.Text);
}

StampText IsoTime(const SYSTEMTIME &time, bool milliseconds) {
    StampText out;
    if (milliseconds)
        snprintf(out.Text, sizeof out.Text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", time.wYear, time.wMonth,
                 time.wDay, time.wHour, time.wMinute, time.wSecond, time.wMilliseconds);
    else
        snprintf(out.Text, sizeof out.Text, "%04d-%02d-%02dT%02d:%02d:%02dZ", time.wYear, time.wMonth,
                 time.wDay, time.wHour, time.wMinute, time.wSecond);
    return out;
}

bool ParseShortDateClock(const char *text, SYSTEMTIME *time, const char **end) {
    if (text == nullptr || time == nullptr || !IsDigit(text[0]))
        return false;
    int month, day, year, hour, minute, second, millisecond, consumed = 0;
    if (sscanf(text, "%2d/%2d/%2d %2d:%2d:%2d:%3d%n", &month, &day, &year, &hour, &minute, &second,
               &millisecond, &consumed) != 7 ||
        consumed == 0 || year < 0 ||
        !IsValidMoment(2000 + year, month, day, hour, minute, second, millisecond))
        return false;
    *time = Moment(2000 + year, month, day, hour, minute, second, millisecond);
    if (end != nullptr)
        *end = text + consumed;
    return true;
}

StampText ArchiveDateText(const SYSTEMTIME &time) {
    StampText clock;
    snprintf(clock.Text, sizeof clock.Text, "%02d:%02d:%02d UTC", time.wHour, time.wMinute, time.wSecond);
    return Joined(SlashDate(time, true), clock.Text);
}

bool ParseArchiveDate(const char *text, SYSTEMTIME *time) {
    if (text == nullptr || time == nullptr || !IsDigit(text[0]))
        return false;
    int month, day, year, hour, minute, second, consumed = 0;
    if (sscanf(text, "%2d/%2d/%4d %2d:%2d:%2d UTC%n", &month, &day, &year, &hour, &minute, &second,
               &consumed) != 6 ||
        consumed == 0 || text[consumed] != '\0' || !IsValidMoment(year, month, day, hour, minute, second, 0))
        return false;
    *time = Moment(year, month, day, hour, minute, second, 0);
    return true;
}

int FormatRawHeader(char *buffer, size_t size, int timeKeyFormat, const SYSTEMTIME &time,
                    const char *instrumentName, const char *serialNumber) {
    if (buffer == nullptr || size == 0)
        return 0;
    buffer[0] = '\0';
    int length = 0;
    if (timeKeyFormat == 1)
        length =
            snprintf(buffer, size, "%s %s (SN: %s)\r\n", ShortDate(time).Text, instrumentName, serialNumber);
    else if (timeKeyFormat == 2)
        length = snprintf(buffer, size, "%s %02d:00 %s (SN: %s)\r\n", SlashDate(time, true).Text, time.wHour,
                          instrumentName, serialNumber);
    if (length < 0)
        return 0;
    return static_cast<size_t>(length) >= size ? static_cast<int>(size - 1) : length;
}

std::string StatsFileHeader(const char *instrumentName, const char *serialNumber, const SYSTEMTIME &hour) {
    std::string text;
    AppendFormatted(text, "%s (SN: %s) Time (YYJJJHH): %02d%03d%02d UTC\r\n", instrumentName, serialNumber,
                    hour.wYear % 100, DayOfYear(hour), hour.wHour);
    text += StatsGroupLine;
    text += StatsColumnLine;
    return text;
}

StampText EventLogFileName(const SYSTEMTIME &day) {
    StampText out;
    snprintf(out.Text, sizeof out.Text, "%02d%03d.log", day.wYear % 100, DayOfYear(day));
    return out;
}

bool AppendEventLogHeader(std::string &text, const SYSTEMTIME &day, const char *logName) {
    return AppendFormatted(text, "%s %s\r\n\r\nHH:MM:SS:MMM  Code  Message\r\n", ShortDate(day).Text,
                           logName ? logName : "");
}

bool AppendEventLogLine(std::string &text, const SYSTEMTIME &time, LONG code, const char *message) {
    return AppendFormatted(text, "%s  %4d  %s\r\n", LogClock(time).Text, static_cast<int>(code),
                           message ? message : "");
}

bool ParseEventLogLine(const char *line, EventLogEntryText *entry) {
    // "HH:MM:SS:MMM  CODE  message": fixed-width time, two spaces, the code right-aligned in
    // at least four columns (so it ends at column 18 or later), two spaces, the message.
    if (line == nullptr || entry == nullptr)
        return false;
    for (int i = 0; i < 12; ++i) {
        const bool colon = i == 2 || i == 5 || i == 8;
        if (colon ? line[i] != ':' : !IsDigit(line[i]))
            return false;
    }
    if (line[12] != ' ' || line[13] != ' ')
        return false;
    auto number = [line](int from, int count) {
        int value = 0;
        for (int i = from; i < from + count; ++i)
            value = value * 10 + (line[i] - '0');
        return value;
    };
    const int hour = number(0, 2), minute = number(3, 2), second = number(6, 2), millisecond = number(9, 3);
    if (hour > 23 || minute > 59 || second > 59)
        return false;
    size_t i = 14;
    while (line[i] == ' ')
        ++i;
    const bool negative = line[i] == '-';
    if (negative)
        ++i;
    const size_t digits = i;
    while (IsDigit(line[i]))
        ++i;
    if (i == digits || i - digits > 9 || i < 18 || line[i] != ' ' || line[i + 1] != ' ')
        return false;
    long code = 0;
    for (size_t d = digits; d < i; ++d)
        code = code * 10 + (line[d] - '0');
    entry->Time = Moment(0, 0, 0, hour, minute, second, millisecond);
    entry->Code = static_cast<LONG>(negative ? -code : code);
    entry->Message = line + i + 2;
    return true;
}
