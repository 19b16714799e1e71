// The raw-write-failure tests' engine and fixture: passes over buffer 0 into the hour's raw
// file, which a directory of its name can block.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "ArchiveTestSupport.h"
#include "common/TestRoot.h"

namespace archivetest {

class RawWriteEngine : public DataAcquisition {
public:
    explicit RawWriteEngine(EventLog &log) : DataAcquisition(log) {
        snprintf(InstrumentName, sizeof InstrumentName, "Metek");
        snprintf(SerialNumber, sizeof SerialNumber, "666");
    }
    void Acquire() override {}
};

// An engine that archives to the data directory below the test's root, ready for passes.
class RawWriteFixture : public testing::Test {
protected:
    void SetUp() override {
        log = std::make_unique<EventLog>("Raw Write Test EventLog", DataDirectory);
        engine = std::make_unique<RawWriteEngine>(*log);
        data = DataPath(root.Path());
        engine->RawTimeKeyFormat = 2;
        engine->RawTimeKeyEnabled = 1;
        snprintf(engine->RawArchiveDirectory, sizeof engine->RawArchiveDirectory, "%s", DataDirectory);
        snprintf(engine->RawFileTemplate, sizeof engine->RawFileTemplate, "lab0<YYJJJHH>_raw.txt");
        engine->RawArchivePeriod = 60;
        engine->BeginArchive(state);
    }
    // One pass over buffer 0 holding one good sample per text, stamped 13:00:00 + i seconds.
    void Pass(const std::vector<std::string> &texts, int firstSecond) {
        for (size_t i = 0; i < texts.size(); ++i)
            SetRecord(*engine, 0, static_cast<DWORD>(i), texts[i],
                      Stamp(2026, 12, 8, 13, 0, firstSecond + static_cast<int>(i), 0));
        engine->Buffers[0].SampleCount = static_cast<DWORD>(texts.size());
        engine->CurrentBuffer = 0;
        engine->ArchivePass(state);
    }
    std::string Raw(const std::string &name) { return FileText(data + "/" + name); }
    void BlockRawFile() { std::filesystem::create_directories(data + "/lab02634213_raw.txt"); }
    void UnblockRawFile() { std::filesystem::remove(data + "/lab02634213_raw.txt"); }

    TestRoot root;
    // The data directory under the test's root (on Linux the drive path itself).
    const std::string dataDirectory = root.Drive(archivetest::DataDirectory);
    const char *const DataDirectory = dataDirectory.c_str();
    std::string data;
    std::unique_ptr<EventLog> log;
    std::unique_ptr<RawWriteEngine> engine;
    DataAcquisition::ArchiveThreadState state;
};

inline const char Header[] = "12/08/2026 13:00 Metek (SN: 666)\r\n";

}  // namespace archivetest
