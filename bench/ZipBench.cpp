// Cost of the hourly compression, on one hour of raw data (20 Hz, 72,000 lines with values
// that vary as measured ones do):
//
//   BM_ZipOurLibrary      zipping it through ProcessFiles and the run-time zip library
//   BM_ZipInfoZip         the same file zipped by Info-ZIP's "zip -6", for comparison
//   BM_DeleteZippedFile   the check of the archive against the file and the delete
//   BM_UnzipOurLibrary    extracting it again
//
// Times are CPU seconds (ours: this thread's, zip: the child's user + system time), so that
// other load on the machine does not distort the comparison; wall times are in the counters.
// At the end the comparison of the two zips is printed: MB/s, compressed/original size and
// the ratio of the times.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

#include "support/ZipUtility.h"

namespace {

constexpr FILETIME AllStart = {0, 0};
constexpr FILETIME AllEnd = {0xFFFFFFFFu, 0x7FFFFFFFu};

// A temporary KESTRUNE_ROOT holding C:\Data\lab02634214_raw.txt: the raw lines the program
// writes (time key, status field, u, v, w, T and four auxiliary values with three decimals),
// with turbulent wind and temperature from a seeded generator.
class HourOfRawData {
public:
    HourOfRawData() {
        char pattern[] = "/tmp/kestrune-bench-XXXXXX";
        root_ = mkdtemp(pattern) ? pattern : "/tmp";
        setenv("KESTRUNE_ROOT", root_.c_str(), 1);
        std::filesystem::create_directories(root_ + "/c/Data");
        std::filesystem::create_directories(root_ + "/c/Zips");
        std::filesystem::create_directories(root_ + "/c/Back");
        FILE *file = std::fopen(RawPath().c_str(), "wb");
        uint64_t state = 20261208;
        auto uniform = [&state] {
            state = state * 6364136223846793005ull + 1442695040888963407ull;
            return static_cast<double>(state >> 11) / 9007199254740992.0;
        };
        auto gauss = [&uniform] {
            double a = uniform();
            return std::sqrt(-2.0 * std::log(a < 1e-12 ? 1e-12 : a)) *
                   std::cos(6.283185307179586 * uniform());
        };
        double u = 0, v = 0, w = 0, t = 0;
        for (int i = 0; i < 72000 && file; ++i) {
            u = 0.95 * u + 0.30 * gauss();
            v = 0.95 * v + 0.30 * gauss();
            w = 0.90 * w + 0.10 * gauss();
            t = 0.98 * t + 0.05 * gauss();
            const int ms = i * 50;
            std::fprintf(file, "%02d%02d%03d %09d%c%d%02d %.3f %.3f %.3f %.3f %.3f %.3f %.3f %.3f\r\n",
                         ms / 60000, ms / 1000 % 60, ms % 1000, i + 1, '0', 0, 100, 3.2 + u, -1.1 + v,
                         0.05 + w, 20.5 + t, 12.0 + uniform(), 35.0 + uniform(), 65.0 + 5 * uniform(),
                         1013.0 + uniform());
        }
        if (file) {
            Bytes = std::ftell(file);
            std::fclose(file);
        }
    }
    ~HourOfRawData() {
        std::error_code ignored;
        std::filesystem::remove_all(root_, ignored);
    }
    std::string RawPath() const { return root_ + "/c/Data/lab02634214_raw.txt"; }
    std::string Posix(const std::string &relative) const { return root_ + "/" + relative; }

    long Bytes = 0;

private:
    std::string root_;
};

HourOfRawData &Data() {
    static HourOfRawData data;
    return data;
}

long FileSize(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? static_cast<long>(st.st_size) : -1;
}

double ThreadCpuSeconds() {
    struct timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

double WallSeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// What each zip achieved, for the comparison printed at the end.
struct Outcome {
    double CpuSeconds = 0;  // per zip
    double Ratio = 0;       // compressed archive size / original size
};
Outcome g_ours, g_zip;

void Report(benchmark::State &state, double cpu, double wall, long archiveBytes, Outcome *outcome) {
    const double perZip = cpu / static_cast<double>(state.iterations());
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * Data().Bytes);
    state.counters["cpu_MBps"] = Data().Bytes / perZip / 1e6;
    state.counters["wall_MBps"] = Data().Bytes / (wall / static_cast<double>(state.iterations())) / 1e6;
    state.counters["ratio"] = static_cast<double>(archiveBytes) / static_cast<double>(Data().Bytes);
    if (outcome) {
        outcome->CpuSeconds = perZip;
        outcome->Ratio = state.counters["ratio"];
    }
}

void BM_ZipOurLibrary(benchmark::State &state) {
    HourOfRawData &data = Data();
    char report[1000];
    double cpu = 0, wall = 0;
    for (auto _ : state) {
        std::filesystem::remove(data.Posix("c/Zips/lab02634214_raw.zip"));
        const double c0 = ThreadCpuSeconds(), w0 = WallSeconds();
        DWORD result = ProcessFiles(ActionZip, "C:\\Data", "*_raw.txt", "C:\\Zips", "", OverwriteAlways,
                                    AllStart, AllEnd, report, sizeof report);
        const double c = ThreadCpuSeconds() - c0;
        wall += WallSeconds() - w0;
        cpu += c;
        state.SetIterationTime(c);
        if (result != 0)
            state.SkipWithError(report);
    }
    Report(state, cpu, wall, FileSize(data.Posix("c/Zips/lab02634214_raw.zip")), &g_ours);
}
BENCHMARK(BM_ZipOurLibrary)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(3.0);

void BM_ZipInfoZip(benchmark::State &state) {
    HourOfRawData &data = Data();
    const std::string archive = data.Posix("c/Zips/infozip.zip");
    double cpu = 0, wall = 0;
    for (auto _ : state) {
        std::filesystem::remove(archive);
        const double w0 = WallSeconds();
        pid_t child = fork();
        if (child == 0) {
            execlp("zip", "zip", "-6", "-q", "-j", archive.c_str(), data.RawPath().c_str(),
                   static_cast<char *>(nullptr));
            _exit(127);
        }
        int status = 0;
        struct rusage usage = {};
        if (child < 0 || wait4(child, &status, 0, &usage) != child || !WIFEXITED(status) ||
            WEXITSTATUS(status) != 0) {
            state.SkipWithError("zip -6 did not run (is Debian's zip installed?)");
            break;
        }
        const double c = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
        wall += WallSeconds() - w0;
        cpu += c;
        state.SetIterationTime(c > 0 ? c : 1e-6);
    }
    if (state.iterations() > 0 && cpu > 0)
        Report(state, cpu, wall, FileSize(archive), &g_zip);
}
BENCHMARK(BM_ZipInfoZip)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(3.0);

// The delete half of a compression run: the archive is listed, the file read for its CRC-32,
// the archive flushed to the disk and the file deleted.
void BM_DeleteZippedFile(benchmark::State &state) {
    HourOfRawData &data = Data();
    char report[1000];
    const std::string copy = data.Posix("c/Zips/lab02634214_raw.txt");
    if (ProcessFiles(ActionZip, "C:\\Data", "*_raw.txt", "C:\\Zips", "", OverwriteAlways, AllStart, AllEnd,
                     report, sizeof report) != 0) {
        state.SkipWithError(report);
        return;
    }
    for (auto _ : state) {
        state.PauseTiming();
        std::filesystem::copy_file(data.RawPath(), copy, std::filesystem::copy_options::overwrite_existing);
        state.ResumeTiming();
        if (DeleteZippedFiles("C:\\Zips", "*_raw.txt", AllStart, AllEnd, nullptr, 0) != 0)
            state.SkipWithError("the archived copy was not verified");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * data.Bytes);
}
BENCHMARK(BM_DeleteZippedFile)->Unit(benchmark::kMillisecond);

void BM_UnzipOurLibrary(benchmark::State &state) {
    HourOfRawData &data = Data();
    char report[1000];
    if (ProcessFiles(ActionZip, "C:\\Data", "*_raw.txt", "C:\\Zips", "", OverwriteAlways, AllStart, AllEnd,
                     report, sizeof report) != 0) {
        state.SkipWithError(report);
        return;
    }
    for (auto _ : state) {
        DWORD result = ProcessFiles(ActionUnzip, "C:\\Zips", "lab*.zip", "C:\\Back", nullptr, OverwriteAlways,
                                    AllStart, AllEnd, report, sizeof report);
        if (result != 0)
            state.SkipWithError(report);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * data.Bytes);
}
BENCHMARK(BM_UnzipOurLibrary)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (g_ours.CpuSeconds > 0 && g_zip.CpuSeconds > 0) {
        const double mb = Data().Bytes / 1e6;
        std::printf("\nOne hour of raw data, %.2f MB, CPU time per zip:\n", mb);
        std::printf("  our library   %7.1f MB/s   compressed to %.4f of the original\n",
                    mb / g_ours.CpuSeconds, g_ours.Ratio);
        std::printf("  zip -6        %7.1f MB/s   compressed to %.4f of the original\n",
                    mb / g_zip.CpuSeconds, g_zip.Ratio);
        std::printf("  our time / zip -6 time: %.2f; our size / zip -6 size: %.4f\n",
                    g_ours.CpuSeconds / g_zip.CpuSeconds, g_ours.Ratio / g_zip.Ratio);
    }
    return 0;
}
