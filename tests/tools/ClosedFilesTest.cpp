// kestrune-export --closed: which of a data directory's files will not change any more.
#include <gtest/gtest.h>

#include <fstream>

#include "common/TestRoot.h"
#include "tools/export/ClosedFiles.h"

namespace {

TEST(ClosedFiles, HoursAndDaysThatAreOverAndZipsWhoseFileIsGone) {
    TestRoot root;
    const std::string dir = root.Path();
    const station::Millis hour = station::MillisFromCivil(2026, 12, 9, 14);
    const station::Millis day = station::DayOf(hour);
    for (const std::string &name :
         {station::RawFileName(hour - station::HourMs), station::RawFileName(hour),
          station::StatsFileName(hour - 2 * station::HourMs), station::StatsFileName(hour - station::HourMs),
          station::LogFileName(day - station::DayMs), station::LogFileName(day),
          std::string("lab02634310_raw.zip"), std::string("lab02634311_raw.zip"),
          std::string("lab02634311_raw.txt"), std::string("lab026342_flux.csv"),
          std::string("lab026343_flux.csv"), std::string("notes.txt")})
        std::ofstream(dir + "/" + name) << "x";
    // Ten minutes into the hour after 14:00-15:00 the 13:00 raw file is long closed, 14:00 only
    // just; the newest statistics hour waits for the longest period; a zip whose file is still
    // there may still be rewritten (the file itself is closed).
    std::vector<std::string> closed = closedfiles::ClosedFiles(dir, hour + station::HourMs + 10 * 60000);
    // Flux files are daily like the log: yesterday's is closed, today's is not.
    std::vector<std::string> expected = {"26342.log",
                                         "lab026342_flux.csv",
                                         "lab02634310_raw.zip",
                                         "lab02634311_raw.txt",
                                         station::RawFileName(hour - station::HourMs),
                                         station::RawFileName(hour),
                                         station::StatsFileName(hour - 2 * station::HourMs)};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(closed, expected);
    // Within the settling time after its hour a raw file is still open.
    closed = closedfiles::ClosedFiles(dir, hour + station::HourMs + 60000);
    EXPECT_EQ(std::count(closed.begin(), closed.end(), station::RawFileName(hour)), 0);
}

}  // namespace
