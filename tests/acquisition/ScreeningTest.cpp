// Sample screening: the blackout window after a clock synchronisation, the length check, the
// reinitialization request, and opening the shared clock-synchronisation block.
#include <gtest/gtest.h>

#include <memory>
#include <thread>

#include "ArchiveTestSupport.h"
#include "common/TestRoot.h"

using namespace archivetest;

namespace {

class ScreeningEngine : public DataAcquisition {
public:
    using DataAcquisition::DataAcquisition;
    void Acquire() override {}
};

class ScreeningTest : public testing::Test {
protected:
    void SetUp() override {
        log = std::make_unique<EventLog>("Screening Test EventLog", DataDirectory);
        engine = std::make_unique<ScreeningEngine>(*log);
        data = DataPath(root.Path());
        // A private block and mutex stand in for the shared ones, so that these tests never
        // disturb another process that uses the real names.
        blockMutex = CreateMutexA(nullptr, FALSE, nullptr);
        // The engine thread: an unsignalled event reads as a thread that is still running.
        engineThread = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        engine->EngineThreadHandle = engineThread;
    }
    void TearDown() override {
        engine->EngineThreadHandle = nullptr;
        CloseHandle(engineThread);
        CloseHandle(blockMutex);
    }
    void Publish(const SYSTEMTIME &time, DWORD blackoutPeriod) {
        block = time;
        engine->ClockSyncMutex = blockMutex;
        engine->ClockSyncView = &block;
        engine->ClockSyncActive = 1;
        engine->BlackoutPeriod = blackoutPeriod;
    }
    void Fill(int buffer, const std::vector<FILETIME> &stamps, const std::string &text = "u,v,w,T\r\n") {
        for (size_t i = 0; i < stamps.size(); ++i)
            SetRecord(*engine, buffer, static_cast<DWORD>(i), text, stamps[i], SampleEdited);
        engine->Buffers[buffer].SampleCount = static_cast<DWORD>(stamps.size());
        engine->CurrentBuffer = buffer;
    }
    SHORT Status(int buffer, int index) { return engine->Buffers[buffer].Records[index].Status; }

    TestRoot root;
    // The data directory under the test's root (on Linux the drive path itself).
    const std::string dataDirectory = root.Drive(archivetest::DataDirectory);
    const char *const DataDirectory = dataDirectory.c_str();
    std::string data;
    std::unique_ptr<EventLog> log;
    std::unique_ptr<ScreeningEngine> engine;
    HANDLE blockMutex = nullptr;
    HANDLE engineThread = nullptr;
    SYSTEMTIME block = {};
};

TEST_F(ScreeningTest, BlackoutWindowIncludesBothEnds) {
    Publish(Utc(2026, 12, 8, 12, 0, 0, 0), 6);
    Fill(0,
         {Stamp(2026, 12, 8, 11, 59, 59, 999), Stamp(2026, 12, 8, 12, 0, 0, 0),
          Stamp(2026, 12, 8, 12, 0, 3, 0), Stamp(2026, 12, 8, 12, 0, 6, 0), Stamp(2026, 12, 8, 12, 0, 6, 1)});
    engine->ScreenSamples();
    EXPECT_EQ(Status(0, 0), SampleGood);
    EXPECT_EQ(Status(0, 1), SampleBlackout);
    EXPECT_EQ(Status(0, 2), SampleBlackout);
    EXPECT_EQ(Status(0, 3), SampleBlackout);
    EXPECT_EQ(Status(0, 4), SampleGood);
    EXPECT_EQ(engine->ValidCount, 2);
    // One entry for the whole pass.
    EXPECT_EQ(
        LogMessages(data, 5006),
        std::vector<std::string>{"Metek1: Excluding 3 samples from the archive during the blackout period "
                                 "12/08/26 12:00:00:000 to 12/08/26 12:00:06:000."});
    EXPECT_TRUE(LogMessages(data, 5007).empty());
}

TEST_F(ScreeningTest, BlackoutIsCountedOnceForTheArchivingEntry) {
    Publish(Utc(2026, 12, 8, 12, 0, 0, 0), 6);
    Fill(1,
         {Stamp(2026, 12, 8, 12, 0, 1, 0), Stamp(2026, 12, 8, 12, 0, 2, 0), Stamp(2026, 12, 8, 12, 0, 7, 0)});
    engine->ScreenSamples();
    engine->ProcessRawSamples();
    EXPECT_EQ(engine->BlackoutCount, 2u);
    EXPECT_EQ(engine->ArchivedCount, 1u);
}

TEST_F(ScreeningTest, NoSynchronisationMeansNoBlackout) {
    engine->ClockSyncActive = 0;
    engine->BlackoutPeriod = 6;
    Fill(0, {Stamp(2026, 12, 8, 12, 0, 0, 0), Stamp(1601, 1, 1, 0, 0, 7, 0)});
    engine->ScreenSamples();
    EXPECT_EQ(Status(0, 0), SampleGood);
    EXPECT_EQ(Status(0, 1), SampleGood);
    EXPECT_TRUE(LogMessages(data, 5006).empty());

    // A block the writer has not written yet holds zeros and behaves the same.
    Publish(SYSTEMTIME{}, 6);
    Fill(1, {Stamp(2026, 12, 8, 12, 0, 0, 0)});
    engine->ScreenSamples();
    EXPECT_EQ(Status(1, 0), SampleGood);
}

TEST_F(ScreeningTest, NewSynchronisationTimeAppliesFromTheNextBuffer) {
    Publish(Utc(2026, 12, 8, 12, 0, 0, 0), 6);
    Fill(0, {Stamp(2026, 12, 8, 12, 10, 2, 0)});
    engine->ScreenSamples();
    EXPECT_EQ(Status(0, 0), SampleGood);

    block = Utc(2026, 12, 8, 12, 10, 0, 0);
    Fill(1, {Stamp(2026, 12, 8, 12, 10, 2, 0)});
    engine->ScreenSamples();
    EXPECT_EQ(Status(1, 0), SampleBlackout);

    // An invalid time in the block keeps the last valid one.
    block.wMonth = 13;
    Fill(2, {Stamp(2026, 12, 8, 12, 10, 5, 0)});
    engine->ScreenSamples();
    EXPECT_EQ(Status(2, 0), SampleBlackout);
}

// A second step published within the blackout of the first does not end the first window:
// every sample in either window is excluded.
TEST_F(ScreeningTest, EarlierPublishedWindowsStayInForce) {
    Publish(Utc(2026, 12, 8, 12, 0, 0, 0), 6);
    Fill(0, {Stamp(2026, 12, 8, 11, 59, 59, 0)});
    engine->ScreenSamples();
    block = Utc(2026, 12, 8, 12, 0, 3, 0);
    Fill(1, {Stamp(2026, 12, 8, 12, 0, 1, 600), Stamp(2026, 12, 8, 12, 0, 2, 900),
             Stamp(2026, 12, 8, 12, 0, 8, 0), Stamp(2026, 12, 8, 12, 0, 9, 1)});
    engine->ScreenSamples();
    EXPECT_EQ(Status(1, 0), SampleBlackout);
    EXPECT_EQ(Status(1, 1), SampleBlackout);
    EXPECT_EQ(Status(1, 2), SampleBlackout);
    EXPECT_EQ(Status(1, 3), SampleGood);
    EXPECT_EQ(
        LogMessages(data, 5006),
        (std::vector<std::string>{"Metek1: Excluding 1 samples from the archive during the blackout period "
                                  "12/08/26 12:00:03:000 to 12/08/26 12:00:09:000.",
                                  "Metek1: Excluding 2 samples from the archive during the blackout period "
                                  "12/08/26 12:00:00:000 to 12/08/26 12:00:06:000."}));
}

// Two steps published before the next pass: the archive reads the block while it waits, so
// the first time, replaced by the second before any buffer was screened, keeps its window.
TEST_F(ScreeningTest, ATimeReplacedBeforeThePassKeepsItsWindowOnceTheBlockWasRead) {
    Publish(Utc(2026, 12, 8, 12, 0, 0, 0), 6);
    Fill(0, {Stamp(2026, 12, 8, 11, 59, 50, 0)});
    engine->ScreenSamples();
    block = Utc(2026, 12, 8, 12, 0, 10, 0);
    engine->ReadClockSyncBlock();
    block = Utc(2026, 12, 8, 12, 0, 20, 0);
    engine->ReadClockSyncBlock();
    Fill(1, {Stamp(2026, 12, 8, 12, 0, 5, 0), Stamp(2026, 12, 8, 12, 0, 12, 0),
             Stamp(2026, 12, 8, 12, 0, 17, 0), Stamp(2026, 12, 8, 12, 0, 21, 0)});
    engine->ScreenSamples();
    EXPECT_EQ(Status(1, 0), SampleBlackout);  // the first time's window
    EXPECT_EQ(Status(1, 1), SampleBlackout);  // the window of the time replaced before the pass
    EXPECT_EQ(Status(1, 2), SampleGood);
    EXPECT_EQ(Status(1, 3), SampleBlackout);  // the current time's window
}

TEST_F(ScreeningTest, RecordsOfAnotherLengthAreBad) {
    engine->RequiredSampleSize = 9;
    Fill(0, {Stamp(2026, 12, 8, 12, 0, 0, 0)});
    SetRecord(*engine, 0, 1, "short", Stamp(2026, 12, 8, 13, 4, 5, 67), SampleGood);
    engine->Buffers[0].SampleCount = 2;
    engine->ScreenSamples();
    EXPECT_EQ(Status(0, 0), SampleGood);
    EXPECT_EQ(Status(0, 1), SampleBad);
    EXPECT_EQ(LogMessages(data, 5005),
              std::vector<std::string>{
                  "Metek1: Invalid sample detected at 13:04:05:067. The sample size of 5 does not "
                  "match the required sample size of 9. Sample excluded from archive."});
}

// Bytes that are not printable text, and a blank in the first field, mark a garbled line:
// bad, reported once per pass; lines with a carriage return inside get an entry of their own.
TEST_F(ScreeningTest, GarbledRecordsAreBad) {
    engine->FieldSeparator = ',';
    const std::vector<std::pair<std::string, SHORT>> records = {
        {"S,1,2\r\n", SampleGood}, {"S\tX,1", SampleBad},
        {"S X,1", SampleBad},      {"S,1 , 2", SampleGood},
        {"S\rX,1,2", SampleBad},   {"S,1\r2,3\r", SampleBad},
        {"S,1,\x80", SampleBad},   {std::string("S,1\0,2", 6), SampleBad},
        {"", SampleGood},          {"S,1\r", SampleGood},
    };
    for (size_t i = 0; i < records.size(); ++i)
        SetRecord(*engine, 2, static_cast<DWORD>(i), records[i].first,
                  Stamp(2026, 12, 8, 13, 4, 5, 67 + int(i)), SampleEdited);
    engine->Buffers[2].SampleCount = static_cast<DWORD>(records.size());
    engine->CurrentBuffer = 2;
    engine->ScreenSamples();
    for (size_t i = 0; i < records.size(); ++i)
        EXPECT_EQ(Status(2, static_cast<int>(i)), records[i].second) << i;
    EXPECT_EQ(
        LogMessages(data, 5005),
        std::vector<std::string>{"Metek1: Invalid sample detected at 13:04:05:068. 6 samples of this buffer "
                                 "hold bytes that are not printable text, or a blank in the status field. "
                                 "Samples excluded from archive."});
    EXPECT_EQ(LogMessages(data, 5027),
              std::vector<std::string>{"Metek1: 2 lines with a carriage return inside."});

    // Without a known separator only the bytes count.
    engine->FieldSeparator = 0;
    Fill(3, {Stamp(2026, 12, 8, 13, 4, 6, 0)}, "S X,1");
    engine->ScreenSamples();
    EXPECT_EQ(Status(3, 0), SampleGood);
    EXPECT_EQ(LogMessages(data, 5005).size(), 1u);
}

// Printable line noise is no sample: an empty status, too few fields, or a value field that
// is not wholly a number (a blank one reads as 0.0) makes a record bad; empty value fields
// stay allowed (missing values).
TEST_F(ScreeningTest, RecordsWithoutTheInstrumentsFieldsAreBad) {
    engine->FieldSeparator = ',';
    engine->RequiredFieldCount = 5;
    engine->FirstNumericField = 2;
    engine->LastNumericField = 5;
    const std::vector<std::pair<std::string, SHORT>> records = {
        {"ABCDEFGHI1250,1.50,-2.25,0.10,20.30,5.0\r\n", SampleGood},
        {",1.50,-2.25,0.10,20.30", SampleBad},
        {"S,1,2,3", SampleBad},
        {"S,1,2,3,4", SampleGood},
        {"S,,,,\r", SampleGood},
        {"S,1,2, ,4", SampleBad},
        {"S, +1.5 ,-.5,7.,2e-3,x", SampleGood},
        {"S,nan,-INF,Infinity,4", SampleGood},
        {"S,abc,2,3,4", SampleBad},
        {"S,1,2,3,4x", SampleBad},
        {"S,1,2,1e,4", SampleBad},
        {"S,1,2,.,4", SampleBad},
        {"S,1,2,3,nanx", SampleBad},
        {"S,1 2,2,3,4", SampleBad},
    };
    for (size_t i = 0; i < records.size(); ++i)
        SetRecord(*engine, 1, static_cast<DWORD>(i), records[i].first,
                  Stamp(2026, 12, 8, 13, 4, 5, 10 + int(i)), SampleEdited);
    engine->Buffers[1].SampleCount = static_cast<DWORD>(records.size());
    engine->CurrentBuffer = 1;
    engine->ScreenSamples();
    for (size_t i = 0; i < records.size(); ++i)
        EXPECT_EQ(Status(1, static_cast<int>(i)), records[i].second) << records[i].first;
    EXPECT_EQ(engine->ValidCount, 5);
    EXPECT_EQ(LogMessages(data, 5005),
              std::vector<std::string>{
                  "Metek1: Invalid sample detected at 13:04:05:011. 9 samples of this buffer lack the "
                  "instrument's fields: an empty status field, fewer than 5 fields, or a value that is not "
                  "a number. Samples excluded from archive."});
}

TEST_F(ScreeningTest, BufferWithoutGoodSamplesRequestsReinitialization) {
    Publish(Utc(2026, 12, 8, 12, 0, 0, 0), 6);
    Fill(0, {Stamp(2026, 12, 8, 12, 0, 1, 0), Stamp(2026, 12, 8, 12, 0, 2, 0)});
    engine->ScreenSamples();
    EXPECT_EQ(WaitForSingleObject(engine->ReinitRequestEvent, 0), WAIT_OBJECT_0);
    EXPECT_EQ(LogMessages(data, 5007),
              std::vector<std::string>{
                  "Metek1: The last 2 samples are invalid. Acquisition initialization started."});
    EXPECT_EQ(LogMessages(data, 5008),
              std::vector<std::string>{"Metek1: Acquisition initialization finished."});
    EXPECT_TRUE(LogMessages(data, 6727).empty());
}

TEST_F(ScreeningTest, RequestWhileAReinitializationRunsIsRefused) {
    Publish(Utc(2026, 12, 8, 12, 0, 0, 0), 6);
    ResetEvent(engine->ReinitIdleEvent);
    Fill(0, {Stamp(2026, 12, 8, 12, 0, 1, 0)});
    engine->ScreenSamples();
    EXPECT_EQ(WaitForSingleObject(engine->ReinitRequestEvent, 0), WAIT_TIMEOUT);
    EXPECT_EQ(LogMessages(data, 6727),
              std::vector<std::string>{"Metek1: Acquisition reinitialization already started."});
    EXPECT_EQ(LogMessages(data, 5008).size(), 1u);
}

TEST_F(ScreeningTest, RequestAfterTheEngineThreadEndedIsRefused) {
    Publish(Utc(2026, 12, 8, 12, 0, 0, 0), 6);
    SetEvent(engineThread);
    Fill(0, {Stamp(2026, 12, 8, 12, 0, 1, 0)});
    engine->ScreenSamples();
    EXPECT_EQ(WaitForSingleObject(engine->ReinitRequestEvent, 0), WAIT_TIMEOUT);
    EXPECT_EQ(LogMessages(data, 6727),
              std::vector<std::string>{"Metek1: Acquisition reinitialization can not be performed when the "
                                       "acquisition engine is stopped."});
    EXPECT_EQ(LogMessages(data, 5008).size(), 1u);
}

TEST_F(ScreeningTest, EmptyBufferLogsAndRequestsNothing) {
    Publish(Utc(2026, 12, 8, 12, 0, 0, 0), 6);
    Fill(0, {});
    engine->ScreenSamples();
    EXPECT_EQ(WaitForSingleObject(engine->ReinitRequestEvent, 0), WAIT_TIMEOUT);
    EXPECT_TRUE(LogMessages(data, 5007).empty());
    EXPECT_TRUE(LogMessages(data, 5006).empty());
}

// The shared block itself: opened at archive start, also when the writer of the mutex died
// while holding it.
TEST_F(ScreeningTest, OpensTheSharedBlockAfterAnAbandonedMutex) {
    // This handle keeps the named mutex alive while its owner thread ends.
    HANDLE keep = CreateMutexA(nullptr, FALSE, "ClockSyncMutex");
    ASSERT_NE(keep, nullptr);
    std::thread holder([] {
        HANDLE mutex = CreateMutexA(nullptr, FALSE, "ClockSyncMutex");
        WaitForSingleObject(mutex, INFINITE);
        CloseHandle(mutex);  // ends without releasing it
    });
    holder.join();

    engine->BlackoutPeriod = 6;
    engine->OpenClockSyncBlock();
    EXPECT_EQ(engine->ClockSyncActive, 1);
    ASSERT_NE(engine->ClockSyncMutex, nullptr);
    ASSERT_NE(engine->ClockSyncView, nullptr);
    EXPECT_TRUE(LogMessages(data, 5023).empty());

    // The start released the mutex: another thread can take it at once.
    DWORD taken = WAIT_FAILED;
    std::thread other([&taken] {
        HANDLE mutex = CreateMutexA(nullptr, FALSE, "ClockSyncMutex");
        taken = WaitForSingleObject(mutex, 0);
        if (taken == WAIT_OBJECT_0 || taken == WAIT_ABANDONED)
            ReleaseMutex(mutex);
        CloseHandle(mutex);
    });
    other.join();
    EXPECT_EQ(taken, WAIT_OBJECT_0);

    UnmapViewOfFile(engine->ClockSyncView);
    CloseHandle(engine->ClockSyncMapping);
    CloseHandle(engine->ClockSyncMutex);
    engine->ClockSyncView = nullptr;
    engine->ClockSyncMapping = nullptr;
    engine->ClockSyncMutex = nullptr;
    CloseHandle(keep);
}

}  // namespace
