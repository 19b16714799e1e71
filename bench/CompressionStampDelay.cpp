// The stamp delay of the uSonic-3 engine while a compression run of 60 hour files goes on
// beside it, in the real-time priority class the program runs in. usonic-sim sends lines at
// 50 Hz on a pty; a light stand-in for the archive thread keeps each record's stamp; after a
// few seconds the engine's own compression (CompressDataFiles, on a thread at
// THREAD_PRIORITY_IDLE as the hourly run is) zips and deletes 60 raw files of a few MB each.
// Printed: median, 99th percentile and maximum of the stamp delay (stamp minus the simulator's
// send time) of the lines sent before the run and of those sent while it went on.
//
//   bench_CompressionStampDelay [MB per file, default 4]
//
// Run as root (or with CAP_SYS_NICE) so that the real-time class is granted.
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "instrument/SerialComm.h"
#include "instrument/SonicMetek3ClassAMPSerial.h"
#include "tests/common/Simulator.h"
#include "tests/common/TestRoot.h"

namespace {

struct Received {
    std::string Text;
    ULONGLONG Stamp;
};

// Takes each handed-over buffer, keeps its records' texts and stamps, gives it back at once.
class Taker {
public:
    explicit Taker(DataAcquisition &engine) : engine_(engine) {
        stop_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        thread_ = std::thread([this] { Run(); });
    }
    ~Taker() {
        SetEvent(stop_);
        thread_.join();
        CloseHandle(stop_);
    }
    void WaitForRecords(size_t count) {
        std::unique_lock<std::mutex> lock(mutex_);
        progress_.wait_for(lock, std::chrono::seconds(30), [&] { return records_.size() >= count; });
    }
    std::vector<Received> Records() {
        std::lock_guard<std::mutex> lock(mutex_);
        return records_;
    }

private:
    void Run() {
        HANDLE waitSet[1 + DataAcquisition::BufferCount] = {stop_};
        for (int b = 0; b < DataAcquisition::BufferCount; ++b)
            waitSet[1 + b] = engine_.Buffers[b].BufferReadyEvent;
        for (;;) {
            DWORD result = WaitForMultipleObjects(1 + DataAcquisition::BufferCount, waitSet, FALSE, INFINITE);
            if (result == WAIT_OBJECT_0 || result == WAIT_FAILED)
                return;
            SampleBuffer &buffer = engine_.Buffers[result - WAIT_OBJECT_0 - 1];
            const DWORD count = buffer.SampleCount.load(std::memory_order_acquire);
            {
                std::lock_guard<std::mutex> lock(mutex_);
                for (DWORD i = 0; i < count; ++i) {
                    const SampleRecord &r = buffer.Records[i];
                    records_.push_back({std::string(r.Text, static_cast<size_t>(r.Length)),
                                        (static_cast<ULONGLONG>(r.TimeStamp.dwHighDateTime) << 32) |
                                            r.TimeStamp.dwLowDateTime});
                }
            }
            buffer.SampleCount.store(0, std::memory_order_release);
            progress_.notify_all();
        }
    }

    DataAcquisition &engine_;
    HANDLE stop_ = nullptr;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable progress_;
    std::vector<Received> records_;
};

ULONGLONG FileTimeNow() {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<ULONGLONG>(now.tv_sec) * 10000000u + static_cast<ULONGLONG>(now.tv_nsec) / 100u +
           116444736000000000ull;
}

double Percentile(std::vector<double> values, double fraction) {
    if (values.empty())
        return 0;
    size_t at = static_cast<size_t>(fraction * static_cast<double>(values.size() - 1) + 0.5);
    std::nth_element(values.begin(), values.begin() + static_cast<long>(at), values.end());
    return values[at];
}

void Print(const char *phase, const std::vector<double> &delays) {
    printf("%-18s %8zu %11.1f %11.1f %11.1f\n", phase, delays.size(), Percentile(delays, 0.5),
           Percentile(delays, 0.99), delays.empty() ? 0.0 : *std::max_element(delays.begin(), delays.end()));
}

struct CompressionRun {
    DataAcquisition *Engine;
    std::atomic<ULONGLONG> Start{0}, End{0};
};

unsigned __stdcall Compress(void *argument) {
    auto *run = static_cast<CompressionRun *>(argument);
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_IDLE);
    run->Start = FileTimeNow();
    run->Engine->CompressDataFiles();
    run->End = FileTimeNow();
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    const long megabytes = argc > 1 ? atol(argv[1]) : 4;
    SerialComm::SettleTimeMs = 100;
    TestRoot root;
    if (!SetPriorityClass(GetCurrentProcess(), REALTIME_PRIORITY_CLASS))
        fprintf(stderr, "bench_CompressionStampDelay: the real-time class was refused (error %lu)\n",
                static_cast<unsigned long>(GetLastError()));
    double load[3] = {};
    if (getloadavg(load, 3) == 3)
        printf("load average at the start: %.2f %.2f %.2f\n", load[0], load[1], load[2]);

    // 60 hour files of digits and separators, as raw files are, last written a day ago.
    const std::string directory = root.Path() + "/c/Bench/Raw";
    std::filesystem::create_directories(directory);
    std::mt19937 random(7);
    std::string line;
    for (int i = 0; i < 60; ++i) {
        char name[64];
        snprintf(name, sizeof name, "/lab0263%02d%02d_raw.txt", 10 + i / 24, i % 24);
        std::ofstream file(directory + name, std::ios::binary);
        for (long written = 0; written < megabytes * 1000000;) {
            char text[128];
            int n = snprintf(text, sizeof text, "%08u %7.3f %7.3f %7.3f %7.3f -99. -99. -99. -99.\r\n",
                             static_cast<unsigned>(random() % 100000000), (random() % 20000) / 1000.0 - 10,
                             (random() % 20000) / 1000.0 - 10, (random() % 4000) / 1000.0 - 2,
                             (random() % 30000) / 1000.0);
            file.write(text, n);
            written += n;
        }
        file.close();
        const auto old = std::filesystem::file_time_type::clock::now() - std::chrono::hours(24);
        std::filesystem::last_write_time(directory + name, old);
    }

    const long count = 50 * 40;  // 40 s at 50 Hz
    const std::string logPath = root.Path() + "/sim.log";
    Simulator sim({"--after-flush", "--count", std::to_string(count), "--rate", "50", "--linger"}, logPath);
    if (!sim.Ok())
        return 1;
    setenv("KESTRUNE_COM1", sim.Device().c_str(), 1);
    EventLog log("Bench EventLog", "C:\\Data\\Bench");
    auto engine = std::make_unique<SonicMetek3ClassAMPSerial>("Metek", "666", log);
    engine->HandOverDeadlineMs = 500;
    snprintf(engine->RawArchiveDirectory, sizeof engine->RawArchiveDirectory, "%s", "C:\\Bench\\Raw");
    snprintf(engine->RawFileTemplate, sizeof engine->RawFileTemplate, "%s", "lab0<YYJJJHH>_raw.txt");
    FILETIME threshold = {};
    const ULONGLONG now = FileTimeNow();
    threshold.dwLowDateTime = static_cast<DWORD>(now);
    threshold.dwHighDateTime = static_cast<DWORD>(now >> 32);
    engine->CompressionThreshold = threshold;
    Taker taker(*engine);
    if (engine->Start() != 0)
        return 1;

    // The run starts once 5 s of lines have come in.
    taker.WaitForRecords(250);
    CompressionRun run;
    run.Engine = engine.get();
    HANDLE thread = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, Compress, &run, 0, nullptr));
    if (thread == nullptr)
        return 1;
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    const long done = sim.WaitDone();
    taker.WaitForRecords(static_cast<size_t>(done));
    engine->Stop();
    sim.End();
    unsetenv("KESTRUNE_COM1");

    const std::vector<SentLine> sent = sim.Log();
    const std::vector<Received> records = taker.Records();
    std::vector<double> before, during, after;
    size_t j = 0;
    for (const Received &r : records) {
        while (j < sent.size() && sent[j].Text != r.Text)
            ++j;
        if (j == sent.size())
            break;
        const double delay = (static_cast<double>(r.Stamp) - static_cast<double>(sent[j].SendTime)) / 10.0;
        const ULONGLONG at = sent[j].SendTime;
        (at < run.Start ? before : at <= run.End ? during : after).push_back(delay);
        ++j;
    }
    size_t zips = 0;
    for (const auto &entry : std::filesystem::directory_iterator(directory))
        zips += entry.path().extension() == ".zip";
    printf("compression run: %zu archives of %ld MB files in %.1f s; %zu of %ld lines stored\n", zips,
           megabytes, static_cast<double>(run.End - run.Start) / 1e7, records.size(), count);
    printf("%-18s %8s %11s %11s %11s\n", "stamp delay", "lines", "median us", "p99 us", "max us");
    Print("before the run", before);
    Print("during the run", during);
    Print("after the run", after);
    if (getloadavg(load, 3) == 3)
        printf("load average at the end: %.2f %.2f %.2f\n", load[0], load[1], load[2]);
    return 0;
}
