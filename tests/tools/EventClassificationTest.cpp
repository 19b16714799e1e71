// Every message of every code in a day's log: `kestrune status`, the station page and the
// publisher (one entry at a time) and the export (all at once) give it the severity the table
// of event codes gives it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "app/StationStatus.h"
#include "common/TestRoot.h"
#include "services/DateAndDirectory.h"
#include "services/EventCodes.h"
#include "tools/StationRun.h"
#include "tools/monitor/Page.h"
#include "tools/monitor/Station.h"
#include "tools/publish/Publisher.h"

using stationrun::BinDir;
using stationrun::Child;

TEST(EventClassification, StatusPageAndPublisherAgreeWithTheTableOnEveryMessage) {
    TestRoot root;
    const std::string dataDirectory = root.Drive("C:\\Data\\Code\\Projects\\Win32Console\\Kestrune");
    const std::string data = root.Posix("c/Data/Code/Projects/Win32Console/Kestrune");
    std::filesystem::create_directories(data);
    Configuration configuration;
    const char *argv[] = {"kestrune", "status", "--data-dir", dataDirectory.c_str()};
    ASSERT_EQ(configuration.Load(4, argv), 0) << configuration.Error;
    SYSTEMTIME today;
    GetSystemTime(&today);
    char name[32];
    snprintf(name, sizeof name, "/%02d%03d.log", today.wYear % 100, DayOfYear(today));

    int errors = 0;
    std::string all;  // every entry, for the export
    for (const EventCodeDefinition *entry : AllEventCodes()) {
        for (const char *format : entry->Formats) {
            if (format == nullptr)
                continue;
            // The format itself stands for its messages: what classifies them is the same.
            char line[1024];
            snprintf(line, sizeof line, "00:00:01:000  %4d  %s\r\n", static_cast<int>(entry->Code), format);
            std::ofstream(data + name, std::ios::binary)
                << "12/08/26 QORL Data Acquisition Service EventLog\r\n\r\nHH:MM:SS:MMM  Code  Message\r\n"
                << line;
            const EventSeverity severity = EventSeverityOf(entry->Code, format);
            const bool error = severity == EventSeverity::Error;
            errors += error;
            SCOPED_TRACE(line);
            all += line;

            const StationStatus status(configuration);
            EXPECT_EQ(status.HasError && status.LastErrorCode == entry->Code, error);

            monitor::Station page(data);
            const auto tail = page.GetLogTail(monitor::Now());
            ASSERT_EQ(tail.size(), 1u);
            EXPECT_EQ(tail[0].Severity, severity);
            EXPECT_EQ(monitor::LogText(tail).find("[error]") != std::string::npos, error);
            EXPECT_EQ(page.GetHealth(monitor::Now()).Errors, error ? 1 : 0);

            EXPECT_EQ(publish::ErrorsToday(data, monitor::Now()), error ? 1 : 0);
        }
    }
    std::ofstream(data + name, std::ios::binary)
        << "12/08/26 QORL Data Acquisition Service EventLog\r\n\r\nHH:MM:SS:MMM  Code  Message\r\n"
        << all;
    char day[32];
    snprintf(day, sizeof day, "%04d-%02d-%02d", today.wYear, today.wMonth, today.wDay);
    const std::string csv = root.Posix("events.csv");
    Child exporter({BinDir + "/kestrune-export", "--data-dir", data, "--events", csv, day}, {},
                   root.Posix("export.err"));
    ASSERT_EQ(exporter.Wait(), 0) << FileText(root.Posix("export.err"));
    const std::vector<std::string> rows = Lines(FileText(csv));
    ASSERT_EQ(rows.size(), static_cast<size_t>(std::count(all.begin(), all.end(), '\n')) + 1);
    EXPECT_EQ(rows[0], "time,code,name,severity,message");
    size_t row = 1;
    for (const EventCodeDefinition *entry : AllEventCodes())
        for (const char *format : entry->Formats) {
            if (format == nullptr)
                continue;
            const std::string expected = std::to_string(entry->Code) + "," + entry->Name + "," +
                                         SeverityName(EventSeverityOf(entry->Code, format)) + ",";
            EXPECT_EQ(rows[row].substr(25, expected.size()), expected) << rows[row];
            ++row;
        }

    // Not all one answer: the loop would pass with a reader that never finds an error.
    EXPECT_GT(errors, 20);
    EXPECT_TRUE(IsErrorEvent(5303, EventCode::PortLost.Formats[1]));
}

// The page marks a lost port red, and a warning amber.
TEST(EventClassification, PageMarksALostPortRed) {
    monitor::LogLine lost, warning;
    lost.Entry.Code = 5303;
    lost.Entry.Message =
        "Metek1: COM1 lost (error 5). Acquisition interrupted; the port is tried again every 5 seconds.";
    lost.Severity = monitor::SeverityOf(lost.Entry);
    lost.Error = monitor::IsErrorEntry(lost.Entry);
    warning.Entry.Code = 5108;
    warning.Entry.Message = "Metek1: This machine has no logical processor 'CPU 4' (2 processors).";
    warning.Severity = monitor::SeverityOf(warning.Entry);
    const std::string html =
        monitor::PageHtml(monitor::Health(), monitor::DayView(), {}, {lost, warning}, {}, 0, "/data");
    EXPECT_NE(html.find("<tr class=\"error\"><td>00:00:00</td><td>5303</td>"), std::string::npos);
    EXPECT_NE(html.find("<tr class=\"warning\"><td>00:00:00</td><td>5108</td>"), std::string::npos);
}
