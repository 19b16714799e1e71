// Cost of the archive pass per record: the real DataAcquisition archive pass of the uSonic-3
// class over full buffers of 4000 lines as usonic-sim sends them (20 Hz turbulence, stamps
// 50 ms apart), with quality control, 60-second statistics, time keys, hourly raw files
// written to a real directory and the per-pass event-log entry, as the program runs it.
//
// Each configuration is run twice over fresh buffers:
//   pass   ArchivePass as the archive thread calls it, timed whole;
//   steps  the same steps called one by one in the pass's order, each timed, for the share
//          of each: screening, statistics (periods, sums and the statistics file), raw-line
//          rewrite (with the status count), the event-log entry, the registry bookkeeping,
//          gathering the text (time keys and file names) and the raw-file write.
// The configurations: bookkeeping against the real registry store, and bookkeeping skipped
// (no registry key), so the store's part shows as the difference.
//
// Times are CPU time of the calling thread (robust on a loaded machine) and wall time.
//
//   bench_ArchivePass [passes per run, default 25]
#include <stdlib.h>
#include <time.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "instrument/SonicMetek3ClassAMPSerial.h"
#include "tests/common/Simulator.h"
#include "tests/common/TestRoot.h"

namespace {

const char RegistryKey[] = "SYSTEM\\CurrentControlSet\\Services\\QORL Data Acquisition\\Parameters\\Metek1";
const char DataDirectory[] = "C:\\Data\\Bench";
constexpr DWORD Records = SampleBuffer::Capacity;
constexpr ULONGLONG Period = 500000;  // 50 ms in FILETIME units

double CpuSeconds() {
    struct timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}
double WallSeconds() {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// 4000 lines from usonic-sim at 20 Hz, written to a file in one batch.
std::vector<std::string> SimulatorLines(const std::string &directory) {
    const std::string file = directory + "/lines.txt";
    const std::string command = Simulator::Program() + " --device " + file + " --rate 20 --batch " +
                                std::to_string(Records) + " --count " + std::to_string(Records) +
                                " >/dev/null";
    { std::ofstream create(file); }
    std::vector<std::string> lines;
    if (system(command.c_str()) != 0)
        return lines;
    std::ifstream in(file);
    std::string line;
    while (std::getline(in, line))
        lines.push_back(line);
    return lines;
}

enum Step { Screening, Statistics, Rewrite, LogEntry, Bookkeeping, Gathering, FileWrite, StepCount };
const char *const StepNames[StepCount] = {"screening",   "statistics", "raw-line rewrite", "event-log entry",
                                          "bookkeeping", "gathering",  "raw-file write"};

struct Figures {
    double passCpu = 0, passWall = 0;
    double stepCpu[StepCount] = {};
    long records = 0;
    DWORD archived = 0;
};

class Bench {
public:
    Bench(const std::vector<std::string> &lines, bool bookkeeping) : lines_(lines) {
        log_ = std::make_unique<EventLog>("Bench EventLog", DataDirectory);
        engine_ = std::make_unique<SonicMetek3ClassAMPSerial>("Metek", "666", *log_);
        DataAcquisition &e = *engine_;
        e.RawTimeKeyFormat = 2;
        e.RawTimeKeyEnabled = 1;
        e.QualityControl = 1;
        snprintf(e.RawArchiveDirectory, sizeof e.RawArchiveDirectory, "%s", DataDirectory);
        snprintf(e.RawFileTemplate, sizeof e.RawFileTemplate, "lab0<YYJJJHH>_raw.txt");
        snprintf(e.StatsArchiveDirectory, sizeof e.StatsArchiveDirectory, "%s", DataDirectory);
        snprintf(e.StatsFileTemplate, sizeof e.StatsFileTemplate, "lab0<YYJJJHH>_stats.txt");
        e.RawArchivePeriod = 60;
        e.StatsArchivePeriod = 60;
        e.BlackoutPeriod = 6;
        e.OpenClockSyncBlock();
        if (bookkeeping)
            snprintf(e.RegistryKeyPath, sizeof e.RegistryKeyPath, "%s", RegistryKey);
        e.BeginArchive(state_);
        FILETIME now;
        GetSystemTimeAsFileTime(&now);
        next_ = ((static_cast<ULONGLONG>(now.dwHighDateTime) << 32) | now.dwLowDateTime) / Period * Period;
    }

    // Puts the next 4000 lines into buffer 0 as the reading loop leaves them.
    void Fill() {
        SampleBuffer &buffer = engine_->Buffers[0];
        for (DWORD i = 0; i < Records; ++i) {
            SampleRecord &record = buffer.Records[i];
            const std::string &text = lines_[i % lines_.size()];
            delete[] record.Text;
            record.Text = new char[text.size() + 1];
            memcpy(record.Text, text.c_str(), text.size() + 1);
            record.Length = static_cast<LONG>(text.size());
            record.Status = SampleGood;
            record.TimeStamp.dwLowDateTime = static_cast<DWORD>(next_);
            record.TimeStamp.dwHighDateTime = static_cast<DWORD>(next_ >> 32);
            next_ += Period;
        }
        buffer.ClockStepCount = 0;
        buffer.SampleCount.store(Records, std::memory_order_release);
        engine_->CurrentBuffer = 0;
    }

    void Pass(Figures &f) {
        Fill();
        const double cpu = CpuSeconds(), wall = WallSeconds();
        engine_->ArchivePass(state_);
        f.passCpu += CpuSeconds() - cpu;
        f.passWall += WallSeconds() - wall;
        f.records += Records;
    }

    // The steps of ArchivePass, in its order, each timed.
    void Steps(Figures &f) {
        Fill();
        DataAcquisition &e = *engine_;
        SampleBuffer &buffer = e.Buffers[0];
        double at = CpuSeconds();
        auto lap = [&](Step step) {
            const double now = CpuSeconds();
            f.stepCpu[step] += now - at;
            at = now;
        };
        GetSystemTime(&state_.TakeTime);
        e.FileBufferPosition = 0;
        e.FileBufferSize = 0;
        e.ScreenSamples();
        lap(Screening);
        if (e.StatisticsEnabled)
            e.RunStatisticsTiming();
        lap(Statistics);
        e.ProcessRawSamples();
        lap(Rewrite);
        size_t size = 0;
        for (DWORD i = 0; i < Records; ++i)
            size += static_cast<size_t>(buffer.Records[i].Length);
        size += static_cast<size_t>(Records) * static_cast<size_t>(state_.TimeKeyWidth);
        e.FileBuffer = new char[size]();
        e.FileBufferSize = static_cast<int>(size);
        snprintf(state_.Message, sizeof state_.Message, "%s: Archiving %d of %d raw data samples.", e.Name,
                 static_cast<int>(e.ArchivedCount), static_cast<int>(Records));
        e.EventLogRef.Write(5017, state_.Message);
        lap(LogEntry);
        e.UpdateArchiveBookkeeping(state_.TakeTime, static_cast<int>(e.ArchivedCount + e.EditedCount));
        lap(Bookkeeping);
        e.ArchiveRawSamples(state_);
        buffer.SampleCount.store(0, std::memory_order_release);
        lap(Gathering);
        if (e.WorkingFileName[0] != '\0')
            e.WriteRawFile(e.WorkingFileName, e.CurrentFileTime);
        lap(FileWrite);
        f.archived += e.ArchivedCount;
        delete[] e.FileBuffer;
        e.FileBuffer = nullptr;
        e.FileBufferSize = 0;
        e.FileBufferPosition = 0;
        state_.PreviousTakeTime = state_.TakeTime;
        e.ArchivedCount = e.BadCount = e.BlackoutCount = e.EditedCount = 0;
        f.records += Records;
    }

private:
    const std::vector<std::string> &lines_;
    std::unique_ptr<EventLog> log_;
    std::unique_ptr<SonicMetek3ClassAMPSerial> engine_;
    DataAcquisition::ArchiveThreadState state_;
    ULONGLONG next_ = 0;
};

Figures Measure(const std::vector<std::string> &lines, bool bookkeeping, int passes) {
    Figures f;
    Figures steps;
    {
        TestRoot root;
        Bench bench(lines, bookkeeping);
        for (int i = 0; i < passes; ++i)
            bench.Pass(f);
    }
    {
        TestRoot root;
        Bench bench(lines, bookkeeping);
        for (int i = 0; i < passes; ++i)
            bench.Steps(steps);
    }
    for (int s = 0; s < StepCount; ++s)
        f.stepCpu[s] = steps.stepCpu[s];
    f.archived = steps.archived;
    return f;
}

void Print(const char *title, const Figures &f) {
    const double records = static_cast<double>(f.records);
    printf("\n%s: %ld records in %ld passes\n", title, f.records, f.records / static_cast<long>(Records));
    printf("  pass: %.3f us CPU per record (%.0f records/s), %.3f us wall per record (%.0f records/s)\n",
           f.passCpu / records * 1e6, records / f.passCpu, f.passWall / records * 1e6, records / f.passWall);
    double total = 0;
    for (double s : f.stepCpu)
        total += s;
    printf("  steps one by one: %.3f us CPU per record in all, %u of %ld records archived\n",
           total / records * 1e6, f.archived, f.records);
    for (int s = 0; s < StepCount; ++s)
        printf("    %-18s %8.3f us per record %6.1f%%\n", StepNames[s], f.stepCpu[s] / records * 1e6,
               total > 0 ? 100.0 * f.stepCpu[s] / total : 0.0);
}

}  // namespace

int main(int argc, char **argv) {
    const int passes = argc > 1 ? atoi(argv[1]) : 25;
    double load[3] = {};
    if (getloadavg(load, 3) == 3)
        printf("load average at the start: %.2f %.2f %.2f\n", load[0], load[1], load[2]);
    std::vector<std::string> lines;
    {
        TestRoot root;
        lines = SimulatorLines(root.Path());
    }
    if (lines.size() != Records) {
        fprintf(stderr, "bench_ArchivePass: usonic-sim gave %zu lines, not %u\n", lines.size(), Records);
        return 1;
    }

    const Figures store = Measure(lines, true, passes);
    const Figures skipped = Measure(lines, false, passes);
    Print("bookkeeping against the registry store", store);
    Print("bookkeeping skipped", skipped);
    printf("\nstore / skipped, CPU per record: %.2f; the store's part of the pass: %.1f%%\n",
           store.passCpu / skipped.passCpu, 100.0 * (store.passCpu - skipped.passCpu) / store.passCpu);
    if (getloadavg(load, 3) == 3)
        printf("load average at the end: %.2f %.2f %.2f\n", load[0], load[1], load[2]);
    return 0;
}
