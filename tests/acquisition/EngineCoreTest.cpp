// The engine core through a test engine whose Acquire runs a script: the events, the buffer
// hand-over, Start and Stop with their thread handling, and the processor assignment.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "acquisition/DataAcquisition.h"
#include "common/TestRoot.h"

namespace {

// What the test engine's Acquire does.
enum class Script {
    Return,        // sets Entered and returns at once
    Throw,         // raises, as the instrument does when its port cannot be opened
    Produce,       // fills and hands over the buffers of BufferSizes, then waits for the stop
    BlockForever,  // waits on an event nobody sets
    Reinitialize,  // clears ReinitIdleEvent, waits for AbortReinitEvent, sets it again
};

class ScriptedEngine : public DataAcquisition {
public:
    explicit ScriptedEngine(EventLog &log, Script script) : DataAcquisition(log), Mode(script) {
        Entered = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        Released = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        Never = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    }
    ~ScriptedEngine() override {
        CloseHandle(Entered);
        CloseHandle(Released);
        CloseHandle(Never);
    }

    void Acquire() override {
        AcquireCalls.fetch_add(1);
        switch (Mode) {
            case Script::Return:
                SetEvent(Entered);
                break;
            case Script::Throw:
                SetEvent(Entered);
                throw std::runtime_error("port missing");
            case Script::Produce:
                Produce();
                break;
            case Script::BlockForever:
                SetEvent(Entered);
                WaitForSingleObject(Never, INFINITE);
                break;
            case Script::Reinitialize:
                ResetEvent(ReinitIdleEvent);
                SetEvent(Entered);
                WaitForSingleObject(AbortReinitEvent, INFINITE);
                SetEvent(ReinitIdleEvent);
                WaitForSingleObject(StopRequestEvent, INFINITE);
                break;
        }
        AcquireReturned.store(true);
    }

    // The producer side of the ring: each record gets its own heap text "b<k> r<i>".
    void Produce() {
        SetEvent(EngineReadyEvent);
        int sequence = 0;
        for (DWORD size : BufferSizes) {
            SampleBuffer &buffer = Buffers[FillBufferIndex];
            // The buffer is the archive's until it has set SampleCount back to 0.
            while (buffer.SampleCount.load(std::memory_order_acquire) != 0)
                WaitForSingleObject(Released, INFINITE);
            for (DWORD i = 0; i < size; ++i) {
                FillRecord = &buffer.Records[i];
                char text[32];
                const int length = std::snprintf(text, sizeof text, "s%d", sequence);
                delete[] FillRecord->Text;
                FillRecord->Text = new char[length + 1];
                std::memcpy(FillRecord->Text, text, length + 1);
                FillRecord->Length = length;
                FillRecord->Status = SampleGood;
                FillRecord->TimeStamp.dwLowDateTime = static_cast<DWORD>(sequence);
                ++sequence;
            }
            buffer.SampleCount.store(size, std::memory_order_release);
            SetEvent(buffer.BufferReadyEvent);
            FillBufferIndex = (FillBufferIndex + 1) % BufferCount;
            FillRecord = &Buffers[FillBufferIndex].Records[0];
        }
        WaitForSingleObject(StopRequestEvent, INFINITE);
    }

    Script Mode;
    std::vector<DWORD> BufferSizes;
    HANDLE Entered = nullptr;   // Acquire has begun (and, for Reinitialize, cleared the idle event)
    HANDLE Released = nullptr;  // the consumer gave a buffer back
    HANDLE Never = nullptr;
    std::atomic<int> AcquireCalls{0};
    std::atomic<bool> AcquireReturned{false};
};

bool IsSet(HANDLE event) {
    return WaitForSingleObject(event, 0) == WAIT_OBJECT_0;
}

std::string ReadLogs(const std::string &directory) {
    std::string all;
    for (const auto &entry : std::filesystem::directory_iterator(directory)) {
        if (entry.path().extension() != ".log")
            continue;
        std::ifstream in(entry.path(), std::ios::binary);
        std::stringstream content;
        content << in.rdbuf();
        all += content.str();
    }
    return all;
}

size_t Count(const std::string &text, const std::string &what) {
    size_t count = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++count;
    return count;
}

class EngineCoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(std::filesystem::create_directory(root.Posix("c")));
        log = std::make_unique<EventLog>("Engine core test", root.Drive("C:\\Data").c_str());
        // Every test starts as a freshly loaded process would.
        ASSERT_EQ(DataAcquisition::LiveInstances, 0);
        DataAcquisition::NextProcessorIndex = 4;
        DataAcquisition::LogicalProcessorCount = 0;
    }

    std::unique_ptr<ScriptedEngine> Engine(Script script) {
        return std::make_unique<ScriptedEngine>(*log, script);
    }
    std::string Logs() { return ReadLogs(root.Posix("c/Data")); }

    TestRoot root;
    std::unique_ptr<EventLog> log;
};

// Exit code of the engine thread once it has ended.
DWORD EngineExitCode(DataAcquisition &engine) {
    EXPECT_EQ(WaitForSingleObject(engine.EngineThreadHandle, INFINITE), WAIT_OBJECT_0);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(engine.EngineThreadHandle, &code));
    return code;
}

}  // namespace

TEST_F(EngineCoreTest, ConstructionSetsUpNameBuffersAndEvents) {
    auto engine = Engine(Script::Return);
    EXPECT_STREQ(engine->Name, "Metek1");
    EXPECT_EQ(&engine->EventLogRef, log.get());
    EXPECT_EQ(engine->FillBufferIndex, 0u);
    EXPECT_EQ(engine->FillRecord, &engine->Buffers[0].Records[0]);
    EXPECT_EQ(engine->EngineThreadHandle, nullptr);
    EXPECT_EQ(engine->ArchiveThreadHandle, nullptr);
    EXPECT_NE(engine->DayStart.dwHighDateTime, 0u);
    for (const SampleBuffer &buffer : engine->Buffers) {
        EXPECT_EQ(buffer.SampleCount.load(), 0u);
        EXPECT_EQ(buffer.Records[0].Text, nullptr);
        EXPECT_EQ(buffer.Records[SampleBuffer::Capacity - 1].Status, SampleGood);
        EXPECT_EQ(buffer.Records[SampleBuffer::Capacity - 1].Length, 0);
    }

    EXPECT_FALSE(IsSet(engine->ReinitRequestEvent));
    EXPECT_FALSE(IsSet(engine->AbortReinitEvent));
    EXPECT_FALSE(IsSet(engine->StopRequestEvent));
    EXPECT_FALSE(IsSet(engine->ArchiveStopEvent));
    EXPECT_TRUE(IsSet(engine->ArchiveIdleEvent));
    EXPECT_TRUE(IsSet(engine->ReinitIdleEvent));
    EXPECT_FALSE(IsSet(engine->EngineReadyEvent));
    for (const SampleBuffer &buffer : engine->Buffers)
        EXPECT_FALSE(IsSet(buffer.BufferReadyEvent));

    // The seven are manual-reset: a wait leaves them set. The buffer events are auto-reset.
    SetEvent(engine->StopRequestEvent);
    EXPECT_TRUE(IsSet(engine->StopRequestEvent));
    EXPECT_TRUE(IsSet(engine->StopRequestEvent));
    SetEvent(engine->Buffers[2].BufferReadyEvent);
    EXPECT_TRUE(IsSet(engine->Buffers[2].BufferReadyEvent));
    EXPECT_FALSE(IsSet(engine->Buffers[2].BufferReadyEvent));
}

TEST_F(EngineCoreTest, FirstEngineReportsPriorityAndProcessorCount) {
    auto engine = Engine(Script::Return);
    const std::string logs = Logs();
    const bool realtime = GetPriorityClass(GetCurrentProcess()) == REALTIME_PRIORITY_CLASS;
    EXPECT_EQ(Count(logs, realtime ? "  5000  Metek1: Data acquisition process priority successfully set to "
                                     "REALTIME_PRIORITY_CLASS.\r\n"
                                   : "  5001  Metek1: Error setting the data acquisition process priority to "
                                     "REALTIME_PRIORITY_CLASS.\r\n"),
              1u);
    EXPECT_GT(DataAcquisition::LogicalProcessorCount, 0u);
    char counted[128];
    std::snprintf(
        counted, sizeof counted,
        "  5001  There are %lu logical processors available for data-acquisition thread dispatching.\r\n",
        static_cast<unsigned long>(DataAcquisition::LogicalProcessorCount));
    EXPECT_EQ(Count(logs, counted), 1u);
}

// Processor 4 first, then one more per engine, wrapping to 0 at the processor count; the
// sequence goes on after every engine is gone, and the next first engine counts afresh.
TEST_F(EngineCoreTest, ProcessorIndexSequenceAcrossEngines) {
    std::vector<std::unique_ptr<ScriptedEngine>> engines;
    engines.push_back(Engine(Script::Return));
    const DWORD count = DataAcquisition::LogicalProcessorCount;
    ASSERT_GT(count, 0u);
    EXPECT_EQ(engines[0]->ProcessorIndex, 4u);
    EXPECT_EQ(engines[0]->AffinityMask, 16u);
    EXPECT_EQ(DataAcquisition::LiveInstances, 1);

    DWORD expected = (5 < count) ? 5 : 0;
    for (int i = 1; i < 6; ++i) {
        engines.push_back(Engine(Script::Return));
        EXPECT_EQ(engines.back()->ProcessorIndex, expected) << "engine " << i;
        EXPECT_EQ(engines.back()->AffinityMask, 1u << expected);
        expected = (expected + 1 < count) ? expected + 1 : 0;
    }
    EXPECT_EQ(DataAcquisition::LiveInstances, 6);
    // Only the first live engine checked the priority class and counted.
    EXPECT_EQ(Count(Logs(), "logical processors available"), 1u);

    engines.clear();
    EXPECT_EQ(DataAcquisition::LiveInstances, 0);
    DataAcquisition::LogicalProcessorCount = 1000;  // must be recounted from 0
    auto again = Engine(Script::Return);
    EXPECT_EQ(again->ProcessorIndex, expected);
    EXPECT_EQ(DataAcquisition::LogicalProcessorCount, count);
    EXPECT_EQ(Count(Logs(), "logical processors available"), 2u);
}

TEST_F(EngineCoreTest, StartLogsAndSchedulesTheEngineThread) {
    auto engine = Engine(Script::BlockForever);
    ASSERT_EQ(engine->Start(), 0u);
    ASSERT_NE(engine->EngineThreadHandle, nullptr);
    EXPECT_NE(engine->ThreadId, 0u);
    ASSERT_EQ(WaitForSingleObject(engine->Entered, INFINITE), WAIT_OBJECT_0);
    SetEvent(engine->Never);
    EXPECT_EQ(EngineExitCode(*engine), 0u);
    EXPECT_TRUE(engine->AcquireReturned.load());
    engine->Stop();

    const std::string logs = Logs();
    EXPECT_EQ(Count(logs, "  5100  Metek1: Data acquisition engine start requested.\r\n"), 1u);
    EXPECT_EQ(Count(logs,
                    "  5106  Metek1: Data acquisition engine thread priority successfully set to "
                    "THREAD_PRIORITY_TIME_CRITICAL.\r\n") +
                  Count(logs,
                        "  5107  Metek1: Error setting the data acquisition engine thread priority to "
                        "THREAD_PRIORITY_TIME_CRITICAL.\r\n"),
              1u);
    // Processor 4 is granted only where the process may run there; a machine without it
    // gives the last processor of the process, with a warning instead of the error.
    DWORD_PTR processMask = 0, systemMask = 0;
    ASSERT_TRUE(GetProcessAffinityMask(GetCurrentProcess(), &processMask, &systemMask));
    if (DataAcquisition::LogicalProcessorCount <= 4) {
        int last = 0;
        for (int cpu = 0; cpu < 32; ++cpu)
            if (processMask & (DWORD_PTR(1) << cpu))
                last = cpu;
        char warning[300], assigned[300];
        snprintf(warning, sizeof warning,
                 "  5108  Metek1: This machine has no logical processor 'CPU 4' (%lu processors); the data "
                 "acquisition thread uses 'CPU %d', the last one the process may run on.\r\n",
                 static_cast<unsigned long>(DataAcquisition::LogicalProcessorCount), last);
        snprintf(assigned, sizeof assigned,
                 "  5101  Metek1: Successfully assigned the dedicated logical processor 'CPU %d' with "
                 "affinity mask (%lu) to the data acquisition thread.\r\n",
                 last, 1ul << last);
        EXPECT_EQ(Count(logs, warning), 1u) << logs;
        EXPECT_EQ(Count(logs, assigned), 1u) << logs;
        EXPECT_EQ(Count(logs, "Error asigning"), 0u);
    } else if (processMask & 16)
        EXPECT_EQ(Count(logs,
                        "  5101  Metek1: Successfully assigned the dedicated logical processor 'CPU 4' with "
                        "affinity mask (16) to the data acquisition thread.\r\n"),
                  1u);
    else
        EXPECT_EQ(Count(logs,
                        "  5101  Metek1: Error asigning a dedicated logical processor 'CPU 4' to the data "
                        "acquisition thread. Error code: 87\r\n"),
                  1u);
    EXPECT_EQ(Count(logs, "  5102  Metek1: Stopping acquisition engine.\r\n"), 1u);
}

TEST_F(EngineCoreTest, EngineThreadEndsWithOneWhenTheStopCameFirst) {
    auto engine = Engine(Script::Return);
    SetEvent(engine->StopRequestEvent);
    ASSERT_EQ(engine->Start(), 0u);
    EXPECT_EQ(EngineExitCode(*engine), 1u);
    EXPECT_EQ(engine->AcquireCalls.load(), 0);
    engine->Stop();
    EXPECT_FALSE(IsSet(engine->StopRequestEvent));
}

TEST_F(EngineCoreTest, AnExceptionFromAcquireEndsOnlyTheEngineThread) {
    auto engine = Engine(Script::Throw);
    ASSERT_EQ(engine->Start(), 0u);
    EXPECT_EQ(EngineExitCode(*engine), 2u);
    EXPECT_EQ(engine->AcquireCalls.load(), 1);
    EXPECT_FALSE(engine->AcquireReturned.load());
    engine->Stop();  // its wait for the ended thread returns at once
    EXPECT_EQ(engine->EngineThreadHandle, nullptr);
}

// The consumer takes whichever buffer is ready, lowest index first, as the archive does; once
// the producer is a whole ring ahead that need not be ring order, so each hand-over is
// identified by its first sample.
TEST_F(EngineCoreTest, BuffersAreHandedOverWholeAndOwnedUntilReleased) {
    auto engine = Engine(Script::Produce);
    // Ten hand-overs go round the ring of four more than twice.
    engine->BufferSizes = {1, 4000, 17, 3, 250, 1, 4000, 9, 2, 5};
    std::map<int, size_t> passByFirstSample;
    int total = 0;
    for (size_t pass = 0; pass < engine->BufferSizes.size(); ++pass) {
        passByFirstSample[total] = pass;
        total += static_cast<int>(engine->BufferSizes[pass]);
    }
    ASSERT_EQ(engine->Start(), 0u);
    ASSERT_EQ(WaitForSingleObject(engine->EngineReadyEvent, INFINITE), WAIT_OBJECT_0);

    HANDLE waitSet[5] = {engine->ArchiveStopEvent};
    for (int k = 0; k < 4; ++k)
        waitSet[k + 1] = engine->Buffers[k].BufferReadyEvent;
    std::set<size_t> seen;
    for (size_t taken = 0; taken < engine->BufferSizes.size(); ++taken) {
        const DWORD wait = WaitForMultipleObjects(5, waitSet, FALSE, INFINITE);
        ASSERT_GE(wait, WAIT_OBJECT_0 + 1);
        ASSERT_LE(wait, WAIT_OBJECT_0 + 4);
        const DWORD k = wait - WAIT_OBJECT_0 - 1;
        SampleBuffer &buffer = engine->Buffers[k];
        const DWORD count = buffer.SampleCount.load(std::memory_order_acquire);
        ASSERT_GT(count, 0u);
        ASSERT_NE(buffer.Records[0].Text, nullptr);
        const int first = std::atoi(buffer.Records[0].Text + 1);
        ASSERT_EQ(passByFirstSample.count(first), 1u) << buffer.Records[0].Text;
        const size_t pass = passByFirstSample[first];
        EXPECT_TRUE(seen.insert(pass).second) << "hand-over " << pass << " seen twice";
        EXPECT_EQ(k, pass % 4) << "hand-over " << pass << " fills buffer " << pass % 4;
        ASSERT_EQ(count, engine->BufferSizes[pass]);
        // The producer wrote nothing into the buffer since it handed it over.
        for (DWORD i = 0; i < count; ++i) {
            const SampleRecord &record = buffer.Records[i];
            const int sequence = first + static_cast<int>(i);
            ASSERT_EQ(std::string(record.Text), "s" + std::to_string(sequence));
            ASSERT_EQ(record.Length, static_cast<LONG>(std::strlen(record.Text)));
            ASSERT_EQ(record.TimeStamp.dwLowDateTime, static_cast<DWORD>(sequence));
        }
        buffer.SampleCount.store(0, std::memory_order_release);
        SetEvent(engine->Released);
    }
    EXPECT_EQ(seen.size(), engine->BufferSizes.size());
    engine->Stop();
    EXPECT_TRUE(engine->AcquireReturned.load());
    EXPECT_FALSE(IsSet(engine->StopRequestEvent));
    EXPECT_FALSE(IsSet(engine->EngineReadyEvent));
    // The engine's destructor frees every record text (checked by the address sanitizer).
}

// A stand-in for the archive thread: it waits for the engine to become ready, then for the
// stop, and notes that it ended by itself.
unsigned __stdcall FakeArchive(void *argument) {
    auto *engine = static_cast<ScriptedEngine *>(argument);
    WaitForSingleObject(engine->EngineReadyEvent, INFINITE);
    WaitForSingleObject(engine->ArchiveStopEvent, INFINITE);
    return 42;
}

TEST_F(EngineCoreTest, StopEndsTheArchiveThreadAndLeavesTheStoppedEventPicture) {
    auto engine = Engine(Script::Throw);  // never sets EngineReadyEvent
    ASSERT_EQ(engine->Start(), 0u);
    unsigned id = 0;
    engine->ArchiveThreadHandle =
        reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, FakeArchive, engine.get(), 0, &id));
    ASSERT_NE(engine->ArchiveThreadHandle, nullptr);
    engine->Stop();
    EXPECT_EQ(engine->ArchiveThreadHandle, nullptr);
    EXPECT_EQ(engine->EngineThreadHandle, nullptr);
    EXPECT_TRUE(IsSet(engine->ArchiveStopEvent));
    EXPECT_FALSE(IsSet(engine->StopRequestEvent));
    EXPECT_FALSE(IsSet(engine->EngineReadyEvent));
    EXPECT_FALSE(IsSet(engine->AbortReinitEvent));
    EXPECT_TRUE(IsSet(engine->ReinitIdleEvent));
}

TEST_F(EngineCoreTest, StopReleasesTheClockSyncBlockWithTheArchiveThread) {
    auto engine = Engine(Script::Return);
    ASSERT_EQ(engine->Start(), 0u);
    engine->ClockSyncMapping =
        CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 16, nullptr);
    ASSERT_NE(engine->ClockSyncMapping, nullptr);
    engine->ClockSyncView = MapViewOfFile(engine->ClockSyncMapping, FILE_MAP_ALL_ACCESS, 0, 0, 16);
    ASSERT_NE(engine->ClockSyncView, nullptr);
    engine->ClockSyncMutex = CreateMutexA(nullptr, FALSE, nullptr);
    unsigned id = 0;
    engine->ArchiveThreadHandle =
        reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, FakeArchive, engine.get(), 0, &id));
    ASSERT_NE(engine->ArchiveThreadHandle, nullptr);
    engine->Stop();
    EXPECT_EQ(engine->ClockSyncView, nullptr);
    EXPECT_EQ(engine->ClockSyncMapping, nullptr);
    EXPECT_EQ(engine->ClockSyncMutex, nullptr);
    EXPECT_EQ(engine->ArchiveThreadHandle, nullptr);
}

TEST_F(EngineCoreTest, StopWithoutArchiveThreadOrReinitializationTouchesNeitherEvent) {
    auto engine = Engine(Script::Return);
    ASSERT_EQ(engine->Start(), 0u);
    SetEvent(engine->AbortReinitEvent);  // left as it is when no (re)initialization runs
    engine->Stop();
    EXPECT_FALSE(IsSet(engine->ArchiveStopEvent));
    EXPECT_TRUE(IsSet(engine->AbortReinitEvent));
    EXPECT_FALSE(IsSet(engine->StopRequestEvent));
}

TEST_F(EngineCoreTest, StopAbortsARunningReinitialization) {
    auto engine = Engine(Script::Reinitialize);
    ASSERT_EQ(engine->Start(), 0u);
    ASSERT_EQ(WaitForSingleObject(engine->Entered, INFINITE), WAIT_OBJECT_0);
    engine->Stop();
    EXPECT_TRUE(engine->AcquireReturned.load());
    EXPECT_TRUE(IsSet(engine->ReinitIdleEvent));
    EXPECT_FALSE(IsSet(engine->AbortReinitEvent));
    EXPECT_FALSE(IsSet(engine->StopRequestEvent));
}

TEST_F(EngineCoreTest, SecondStartIsRefusedUntilStopReleasedTheThread) {
    auto engine = Engine(Script::Return);
    ASSERT_EQ(engine->Start(), 0u);
    const HANDLE first = engine->EngineThreadHandle;
    EXPECT_EQ(engine->Start(), static_cast<DWORD>(ERROR_BUSY));
    EXPECT_EQ(engine->EngineThreadHandle, first);
    // Stop only once the thread is in Acquire: a stop that came first would end the thread
    // before it ever called Acquire.
    ASSERT_EQ(WaitForSingleObject(engine->Entered, 30000), static_cast<DWORD>(WAIT_OBJECT_0));
    engine->Stop();
    ASSERT_EQ(engine->Start(), 0u);
    EXPECT_EQ(EngineExitCode(*engine), 0u);

    engine->Stop();
    EXPECT_EQ(engine->AcquireCalls.load(), 2);
}
