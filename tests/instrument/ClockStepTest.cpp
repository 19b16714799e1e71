// Steps of the system clock, from the reading loop to the archive: the loop detects a step by
// comparing the clock's advance with the performance counter's, stamps follow the new clock,
// the samples after every step are excluded (the union of all windows), and the statistics
// periods keep their length. The test owns both clocks and feeds the loop's wake-ups itself.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "common/LogEntries.h"
#include "common/TestRoot.h"
#include "instrument/SonicMetek3ClassAMPSerial.h"
#include "services/Win32Util.h"

namespace {

constexpr ULONGLONG Millisecond = 10000;
constexpr ULONGLONG Second = 1000 * Millisecond;

ULONGLONG UnitsAt(WORD hour, WORD minute, WORD second, WORD millisecond = 0) {
    SYSTEMTIME time = {};
    time.wYear = 2026;
    time.wMonth = 12;
    time.wDay = 8;
    time.wHour = hour;
    time.wMinute = minute;
    time.wSecond = second;
    time.wMilliseconds = millisecond;
    FILETIME file = {};
    SystemTimeToFileTime(&time, &file);
    return FileTimeToUnits(file);
}

struct Period {
    ULONGLONG Start, End;
    DWORD Good, Blackout, Bad;
};

// The uSonic-3 engine with statistics that are recorded instead of written.
class RecordingSonic : public SonicMetek3ClassAMPSerial {
public:
    using SonicMetek3ClassAMPSerial::SonicMetek3ClassAMPSerial;
    void WriteStatistics() override {
        Periods.push_back({FileTimeToUnits(PeriodStart), FileTimeToUnits(PeriodEnd), UStats.GoodSamp, NumSamp,
                           static_cast<DWORD>(UStats.BadSamp)});
        ResetStatistics();
    }
    std::vector<Period> Periods;
};

struct Archived {
    ULONGLONG Stamp;
    SHORT Status;
};

class ClockStepTest : public ::testing::Test {
protected:
    void SetUp() override {
        log_ = std::make_unique<EventLog>("Clock Step Test EventLog",
                                          root_.Drive("C:\\Data\\ClockStep").c_str());
        sonic_ = std::make_unique<RecordingSonic>("Metek", "666", *log_);
        LARGE_INTEGER frequency = {};
        QueryPerformanceFrequency(&frequency);
        frequency_ = frequency.QuadPart;
        wall_ = UnitsAt(10, 0, 0);
        counter_ = 1000;
        // The archive side: blackout 6 s, no published step, 60-s statistics periods.
        sonic_->BlackoutPeriod = 6;
        sonic_->QualityControl = 1;
        sonic_->StatisticsEnabled = 1;
        sonic_->StatsArchivePeriod = 60;
        sonic_->DayStart = UnitsToFileTime(UnitsAt(0, 0, 0));
        sonic_->PeriodStart = UnitsToFileTime(wall_);
        sonic_->PeriodEnd = UnitsToFileTime(wall_ + 60 * Second);
    }

    // The instrument sends one line every 50 ms for this long; each line wakes the loop.
    void Run(ULONGLONG duration) {
        for (ULONGLONG elapsed = 0; elapsed < duration; elapsed += 50 * Millisecond) {
            wall_ += 50 * Millisecond;
            counter_ += static_cast<LONGLONG>(50 * Millisecond * frequency_ / Second);
            const std::string line = "ABCDEFGHI1000,1.5,-2.5,0.1,20.3\n";
            memcpy(sonic_->ReceiveArea + sonic_->ReceiveAreaCount, line.data(), line.size());
            const FILETIME wall = UnitsToFileTime(wall_);
            sonic_->NoteWakeUpClock(wall, counter_);
            sonic_->ProcessReceived(static_cast<DWORD>(line.size()), wall, counter_);
            // The hand-over deadline: every 10 s of lines.
            if (++lines_ % 200 == 0)
                sonic_->HandOverBuffer();
            Archive();
        }
    }
    // The clock is set: the wall clock jumps, the counter does not.
    void Step(LONGLONG size) { wall_ = static_cast<ULONGLONG>(static_cast<LONGLONG>(wall_) + size); }

    // Archives every handed-over buffer in ring order, as the archive thread does.
    void Archive() {
        for (;;) {
            SampleBuffer &buffer = sonic_->Buffers[next_];
            const DWORD count = buffer.SampleCount.load();
            if (count == 0)
                return;
            sonic_->CurrentBuffer = next_;
            sonic_->ScreenSamples();
            sonic_->RunStatisticsTiming();
            for (DWORD i = 0; i < count; ++i)
                archived_.push_back({FileTimeToUnits(buffer.Records[i].TimeStamp), buffer.Records[i].Status});
            sonic_->ProcessRawSamples();
            buffer.SampleCount.store(0);
            next_ = (next_ + 1) % DataAcquisition::BufferCount;
        }
    }
    void Finish() {
        sonic_->HandOverBuffer();
        Archive();
    }

    std::vector<LoggedEntry> Logged(int code) const {
        std::vector<LoggedEntry> found;
        for (const LoggedEntry &entry : ReadLogEntries(root_.Posix("c/Data/ClockStep")))
            if (entry.Code == code)
                found.push_back(entry);
        return found;
    }
    // The archived samples whose stamps lie in [from, to], and how many of them are blackout.
    int CountIn(ULONGLONG from, ULONGLONG to, int *blackout) const {
        int n = 0;
        *blackout = 0;
        for (const Archived &a : archived_) {
            if (a.Stamp >= from && a.Stamp <= to) {
                ++n;
                *blackout += a.Status == SampleBlackout;
            }
        }
        return n;
    }
    int CountStatus(SHORT status) const {
        int n = 0;
        for (const Archived &a : archived_)
            n += a.Status == status;
        return n;
    }

    TestRoot root_;
    std::unique_ptr<EventLog> log_;
    std::unique_ptr<RecordingSonic> sonic_;
    LONGLONG frequency_ = 0;
    ULONGLONG wall_ = 0;
    LONGLONG counter_ = 0;
    int lines_ = 0;
    int next_ = 0;
    std::vector<Archived> archived_;
};

TEST_F(ClockStepTest, BackwardStepOfThirtyMinutesKeepsPeriodsAndFollowsTheClock) {
    Run(4 * 60 * Second + 30 * Second);  // to 10:04:30
    Step(-static_cast<LONGLONG>(30 * 60 * Second));
    Run(4 * 60 * Second);  // to 09:38:30
    Finish();

    EXPECT_EQ(sonic_->ClockStepsDetected, 1u);
    ASSERT_EQ(archived_.size(), static_cast<size_t>(lines_));
    // The stamps rise, except once: where they follow the clock 30 minutes back.
    int decreases = 0;
    for (size_t i = 1; i < archived_.size(); ++i) {
        if (archived_[i].Stamp < archived_[i - 1].Stamp) {
            ++decreases;
            EXPECT_EQ(archived_[i].Stamp, UnitsAt(9, 34, 30, 50));
        }
    }
    EXPECT_EQ(decreases, 1);
    EXPECT_EQ(archived_.back().Stamp, UnitsAt(9, 38, 30));

    // Every closed period is one minute long and holds at most a minute of lines; the one
    // open at the step ends with it, and the next begins on the grid at 09:34.
    ASSERT_GE(sonic_->Periods.size(), 8u);
    for (const Period &p : sonic_->Periods) {
        EXPECT_EQ(p.End - p.Start, 60 * Second);
        EXPECT_LE(p.Good + p.Blackout + p.Bad, 1200u);
    }
    EXPECT_EQ(sonic_->Periods[4].Start, UnitsAt(10, 4, 0));
    EXPECT_EQ(sonic_->Periods[4].Good, 601u);  // 10:04:00.000 to 10:04:30.000
    EXPECT_EQ(sonic_->Periods[5].Start, UnitsAt(9, 34, 0));
    EXPECT_EQ(sonic_->Periods[5].Good + sonic_->Periods[5].Blackout, 599u);  // from 09:34:30.050
    EXPECT_EQ(sonic_->Periods[5].Blackout, 121u);                            // the lines just after the step

    // The lines from the step to 6 s after its detection are excluded, and logged as such.
    int blackout = 0;
    EXPECT_EQ(CountIn(UnitsAt(9, 34, 30), UnitsAt(9, 34, 36, 50), &blackout), 121);
    EXPECT_EQ(blackout, 121);
    EXPECT_EQ(CountStatus(SampleBlackout), 121);
    const std::vector<LoggedEntry> detected = Logged(DataAcquisition::ClockStepDetectedCode);
    ASSERT_EQ(detected.size(), 1u);
    EXPECT_EQ(detected[0].Message,
              "Metek1: Clock step of -1800.000 seconds detected at 12/08/26 09:34:30:050.");
    const std::vector<LoggedEntry> excluded = Logged(DataAcquisition::ClockStepExclusionCode);
    ASSERT_FALSE(excluded.empty());
    EXPECT_EQ(
        excluded[0].Message,
        "Metek1: Excluding 121 samples from the archive during the blackout period 12/08/26 09:34:30:000 to "
        "12/08/26 09:34:36:050 after a detected clock step.");
}

TEST_F(ClockStepTest, ForwardAndBackwardStepsWithoutPublicationAreBothExcluded) {
    Run(20 * Second);
    Step(10 * 60 * Second);  // 10:00:20 -> 10:10:20
    Run(60 * Second);
    Step(-static_cast<LONGLONG>(10 * 60 * Second));  // 10:11:20 -> 10:01:20
    Run(60 * Second);
    Finish();

    EXPECT_EQ(sonic_->ClockStepsDetected, 2u);
    int blackout = 0;
    EXPECT_EQ(CountIn(UnitsAt(10, 10, 20, 50), UnitsAt(10, 10, 26, 50), &blackout), 121);
    EXPECT_EQ(blackout, 121);
    EXPECT_EQ(CountIn(UnitsAt(10, 1, 20, 50), UnitsAt(10, 1, 26, 50), &blackout), 121);
    EXPECT_EQ(blackout, 121);
    EXPECT_EQ(CountStatus(SampleBlackout), 242);
    EXPECT_EQ(CountStatus(SampleGood), lines_ - 242);
    EXPECT_EQ(Logged(DataAcquisition::ClockStepDetectedCode).size(), 2u);
    // A step smaller than the threshold is no step: the stamps are held instead.
    Step(-static_cast<LONGLONG>(80 * Millisecond));
    Run(Second);
    Finish();
    EXPECT_EQ(sonic_->ClockStepsDetected, 2u);
    for (size_t i = 1; i < archived_.size(); ++i)
        if (archived_[i].Stamp < archived_[i - 1].Stamp) {
            EXPECT_GT(archived_[i - 1].Stamp - archived_[i].Stamp, 60 * Second) << i;
        }
}

TEST_F(ClockStepTest, TwoStepsThreeSecondsApartExcludeTheUnionOfTheirWindows) {
    Run(20 * Second);                          // to 10:00:20
    Step(-static_cast<LONGLONG>(5 * Second));  // -> 10:00:15; window 10:00:15 to 10:00:21
    Run(3 * Second);                           // to 10:00:18
    Step(-static_cast<LONGLONG>(5 * Second));  // -> 10:00:13; window 10:00:13 to 10:00:19
    Run(20 * Second);                          // to 10:00:33
    Finish();

    EXPECT_EQ(sonic_->ClockStepsDetected, 2u);
    // After the first step, everything stamped in either window is excluded: after the
    // second step that is 8 s of lines, the last 2 s of them (10:00:19.1 to 10:00:21.05) inside
    // the first window only. The lines stamped there before the first step stay good.
    const size_t firstAfterStep = 400;
    for (size_t i = 0; i < archived_.size(); ++i) {
        const bool afterFirstStep = i >= firstAfterStep;
        const bool inUnion =
            archived_[i].Stamp >= UnitsAt(10, 0, 13) && archived_[i].Stamp <= UnitsAt(10, 0, 21, 50);
        EXPECT_EQ(archived_[i].Status, afterFirstStep && inUnion ? SampleBlackout : SampleGood) << i;
    }
    int blackout = 0;
    EXPECT_EQ(CountIn(UnitsAt(10, 0, 19, 100), UnitsAt(10, 0, 21, 0), &blackout), 19 + 39);
    EXPECT_EQ(blackout, 39);
    EXPECT_EQ(CountStatus(SampleBlackout), 60 + 161);
}

}  // namespace
