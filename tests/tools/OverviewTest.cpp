// The overview of kestrune-monitor --mqtt: what it makes of the publishers' messages, what it
// refuses, and the page in a headless browser with two stations, one of them offline.
#include <gtest/gtest.h>
#include <httplib.h>
#include <time.h>

#include <regex>

#include "tools/Broker.h"
#include "tools/StationRun.h"
#include "tools/monitor/Overview.h"

using namespace stationrun;

namespace {

const char AlphaHealth[] =
    "{\"station\":\"alpha\",\"instrument\":\"Metek1\",\"state\":\"online\",\"time\":\"2026-12-09T14:30:00Z\","
    "\"errorsToday\":2,\"page\":\"http://10.0.0.7:8160/\",\"status\":{\"lostLines\":5,\"healthy\":false,"
    "\"reason\":\"no <archive> pass recorded\"}}";
const char AlphaFlux[] =
    "{\"start\":\"2026-12-09T14:00:00Z\",\"end\":\"2026-12-09T14:30:00Z\",\"ustar\":0.31,\"H\":-12.5,"
    "\"flag_tau\":0,\"flag_H\":2}";
const char BetaOffline[] = "{\"station\":\"b<i>eta\",\"instrument\":\"Metek1\",\"state\":\"offline\"}";

TEST(Overview, RowsFromThePublishersMessagesEscapedAndBounded) {
    monitor::Overview overview;
    const monitor::Millis now = station::MillisFromCivil(2026, 12, 9, 14, 31);
    overview.OnMessage("kestrune/alpha/Metek1/health", AlphaHealth);
    overview.OnMessage("kestrune/alpha/Metek1/flux", AlphaFlux);
    overview.OnMessage("kestrune/alpha/Metek1/stats",
                       "{\"start\":\"2026-12-09T14:29:00.000Z\",\"end\":\"2026-12-09T14:30:00.000Z\"}");
    overview.OnMessage("kestrune/b<i>eta/Metek1/health", BetaOffline);
    // Not ours: other leaves, deeper topics, a link that is not http(s), figures that are not numbers.
    overview.OnMessage("kestrune/alpha/Metek1/other", AlphaHealth);
    overview.OnMessage("kestrune/x/y/z/health", AlphaHealth);
    overview.OnMessage(
        "kestrune/gamma/Metek1/health",
        "{\"state\":\"online\",\"page\":\"javascript:alert(1)\",\"time\":\"2026-12-09T14:00:00Z\"}");
    overview.OnMessage("kestrune/gamma/Metek1/flux", "{\"ustar\":\"<script>\",\"H\":1e400x}");

    std::vector<monitor::OverviewRow> rows = overview.Rows();
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0].Station, "alpha");
    EXPECT_TRUE(rows[0].Online);
    EXPECT_EQ(rows[0].LostLines, 5);
    EXPECT_EQ(rows[0].ErrorsToday, 2);
    EXPECT_EQ(rows[0].Ustar, "0.31");
    EXPECT_EQ(rows[0].FlagH, "2");
    EXPECT_EQ(rows[0].LastPeriodEnd, station::MillisFromCivil(2026, 12, 9, 14, 30));
    EXPECT_TRUE(rows[2].Page.empty());
    EXPECT_TRUE(rows[2].Ustar.empty() && rows[2].H.empty());

    std::string html = monitor::OverviewHtml(rows, now, 5);
    EXPECT_NE(html.find("<tr class=\"online\" data-station=\"alpha\""), std::string::npos) << html;
    EXPECT_NE(html.find("<a href=\"http://10.0.0.7:8160/\">alpha</a>"), std::string::npos);
    EXPECT_NE(html.find("<tr class=\"offline\" data-station=\"b&lt;i&gt;eta\""), std::string::npos);
    EXPECT_NE(html.find("no: no &lt;archive&gt; pass recorded"), std::string::npos);
    // gamma's health is half an hour old: silent, not online.
    EXPECT_NE(html.find("<tr class=\"silent\" data-station=\"gamma\""), std::string::npos);
    EXPECT_EQ(html.find("<i>"), std::string::npos);
    EXPECT_EQ(html.find("javascript"), std::string::npos);

    EXPECT_EQ(monitor::RespondOverview(overview, 5, "POST", "/", "/", now).Status, 405);
    EXPECT_EQ(monitor::RespondOverview(overview, 5, "GET", "/x/../", "/x/%2e%2e/", now).Status, 400);
    EXPECT_EQ(monitor::RespondOverview(overview, 5, "GET", "/health", "/health", now).Status, 404);
    EXPECT_NE(monitor::RespondOverview(overview, 5, "GET", "/overview.json", "/overview.json", now)
                  .Body.find("\"station\":\"alpha\",\"instrument\":\"Metek1\",\"state\":\"online\""),
              std::string::npos);
}

// Publishes one retained message with mosquitto_pub.
bool Retain(int port, const std::string &topic, const std::string &payload) {
    Child pub({"mosquitto_pub", "-h", "127.0.0.1", "-p", std::to_string(port), "-q", "1", "-r", "-t", topic,
               "-m", payload},
              {});
    return pub.Wait() == 0;
}

TEST(MonitorBrowser, OverviewShowsBothStationsOneOffline) {
    const std::string chromium = "/usr/bin/chromium";
    if (access(chromium.c_str(), X_OK) != 0) {
        if (getenv("KESTRUNE_REQUIRE_CHROMIUM"))
            FAIL() << chromium << " is missing";
        GTEST_SKIP() << "Chromium is not installed (Debian: chromium); the browser test needs it";
    }
    TestRoot root;
    const int port = brokertest::FreePort();
    brokertest::Broker broker(root.Path(), port);
    ASSERT_TRUE(broker.Start());
    std::string health = AlphaHealth;
    health.replace(health.find("2026-12-09T14:30:00Z"), 20,
                   station::IsoTime(monitor::Now()).substr(0, 19) + "Z");
    ASSERT_TRUE(Retain(port, "kestrune/alpha/Metek1/health", health));
    ASSERT_TRUE(Retain(port, "kestrune/alpha/Metek1/flux", AlphaFlux));
    ASSERT_TRUE(Retain(port, "kestrune/beta/Metek1/health",
                       "{\"station\":\"beta\",\"instrument\":\"Metek1\",\"state\":\"offline\"}"));

    Child monitorProcess({BinDir + "/kestrune-monitor", "--listen", "127.0.0.1:0", "--mqtt",
                          "127.0.0.1:" + std::to_string(port), "--refresh", "60"},
                         {}, root.Path() + "/monitor.err");
    std::smatch match;
    std::string line = monitorProcess.ReadLine();
    ASSERT_TRUE(std::regex_match(line, match, std::regex(R"(listening on http://127\.0\.0\.1:(\d+)/)")))
        << line;
    const std::string url = "http://127.0.0.1:" + std::string(match[1]) + "/";

    // The retained messages reach the monitor right after it subscribes; a deadline for failure.
    httplib::Client client("127.0.0.1", std::stoi(match[1]));
    bool both = false;
    for (int i = 0; i < 100 && !both; ++i) {
        auto result = client.Get("/overview.json");
        both = result && result->body.find("\"beta\"") != std::string::npos &&
               result->body.find("\"alpha\"") != std::string::npos;
        if (!both) {
            struct timespec pause = {0, 100000000};
            nanosleep(&pause, nullptr);
        }
    }
    ASSERT_TRUE(both);

    Child browser({chromium, "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
                   "--disable-background-networking", "--disable-component-update", "--disable-sync",
                   "--user-data-dir=" + root.Path() + "/chromium", "--dump-dom", url},
                  {}, root.Path() + "/chromium.err");
    std::string html = browser.ReadAll();
    ASSERT_EQ(browser.Wait(), 0) << FileText(root.Path() + "/chromium.err");
    EXPECT_NE(html.find("<tr class=\"online\" data-station=\"alpha\" data-instrument=\"Metek1\">"),
              std::string::npos)
        << html;
    EXPECT_NE(html.find("<tr class=\"offline\" data-station=\"beta\" data-instrument=\"Metek1\">"),
              std::string::npos);
    EXPECT_NE(html.find("<td>0.31</td>"), std::string::npos);
    monitorProcess.Kill(SIGTERM);
}

}  // namespace
