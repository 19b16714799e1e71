// The real kestrune against usonic-sim --wire at 20 Hz, 57600 baud 8N1: the raw files'
// millisecond keys against each line's first byte as the simulator sent it. Each line starts
// at a random sub-millisecond phase, so the keys' truncation to the millisecond averages out
// to half a millisecond. Asserted on the whole run's median only.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/ChildProgram.h"
#include "common/Simulator.h"
#include "common/TestRoot.h"

namespace {

const std::string BinDir = KESTRUNE_BIN_DIR;
const long HourMs = 3600000;

// The raw lines' keys (MMSSMMM) in milliseconds past the hour, in order.
std::vector<long> RawKeys(const std::string &directory) {
    std::vector<long> keys;
    for (const auto &path : FilesEndingWith(directory, "_raw.txt")) {
        const std::vector<std::string> lines = Lines(FileText(path));
        for (size_t i = 1; i < lines.size(); ++i)
            if (lines[i].size() >= 8)
                keys.push_back(std::atol(lines[i].substr(0, 2).c_str()) * 60000 +
                               std::atol(lines[i].substr(2, 5).c_str()));
    }
    return keys;
}

// The median of (key + 0.5 ms) minus each line's first-byte send time, in milliseconds.
double MedianErrorMs(const std::string &stampOption, size_t *lines) {
    TestRoot root;
    const std::string data = root.Path() + "/c/Data/Code/Projects/Win32Console/Kestrune";
    const std::string log = root.Path() + "/usonic-sim.log";
    const int count = 160;  // 8 s
    Simulator sim({"--wire", "--rate", "20", "--count", std::to_string(count), "--preamble", "1",
                   "--after-flush", "--linger"},
                  log);
    EXPECT_TRUE(sim.Ok());
    ChildProgram program({BinDir + "/kestrune", "--time-stamp", stampOption},
                         {"KESTRUNE_COM1=" + sim.Device()}, root.Path() + "/kestrune.err");
    EXPECT_TRUE(program.Started());
    EXPECT_EQ(sim.WaitDone(), count + 1);
    program.Signal(SIGTERM);  // the stop keeps every line received
    EXPECT_EQ(program.Wait(), 0);
    sim.End();

    std::vector<SentLine> sent;
    for (const SentLine &line : sim.Log())
        if (line.Kind == 'L')
            sent.push_back(line);
    const std::vector<long> keys = RawKeys(data);
    *lines = keys.size();
    if (keys.size() != sent.size() || keys.empty())
        return 1e9;
    std::vector<double> errors;
    for (size_t i = 0; i < keys.size(); ++i) {
        const double sentMs = static_cast<double>(sent[i].SendTime % (HourMs * 10000ULL)) / 10000.0;
        double error = static_cast<double>(keys[i]) + 0.5 - sentMs;
        if (error > HourMs / 2)
            error -= HourMs;  // the hour changed between the two
        else if (error < -HourMs / 2)
            error += HourMs;
        errors.push_back(error);
    }
    std::nth_element(errors.begin(), errors.begin() + static_cast<long>(errors.size() / 2), errors.end());
    return errors[errors.size() / 2];
}

TEST(TimeStamp, RecordsAreStampedAtTheirFirstByteAndEndStampsAtTheLineFeed) {
    size_t lines = 0;
    const double start = MedianErrorMs("start", &lines);
    EXPECT_EQ(lines, 160u);
    EXPECT_GE(start, -2.0);
    EXPECT_LE(start, 2.0);
    // A line of about 70 characters takes 12 ms on the wire: the line feed comes that much later.
    const double end = MedianErrorMs("end", &lines);
    EXPECT_EQ(lines, 160u);
    EXPECT_GE(end, start + 5.0) << "start " << start;
    printf("median error against the first byte: start %.2f ms, end %.2f ms\n", start, end);
}

}  // namespace
