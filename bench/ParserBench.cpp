// Per-record costs: the line parser and the reading loop's splitting and storing.
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>

#include "instrument/SonicMetek3ClassAMPSerial.h"
#include "tests/common/TestRoot.h"

namespace {

const char Line[] = "0000001231100,3.21,-1.08,0.12,20.47,12.345,35.678,0,0,66.123,1013.456,0";

void ParseRecord(benchmark::State &state) {
    TestRoot root;
    EventLog log("Bench EventLog", "C:\\Data\\Bench");
    auto sonic = std::make_unique<SonicMetek3ClassAMPSerial>("Metek", "666", log);
    SampleRecord record;
    record.Text = const_cast<char *>(Line);
    record.Length = static_cast<LONG>(strlen(Line));
    const bool allValues = state.range(0) != 0;
    for (auto _ : state) {
        sonic->ParseRecord(record, allValues);
        benchmark::DoNotOptimize(sonic->T);
    }
    record.Text = nullptr;
}
BENCHMARK(ParseRecord)->Arg(0)->Arg(1);

// Splitting received bytes into records, 100 lines per call, buffers given back at once.
void ProcessReceived(benchmark::State &state) {
    TestRoot root;
    EventLog log("Bench EventLog", "C:\\Data\\Bench");
    auto sonic = std::make_unique<SonicMetek3ClassAMPSerial>("Metek", "666", log);
    std::string chunk;
    for (int i = 0; i < 100; ++i)
        chunk += std::string(Line) + "\n";
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    for (auto _ : state) {
        memcpy(sonic->ReceiveArea, chunk.data(), chunk.size());
        sonic->ProcessReceived(static_cast<DWORD>(chunk.size()), now, 0);
        for (SampleBuffer &buffer : sonic->Buffers)
            buffer.SampleCount.store(0);
    }
    state.SetItemsProcessed(state.iterations() * 100);
}
BENCHMARK(ProcessReceived);

}  // namespace

BENCHMARK_MAIN();
