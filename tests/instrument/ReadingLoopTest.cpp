// The reading loop's handling of received bytes, without a port: splitting at the line
// terminator, the carried tail, over-long lines, stamps and buffers the archive still holds.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "common/TestRoot.h"
#include "instrument/SonicMetek3ClassAMPSerial.h"
#include "services/Win32Util.h"

namespace {

class ReadingLoopTest : public ::testing::Test {
protected:
    void SetUp() override {
        log_ = std::make_unique<EventLog>("Loop Test EventLog", root_.Drive("C:\\Data\\LoopTest").c_str());
        sonic_ = std::make_unique<SonicMetek3ClassAMPSerial>("Metek", "666", *log_);
        now_.dwHighDateTime = 0x01DC0000;
        now_.dwLowDateTime = 0;
    }

    void Receive(const std::string &bytes) {
        ASSERT_LE(sonic_->ReceiveAreaCount + bytes.size(),
                  static_cast<size_t>(SerialAcquisition::ReceiveAreaSize));
        memcpy(sonic_->ReceiveArea + sonic_->ReceiveAreaCount, bytes.data(), bytes.size());
        sonic_->ProcessReceived(static_cast<DWORD>(bytes.size()), now_, 0);
    }
    std::string Text(int buffer, DWORD index) {
        const SampleRecord &r = sonic_->Buffers[buffer].Records[index];
        return std::string(r.Text, static_cast<size_t>(r.Length));
    }

    TestRoot root_;
    std::unique_ptr<EventLog> log_;
    std::unique_ptr<SonicMetek3ClassAMPSerial> sonic_;
    FILETIME now_ = {};
};

TEST_F(ReadingLoopTest, LinesSplitAcrossReadsAreJoined) {
    Receive("S1,1.0,2.0\nS2,3.");
    EXPECT_EQ(sonic_->ReceiveAreaCount, 5u);
    Receive("0,4.0\n\nS3");
    sonic_->HandOverBuffer();
    ASSERT_EQ(sonic_->Buffers[0].SampleCount.load(), 3u);
    EXPECT_EQ(Text(0, 0), "S1,1.0,2.0");
    EXPECT_EQ(Text(0, 1), "S2,3.0,4.0");
    EXPECT_EQ(Text(0, 2), "");  // an empty line is a record too
    EXPECT_EQ(sonic_->Buffers[0].Records[0].Status, SampleGood);
    EXPECT_EQ(sonic_->Buffers[0].Records[1].Text[10], '\0');
    EXPECT_EQ(sonic_->LinesReceived, 3u);
    EXPECT_EQ(sonic_->ReceiveAreaCount, 2u);  // "S3" waits for its terminator
    EXPECT_EQ(WaitForSingleObject(sonic_->Buffers[0].BufferReadyEvent, 0), WAIT_OBJECT_0);
    EXPECT_EQ(sonic_->FillBufferIndex, 1u);
}

TEST_F(ReadingLoopTest, StampsNeverDecreaseWithinABuffer) {
    Receive("a\nb\n");
    FILETIME earlier = now_;
    earlier.dwLowDateTime = 0;
    earlier.dwHighDateTime -= 1;  // the clock stepped back
    memcpy(sonic_->ReceiveArea, "c\n", 2);
    sonic_->ProcessReceived(2, earlier, 0);
    sonic_->HandOverBuffer();
    const SampleRecord *r = sonic_->Buffers[0].Records;
    EXPECT_EQ(r[0].TimeStamp.dwHighDateTime, now_.dwHighDateTime);
    EXPECT_EQ(r[1].TimeStamp.dwHighDateTime, now_.dwHighDateTime);
    EXPECT_EQ(r[2].TimeStamp.dwHighDateTime, now_.dwHighDateTime);  // held at the latest stamp
}

// Between clock steps the stamps never decrease along the whole stream: a wake-up whose clock
// reads a little earlier (a skew below the step threshold) gets the latest stamp, in the next
// buffer as well.
TEST_F(ReadingLoopTest, StampsNeverDecreaseAcrossBuffersAndWakeUps) {
    Receive("a\n");
    sonic_->HandOverBuffer();
    FILETIME earlier = UnitsToFileTime(FileTimeToUnits(now_) - 1);  // one tick back
    memcpy(sonic_->ReceiveArea, "b\n", 2);
    sonic_->ProcessReceived(2, earlier, 0);
    sonic_->HandOverBuffer();
    ASSERT_EQ(sonic_->Buffers[1].SampleCount.load(), 1u);
    EXPECT_EQ(FileTimeToUnits(sonic_->Buffers[1].Records[0].TimeStamp), FileTimeToUnits(now_));
}

// A wake-up whose clock moved more than the performance counter says is a step: the lines
// before it are handed over, the step goes with the next buffer, and the stamps after it
// follow the new clock.
TEST_F(ReadingLoopTest, ClockStepHandsOverAndStampsFollowTheNewClock) {
    LARGE_INTEGER frequency = {};
    ASSERT_TRUE(QueryPerformanceFrequency(&frequency));
    const LONGLONG counter = 5000;
    sonic_->NoteWakeUpClock(now_, counter);
    Receive("a\n");
    // One second later by the counter, the clock reads 59 s earlier: a step of -60 s.
    const ULONGLONG after = FileTimeToUnits(now_) - 59 * 10000000ULL;
    sonic_->NoteWakeUpClock(UnitsToFileTime(after), counter + frequency.QuadPart);
    EXPECT_EQ(sonic_->ClockStepsDetected, 1u);
    EXPECT_EQ(sonic_->Buffers[0].SampleCount.load(), 1u);  // handed over at the step
    EXPECT_EQ(sonic_->Buffers[0].ClockStepCount, 0u);
    memcpy(sonic_->ReceiveArea, "b\n", 2);
    sonic_->ProcessReceived(2, UnitsToFileTime(after), counter + frequency.QuadPart);
    sonic_->HandOverBuffer();
    const SampleBuffer &next = sonic_->Buffers[1];
    ASSERT_EQ(next.SampleCount.load(), 1u);
    EXPECT_EQ(FileTimeToUnits(next.Records[0].TimeStamp), after);
    ASSERT_EQ(next.ClockStepCount, 1u);
    EXPECT_EQ(next.ClockSteps[0].DetectedAt, after);
    EXPECT_EQ(next.ClockSteps[0].From, after - 10000000ULL);
    EXPECT_EQ(next.ClockSteps[0].Size, -60 * 10000000LL);

    // Slewing is no step: 0.05 % over ten seconds.
    const ULONGLONG later = after + 10 * 10000000ULL + 50000;
    sonic_->NoteWakeUpClock(UnitsToFileTime(later), counter + 11 * frequency.QuadPart);
    EXPECT_EQ(sonic_->ClockStepsDetected, 1u);
}

TEST_F(ReadingLoopTest, OverlongLineIsCutAndTheRestSkipped) {
    const int area = SerialAcquisition::ReceiveAreaSize;
    std::string longLine(area + 500, 'x');
    Receive(longLine.substr(0, area));
    EXPECT_EQ(sonic_->ReceiveAreaCount, 0u);
    Receive(longLine.substr(area) + "\nnext\n");
    sonic_->HandOverBuffer();
    ASSERT_EQ(sonic_->Buffers[0].SampleCount.load(), 2u);
    EXPECT_EQ(Text(0, 0), std::string(area, 'x'));
    EXPECT_EQ(Text(0, 1), "next");
    EXPECT_EQ(sonic_->LinesTruncated, 1u);
}

TEST_F(ReadingLoopTest, LineOfExactlyTheAreasLengthIsNotCountedAsCut) {
    const int area = SerialAcquisition::ReceiveAreaSize;
    Receive(std::string(area, 'y'));
    Receive("\nnext\n");
    // A longer line across reads: cut once, however its rest arrives.
    Receive(std::string(area, 'z'));
    Receive(std::string(area, 'z'));
    Receive("zz\nlast\n");
    sonic_->HandOverBuffer();
    ASSERT_EQ(sonic_->Buffers[0].SampleCount.load(), 4u);
    EXPECT_EQ(Text(0, 0), std::string(area, 'y'));
    EXPECT_EQ(Text(0, 1), "next");
    EXPECT_EQ(Text(0, 2), std::string(area, 'z'));
    EXPECT_EQ(Text(0, 3), "last");
    EXPECT_EQ(sonic_->LinesTruncated, 1u);
}

TEST_F(ReadingLoopTest, FullBufferIsHandedOverAtOnce) {
    for (DWORD i = 0; i < SampleBuffer::Capacity; ++i)
        Receive("L\n");
    EXPECT_EQ(sonic_->Buffers[0].SampleCount.load(), SampleBuffer::Capacity);
    EXPECT_EQ(WaitForSingleObject(sonic_->Buffers[0].BufferReadyEvent, 0), WAIT_OBJECT_0);
    Receive("M\n");
    sonic_->HandOverBuffer();
    EXPECT_EQ(sonic_->Buffers[1].SampleCount.load(), 1u);
    EXPECT_EQ(sonic_->BuffersHandedOver, 2u);
}

TEST_F(ReadingLoopTest, BufferHeldByTheArchiveIsNeverWritten) {
    // The archive still holds buffer 0 from a previous round.
    sonic_->Buffers[0].SampleCount.store(7);
    char *before = sonic_->Buffers[0].Records[0].Text;
    Receive("lost 1\nlost 2\n");
    EXPECT_EQ(sonic_->LinesLost, 2u);
    EXPECT_EQ(sonic_->Buffers[0].SampleCount.load(), 7u);
    EXPECT_EQ(sonic_->Buffers[0].Records[0].Text, before);

    sonic_->Buffers[0].SampleCount.store(0);  // the archive is done with it
    Receive("kept\n");
    sonic_->HandOverBuffer();
    ASSERT_EQ(sonic_->Buffers[0].SampleCount.load(), 1u);
    EXPECT_EQ(Text(0, 0), "kept");
    EXPECT_EQ(sonic_->LinesLost, 2u);
}

}  // namespace
