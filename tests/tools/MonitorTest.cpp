// kestrune-monitor against the data directory of a short real run (kestrune on usonic-sim,
// both clocks a few seconds before a whole minute so a statistics period closes soon), asked
// with the HTTP library's client: every documented path answers, undocumented and ".." paths
// and other methods are refused, a garbage line and a half-written last line are left out, and
// the monitor writes nothing into the data directory. And the page in a real browser
// (headless Chromium) during a live run: it says running and its charts hold the run's periods.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <regex>

#include "tools/MonitorFixture.h"
#include "tools/StationRun.h"

using namespace stationrun;

namespace {

// kestrune-monitor on a free loopback port over a data directory, on the given clock.
class Monitor {
public:
    Monitor(const std::string &data, const std::string &faketime, const std::string &errPath)
        : child_(
              {BinDir + "/kestrune-monitor", "--listen", "127.0.0.1:0", "--data-dir", data, "--refresh", "2"},
              FakeTimeEnv(faketime), errPath) {
        std::string line = child_.ReadLine();
        std::smatch match;
        if (std::regex_match(line, match, std::regex(R"(listening on http://127\.0\.0\.1:(\d+)/)")))
            port_ = std::stoi(match[1]);
    }
    ~Monitor() { child_.Kill(SIGTERM); }
    int Port() const { return port_; }
    std::string Url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/"; }
    // Ends it as a user would (SIGTERM) and returns its exit status.
    int Stop() {
        child_.Kill(SIGTERM);
        return child_.Wait();
    }

private:
    Child child_;
    int port_ = -1;
};

int Status(httplib::Client &client, const std::string &path) {
    auto result = client.Get(path.c_str());
    return result ? result->status : -1;
}

std::string Body(httplib::Client &client, const std::string &path) {
    auto result = client.Get(path.c_str());
    return result && result->status == 200 ? result->body : std::string();
}

// The number after "name": in a JSON text (or -1e9 when absent or null).
double JsonNumber(const std::string &json, const std::string &name) {
    std::smatch match;
    if (std::regex_search(json, match, std::regex("\"" + name + "\":(-?[0-9.]+)")))
        return std::stod(match[1]);
    return -1e9;
}

std::string JsonText(const std::string &json, const std::string &name) {
    std::smatch match;
    if (std::regex_search(json, match, std::regex("\"" + name + "\":\"([^\"]*)\"")))
        return match[1];
    return "";
}

int Attribute(const std::string &html, const std::string &name) {
    std::smatch match;
    if (std::regex_search(html, match, std::regex(name + "=\"([0-9]+)\"")))
        return std::stoi(match[1]);
    return -1;
}

// Names, sizes and modification times of the files in a directory.
std::map<std::string, std::pair<long long, long long>> Listing(const std::string &directory) {
    std::map<std::string, std::pair<long long, long long>> files;
    for (const auto &entry : std::filesystem::directory_iterator(directory)) {
        struct stat info;
        stat(entry.path().c_str(), &info);
        files[entry.path().filename().string()] = {
            static_cast<long long>(info.st_size),
            static_cast<long long>(info.st_mtim.tv_sec) * 1000000000LL + info.st_mtim.tv_nsec};
    }
    return files;
}

// Waits until the run has written at least one statistics period and a few archive passes.
bool WaitForPeriods(const StationRun &run) {
    return WaitForDirectory(
        run.Data(),
        [&] {
            return DataLines(run.Data(), "_stats.txt", 3) >= 1 && LogEntries(run.Data(), 5017).size() >= 3;
        },
        120);
}

TEST(Monitor, AnswersItsPathsRefusesOthersAndSkipsBrokenLines) {
    if (!StationRun::FakeTimeAvailable())
        GTEST_SKIP() << "libfaketime is not installed (Debian: faketime); the short run needs it";
    StationRun run(1000, SecondsBeforeMinute(6));
    ASSERT_TRUE(run.Started());
    ASSERT_TRUE(WaitForPeriods(run));
    // A clock synchronisation now (on the program's clock): a blackout to mark on the charts.
    Child clocksync({BinDir + "/kestrune-clocksync", "now"}, FakeTimeEnv(run.FakeTime()),
                    run.Root() + "/clocksync.err");
    const std::string published = clocksync.ReadLine();
    ASSERT_EQ(clocksync.Wait(), 0);
    ASSERT_TRUE(WaitForDirectory(
        run.Data(), [&] { return !LogEntries(run.Data(), 5006).empty(); }, 60))
        << published << "\n"
        << FileText(FilesEndingWith(run.Data(), ".log").back());
    Monitor monitor(run.Data(), run.FakeTime(), run.Root() + "/monitor.err");
    ASSERT_GT(monitor.Port(), 0) << FileText(run.Root() + "/monitor.err");
    httplib::Client client("127.0.0.1", monitor.Port());

    // Every documented path answers while the program runs.
    std::string page = Body(client, "/");
    ASSERT_FALSE(page.empty());
    EXPECT_NE(page.find("data-state=\"running\""), std::string::npos);
    EXPECT_NE(page.find("<meta http-equiv=\"refresh\" content=\"2\">"), std::string::npos);
    EXPECT_EQ(page.find("<script"), std::string::npos);
    EXPECT_EQ(page.find("src="), std::string::npos) << "the page loads nothing from elsewhere";
    const int periods = static_cast<int>(DataLines(run.Data(), "_stats.txt", 3));
    EXPECT_GE(Attribute(page, "data-periods"), 1);
    EXPECT_LE(Attribute(page, "data-periods"), periods + 1);  // one more may close meanwhile
    EXPECT_NE(page.find("Metek1: Starting archive engine."), std::string::npos);
    EXPECT_GE(Attribute(page, "data-marks"), 1);
    EXPECT_NE(page.find("class=\"mark blackout\""), std::string::npos);

    std::string health = Body(client, "/health");
    EXPECT_EQ(JsonText(health, "state"), "running") << health;
    EXPECT_GT(JsonNumber(health, "lines_per_second"), 100) << health;
    EXPECT_GE(JsonNumber(health, "sample_age_s"), 0) << health;
    EXPECT_EQ(JsonNumber(health, "losses_today"), 0) << health;
    EXPECT_GT(JsonNumber(health, "excluded_today"), 0) << health;  // the blackout's samples
    EXPECT_GT(JsonNumber(health, "archive_samples"), 0) << health;
    auto healthResult = client.Get("/health");
    ASSERT_TRUE(healthResult);
    EXPECT_EQ(healthResult->get_header_value("Content-Type"), "application/json");

    EXPECT_NE(Body(client, "/log").find("5212  Metek1: Starting archive engine."), std::string::npos);
    for (const char *chart : {"means", "temperature", "deviations", "speed", "direction", "counts",
                              "trace-wind", "trace-temperature"}) {
        auto result = client.Get((std::string("/chart/") + chart + ".svg").c_str());
        ASSERT_TRUE(result) << chart;
        EXPECT_EQ(result->status, 200) << chart;
        EXPECT_EQ(result->get_header_value("Content-Type"), "image/svg+xml") << chart;
        EXPECT_EQ(result->body.compare(0, 4, "<svg"), 0) << chart;
        EXPECT_GT(Attribute(result->body, "data-points"), 0) << chart;
    }
    std::string today = JsonText(health, "now").substr(0, 10);
    EXPECT_EQ(Status(client, "/?day=" + today), 200);
    EXPECT_EQ(Status(client, "/chart/means.svg?day=" + today), 200);
    EXPECT_EQ(Attribute(Body(client, "/?day=2001-01-01"), "data-periods"), 0);

    // Everything else is refused, and nothing names a file.
    EXPECT_EQ(Status(client, "/nothing"), 404);
    EXPECT_EQ(Status(client, "/chart/none.svg"), 404);
    EXPECT_EQ(Status(client, "/chart/means.png"), 404);
    EXPECT_EQ(Status(client, "/health/"), 404);
    EXPECT_EQ(Status(client, "/registry.db"), 404);
    EXPECT_EQ(Status(client, "/../registry.db"), 400);
    EXPECT_EQ(Status(client, "/chart/../../registry.db"), 400);
    EXPECT_EQ(Status(client, "/chart/%2e%2e/%2e%2e/registry.db"), 400);
    EXPECT_EQ(Status(client, "/?day=../../etc/passwd"), 400);
    EXPECT_EQ(Status(client, "/?day=2026-13-01"), 400);
    EXPECT_EQ(Status(client, "/chart/means.svg?day=26342"), 400);
    auto post = client.Post("/", "x", "text/plain");
    ASSERT_TRUE(post);
    EXPECT_EQ(post->status, 405);

    // With the program stopped: the monitor changes nothing in the data directory.
    run.Stop();
    const std::string before = Body(client, "/health");
    const std::string lastSample = JsonText(before, "last_sample");
    const int periodsBefore = Attribute(Body(client, "/"), "data-periods");
    const int pointsBefore = Attribute(Body(client, "/chart/means.svg?day=" + today), "data-points");
    auto listing = Listing(run.Data());
    for (const char *path : {"/", "/health", "/log", "/chart/means.svg", "/chart/trace-wind.svg"})
        EXPECT_EQ(Status(client, path), 200);
    EXPECT_EQ(Listing(run.Data()), listing);
    EXPECT_EQ(JsonNumber(before, "skipped_lines"), 0) << before;
    // The clock as `kestrune status` words it, in the health block too.
    const std::string clock = JsonText(before, "clock");
    EXPECT_TRUE(clock.rfind("synchronised (estimated error ", 0) == 0 ||
                clock.rfind("not synchronised", 0) == 0)
        << before;
    EXPECT_NE(Body(client, "/").find("<td id=\"clock\""), std::string::npos);

    // A garbage line and a half-written last line in the newest raw, statistics and log files
    // are left out: no new sample, no new period, nothing crashes.
    for (const char *suffix : {"_raw.txt", "_stats.txt", ".log"}) {
        std::ofstream(FilesEndingWith(run.Data(), suffix).back(), std::ios::binary | std::ios::app)
            << "#garbage\x01\xff 12:00 -- 5e\r\n"
            << "5959999 00:00:000-59:59:999 1.0";
    }
    std::string after = Body(client, "/health");
    EXPECT_EQ(JsonText(after, "last_sample"), lastSample) << after;
    EXPECT_EQ(JsonNumber(after, "skipped_lines"), 1) << after;  // the garbage raw line
    EXPECT_EQ(Attribute(Body(client, "/"), "data-periods"), periodsBefore);
    EXPECT_EQ(Attribute(Body(client, "/chart/means.svg?day=" + today), "data-points"), pointsBefore);
    EXPECT_EQ(Status(client, "/log"), 200);
    EXPECT_EQ(monitor.Stop(), 0);
}

TEST(Monitor, RefusesBadArgumentsAndBindsLoopbackByDefault) {
    TestRoot root;
    for (const std::vector<std::string> &args : std::vector<std::vector<std::string>>{
             {"--listen", "8160"}, {"--listen", "127.0.0.1:70000"}, {"--refresh", "0"}, {"--bogus"}}) {
        std::vector<std::string> all = {BinDir + "/kestrune-monitor"};
        all.insert(all.end(), args.begin(), args.end());
        Child child(all, {}, root.Path() + "/err");
        EXPECT_EQ(child.Wait(), 2) << args[0] << " " << (args.size() > 1 ? args[1] : "");
    }
    Child help({BinDir + "/kestrune-monitor", "--help"}, {}, root.Path() + "/err");
    EXPECT_NE(help.ReadAll().find("default 127.0.0.1:8160"), std::string::npos);
    EXPECT_EQ(help.Wait(), 0);
}

const std::string Chromium = "/usr/bin/chromium";

// Headless Chromium on a URL with one action (--dump-dom, --screenshot=FILE): its exit status
// and what it printed.
std::pair<int, std::string> Browse(const std::string &action, const std::string &url,
                                   const std::string &profile, const std::string &out,
                                   const std::string &windowSize) {
    std::vector<std::string> args = {Chromium,
                                     "--headless",
                                     "--no-sandbox",
                                     "--disable-gpu",
                                     "--disable-quic",
                                     "--no-first-run",
                                     "--disable-background-networking",
                                     "--disable-component-update",
                                     "--disable-sync",
                                     "--hide-scrollbars",
                                     "--user-data-dir=" + profile,
                                     "--window-size=" + windowSize,
                                     action,
                                     url};
    Child browser(args, {}, out + ".err");
    std::string text = browser.ReadAll();
    int status = browser.Wait();
    return std::make_pair(status, text);
}

// True when the browser tests can run; otherwise they skip, or fail where CI asks for them.
bool ChromiumAvailable() {
    return access(Chromium.c_str(), X_OK) == 0;
}

// 50 idle connections and 50 that sent half a request are held open on loopback: the page
// and /health still answer while they are held (a client that waits 2 s in vain fails). Then
// 150 more idle ones, far past the bound on open connections (monitor::MaxConnections) and
// the server's workers: the page still answers.
TEST(Monitor, AnswersWhileIdleAndHalfSentConnectionsAreHeld) {
    TestRoot root;
    const std::string data = root.Path() + "/data";
    mkdir(data.c_str(), 0755);
    Monitor monitor(data, "", root.Path() + "/monitor.err");
    ASSERT_GT(monitor.Port(), 0);
    std::vector<int> held;
    auto hold = [&](int count, bool halves) {
        for (int i = 0; i < count; ++i) {
            const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            ASSERT_GE(fd, 0);
            held.push_back(fd);
            sockaddr_in address = {};
            address.sin_family = AF_INET;
            address.sin_port = htons(static_cast<uint16_t>(monitor.Port()));
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
            if (halves && i % 2 == 1) {
                const char half[] = "GET /health HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: ";
                ASSERT_EQ(send(fd, half, sizeof half - 1, MSG_NOSIGNAL),
                          static_cast<ssize_t>(sizeof half - 1));
            }
        }
    };
    auto answers = [&](const char *when) {
        for (int round = 0; round < 3; ++round) {
            httplib::Client client("127.0.0.1", monitor.Port());
            client.set_connection_timeout(2, 0);
            client.set_read_timeout(2, 0);
            EXPECT_EQ(Status(client, "/health"), 200) << when << ", round " << round;
            EXPECT_EQ(Status(client, "/"), 200) << when << ", round " << round;
        }
    };
    hold(100, true);
    answers("100 held");
    hold(150, false);
    answers("250 opened");
    for (int fd : held)
        close(fd);
    EXPECT_EQ(monitor.Stop(), 0);
}

// Headless Chromium loads the page during a live run. Debian's chromium; CI installs it for
// this test (KESTRUNE_REQUIRE_CHROMIUM=1 turns its absence into a failure there).
TEST(MonitorBrowser, PageShowsRunningAndTheRunsPeriods) {
    if (!ChromiumAvailable()) {
        if (getenv("KESTRUNE_REQUIRE_CHROMIUM"))
            FAIL() << Chromium << " is missing";
        GTEST_SKIP() << "Chromium is not installed (Debian: chromium); the browser test needs it";
    }
    if (!StationRun::FakeTimeAvailable())
        GTEST_SKIP() << "libfaketime is not installed (Debian: faketime); the short run needs it";
    StationRun run(1000, SecondsBeforeMinute(6));
    ASSERT_TRUE(run.Started());
    ASSERT_TRUE(WaitForPeriods(run));
    Monitor monitor(run.Data(), run.FakeTime(), run.Root() + "/monitor.err");
    ASSERT_GT(monitor.Port(), 0);

    auto browse = [&](const std::string &action, const std::string &out) {
        return Browse(action, monitor.Url(),
                      run.Root() + "/chromium-" + std::to_string(getpid()) + "-" + action, out, "960,2300");
    };

    auto dom = browse("--dump-dom", run.Root() + "/dom");
    ASSERT_EQ(dom.first, 0) << FileText(run.Root() + "/dom.err");
    const std::string &html = dom.second;
    // The health block says running.
    EXPECT_NE(html.find("<td id=\"state\" class=\"running\">running</td>"), std::string::npos)
        << html.substr(0, 3000);
    // The charts hold the run's periods: one point per period written so far in the mean
    // charts, and the live trace holds samples.
    const int periods = static_cast<int>(DataLines(run.Data(), "_stats.txt", 3));
    const int shown = Attribute(html, "data-periods");
    EXPECT_GE(shown, 1);
    EXPECT_LE(shown, periods);
    std::smatch match;
    ASSERT_TRUE(
        std::regex_search(html, match, std::regex("id=\"chart-temperature\"[^>]*data-points=\"([0-9]+)\"")));
    EXPECT_EQ(std::stoi(match[1]), shown);
    EXPECT_NE(html.find("data-series=\"T\""), std::string::npos);
    ASSERT_TRUE(
        std::regex_search(html, match, std::regex("id=\"chart-trace-wind\"[^>]*data-points=\"([0-9]+)\"")));
    EXPECT_GT(std::stoi(match[1]), 0);

    const std::string screenshot = std::string(KESTRUNE_BIN_DIR) + "/../monitor-screenshot.png";
    std::filesystem::remove(screenshot);
    auto shot = browse("--screenshot=" + screenshot, run.Root() + "/shot");
    ASSERT_EQ(shot.first, 0) << FileText(run.Root() + "/shot.err");
    std::string png = FileText(screenshot);
    ASSERT_GT(png.size(), 1000u);
    EXPECT_EQ(png.compare(0, 8, "\x89PNG\r\n\x1a\n"), 0);
}

// The flux view in the browser over a short day of files, the monitor's clock at 14:03 of
// that day: the flux charts hold the day's periods as dots coloured by flag, the table lists
// them, and with the flux file gone the u* chart says when the first period ends. A phone-
// sized screenshot is kept beside the other.
TEST(MonitorBrowser, FluxChartsRenderAndAnEmptyOneSaysWhy) {
    if (!ChromiumAvailable()) {
        if (getenv("KESTRUNE_REQUIRE_CHROMIUM"))
            FAIL() << Chromium << " is missing";
        GTEST_SKIP() << "Chromium is not installed (Debian: chromium); the browser test needs it";
    }
    if (!StationRun::FakeTimeAvailable())
        GTEST_SKIP() << "libfaketime is not installed (Debian: faketime); the monitor's clock needs it";
    TestRoot root;
    const std::string data = root.Path() + "/data/Kestrune";
    monitorfixture::WriteShortDay(data, root.Path() + "/outside");
    Monitor monitor(data, "@2026-12-08 14:03:00", root.Path() + "/monitor.err");
    ASSERT_GT(monitor.Port(), 0) << FileText(root.Path() + "/monitor.err");
    const std::string url = monitor.Url() + "?day=2026-12-08";

    auto dom = Browse("--dump-dom", url, root.Path() + "/profile-dom", root.Path() + "/dom", "960,2300");
    ASSERT_EQ(dom.first, 0) << FileText(root.Path() + "/dom.err");
    const std::string &html = dom.second;
    std::smatch match;
    ASSERT_TRUE(
        std::regex_search(html, match, std::regex("id=\"chart-flux-ustar\"[^>]*data-points=\"([0-9]+)\"")));
    EXPECT_EQ(std::stoi(match[1]), monitorfixture::FluxPeriods);
    const size_t chart = html.find("id=\"chart-flux-ustar\""), end = html.find("</svg>", chart);
    const std::string ustar = html.substr(chart, end - chart);
    EXPECT_NE(ustar.find("data-flag=\"0\" cx="), std::string::npos) << ustar;
    EXPECT_NE(ustar.find("data-flag=\"1\" cx="), std::string::npos) << ustar;
    EXPECT_NE(html.find("<td class=\"flag flag-1\">1</td>"), std::string::npos);

    const std::string screenshot = std::string(KESTRUNE_BIN_DIR) + "/../monitor-phone-screenshot.png";
    std::filesystem::remove(screenshot);
    auto shot = Browse("--screenshot=" + screenshot, url, root.Path() + "/profile-shot",
                       root.Path() + "/shot", "390,844");
    ASSERT_EQ(shot.first, 0) << FileText(root.Path() + "/shot.err");
    EXPECT_EQ(FileText(screenshot).compare(0, 8, "\x89PNG\r\n\x1a\n"), 0);

    std::filesystem::remove(data + "/lab026342_flux.csv");
    auto empty =
        Browse("--dump-dom", url, root.Path() + "/profile-empty", root.Path() + "/empty", "960,2300");
    ASSERT_EQ(empty.first, 0) << FileText(root.Path() + "/empty.err");
    EXPECT_NE(empty.second.find(">first 30-min period ends at 14:30 UTC</text>"), std::string::npos)
        << empty.second.substr(0, 4000);
    EXPECT_EQ(monitor.Stop(), 0);
}

}  // namespace
