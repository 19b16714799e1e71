// The flux periods of a real run: kestrune against usonic-sim with 60-second periods, stopped
// with SIGTERM, holds the partial first period, the complete ones and the partial last one,
// each counting the raw file's samples of its period; kestrune-flux over the run's raw files
// gives the same file byte for byte.
#include <gtest/gtest.h>

#include <cmath>

#include "tools/StationRun.h"

using namespace stationrun;

namespace {

// libfaketime's interposed clock and lock calls make ThreadSanitizer report the platform
// layer's locks; under it the run waits for the next whole minute instead.
#if defined(__SANITIZE_THREAD__)
constexpr bool UnderThreadSanitizer = true;
#else
constexpr bool UnderThreadSanitizer = false;
#endif

std::vector<std::string> Split(const std::string &text) {
    std::vector<std::string> fields(1);
    for (char c : text) {
        if (c == ',')
            fields.emplace_back();
        else
            fields.back() += c;
    }
    return fields;
}

// Milliseconds since 1970 of "2026-12-09T14:30:00Z".
long long MillisOf(const std::string &iso) {
    std::tm tm = {};
    strptime(iso.c_str(), "%Y-%m-%dT%H:%M:%SZ", &tm);
    return static_cast<long long>(timegm(&tm)) * 1000;
}

// Stamp (ms since 1970) and u of every raw line of the run.
std::vector<std::pair<long long, double>> RawSamples(const std::string &data) {
    std::vector<std::pair<long long, double>> samples;
    for (const auto &path : FilesEndingWith(data, "_raw.txt")) {
        const std::string name = std::filesystem::path(path).filename().string();
        std::tm tm = {};
        tm.tm_year = 100 + std::stoi(name.substr(4, 2));
        tm.tm_mday = std::stoi(name.substr(6, 3));
        tm.tm_hour = std::stoi(name.substr(9, 2));
        const long long hour = static_cast<long long>(timegm(&tm)) * 1000;
        const std::vector<std::string> lines = Lines(FileText(path));
        for (size_t i = 1; i < lines.size(); ++i) {
            const std::string &line = lines[i];
            const long long ms = hour + std::stoll(line.substr(0, 2)) * 60000 +
                                 std::stoll(line.substr(2, 2)) * 1000 + std::stoll(line.substr(4, 3));
            std::istringstream fields(line.substr(8));
            std::string status, u;
            fields >> status >> u;
            samples.emplace_back(ms, std::stod(u));
        }
    }
    return samples;
}

}  // namespace

TEST(FluxTool, OnlinePeriodsOfARunEqualTheOfflineOnesFromItsRawFiles) {
    const std::string faketime =
        StationRun::FakeTimeAvailable() && !UnderThreadSanitizer ? SecondsBeforeMinute(4) : "";
    TestRoot root;
    const std::string data = root.Path() + "/c/Data/Code/Projects/Win32Console/Kestrune";
    // The simulator ends with the test: once the program is gone nobody reads its pty.
    Child sim({BinDir + "/kestrune-sim", "--rate", "20", "--linger"}, {}, root.Path() + "/usonic-sim.err");
    const std::string device = sim.ReadLine();
    ASSERT_FALSE(device.empty());
    std::vector<std::string> env = FakeTimeEnv(faketime);
    env.push_back("KESTRUNE_COM1=" + device);
    Child program({BinDir + "/kestrune", "--flux-period", "60"}, env, root.Path() + "/kestrune.err");
    ASSERT_TRUE(program.Started());

    // Wait for the first complete period: the header, the partial first row and one more.
    auto rows = [&] {
        std::vector<std::string> lines;
        for (const auto &path : FilesEndingWith(data, "_flux.csv")) {
            auto more = Lines(FileText(path));
            lines.insert(lines.end(), more.begin() + (more.empty() ? 0 : 1), more.end());
        }
        return lines;
    };
    ASSERT_TRUE(WaitForDirectory(
        data, [&] { return rows().size() >= 2; }, 180));
    program.Kill(SIGTERM);
    EXPECT_EQ(program.Wait(), 0);
    sim.CloseInput();
    sim.Kill(SIGTERM);

    const std::vector<std::string> online = rows();
    ASSERT_GE(online.size(), 3u);
    const auto samples = RawSamples(data);
    ASSERT_FALSE(samples.empty());
    for (size_t r = 0; r < online.size(); ++r) {
        const std::vector<std::string> f = Split(online[r]);
        ASSERT_EQ(f.size(), 34u) << online[r];
        const long long start = MillisOf(f[0]), end = MillisOf(f[1]);
        EXPECT_EQ(start % 60000, 0) << online[r];
        EXPECT_EQ(end - start, 60000) << online[r];
        long count = 0;
        double sum = 0;
        for (const auto &sample : samples) {
            if (sample.first >= start && sample.first < end) {
                ++count;
                sum += sample.second;
            }
        }
        // Every raw sample of the period is kept, excluded or dropped for a spike.
        const long samplesKept = std::stol(f[2]), excluded = std::stol(f[3]);
        const long spikes = std::stol(f[4]) + std::stol(f[5]) + std::stol(f[6]) + std::stol(f[7]);
        EXPECT_LE(samplesKept + excluded, count) << online[r];
        EXPECT_LE(count - samplesKept - excluded, spikes) << online[r];
        if (samplesKept == count && samplesKept >= 10) {
            EXPECT_NEAR(std::stod(f[8]), sum / count, 1e-6 * (1 + std::fabs(sum / count))) << online[r];
        }
        // The first and the last period are partial; the last holds the run's last sample.
        if (r + 1 == online.size()) {
            EXPECT_LT(samples.back().first, end);
        }
    }
    EXPECT_GT(MillisOf(Split(online.front())[0]), samples.front().first - 60000);

    // Offline over the same raw files: the same rows, byte for byte.
    const std::string first = Split(online.front())[0].substr(0, 10),
                      last = Split(online.back())[0].substr(0, 10);
    const std::string out = root.Path() + "/offline.csv";
    Child tool(
        {BinDir + "/kestrune-flux", "--data-dir", data, "--flux-period", "60", "--output", out, first, last},
        {}, root.Path() + "/flux.err");
    ASSERT_EQ(tool.Wait(), 0) << FileText(root.Path() + "/flux.err");
    std::string expected;
    for (const auto &path : FilesEndingWith(data, "_flux.csv"))
        expected += FileText(path);
    EXPECT_EQ(FileText(out), expected);
}

TEST(FluxTool, BadOptionsEndWithStatusTwoAndOneLine) {
    TestRoot root;
    for (std::vector<std::string> args :
         std::vector<std::vector<std::string>>{{"--flux-period", "61", "2026-12-09"},
                                               {"--measurement-height", "0", "2026-12-09"},
                                               {"--displacement-height", "2", "2026-12-09"},
                                               {"--latitude", "-91", "2026-12-09"},
                                               {"--air-pressure", "1200", "2026-12-09"},
                                               {"--north-offset", "x", "2026-12-09"},
                                               {"--despike-threshold", "0", "2026-12-09"},
                                               {"2026-12-10", "2026-12-09"}}) {
        args.insert(args.begin(), BinDir + "/kestrune-flux");
        Child tool(args, {}, root.Path() + "/flux.err");
        EXPECT_EQ(tool.ReadAll(), "");
        EXPECT_EQ(tool.Wait(), 2) << args[1];
        const std::string error = FileText(root.Path() + "/flux.err");
        EXPECT_EQ(error.rfind("kestrune-flux: ", 0), 0u) << error;
        if (args[1] != "2026-12-10") {  // a bad day range is followed by the usage
            EXPECT_EQ(Lines(error).size(), 1u) << error;
        }
    }
}
