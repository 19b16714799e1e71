// The flux periods of the engine: the instrument hands over each good record as its raw line
// gives it back, and the day's flux file holds whole rows only, also on a disk that fills up
// (a cap on the process's file sizes): a row that does not fit leaves the file as it was and
// is logged once per episode.
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "StatisticsFixture.h"
#include "common/FileSizeCap.h"
#include "services/Win32Util.h"

namespace {

class FluxFile : public StatisticsFixture {
protected:
    FluxFile() {
        engine_.FluxSettings.Period = 60;
        snprintf(engine_.StatsArchiveDirectory, sizeof engine_.StatsArchiveDirectory, "%s",
                 root_.Drive("C:\\Stats").c_str());
    }

    static flux::Stamp StampOf(const SYSTEMTIME &time) {
        FILETIME file;
        SystemTimeToFileTime(&time, &file);
        return static_cast<flux::Stamp>(FileTimeToUnits(file));
    }

    // Twenty records 100 ms apart from the minute's start, then the pass's flux step.
    void Pass(WORD minute, bool atStop = false) {
        const flux::Stamp start = StampOf(CalendarTime(2026, 12, 9, 14, minute, 0));
        for (int i = 0; i < 20; ++i)
            engine_.FluxRecords.push_back({start + i * 1000000LL, 1.0 + (i % 2), 2.0, 0.1 * (i % 3), 20.0});
        engine_.ArchiveFlux(atStop);
    }

    const std::string File = "c/Stats/lab026343_flux.csv";
};

TEST_F(FluxFile, TheInstrumentHandsOverTheRecordsAsTheRawLineGivesThemBack) {
    SampleBuffer &buffer = engine_.Buffers[1];
    const char *lines[3] = {"XXXXXXXXX1000,1.23456,-2.0004,0.1,20.05\r\n", "XXXXXXXXX1000,99.5,1,2,3\r\n",
                            "XXXXXXXXX1000,1,1,1,1\r\n"};
    const SHORT statuses[3] = {SampleGood, SampleGood, SampleBlackout};
    for (int i = 0; i < 3; ++i) {
        SampleRecord &record = buffer.Records[i];
        record.Length = static_cast<LONG>(strlen(lines[i]));
        record.Text = new char[static_cast<size_t>(record.Length) + 1];
        memcpy(record.Text, lines[i], static_cast<size_t>(record.Length) + 1);
        record.Status = statuses[i];
        SYSTEMTIME time = CalendarTime(2026, 12, 9, 14, 30, 5, 123);
        SystemTimeToFileTime(&time, &record.TimeStamp);
        record.TimeStamp = UnitsToFileTime(FileTimeToUnits(record.TimeStamp) + 9999);  // 0.9999 ms later
    }
    buffer.SampleCount.store(3);
    engine_.FluxSettings.Period = 1800;
    engine_.CurrentBuffer = 1;
    engine_.ProcessRawSamples();
    ASSERT_EQ(engine_.FluxRecords.size(), 2u);  // the good ones
    const flux::Record &first = engine_.FluxRecords[0];
    EXPECT_EQ(first.Time, StampOf(CalendarTime(2026, 12, 9, 14, 30, 5, 123)));
    EXPECT_EQ(first.U, 1.235);
    EXPECT_EQ(first.V, -2.0);
    EXPECT_EQ(first.T, 20.05);
    EXPECT_TRUE(std::isnan(engine_.FluxRecords[1].U));  // written as -99.
    EXPECT_EQ(engine_.FluxRecords[1].W, 2.0);
    buffer.SampleCount.store(0);
}

TEST_F(FluxFile, ARowThatDoesNotFitIsCutBackAndLoggedOncePerEpisode) {
    Pass(0);
    Pass(1);  // closes minute 0
    const std::string before = FileBytes(File);
    ASSERT_EQ(FileLines(File).size(), 2u);
    EXPECT_EQ(FileLines(File)[0] + "\r\n", flux::CsvHeader());
    EXPECT_EQ(FileLines(File)[1].substr(0, 45), "2026-12-09T14:00:00Z,2026-12-09T14:01:00Z,20,");
    {
        FileSizeCap cap(before.size() + 40);  // a fraction of a row
        if (!cap.Active())
            GTEST_SKIP() << "RLIMIT_FSIZE cannot be lowered here";
        Pass(2);  // minute 1 is lost
        Pass(3);  // and minute 2
        cap.Lift();
    }
    EXPECT_EQ(FileBytes(File), before);
    const std::vector<std::string> failed = LoggedMessages(root_.Posix("c/Data"), 6710);
    ASSERT_EQ(failed.size(), 1u);
    EXPECT_EQ(failed[0], "Metek1: Error writing file " + root_.Drive("C:\\Stats\\lab026343_flux.csv") +
                             " (error 223; the flux period from 2026-12-09T14:01:00Z is lost)");

    // The stop writes the running period (minute 3) after the last whole row.
    Pass(3, true);
    const std::vector<std::string> lines = FileLines(File);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[2].substr(0, 45), "2026-12-09T14:03:00Z,2026-12-09T14:04:00Z,40,");
    EXPECT_EQ(LoggedMessages(root_.Posix("c/Data"), 6711),
              std::vector<std::string>{"Metek1: Flux file " + root_.Drive("C:\\Stats\\lab026343_flux.csv") +
                                       " written again; 2 flux periods were lost."});
}

}  // namespace
