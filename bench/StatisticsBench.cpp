// Cost of the uSonic-3 statistics: accumulating one good record (parse included) and closing
// a period into its file.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "instrument/SonicMetek3ClassAMPSerial.h"
#include "services/EventLog.h"

namespace {

// A private root for the log and the statistics file, removed afterwards.
struct BenchRoot {
    BenchRoot() {
        char pattern[] = "/tmp/kestrune-bench-XXXXXX";
        const char *made = mkdtemp(pattern);
        path = made ? made : "/tmp";
        setenv("KESTRUNE_ROOT", path.c_str(), 1);
        std::filesystem::create_directories(path + "/c/Stats");
    }
    ~BenchRoot() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    std::string path;
};

void AccumulateGoodRecord(benchmark::State &state) {
    BenchRoot root;
    EventLog log("Statistics bench log", "C:\\Data");
    SonicMetek3ClassAMPSerial engine("Metek", "666", log);
    std::string text = "M0A1B2C3D1215,4.21,-1.30,0.05,20.13,0.12,0.34,0,0,1.5,2.5\r\n";
    SampleRecord &record = engine.Buffers[0].Records[0];
    char *const ownText = record.Text;
    record.Text = &text[0];
    record.Length = static_cast<LONG>(text.size());
    engine.CurrentBuffer = 0;
    engine.CurrentSample = 0;
    for (auto _ : state)
        engine.AccumulateStatistics();
    record.Text = ownText;
    record.Length = 0;
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(AccumulateGoodRecord);

void WritePeriodLine(benchmark::State &state) {
    BenchRoot root;
    EventLog log("Statistics bench log", "C:\\Data");
    SonicMetek3ClassAMPSerial engine("Metek", "666", log);
    snprintf(engine.StatsFilePath, sizeof engine.StatsFilePath, "%s", "C:\\Stats\\bench.txt");
    engine.PeriodStartTime = {2026, 12, 2, 8, 21, 4, 0, 0};
    engine.PeriodEndTime = {2026, 12, 2, 8, 21, 5, 0, 0};
    for (auto _ : state) {
        engine.UStats.GoodSamp = 1200;
        engine.UStats.Sum1 = 5040.0;
        engine.UStats.Sum2 = 22680.0;
        engine.WriteStatistics();
    }
}
BENCHMARK(WritePeriodLine);

}  // namespace

BENCHMARK_MAIN();
