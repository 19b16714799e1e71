// kestrune-export against the files of a real run whose clock crosses midnight of New Year's
// Eve (an hour, a day and a year boundary at once): every raw line and statistics line comes
// out as one CSV row with the right UTC time and the same values, split by day as asked;
// samples that lie in a logged blackout window are flagged; malformed and half-written lines
// are skipped; the export never writes into the data directory. Python's csv module reads both
// files.
#include <gtest/gtest.h>

#include <ctime>
#include <map>

#include "tools/StationRun.h"

using namespace stationrun;

namespace {

// UTC start of the hour a data file name stands for (lab0YYJJJHH_...), from libc's timegm.
long long HourOfFile(const std::string &path) {
    std::string name = std::filesystem::path(path).filename().string();
    std::tm tm = {};
    tm.tm_year = 100 + std::stoi(name.substr(4, 2));
    tm.tm_mday = std::stoi(name.substr(6, 3));  // day of year; timegm normalises it
    tm.tm_hour = std::stoi(name.substr(9, 2));
    return static_cast<long long>(timegm(&tm)) * 1000;
}

std::string Iso(long long ms) {
    std::time_t seconds = static_cast<std::time_t>(ms / 1000);
    std::tm tm = {};
    gmtime_r(&seconds, &tm);
    char text[40];
    strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &tm);
    char full[48];
    snprintf(full, sizeof full, "%s.%03lldZ", text, ms % 1000);
    return full;
}

std::vector<std::string> Split(const std::string &text, char separator) {
    std::vector<std::string> parts;
    std::string part;
    std::istringstream in(text);
    while (std::getline(in, part, separator))
        parts.push_back(part);
    if (!text.empty() && text.back() == separator)
        parts.push_back("");
    return parts;
}

// Rows a raw file must give: time, status, the eight values (missing as empty).
struct ExpectedRow {
    long long Time;
    std::vector<std::string> Fields;  // status, u, v, w, T, A1..A4
};

std::vector<ExpectedRow> ExpectedRaw(const std::string &data) {
    std::vector<ExpectedRow> rows;
    for (const auto &path : FilesEndingWith(data, "_raw.txt")) {
        long long hour = HourOfFile(path);
        std::vector<std::string> lines = Lines(FileText(path));
        for (size_t i = 1; i < lines.size(); ++i) {
            const std::string &line = lines[i];
            ExpectedRow row;
            row.Time = hour + std::stoll(line.substr(0, 2)) * 60000 + std::stoll(line.substr(2, 5));
            std::vector<std::string> texts = Split(line.substr(8), ' ');
            // The status field comes first; the values are the last eight texts.
            std::string status;
            for (size_t t = 0; t + 8 < texts.size(); ++t)
                status += (t ? " " : "") + texts[t];
            row.Fields.push_back(status);
            for (size_t t = texts.size() - 8; t < texts.size(); ++t)
                row.Fields.push_back(texts[t] == "-99." ? "" : texts[t]);
            rows.push_back(row);
        }
    }
    return rows;
}

struct ExpectedPeriod {
    long long Start, End;
    std::vector<std::string> Fields;
};

std::vector<ExpectedPeriod> ExpectedStats(const std::string &data) {
    std::vector<ExpectedPeriod> periods;
    for (const auto &path : FilesEndingWith(data, "_stats.txt")) {
        long long hour = HourOfFile(path);
        std::vector<std::string> lines = Lines(FileText(path));
        for (size_t i = 3; i < lines.size(); ++i) {
            const std::string &line = lines[i];
            auto key = [&](size_t at) {
                return std::stoll(line.substr(at, 2)) * 60000 + std::stoll(line.substr(at + 3, 2)) * 1000 +
                       std::stoll(line.substr(at + 6, 3));
            };
            ExpectedPeriod period;
            period.Start = hour + key(0);
            period.End = hour + key(10);
            if (period.End < period.Start)
                period.End += 3600000;
            std::istringstream figures(line.substr(20));
            std::string figure;
            while (figures >> figure)
                period.Fields.push_back(figure == "-99.99" ? "" : figure);
            periods.push_back(period);
        }
    }
    return periods;
}

// Event-log entries with their UTC time, from all day files.
struct Entry {
    long long Time;
    int Code;
    std::string Message;
};

std::vector<Entry> Entries(const std::string &data) {
    std::vector<Entry> entries;
    for (const auto &path : FilesEndingWith(data, ".log")) {
        std::string name = std::filesystem::path(path).filename().string();
        std::tm tm = {};
        tm.tm_year = 100 + std::stoi(name.substr(0, 2));
        tm.tm_mday = std::stoi(name.substr(2, 3));
        long long day = static_cast<long long>(timegm(&tm)) * 1000;
        for (const auto &line : Lines(FileText(path))) {
            int h, m, s, ms, code;
            if (line.size() > 20 && sscanf(line.c_str(), "%2d:%2d:%2d:%3d %d", &h, &m, &s, &ms, &code) == 5)
                entries.push_back(
                    {day + h * 3600000LL + m * 60000LL + s * 1000LL + ms, code, line.substr(20)});
        }
    }
    return entries;
}

struct Export {
    int Status;
    std::string Err;
};

Export RunExport(const std::vector<std::string> &args, const std::string &errPath) {
    std::vector<std::string> all = {BinDir + "/kestrune-export"};
    all.insert(all.end(), args.begin(), args.end());
    Child child(all, {}, errPath);
    int status = child.Wait();
    return {status, FileText(errPath)};
}

// The CSV rows of a file, split at commas (the run's fields hold no quotes), header first.
std::vector<std::vector<std::string>> CsvRows(const std::string &path) {
    std::vector<std::vector<std::string>> rows;
    for (const auto &line : Lines(FileText(path)))
        rows.push_back(Split(line, ','));
    return rows;
}

TEST(Export, RunAcrossMidnightComesOutValueForValue) {
    if (!StationRun::FakeTimeAvailable())
        GTEST_SKIP() << "libfaketime is not installed (Debian: faketime); the run across midnight needs it";
    StationRun run(1000, "@2026-12-31 23:59:57");
    ASSERT_TRUE(run.Started());
    const std::string data = run.Data();

    // Once the first buffer is archived, publish a clock synchronisation two seconds before
    // it: the window's first part holds samples already archived (in the raw file, flagged),
    // its second part samples still to be screened (excluded, logged with 5006).
    auto first5017 = [&] {
        for (const auto &entry : Entries(data))
            if (entry.Code == 5017)
                return entry.Time;
        return 0LL;
    };
    ASSERT_TRUE(WaitForDirectory(
        data, [&] { return first5017() != 0; }, 60));
    long long sync = first5017() - 2000;
    std::string when = Iso(sync);
    when[10] = ' ';
    when.pop_back();
    Child clocksync({BinDir + "/kestrune-clocksync", "set", when}, {}, run.Root() + "/clocksync.err");
    ASSERT_EQ(clocksync.Wait(), 0) << when;

    // Run until a period of the new year's first hour has been written.
    ASSERT_TRUE(WaitForDirectory(
        data,
        [&] {
            return std::filesystem::exists(data + "/lab02700100_stats.txt") &&
                   DataLines(data, "_stats.txt", 3) >= 2;
        },
        150));
    run.Stop();

    ASSERT_TRUE(std::filesystem::exists(data + "/lab02636523_raw.txt"));
    ASSERT_TRUE(std::filesystem::exists(data + "/lab02700100_raw.txt"));
    ASSERT_FALSE(LogEntries(data, 5006).empty()) << "no blackout was logged";
    const std::vector<ExpectedRow> raw = ExpectedRaw(data);
    const std::vector<ExpectedPeriod> stats = ExpectedStats(data);
    const long long midnight = HourOfFile(data + "/lab02700100_raw.txt");
    ASSERT_GT(raw.size(), 10000u);
    ASSERT_LT(raw.front().Time, midnight);
    ASSERT_GE(raw.back().Time, midnight);

    auto listing = [&] {
        std::map<std::string, std::uintmax_t> sizes;
        for (const auto &entry : std::filesystem::directory_iterator(data))
            sizes[entry.path().filename().string()] = entry.file_size();
        return sizes;
    };
    const auto before = listing();
    const std::string out = run.Root() + "/out";
    std::filesystem::create_directories(out);

    {
        SCOPED_TRACE("both days");
        Export result = RunExport({"--data-dir", data, "--raw", out + "/raw.csv", "--stats",
                                   out + "/stats.csv", "2026-12-31", "2027-01-01"},
                                  out + "/export.err");
        ASSERT_EQ(result.Status, 0) << result.Err;
        auto rows = CsvRows(out + "/raw.csv");
        ASSERT_EQ(rows.size(), raw.size() + 1);
        EXPECT_EQ(rows[0], (std::vector<std::string>{"time", "status", "u", "v", "w", "Ts", "A1", "A2", "A3",
                                                     "A4", "blackout"}));
        // Flagged exactly when inside a window logged with 5006 or 5029.
        std::vector<std::pair<long long, long long>> windows;
        for (const auto &entry : Entries(data)) {
            int n, mo[2], d[2], y[2], h[2], mi[2], s[2], ms[2];
            if ((entry.Code == 5006 || entry.Code == 5029) &&
                sscanf(entry.Message.c_str(),
                       "Metek1: Excluding %d samples from the archive during the blackout period %d/%d/%d "
                       "%d:%d:%d:%d to %d/%d/%d %d:%d:%d:%d.",
                       &n, &mo[0], &d[0], &y[0], &h[0], &mi[0], &s[0], &ms[0], &mo[1], &d[1], &y[1], &h[1],
                       &mi[1], &s[1], &ms[1]) == 15) {
                long long at[2];
                for (int k = 0; k < 2; ++k) {
                    std::tm tm = {};
                    tm.tm_year = 100 + y[k], tm.tm_mon = mo[k] - 1, tm.tm_mday = d[k];
                    tm.tm_hour = h[k], tm.tm_min = mi[k], tm.tm_sec = s[k];
                    at[k] = static_cast<long long>(timegm(&tm)) * 1000 + ms[k];
                }
                windows.push_back({at[0], at[1]});
            }
        }
        ASSERT_FALSE(windows.empty());
        EXPECT_EQ(windows.front().first, sync);
        size_t flagged = 0;
        for (size_t i = 0; i < raw.size(); ++i) {
            const auto &row = rows[i + 1];
            ASSERT_EQ(row.size(), 11u) << i;
            ASSERT_EQ(row[0], Iso(raw[i].Time)) << i;
            for (size_t f = 0; f < 9; ++f)
                ASSERT_EQ(row[1 + f], raw[i].Fields[f]) << i << " field " << f;
            bool inside = false;
            for (const auto &w : windows)
                inside = inside || (raw[i].Time >= w.first && raw[i].Time <= w.second);
            ASSERT_EQ(row[10], inside ? "1" : "0") << i;
            flagged += inside;
        }
        EXPECT_GT(flagged, 0u) << "no archived sample lies in the window";

        auto periods = CsvRows(out + "/stats.csv");
        ASSERT_EQ(periods.size(), stats.size() + 1);
        ASSERT_EQ(periods[0].size(), 43u);
        EXPECT_EQ(periods[0][0], "start");
        EXPECT_EQ(periods[0][2], "duration_s");
        EXPECT_EQ(periods[0][3], "blackout_samples");
        EXPECT_EQ(periods[0][4], "heating_off_samples");
        EXPECT_EQ(periods[0][10], "u_good_samples");
        EXPECT_EQ(periods[0][12], "u_mean_m_s");
        EXPECT_EQ(periods[0][31], "T_sd_C");
        EXPECT_EQ(periods[0][33], "T_kurtosis_excess");
        EXPECT_EQ(periods[0][42], "wT_cov_m_s_C");
        for (size_t i = 0; i < stats.size(); ++i) {
            ASSERT_EQ(periods[i + 1].size(), 43u);
            EXPECT_EQ(periods[i + 1][0], Iso(stats[i].Start));
            EXPECT_EQ(periods[i + 1][1], Iso(stats[i].End));
            char duration[32];
            snprintf(duration, sizeof duration, "%.3f", (stats[i].End - stats[i].Start) / 1000.0);
            EXPECT_EQ(periods[i + 1][2], duration) << i;
            for (size_t f = 0; f < 40; ++f)
                EXPECT_EQ(periods[i + 1][3 + f], stats[i].Fields[f]) << i << " figure " << f;
        }
        // The period that ends at midnight ends on the new day.
        bool endsAtMidnight = false;
        for (const auto &p : stats)
            endsAtMidnight = endsAtMidnight || p.End == midnight;
        EXPECT_TRUE(endsAtMidnight);
    }
    {
        SCOPED_TRACE("one day each");
        size_t total = 0;
        for (const char *day : {"2026-12-31", "2027-01-01"}) {
            Export result = RunExport({"--data-dir", data, "--raw", out + "/day.csv", day}, out + "/day.err");
            ASSERT_EQ(result.Status, 0) << result.Err;
            auto rows = CsvRows(out + "/day.csv");
            ASSERT_GT(rows.size(), 1u);
            for (size_t i = 1; i < rows.size(); ++i)
                ASSERT_EQ(rows[i][0].substr(0, 10), day) << rows[i][0];
            total += rows.size() - 1;
        }
        EXPECT_EQ(total, raw.size());
        Export empty =
            RunExport({"--data-dir", data, "--raw", out + "/none.csv", "2027-01-02"}, out + "/none.err");
        ASSERT_EQ(empty.Status, 0) << empty.Err;
        EXPECT_EQ(CsvRows(out + "/none.csv").size(), 1u);
    }
    {
        SCOPED_TRACE("python csv");
        std::string script = out + "/read.py";
        std::ofstream(script)
            << "import csv, sys\n"
               "with open(sys.argv[1], newline='') as f:\n"
               "    raw = list(csv.DictReader(f))\n"
               "with open(sys.argv[2], newline='') as f:\n"
               "    stats = list(csv.DictReader(f))\n"
               "print(len(raw), raw[0]['time'], raw[-1]['u'], len(stats), stats[-1]['end'])\n";
        Child python({"/usr/bin/python3", script, out + "/raw.csv", out + "/stats.csv"}, {},
                     out + "/python.err");
        std::string line = python.ReadLine();
        ASSERT_EQ(python.Wait(), 0) << FileText(out + "/python.err");
        std::string expected = std::to_string(raw.size()) + " " + Iso(raw.front().Time) + " " +
                               raw.back().Fields[1] + " " + std::to_string(stats.size()) + " " +
                               Iso(stats.back().End);
        EXPECT_EQ(line, expected);
    }
    {
        SCOPED_TRACE("read only");
        EXPECT_EQ(listing(), before);
        Export refused =
            RunExport({"--data-dir", data, "--raw", data + "/raw.csv", "2026-12-31"}, out + "/refused.err");
        EXPECT_EQ(refused.Status, 2);
        EXPECT_NE(refused.Err.find("data directory"), std::string::npos) << refused.Err;
        EXPECT_EQ(listing(), before);
    }
    {
        SCOPED_TRACE("malformed lines");
        // A copy of the data with a garbage line inside the first raw file and statistics
        // file and a half-written line at the end of the last raw file.
        std::string copy = run.Root() + "/copy";
        std::filesystem::copy(data, copy);
        std::string firstRaw = FilesEndingWith(copy, "_raw.txt").front();
        std::string text = FileText(firstRaw);
        size_t third = text.find('\n', text.find('\n', text.find('\n') + 1) + 1);
        text.insert(third + 1, "0101\x01garbage 1.0 2.0\r\n");
        std::ofstream(firstRaw, std::ios::binary | std::ios::trunc) << text;
        std::ofstream(FilesEndingWith(copy, "_stats.txt").front(), std::ios::binary | std::ios::app)
            << "03:00:000-04:00:000 12 x\r\n";
        std::ofstream(FilesEndingWith(copy, "_raw.txt").back(), std::ios::binary | std::ios::app)
            << "5959123 0000";
        Export result = RunExport({"--data-dir", copy, "--raw", out + "/copy.csv", "--stats",
                                   out + "/copystats.csv", "--missing", "NaN", "2026-12-31", "2027-01-01"},
                                  out + "/copy.err");
        ASSERT_EQ(result.Status, 0) << result.Err;
        EXPECT_NE(result.Err.find("(1 malformed lines skipped)"), std::string::npos) << result.Err;
        auto rows = CsvRows(out + "/copy.csv");
        ASSERT_EQ(rows.size(), raw.size() + 1);
        for (size_t i = 0; i < raw.size(); ++i) {
            ASSERT_EQ(rows[i + 1][0], Iso(raw[i].Time)) << i;
            for (size_t f = 1; f < 9; ++f)
                ASSERT_EQ(rows[i + 1][1 + f], raw[i].Fields[f].empty() ? "NaN" : raw[i].Fields[f]) << i;
        }
        EXPECT_EQ(CsvRows(out + "/copystats.csv").size(), stats.size() + 1);
    }
}

TEST(Export, RefusesBadArguments) {
    TestRoot root;
    std::string data = root.Path() + "/data";
    std::filesystem::create_directories(data);
    for (const std::vector<std::string> &args :
         std::vector<std::vector<std::string>>{{},
                                               {"2026-02-29"},
                                               {"2026-12-31", "2026-12-30"},
                                               {"2026-1-1"},
                                               {"--raw", "-", "--stats", "-", "2026-12-08"},
                                               {"--bogus", "2026-12-08"}}) {
        std::vector<std::string> all = {"--data-dir", data};
        all.insert(all.end(), args.begin(), args.end());
        Export result = RunExport(all, root.Path() + "/err");
        EXPECT_EQ(result.Status, 2) << (args.empty() ? "" : args[0]);
    }
    Export missing = RunExport({"--data-dir", root.Path() + "/none", "2026-12-08"}, root.Path() + "/err");
    EXPECT_EQ(missing.Status, 1);
}

}  // namespace
