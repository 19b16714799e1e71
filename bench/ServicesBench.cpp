// Cost of the services on the archive path: one template expansion per sample, and one event
// log entry (open, append, close under the named mutex).
#include <benchmark/benchmark.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "services/EventLog.h"
#include "services/FileNameTemplate.h"

static void ExpandRawTemplate(benchmark::State &state) {
    SYSTEMTIME time = {};
    time.wYear = 2026;
    time.wMonth = 12;
    time.wDay = 8;
    time.wHour = 14;
    time.wMinute = 30;
    char text[FileNameTemplateSize];
    for (auto _ : state) {
        std::memcpy(text, "lab0<YYJJJHH>_raw.txt", sizeof "lab0<YYJJJHH>_raw.txt");
        ExpandFileNameTemplate(text, time);
        benchmark::DoNotOptimize(text);
    }
}
BENCHMARK(ExpandRawTemplate);

static void WriteLogEntry(benchmark::State &state) {
    char root[] = "/tmp/kestrune-bench-XXXXXX";
    if (mkdtemp(root) == nullptr) {
        state.SkipWithError("no temporary directory");
        return;
    }
    setenv("KESTRUNE_ROOT", root, 1);
    const std::string drive = std::string(root) + "/c";
    mkdir(drive.c_str(), 0755);
    {
        EventLog log("Kestrune bench", "C:\\Bench");
        for (auto _ : state)
            log.Write(5017, "Metek1: Archiving 4000 of 4000 raw data samples.");
    }
    std::error_code ignored;
    std::filesystem::remove_all(root, ignored);
    unsetenv("KESTRUNE_ROOT");
}
BENCHMARK(WriteLogEntry);

BENCHMARK_MAIN();
