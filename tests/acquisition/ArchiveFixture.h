// The archive tests' engine and fixture: an engine without an instrument that signals each
// raw-file write, and a data directory below the test's root.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "ArchiveTestSupport.h"
#include "common/TestRoot.h"
#include "services/Win32Util.h"

namespace archivetest {

class TestEngine : public DataAcquisition {
public:
    explicit TestEngine(EventLog &log) : DataAcquisition(log) {
        snprintf(InstrumentName, sizeof InstrumentName, "Metek");
        snprintf(SerialNumber, sizeof SerialNumber, "666");
        WrittenEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    }
    ~TestEngine() override { CloseHandle(WrittenEvent); }
    void Acquire() override {}
    // With PeriodFrom set, the first statistics period begins there instead of now, so that
    // hand-built samples of a fixed day fall into it.
    void BeginStatistics() override {
        DataAcquisition::BeginStatistics();
        if (PeriodFrom.dwLowDateTime != 0 || PeriodFrom.dwHighDateTime != 0) {
            PeriodStart = PeriodFrom;
            PeriodEnd = UnitsToFileTime(FileTimeToUnits(PeriodFrom) + 60ULL * 10000000ULL);
        }
    }
    FILETIME PeriodFrom = {};
    // Signals each raw-file write, so a test can wait for the archive thread's pass.
    void WriteRawFile(const char *name, SYSTEMTIME time) override {
        DataAcquisition::WriteRawFile(name, time);
        SetEvent(WrittenEvent);
    }
    HANDLE WrittenEvent = nullptr;
};

struct Sample {
    std::string Text;
    FILETIME TimeStamp;
    SHORT Status;
};

// A test engine over the data directory below the test's root, with the archive thread
// ended after each test.
class ArchiveFixture : public testing::Test {
protected:
    void SetUp() override {
        log = std::make_unique<EventLog>("Archive Test EventLog", DataDirectory);
        engine = std::make_unique<TestEngine>(*log);
        data = DataPath(root.Path());
    }
    void TearDown() override {
        if (engine->ArchiveThreadHandle) {
            SetEvent(engine->ArchiveStopEvent);
            SetEvent(engine->EngineReadyEvent);
            WaitForSingleObject(engine->ArchiveThreadHandle, INFINITE);
            CloseHandle(engine->ArchiveThreadHandle);
            engine->ArchiveThreadHandle = nullptr;
        }
        if (engine->CompressionThreadHandle) {
            WaitForSingleObject(engine->CompressionThreadHandle, INFINITE);
            CloseHandle(engine->CompressionThreadHandle);
            engine->CompressionThreadHandle = nullptr;
        }
    }

    void Configure(WORD format, int keys, DWORD rawPeriod = 60) {
        engine->RawTimeKeyFormat = format;
        engine->RawTimeKeyEnabled = keys;
        snprintf(engine->RawArchiveDirectory, sizeof engine->RawArchiveDirectory, "%s", DataDirectory);
        snprintf(engine->RawFileTemplate, sizeof engine->RawFileTemplate, "lab0<YYJJJHH>_raw.txt");
        engine->RawArchivePeriod = rawPeriod;
        engine->BeginArchive(state);
    }
    void Fill(int buffer, const std::vector<Sample> &samples) {
        for (size_t i = 0; i < samples.size(); ++i)
            SetRecord(*engine, buffer, static_cast<DWORD>(i), samples[i].Text, samples[i].TimeStamp,
                      samples[i].Status);
        engine->Buffers[buffer].SampleCount = static_cast<DWORD>(samples.size());
    }
    bool Pass(int buffer) {
        engine->CurrentBuffer = buffer;
        return engine->ArchivePass(state);
    }
    std::string Raw(const std::string &name) { return FileText(data + "/" + name); }

    TestRoot root;
    // The data directory under the test's root (on Linux the drive path itself).
    const std::string dataDirectory = root.Drive(archivetest::DataDirectory);
    const char *const DataDirectory = dataDirectory.c_str();
    std::string data;
    std::unique_ptr<EventLog> log;
    std::unique_ptr<TestEngine> engine;
    DataAcquisition::ArchiveThreadState state;
};

}  // namespace archivetest
