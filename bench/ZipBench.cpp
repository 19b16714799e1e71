// Cost of the hourly compression: zipping one hour of raw data (20 Hz, 72,000 lines) into its
// archive through ProcessFiles and the run-time zip library, and extracting it again.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "support/ZipUtility.h"

namespace {

constexpr FILETIME AllStart = {0, 0};
constexpr FILETIME AllEnd = {0xFFFFFFFFu, 0x7FFFFFFFu};

// A temporary KESTRUNE_ROOT holding C:\Data\lab02634214_raw.txt.
class HourOfRawData {
public:
    HourOfRawData() {
        char pattern[] = "/tmp/kestrune-bench-XXXXXX";
        root_ = mkdtemp(pattern) ? pattern : "/tmp";
        setenv("KESTRUNE_ROOT", root_.c_str(), 1);
        std::filesystem::create_directories(root_ + "/c/Data");
        FILE *file = std::fopen((root_ + "/c/Data/lab02634214_raw.txt").c_str(), "wb");
        for (int i = 0; i < 72000 && file; ++i)
            std::fprintf(file, "14:%02d:%02d.%02d %6.2f %6.2f %6.2f %6.2f 0 0 %d %d\r\n", i / 1200 % 60, i / 20 % 60,
                         i % 20 * 5, (i % 97) * 0.13 - 6.0, (i % 89) * 0.11 - 4.0, (i % 13) * 0.05 - 0.3,
                         20.0 + (i % 31) * 0.01, i % 7, i % 3);
        if (file) {
            Bytes = std::ftell(file);
            std::fclose(file);
        }
    }
    ~HourOfRawData() {
        std::error_code ignored;
        std::filesystem::remove_all(root_, ignored);
    }
    long Bytes = 0;

private:
    std::string root_;
};

void BM_ZipOneHourOfRawData(benchmark::State &state) {
    HourOfRawData data;
    char report[1000];
    for (auto _ : state) {
        DWORD result = ProcessFiles(ActionZip, "C:\\Data", "*_raw.txt", "C:\\Data", "", OverwriteAlways, AllStart,
                                    AllEnd, report, sizeof report);
        if (result != 0)
            state.SkipWithError(report);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * data.Bytes);
}
BENCHMARK(BM_ZipOneHourOfRawData)->Unit(benchmark::kMillisecond);

void BM_UnzipOneHourOfRawData(benchmark::State &state) {
    HourOfRawData data;
    char report[1000];
    if (ProcessFiles(ActionZip, "C:\\Data", "*_raw.txt", "C:\\Zips", "", OverwriteAlways, AllStart, AllEnd, report,
                     sizeof report) != 0) {
        state.SkipWithError(report);
        return;
    }
    for (auto _ : state) {
        DWORD result = ProcessFiles(ActionUnzip, "C:\\Zips", "*.zip", "C:\\Back", nullptr, OverwriteAlways,
                                    AllStart, AllEnd, report, sizeof report);
        if (result != 0)
            state.SkipWithError(report);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * data.Bytes);
}
BENCHMARK(BM_UnzipOneHourOfRawData)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
