// End-to-end run of the serial acquisition: usonic-sim on a pty sends lines at a set rate,
// the uSonic-3 engine stores them, a stand-in for the archive thread takes the buffers.
// Reports for each rate the lines per second sent and stored, the lines lost, and the stamp
// delay (record stamp minus the simulator's send time): median, 99th percentile and maximum.
// The rate is raised until lines are lost or the simulator cannot hold the rate, which marks
// the highest rate the pty sustains.
//
//   bench_SerialEndToEnd [seconds at 20 Hz, default 10]
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "instrument/SerialComm.h"
#include "instrument/SonicMetek3ClassAMPSerial.h"
#include "tests/common/BufferConsumer.h"
#include "tests/common/Simulator.h"
#include "tests/common/TestRoot.h"

namespace {

struct RunResult {
    double rate = 0;
    long sent = 0;
    size_t stored = 0;
    DWORD lost = 0;
    double sentPerSecond = 0;
    double medianUs = 0, p99Us = 0, maxUs = 0;
};

double Percentile(std::vector<double> &values, double fraction) {
    if (values.empty())
        return 0;
    size_t at = static_cast<size_t>(fraction * static_cast<double>(values.size() - 1) + 0.5);
    std::nth_element(values.begin(), values.begin() + static_cast<long>(at), values.end());
    return values[at];
}

bool Run(double rate, long count, RunResult *result) {
    TestRoot root;
    const std::string logPath = root.Path() + "/sim.log";
    char rateText[32];
    snprintf(rateText, sizeof rateText, "%g", rate);
    Simulator sim({"--after-flush", "--count", std::to_string(count), "--rate", rateText, "--linger"},
                  logPath);
    if (!sim.Ok())
        return false;
    setenv("KESTRUNE_COM1", sim.Device().c_str(), 1);

    EventLog log("Bench EventLog", "C:\\Data\\Bench");
    auto engine = std::make_unique<SonicMetek3ClassAMPSerial>("Metek", "666", log);
    engine->HandOverDeadlineMs = 500;
    Consumer consumer(*engine, false);
    if (engine->Start() != 0)
        return false;
    long done = sim.WaitDone();
    consumer.WaitForRecords(static_cast<size_t>(done));
    engine->Stop();
    sim.End();

    std::vector<SentLine> sent = sim.Log();
    std::vector<Received> records = consumer.Records();
    result->rate = rate;
    result->sent = static_cast<long>(sent.size());
    result->stored = records.size();
    result->lost = static_cast<DWORD>(sent.size() > records.size() ? sent.size() - records.size() : 0);
    if (sent.size() > 1)
        result->sentPerSecond = static_cast<double>(sent.size() - 1) * 1e7 /
                                static_cast<double>(sent.back().SendTime - sent.front().SendTime);
    std::vector<double> delays;
    size_t j = 0;
    for (const Received &r : records) {
        while (j < sent.size() && sent[j].Text != r.Text)
            ++j;
        if (j == sent.size())
            break;
        delays.push_back((static_cast<double>(r.Stamp) - static_cast<double>(sent[j].SendTime)) / 10.0);
        ++j;
    }
    result->medianUs = Percentile(delays, 0.5);
    result->p99Us = Percentile(delays, 0.99);
    result->maxUs = delays.empty() ? 0 : *std::max_element(delays.begin(), delays.end());
    unsetenv("KESTRUNE_COM1");
    return true;
}

void Print(const RunResult &r) {
    printf("%10.0f %10ld %10.0f %10zu %8u %12.1f %12.1f %12.1f\n", r.rate, r.sent, r.sentPerSecond, r.stored,
           r.lost, r.medianUs, r.p99Us, r.maxUs);
    fflush(stdout);
}

}  // namespace

int main(int argc, char **argv) {
    const double slowSeconds = argc > 1 ? atof(argv[1]) : 10.0;
    SerialComm::SettleTimeMs = 100;
    printf("%10s %10s %10s %10s %8s %12s %12s %12s\n", "rate Hz", "sent", "sent/s", "stored", "lost",
           "median us", "p99 us", "max us");

    RunResult result;
    if (!Run(20, static_cast<long>(20 * slowSeconds), &result)) {
        fprintf(stderr, "bench_SerialEndToEnd: the run at 20 Hz could not start\n");
        return 1;
    }
    Print(result);

    // Raise the rate until lines are lost or the simulator falls behind it.
    double sustained = 20;
    for (double rate = 1000; rate <= 1024000; rate *= 2) {
        long count = static_cast<long>(std::min(rate * 2, 40000.0));
        if (!Run(rate, count, &result))
            break;
        Print(result);
        if (result.lost != 0)
            break;
        sustained = std::max(sustained, result.sentPerSecond);
        if (result.sentPerSecond < 0.9 * rate)
            break;  // the simulator itself cannot send faster
    }
    printf("highest rate stored without loss: %.0f lines/s\n", sustained);
    return 0;
}
