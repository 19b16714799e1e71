// The station's outside formats: what a writer formats, its reader parses back, and the
// readers refuse what no writer makes.
#include <gtest/gtest.h>

#include <string>

#include "services/StationFormats.h"

namespace {

SYSTEMTIME At(int year, int month, int day, int hour, int minute, int second, int millisecond) {
    return Moment(year, month, day, hour, minute, second, millisecond);
}

void ExpectSameMoment(const SYSTEMTIME &a, const SYSTEMTIME &b, bool milliseconds) {
    EXPECT_EQ(a.wYear, b.wYear);
    EXPECT_EQ(a.wMonth, b.wMonth);
    EXPECT_EQ(a.wDay, b.wDay);
    EXPECT_EQ(a.wHour, b.wHour);
    EXPECT_EQ(a.wMinute, b.wMinute);
    EXPECT_EQ(a.wSecond, b.wSecond);
    if (milliseconds) {
        EXPECT_EQ(a.wMilliseconds, b.wMilliseconds);
    }
}

TEST(StationFormats, ArchiveDateRoundTripsAndRefusesOtherTexts) {
    const SYSTEMTIME written = At(2024, 2, 29, 23, 59, 58, 0);
    const StampText text = ArchiveDateText(written);
    EXPECT_STREQ(text.Text, "02/29/2024 23:59:58 UTC");
    SYSTEMTIME read = {};
    ASSERT_TRUE(ParseArchiveDate(text.Text, &read));
    ExpectSameMoment(read, written, false);
    for (const char *bad : {"02/29/2026 10:00:00 UTC", "12/08/2026 24:00:00 UTC", "12/08/2026 10:00:00",
                            "12/08/2026 10:00:00 UTC x", "2026-12-08T10:00:00Z", ""})
        EXPECT_FALSE(ParseArchiveDate(bad, &read)) << bad;
}

TEST(StationFormats, MessageMomentsRoundTripInsideTheirMessage) {
    const SYSTEMTIME from = At(2026, 12, 31, 23, 59, 59, 995), to = At(2027, 1, 1, 0, 0, 5, 7);
    EXPECT_STREQ(ShortDateClock(from).Text, "12/31/26 23:59:59:995");
    EXPECT_STREQ(ShortDateSecond(to).Text, "01/01/27 00:00:05");
    const std::string message =
        std::string(ShortDateClock(from).Text) + " to " + ShortDateClock(to).Text + ".";
    SYSTEMTIME a = {}, b = {};
    const char *rest = nullptr;
    ASSERT_TRUE(ParseShortDateClock(message.c_str(), &a, &rest));
    ASSERT_EQ(std::string(rest, 4), " to ");
    ASSERT_TRUE(ParseShortDateClock(rest + 4, &b, &rest));
    EXPECT_STREQ(rest, ".");
    ExpectSameMoment(a, from, true);
    ExpectSameMoment(b, to, true);
    EXPECT_FALSE(ParseShortDateClock("13/01/26 00:00:00:000", &a));
    EXPECT_FALSE(ParseShortDateClock("12/08/26 10:00:00", &a));
}

TEST(StationFormats, EventLogLinesRoundTripAndHeadersAreNotEntries) {
    std::string text;
    ASSERT_TRUE(AppendEventLogHeader(text, At(2026, 12, 9, 3, 4, 47, 965), "Station Log"));
    EXPECT_EQ(text, "12/09/26 Station Log\r\n\r\nHH:MM:SS:MMM  Code  Message\r\n");
    EXPECT_STREQ(EventLogFileName(At(2026, 12, 9, 0, 0, 0, 0)).Text, "26343.log");
    EventLogEntryText entry = {};
    EXPECT_FALSE(ParseEventLogLine("12/09/26 Station Log", &entry));
    EXPECT_FALSE(ParseEventLogLine("HH:MM:SS:MMM  Code  Message", &entry));

    const struct {
        LONG Code;
        const char *Message;
    } cases[] = {{5303, "Metek1: COM1 lost."}, {-1, "negative"}, {123456789, ""}};
    for (const auto &c : cases) {
        std::string line;
        ASSERT_TRUE(AppendEventLogLine(line, At(2026, 12, 9, 3, 4, 47, 965), c.Code, c.Message));
        ASSERT_EQ(line.substr(line.size() - 2), "\r\n");
        line.resize(line.size() - 2);
        ASSERT_TRUE(ParseEventLogLine(line.c_str(), &entry)) << line;
        EXPECT_EQ(entry.Code, c.Code);
        EXPECT_STREQ(entry.Message, c.Message);
        EXPECT_EQ(entry.Time.wHour, 3);
        EXPECT_EQ(entry.Time.wMilliseconds, 965);
    }
    EXPECT_FALSE(ParseEventLogLine("03:04:47:965  5303 x", &entry));
    EXPECT_FALSE(ParseEventLogLine("24:00:00:000  5303  late", &entry));
}

TEST(StationFormats, FileHeadersAndIsoTimes) {
    char header[128];
    const SYSTEMTIME time = At(2026, 12, 9, 14, 30, 5, 123);
    EXPECT_EQ(FormatRawHeader(header, sizeof header, 1, time, "Metek", "666"), 26);
    EXPECT_STREQ(header, "12/09/26 Metek (SN: 666)\r\n");
    FormatRawHeader(header, sizeof header, 2, time, "Metek", "666");
    EXPECT_STREQ(header, "12/09/2026 14:00 Metek (SN: 666)\r\n");
    EXPECT_EQ(FormatRawHeader(header, sizeof header, 0, time, "Metek", "666"), 0);
    EXPECT_EQ(FormatRawHeader(header, 8, 1, time, "Metek", "666"), 7);
    EXPECT_EQ(
        StatsFileHeader("Metek", "666", time),
        std::string("Metek (SN: 666) Time (YYJJJHH): 2634314 UTC\r\n") + StatsGroupLine + StatsColumnLine);
    EXPECT_STREQ(IsoTime(time).Text, "2026-12-09T14:30:05.123Z");
    EXPECT_STREQ(IsoTime(time, false).Text, "2026-12-09T14:30:05Z");
}

}  // namespace
