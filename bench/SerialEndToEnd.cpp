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
// 3. Wire-paced at 20 Hz (usonic-sim --wire, 57600 baud 8N1): the error of each stamp against
//    the line's first byte as the simulator sent it, median, 99th percentile and maximum, for
//    our engine (stamping at the first byte), the bare reader stamping each line feed with its
//    read, and the same bare reader with the first-byte correction (its read time minus the
//    wire time of the bytes from the line's first byte to the end of that read). Once on the
//    machine as it is, once with one busy thread per core at normal priority.
//
//   bench_SerialEndToEnd [seconds at 20 Hz, default 10] [seconds per ceiling run, default 2]
//                        [seconds per wire-paced run, default 10]
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
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
    ULONGLONG Corrected = 0;  // the bare reader's first-byte estimate
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
    // characterUnits: the wire time of one character in 100-ns units, for the corrected stamps.
    explicit BareReader(const std::string &device, double characterUnits = 0)
        : characterUnits_(characterUnits) {
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
                // The bytes from the line's first byte to the end of this read came after it.
                const double after =
                    static_cast<double>(partial.size() + static_cast<size_t>(end - feed) - 1);
                const ULONGLONG corrected = stamp - static_cast<ULONGLONG>(after * characterUnits_);
                if (!first)
                    lines_.push_back({partial, stamp, corrected});
                first = false;
                partial.clear();
                at = feed + 1;
            }
            progress_.notify_all();
        }
    }

    double characterUnits_ = 0;
    int fd_ = -1;
    int stop_[2] = {-1, -1};
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable progress_;
    std::vector<Received> lines_;
};

// The wire time of one 8N1 character at 57600 baud, in 100-ns units.
const double WireCharacterUnits = 10.0 / 57600 * 1e7;

bool Run(Reader reader, double rate, long count, long batch, RunResult *result, bool wire = false,
         RunResult *corrected = nullptr) {
    TestRoot root;
    const std::string logPath = root.Path() + "/sim.log";
    char rateText[32];
    snprintf(rateText, sizeof rateText, "%g", rate);
    std::vector<std::string> arguments = {"--after-flush", "--count", std::to_string(count),
                                          "--rate",        rateText,  "--linger"};
    if (wire) {
        arguments.push_back("--wire");
    } else {
        arguments.push_back("--batch");
        arguments.push_back(std::to_string(batch));
    }
    Simulator sim(arguments, logPath);
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
        BareReader bare(sim.Device(), WireCharacterUnits);
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
    std::vector<double> delays, correctedDelays;
    size_t j = 0;
    for (const Received &r : records) {
        while (j < sent.size() && sent[j].Text != r.Text)
            ++j;
        if (j == sent.size())
            break;
        delays.push_back((static_cast<double>(r.Stamp) - static_cast<double>(sent[j].SendTime)) / 10.0);
        correctedDelays.push_back((static_cast<double>(r.Corrected) - static_cast<double>(sent[j].SendTime)) /
                                  10.0);
        ++j;
    }
    // The largest error either way: a stamp can also come before the first byte.
    auto worst = [](const std::vector<double> &values) {
        double largest = 0;
        for (double value : values)
            largest = std::fabs(value) > std::fabs(largest) ? value : largest;
        return largest;
    };
    result->medianUs = Percentile(delays, 0.5);
    result->p99Us = Percentile(delays, 0.99);
    result->maxUs = wire             ? worst(delays)
                    : delays.empty() ? 0
                                     : *std::max_element(delays.begin(), delays.end());
    if (corrected != nullptr) {
        *corrected = *result;
        corrected->medianUs = Percentile(correctedDelays, 0.5);
        corrected->p99Us = Percentile(correctedDelays, 0.99);
        corrected->maxUs = worst(correctedDelays);
    }
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

// One busy thread per core at normal priority, for as long as it lives.
class CpuLoad {
public:
    CpuLoad() {
        const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
        for (unsigned i = 0; i < cores; ++i)
            threads_.emplace_back([this] {
                volatile unsigned long spin = 0;
                while (!stop_.load(std::memory_order_relaxed))
                    spin = spin + 1;
            });
    }
    ~CpuLoad() {
        stop_.store(true);
        for (std::thread &thread : threads_)
            thread.join();
    }
    size_t Threads() const { return threads_.size(); }

private:
    std::atomic<bool> stop_{false};
    std::vector<std::thread> threads_;
};

// The wire-paced comparison: ours, the bare reader at the line feed and with the correction.
bool WirePaced(double seconds, const char *condition) {
    printf("\nError against the first byte, wire-paced at 20 Hz, %.0f s per reader, %s\n", seconds,
           condition);
    printf("%-15s %8s %11s %11s %11s\n", "", "lines", "median us", "p99 us", "max us");
    RunResult ours, bare, corrected;
    const long count = static_cast<long>(20 * seconds);
    if (!Run(Reader::Ours, 20, count, 1, &ours, true) ||
        !Run(Reader::Bare, 20, count, 1, &bare, true, &corrected)) {
        fprintf(stderr, "bench_SerialEndToEnd: a wire-paced run could not start\n");
        return false;
    }
    const std::pair<const char *, const RunResult *> rows[] = {
        {"ours", &ours}, {"bare line feed", &bare}, {"bare corrected", &corrected}};
    for (const auto &row : rows)
        printf("%-15s %8zu %11.1f %11.1f %11.1f\n", row.first, row.second->stored, row.second->medianUs,
               row.second->p99Us, row.second->maxUs);
    printf("ours / bare line feed: median %.3f, p99 %.3f; ours / bare corrected: median %.2f, p99 %.2f\n",
           Ratio(ours.medianUs, bare.medianUs), Ratio(ours.p99Us, bare.p99Us),
           Ratio(ours.medianUs, corrected.medianUs), Ratio(ours.p99Us, corrected.p99Us));
    fflush(stdout);
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    const double slowSeconds = argc > 1 ? atof(argv[1]) : 10.0;
    const double ceilingSeconds = argc > 2 ? atof(argv[2]) : 2.0;
    const double wireSeconds = argc > 3 ? atof(argv[3]) : 10.0;
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

    if (wireSeconds > 0) {
        if (!WirePaced(wireSeconds, "machine as it is"))
            return 1;
        CpuLoad load;
        char condition[80];
        snprintf(condition, sizeof condition, "with %zu busy threads at normal priority", load.Threads());
        if (!WirePaced(wireSeconds, condition))
            return 1;
    }

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
