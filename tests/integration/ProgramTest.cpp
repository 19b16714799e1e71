// The real kestrune program against the instrument simulator on a pty: every line the
// simulator sent reaches the hour's raw file once, rewritten, in order; a clock
// synchronisation published with clocksync during the run excludes exactly the lines stamped
// inside its blackout window. And the program's refusal to start without its data directory.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/ChildProgram.h"
#include "common/LogEntries.h"
#include "common/PtyPeer.h"
#include "common/TestRoot.h"

namespace {

const std::string BinDir = KESTRUNE_BIN_DIR;

// The raw lines of all hour files in order, each without its 8-character time key, and the
// keys' (minute, second, millisecond) in milliseconds past the hour alongside.
struct RawData {
    std::vector<std::string> Lines;
    std::vector<long> KeyMilliseconds;
    std::vector<std::string> Headers;
};

RawData ReadRaw(const std::string &directory) {
    RawData raw;
    for (const auto &path : FilesEndingWith(directory, "_raw.txt")) {
        std::vector<std::string> lines = Lines(FileText(path));
        for (size_t i = 0; i < lines.size(); ++i) {
            if (i == 0) {
                raw.Headers.push_back(lines[i]);
                continue;
            }
            if (lines[i].size() < 8)
                continue;
            raw.KeyMilliseconds.push_back(std::atol(lines[i].substr(0, 2).c_str()) * 60000 +
                                          std::atol(lines[i].substr(2, 5).c_str()));
            raw.Lines.push_back(lines[i].substr(8));
        }
    }
    return raw;
}

// The raw line an instrument line becomes: status field cut to 14 characters, u v w T A1 A2
// from fields 2 to 7, A3 A4 from fields 10 and 11, each with three decimals or -99.
std::string Rewritten(const std::string &line) {
    std::vector<std::string> fields;
    std::string field;
    for (char c : line) {
        if (c == ',') {
            if (!field.empty())
                fields.push_back(field);
            field.clear();
        } else if (c != '\r' && c != '\n') {
            field += c;
        }
    }
    if (!field.empty())
        fields.push_back(field);
    std::string result = fields.empty() ? std::string() : fields[0].substr(0, 14);
    const int wanted[8] = {1, 2, 3, 4, 5, 6, 9, 10};
    for (int index : wanted) {
        std::string text = "-99.";
        if (static_cast<size_t>(index) < fields.size()) {
            double value = std::atof(fields[index].c_str());
            if (std::isfinite(value) && std::trunc(value) >= INT_MIN && std::trunc(value) <= INT_MAX) {
                int t = static_cast<int>(std::trunc(value));
                if (t != -99 && t < 95) {
                    char formatted[64];
                    snprintf(formatted, sizeof formatted, "%.3f", value);
                    text = formatted;
                }
            }
        }
        result += " " + text;
    }
    return result;
}

// The lines the simulator logged, in order. A log line is "<number> <send time> <kind> <text>";
// the runs here send plain lines only, whose text has no escapes.
std::vector<std::string> SimulatorLines(const std::string &logPath) {
    std::vector<std::string> sent;
    for (const auto &line : Lines(FileText(logPath))) {
        size_t first = line.find(' ');
        size_t second = first == std::string::npos ? first : line.find(' ', first + 1);
        if (second != std::string::npos && line.size() > second + 3 && line[second + 1] == 'L')
            sent.push_back(line.substr(second + 3));
    }
    return sent;
}

// The simulator's arguments for the given number of lines at 1000 lines a second. Its lines
// start once the program has opened the port and discarded what came before (the one
// preamble line), and it keeps the line open until its input is closed.
std::vector<std::string> SimulatorArgs(int count, const std::string &log) {
    return {BinDir + "/kestrune-sim",
            "--rate",
            "1000",
            "--count",
            std::to_string(count),
            "--log",
            log,
            "--preamble",
            "1",
            "--after-flush",
            "--linger"};
}

struct ProgramRun {
    TestRoot root;
    std::string data = root.Path() + "/c/Data/Code/Projects/Win32Console/Kestrune";
    std::string simLog = root.Path() + "/usonic-sim.log";
};

TEST(Program, EveryLineSentReachesTheRawFileOnceInOrder) {
    ProgramRun run;
    const int count = 8000;  // two full buffers
    ChildProgram sim(SimulatorArgs(count, run.simLog), {}, run.root.Path() + "/usonic-sim.err");
    ASSERT_TRUE(sim.Started());
    std::string device = sim.ReadLine();
    ASSERT_FALSE(device.empty());

    ChildProgram program({BinDir + "/kestrune"}, {"KESTRUNE_COM1=" + device},
                         run.root.Path() + "/kestrune.err");
    ASSERT_TRUE(program.Started());
    ASSERT_TRUE(WaitForDirectory(
        run.data, [&] { return ReadRaw(run.data).Lines.size() >= count; }, 120))
        << "raw lines seen: " << ReadRaw(run.data).Lines.size();
    program.Kill(SIGTERM);
    EXPECT_EQ(sim.ReadLine(), "done " + std::to_string(count + 1));  // with the preamble line
    sim.CloseInput();
    EXPECT_EQ(sim.Wait(), 0);

    std::vector<std::string> sent = SimulatorLines(run.simLog);
    ASSERT_EQ(sent.size(), static_cast<size_t>(count));
    RawData raw = ReadRaw(run.data);
    ASSERT_EQ(raw.Lines.size(), sent.size());
    for (size_t i = 0; i < sent.size(); ++i)
        ASSERT_EQ(raw.Lines[i], Rewritten(sent[i])) << "line " << i;
    for (const auto &header : raw.Headers)
        EXPECT_NE(header.find(" Metek (SN: 666)"), std::string::npos) << header;
    EXPECT_EQ(LoggedMessages(run.data, 5212), std::vector<std::string>{"Metek1: Starting archive engine."});
}

TEST(Program, ClockSynchronisationExcludesTheLinesStampedInItsWindow) {
    ProgramRun run;
    const int count = 12000;  // three full buffers at 1000 lines a second
    ChildProgram sim(SimulatorArgs(count, run.simLog), {}, run.root.Path() + "/usonic-sim.err");
    ASSERT_TRUE(sim.Started());
    std::string device = sim.ReadLine();
    ASSERT_FALSE(device.empty());
    ChildProgram program({BinDir + "/kestrune"}, {"KESTRUNE_COM1=" + device},
                         run.root.Path() + "/kestrune.err");
    ASSERT_TRUE(program.Started());

    // Once the first buffer is archived, publish a synchronisation one second ahead: its
    // window lies in buffers that are screened after the block was written.
    ASSERT_TRUE(WaitForDirectory(
        run.data, [&] { return !LoggedMessages(run.data, 5017).empty(); }, 120));
    auto sync = std::chrono::system_clock::now() + std::chrono::seconds(1);
    std::time_t seconds = std::chrono::system_clock::to_time_t(sync);
    long millisecond = static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(sync.time_since_epoch()).count() % 1000);
    std::tm utc = {};
    gmtime_r(&seconds, &utc);
    char when[64];
    snprintf(when, sizeof when, "%04d-%02d-%02d %02d:%02d:%02d.%03ld", utc.tm_year + 1900, utc.tm_mon + 1,
             utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, millisecond);
    ChildProgram clocksync({BinDir + "/kestrune-clocksync", "set", when}, {},
                           run.root.Path() + "/clocksync.err");
    ASSERT_EQ(clocksync.Wait(), 0);

    // Every line is either in a raw file or counted in a blackout entry, which comes first.
    auto excludedLines = [&] {
        int total = 0;
        for (const auto &entry : LoggedMessages(run.data, 5006)) {
            int n = 0;
            if (sscanf(entry.c_str(), "Metek1: Excluding %d samples", &n) == 1)
                total += n;
        }
        return total;
    };
    auto archived = [&] {
        return ReadRaw(run.data).Lines.size() + static_cast<size_t>(excludedLines()) >= count;
    };
    ASSERT_TRUE(WaitForDirectory(run.data, archived, 120));
    program.Kill(SIGTERM);
    EXPECT_EQ(sim.ReadLine(), "done " + std::to_string(count + 1));  // with the preamble line
    sim.CloseInput();
    EXPECT_EQ(sim.Wait(), 0);

    // The window in milliseconds past the hour of the synchronisation. The keys have whole
    // milliseconds and the stamps finer units, so a line keyed with the window's last
    // millisecond lies just after the window. Keys are compared only when the run stayed
    // within one hour (one raw file).
    const long start = utc.tm_min * 60000L + utc.tm_sec * 1000L + millisecond;
    const long end = start + 6000;

    std::vector<std::string> sent = SimulatorLines(run.simLog);
    ASSERT_EQ(sent.size(), static_cast<size_t>(count));
    RawData raw = ReadRaw(run.data);
    const int excluded = excludedLines();
    EXPECT_GT(excluded, 0);
    ASSERT_EQ(raw.Lines.size() + static_cast<size_t>(excluded), sent.size());

    // The archived lines are the sent ones with one gap, and none is stamped inside the window.
    size_t gap = 0;
    while (gap < raw.Lines.size() && raw.Lines[gap] == Rewritten(sent[gap]))
        ++gap;
    for (size_t i = gap; i < raw.Lines.size(); ++i)
        ASSERT_EQ(raw.Lines[i], Rewritten(sent[i + static_cast<size_t>(excluded)])) << "line " << i;
    if (raw.Headers.size() == 1) {
        for (long key : raw.KeyMilliseconds) {
            EXPECT_TRUE(key < start || key >= end) << key;
        }
        ASSERT_GT(gap, 0u);
        EXPECT_LT(raw.KeyMilliseconds[gap - 1], start);
        if (gap < raw.KeyMilliseconds.size()) {
            EXPECT_GE(raw.KeyMilliseconds[gap], end);
        }
    }
}

TEST(Program, EndsWithAnErrorWhenTheDataDirectoryCannotBeMade) {
    TestRoot root;
    // A plain file where the drive's folder should be: no directory can be made below it.
    std::ofstream(root.Path() + "/c") << "not a directory";
    ChildProgram program({BinDir + "/kestrune"}, {"KESTRUNE_COM1=" + root.Path() + "/no-such-port"},
                         root.Path() + "/kestrune.err");
    ASSERT_TRUE(program.Started());
    EXPECT_NE(program.Wait(), 0);
    std::vector<std::string> err = Lines(FileText(root.Path() + "/kestrune.err"));
    ASSERT_EQ(err.size(), 1u);
    EXPECT_NE(err[0].find("C:\\Data\\Code\\Projects\\Win32Console\\Kestrune"), std::string::npos) << err[0];
}

}  // namespace

namespace {

TEST(ClockSync, PublishesValidTimesOnly) {
    TestRoot root;
    ChildProgram valid({BinDir + "/kestrune-clocksync", "set", "2026-12-08 14:30:05.123"}, {},
                       root.Path() + "/valid.err");
    EXPECT_EQ(valid.ReadLine(), "published 2026-12-08T14:30:05.123Z");
    EXPECT_EQ(valid.Wait(), 0);

    for (const char *text :
         {"2026-02-29 12:00:00", "2026-12-08 24:00:00.000", "2026-12-08 14:30:05.1234", "now"}) {
        ChildProgram invalid({BinDir + "/kestrune-clocksync", "set", text}, {}, root.Path() + "/invalid.err");
        EXPECT_EQ(invalid.Wait(), 2) << text;
    }
}

}  // namespace

// Field operation: stops on request without losing a line, waits for a missing port, reopens a
// lost one, cuts runs without line feeds, and refuses a second instance on the same data.
namespace {

const char Program[] = "/kestrune";

// The raw line of every line the simulator logged of the given kinds, in order; an over-long
// record is stored cut to the receive area's 20000 characters.
std::vector<std::string> ExpectedRaw(const std::string &logPath, const std::string &kinds) {
    std::vector<std::string> expected;
    for (const auto &line : Lines(FileText(logPath))) {
        size_t first = line.find(' ');
        size_t second = first == std::string::npos ? first : line.find(' ', first + 1);
        if (second == std::string::npos || line.size() <= second + 3 ||
            kinds.find(line[second + 1]) == std::string::npos)
            continue;
        std::string text = line.substr(second + 3);
        if (text.size() > 20000)
            text.resize(20000);
        expected.push_back(Rewritten(text));
    }
    return expected;
}

// Send times (FILETIME units) of the logged lines of kind L, in order.
std::vector<unsigned long long> SendTimes(const std::string &logPath) {
    std::vector<unsigned long long> times;
    for (const auto &line : Lines(FileText(logPath))) {
        std::istringstream fields(line);
        unsigned long number = 0;
        unsigned long long sent = 0;
        char kind = 0;
        fields >> number >> sent >> kind;
        if (kind == 'L')
            times.push_back(sent);
    }
    return times;
}

unsigned long long FileTimeNow() {
    using namespace std::chrono;
    const auto since1970 = duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
    return static_cast<unsigned long long>(since1970) * 10 + 116444736000000000ULL;
}

size_t LineCount(const std::string &path) {
    return Lines(FileText(path)).size();
}

bool Contains(const std::string &text, const std::string &part) {
    return text.find(part) != std::string::npos;
}

// The end of the last statistics period logged, "MM:SS:mmm", and the key of the last raw
// line in the same form.
std::string LastPeriodEnd(const std::string &data) {
    std::vector<std::string> closed = LoggedMessages(data, 5003);
    if (closed.empty())
        return "";
    const std::string &last = closed.back();
    size_t dash = last.rfind('-');
    return dash == std::string::npos ? "" : last.substr(dash + 1, 9);
}

std::string LastRawKey(const std::string &data) {
    std::string key;
    for (const auto &path : FilesEndingWith(data, "_raw.txt")) {
        std::vector<std::string> lines = Lines(FileText(path));
        if (lines.size() > 1 && lines.back().size() >= 7)
            key =
                lines.back().substr(0, 2) + ":" + lines.back().substr(2, 2) + ":" + lines.back().substr(4, 3);
    }
    return key;
}

// A signal while the simulator is still sending: every line sent at least 100 ms before it is
// in the raw file, in order, and the last statistics period ends at the last sample.
void StopsOnSignalKeepingEveryLine(int signal) {
    ProgramRun run;
    ChildProgram sim({BinDir + "/kestrune-sim", "--rate", "500", "--log", run.simLog, "--preamble", "1",
                      "--after-flush", "--linger"},
                     {}, run.root.Path() + "/usonic-sim.err");
    ASSERT_TRUE(sim.Started());
    std::string device = sim.ReadLine();
    ASSERT_FALSE(device.empty());
    ChildProgram program({BinDir + Program}, {"KESTRUNE_COM1=" + device}, run.root.Path() + "/kestrune.err");
    ASSERT_TRUE(program.Started());

    // 1500 lines sent (three seconds): all of them are still in the engine's first buffer.
    ASSERT_TRUE(WaitForDirectory(
        run.root.Path(), [&] { return LineCount(run.simLog) >= 1500; }, 120));
    const unsigned long long signalled = FileTimeNow();
    program.Signal(signal);
    EXPECT_EQ(program.Wait(), 0);
    sim.Signal(SIGTERM);
    EXPECT_EQ(sim.Wait(), 0);

    std::vector<std::string> sent = ExpectedRaw(run.simLog, "L");
    std::vector<unsigned long long> times = SendTimes(run.simLog);
    ASSERT_EQ(sent.size(), times.size());
    size_t required = 0;
    while (required < times.size() && times[required] + 100 * 10000ULL <= signalled)
        ++required;
    ASSERT_GE(required, 1500u - 60u);
    RawData raw = ReadRaw(run.data);
    ASSERT_GE(raw.Lines.size(), required);
    ASSERT_LE(raw.Lines.size(), sent.size());
    for (size_t i = 0; i < raw.Lines.size(); ++i)
        ASSERT_EQ(raw.Lines[i], sent[i]) << "line " << i;

    EXPECT_EQ(LoggedMessages(run.data, 5102),
              std::vector<std::string>{"Metek1: Stopping acquisition engine."});
    EXPECT_FALSE(LastRawKey(run.data).empty());
    EXPECT_EQ(LastPeriodEnd(run.data), LastRawKey(run.data));
    EXPECT_TRUE(LoggedMessages(run.data, 5105).empty()) << "no thread had to be terminated";
}

TEST(FieldOperation, SigtermKeepsEveryLineSentAndClosesThePeriodAtTheLastSample) {
    StopsOnSignalKeepingEveryLine(SIGTERM);
}

TEST(FieldOperation, SigintKeepsEveryLineSentAndClosesThePeriodAtTheLastSample) {
    StopsOnSignalKeepingEveryLine(SIGINT);
}

TEST(FieldOperation, RunsWithoutLineFeedAreCutAndEveryLineAfterThemIsArchived) {
    ProgramRun run;
    // Every 500th record is 40000 bytes long: twice the receive area, more than the queue.
    std::vector<std::string> args = SimulatorArgs(2000, run.simLog);
    for (const char *extra : {"--overlong", "500", "--overlong-length", "40000"})
        args.push_back(extra);
    ChildProgram sim(args, {}, run.root.Path() + "/usonic-sim.err");
    ASSERT_TRUE(sim.Started());
    std::string device = sim.ReadLine();
    ASSERT_FALSE(device.empty());
    ChildProgram program({BinDir + Program}, {"KESTRUNE_COM1=" + device}, run.root.Path() + "/kestrune.err");
    ASSERT_TRUE(program.Started());
    EXPECT_EQ(sim.ReadLine(), "done 2001");  // with the preamble line

    // The lines sent are complete in the port; the stop keeps them.
    program.Signal(SIGTERM);
    EXPECT_EQ(program.Wait(), 0);
    sim.CloseInput();
    EXPECT_EQ(sim.Wait(), 0);

    std::vector<std::string> expected = ExpectedRaw(run.simLog, "LO");
    ASSERT_EQ(expected.size(), 2000u);
    RawData raw = ReadRaw(run.data);
    ASSERT_EQ(raw.Lines.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i)
        ASSERT_EQ(raw.Lines[i], expected[i]) << "line " << i;
    unsigned long cut = 0;
    for (const auto &entry : LoggedMessages(run.data, 5302)) {
        unsigned long n = 0;
        ASSERT_EQ(
            sscanf(entry.c_str(), "Metek1: %lu over-long instrument lines cut to 20000 characters.", &n), 1)
            << entry;
        cut += n;
    }
    EXPECT_EQ(cut, 4u);
}

TEST(FieldOperation, SimulatorEndsOnSigtermWhileBlockedOnAFullLine) {
    TestRoot root;
    // Nobody reads the pty. The first record is sent; the second, a megabyte long, cannot be
    // written whole, and the simulator is blocked in its write when the signal comes.
    const std::string link = root.Path() + "/com1";
    const std::string log = root.Path() + "/usonic-sim.log";
    ChildProgram sim({BinDir + "/kestrune-sim", "--link", link, "--rate", "1000000", "--count", "2",
                      "--overlong", "2", "--overlong-length", "1000000", "--log", log},
                     {}, root.Path() + "/usonic-sim.err");
    ASSERT_TRUE(sim.Started());
    ASSERT_FALSE(sim.ReadLine().empty());
    ASSERT_TRUE(WaitForDirectory(
        root.Path(), [&] { return LineCount(log) >= 1; }, 60));
    sim.Signal(SIGTERM);
    EXPECT_EQ(sim.Wait(), 0);
    EXPECT_EQ(LineCount(log), 1u);
    EXPECT_FALSE(std::filesystem::is_symlink(link));  // the link goes with it
}

TEST(FieldOperation, SecondInstanceOnTheSameDataExitsWithStatusTwo) {
    ProgramRun run;
    const std::string port = run.root.Path() + "/no-such-port";
    ChildProgram first({BinDir + Program}, {"KESTRUNE_COM1=" + port}, run.root.Path() + "/first.err");
    ASSERT_TRUE(first.Started());
    ASSERT_TRUE(WaitForDirectory(
        run.data, [&] { return !LoggedMessages(run.data, 5303).empty(); }, 60));

    std::map<std::string, std::string> before;
    for (const auto &entry : std::filesystem::directory_iterator(run.data))
        before[entry.path().string()] = FileText(entry.path().string());

    ChildProgram second({BinDir + Program}, {"KESTRUNE_COM1=" + port}, run.root.Path() + "/second.err");
    ASSERT_TRUE(second.Started());
    EXPECT_EQ(second.Wait(), 2);
    std::vector<std::string> err = Lines(FileText(run.root.Path() + "/second.err"));
    ASSERT_EQ(err.size(), 1u);
    EXPECT_TRUE(Contains(err[0], "C:\\Data\\Code\\Projects\\Win32Console\\Kestrune")) << err[0];
    EXPECT_TRUE(Contains(err[0], "PID " + std::to_string(first.Pid()))) << err[0];

    // The first instance may still be logging its start; the second added nothing: the same
    // files, the pid file as it was, and each file only grown at its end with no second start.
    std::map<std::string, std::string> after;
    for (const auto &entry : std::filesystem::directory_iterator(run.data))
        after[entry.path().string()] = FileText(entry.path().string());
    ASSERT_EQ(after.size(), before.size());
    for (const auto &[path, text] : before) {
        ASSERT_EQ(after.count(path), 1u) << path;
        EXPECT_EQ(after[path].rfind(text, 0), 0u) << path;
    }
    EXPECT_EQ(LoggedMessages(run.data, 9998).size(), 1u);
    EXPECT_EQ(LoggedMessages(run.data, 5100).size(), 1u);

    first.Signal(SIGTERM);
    EXPECT_EQ(first.Wait(), 0);
    // Once the first one has ended, the directory is free again.
    ChildProgram third({BinDir + Program}, {"KESTRUNE_COM1=" + port, "KESTRUNE_RUN_SECONDS=1"},
                       run.root.Path() + "/third.err");
    EXPECT_EQ(third.Wait(), 0);
    EXPECT_EQ(LoggedMessages(run.data, 5102).size(), 2u);
}

// Line noise on the port (a loose connector, a wrong baud rate): random bytes between good
// lines. Only the good lines reach the raw file, the noise is counted and logged as invalid
// samples, and the lines after it are archived at once.
TEST(FieldOperation, LineNoiseIsNeverArchived) {
    ProgramRun run;
    PtyPeer peer;
    ASSERT_TRUE(peer.Ok());
    int packetMode = 1;
    ASSERT_EQ(ioctl(peer.MasterFd(), TIOCPKT, &packetMode), 0);
    ChildProgram program({BinDir + Program}, {}, run.root.Path() + "/kestrune.err");
    ASSERT_TRUE(program.Started());
    // The program discards what came before its start; lines go once it has.
    bool flushed = false;
    while (!flushed) {
        char packet[4096];
        const ssize_t n = read(peer.MasterFd(), packet, sizeof packet);
        ASSERT_GT(n, 0);
        flushed = packet[0] != TIOCPKT_DATA && (packet[0] & TIOCPKT_FLUSHREAD);
    }
    std::vector<std::string> good;
    auto goodLines = [&](int count) {
        std::string text;
        for (int i = 0; i < count; ++i) {
            char line[96];
            snprintf(line, sizeof line, "00000000%02d000,%d.%03d,-1.250,0.040,20.%03d,0",
                     static_cast<int>(good.size() % 100), static_cast<int>(good.size() % 7),
                     static_cast<int>(good.size() % 1000), static_cast<int>(good.size() % 1000));
            good.push_back(line);
            text += std::string(line) + "\n";
        }
        return text;
    };
    std::mt19937 random(2026);
    std::string noise(1 << 20, '\0');
    for (char &c : noise)
        c = static_cast<char>(random());
    // The first bytes after the discard may be the end of a line: never a record.
    ASSERT_TRUE(peer.Send("00,-1.100,0.050,20.500,0\n"));
    ASSERT_TRUE(peer.Send(goodLines(50)));
    ASSERT_TRUE(peer.Send(noise + "\n"));
    ASSERT_TRUE(peer.Send(goodLines(200)));
    ASSERT_TRUE(WaitForDirectory(
        run.data, [&] { return ReadRaw(run.data).Lines.size() >= good.size(); }, 120))
        << "raw lines seen: " << ReadRaw(run.data).Lines.size();
    program.Signal(SIGTERM);
    EXPECT_EQ(program.Wait(), 0);

    const RawData raw = ReadRaw(run.data);
    ASSERT_EQ(raw.Lines.size(), good.size());
    for (size_t i = 0; i < good.size(); ++i)
        ASSERT_EQ(raw.Lines[i], Rewritten(good[i])) << "line " << i;
    unsigned long invalid = 0;
    for (const auto &entry : LoggedMessages(run.data, 5005)) {
        unsigned long n = 0;
        char rest[64];
        if (sscanf(entry.c_str(),
                   "Metek1: Invalid sample detected at %*d:%*d:%*d:%*d. %lu samples of this buffer %63s", &n,
                   rest) == 2)
            invalid += n;
    }
    // About one byte in 256 of the noise is a line feed; every such record is bad.
    EXPECT_GT(invalid, 2000u);
}

// The data directory removed while acquiring: the next write makes it again, one entry says
// so, and every line the instrument sends from then on is archived.
TEST(FieldOperation, RemovedDataDirectoryIsMadeAgainAndNothingAfterIsLost) {
    ProgramRun run;
    const int count = 9000;
    ChildProgram sim(SimulatorArgs(count, run.simLog), {}, run.root.Path() + "/usonic-sim.err");
    ASSERT_TRUE(sim.Started());
    const std::string device = sim.ReadLine();
    ASSERT_FALSE(device.empty());
    ChildProgram program({BinDir + Program}, {"KESTRUNE_COM1=" + device}, run.root.Path() + "/kestrune.err");
    ASSERT_TRUE(program.Started());
    ASSERT_TRUE(WaitForDirectory(
        run.data, [&] { return ReadRaw(run.data).Lines.size() >= 1000; }, 120));
    // The time in the units of the simulator's log (100 ns since 1601).
    timespec now = {};
    clock_gettime(CLOCK_REALTIME, &now);
    const unsigned long long removedAt = static_cast<unsigned long long>(now.tv_sec) * 10000000ull +
                                         static_cast<unsigned long long>(now.tv_nsec) / 100 +
                                         116444736000000000ull;
    std::filesystem::remove_all(run.data);
    const std::string parent = run.data.substr(0, run.data.rfind('/'));
    EXPECT_EQ(sim.ReadLine(), "done " + std::to_string(count + 1));
    ASSERT_TRUE(WaitForDirectory(
        parent, [&] { return !LoggedMessages(run.data, 5031).empty(); }, 60));
    program.Signal(SIGTERM);
    EXPECT_EQ(program.Wait(), 0);
    sim.CloseInput();
    EXPECT_EQ(sim.Wait(), 0);

    EXPECT_EQ(LoggedMessages(run.data, 5031).size(), 1u);
    EXPECT_TRUE(LoggedMessages(run.data, 5004).empty());
    // The raw file holds an unbroken run of the lines sent, to the last one, starting no later
    // than the first line sent after the removal.
    const std::vector<std::string> sent = SimulatorLines(run.simLog);
    ASSERT_EQ(sent.size(), static_cast<size_t>(count));
    const RawData raw = ReadRaw(run.data);
    ASSERT_FALSE(raw.Lines.empty());
    const size_t first = sent.size() - raw.Lines.size();
    for (size_t i = 0; i < raw.Lines.size(); ++i)
        ASSERT_EQ(raw.Lines[i], Rewritten(sent[first + i])) << "line " << first + i;
    size_t firstAfter = 0;
    for (const auto &line : Lines(FileText(run.simLog))) {
        unsigned long number = 0;
        unsigned long long at = 0;
        char kind = 0;
        if (sscanf(line.c_str(), "%lu %llu %c", &number, &at, &kind) == 3 && kind == 'L') {
            if (at > removedAt)
                break;
            ++firstAfter;
        }
    }
    EXPECT_LE(first, firstAfter);
    EXPECT_FALSE(FilesEndingWith(run.data, ".log").empty());
}

// Scheduling of one thread of a process, from /proc: its policy (0 SCHED_OTHER, 1 SCHED_FIFO),
// real-time priority and nice value.
struct ThreadScheduling {
    int Policy = -1;
    int RealtimePriority = 0;
    int Nice = 0;
};

std::vector<ThreadScheduling> ProcessThreads(pid_t pid) {
    std::vector<ThreadScheduling> threads;
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    std::error_code error;
    for (const auto &task : std::filesystem::directory_iterator(tasks, error)) {
        const std::string stat = FileText(task.path().string() + "/stat");
        const size_t close = stat.rfind(')');
        if (close == std::string::npos)
            continue;
        // Fields from the third (state) on; nice is the 19th field, rt_priority the 40th and
        // policy the 41st.
        std::istringstream fields(stat.substr(close + 2));
        std::vector<std::string> values;
        for (std::string value; fields >> value;)
            values.push_back(value);
        if (values.size() < 39)
            continue;
        ThreadScheduling thread;
        thread.Nice = std::atoi(values[19 - 3].c_str());
        thread.RealtimePriority = std::atoi(values[40 - 3].c_str());
        thread.Policy = std::atoi(values[41 - 3].c_str());
        threads.push_back(thread);
    }
    return threads;
}

// The hourly compression of 60 old hour files while acquiring, in the real-time class: the
// compression thread, like the archive thread, runs under normal scheduling at nice 19, and no
// thread runs at the real-time priority the idle level once had.
TEST(FieldOperation, CompressionThreadIsNotRealTime) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "libfaketime's interposed clock and lock calls make ThreadSanitizer report the platform "
                    "layer's locks in the program it runs";
#endif
    const std::string fakeTime = "/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1";
    if (access(fakeTime.c_str(), R_OK) != 0)
        GTEST_SKIP() << "libfaketime is not installed";
    ProgramRun run;
    std::filesystem::create_directories(run.data);
    std::string text;
    for (int i = 0; i < 20000; ++i)
        text += std::to_string(i * 7919 % 100003) + " 1.234 -0.567 0.089 20.456 -99. -99. -99. -99.\r\n";
    const auto old = std::filesystem::file_time_type::clock::now() - std::chrono::hours(48);
    for (int i = 0; i < 60; ++i) {
        char name[64];
        snprintf(name, sizeof name, "/lab0263%02d%02d_raw.txt", 10 + i / 24, i % 24);
        std::ofstream(run.data + name, std::ios::binary) << text;
        std::filesystem::last_write_time(run.data + name, old);
    }
    // The program's clock 20 s before the next whole hour.
    const long long now = std::chrono::duration_cast<std::chrono::milliseconds>(
                              std::chrono::system_clock::now().time_since_epoch())
                              .count();
    const long long offset = ((3600000 - 20000 - now % 3600000) % 3600000 + 3600000) % 3600000;
    char faketime[32];
    snprintf(faketime, sizeof faketime, "+%lld.%03lld", offset / 1000, offset % 1000);

    ChildProgram sim({BinDir + "/kestrune-sim", "--rate", "100", "--linger"}, {},
                     run.root.Path() + "/usonic-sim.err");
    ASSERT_TRUE(sim.Started());
    const std::string device = sim.ReadLine();
    ASSERT_FALSE(device.empty());
    ChildProgram program(
        {BinDir + Program, "--compress", "on", "--compression-age", "600"},
        {"KESTRUNE_COM1=" + device, "LD_PRELOAD=" + fakeTime, std::string("FAKETIME=") + faketime},
        run.root.Path() + "/kestrune.err");
    ASSERT_TRUE(program.Started());
    const pid_t pid = program.Pid();
    size_t mostAtIdle = 0;
    std::vector<int> realtimePriorities;
    ASSERT_TRUE(WaitForDirectory(
        run.data,
        [&] {
            size_t atIdle = 0;
            for (const ThreadScheduling &thread : ProcessThreads(pid)) {
                if (thread.Policy == 0 && thread.Nice == 19)
                    ++atIdle;
                if (thread.Policy == 1)
                    realtimePriorities.push_back(thread.RealtimePriority);
            }
            mostAtIdle = std::max(mostAtIdle, atIdle);
            return !LoggedMessages(run.data, 5009).empty();
        },
        180));
    program.Signal(SIGTERM);
    EXPECT_EQ(program.Wait(), 0);
    sim.CloseInput();
    sim.Kill(SIGTERM);

    EXPECT_EQ(FilesEndingWith(run.data, "_raw.txt.zip").size() + FilesEndingWith(run.data, "_raw.zip").size(),
              60u);
    // The archive thread and the compression thread at once.
    EXPECT_GE(mostAtIdle, 2u);
    // Real-time threads only above normal: the engine and its port reader (31), the main
    // thread at the class's normal level (24).
    for (int priority : realtimePriorities)
        EXPECT_GE(priority, 24);
}

// The entries in /dev/shm of the named objects of this root: the layer names them
// "kestrune.<hash of the root>.<kind>.<name>".
std::vector<std::string> SharedObjectsOfRoot(const std::string &root) {
    uint64_t hash = 0xCBF29CE484222325ULL;
    for (unsigned char c : root) {
        hash ^= c;
        hash *= 0x100000001B3ULL;
    }
    char prefix[32];
    snprintf(prefix, sizeof prefix, "kestrune.%08x.", static_cast<unsigned>(hash & 0xFFFFFFFFu));
    std::vector<std::string> names;
    for (const auto &entry : std::filesystem::directory_iterator("/dev/shm"))
        if (entry.path().filename().string().rfind(prefix, 0) == 0)
            names.push_back(entry.path().filename().string());
    return names;
}

// A clean stop closes the program's named objects: the log's mutex and the data directory's
// lock are there while it runs and gone when it has ended.
TEST(FieldOperation, CleanStopLeavesNoSharedObject) {
    ProgramRun run;
    ChildProgram program({BinDir + Program}, {"KESTRUNE_COM1=" + run.root.Path() + "/no-such-port"},
                         run.root.Path() + "/kestrune.err");
    ASSERT_TRUE(program.Started());
    ASSERT_TRUE(WaitForDirectory(
        run.data, [&] { return !LoggedMessages(run.data, 5303).empty(); }, 60));
    EXPECT_GE(SharedObjectsOfRoot(run.root.Path()).size(), 2u);
    program.Signal(SIGTERM);
    EXPECT_EQ(program.Wait(), 0);
    EXPECT_EQ(SharedObjectsOfRoot(run.root.Path()), std::vector<std::string>{});
}

// The program stopped for a few seconds (a paused virtual machine): the lines that waited in
// the port come in one read, and one entry tells how many and after what gap; `status` counts
// it.
TEST(FieldOperation, ReadingPauseIsLoggedOnceWithItsLines) {
    ProgramRun run;
    ChildProgram sim({BinDir + "/kestrune-sim", "--rate", "20", "--log", run.simLog, "--linger"}, {},
                     run.root.Path() + "/usonic-sim.err");
    ASSERT_TRUE(sim.Started());
    const std::string device = sim.ReadLine();
    ASSERT_FALSE(device.empty());
    ChildProgram program({BinDir + Program}, {"KESTRUNE_COM1=" + device}, run.root.Path() + "/kestrune.err");
    ASSERT_TRUE(program.Started());
    // Lines are being read (the first pass has archived some); then the program stops while
    // 60 lines are sent.
    ASSERT_TRUE(WaitForDirectory(
        run.data, [&] { return !ReadRaw(run.data).Lines.empty(); }, 60));
    program.Signal(SIGSTOP);
    const size_t stoppedAt = LineCount(run.simLog);
    ASSERT_TRUE(WaitForDirectory(
        run.root.Path(), [&] { return LineCount(run.simLog) >= stoppedAt + 60; }, 60));
    const size_t sentWhileStopped = LineCount(run.simLog) - stoppedAt;
    program.Signal(SIGCONT);
    ASSERT_TRUE(WaitForDirectory(
        run.data, [&] { return !LoggedMessages(run.data, 5109).empty(); }, 60));
    // A few more ordinary reads after it.
    const size_t after = LineCount(run.simLog) + 20;
    ASSERT_TRUE(WaitForDirectory(
        run.root.Path(), [&] { return LineCount(run.simLog) >= after; }, 60));
    ChildProgram status({BinDir + Program, "status"}, {}, run.root.Path() + "/status.err");
    std::string statusText;
    for (std::string line = status.ReadLine(); !line.empty(); line = status.ReadLine())
        statusText += line + "\n";
    status.Wait();
    program.Signal(SIGTERM);
    EXPECT_EQ(program.Wait(), 0);

    const std::vector<std::string> pauses = LoggedMessages(run.data, 5109);
    ASSERT_EQ(pauses.size(), 1u);
    unsigned long lines = 0;
    double gap = 0;
    ASSERT_EQ(sscanf(pauses[0].c_str(),
                     "Metek1: Reading paused: %lu lines came in one read after a gap of %lf s", &lines, &gap),
              2)
        << pauses[0];
    // The lines sent while it was stopped, give or take the one on the wire at either end.
    EXPECT_GE(lines + 2, sentWhileStopped) << pauses[0];
    EXPECT_LE(lines, sentWhileStopped + 2) << pauses[0];
    EXPECT_GE(gap, 2.0) << pauses[0];
    EXPECT_NE(statusText.find("Reading pauses:   1 today (5109)"), std::string::npos) << statusText;
}

TEST(FieldOperation, MissingPortIsWaitedForAndAcquisitionStartsWhenItAppears) {
    ProgramRun run;
    const std::string link = run.root.Path() + "/com1";
    ChildProgram program({BinDir + Program}, {"KESTRUNE_COM1=" + link}, run.root.Path() + "/kestrune.err");
    ASSERT_TRUE(program.Started());
    ASSERT_TRUE(WaitForDirectory(
        run.root.Path(), [&] { return LineCount(run.root.Path() + "/kestrune.err") >= 1; }, 60));
    std::vector<std::string> err = Lines(FileText(run.root.Path() + "/kestrune.err"));
    ASSERT_EQ(err.size(), 1u);
    EXPECT_EQ(err[0], "Metek1: COM1 is missing (error 2); waiting for it.");
    ASSERT_TRUE(WaitForDirectory(
        run.data, [&] { return !LoggedMessages(run.data, 5303).empty(); }, 60));
    EXPECT_TRUE(LoggedMessages(run.data, 5300).empty());

    std::vector<std::string> args = SimulatorArgs(300, run.simLog);
    args.push_back("--link");
    args.push_back(link);
    ChildProgram sim(args, {}, run.root.Path() + "/usonic-sim.err");
    ASSERT_TRUE(sim.Started());
    ASSERT_FALSE(sim.ReadLine().empty());
    // The simulator sends its lines once the program has opened the port and discarded what
    // came before.
    EXPECT_EQ(sim.ReadLine(), "done 301");
    program.Signal(SIGTERM);
    EXPECT_EQ(program.Wait(), 0);
    sim.CloseInput();
    EXPECT_EQ(sim.Wait(), 0);

    std::vector<std::string> expected = ExpectedRaw(run.simLog, "L");
    ASSERT_EQ(expected.size(), 300u);
    EXPECT_EQ(ReadRaw(run.data).Lines, expected);
    EXPECT_EQ(LoggedMessages(run.data, 5300).size(), 1u);
    ASSERT_EQ(LoggedMessages(run.data, 5304).size(), 1u);
    EXPECT_TRUE(Contains(LoggedMessages(run.data, 5304)[0], "Metek1: COM1 is back."))
        << LoggedMessages(run.data, 5304)[0];
    EXPECT_EQ(LineCount(run.root.Path() + "/kestrune.err"), 1u);
}

TEST(FieldOperation, LostPortIsReopenedAndTheNextSimulatorIsRead) {
    ProgramRun run;
    const std::string link = run.root.Path() + "/com1";
    const std::string firstLog = run.root.Path() + "/first-sim.log";
    const std::string secondLog = run.root.Path() + "/second-sim.log";
    auto withLink = [&](std::vector<std::string> args) {
        args.push_back("--link");
        args.push_back(link);
        return args;
    };

    ChildProgram first(withLink(SimulatorArgs(300, firstLog)), {}, run.root.Path() + "/first-sim.err");
    ASSERT_TRUE(first.Started());
    ASSERT_FALSE(first.ReadLine().empty());
    ChildProgram program({BinDir + Program}, {"KESTRUNE_COM1=" + link}, run.root.Path() + "/kestrune.err");
    ASSERT_TRUE(program.Started());
    EXPECT_EQ(first.ReadLine(), "done 301");

    // The adapter is pulled out: the lines it delivered are archived, the loss is logged. Its
    // device node goes with it (the killed simulator leaves its link behind, and the pty it
    // names may be given to another program meanwhile).
    first.Kill(SIGKILL);
    std::filesystem::remove(link);
    ASSERT_TRUE(WaitForDirectory(
        run.data, [&] { return !LoggedMessages(run.data, 5303).empty(); }, 120));
    ASSERT_EQ(LoggedMessages(run.data, 5303).size(), 1u);
    EXPECT_TRUE(Contains(LoggedMessages(run.data, 5303)[0], "Metek1: COM1 lost (error "))
        << LoggedMessages(run.data, 5303)[0];

    // Half a minute later it is back, on the same path.
    std::this_thread::sleep_for(std::chrono::seconds(30));
    ChildProgram second(withLink(SimulatorArgs(300, secondLog)), {}, run.root.Path() + "/second-sim.err");
    ASSERT_TRUE(second.Started());
    ASSERT_FALSE(second.ReadLine().empty());
    EXPECT_EQ(second.ReadLine(), "done 301");
    program.Signal(SIGTERM);
    struct rusage usage = {};
    EXPECT_EQ(program.Wait(&usage), 0);
    second.CloseInput();
    EXPECT_EQ(second.Wait(), 0);

    // The lines of the first simulator that had reached the port are archived in order (a
    // hang-up discards what the kernel still held for it), then every line of the second.
    std::vector<std::string> before = ExpectedRaw(firstLog, "L");
    std::vector<std::string> after = ExpectedRaw(secondLog, "L");
    ASSERT_EQ(before.size(), 300u);
    ASSERT_EQ(after.size(), 300u);
    std::vector<std::string> raw = ReadRaw(run.data).Lines;
    ASSERT_GE(raw.size(), after.size() + 1);
    const size_t kept = raw.size() - after.size();
    ASSERT_LE(kept, before.size());
    for (size_t i = 0; i < kept; ++i)
        ASSERT_EQ(raw[i], before[i]) << "line " << i;
    for (size_t i = 0; i < after.size(); ++i)
        ASSERT_EQ(raw[kept + i], after[i]) << "line " << kept + i;
    ASSERT_EQ(LoggedMessages(run.data, 5304).size(), 1u);
    EXPECT_TRUE(Contains(LoggedMessages(run.data, 5304)[0],
                         "Metek1: COM1 is back. Acquisition resumed after an "
                         "interruption since "))
        << LoggedMessages(run.data, 5304)[0];
    EXPECT_EQ(LoggedMessages(run.data, 5300).size(), 1u);

    // The whole run, half a minute of it without the port, used little processor time: the
    // waits sleep.
    const double cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                       static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    EXPECT_LT(cpu, 5.0);
}

// A port named by its device path, a symbolic link such as /dev/serial/by-id/... that
// follows the adapter: when the adapter comes back on another tty and the link moves there,
// the reopen goes through the link and reads the new tty. The data directory is a native path
// outside the root, where the program writes everything.
TEST(NativeStation, PortPathFollowsAMovedLinkAndEverythingLandsInTheNativeDirectory) {
    ProgramRun run;
    const std::string link = run.root.Path() + "/by-id/usb-adapter-port0";
    const std::string data = run.root.Path() + "/srv/flux/data";
    std::filesystem::create_directories(run.root.Path() + "/by-id");
    const std::string firstLog = run.root.Path() + "/first-sim.log";
    const std::string secondLog = run.root.Path() + "/second-sim.log";
    auto withLink = [&](std::vector<std::string> args) {
        args.push_back("--link");
        args.push_back(link);
        return args;
    };
    ChildProgram first(withLink(SimulatorArgs(200, firstLog)), {}, run.root.Path() + "/first-sim.err");
    ASSERT_TRUE(first.Started());
    const std::string firstTty = first.ReadLine();
    ChildProgram program({BinDir + Program, "--port", link, "--data-dir", data}, {},
                         run.root.Path() + "/kestrune.err");
    ASSERT_TRUE(program.Started());
    EXPECT_EQ(first.ReadLine(), "done 201");

    // The adapter goes; it comes back on a new tty, and the link (left behind by the killed
    // simulator) is moved there. Holding the old tty keeps its number from being given out again.
    const int oldTty = open(firstTty.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    first.Kill(SIGKILL);
    ASSERT_TRUE(WaitForDirectory(
        data, [&] { return !LoggedMessages(data, 5303).empty(); }, 120));
    EXPECT_TRUE(Contains(LoggedMessages(data, 5303)[0], "Metek1: " + link + " lost (error "))
        << LoggedMessages(data, 5303)[0];
    ChildProgram second(withLink(SimulatorArgs(200, secondLog)), {}, run.root.Path() + "/second-sim.err");
    ASSERT_TRUE(second.Started());
    EXPECT_NE(second.ReadLine(), firstTty);
    EXPECT_EQ(second.ReadLine(), "done 201");
    program.Signal(SIGTERM);
    EXPECT_EQ(program.Wait(), 0);
    second.CloseInput();
    EXPECT_EQ(second.Wait(), 0);

    const std::vector<std::string> after = ExpectedRaw(secondLog, "L");
    const std::vector<std::string> raw = ReadRaw(data).Lines;
    ASSERT_EQ(after.size(), 200u);
    ASSERT_GE(raw.size(), after.size());
    EXPECT_EQ(std::vector<std::string>(raw.end() - static_cast<long>(after.size()), raw.end()), after);
    ASSERT_EQ(LoggedMessages(data, 5304).size(), 1u);
    EXPECT_TRUE(Contains(LoggedMessages(data, 5304)[0], "Metek1: " + link + " is back."));
    // The event log, raw and statistics files are in the native directory; nothing went to a
    // drive folder below the root.
    EXPECT_FALSE(FilesEndingWith(data, ".log").empty());
    EXPECT_FALSE(FilesEndingWith(data, "_stats.txt").empty());
    EXPECT_FALSE(std::filesystem::exists(run.root.Path() + "/c"));
    if (oldTty >= 0)
        close(oldTty);
}

}  // namespace
