// The station page and its parts as text: the HTML page with inline SVG charts drawn here
// (no scripts, no outside resources: a station PC is often offline), each chart as a
// stand-alone SVG, the health facts as JSON and the log tail as plain text.
#pragma once

#include <string>
#include <vector>

#include "tools/monitor/Station.h"

namespace monitor {

// The charts the page shows; each is also served as /chart/<name>.svg.
const std::vector<std::string> &ChartNames();
// One chart as SVG; "" for an unknown name.
std::string ChartSvg(const std::string &name, const DayView &day, const std::vector<TraceSample> &trace);

std::string PageHtml(const Health &health, const DayView &day, const std::vector<TraceSample> &trace,
                     const std::vector<LogLine> &log, const std::vector<Millis> &days, int refreshSeconds,
                     const std::string &dataDirectory);
std::string HealthJson(const Health &health);
std::string LogText(const std::vector<LogLine> &log);

}  // namespace monitor
