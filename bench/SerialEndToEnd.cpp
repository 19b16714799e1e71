// End-to-end run of the serial acquisition: usonic-sim on a pty sends lines at a set rate,
// the uSonic-3 engine stores them, a stand-in for the archive thread takes the buffers. Each
// run is made twice: once with our engine and once with a bare reader, a thread blocked in
// poll on the same kind of pty that reads and stamps each line feed, so the two can be
// compared under the same load.
//
// 1. At 20 Hz: the stamp delay (stamp minus the simulator's send time) of each reader,
//    median, 99th percentile and maximum, and our figures over the bare reader's.
// 2. The ceiling: the rate is doubled from 1000 lines/s, with the simulator writing a batch of
//    lines per write (about 1000 writes a second), until lines are lost or the rate sent
//    falls below 90% of the rate asked (the pty holds the writer back when the reader does
//    not keep up); a run that falls short is made once more before the climb stops. The
//    highest rate stored without loss is printed for both readers. `lost` counts lines sent
//    and not stored, `ring` those the engine dropped because every buffer was taken.
//
//   bench_SerialEndToEnd [seconds at 20 Hz, default 10] [seconds per ceiling run, default 2]
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "instrument/SerialComm.h"
#include "instrument/SonicMetek3ClassAMPSerial.h"
#include "tests/common/Simulator.h"
#include "tests/common/TestRoot.h"

namespace {

enum class Reader { Ours, Bare };

// One line as a reader stored it: its text and its stamp (FILETIME units).
struct Received {
    std::string Text;
    ULONGLONG Stamp;
};

// Stands in for the archive thread: takes each handed-over buffer, keeps each record's text
// and stamp, and gives the buffer back at once. Kept light (storage reserved up front), so
// that it is not what limits the rate.
class Taker {
public:
    Taker(DataAcquisition &engine, size_t expected) : engine_(engine) {
        records_.reserve(expected + SampleBuffer::Capacity);
        stop_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        thread_ = std::thread([this] { Run(); });
    }
    ~Taker() {
        SetEvent(stop_);
        thread_.join();
        CloseHandle(stop_);
    }
    // Waits until count records have come in, or until nothing has come for 10 s.
    void WaitForRecords(size_t count) {
        std::unique_lock<std::mutex> lock(mutex_);
        size_t seen = records_.size();
        while (records_.size() < count) {
            if (!progress_.wait_for(lock, std::chrono::seconds(10), [&] { return records_.size() != seen; }))
                return;
            seen = records_.size();
        }
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

struct RunResult {
    double rate = 0;
    long batch = 1;
    long sent = 0;
    size_t stored = 0;
    long lost = 0;
    long ringLost = 0;  // lines the engine dropped because every buffer was taken
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

ULONGLONG FileTimeNow() {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<ULONGLONG>(now.tv_sec) * 10000000u + static_cast<ULONGLONG>(now.tv_nsec) / 100u +
           116444736000000000ull;
}

// The bare reader: opens the pty raw, discards its input (which lets the simulator start),
// then a thread blocks in poll, reads what is there and stamps each line feed with the time
// the read returned. The first line is the end of one the simulator was in the middle of,
// and is dropped as the engine drops it.
class BareReader {
public:
    explicit BareReader(const std::string &device) {
        fd_ = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd_ < 0)
            return;
        struct termios tio;
        if (tcgetattr(fd_, &tio) == 0) {
            cfmakeraw(&tio);
            tcsetattr(fd_, TCSANOW, &tio);
        }
        if (pipe2(stop_, O_CLOEXEC) != 0)
            return;
        tcflush(fd_, TCIFLUSH);
        thread_ = std::thread([this] { Run(); });
    }
    ~BareReader() {
        if (thread_.joinable()) {
            char c = 0;
            if (write(stop_[1], &c, 1) != 1)
                perror("bench_SerialEndToEnd: stop");
            thread_.join();
        }
        for (int fd : {fd_, stop_[0], stop_[1]})
            if (fd >= 0)
                close(fd);
    }
    bool Ok() const { return thread_.joinable(); }

    // Waits until count lines have come in, or until nothing has come for 10 s.
    void WaitForLines(size_t count) {
        std::unique_lock<std::mutex> lock(mutex_);
        size_t seen = lines_.size();
        while (lines_.size() < count) {
            if (!progress_.wait_for(lock, std::chrono::seconds(10), [&] { return lines_.size() != seen; }))
                return;
            seen = lines_.size();
        }
    }
    std::vector<Received> Lines() {
        std::lock_guard<std::mutex> lock(mutex_);
        return lines_;
    }

private:
    void Run() {
        std::vector<char> buffer(1 << 16);
        std::string partial;
        bool first = true;
        for (;;) {
            struct pollfd fds[2] = {{fd_, POLLIN, 0}, {stop_[0], POLLIN, 0}};
            if (poll(fds, 2, -1) < 0)
                continue;
            if (fds[1].revents != 0)
                return;
            ssize_t n = read(fd_, buffer.data(), buffer.size());
            if (n <= 0)
                continue;
            const ULONGLONG stamp = FileTimeNow();
            std::lock_guard<std::mutex> lock(mutex_);
            const char *at = buffer.data();
            const char *end = at + n;
            while (at < end) {
                const char *feed = static_cast<const char *>(memchr(at, '\n', static_cast<size_t>(end - at)));
                if (feed == nullptr) {
                    partial.append(at, end);
                    break;
                }
                partial.append(at, feed);
                if (!first)
                    lines_.push_back({partial, stamp});
                first = false;
                partial.clear();
                at = feed + 1;
            }
            progress_.notify_all();
        }
    }

    int fd_ = -1;
    int stop_[2] = {-1, -1};
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable progress_;
    std::vector<Received> lines_;
};

bool Run(Reader reader, double rate, long count, long batch, RunResult *result) {
    TestRoot root;
    const std::string logPath = root.Path() + "/sim.log";
    char rateText[32];
    snprintf(rateText, sizeof rateText, "%g", rate);
    Simulator sim({"--after-flush", "--count", std::to_string(count), "--rate", rateText, "--batch",
                   std::to_string(batch), "--linger"},
                  logPath);
    if (!sim.Ok())
        return false;

    std::vector<Received> records;
    long engineLost = 0;
    if (reader == Reader::Ours) {
        setenv("KESTRUNE_COM1", sim.Device().c_str(), 1);
        EventLog log("Bench EventLog", "C:\\Data\\Bench");
        auto engine = std::make_unique<SonicMetek3ClassAMPSerial>("Metek", "666", log);
        engine->HandOverDeadlineMs = 500;
        Taker taker(*engine, static_cast<size_t>(count));
        if (engine->Start() != 0)
            return false;
        long done = sim.WaitDone();
        taker.WaitForRecords(static_cast<size_t>(done));
        engine->Stop();
        engineLost = static_cast<long>(engine->LinesLost);
        records = taker.Records();
        unsetenv("KESTRUNE_COM1");
    } else {
        BareReader bare(sim.Device());
        if (!bare.Ok())
            return false;
        long done = sim.WaitDone();
        bare.WaitForLines(static_cast<size_t>(done));
        records = bare.Lines();
    }
    sim.End();

    std::vector<SentLine> sent = sim.Log();
    result->rate = rate;
    result->batch = batch;
    result->sent = static_cast<long>(sent.size());
    result->stored = records.size();
    result->lost = std::max(engineLost, static_cast<long>(sent.size()) - static_cast<long>(records.size()));
    result->ringLost = engineLost;
    result->sentPerSecond = 0;
    if (sent.size() > 1 && sent.back().SendTime > sent.front().SendTime)
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
    return true;
}

const char *Name(Reader reader) {
    return reader == Reader::Ours ? "ours" : "bare";
}

void PrintHeader() {
    printf("%-5s %10s %6s %10s %10s %10s %8s %8s %11s %11s %11s\n", "", "rate Hz", "batch", "sent", "sent/s",
           "stored", "lost", "ring", "median us", "p99 us", "max us");
}

void Print(Reader reader, const RunResult &r) {
    printf("%-5s %10.0f %6ld %10ld %10.0f %10zu %8ld %8ld %11.1f %11.1f %11.1f\n", Name(reader), r.rate,
           r.batch, r.sent, r.sentPerSecond, r.stored, r.lost, r.ringLost, r.medianUs, r.p99Us, r.maxUs);
    fflush(stdout);
}

double Ratio(double ours, double bare) {
    return bare > 0 ? ours / bare : 0;
}

// Raises the rate until lines are lost or the rate sent falls behind; returns the highest
// rate (lines per second actually sent) stored without loss.
double Ceiling(Reader reader, double secondsPerRun) {
    double sustained = 0;
    RunResult result;
    for (double rate = 1000; rate <= 4096000; rate *= 2) {
        const long batch = std::max(1L, static_cast<long>(rate / 1000));
        const long count = static_cast<long>(std::min(rate * secondsPerRun, 1000000.0));
        // A run that falls short of the rate asked is made once more: on a shared machine a
        // short burst of other work can hold the sender back for one run.
        bool started = true;
        for (int attempt = 0; attempt < 2 && started; ++attempt) {
            started = Run(reader, rate, count, batch, &result);
            if (started) {
                Print(reader, result);
                if (result.lost == 0)
                    sustained = std::max(sustained, result.sentPerSecond);
            }
            if (!started || (result.lost == 0 && result.sentPerSecond >= 0.9 * rate))
                break;
        }
        if (!started) {
            fprintf(stderr, "bench_SerialEndToEnd: the run of %s at %.0f Hz could not start\n", Name(reader),
                    rate);
            break;
        }
        if (result.lost != 0 || result.sentPerSecond < 0.9 * rate)
            break;
    }
    return sustained;
}

}  // namespace

int main(int argc, char **argv) {
    const double slowSeconds = argc > 1 ? atof(argv[1]) : 10.0;
    const double ceilingSeconds = argc > 2 ? atof(argv[2]) : 2.0;
    SerialComm::SettleTimeMs = 100;
    double load[3] = {};
    if (getloadavg(load, 3) == 3)
        printf("load average at the start: %.2f %.2f %.2f\n", load[0], load[1], load[2]);

    printf("\nStamp delay at 20 Hz, %.0f s per reader\n", slowSeconds);
    PrintHeader();
    RunResult at20[2];
    for (Reader reader : {Reader::Ours, Reader::Bare}) {
        if (!Run(reader, 20, static_cast<long>(20 * slowSeconds), 1, &at20[static_cast<int>(reader)])) {
            fprintf(stderr, "bench_SerialEndToEnd: the run of %s at 20 Hz could not start\n", Name(reader));
            return 1;
        }
        Print(reader, at20[static_cast<int>(reader)]);
    }
    const RunResult &ours = at20[0], &bare = at20[1];
    printf("ours / bare: median %.2f, p99 %.2f, max %.2f\n", Ratio(ours.medianUs, bare.medianUs),
           Ratio(ours.p99Us, bare.p99Us), Ratio(ours.maxUs, bare.maxUs));

    printf("\nCeiling, %.0f s per run\n", ceilingSeconds);
    PrintHeader();
    const double oursCeiling = Ceiling(Reader::Ours, ceilingSeconds);
    const double bareCeiling = Ceiling(Reader::Bare, ceilingSeconds);
    printf("highest rate stored without loss: ours %.0f lines/s, bare %.0f lines/s, ours / bare %.2f\n",
           oursCeiling, bareCeiling, Ratio(oursCeiling, bareCeiling));
    if (getloadavg(load, 3) == 3)
        printf("load average at the end: %.2f %.2f %.2f\n", load[0], load[1], load[2]);
    return 0;
}
