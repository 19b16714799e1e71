// The page of several stations (data directories or instances), one section each. With one
// station the page is that station's own (Respond); with several:
//
//   /                      every station's page, one <article class="station"> section each,
//                          in the order given (?day= as on a station's page)
//   /health                {"stations":[{"name":...,"directory":...,"health":{...}}, ...]}
//   /chart/<name>.svg, /log  one station's, chosen with ?station=N (1 = the first, the default)
//
// A section is named after its instance, else after its data directory.
#pragma once

#include <httplib.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tools/monitor/Server.h"
#include "tools/monitor/Station.h"

namespace monitor {

struct Section {
    std::string Name;
    std::unique_ptr<Station> Data;
};

Answer RespondSections(std::vector<Section> &sections, int refreshSeconds, const std::string &method,
                       const std::string &path, const std::string &target,
                       const std::multimap<std::string, std::string> &params, Millis now);

void InstallSectionRoutes(httplib::Server &server, std::vector<Section> &sections, int refreshSeconds);

}  // namespace monitor
