// What the station page costs while kestrune acquires at 20 Hz from usonic-sim: two runs of
// the same length, one without the monitor and one with kestrune-monitor serving a client that
// reloads the page every few seconds, as an open browser does. Reports per run the stamp
// delay of the archived samples (raw-file time key minus the simulator's send time, in ms; the
// key has millisecond resolution), the CPU time of kestrune, and for the second run the CPU
// time of the monitor and how long a page took to answer.
//
//   bench_MonitorCost [seconds per run, default 30] [page reload interval in s, default 5]
#include <httplib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "services/StationFormats.h"
#include "tests/tools/StationRun.h"
#include "tools/stationfiles/StationFiles.h"

using namespace stationrun;

namespace {
// 2026-11-01, the first day WriteMonth writes; only its date goes into the log header.
SYSTEMTIME FirstOfMonth() {
    SYSTEMTIME day = {};
    day.wYear = 2026, day.wMonth = 11, day.wDay = 1;
    return day;
}
}  // namespace

namespace {

double Percentile(std::vector<double> values, double fraction) {
    if (values.empty())
        return 0;
    size_t at = static_cast<size_t>(fraction * static_cast<double>(values.size() - 1) + 0.5);
    std::nth_element(values.begin(), values.begin() + static_cast<long>(at), values.end());
    return values[at];
}

// CPU seconds (user + system) a process has used so far.
double CpuSeconds(pid_t pid) {
    std::string stat = FileText("/proc/" + std::to_string(pid) + "/stat");
    size_t close = stat.rfind(')');
    if (close == std::string::npos)
        return 0;
    std::istringstream fields(stat.substr(close + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14)
            utime = std::stoull(field);
        if (i == 15)
            stime = std::stoull(field);
    }
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// Peak resident memory of a process in KiB (VmHWM).
long PeakKiB(pid_t pid) {
    for (const auto &line : Lines(FileText("/proc/" + std::to_string(pid) + "/status")))
        if (line.compare(0, 6, "VmHWM:") == 0)
            return std::atol(line.c_str() + 6);
    return -1;
}

long long NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

struct Result {
    size_t lines = 0;
    double medianMs = 0, p99Ms = 0, maxMs = 0;
    double programCpu = 0;
    double monitorCpu = -1;
    long monitorPeakKiB = -1;
    size_t pages = 0;
    double pageMedianMs = 0, pageMaxMs = 0;
};

Result Run(int seconds, bool withMonitor, int reload) {
    Result result;
    TestRoot root;
    const std::string data = station::DefaultDataDirectory();  // below the root just made
    const std::string simLog = root.Path() + "/usonic-sim.log";
    Child sim({BinDir + "/kestrune-sim", "--rate", "20", "--duration", std::to_string(seconds), "--log",
               simLog, "--preamble", "1", "--after-flush", "--linger"},
              {}, root.Path() + "/sim.err");
    std::string device = sim.ReadLine();
    Child program({BinDir + "/kestrune"}, {"KESTRUNE_COM1=" + device}, root.Path() + "/kestrune.err");
    std::unique_ptr<Child> monitor;
    std::unique_ptr<httplib::Client> client;
    if (withMonitor) {
        monitor.reset(new Child({BinDir + "/kestrune-monitor", "--listen", "127.0.0.1:0", "--data-dir", data},
                                {}, root.Path() + "/monitor.err"));
        std::string line = monitor->ReadLine();
        int port = std::atoi(line.c_str() + line.rfind(':') + 1);
        client.reset(new httplib::Client("127.0.0.1", port));
    }
    const double monitorCpu0 = monitor ? CpuSeconds(monitor->Pid()) : 0;
    std::vector<double> pageMs;
    // The simulator prints "done N" when it has sent everything; until then, reload the page.
    long long end = NowMs() + seconds * 1000LL + 2000;
    while (NowMs() < end) {
        if (client) {
            long long t0 = NowMs();
            auto page = client->Get("/");
            if (page && page->status == 200)
                pageMs.push_back(static_cast<double>(NowMs() - t0));
        }
        // The client's pace: one page per reload interval, as a browser with the page open.
        std::this_thread::sleep_for(std::chrono::seconds(reload));
    }
    sim.ReadLine();  // "done N"
    // Let the last buffer reach the raw file (hand-over at the latest 10 s after its first line).
    auto sent = [&] {
        size_t n = 0;
        for (const auto &line : Lines(FileText(simLog)))
            n += line.find(" L ") != std::string::npos;
        return n;
    };
    const size_t total = sent();
    WaitForDirectory(
        data, [&] { return DataLines(data, "_raw.txt", 1) >= total; }, 30);
    result.programCpu = CpuSeconds(program.Pid());
    if (monitor) {
        result.monitorCpu = CpuSeconds(monitor->Pid()) - monitorCpu0;
        result.monitorPeakKiB = PeakKiB(monitor->Pid());
    }
    program.Kill(SIGTERM);
    sim.CloseInput();
    sim.Wait();
    if (monitor)
        monitor->Kill(SIGTERM);

    // Pair the sent lines with the archived ones, in order.
    std::vector<long long> sendMs;
    for (const auto &line : Lines(FileText(simLog))) {
        unsigned long number;
        unsigned long long filetime;
        char kind;
        if (sscanf(line.c_str(), "%lu %llu %c", &number, &filetime, &kind) == 3 && kind == 'L')
            sendMs.push_back(static_cast<long long>(filetime / 10000) - 11644473600000LL);
    }
    std::vector<long long> keyMs;
    for (const auto &path : FilesEndingWith(data, "_raw.txt")) {
        std::string name = std::filesystem::path(path).filename().string();
        std::tm tm = {};
        tm.tm_year = 100 + std::stoi(name.substr(4, 2));
        tm.tm_mday = std::stoi(name.substr(6, 3));
        tm.tm_hour = std::stoi(name.substr(9, 2));
        long long hour = static_cast<long long>(timegm(&tm)) * 1000;
        std::vector<std::string> lines = Lines(FileText(path));
        for (size_t i = 1; i < lines.size(); ++i)
            keyMs.push_back(hour + std::stoll(lines[i].substr(0, 2)) * 60000 +
                            std::stoll(lines[i].substr(2, 5)));
    }
    std::vector<double> delays;
    for (size_t i = 0; i < std::min(sendMs.size(), keyMs.size()); ++i)
        delays.push_back(static_cast<double>(keyMs[i] - sendMs[i]));
    result.lines = delays.size();
    result.medianMs = Percentile(delays, 0.5);
    result.p99Ms = Percentile(delays, 0.99);
    result.maxMs = delays.empty() ? 0 : *std::max_element(delays.begin(), delays.end());
    result.pages = pageMs.size();
    result.pageMedianMs = Percentile(pageMs, 0.5);
    result.pageMaxMs = pageMs.empty() ? 0 : *std::max_element(pageMs.begin(), pageMs.end());
    if (sendMs.size() != keyMs.size())
        std::fprintf(stderr, "note: %zu lines sent, %zu archived\n", sendMs.size(), keyMs.size());
    return result;
}

// A month of files in the program's formats: 31 days of statistics (one period a minute) and
// event logs (an archive pass every 10 s), raw files of every hour with the last two hours
// full at 20 Hz, in the default data directory of the KESTRUNE_ROOT in force. Returns it.
std::string WriteMonth() {
    const std::string data = station::DefaultDataDirectory();
    std::filesystem::create_directories(data);
    std::tm first = {};
    first.tm_year = 126, first.tm_mon = 10, first.tm_mday = 1;  // 2026-11-01
    const long long start = static_cast<long long>(timegm(&first));
    for (int day = 0; day < 31; ++day) {
        for (int hour = 0; hour < 24; ++hour) {
            std::time_t t = static_cast<std::time_t>(start + day * 86400LL + hour * 3600LL);
            std::tm tm = {};
            gmtime_r(&t, &tm);
            char stem[32];
            snprintf(stem, sizeof stem, "/lab0%02d%03d%02d", tm.tm_year % 100, tm.tm_yday + 1, hour);
            const std::string name = data + stem;
            std::ofstream stats(name + "_stats.txt", std::ios::binary);
            stats
                << "Metek (SN: 666) Time (YYJJJHH): header\r\n                    --Blackout--   u-component "
                   "wt (m/s)(C)\r\nMM:SS:mmm MM:SS:mmm    NumSamp\r\n";
            for (int minute = 0; minute < 60; ++minute) {
                char line[512];
                snprintf(line, sizeof line,
                         "%02d:00:000-%02d:00:000 %10d    %8d %10d %9d   %9d %8.1f %12.f   %8d %7d %7.2f "
                         "%6.2f %8.2f "
                         "%8.2f   %8d %7d %7.2f %6.2f %8.2f %8.2f   %8d %7d %7.2f %6.2f %8.2f %8.2f   %8d "
                         "%7d %7.2f "
                         "%6.2f %8.2f %8.2f   %8d %7d %10.2f   %8d %7d %10.2f   %8d %7d %10.2f\r\n",
                         minute, (minute + 1) % 60, 0, 10, 1180, 10, 120, 4.7, 47.0, 1200, 0,
                         3.2 + hour * 0.05, 0.3, -0.1, 0.2, 1200, 0, -1.1, 0.3, 0.1, 0.1, 1200, 0, 0.05, 0.2,
                         0.0, 0.1, 1200, 0, 20.5 + hour * 0.1, 0.3, 0.1, 0.1, 1200, 0, -0.05, 1200, 0, 0.01,
                         1200, 0, 0.02);
                stats << line;
            }
            std::ofstream raw(name + "_raw.txt", std::ios::binary);
            raw << "11/01/2026 00:00 Metek (SN: 666)\r\n";
            if (day == 30 && hour >= 22) {
                for (int i = 0; i < 72000; ++i) {
                    char line[160];
                    int ms = i * 50;
                    snprintf(
                        line, sizeof line,
                        "%02d%02d%03d 000000%03d0000 3.210 -1.050 0.040 20.510 12.000 35.000 68.000 -99.\r\n",
                        ms / 60000, ms / 1000 % 60, ms % 1000, i % 1000);
                    raw << line;
                }
            }
        }
        std::time_t t = static_cast<std::time_t>(start + day * 86400LL);
        std::tm tm = {};
        gmtime_r(&t, &tm);
        char stem[32];
        snprintf(stem, sizeof stem, "/%02d%03d.log", tm.tm_year % 100, tm.tm_yday + 1);
        std::ofstream log(data + stem, std::ios::binary);
        std::string header;
        AppendEventLogHeader(header, FirstOfMonth(), "QORL Data Acquisition Service EventLog");
        log << header;
        for (int i = 0; i < 8640; ++i) {
            char line[160];
            snprintf(line, sizeof line,
                     "%02d:%02d:%02d:000  5017  Metek1: Archiving 200 of 200 raw data samples.\r\n", i / 360,
                     i / 6 % 60, i % 6 * 10);
            log << line;
        }
    }
    return data;
}

// The monitor's peak memory after its first page and after every day of the month.
void MonthOfFiles() {
    TestRoot root;
    const std::string data = WriteMonth();
    Child monitor({BinDir + "/kestrune-monitor", "--listen", "127.0.0.1:0", "--data-dir", data}, {},
                  root.Path() + "/monitor.err");
    std::string line = monitor.ReadLine();
    httplib::Client client("127.0.0.1", std::atoi(line.c_str() + line.rfind(':') + 1));
    auto first = client.Get("/?day=2026-12-01");
    const long afterFirst = PeakKiB(monitor.Pid());
    std::vector<double> pageMs;
    for (int round = 0; round < 2; ++round) {
        for (int day = 1; day <= 31; ++day) {
            char path[32];
            snprintf(path, sizeof path, "/?day=2026-%02d-%02d", day <= 30 ? 11 : 12, day <= 30 ? day : 1);
            long long t0 = NowMs();
            auto page = client.Get(path);
            if (page && page->status == 200)
                pageMs.push_back(static_cast<double>(NowMs() - t0));
        }
    }
    const long afterMonth = PeakKiB(monitor.Pid());
    std::string periods = "?";
    if (first) {
        size_t at = first->body.find("data-periods=\"");
        if (at != std::string::npos)
            periods = first->body.substr(at + 14, first->body.find('"', at + 14) - at - 14);
    }
    monitor.Kill(SIGTERM);
    std::printf(
        "month of files (31 days, 1440 periods and 8640 log entries a day): first page %s (%s periods), "
        "peak memory %ld KiB after it, %ld KiB after %zu day pages (median %.0f ms, max %.0f ms)\n",
        first && first->status == 200 ? "ok" : "FAILED", periods.c_str(), afterFirst, afterMonth,
        pageMs.size(), Percentile(pageMs, 0.5),
        pageMs.empty() ? 0 : *std::max_element(pageMs.begin(), pageMs.end()));
}

}  // namespace

int main(int argc, char **argv) {
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 30;
    const int reload = argc > 2 ? std::atoi(argv[2]) : 5;
    std::printf("kestrune at 20 Hz from usonic-sim, %d s per run; page reloaded every %d s\n", seconds,
                reload);
    std::printf("%-14s %6s %10s %10s %10s %12s %12s %6s %12s %10s\n", "run", "lines", "delay p50",
                "delay p99", "delay max", "kestrune CPU", "monitor CPU", "pages", "page p50", "page max");
    for (bool withMonitor : {false, true}) {
        Result r = Run(seconds, withMonitor, reload);
        char monitorCpu[32] = "-", pages[16] = "-", pageMedian[32] = "-", pageMax[32] = "-";
        if (withMonitor) {
            std::snprintf(monitorCpu, sizeof monitorCpu, "%.2f s %.2f%%", r.monitorCpu,
                          100.0 * r.monitorCpu / seconds);
            std::snprintf(pages, sizeof pages, "%zu", r.pages);
            std::snprintf(pageMedian, sizeof pageMedian, "%.0f ms", r.pageMedianMs);
            std::snprintf(pageMax, sizeof pageMax, "%.0f ms", r.pageMaxMs);
        }
        std::printf("%-14s %6zu %7.0f ms %7.0f ms %7.0f ms %10.2f s %12s %6s %12s %10s\n",
                    withMonitor ? "page open" : "no monitor", r.lines, r.medianMs, r.p99Ms, r.maxMs,
                    r.programCpu, monitorCpu, pages, pageMedian, pageMax);
        if (withMonitor)
            std::printf("monitor peak resident memory: %ld KiB\n", r.monitorPeakKiB);
        std::fflush(stdout);
    }
    MonthOfFiles();
    return 0;
}
