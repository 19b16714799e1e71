// The archive engine with hand-built buffers: raw files split at the hour, headers, time
// keys, the per-pass entries, lost files, and the archive thread's start, passes and stop.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>

#include "ArchiveFixture.h"

using namespace archivetest;

namespace {

using ArchiveTest = ArchiveFixture;

TEST_F(ArchiveTest, PassSpanningAnHourBoundarySplitsBetweenTheHourFiles) {
    Configure(2, 1);
    Fill(0, {{"a\r\n", Stamp(2026, 12, 8, 13, 59, 59, 500), SampleGood},
             {"b\r\n", Stamp(2026, 12, 8, 13, 59, 59, 999), SampleBad},
             {"c\r\n", Stamp(2026, 12, 8, 14, 0, 0, 0), SampleGood},
             {"d\r\n", Stamp(2026, 12, 8, 14, 0, 0, 250), SampleGood}});
    EXPECT_TRUE(Pass(0));
    EXPECT_EQ(engine->Buffers[0].SampleCount, 0u);

    EXPECT_EQ(DataFiles(data, "_raw.txt"),
              (std::vector<std::string>{"lab02634213_raw.txt", "lab02634214_raw.txt"}));
    EXPECT_EQ(Raw("lab02634213_raw.txt"), "12/08/2026 13:00 Metek (SN: 666)\r\n5959500 a\r\n");
    EXPECT_EQ(Raw("lab02634214_raw.txt"), "12/08/2026 14:00 Metek (SN: 666)\r\n0000000 c\r\n0000250 d\r\n");

    // The next pass appends to the hour's file without a second header.
    Fill(1, {{"e\r\n", Stamp(2026, 12, 8, 14, 10, 0, 7), SampleGood}});
    EXPECT_TRUE(Pass(1));
    EXPECT_EQ(Raw("lab02634214_raw.txt"),
              "12/08/2026 14:00 Metek (SN: 666)\r\n0000000 c\r\n0000250 d\r\n1000007 e\r\n");
}

// With minutes in the template, each record goes to the file of its own minute, also when a
// stamp goes back to a minute seen before within the pass.
TEST_F(ArchiveTest, MinuteFilesFollowEveryRecordsStamp) {
    Configure(2, 0);
    snprintf(engine->RawFileTemplate, sizeof engine->RawFileTemplate, "lab0<HHmm>_raw.txt");
    Fill(0, {{"a\r\n", Stamp(2026, 12, 8, 13, 58, 59, 999), SampleGood},
             {"b\r\n", Stamp(2026, 12, 8, 13, 59, 0, 0), SampleGood},
             {"c\r\n", Stamp(2026, 12, 8, 13, 59, 59, 999), SampleGood},
             {"d\r\n", Stamp(2026, 12, 8, 13, 58, 30, 0), SampleGood},
             {"e\r\n", Stamp(2026, 12, 8, 14, 0, 0, 0), SampleGood}});
    EXPECT_TRUE(Pass(0));
    EXPECT_EQ(DataFiles(data, "_raw.txt"),
              (std::vector<std::string>{"lab01358_raw.txt", "lab01359_raw.txt", "lab01400_raw.txt"}));
    EXPECT_EQ(Raw("lab01358_raw.txt"), "12/08/2026 13:00 Metek (SN: 666)\r\na\r\nd\r\n");
    EXPECT_EQ(Raw("lab01359_raw.txt"), "12/08/2026 13:00 Metek (SN: 666)\r\nb\r\nc\r\n");
    EXPECT_EQ(Raw("lab01400_raw.txt"), "12/08/2026 14:00 Metek (SN: 666)\r\ne\r\n");
}

TEST_F(ArchiveTest, HeaderOnlyInANewOrEmptyFile) {
    std::filesystem::create_directories(data);
    { std::ofstream(data + "/lab02634214_raw.txt", std::ios::binary); }
    { std::ofstream(data + "/lab02634215_raw.txt", std::ios::binary) << "x\r\n"; }
    Configure(2, 0);
    Fill(0, {{"a\r\n", Stamp(2026, 12, 8, 14, 59, 0, 0), SampleGood},
             {"b\r\n", Stamp(2026, 12, 8, 15, 1, 0, 0), SampleGood}});
    Pass(0);
    EXPECT_EQ(Raw("lab02634214_raw.txt"), "12/08/2026 14:00 Metek (SN: 666)\r\na\r\n");
    EXPECT_EQ(Raw("lab02634215_raw.txt"), "x\r\nb\r\n");
}

TEST_F(ArchiveTest, TimeKeysAndHeadersOfBothFormats) {
    Configure(1, 1);
    Fill(0, {{"S\r\n", Stamp(2026, 12, 8, 14, 30, 5, 123), SampleGood}});
    Pass(0);
    EXPECT_EQ(Raw("lab02634214_raw.txt"), "12/08/26 Metek (SN: 666)\r\n143005123 S\r\n");

    std::filesystem::remove(data + "/lab02634214_raw.txt");
    engine->RawTimeKeyFormat = 2;
    engine->BeginArchive(state);
    Fill(1, {{"S\r\n", Stamp(2026, 12, 8, 14, 30, 5, 123), SampleGood}});
    Pass(1);
    EXPECT_EQ(Raw("lab02634214_raw.txt"), "12/08/2026 14:00 Metek (SN: 666)\r\n3005123 S\r\n");
}

TEST_F(ArchiveTest, WithoutKeysOrKnownFormatOnlyTheLinesAreWritten) {
    Configure(7, 1);
    Fill(0, {{"S\r\n", Stamp(2026, 12, 8, 14, 30, 5, 123), SampleGood}});
    Pass(0);
    EXPECT_EQ(Raw("lab02634214_raw.txt"), "S\r\n");
}

TEST_F(ArchiveTest, ArchivingEntryCountsEveryStatusOnce) {
    Configure(2, 1);
    std::vector<Sample> samples;
    for (int i = 0; i < 100; ++i) {
        SHORT status = i < 90 ? SampleGood : i < 96 ? SampleBlackout : SampleBad;
        samples.push_back({"line\r\n", Stamp(2026, 12, 8, 10, 0, i / 10, (i % 10) * 100), status});
    }
    Fill(2, samples);
    Pass(2);
    auto entries = LogMessages(data, 5017);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(
        entries[0],
        "Metek1: Archiving 90 of 100 raw data samples. Excluded samples: Bad = 4  Blackout = 6  Edited = 0");
    std::string text = Raw("lab02634210_raw.txt");
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 91);

    // The counters start again from zero, and a pass without exclusions has no suffix.
    Fill(3, {{"a\r\n", Stamp(2026, 12, 8, 10, 5, 0, 0), SampleGood},
             {"b\r\n", Stamp(2026, 12, 8, 10, 5, 0, 1), SampleGood}});
    Pass(3);
    entries = LogMessages(data, 5017);
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[1], "Metek1: Archiving 2 of 2 raw data samples.");
}

TEST_F(ArchiveTest, EmptyBufferTouchesNoFile) {
    Configure(2, 1);
    engine->Buffers[1].SampleCount = 0;
    EXPECT_TRUE(Pass(1));
    EXPECT_TRUE(DataFiles(data, "_raw.txt").empty());
    EXPECT_TRUE(LogMessages(data, 5017).empty());
    EXPECT_TRUE(LogMessages(data, 5019).empty());
}

TEST_F(ArchiveTest, BufferOfEmptyTextsIsHandedBackWithoutFiles) {
    Configure(2, 1);
    Fill(0, {{"", Stamp(2026, 12, 8, 10, 0, 0, 0), SampleGood},
             {"", Stamp(2026, 12, 8, 10, 0, 0, 1), SampleBad},
             {"", Stamp(2026, 12, 8, 10, 0, 0, 2), SampleGood}});
    EXPECT_TRUE(Pass(0));
    EXPECT_EQ(engine->Buffers[0].SampleCount, 0u);
    EXPECT_EQ(LogMessages(data, 5019),
              std::vector<std::string>{"Metek1:  All 3 raw data samples are empty. No samples archived."});
    EXPECT_TRUE(LogMessages(data, 5017).empty());
    EXPECT_TRUE(DataFiles(data, "_raw.txt").empty());
}

TEST_F(ArchiveTest, BytesOfAnUnwritableFileAreKeptForItsLateFileNotMovedToTheNextFile) {
    // A directory in place of the 13 h file makes it impossible to open.
    std::filesystem::create_directories(data + "/lab02634213_raw.txt");
    Configure(2, 1);
    Fill(0, {{"a\r\n", Stamp(2026, 12, 8, 13, 59, 59, 0), SampleGood},
             {"b\r\n", Stamp(2026, 12, 8, 14, 0, 1, 0), SampleGood}});
    Pass(0);
    EXPECT_EQ(Raw("lab02634214_raw.txt"), "12/08/2026 14:00 Metek (SN: 666)\r\n0001000 b\r\n");
    EXPECT_EQ(LogMessages(data, 5004),
              std::vector<std::string>{"Metek1: Error opening file " +
                                       root.Drive("C:\\Data\\Archive\\lab02634213_raw.txt") +
                                       " (error 5; 0 samples lost, 1 kept for a later write)"});
    EXPECT_EQ(engine->Buffers[0].SampleCount, 0u);
    EXPECT_TRUE(LogMessages(data, 5030).empty());

    // The next pass writes the kept line to the 13 h file's late file, with its own header.
    Fill(1, {{"c\r\n", Stamp(2026, 12, 8, 14, 0, 2, 0), SampleGood}});
    Pass(1);
    EXPECT_EQ(Raw("lab02634214_raw.txt"), "12/08/2026 14:00 Metek (SN: 666)\r\n0001000 b\r\n0002000 c\r\n");
    EXPECT_EQ(Raw("lab02634213_late_raw.txt"), "12/08/2026 13:00 Metek (SN: 666)\r\n5959000 a\r\n");
    EXPECT_EQ(LogMessages(data, 5030),
              std::vector<std::string>{
                  "Metek1: Raw data files can be written again. 1 samples were kept and written "
                  "late to their late files, 0 samples lost."});
    EXPECT_EQ(LogMessages(data, 5004).size(), 1u);
}

TEST_F(ArchiveTest, DisabledRawArchivingWritesNothingButFreesTheBuffer) {
    Configure(2, 1, 0);
    EXPECT_EQ(engine->RawArchivingEnabled, 0);
    EXPECT_EQ(LogMessages(data, 5014), std::vector<std::string>{"Metek1: Raw data archiving disabled."});
    Fill(0, {{"a\r\n", Stamp(2026, 12, 8, 13, 59, 59, 0), SampleGood}});
    Pass(0);
    EXPECT_TRUE(DataFiles(data, "_raw.txt").empty());
    EXPECT_EQ(engine->Buffers[0].SampleCount, 0u);
}

TEST_F(ArchiveTest, PassEndsTheLoopWhenAStopArrived) {
    Configure(2, 1);
    Fill(0, {{"a\r\n", Stamp(2026, 12, 8, 13, 0, 0, 0), SampleGood}});
    SetEvent(engine->ArchiveStopEvent);
    EXPECT_FALSE(Pass(0));
    EXPECT_EQ(Raw("lab02634213_raw.txt"), "12/08/2026 13:00 Metek (SN: 666)\r\n0000000 a\r\n");
}

TEST_F(ArchiveTest, CompressionRunIsSkippedWhileThePreviousOneIsGoing) {
    Configure(2, 1);
    engine->FileCompression = 1;
    engine->CompressionAge = 3600;
    // An unsignalled event stands in for a compression thread that is still running.
    HANDLE running = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    engine->CompressionThreadHandle = running;
    state.PreviousTakeTime.wHour = 25;  // no take time has this hour: the pass sees a change
    Fill(0, {{"a\r\n", Stamp(2026, 12, 8, 13, 0, 0, 0), SampleGood}});
    Pass(0);
    EXPECT_EQ(LogMessages(data, 5025),
              std::vector<std::string>{"Metek1: Compression run skipped: the previous run is still going."});
    // No run started: the running one is still the engine's, and no threshold was logged.
    EXPECT_EQ(WaitForSingleObject(engine->CompressionThreadHandle, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_TRUE(LogMessages(data, 5002).empty());

    // Once it has finished, the next hour change starts a new run, which logs its threshold
    // and its report. (Handle values say nothing here: Windows reuses a closed handle's value.)
    SetEvent(running);
    state.PreviousTakeTime.wHour = 25;
    Fill(1, {{"b\r\n", Stamp(2026, 12, 8, 14, 0, 0, 0), SampleGood}});
    Pass(1);
    ASSERT_NE(engine->CompressionThreadHandle, nullptr);
    ASSERT_EQ(WaitForSingleObject(engine->CompressionThreadHandle, 30000), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_EQ(LogMessages(data, 5002).size(), 1u);
    EXPECT_EQ(LogMessages(data, 5009).size(), 1u);
    EXPECT_EQ(LogMessages(data, 5025).size(), 1u);
}

TEST_F(ArchiveTest, StartWhileAStopIsRequestedDoesNothing) {
    SetEvent(engine->StopRequestEvent);
    EXPECT_EQ(engine->StartArchiveEngine(2, 1, 1, DataDirectory, "lab0<YYJJJHH>_raw.txt", "", "", 6, 60, 60,
                                         0, 3600),
              0);
    EXPECT_EQ(engine->ArchiveThreadHandle, nullptr);
    EXPECT_TRUE(LogMessages(data, 5212).empty());
}

TEST_F(ArchiveTest, StatisticsPeriodOfZeroFallsBackToSixtySeconds) {
    EXPECT_EQ(engine->StartArchiveEngine(2, 1, 0, DataDirectory, "lab0<YYJJJHH>_raw.txt", DataDirectory,
                                         "lab0<YYJJJHH>_stats.txt", 0, 60, 0, 0, 3600),
              0);
    EXPECT_EQ(engine->StatsArchivePeriod, 60u);
    EXPECT_EQ(LogMessages(data, 5020),
              std::vector<std::string>{"Metek1: The specified StatsArchivePeriod is invalid (0 seconds). The "
                                       "default value of 60 will be used."});
}

TEST_F(ArchiveTest, ThreadArchivesAHandedOverBufferAndEndsOnStop) {
    EXPECT_EQ(engine->StartArchiveEngine(2, 1, 0, DataDirectory, "lab0<YYJJJHH>_raw.txt", "", "", 0, 60, 60,
                                         0, 3600),
              0);
    ASSERT_NE(engine->ArchiveThreadHandle, nullptr);
    EXPECT_EQ(engine->RawTimeKeyFormat, 2);
    EXPECT_EQ(engine->StatsArchivePeriod, 0u);  // no statistics directory: the period stays unset

    Fill(2, {{"a\r\n", Stamp(2026, 12, 8, 9, 0, 0, 1), SampleGood}});
    SetEvent(engine->EngineReadyEvent);
    SetEvent(engine->Buffers[2].BufferReadyEvent);
    ASSERT_EQ(WaitForSingleObject(engine->WrittenEvent, 60000), WAIT_OBJECT_0);

    SetEvent(engine->ArchiveStopEvent);
    ASSERT_EQ(WaitForSingleObject(engine->ArchiveThreadHandle, 60000), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(engine->ArchiveIdleEvent, 0), WAIT_OBJECT_0);
    EXPECT_EQ(engine->Buffers[2].SampleCount, 0u);
    EXPECT_EQ(Raw("lab02634209_raw.txt"), "12/08/2026 09:00 Metek (SN: 666)\r\n0000001 a\r\n");
    EXPECT_EQ(LogMessages(data, 5212), std::vector<std::string>{"Metek1: Starting archive engine."});
    EXPECT_EQ(LogMessages(data, 5013),
              std::vector<std::string>{
                  "Metek1: Raw data archiving enabled with an archiving period of 60 seconds."});
    EXPECT_EQ(LogMessages(data, 5016), std::vector<std::string>{"Metek1: File compression disabled."});
}

TEST_F(ArchiveTest, TheThreadWritesKeptTextToTheLateFileWhenItEnds) {
    // A directory in place of the 9 h file makes it impossible to open.
    std::filesystem::create_directories(data + "/lab02634209_raw.txt");
    ASSERT_EQ(engine->StartArchiveEngine(2, 1, 0, DataDirectory, "lab0<YYJJJHH>_raw.txt", "", "", 0, 60, 60,
                                         0, 3600),
              0);
    Fill(2, {{"a\r\n", Stamp(2026, 12, 8, 9, 0, 0, 1), SampleGood}});
    SetEvent(engine->EngineReadyEvent);
    SetEvent(engine->Buffers[2].BufferReadyEvent);
    ASSERT_EQ(WaitForSingleObject(engine->WrittenEvent, 60000), WAIT_OBJECT_0);
    SetEvent(engine->ArchiveStopEvent);
    ASSERT_EQ(WaitForSingleObject(engine->ArchiveThreadHandle, 60000), WAIT_OBJECT_0);

    EXPECT_EQ(Raw("lab02634209_late_raw.txt"), "12/08/2026 09:00 Metek (SN: 666)\r\n0000001 a\r\n");
    EXPECT_EQ(LogMessages(data, 5004).size(), 1u);
    EXPECT_EQ(LogMessages(data, 5030),
              std::vector<std::string>{
                  "Metek1: Raw data files can be written again. 1 samples were kept and written "
                  "late to their late files, 0 samples lost."});
}

TEST_F(ArchiveTest, StopArchivesEveryReadyBufferInRingOrderAndClosesThePeriodOnce) {
    ASSERT_EQ(engine->StartArchiveEngine(2, 1, 1, DataDirectory, "lab0<YYJJJHH>_raw.txt", DataDirectory,
                                         "lab0<YYJJJHH>_stats.txt", 0, 60, 60, 0, 3600),
              0);
    engine->PeriodFrom = Stamp(2026, 12, 8, 9, 0, 0, 0);
    // A backlog of three buffers and the stop, all there before the thread's first wait.
    Fill(0, {{"a\r\n", Stamp(2026, 12, 8, 9, 0, 0, 1), SampleGood}});
    Fill(1, {{"b\r\n", Stamp(2026, 12, 8, 9, 0, 1, 2), SampleGood}});
    Fill(2, {{"c\r\n", Stamp(2026, 12, 8, 9, 0, 2, 3), SampleGood},
             {"d\r\n", Stamp(2026, 12, 8, 9, 0, 3, 4), SampleGood}});
    for (int buffer = 0; buffer < 3; ++buffer)
        SetEvent(engine->Buffers[buffer].BufferReadyEvent);
    SetEvent(engine->ArchiveStopEvent);
    SetEvent(engine->EngineReadyEvent);
    ASSERT_EQ(WaitForSingleObject(engine->ArchiveThreadHandle, 60000), WAIT_OBJECT_0);

    for (int buffer = 0; buffer < 3; ++buffer) {
        EXPECT_EQ(engine->Buffers[buffer].SampleCount, 0u) << buffer;
        EXPECT_EQ(WaitForSingleObject(engine->Buffers[buffer].BufferReadyEvent, 0), WAIT_TIMEOUT) << buffer;
    }
    EXPECT_EQ(Raw("lab02634209_raw.txt"),
              "12/08/2026 09:00 Metek (SN: 666)\r\n0000001 a\r\n0001002 b\r\n0002003 c\r\n0003004 d\r\n");
    EXPECT_EQ(LogMessages(data, 5017).size(), 3u);
    // Only the last pass closes the partial period, at its last sample.
    std::vector<std::string> closed = LogMessages(data, 5003);
    ASSERT_EQ(closed.size(), 1u);
    EXPECT_EQ(closed[0], "Metek1: Archiving statistics for the period 00:00:000-00:03:004.");
    EXPECT_FALSE(engine->FinalPass);
}

TEST_F(ArchiveTest, StopWithNothingLeftClosesThePeriodWithAnEmptyPassOnlyAfterArchiving) {
    ASSERT_EQ(engine->StartArchiveEngine(2, 1, 1, DataDirectory, "lab0<YYJJJHH>_raw.txt", DataDirectory,
                                         "lab0<YYJJJHH>_stats.txt", 0, 60, 60, 0, 3600),
              0);
    // Nothing was ever archived: the stop writes no statistics.
    SetEvent(engine->ArchiveStopEvent);
    SetEvent(engine->EngineReadyEvent);
    ASSERT_EQ(WaitForSingleObject(engine->ArchiveThreadHandle, 60000), WAIT_OBJECT_0);
    EXPECT_TRUE(LogMessages(data, 5003).empty());
    CloseHandle(engine->ArchiveThreadHandle);
    engine->ArchiveThreadHandle = nullptr;

    // One buffer archived, then a stop with no buffer left: the period closes once.
    ResetEvent(engine->ArchiveStopEvent);
    // Stamped before the thread begins its period, so the sample cannot close that period.
    FILETIME stamp;
    GetSystemTimeAsFileTime(&stamp);
    engine->StatsArchivePeriod = 3600;
    ASSERT_EQ(engine->StartArchiveEngine(2, 1, 1, DataDirectory, "lab0<YYJJJHH>_raw.txt", DataDirectory,
                                         "lab0<YYJJJHH>_stats.txt", 0, 60, 3600, 0, 3600),
              0);
    Fill(0, {{"a\r\n", stamp, SampleGood}});
    SetEvent(engine->Buffers[0].BufferReadyEvent);
    ASSERT_EQ(WaitForSingleObject(engine->WrittenEvent, 60000), WAIT_OBJECT_0);
    EXPECT_TRUE(LogMessages(data, 5003).empty());
    SetEvent(engine->ArchiveStopEvent);
    ASSERT_EQ(WaitForSingleObject(engine->ArchiveThreadHandle, 60000), WAIT_OBJECT_0);
    EXPECT_EQ(LogMessages(data, 5003).size(), 1u);
}

// An engine thread that behaves as the reading loop does at a stop: the buffers it filled
// before are handed over, and once the stop is requested it hands over its partial buffer.
class FlushingEngine : public TestEngine {
public:
    using TestEngine::TestEngine;
    void Acquire() override {
        // EngineReadyEvent stays clear: the archive thread waits, and a backlog builds up.
        for (int buffer = 0; buffer < 3; ++buffer)
            SetEvent(Buffers[buffer].BufferReadyEvent);
        WaitForSingleObject(StopRequestEvent, INFINITE);
        SetRecord(*this, 3, 0, "e\r\n", Stamp(2026, 12, 8, 9, 0, 4, 5));
        Buffers[3].SampleCount.store(1, std::memory_order_release);
        SetEvent(Buffers[3].BufferReadyEvent);
    }
};

TEST_F(ArchiveTest, StopArchivesTheBacklogAndTheEngineThreadsLastBuffer) {
    auto flushing = std::make_unique<FlushingEngine>(*log);
    FlushingEngine &f = *flushing;
    engine = std::move(flushing);
    f.PeriodFrom = Stamp(2026, 12, 8, 9, 0, 0, 0);
    Fill(0, {{"a\r\n", Stamp(2026, 12, 8, 9, 0, 0, 1), SampleGood}});
    Fill(1, {{"b\r\n", Stamp(2026, 12, 8, 9, 0, 1, 2), SampleGood}});
    Fill(2, {{"c\r\n", Stamp(2026, 12, 8, 9, 0, 2, 3), SampleGood}});
    ASSERT_EQ(f.Start(), 0u);
    ASSERT_EQ(f.StartArchiveEngine(2, 1, 1, DataDirectory, "lab0<YYJJJHH>_raw.txt", DataDirectory,
                                   "lab0<YYJJJHH>_stats.txt", 0, 60, 60, 0, 3600),
              0);
    f.Stop();

    EXPECT_EQ(f.ArchiveThreadHandle, nullptr);
    EXPECT_EQ(f.EngineThreadHandle, nullptr);
    EXPECT_EQ(Raw("lab02634209_raw.txt"),
              "12/08/2026 09:00 Metek (SN: 666)\r\n0000001 a\r\n0001002 b\r\n0002003 c\r\n0004005 e\r\n");
    for (int buffer = 0; buffer < DataAcquisition::BufferCount; ++buffer)
        EXPECT_EQ(f.Buffers[buffer].SampleCount, 0u) << buffer;
    std::vector<std::string> closed = LogMessages(data, 5003);
    ASSERT_EQ(closed.size(), 1u);
    EXPECT_EQ(closed[0], "Metek1: Archiving statistics for the period 00:00:000-00:04:005.");
    EXPECT_EQ(LogMessages(data, 5102), std::vector<std::string>{"Metek1: Stopping acquisition engine."});
    EXPECT_TRUE(LogMessages(data, DataAcquisition::ThreadTerminatedCode).empty());
}

// Holds the archive thread inside each raw-file write until the test opens the gate, and
// counts the writes.
class GatedEngine : public TestEngine {
public:
    explicit GatedEngine(EventLog &log) : TestEngine(log) {
        EnteredEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        GateEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        AllWrittenEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    }
    ~GatedEngine() override {
        CloseHandle(EnteredEvent);
        CloseHandle(GateEvent);
        CloseHandle(AllWrittenEvent);
    }
    void WriteRawFile(const char *name, SYSTEMTIME time) override {
        SetEvent(EnteredEvent);
        WaitForSingleObject(GateEvent, INFINITE);
        TestEngine::WriteRawFile(name, time);
        if (++Writes == ExpectedWrites)
            SetEvent(AllWrittenEvent);
    }
    HANDLE EnteredEvent = nullptr;
    HANDLE GateEvent = nullptr;
    HANDLE AllWrittenEvent = nullptr;
    std::atomic<int> Writes{0};
    int ExpectedWrites = 0;
};

TEST_F(ArchiveTest, BuffersAreArchivedInRingOrderWhenTheRingWraps) {
    auto gated = std::make_unique<GatedEngine>(*log);
    GatedEngine &g = *gated;
    engine = std::move(gated);
    g.ExpectedWrites = 5;
    ASSERT_EQ(
        g.StartArchiveEngine(2, 1, 0, DataDirectory, "lab0<YYJJJHH>_raw.txt", "", "", 0, 60, 60, 0, 3600), 0);
    SetEvent(g.EngineReadyEvent);

    // The archive thread takes buffer 0 and is held in its write.
    Fill(0, {{"t0\r\n", Stamp(2026, 12, 8, 9, 0, 0, 0), SampleGood}});
    SetEvent(g.Buffers[0].BufferReadyEvent);
    ASSERT_EQ(WaitForSingleObject(g.EnteredEvent, 60000), WAIT_OBJECT_0);

    // Meanwhile the producer hands over buffers 1 to 3.
    Fill(1, {{"t1\r\n", Stamp(2026, 12, 8, 9, 0, 1, 0), SampleGood}});
    Fill(2, {{"t2\r\n", Stamp(2026, 12, 8, 9, 0, 2, 0), SampleGood}});
    Fill(3, {{"t3\r\n", Stamp(2026, 12, 8, 9, 0, 3, 0), SampleGood}});
    for (int buffer = 1; buffer <= 3; ++buffer)
        SetEvent(g.Buffers[buffer].BufferReadyEvent);
    SetEvent(g.GateEvent);

    // Held again in the pass of buffer 1: buffer 0 is free, and the producer wraps around to it.
    ASSERT_EQ(WaitForSingleObject(g.EnteredEvent, 60000), WAIT_OBJECT_0);
    ASSERT_EQ(g.Buffers[0].SampleCount, 0u);
    Fill(0, {{"t4\r\n", Stamp(2026, 12, 8, 9, 0, 4, 0), SampleGood}});
    SetEvent(g.Buffers[0].BufferReadyEvent);

    // Buffers 2 and 3 hold older samples than the refilled buffer 0 and go first.
    for (int pass = 0; pass < 3; ++pass) {
        SetEvent(g.GateEvent);
        ASSERT_EQ(WaitForSingleObject(g.EnteredEvent, 60000), WAIT_OBJECT_0);
    }
    SetEvent(g.GateEvent);
    ASSERT_EQ(WaitForSingleObject(g.AllWrittenEvent, 60000), WAIT_OBJECT_0);
    EXPECT_EQ(Raw("lab02634209_raw.txt"),
              "12/08/2026 09:00 Metek (SN: 666)\r\n0000000 t0\r\n0001000 t1\r\n0002000 t2\r\n0003000 t3\r\n"
              "0004000 t4\r\n");
}

}  // namespace
