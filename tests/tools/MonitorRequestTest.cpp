// The monitor's request handling over a short day of files (tools/MonitorFixture.h), with
// secret files beside the data directory and links out of it: Respond() answers the documented
// paths and refuses everything else, no traversal, encoding, backslash, drive letter, NUL or
// link brings a secret back, and the first day parameter is the one that counts. Then through
// the HTTP server on a loopback port: statuses, headers, HEAD and range requests as before the
// handling was taken out of the library's routing.
#include <gtest/gtest.h>
#include <httplib.h>

#include <atomic>
#include <cmath>
#include <fstream>
#include <regex>
#include <thread>

#include "common/TestRoot.h"
#include "tools/MonitorFixture.h"
#include "tools/monitor/Connections.h"
#include "tools/monitor/Page.h"
#include "tools/monitor/Server.h"

namespace {

const char *const Text = "text/plain; charset=utf-8";

class MonitorRequest : public ::testing::Test {
protected:
    void SetUp() override {
        data_ = root_.Path() + "/data/Kestrune";
        monitorfixture::WriteShortDay(data_, root_.Path() + "/outside");
    }

    // The answer to a target as sent, decoded as the HTTP library decodes it.
    monitor::Answer Ask(const std::string &target, const std::string &method = "GET") {
        const size_t query = target.find('?');
        httplib::Params params;
        if (query != std::string::npos)
            httplib::detail::parse_query_text(target.substr(query + 1), params);
        return monitor::Respond(station_, 5, method,
                                httplib::detail::decode_url(target.substr(0, query), false), target, params,
                                monitorfixture::Now());
    }

    static int Attribute(const std::string &text, const std::string &name) {
        std::smatch match;
        if (std::regex_search(text, match, std::regex(name + "=\"([0-9]+)\"")))
            return std::stoi(match[1]);
        return -1;
    }

    TestRoot root_;
    std::string data_;
    monitor::Station station_{root_.Path() + "/data/Kestrune"};
};

TEST_F(MonitorRequest, AnswersTheDocumentedPathsAndRefusesTheRest) {
    monitor::Answer page = Ask("/?day=2026-12-08");
    EXPECT_EQ(page.Status, 200);
    EXPECT_EQ(page.ContentType, "text/html; charset=utf-8");
    EXPECT_EQ(Attribute(page.Body, "data-periods"), monitorfixture::Periods);
    EXPECT_EQ(Attribute(page.Body, "data-marks"), 2);  // the blackout and the loss
    EXPECT_NE(page.Body.find("Metek1: Starting archive engine."), std::string::npos);
    EXPECT_EQ(Ask("/", "HEAD").Status, 200);

    monitor::Answer health = Ask("/health");
    EXPECT_EQ(health.Status, 200);
    EXPECT_EQ(health.ContentType, "application/json");
    EXPECT_NE(health.Body.find("\"losses_today\":3,\"cut_lines_today\":1,\"excluded_today\":3"),
              std::string::npos)
        << health.Body;
    EXPECT_NE(health.Body.find("\"reading_pauses_today\":1,"), std::string::npos) << health.Body;
    EXPECT_EQ(Ask("/log").ContentType, Text);
    EXPECT_NE(Ask("/log").Body.find("5302  Metek1: 1 over-long lines cut.  [error]"), std::string::npos);
    for (const auto &name : monitor::ChartNames()) {
        monitor::Answer chart = Ask("/chart/" + name + ".svg?day=2026-12-08");
        EXPECT_EQ(chart.Status, 200) << name;
        EXPECT_EQ(chart.ContentType, "image/svg+xml") << name;
        EXPECT_GT(Attribute(chart.Body, "data-points"), 0) << name;
    }

    for (const char *target : {"/nothing", "/health/", "/chart/none.svg", "/chart/.svg", "/chart/Means.svg",
                               "/chart/means.svg/", "/chart/means.png", "/chart/means.svgz", "//health",
                               "/registry.db", "/26342.log", "/lab02634214_raw.txt", "/outside/26342.log"}) {
        monitor::Answer answer = Ask(target);
        EXPECT_EQ(answer.Status, 404) << target;
        EXPECT_EQ(answer.ContentType, Text) << target;
        EXPECT_EQ(answer.Body, "Not found. Paths: /, /health, /chart/<name>.svg, /log\n") << target;
    }
    for (const char *method : {"POST", "PUT", "DELETE", "OPTIONS", "PATCH", "get"}) {
        monitor::Answer answer = Ask("/health", method);
        EXPECT_EQ(answer.Status, 405) << method;
        EXPECT_EQ(answer.Body, "Only GET is answered.\n") << method;
    }
    for (const char *target : {"/?day=2026-13-01", "/?day=2026-02-29", "/?day=26342", "/?day=",
                               "/chart/means.svg?day=2026-12-08T00:00", "/chart/counts.svg?day=2026-12-8"}) {
        monitor::Answer answer = Ask(target);
        EXPECT_EQ(answer.Status, 400) << target;
        EXPECT_EQ(answer.Body, "day must be YYYY-MM-DD\n") << target;
    }
    EXPECT_EQ(Attribute(Ask("/?day=2001-01-01").Body, "data-periods"), 0);
    EXPECT_EQ(Ask("/chart/means.svg?day=0000-01-01").Status, 200);
    EXPECT_EQ(Ask("/chart/means.svg?day=9999-12-31").Status, 200);
}

TEST_F(MonitorRequest, NoRequestBringsBackAFileOutsideTheDataDirectory) {
    const std::string nul("/health\0/../secret.txt", 22);
    for (const std::string &target : {std::string("/../secret.txt"),
                                      std::string("/chart/../../26342.log"),
                                      std::string("/chart/%2e%2e/%2e%2e/secret.txt"),
                                      std::string("/%2e%2E/%2E%2e/secret.txt"),
                                      std::string("/.%2e/.%2E/secret.txt"),
                                      std::string("/chart/..%2f..%2fsecret.txt"),
                                      std::string("/%252e%252e/secret.txt"),
                                      std::string("/%c0%ae%c0%ae/secret.txt"),
                                      std::string("/chart/..\\..\\secret.svg"),
                                      std::string("/%5c..%5c..%5csecret.txt"),
                                      std::string("//etc/passwd"),
                                      std::string("http://127.0.0.1:8160/../secret.txt"),
                                      std::string("/C:/Data/secret.txt"),
                                      std::string("/C:%5cWindows%5cwin.ini"),
                                      std::string("/\\\\?\\C:\\secret.txt"),
                                      std::string("/health%00/../../secret.txt"),
                                      nul,
                                      std::string("/?day=2026-12-08%00../../secret.txt"),
                                      std::string("/?day=../../etc/passwd"),
                                      std::string("/chart/means.svg?day=%2e%2e%2f%2e%2e%2fsecret"),
                                      std::string("/up/secret.txt"),
                                      std::string("/secret-link"),
                                      std::string("/outside/26342.log"),
                                      std::string("/up/Kestrune/26342.log")}) {
        for (const char *method : {"GET", "HEAD"}) {
            monitor::Answer answer = Ask(target, method);
            EXPECT_TRUE(answer.Status == 400 || answer.Status == 404) << target << " " << answer.Status;
            EXPECT_EQ(answer.Body.find(monitorfixture::Marker), std::string::npos) << target;
        }
    }
    // The pages themselves show only what lies inside.
    for (const char *target : {"/", "/?day=2026-12-08", "/health", "/log", "/chart/trace-wind.svg"})
        EXPECT_EQ(Ask(target).Body.find(monitorfixture::Marker), std::string::npos) << target;
}

TEST_F(MonitorRequest, TheFirstDayParameterCounts) {
    // As the HTTP library reads a parameter given twice: the first one.
    EXPECT_EQ(Ask("/chart/means.svg?day=2026-12-08&day=nonsense").Status, 200);
    EXPECT_EQ(Ask("/chart/means.svg?day=nonsense&day=2026-12-08").Status, 400);
    EXPECT_EQ(Ask("/?Day=nonsense&day=2026-12-08").Status, 200);
}

static size_t Count(const std::string &text, const std::string &what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

// The fixture's station stopped at 14:02:10 after two flux periods of 30 minutes.
TEST_F(MonitorRequest, FluxViewAndWhatANewUserNeeds) {
    const std::string page = Ask("/").Body;
    EXPECT_NE(page.find("<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"),
              std::string::npos);
    EXPECT_EQ(Attribute(page, "data-flux-periods"), monitorfixture::FluxPeriods);
    // u* in both periods, coloured by flag_tau (0, then 1); H only in the first, by flag_H (1).
    const std::string ustar = Ask("/chart/flux-ustar.svg").Body;
    EXPECT_EQ(Attribute(ustar, "data-points"), 2);
    EXPECT_NE(ustar.find("data-flag=\"0\""), std::string::npos);
    EXPECT_NE(ustar.find("data-flag=\"1\""), std::string::npos);
    const std::string heat = Ask("/chart/flux-heat.svg").Body;
    EXPECT_EQ(Attribute(heat, "data-points"), 1);
    EXPECT_EQ(Count(heat, "class=\"series dot\""), 1u);
    EXPECT_NE(heat.find(">flag 2</text>"), std::string::npos);
    EXPECT_NE(heat.find(">no flag</text>"), std::string::npos);
    // The table lists the last periods newest first, an empty figure and flag as "-".
    const size_t table = page.find("id=\"flux-table\"");
    ASSERT_NE(table, std::string::npos);
    EXPECT_LT(page.find("<td>14:00</td>", table), page.find("<td>13:30</td>", table));
    EXPECT_NE(page.find("<td>0.302</td><td>-</td><td>-</td>", table), std::string::npos);
    EXPECT_NE(page.find("<td class=\"flag flag-none\">-</td>", table), std::string::npos);

    // Time axes tick at round UTC times and say so; value ticks are round.
    EXPECT_NE(ustar.find(">03:00</text>"), std::string::npos);
    EXPECT_NE(ustar.find(">24:00</text>"), std::string::npos);
    EXPECT_NE(ustar.find(">UTC</text>"), std::string::npos);
    EXPECT_NE(Ask("/chart/flux-direction.svg").Body.find("text-anchor=\"end\">90</text>"), std::string::npos);
    std::smatch tick;
    const std::string means = Ask("/chart/means.svg").Body;
    std::regex valueTick("class=\"tick-y\"[^>]*>(-?[0-9.]+)</text>");
    for (auto it = std::sregex_iterator(means.begin(), means.end(), valueTick); it != std::sregex_iterator();
         ++it)
        EXPECT_NEAR(std::fmod(std::fabs(std::stod((*it)[1])) * 2 + 1e-9, 1.0), 0.0, 1e-6) << (*it)[1];

    // Stopped after its last pass: no live rate, and the last pass is the log's last 5017.
    EXPECT_NE(page.find("<td id=\"rate\">none: the station is stopped</td>"), std::string::npos);
    EXPECT_NE(Ask("/health").Body.find("\"lines_per_second\":null"), std::string::npos);
    EXPECT_NE(page.find("<td id=\"last-pass\">14:02:00 UTC (60 s ago): Metek1: Archiving 200 of 200"),
              std::string::npos);

    // Empty flux charts say why: the first period of today, a day to come, a day without rows.
    std::filesystem::remove(data_ + "/lab026342_flux.csv");
    EXPECT_NE(Ask("/chart/flux-ustar.svg").Body.find(">first 30-min period ends at 14:30 UTC</text>"),
              std::string::npos);
    EXPECT_NE(Ask("/chart/flux-heat.svg?day=2026-12-09").Body.find(">this day has not begun</text>"),
              std::string::npos);
    EXPECT_NE(Ask("/chart/flux-obukhov.svg?day=2026-12-07").Body.find("no flux periods on 2026-12-07"),
              std::string::npos);
}

TEST_F(MonitorRequest, RoutineArchiveEntriesFoldSoTheTailReachesFurtherBack) {
    // Two hours of passes every 10 s after the fixture's entries, one loss among them.
    std::string more = "14:02:20:000  5212  Metek1: Starting archive engine.\r\n";
    for (int s = 0; s < 7200; s += 10) {
        char line[128];
        std::snprintf(line, sizeof line,
                      "%02d:%02d:%02d:000  5017  Metek1: Archiving 200 of 200 raw data samples.\r\n",
                      14 + (150 + s) / 3600, (150 + s) / 60 % 60, (150 + s) % 60);
        if (s == 3600)
            more += "15:02:29:500  5301  Metek1: 2 lines lost.\r\n";
        more += line;
    }
    std::ofstream(data_ + "/26342.log", std::ios::binary | std::ios::app) << "0:000\r\n" << more;
    const std::vector<monitor::LogLine> tail = station_.GetLogTail(monitorfixture::Now());
    ASSERT_FALSE(tail.empty());
    EXPECT_EQ(tail.back().Entry.Code, 5017);
    EXPECT_EQ(tail.back().Folded, 360);  // the passes after the loss
    EXPECT_NE(std::find_if(tail.begin(), tail.end(),
                           [](const monitor::LogLine &l) {
                               return l.Entry.Code == 5212 && l.Entry.Time % 3600000 == 140000;
                           }),
              tail.end())
        << "the start two hours back is still in view";
    const std::string page = Ask("/").Body;
    EXPECT_NE(page.find("\xE2\x80\xA6 360 routine archive entries (5017) \xE2\x80\xA6"), std::string::npos);
    EXPECT_NE(Ask("/log").Body.find("... 360 routine archive entries (5017) from 2026-12-08T15:02:30.000Z"),
              std::string::npos);
}

// The page's server on a free loopback port, on a thread of its own.
class LoopbackServer {
public:
    explicit LoopbackServer(monitor::Station &station) {
        monitor::InstallRoutes(server_, station, 5);
        port_ = server_.bind_to_any_port("127.0.0.1");
        if (port_ > 0) {
            finished_ = false;
            thread_ = std::thread([this] {
                server_.listen_after_bind();
                finished_ = true;
            });
        }
    }
    ~LoopbackServer() {
        // stop() ends only a loop that has begun; it is asked again until the thread is out.
        while (!finished_) {
            server_.Stop();
            std::this_thread::yield();
        }
        if (thread_.joinable())
            thread_.join();
    }
    int Port() const { return port_; }

private:
    monitor::PageServer server_;
    std::thread thread_;
    std::atomic<bool> finished_{true};
    int port_ = -1;
};

TEST_F(MonitorRequest, TheServerKeepsItsStatusesHeadersAndRanges) {
    LoopbackServer server(station_);
    ASSERT_GT(server.Port(), 0);
    httplib::Client client("127.0.0.1", server.Port());

    auto health = client.Get("/health");
    ASSERT_TRUE(health);
    EXPECT_EQ(health->status, 200);
    EXPECT_EQ(health->get_header_value("Content-Type"), "application/json");
    EXPECT_EQ(health->get_header_value("Cache-Control"), "no-store");
    EXPECT_EQ(health->get_header_value("X-Content-Type-Options"), "nosniff");
    EXPECT_EQ(health->body.front(), '{');

    auto head = client.Head("/health");
    ASSERT_TRUE(head);
    EXPECT_EQ(head->status, 200);
    EXPECT_TRUE(head->body.empty());

    // A range of a page is still answered by the library with 206 and that range.
    auto range = client.Get("/health", {{"Range", "bytes=0-8"}});
    ASSERT_TRUE(range);
    EXPECT_EQ(range->status, 206);
    EXPECT_EQ(range->body, "{\"state\":");

    for (const auto &[target, status] :
         std::vector<std::pair<std::string, int>>{{"/nothing", 404},
                                                  {"/chart/none.svg", 404},
                                                  {"/../secret.txt", 400},
                                                  {"/chart/%2e%2e/%2e%2e/secret.txt", 400},
                                                  {"/?day=2026-13-01", 400}}) {
        auto answer = client.Get(target.c_str());
        ASSERT_TRUE(answer) << target;
        EXPECT_EQ(answer->status, status) << target;
        EXPECT_EQ(answer->get_header_value("Content-Type"), Text) << target;
        EXPECT_EQ(answer->get_header_value("Cache-Control"), "no-store") << target;
        EXPECT_EQ(answer->body.find(monitorfixture::Marker), std::string::npos) << target;
    }
    EXPECT_EQ(client.Get("/nothing")->body, "Not found. Paths: /, /health, /chart/<name>.svg, /log\n");
    auto post = client.Post("/", "x", "text/plain");
    ASSERT_TRUE(post);
    EXPECT_EQ(post->status, 405);
}

}  // namespace
