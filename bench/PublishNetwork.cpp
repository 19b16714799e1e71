// What a network of stations costs one broker: N stations, each a data directory of its own
// into which this program writes a statistics period every P seconds (the real 60 s sped up)
// and an error entry every tenth period, each with its kestrune-publish, all against one
// mosquitto on loopback, and one subscriber to kestrune/# that counts what arrives. Reports
// the publishers' CPU time and peak memory per station, the broker's CPU time and peak
// memory, the messages received against those expected, and the delay from the writing of a
// period to its arrival.
//
//   bench_PublishNetwork [stations, default 100] [seconds, default 60] [period in s, default 6]
#include <mosquitto.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/tools/Broker.h"
#include "tests/tools/StationRun.h"
#include "tools/stationfiles/StationFiles.h"

using namespace stationrun;

namespace {

const char *const StatsHeader[3] = {
    "Metek (SN: 666) Time (YYJJJHH): %s UTC",
    "                    --Blackout--   ------ Heating Status ------   ----- Sensor Path Status ------   "
    "---------- u-component velocity (m/s) -----------   ---------- v-component velocity (m/s) -----------   "
    "----------- w-component velocity (m/s) ----------   ------------ virtual temperature (C) ------------   "
    "------- uw (m^2/s^2) ------   ------- vw (m^2/s^2) ------   ------- wt (m/s)(C) -------",
    "MM:SS:mmm MM:SS:mmm    NumSamp   | OffSamp OnGoodSamp OnBadSamp | BlockSamp BlockAvg  BlockPctAvg | "
    "GoodSamp BadSamp Average StdDev Skewness Kurtosis | GoodSamp BadSamp Average StdDev Skewness Kurtosis | "
    "GoodSamp BadSamp Average StdDev Skewness Kurtosis | GoodSamp BadSamp Average StdDev Skewness Kurtosis | "
    "GoodSamp BadSamp Covariance | GoodSamp BadSamp Covariance | GoodSamp BadSamp Covariance"};
const char StatsFigures[] =
    "          0           1         98         1          11      6.5           65        100       0    "
    "4.05   "
    "0.89    -0.23    -1.02        100       0   -0.36   0.32    -0.55    -0.62        100       0   -0.20   "
    "0.14 "
    "    0.34    -0.77        100       0   20.46   0.19     0.53    -0.97        100       0       0.03     "
    "   100 "
    "      0       0.01        100       0       0.02";

long long NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

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

long PeakKiB(pid_t pid) {
    for (const auto &line : Lines(FileText("/proc/" + std::to_string(pid) + "/status")))
        if (line.compare(0, 6, "VmHWM:") == 0)
            return std::atol(line.c_str() + 6);
    return -1;
}

void Append(const std::string &path, const std::string &text) {
    std::ofstream(path, std::ios::binary | std::ios::app) << text;
}

// One period line "MM:SS:mmm-MM:SS:mmm figures" of the hour that holds start.
std::string PeriodLine(long long start, long long end) {
    station::Civil s = station::CivilFromMillis(start), e = station::CivilFromMillis(end);
    char text[64];
    snprintf(text, sizeof text, "%02d:%02d:%03d-%02d:%02d:%03d", s.Minute, s.Second, s.Millisecond,
             e.Hour != s.Hour ? 60 : e.Minute, e.Hour != s.Hour ? 0 : e.Second, e.Millisecond);
    return std::string(text) + StatsFigures + "\r\n";
}

struct Counter {
    std::mutex Mutex;
    std::map<std::string, long> ByLeaf;
    std::map<std::string, long long> WrittenAt;  // "<station> <start>" -> write time
    std::vector<double> DelayMs;
};

}  // namespace

int main(int argc, char **argv) {
    const int stations = argc > 1 ? std::atoi(argv[1]) : 100;
    const int seconds = argc > 2 ? std::atoi(argv[2]) : 60;
    const int period = argc > 3 ? std::atoi(argv[3]) : 6;
    if (stations < 1 || seconds < 1 || period < 1) {
        std::fprintf(stderr, "usage: bench_PublishNetwork [stations] [seconds] [period s]\n");
        return 2;
    }
    std::printf("load average at start: %s", FileText("/proc/loadavg").c_str());
    TestRoot root;
    const int port = brokertest::FreePort();
    brokertest::Broker broker(root.Path() + "/", port);
    if (!broker.Start()) {
        std::fprintf(stderr, "mosquitto did not start\n");
        return 1;
    }
    const pid_t brokerPid = broker.Pid();

    Counter counter;
    mosquitto_lib_init();
    mosquitto *sub = mosquitto_new(nullptr, true, &counter);
    mosquitto_connect_callback_set(sub, [](mosquitto *m, void *, int rc) {
        if (rc == 0)
            mosquitto_subscribe(m, nullptr, "kestrune/#", 1);
    });
    mosquitto_subscribe_callback_set(sub, [](mosquitto *, void *, int, int, const int *) {});
    mosquitto_message_callback_set(sub, [](mosquitto *, void *data, const mosquitto_message *message) {
        auto *c = static_cast<Counter *>(data);
        std::string topic = message->topic;
        std::string leaf = topic.substr(topic.rfind('/') + 1);
        std::string stationName = topic.substr(9, topic.find('/', 9) - 9);
        std::string payload(static_cast<const char *>(message->payload),
                            static_cast<size_t>(message->payloadlen));
        std::lock_guard<std::mutex> lock(c->Mutex);
        ++c->ByLeaf[leaf];
        if (leaf == "stats") {
            size_t at = payload.find("\"start\":\"");
            auto it = c->WrittenAt.find(stationName + " " + payload.substr(at + 9, 24));
            if (it != c->WrittenAt.end())
                c->DelayMs.push_back(static_cast<double>(NowMs() - it->second));
        }
    });
    if (mosquitto_connect(sub, "127.0.0.1", port, 30) != MOSQ_ERR_SUCCESS ||
        mosquitto_loop_start(sub) != MOSQ_ERR_SUCCESS) {
        std::fprintf(stderr, "subscriber cannot connect\n");
        return 1;
    }

    std::vector<std::string> data(stations);
    std::vector<std::unique_ptr<Child>> publishers;
    for (int i = 0; i < stations; ++i) {
        std::string stationRoot = root.Path() + "/s" + std::to_string(i);
        data[i] = stationRoot + "/c/Data/Code/Projects/Win32Console/Kestrune";
        std::filesystem::create_directories(data[i]);
        publishers.emplace_back(new Child({BinDir + "/kestrune-publish", "--station", "s" + std::to_string(i),
                                           "--broker", "127.0.0.1:" + std::to_string(port)},
                                          {}, stationRoot + "/publish.err",
                                          {"env", "KESTRUNE_ROOT=" + stationRoot}));
    }
    std::vector<double> cpu0(stations);
    for (int i = 0; i < stations; ++i)
        cpu0[i] = CpuSeconds(publishers[i]->Pid());
    const double brokerCpu0 = brokerPid > 0 ? CpuSeconds(brokerPid) : 0;

    // The stations' writing: every period one statistics line, every tenth an error entry.
    long long start = NowMs() / 1000 * 1000, end = start + seconds * 1000LL;
    long periods = 0, errors = 0;
    for (long long t = start + period * 1000LL; t <= end; t += period * 1000LL) {
        while (NowMs() < t)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        const long long from = t - period * 1000LL;
        for (int i = 0; i < stations; ++i) {
            std::string stats = data[i] + "/" + station::StatsFileName(from);
            if (station::FileSize(stats) < 0) {
                std::string name = station::StatsFileName(from);
                char first[128];
                snprintf(first, sizeof first, StatsHeader[0], name.substr(4, 7).c_str());
                Append(stats,
                       std::string(first) + "\r\n" + StatsHeader[1] + "\r\n" + StatsHeader[2] + "\r\n");
            }
            {
                std::lock_guard<std::mutex> lock(counter.Mutex);
                counter.WrittenAt["s" + std::to_string(i) + " " + station::IsoTime(from)] = NowMs();
            }
            Append(stats, PeriodLine(from, t));
            if (periods % 10 == 0) {
                station::Civil c = station::CivilFromMillis(t);
                char entry[160];
                snprintf(entry, sizeof entry,
                         "%02d:%02d:%02d:%03d  5301  Metek1: 3 instrument lines lost.\r\n", c.Hour, c.Minute,
                         c.Second, c.Millisecond);
                Append(data[i] + "/" + station::LogFileName(t), entry);
            }
        }
        errors += periods % 10 == 0;
        ++periods;
    }
    // What was written has a few seconds to arrive.
    for (int i = 0; i < 100; ++i) {
        {
            std::lock_guard<std::mutex> lock(counter.Mutex);
            if (counter.ByLeaf["stats"] >= periods * stations &&
                counter.ByLeaf["events"] >= errors * stations)
                break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    double cpu = 0;
    long peakSum = 0, peakMax = 0;
    for (int i = 0; i < stations; ++i) {
        cpu += CpuSeconds(publishers[i]->Pid()) - cpu0[i];
        long peak = PeakKiB(publishers[i]->Pid());
        peakSum += peak;
        peakMax = std::max(peakMax, peak);
    }
    const double brokerCpu = brokerPid > 0 ? CpuSeconds(brokerPid) - brokerCpu0 : -1;
    const long brokerPeak = brokerPid > 0 ? PeakKiB(brokerPid) : -1;
    publishers.clear();
    mosquitto_disconnect(sub);
    mosquitto_loop_stop(sub, true);
    mosquitto_destroy(sub);

    std::lock_guard<std::mutex> lock(counter.Mutex);
    std::vector<double> delays = counter.DelayMs;
    std::sort(delays.begin(), delays.end());
    auto at = [&](double f) {
        return delays.empty() ? 0.0 : delays[static_cast<size_t>(f * static_cast<double>(delays.size() - 1))];
    };
    const double span = static_cast<double>(seconds);
    std::printf("%d stations, %d s, a period every %d s (%.0fx the real 60 s)\n", stations, seconds, period,
                60.0 / period);
    std::printf("received: stats %ld of %ld, events %ld of %ld, health %ld\n", counter.ByLeaf["stats"],
                periods * stations, counter.ByLeaf["events"], errors * stations, counter.ByLeaf["health"]);
    std::printf("period written -> received: median %.0f ms, p99 %.0f ms, max %.0f ms\n", at(0.5), at(0.99),
                delays.empty() ? 0.0 : delays.back());
    std::printf(
        "publisher per station: CPU %.2f%% of a core (%.3f s in %d s), peak memory %ld KiB (max %ld KiB)\n",
        100.0 * cpu / stations / span, cpu / stations, seconds, peakSum / stations, peakMax);
    std::printf("broker (all stations): CPU %.2f%% of a core (%.3f s), peak memory %ld KiB\n",
                100.0 * brokerCpu / span, brokerCpu, brokerPeak);
    std::printf("load average at end: %s", FileText("/proc/loadavg").c_str());
    return 0;
}
