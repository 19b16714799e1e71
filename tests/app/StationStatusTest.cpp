// The station status: today's event log is summed up (lost and cut lines, excluded samples,
// write errors, the last statistics period and the last error), the archive bookkeeping
// gives the last pass, the data directory's lock tells whether an instance runs, and health
// needs a running instance with a recent pass.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "app/StationStatus.h"
#include "common/TestRoot.h"
#include "services/DateAndDirectory.h"

namespace {

const char InstrumentKey[] = "SYSTEM\\CurrentControlSet\\Services\\QORL Data Acquisition\\Parameters\\Metek1";

void SetArchiveDate(const SYSTEMTIME &time) {
    char text[64];
    snprintf(text, sizeof text, "%02d/%02d/%04d %02d:%02d:%02d UTC", time.wMonth, time.wDay, time.wYear,
             time.wHour, time.wMinute, time.wSecond);
    HKEY handle = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, InstrumentKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              &handle, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExA(handle, "ArchiveDate", 0, REG_SZ, reinterpret_cast<const BYTE *>(text),
                             static_cast<DWORD>(strlen(text) + 1)),
              ERROR_SUCCESS);
    RegCloseKey(handle);
}

SYSTEMTIME SecondsAgo(unsigned seconds) {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    ULONGLONG units = (static_cast<ULONGLONG>(now.dwHighDateTime) << 32 | now.dwLowDateTime) -
                      static_cast<ULONGLONG>(seconds) * 10000000ull;
    FILETIME then = {static_cast<DWORD>(units), static_cast<DWORD>(units >> 32)};
    SYSTEMTIME time;
    FileTimeToSystemTime(&then, &time);
    return time;
}

// A station with the program's own data directory, below the test's root: the option names
// the default directory's stand-in (on Linux the default path itself).
struct Station {
    TestRoot root;
    std::string dataDirectory = root.Drive("C:\\Data\\Code\\Projects\\Win32Console\\Kestrune");
    std::string data = root.Posix("c/Data/Code/Projects/Win32Console/Kestrune");
    Configuration configuration;

    Station() {
        const char *argv[] = {"kestrune", "status", "--data-dir", dataDirectory.c_str()};
        EXPECT_EQ(configuration.Load(4, argv), 0) << configuration.Error;
        EXPECT_STREQ(configuration.Text(Configuration::DataDirectory), dataDirectory.c_str());
        std::filesystem::create_directories(data);
    }
    std::string TodaysLog() const {
        SYSTEMTIME today;
        GetSystemTime(&today);
        char name[32];
        snprintf(name, sizeof name, "/%02d%03d.log", today.wYear % 100, DayOfYear(today));
        return data + name;
    }
};

// Today's date as ISO 8601 ("2026-12-09"), the date of the entries of today's log.
std::string TodayIso() {
    SYSTEMTIME today;
    GetSystemTime(&today);
    char text[32];
    snprintf(text, sizeof text, "%04d-%02d-%02d", today.wYear, today.wMonth, today.wDay);
    return text;
}

TEST(StationStatus, SumsUpTodaysLog) {
    Station station;
    const std::string day = TodayIso();
    std::ofstream(station.TodaysLog(), std::ios::binary)
        << "12/08/26 QORL Data Acquisition Service EventLog\r\n\r\n"
           "HH:MM:SS:MMM  Code  Message\r\n"
           "00:00:01:000  9998  Starting event log.\r\n"
           "00:00:02:000  5103  Metek1: Can't start data acquisition. Either COM1 doesn't exist or is open "
           "in "
           "another application.\r\n"
           "00:01:00:000  5017  Metek1: Archiving 3990 of 4000 raw data samples. Excluded samples: Bad = 4  "
           "Blackout = 5  Edited = 1\r\n"
           "00:01:00:001  5301  Metek1: 12 instrument lines lost: every sample buffer was still held by the "
           "archive.\r\n"
           "00:01:00:002  5302  Metek1: 3 over-long instrument lines cut to 20000 characters.\r\n"
           "00:01:00:003  5003  Metek1: Archiving statistics for the period 00:00:000-01:00:000.\r\n"
           "00:02:00:000  5004  Metek1: Error opening file C:\\x\\lab0_raw.txt (100 bytes lost)\r\n"
           "00:02:00:001  5302  Metek1: 2 over-long instrument lines cut to 20000 characters.\r\n"
           "00:02:00:002  5017  Metek1: Archiving 4000 of 4000 raw data samples.\r\n"
           "00:02:00:003  5017  Metek1: Archiving 3000 of 3002 raw data samples. Excluded samples: Bad = 0  "
           "Blackout = 2  Edited = 0\r\n"
           "00:02:30:000  6701  Metek1: Error opening file C:\\x\\lab0_stats.txt\r\n"
           "00:03:00:000  5003  Metek1: Archiving statistics for the period 02:00:000-03:00:000.\r\n"
           "00:03:00:001  5013  Metek1: Raw data archiving enabled with an archiving period of 60 "
           "seconds.\r\n";
    const StationStatus status(station.configuration);
    EXPECT_EQ(status.LostLines, 12u);
    EXPECT_EQ(status.CutLines, 5u);
    EXPECT_EQ(status.ExcludedSamples, 12u);
    EXPECT_EQ(status.WriteErrors, 2u);
    EXPECT_TRUE(status.HasStatistics);
    EXPECT_EQ(status.StatisticsTime, day + "T00:03:00.000Z");
    EXPECT_EQ(status.StatisticsStart, day + "T00:02:00.000Z");
    EXPECT_EQ(status.StatisticsEnd, day + "T00:03:00.000Z");
    EXPECT_TRUE(status.HasError);
    EXPECT_EQ(status.LastErrorTime, day + "T00:02:30.000Z");
    EXPECT_EQ(status.LastErrorCode, 6701);
    EXPECT_EQ(status.LastErrorMessage, "Metek1: Error opening file C:\\x\\lab0_stats.txt");
    const std::string json = status.Json();
    EXPECT_NE(json.find("\"lostLines\":12,\"cutLines\":5,\"excludedSamples\":12,\"writeErrors\":2"),
              std::string::npos)
        << json;
    EXPECT_NE(json.find("\"lastStatistics\":{\"time\":\"" + day + "T00:03:00.000Z\",\"start\":\"" + day +
                        "T00:02:00.000Z\",\"end\":\"" + day + "T00:03:00.000Z\"}"),
              std::string::npos)
        << json;
    EXPECT_NE(json.find("\"lastError\":{\"time\":\"" + day +
                        "T00:02:30.000Z\",\"code\":6701,\"message\":\"Metek1: Error "
                        "opening file C:\\\\x\\\\lab0_stats.txt\"}"),
              std::string::npos)
        << json;
    const std::string text = status.Text();
    EXPECT_NE(text.find("Last statistics:  " + day + "T00:03:00.000Z, period " + day + "T00:02:00.000Z to " +
                        day + "T00:03:00.000Z\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("12 lost lines (5301), 5 cut lines (5302), 12 excluded samples, 2 write errors\n"),
              std::string::npos)
        << text;
}

// A period that closes on the hour is logged just after it: its start is in the hour before.
TEST(StationStatus, APeriodClosedOnTheHourStartsInTheHourBefore) {
    Station station;
    std::ofstream(station.TodaysLog(), std::ios::binary)
        << "12/08/26 QORL Data Acquisition Service EventLog\r\n\r\n"
           "HH:MM:SS:MMM  Code  Message\r\n"
           "01:00:00:010  5003  Metek1: Archiving statistics for the period 59:00:000-00:00:000.\r\n";
    const StationStatus status(station.configuration);
    ASSERT_TRUE(status.HasStatistics);
    EXPECT_EQ(status.StatisticsStart, TodayIso() + "T00:59:00.000Z");
    EXPECT_EQ(status.StatisticsEnd, TodayIso() + "T01:00:00.000Z");
}

TEST(StationStatus, ALostPortIsTheLastErrorAndItsReturnIsNot) {
    Station station;
    std::ofstream(station.TodaysLog(), std::ios::binary)
        << "12/08/26 QORL Data Acquisition Service EventLog\r\n\r\n"
           "HH:MM:SS:MMM  Code  Message\r\n"
           "00:00:01:000  9998  Starting event log.\r\n"
           "00:05:00:000  5303  Metek1: COM1 lost (error 31). Acquisition interrupted; the port is tried "
           "again every 5 seconds.\r\n"
           "00:06:00:000  5304  Metek1: COM1 is back; acquisition resumed (interrupted since "
           "00:05:00:000).\r\n";
    const StationStatus status(station.configuration);
    ASSERT_TRUE(status.HasError);
    EXPECT_EQ(status.LastErrorTime, TodayIso() + "T00:05:00.000Z");
    EXPECT_EQ(status.LastErrorCode, 5303);
}

TEST(StationStatus, HealthyOnlyWithARunningInstanceAndARecentPass) {
    Station station;
    {
        const StationStatus status(station.configuration);
        EXPECT_FALSE(status.Running);
        EXPECT_FALSE(status.HasArchiveDate);
        EXPECT_FALSE(status.Healthy);
        EXPECT_EQ(status.Reason, "no kestrune holds the data directory");
        EXPECT_NE(status.Json().find("\"running\":false,\"pid\":null,\"lastArchived\":null"),
                  std::string::npos);
    }
    // An instance: another thread owns the lock, and the process id is on file.
    const std::string lockName =
        StationStatus::LockName(station.configuration.Text(Configuration::DataDirectory));
    HANDLE taken = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::thread owner([&] {
        HANDLE lock = CreateMutexA(nullptr, FALSE, lockName.c_str());
        WaitForSingleObject(lock, INFINITE);
        SetEvent(taken);
        WaitForSingleObject(release, INFINITE);
        ReleaseMutex(lock);
        CloseHandle(lock);
    });
    EXPECT_EQ(WaitForSingleObject(taken, 10000), WAIT_OBJECT_0);
    std::ofstream(station.data + "/kestrune.pid", std::ios::binary) << "4242\r\n";
    {
        const StationStatus status(station.configuration);
        EXPECT_TRUE(status.Running);
        EXPECT_EQ(status.Reason.rfind("today's event log ", 0), 0u) << status.Reason;
    }
    std::ofstream(station.TodaysLog(), std::ios::binary)
        << "12/09/26 Kestrune\r\n\r\nHH:MM:SS:MMM  Code  Message\r\n";
    {
        const StationStatus status(station.configuration);
        EXPECT_TRUE(status.Running);
        EXPECT_EQ(status.ProcessId, "4242");
        EXPECT_FALSE(status.Healthy);
        EXPECT_EQ(status.Reason, "no archive pass recorded");
    }
    SetArchiveDate(SecondsAgo(5));
    {
        const StationStatus status(station.configuration);
        EXPECT_TRUE(status.HasArchiveDate);
        EXPECT_TRUE(status.Healthy) << status.Reason;
        EXPECT_NE(status.Text().find("Instance:         running (PID 4242)\n"), std::string::npos);
        EXPECT_NE(status.Text().find("Healthy:          yes\n"), std::string::npos);
        EXPECT_NE(status.Json().find("\"healthy\":true,\"reason\":null}"), std::string::npos);
    }
    // What a running instance cannot be healthy without: its pid file, its directory, writes
    // that succeed.
    const auto reason = [&] { return StationStatus(station.configuration).Reason; };
    std::filesystem::remove(station.data + "/kestrune.pid");
    EXPECT_EQ(reason(), "the process id file is missing while an instance holds the data directory");
    std::ofstream(station.data + "/kestrune.pid", std::ios::binary) << "4242\r\n";
    std::ofstream(station.TodaysLog(), std::ios::binary | std::ios::app)
        << "12:00:00:000  5004  Metek1: Error writing file x (error 112; 3 samples lost, 0 kept for a later "
           "write)\r\n";
    EXPECT_EQ(reason(), "the last raw data write failed");
    std::ofstream(station.TodaysLog(), std::ios::binary | std::ios::app)
        << "12:00:01:000  5030  Metek1: Raw data files can be written again. 0 samples were kept and written "
           "late to their late files, 3 samples lost.\r\n"
        << "12:00:02:000  5003  Metek1: Archiving statistics for the period 00:00:000-01:00:000.\r\n"
        << "12:00:02:001  6701  Metek1: Error opening file x\r\n";
    EXPECT_EQ(reason(), "the last statistics write failed");
    std::ofstream(station.TodaysLog(), std::ios::binary | std::ios::app)
        << "12:01:02:000  5003  Metek1: Archiving statistics for the period 01:00:000-02:00:000.\r\n";
    EXPECT_EQ(reason(), "");
    std::filesystem::rename(station.data, station.data + ".gone");
    EXPECT_EQ(reason(), "the data directory is missing");
    std::filesystem::rename(station.data + ".gone", station.data);

    SetArchiveDate(SecondsAgo(StationStatus::HealthyArchiveAge + 30));
    {
        const StationStatus status(station.configuration);
        EXPECT_FALSE(status.Healthy);
        EXPECT_EQ(status.Reason.rfind("the last archive pass is ", 0), 0u) << status.Reason;
    }
    SetEvent(release);
    owner.join();
    CloseHandle(taken);
    CloseHandle(release);
    const StationStatus stopped(station.configuration);
    EXPECT_FALSE(stopped.Running);
    EXPECT_EQ(stopped.ProcessId, "");
}

}  // namespace
