// The first-byte estimate on synthetic arrival readings (10 counts per character unless a
// test says otherwise), and the reading loop's stamps built on it.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "common/TestRoot.h"
#include "instrument/ArrivalEstimate.h"
#include "instrument/SonicMetek3ClassAMPSerial.h"
#include "services/Win32Util.h"

namespace {

int64_t Estimate(uint64_t byte, uint64_t last, const std::vector<ArrivalChunk> &chunks,
                 double counts = 10.0) {
    int64_t estimate = -1;
    EXPECT_TRUE(EstimateByteArrival(byte, last, chunks.data(), chunks.size(), counts, &estimate));
    return estimate;
}

TEST(ArrivalEstimate, CharacterTimeCountsStartDataParityAndStopBits) {
    EXPECT_DOUBLE_EQ(CharacterWireSeconds(57600, 'N', 8, 1), 10.0 / 57600);  // 173.6 us
    EXPECT_DOUBLE_EQ(CharacterWireSeconds(57600, 'E', 7, 1), 10.0 / 57600);  // 7E1
    EXPECT_DOUBLE_EQ(CharacterWireSeconds(9600, 'n', 8, 2), 11.0 / 9600);    // 8N2
    EXPECT_DOUBLE_EQ(CharacterWireSeconds(9600, 'O', 8, 2), 12.0 / 9600);
    EXPECT_DOUBLE_EQ(CharacterWireSeconds(1200, 'N', 5, 15), 7.5 / 1200);
    EXPECT_EQ(CharacterWireSeconds(0, 'N', 8, 1), 0.0);
}

TEST(ArrivalEstimate, OneBytePerReadingGivesTheFirstBytesReading) {
    // "abc\n": each byte read as it came, the first one's reading late by 25 counts.
    const std::vector<ArrivalChunk> chunks = {{1, 125}, {2, 110}, {3, 120}, {4, 130}};
    EXPECT_EQ(Estimate(0, 3, chunks), 100);  // the later readings correct the late one
    EXPECT_EQ(Estimate(3, 3, chunks), 130);  // the terminator: its own reading
}

TEST(ArrivalEstimate, WholeLineAndSeveralLinesInOneReading) {
    EXPECT_EQ(Estimate(0, 3, {{4, 500}}), 470);
    // "ab\ncd\n" and the start of a third line in one chunk: each line's first byte is placed
    // back by everything that came after it in the chunk.
    const std::vector<ArrivalChunk> chunks = {{8, 1000}};
    EXPECT_EQ(Estimate(0, 2, chunks), 930);
    EXPECT_EQ(Estimate(3, 5, chunks), 960);
    EXPECT_EQ(Estimate(2, 2, chunks), 950);  // the first line's terminator
    int64_t reading = 0;
    ASSERT_TRUE(ChunkReadingOf(2, chunks.data(), chunks.size(), &reading));
    EXPECT_EQ(reading, 1000);  // uncorrected, for stamps at the terminator
    EXPECT_FALSE(ChunkReadingOf(8, chunks.data(), chunks.size(), &reading));
}

TEST(ArrivalEstimate, LineSplitAcrossReadingsTakesTheTightestBound) {
    // Bytes 2..6 in chunks ending at 4 and 7; chunks before and after the line are ignored.
    const std::vector<ArrivalChunk> chunks = {{2, 10}, {4, 200}, {7, 260}, {9, 270}};
    EXPECT_EQ(Estimate(2, 6, chunks), 190);
    // A late first part: the second chunk bounds it better.
    const std::vector<ArrivalChunk> late = {{4, 300}, {7, 260}};
    EXPECT_EQ(Estimate(2, 6, late), 220);
    int64_t estimate = 0;
    EXPECT_FALSE(EstimateByteArrival(9, 10, chunks.data(), chunks.size(), 10.0, &estimate));
    // Bytes that came faster than the wire (a burst through a pty): never before the reading
    // of the chunk before them, when they had not come yet.
    EXPECT_EQ(Estimate(2, 40, {{2, 150}, {41, 400}}), 150);
}

TEST(ArrivalEstimate, SevenEOneAndEightNTwoAtTheirCharacterTimes) {
    // A 12-byte line read whole at 9600 baud: 11 characters of 1.0417 ms (7E1) or 1.1458 ms
    // (8N2), in counts of a 10 MHz counter.
    const double e71 = CharacterWireSeconds(9600, 'E', 7, 1) * 1e7;
    const double n82 = CharacterWireSeconds(9600, 'N', 8, 2) * 1e7;
    EXPECT_EQ(Estimate(0, 11, {{12, 1000000}}, e71), 1000000 - 114583);
    EXPECT_EQ(Estimate(0, 11, {{12, 1000000}}, n82), 1000000 - 126042);
}

// The reading loop: readings noted with the bytes, stamps at the first byte or the terminator.
class FirstByteStampTest : public ::testing::Test {
protected:
    void SetUp() override {
        log_ = std::make_unique<EventLog>("Stamp Test EventLog", root_.Drive("C:\\Data\\StampTest").c_str());
        sonic_ = std::make_unique<SonicMetek3ClassAMPSerial>("Metek", "666", *log_);
        sonic_->CountsPerMillisecond = 10000.0;  // 10 MHz: one count is one 100-ns unit
        sonic_->CharacterCounts = 10.0;
        wake_ = 0x01DC000000000000ull;
    }
    // Bytes read with a reading (relative to the wake-up's counter 0) covering them and
    // `queuedAfter` more.
    void Receive(const std::string &bytes, LONGLONG counter, DWORD queuedAfter = 0, LONGLONG wakeShift = 0) {
        sonic_->NoteArrival(static_cast<DWORD>(bytes.size()) + queuedAfter, counter);
        memcpy(sonic_->ReceiveArea + sonic_->ReceiveAreaCount, bytes.data(), bytes.size());
        sonic_->ProcessReceived(static_cast<DWORD>(bytes.size()), UnitsToFileTime(wake_ + wakeShift), 0);
    }
    std::vector<LONGLONG> Stamps() {
        sonic_->HandOverBuffer();
        std::vector<LONGLONG> stamps;
        for (int b = 0; b < DataAcquisition::BufferCount; ++b)
            for (DWORD i = 0; i < sonic_->Buffers[b].SampleCount.load(); ++i)
                stamps.push_back(
                    static_cast<LONGLONG>(FileTimeToUnits(sonic_->Buffers[b].Records[i].TimeStamp) - wake_));
        return stamps;
    }

    TestRoot root_;
    std::unique_ptr<EventLog> log_;
    std::unique_ptr<SonicMetek3ClassAMPSerial> sonic_;
    ULONGLONG wake_ = 0;
};

TEST_F(FirstByteStampTest, LinesSplitAcrossReadsAndBuffersAreStampedAtTheirFirstByte) {
    Receive("ab\ncd", 100);  // "ab\n" whole; "cd" ends the chunk
    sonic_->HandOverBuffer();
    Receive("e\n", 500);  // "cde\n" finishes in the next buffer: "c" came at 100 - 10
    const std::vector<LONGLONG> stamps = Stamps();
    ASSERT_EQ(stamps.size(), 2u);
    EXPECT_EQ(stamps[0], 100 - 40);
    EXPECT_EQ(stamps[1], 90);
}

TEST_F(FirstByteStampTest, QueuedBytesAfterTheLineMoveItBackWithoutPlatformReadings) {
    // The wake-up's own reading: the line and 20 bytes still queued behind it had come.
    Receive("abcd\n", 1000, 20);
    sonic_->TimeStampAtStart = false;
    Receive("xy\n", 1000);  // covered by the same reading, which is the terminator's stamp
    const std::vector<LONGLONG> stamps = Stamps();
    ASSERT_EQ(stamps.size(), 2u);
    EXPECT_EQ(stamps[0], 1000 - 240);
    EXPECT_EQ(stamps[1], 1000);
}

TEST_F(FirstByteStampTest, AReadingThatComesEarlyNeverMovesStampsBack) {
    Receive("abcdefgh\n", 1000);     // first byte at 920
    Receive("ij\n", 700);            // a counter reading out of line: not before the last chunk's
    Receive("kl\n", 1100, 0, -500);  // a wake-up whose clock reads 500 units earlier: 1080 - 500
    Receive("mn\n", 1200);
    const std::vector<LONGLONG> stamps = Stamps();
    ASSERT_EQ(stamps.size(), 4u);
    EXPECT_EQ(stamps[0], 920);
    EXPECT_EQ(stamps[1], 1000);
    EXPECT_EQ(stamps[2], 1000);  // held at the latest stamp
    EXPECT_EQ(stamps[3], 1180);
}

TEST_F(FirstByteStampTest, EndStampsTakeTheTerminatorsReading) {
    sonic_->TimeStampAtStart = false;
    Receive("abc\n", 300);
    Receive("defg", 400);
    Receive("\n", 450);
    const std::vector<LONGLONG> stamps = Stamps();
    ASSERT_EQ(stamps.size(), 2u);
    EXPECT_EQ(stamps[0], 300);
    EXPECT_EQ(stamps[1], 450);
}

}  // namespace
