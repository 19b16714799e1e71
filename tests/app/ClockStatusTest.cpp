// The clock's synchronisation through the state seam: each episode (an unsynchronised start,
// a loss, the return, an estimated error above the threshold) logged once, and `status`
// showing the state with since when it has not been synchronised.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/StationStatus.h"
#include "common/LogEntries.h"
#include "common/TestRoot.h"
#include "services/ClockWatch.h"

namespace {

KESTRUNE_CLOCK_STATE FakeState = {};

BOOL ReadFake(KESTRUNE_CLOCK_STATE *state) {
    *state = FakeState;
    return TRUE;
}

void SetClock(DWORD known, DWORD synchronised, DWORD estimatedUs = 0, DWORD maximumUs = 0) {
    FakeState = {known, synchronised, estimatedUs, maximumUs};
}

struct ClockStation {
    TestRoot root;
    std::string dataDirectory = root.Drive("C:\\Data\\Clock");
    std::string data = root.Posix("c/Data/Clock");
    EventLog log{"Clock Test EventLog", dataDirectory.c_str()};
    ClockWatch watch{log, "Metek1", ReadFake};

    std::vector<int> Codes() const {
        std::vector<int> codes;
        for (const LoggedEntry &entry : ReadLogEntries(data))
            if (entry.Code >= 5310 && entry.Code <= 5319)
                codes.push_back(entry.Code);
        return codes;
    }
    StationStatus Status() const {
        Configuration configuration;
        const char *argv[] = {"kestrune", "status", "--data-dir", dataDirectory.c_str()};
        EXPECT_EQ(configuration.Load(4, argv), 0) << configuration.Error;
        StationStatus::ReadClock = ReadFake;
        StationStatus status(configuration);
        StationStatus::ReadClock = nullptr;
        return status;
    }
};

TEST(ClockWatch, EachEpisodeIsLoggedOnceAndStatusShowsTheState) {
    ClockStation station;
    SetClock(1, 0);
    station.watch.Check();
    station.watch.Check();
    EXPECT_EQ(station.Codes(), (std::vector<int>{5310}));
    StationStatus status = station.Status();
    ASSERT_EQ(status.ClockSince.size(), 20u) << status.ClockSince;  // "YYYY-MM-DDTHH:MM:SSZ"
    EXPECT_NE(status.Text().find("Clock:            not synchronised since " + status.ClockSince + "\n"),
              std::string::npos)
        << status.Text();
    EXPECT_NE(
        status.Json().find("\"clock\":{\"state\":\"not synchronised\",\"since\":\"" + status.ClockSince),
        std::string::npos)
        << status.Json();

    SetClock(1, 1, 300, 16000);
    station.watch.Check();
    station.watch.Check();
    status = station.Status();
    EXPECT_NE(status.Text().find("Clock:            synchronised (estimated error 0.3 ms, maximum 16 ms)\n"),
              std::string::npos)
        << status.Text();
    EXPECT_NE(status.Json().find("\"clock\":{\"state\":\"synchronised\",\"estimatedErrorMs\":0.3,"
                                 "\"maximumErrorMs\":16,\"since\":null,"),
              std::string::npos)
        << status.Json();

    SetClock(1, 1, 10001, 20000);  // just above the 10 ms threshold, twice
    station.watch.Check();
    station.watch.Check();
    SetClock(1, 1, 10000, 20000);  // back within it
    station.watch.Check();
    SetClock(1, 0, 10000, 20000);  // lost, twice
    station.watch.Check();
    station.watch.Check();
    EXPECT_EQ(station.Codes(), (std::vector<int>{5310, 5312, 5313, 5314, 5311}));
    EXPECT_EQ(LoggedMessages(station.data, 5313),
              std::vector<std::string>{"Metek1: The system clock's estimated error is 10.0 ms, above 10 ms "
                                       "(maximum 20 ms)."});
    EXPECT_NE(station.Status().Text().find("not synchronised since "), std::string::npos);
}

TEST(ClockWatch, AStateTheSystemDoesNotTellIsLoggedOnceAsUnknown) {
    ClockStation station;
    SetClock(0, 0);
    station.watch.Check();
    station.watch.Check();
    EXPECT_EQ(station.Codes(), (std::vector<int>{5316}));
    EXPECT_NE(station.Status().Text().find("Clock:            unknown (the system does not tell)\n"),
              std::string::npos);
    // Starting synchronised with a small error logs nothing.
    ClockStation quiet;
    SetClock(1, 1, 500, 4000);
    quiet.watch.Check();
    EXPECT_TRUE(quiet.Codes().empty());
}

TEST(ClockWatch, ThePlatformReportsAKnownStateOnLinux) {
    KESTRUNE_CLOCK_STATE state = {};
    ASSERT_TRUE(KestruneGetClockState(&state));
    EXPECT_EQ(state.Known, 1u);
    EXPECT_FALSE(KestruneGetClockState(nullptr));
}

}  // namespace
