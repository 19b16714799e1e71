// Reading flux files back: columns found by their header names in any order, empty fields
// kept empty, malformed rows counted, a torn last line left out; the day's file name from the
// template; the export's flux CSV over a range of days.
#include <gtest/gtest.h>

#include <cstring>

#include "platform/win32.h"
#include "tools/MonitorFixture.h"
#include "tools/StationRun.h"

using namespace stationrun;

namespace {

std::string Column(const station::FluxRow &row, const std::string &name) {
    const auto &columns = station::FluxColumns();
    return row.Fields[static_cast<size_t>(std::find(columns.begin(), columns.end(), name) - columns.begin())];
}

TEST(FluxFile, ReadsByNameKeepsEmptyFieldsAndLeavesOutATornLine) {
    TestRoot root;
    const std::string path = root.Path() + "/flux.csv";
    // The writer's own layout: every column in order, a row with empty figures, a torn line.
    monitorfixture::Write(path, monitorfixture::FluxText());
    station::FluxFile file;
    ASSERT_TRUE(station::ReadFluxFile(path, file));
    EXPECT_TRUE(file.HaveHeader);
    EXPECT_EQ(file.Skipped, 0);
    ASSERT_EQ(file.Rows.size(), static_cast<size_t>(monitorfixture::FluxPeriods));
    EXPECT_EQ(station::IsoSecond(file.Rows[1].Start), "2026-12-08T13:30:00Z");
    EXPECT_EQ(file.Rows[1].End - file.Rows[1].Start, 1800000);
    EXPECT_EQ(Column(file.Rows[0], "ustar"), "0.28501234");
    EXPECT_EQ(Column(file.Rows[0], "flag_H"), "1");
    EXPECT_EQ(Column(file.Rows[1], "H"), "");
    EXPECT_EQ(Column(file.Rows[1], "flag_H"), "");
    EXPECT_EQ(Column(file.Rows[1], "flag_tau"), "1");

    // Columns in another order, one unknown and one missing; then rows that must not parse.
    monitorfixture::Write(path,
                          "H,extra,end,start,flag_tau\r\n"
                          "1.5e+02,x,2026-12-08T00:30:00Z,2026-12-08T00:00:00Z,2\r\n"
                          "12.5,x,2026-12-08T01:00:00Z,2026-12-08T00:30:00Z,1.5\r\n"     // flag not a count
                          "abc,x,2026-12-08T01:30:00Z,2026-12-08T01:00:00Z,0\r\n"        // not a figure
                          "nan,x,2026-12-08T01:30:00Z,2026-12-08T01:00:00Z,0\r\n"        // not finite
                          "1,x,2026-12-08T01:00:00Z,2026-12-08T01:00:00Z,0\r\n"          // empty period
                          "1,x,2026-12-08T01:30:00.000Z,2026-12-08T01:00:00Z,0\r\n"      // not to the second
                          "\"2,5\",x,2026-12-08T02:00:00Z,2026-12-08T01:30:00Z,0\r\n");  // quoted comma
    file = station::FluxFile();
    ASSERT_TRUE(station::ReadFluxFile(path, file));
    EXPECT_EQ(file.Skipped, 6);
    ASSERT_EQ(file.Rows.size(), 1u);
    EXPECT_EQ(Column(file.Rows[0], "H"), "1.5e+02");
    EXPECT_EQ(Column(file.Rows[0], "flag_tau"), "2");
    EXPECT_EQ(Column(file.Rows[0], "ustar"), "");

    // A file whose first line names no start and end is not read as flux rows at all.
    monitorfixture::Write(path, "time,H\r\n2026-12-08T00:00:00Z,1\r\n");
    file = station::FluxFile();
    ASSERT_TRUE(station::ReadFluxFile(path, file));
    EXPECT_FALSE(file.HaveHeader);
    EXPECT_TRUE(file.Rows.empty());
    EXPECT_FALSE(station::ReadFluxFile(root.Path() + "/none.csv", file));

    const station::Millis day = station::MillisFromCivil(2026, 12, 9, 13, 5);
    EXPECT_EQ(station::FluxFileName(day), "lab026343_flux.csv");
    EXPECT_EQ(station::FluxFileName(day, "site_<YYYYMMDD>.csv"), "site_20261209.csv");
}

// The export's flux CSV over two days: the program's columns in order, the rows of both days
// in time order, empty figures as the missing text, the torn line and a malformed row left out
// (and counted).
TEST(FluxFile, ExportWritesTheRowsOfTheDays) {
    TestRoot root;
    const std::string data = root.Path() + "/data", out = root.Path() + "/out";
    std::filesystem::create_directories(data);
    std::filesystem::create_directories(out);
    monitorfixture::Write(data + "/lab026342_flux.csv", monitorfixture::FluxText());
    monitorfixture::Write(data + "/lab026343_flux.csv",
                          monitorfixture::FluxHeader() +
                              "\r\ngarbage\r\n2026-12-09T00:00:00Z,2026-12-09T00:30:00Z,7" +
                              std::string(31, ',') + "\r\n");
    Child child({BinDir + "/kestrune-export", "--data-dir", data, "--flux", out + "/flux.csv", "--missing",
                 "NA", "2026-12-07", "2026-12-09"},
                {}, out + "/err");
    ASSERT_EQ(child.Wait(), 0) << FileText(out + "/err");
    EXPECT_NE(FileText(out + "/err").find("3 flux periods (1 malformed lines skipped)"), std::string::npos)
        << FileText(out + "/err");
    EXPECT_FALSE(std::filesystem::exists(out + "/kestrune-raw-2026-12-07_2026-12-09.csv"));

    const std::string text = FileText(out + "/flux.csv");
    std::vector<std::string> lines = Lines(text);
    ASSERT_EQ(lines.size(), 4u) << text;
    EXPECT_EQ(lines[0], monitorfixture::FluxHeader());
    // Every line ends in CR LF.
    size_t crlf = 0;
    for (size_t at = text.find("\r\n"); at != std::string::npos; at = text.find("\r\n", at + 2))
        ++crlf;
    EXPECT_EQ(crlf, 4u);
    std::vector<std::string> fixture = Lines(monitorfixture::FluxText());
    EXPECT_EQ(lines[1], fixture[1]);
    std::string second = fixture[2];
    for (size_t at = second.find(",,"); at != std::string::npos; at = second.find(",,"))
        second.insert(at + 1, "NA");
    if (second.back() == ',')
        second += "NA";
    EXPECT_EQ(lines[2], second);
    EXPECT_EQ(lines[3].substr(0, 44), "2026-12-09T00:00:00Z,2026-12-09T00:30:00Z,7,");
    EXPECT_EQ(std::count(lines[3].begin(), lines[3].end(), ','), 33);

    // The file name and period come from the instrument's registry key when it has them; a
    // template that would reach outside the directory and a period that does not divide the
    // day are not used.
    HKEY key = nullptr;
    ASSERT_EQ(
        RegCreateKeyExA(HKEY_LOCAL_MACHINE,
                        "SYSTEM\\CurrentControlSet\\Services\\QORL Data Acquisition\\Parameters\\Metek1", 0,
                        nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
        ERROR_SUCCESS);
    auto set = [&](const char *templ, DWORD period) {
        RegSetValueExA(key, "FluxFileTemplate", 0, REG_SZ, reinterpret_cast<const BYTE *>(templ),
                       static_cast<DWORD>(std::strlen(templ) + 1));
        RegSetValueExA(key, "FluxPeriod", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&period),
                       sizeof period);
    };
    set("site<YYYYMMDD>.csv", 600);
    EXPECT_EQ(station::ReadFluxSettings().FileTemplate, "site<YYYYMMDD>.csv");
    EXPECT_EQ(station::ReadFluxSettings().PeriodSeconds, 600);
    monitorfixture::Write(data + "/site20261208.csv",
                          monitorfixture::FluxHeader() + "\r\n" + fixture[1] + "\r\n");
    Child named({BinDir + "/kestrune-export", "--data-dir", data, "--flux", "-", "2026-12-08", "2026-12-09"},
                {}, out + "/err");
    EXPECT_EQ(Lines(named.ReadAll()), (std::vector<std::string>{monitorfixture::FluxHeader(), fixture[1]}));
    EXPECT_EQ(named.Wait(), 0);
    set("..\\<YYJJJ>_flux.csv", 700);
    EXPECT_EQ(station::ReadFluxSettings().FileTemplate, station::DefaultFluxFileTemplate);
    EXPECT_EQ(station::ReadFluxSettings().PeriodSeconds, station::DefaultFluxPeriod);
    RegCloseKey(key);
}

}  // namespace
