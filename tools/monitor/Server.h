// The monitor's HTTP answers. Only the documented paths answer, only to GET (and HEAD); a
// path with ".." is refused before routing; no file is named from request input: the one
// parameter, day, must be a date and only selects among the data directory's own files.
//
//   /                      the station page (?day=YYYY-MM-DD for an earlier day)
//   /health                the health facts as JSON
//   /chart/<name>.svg      one chart (?day= as above); names as in ChartNames()
//   /log                   the tail of the event log as text
#pragma once

#include <httplib.h>

#include "tools/monitor/Station.h"

namespace monitor {

void InstallRoutes(httplib::Server &server, Station &station, int refreshSeconds);

}  // namespace monitor
