// Several stations on one monitor page, one section each, and how the tools find a station
// through the program's configuration (tools/stationfiles/StationLocation.h).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>

#include "common/TestRoot.h"
#include "tools/MonitorFixture.h"
#include "tools/monitor/Sections.h"
#include "tools/stationfiles/StationLocation.h"

namespace {

monitor::Answer Ask(std::vector<monitor::Section> &sections, const std::string &path,
                    const std::multimap<std::string, std::string> &params = {}) {
    return monitor::RespondSections(sections, 5, "GET", path, path, params, monitorfixture::Now());
}

TEST(MonitorSections, OneSectionPerStation) {
    TestRoot root;
    monitorfixture::WriteShortDay(root.Path() + "/one", root.Path() + "/outside");
    std::filesystem::create_directories(root.Path() + "/two");
    std::vector<monitor::Section> sections(2);
    sections[0].Name = "sonic1";
    sections[0].Data = std::make_unique<monitor::Station>(root.Path() + "/one");
    sections[1].Name = "sonic2";
    sections[1].Data = std::make_unique<monitor::Station>(root.Path() + "/two");

    const monitor::Answer page = Ask(sections, "/", {{"day", "2026-12-08"}});
    ASSERT_EQ(page.Status, 200);
    std::smatch match;
    const std::regex article("<article class=\"station\" id=\"station-([0-9])\"[^>]*><h1>([^<]*)</h1>");
    std::vector<std::string> names;
    for (auto it = std::sregex_iterator(page.Body.begin(), page.Body.end(), article);
         it != std::sregex_iterator(); ++it)
        names.push_back((*it)[1].str() + ":" + (*it)[2].str());
    EXPECT_EQ(names, (std::vector<std::string>{"1:sonic1", "2:sonic2"}));
    // Each section shows its own day: the first has the fixture's periods, the second none.
    const size_t second = page.Body.find("id=\"station-2\"");
    EXPECT_NE(
        page.Body.substr(0, second).find("data-periods=\"" + std::to_string(monitorfixture::Periods) + "\""),
        std::string::npos);
    EXPECT_NE(page.Body.substr(second).find("data-periods=\"0\""), std::string::npos);
    EXPECT_EQ(page.Body.find("</html>"), page.Body.rfind("</html>"));

    const monitor::Answer health = Ask(sections, "/health");
    EXPECT_EQ(
        health.Body.rfind("{\"stations\":[{\"name\":\"sonic1\",\"directory\":\"" + root.Path() + "/one\"", 0),
        0u)
        << health.Body;
    EXPECT_NE(health.Body.find("{\"name\":\"sonic2\""), std::string::npos);
    EXPECT_EQ(Ask(sections, "/log", {{"station", "2"}}).Status, 200);
    for (const char *bad : {"0", "3", "x", ""})
        EXPECT_EQ(Ask(sections, "/log", {{"station", bad}}).Status, 400) << bad;
}

TEST(MonitorSections, ToolsFindTheStationTheProgramIsConfiguredFor) {
    TestRoot root;
    std::filesystem::create_directories(root.Path() + "/etc/default");
    std::ofstream(root.Path() + "/etc/default/kestrune")
        << "KESTRUNE_OPTIONS=\"--data-dir D:\\Mast --flux-template f<YYJJJ>.csv --flux-period 600\"\n";
    station::Location location;
    std::string error;
    ASSERT_TRUE(station::LocateStation("", "", location, error)) << error;
    EXPECT_EQ(location.DataDirectory, "D:\\Mast");
    EXPECT_EQ(location.Directory, root.Path() + "/d/Mast");
    EXPECT_EQ(location.Flux.FileTemplate, "f<YYJJJ>.csv");
    EXPECT_EQ(location.Flux.PeriodSeconds, 600);
    // --data-dir in either form overrides the file; a native path is read as it stands.
    ASSERT_TRUE(station::LocateStation("", "C:\\Other", location, error)) << error;
    EXPECT_EQ(location.Directory, root.Path() + "/c/Other");
    ASSERT_TRUE(station::LocateStation("", root.Path() + "/native", location, error)) << error;
    EXPECT_EQ(location.Directory, root.Path() + "/native");
    EXPECT_FALSE(station::LocateStation("sonic9", "", location, error));
    EXPECT_NE(error.find("no options file"), std::string::npos) << error;

    // Two instances, each under the root of its own file: the second is not looked for under
    // the root the first put in force, and the first's stays in force after.
    std::filesystem::create_directories(root.Path() + "/etc/kestrune");
    for (const char *name : {"s1", "s2"})
        std::ofstream(root.Path() + "/etc/kestrune/" + name + ".conf")
            << "KESTRUNE_OPTIONS=\"--data-dir D:\\Mast\"\nKESTRUNE_ROOT=" << root.Path() << "/" << name
            << "\n";
    unsetenv("KESTRUNE_ROOT");
    std::vector<station::Location> both;
    const bool located = station::LocateStations({{"s1", ""}, {"s2", ""}}, both, error);
    const std::string inForce = std::getenv("KESTRUNE_ROOT") ? std::getenv("KESTRUNE_ROOT") : "";
    setenv("KESTRUNE_ROOT", root.Path().c_str(), 1);
    ASSERT_TRUE(located) << error;
    ASSERT_EQ(both.size(), 2u);
    EXPECT_EQ(both[0].Directory, root.Path() + "/s1/d/Mast");
    EXPECT_EQ(both[1].Directory, root.Path() + "/s2/d/Mast");
    EXPECT_EQ(inForce, root.Path() + "/s1");
}

}  // namespace
