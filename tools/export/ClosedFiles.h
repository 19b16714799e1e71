// The data files of a station that will not change any more, for a sync tool to take:
// hourly raw and statistics files whose hour is over, daily event logs whose day is over, and
// zip archives whose file the compression has deleted (it does so only once the archive holds
// the file's current contents). Only names are read.
#pragma once

#include <string>
#include <vector>

#include "tools/stationfiles/StationFiles.h"

namespace closedfiles {

// How long after its hour (day) ends a file may still be written: the archive pass that takes
// the hour's last samples runs within seconds of the hour's end.
constexpr station::Millis SettleMs = 5 * 60 * 1000;
// The longest statistics period: a statistics file names the hour its periods start in, and
// the last of them is written when it ends.
constexpr station::Millis LongestPeriodMs = station::DayMs;

// Names (relative to the directory) of the closed files at time now, sorted.
std::vector<std::string> ClosedFiles(const std::string &directory, station::Millis now);

}  // namespace closedfiles
