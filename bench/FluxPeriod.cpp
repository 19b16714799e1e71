// Cost of the flux periods on the archive thread.
//
//   period  CPU time of one 30-minute period (the records through the period stream and the
//           period's computation: despiking, rotation, moments, tests, the CSV row) at 20 Hz
//           (36,000 records) and at 50 Hz (90,000), synthetic turbulence; median of the runs.
//   pass    the real archive pass of the uSonic-3 class over a buffer of 4000 records (20 Hz,
//           200 s) whose middle reaches the end of a 30-minute period that holds 20 Hz records
//           from its start. Timed in CPU time of the thread from the pass's start (robust on a
//           loaded machine): when its last raw write returned, and when the pass ended. Beside it the same
//           pass with fluxes off. The raw write of the closing pass is not delayed when its time equals the
//           one with fluxes off; the period's computation comes after it.
//
//   bench_FluxPeriod [runs, default 5]
#include <stdlib.h>
#include <time.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "flux/Flux.h"
#include "instrument/SonicMetek3ClassAMPSerial.h"
#include "services/Win32Util.h"
#include "tests/common/TestRoot.h"

namespace {

double CpuSeconds() {
    struct timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// Reproducible turbulence: a wind of about 3 m/s with gusts, w and T correlated.
struct Turbulence {
    unsigned long long state = 12345;
    double Uniform() {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<double>(state >> 11) / 9007199254740992.0 - 0.5;
    }
    void Next(double &u, double &v, double &w, double &t) {
        const double g = Uniform();
        u = 3.0 + 1.2 * g + 0.3 * Uniform();
        v = -1.0 + 0.8 * Uniform();
        w = 0.1 - 0.2 * g + 0.4 * Uniform();
        t = 20.0 + 0.5 * w + 0.2 * Uniform();
    }
};

const flux::Stamp DayStart = 134412480000000000LL;  // 2026-12-09T00:00:00Z

double PeriodCpu(int hertz, int runs) {
    flux::Settings settings;
    const long long count = 1800LL * hertz;
    const flux::Stamp step = flux::UnitsPerSecond / hertz;
    std::vector<flux::Record> records(static_cast<size_t>(count));
    Turbulence turbulence;
    for (long long i = 0; i < count; ++i) {
        flux::Record &r = records[static_cast<size_t>(i)];
        r.Time = DayStart + i * step;
        turbulence.Next(r.U, r.V, r.W, r.T);
        // values as the raw line gives them: three decimals
        r.U = std::round(r.U * 1000) / 1000;
        r.V = std::round(r.V * 1000) / 1000;
        r.W = std::round(r.W * 1000) / 1000;
        r.T = std::round(r.T * 1000) / 1000;
    }
    std::vector<double> times;
    size_t rowBytes = 0;
    for (int run = 0; run < runs; ++run) {
        const double cpu = CpuSeconds();
        flux::PeriodStream stream(settings);
        std::vector<flux::Result> closed;
        for (const flux::Record &r : records)
            stream.Add(r, closed);
        flux::Result result;
        stream.Flush(result);
        rowBytes += flux::CsvRow(result).size();
        times.push_back(CpuSeconds() - cpu);
    }
    std::sort(times.begin(), times.end());
    if (rowBytes == 0)
        printf("(no row)\n");
    return times[times.size() / 2];
}

// The engine with the end of each raw write noted.
class TimedEngine : public SonicMetek3ClassAMPSerial {
public:
    TimedEngine(EventLog &log) : SonicMetek3ClassAMPSerial("Metek", "666", log) {}
    void WriteRawFile(const char *name, SYSTEMTIME time) override {
        SonicMetek3ClassAMPSerial::WriteRawFile(name, time);
        RawWriteDone = CpuSeconds();
    }
    double RawWriteDone = 0;
};

struct PassTimes {
    double raw = 0, pass = 0;  // wall seconds from the pass's start
    long rows = 0;
};

PassTimes ClosingPass(bool fluxes) {
    TestRoot root;
    EventLog log("Bench EventLog", "C:\\Data\\Bench");
    std::unique_ptr<TimedEngine> engine(new TimedEngine(log));
    TimedEngine &e = *engine;
    e.RawTimeKeyFormat = 2;
    e.RawTimeKeyEnabled = 1;
    e.QualityControl = 1;
    snprintf(e.RawArchiveDirectory, sizeof e.RawArchiveDirectory, "%s", "C:\\Data\\Bench");
    snprintf(e.RawFileTemplate, sizeof e.RawFileTemplate, "lab0<YYJJJHH>_raw.txt");
    snprintf(e.StatsArchiveDirectory, sizeof e.StatsArchiveDirectory, "%s", "C:\\Data\\Bench");
    snprintf(e.StatsFileTemplate, sizeof e.StatsFileTemplate, "lab0<YYJJJHH>_stats.txt");
    e.RawArchivePeriod = 60;
    e.StatsArchivePeriod = 60;
    if (fluxes)
        e.FluxSettings = flux::Settings();
    DataAcquisition::ArchiveThreadState state;
    e.BeginArchive(state);

    // The period 14:00-14:30 holds 20 Hz records up to the buffer's start at 14:28:20.
    const flux::Stamp periodStart = DayStart + 14 * 3600 * flux::UnitsPerSecond;
    const flux::Stamp bufferStart = periodStart + (1800 - 100) * flux::UnitsPerSecond;
    const flux::Stamp step = flux::UnitsPerSecond / 20;
    Turbulence turbulence;
    for (flux::Stamp t = periodStart; t < bufferStart; t += step) {
        flux::Record r;
        r.Time = t;
        turbulence.Next(r.U, r.V, r.W, r.T);
        e.FluxRecords.push_back(r);
    }
    e.ArchiveFlux(false);

    SampleBuffer &buffer = e.Buffers[0];
    for (DWORD i = 0; i < SampleBuffer::Capacity; ++i) {
        double u, v, w, t;
        turbulence.Next(u, v, w, t);
        char text[160];
        const int length = snprintf(
            text, sizeof text, "M0A1B2C3D1215,%.2f,%.2f,%.2f,%.2f,0.12,0.34,0,0,1.5,2.5\r\n", u, v, w, t);
        SampleRecord &record = buffer.Records[i];
        delete[] record.Text;
        record.Text = new char[static_cast<size_t>(length) + 1];
        memcpy(record.Text, text, static_cast<size_t>(length) + 1);
        record.Length = length;
        record.Status = SampleGood;
        record.TimeStamp =
            UnitsToFileTime(static_cast<ULONGLONG>(bufferStart + static_cast<flux::Stamp>(i) * step));
    }
    buffer.SampleCount.store(SampleBuffer::Capacity, std::memory_order_release);
    e.CurrentBuffer = 0;

    PassTimes times;
    const double start = CpuSeconds();
    e.ArchivePass(state);
    times.pass = CpuSeconds() - start;
    times.raw = e.RawWriteDone - start;
    const std::string flux = root.Path() + "/c/Data/Bench/lab026343_flux.csv";
    FILE *file = fopen(flux.c_str(), "rb");
    if (file) {
        int c, lines = 0;
        while ((c = fgetc(file)) != EOF)
            lines += c == '\n';
        fclose(file);
        times.rows = lines > 0 ? lines - 1 : 0;
    }
    return times;
}

}  // namespace

int main(int argc, char **argv) {
    const int runs = argc > 1 ? std::max(1, atoi(argv[1])) : 5;
    double load[3] = {};
    if (getloadavg(load, 3) == 3)
        printf("load average at the start: %.2f %.2f %.2f\n", load[0], load[1], load[2]);

    printf("\nperiod: CPU time of one 30-minute flux period (median of %d)\n", runs);
    for (int hertz : {20, 50})
        printf("  %2d Hz, %6d records: %8.2f ms\n", hertz, 1800 * hertz, PeriodCpu(hertz, runs) * 1e3);

    printf(
        "\npass: the archive pass whose buffer closes a 30-minute period (median of %d, CPU ms of the thread "
        "start)\n",
        runs);
    printf("  %-12s %14s %12s %10s\n", "fluxes", "raw write done", "pass ended", "flux rows");
    for (bool fluxes : {false, true}) {
        std::vector<PassTimes> all;
        for (int run = 0; run < runs; ++run)
            all.push_back(ClosingPass(fluxes));
        std::vector<double> raw, pass;
        for (const PassTimes &t : all) {
            raw.push_back(t.raw);
            pass.push_back(t.pass);
        }
        std::sort(raw.begin(), raw.end());
        std::sort(pass.begin(), pass.end());
        printf("  %-12s %14.2f %12.2f %10ld\n", fluxes ? "on" : "off", raw[raw.size() / 2] * 1e3,
               pass[pass.size() / 2] * 1e3, all.back().rows);
    }
    if (getloadavg(load, 3) == 3)
        printf("\nload average at the end: %.2f %.2f %.2f\n", load[0], load[1], load[2]);
    return 0;
}
