// The station's files for a fixed recorded series, byte for byte against one golden file: the
// series (golden/records.txt: status codes, missing and out-of-range values, cut and garbled
// lines, a clock synchronisation with its blackout, an hour change, and a period whose uw
// covariance is exactly 0, which fused multiply-adds print as -0.00) goes through the archive passes of the
// uSonic-3 engine, which screen it, keep the statistics periods and write the raw and statistics files. The
// same bytes must come out on every platform the station runs on (x86-64, arm64, Windows), so the numerics
// may not depend on the processor. KESTRUNE_UPDATE_GOLDEN=1 writes the golden file from this run instead of
// comparing.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "acquisition/ArchiveTestSupport.h"
#include "common/TestRoot.h"
#include "instrument/SonicMetek3ClassAMPSerial.h"

namespace {

const std::string GoldenFolder = std::string(KESTRUNE_SOURCE_DIR) + "/tests/instrument/golden/";

// The engine, with its first statistics period beginning at the series' first record instead
// of now.
class GoldenSonic : public SonicMetek3ClassAMPSerial {
public:
    using SonicMetek3ClassAMPSerial::SonicMetek3ClassAMPSerial;
    void BeginStatistics() override {
        SonicMetek3ClassAMPSerial::BeginStatistics();
        DayStart = archivetest::Stamp(2026, 12, 8, 0, 0, 0, 0);
        PeriodStart = archivetest::Stamp(2026, 12, 8, 10, 58, 45, 0);
        PeriodEnd = archivetest::Stamp(2026, 12, 8, 10, 59, 0, 0);
    }
};

struct Record {
    FILETIME Stamp;
    std::string Text;
};

// The series: "HH:MM:SS.mmm <line>" on 8 December 2026, \xHH for a byte; '#' lines are notes.
std::vector<Record> ReadSeries(const std::string &path) {
    std::vector<Record> records;
    std::ifstream in(path, std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#')
            continue;
        int hour = 0, minute = 0, second = 0, millisecond = 0;
        if (sscanf(line.c_str(), "%2d:%2d:%2d.%3d", &hour, &minute, &second, &millisecond) != 4)
            continue;
        std::string text;
        for (size_t i = 13; i < line.size(); ++i) {
            if (line.compare(i, 2, "\\x") == 0 && i + 4 <= line.size()) {
                text += static_cast<char>(std::stoi(line.substr(i + 2, 2), nullptr, 16));
                i += 3;
            } else {
                text += line[i];
            }
        }
        records.push_back(
            {archivetest::Stamp(2026, 12, 8, hour, minute, second, millisecond), text + "\r\n"});
    }
    return records;
}

// Every file of the data folder but the event logs, in name order, each after a line
// "== <name>".
std::string DataFiles(const std::string &folder) {
    std::vector<std::string> names;
    for (const auto &entry : std::filesystem::directory_iterator(folder))
        if (entry.path().extension() != ".log")
            names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    std::string all;
    for (const std::string &name : names)
        all += "== " + name + "\n" + archivetest::FileText(folder + "/" + name);
    return all;
}

TEST(GoldenOutput, RecordedSeriesGivesTheGoldenFilesByteForByte) {
    TestRoot root;
    const std::string data = root.Drive("C:\\Data\\Golden");
    EventLog log("Golden Output Test EventLog", data.c_str());
    GoldenSonic sonic("Metek", "666", log);
    snprintf(sonic.RawArchiveDirectory, sizeof sonic.RawArchiveDirectory, "%s", data.c_str());
    snprintf(sonic.RawFileTemplate, sizeof sonic.RawFileTemplate, "lab0<YYJJJHH>_raw.txt");
    snprintf(sonic.StatsArchiveDirectory, sizeof sonic.StatsArchiveDirectory, "%s", data.c_str());
    snprintf(sonic.StatsFileTemplate, sizeof sonic.StatsFileTemplate, "lab0<YYJJJHH>_stats.txt");
    // The online fluxes' day file joins the golden file (DataFiles() takes every data file of
    // the folder), with one-minute periods so the series closes several.
    sonic.FluxSettings = flux::Settings();
    sonic.FluxSettings.Period = 60;
    sonic.RawArchivePeriod = 60;
    sonic.StatsArchivePeriod = 60;
    sonic.QualityControl = 1;
    sonic.RawTimeKeyEnabled = 1;
    sonic.RawTimeKeyFormat = 1;

    // The clock was synchronised at 11:00:10.000: the 6 s after it are blackout. A private
    // block and mutex stand in for the shared ones.
    SYSTEMTIME block = archivetest::Utc(2026, 12, 8, 11, 0, 10, 0);
    HANDLE blockMutex = CreateMutexA(nullptr, FALSE, nullptr);
    ASSERT_NE(blockMutex, nullptr);
    sonic.ClockSyncMutex = blockMutex;
    sonic.ClockSyncView = &block;
    sonic.ClockSyncActive = 1;
    sonic.BlackoutPeriod = 6;
    // An unsignalled event reads as an engine thread that is still running.
    HANDLE engineThread = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    sonic.EngineThreadHandle = engineThread;

    const std::vector<Record> records = ReadSeries(GoldenFolder + "records.txt");
    ASSERT_EQ(records.size(), 695u);

    // The archive passes, 100 records to a buffer in ring order; the last pass is the one
    // after a stop, which closes the partial period.
    DataAcquisition::ArchiveThreadState state;
    sonic.BeginArchive(state);
    const size_t perBuffer = 100;
    for (size_t first = 0, pass = 0; first < records.size(); first += perBuffer, ++pass) {
        const int buffer = static_cast<int>(pass % DataAcquisition::BufferCount);
        const size_t count = std::min(perBuffer, records.size() - first);
        for (size_t i = 0; i < count; ++i)
            archivetest::SetRecord(sonic, buffer, static_cast<DWORD>(i), records[first + i].Text,
                                   records[first + i].Stamp, SampleGood);
        sonic.Buffers[buffer].SampleCount = static_cast<DWORD>(count);
        sonic.CurrentBuffer = buffer;
        sonic.FinalPass = first + count == records.size();
        EXPECT_TRUE(sonic.ArchivePass(state));
        EXPECT_EQ(sonic.Buffers[buffer].SampleCount.load(), 0u);
    }
    sonic.ArchiveFlux(true);  // the stop writes the running flux period
    sonic.EngineThreadHandle = nullptr;
    sonic.ClockSyncActive = 0;
    sonic.ClockSyncView = nullptr;
    sonic.ClockSyncMutex = nullptr;
    CloseHandle(engineThread);
    CloseHandle(blockMutex);

    const std::string produced = DataFiles(root.Posix("c/Data/Golden"));
    const std::string goldenPath = GoldenFolder + "output.txt";
    const char *update = getenv("KESTRUNE_UPDATE_GOLDEN");
    if (update && std::string(update) == "1") {
        std::ofstream(goldenPath, std::ios::binary) << produced;
        GTEST_SKIP() << "wrote " << goldenPath;
    }
    const std::string golden = archivetest::FileText(goldenPath);
    ASSERT_FALSE(golden.empty()) << goldenPath;
    if (produced != golden) {
        // The first line that differs, to see what changed.
        std::istringstream a(produced), b(golden);
        std::string lineA, lineB;
        int number = 1;
        while (std::getline(a, lineA) && std::getline(b, lineB) && lineA == lineB)
            ++number;
        ADD_FAILURE() << "line " << number << " differs:\n  produced: " << lineA << "\n  golden:   " << lineB;
    }
    EXPECT_EQ(produced.size(), golden.size());
}

}  // namespace
