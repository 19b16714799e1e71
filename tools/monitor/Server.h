// The monitor's HTTP answers. Only the documented paths answer, only to GET (and HEAD); a
// path with ".." is refused before routing; no file is named from request input: the one
// parameter, day, must be a date and only selects among the data directory's own files.
//
//   /                      the station page (?day=YYYY-MM-DD for an earlier day)
//   /health                the health facts as JSON
//   /chart/<name>.svg      one chart (?day= as above); names as in ChartNames()
//   /log                   the tail of the event log as text
//
// Respond() holds all of it and knows nothing of sockets; InstallRoutes() hands every
// request the HTTP library has parsed to it.
#pragma once

#include <httplib.h>

#include <map>
#include <string>

#include "tools/monitor/Station.h"

namespace monitor {

struct Answer {
    int Status = 200;  // 200, 400 (bad request), 404 (no such path) or 405 (not GET or HEAD)
    std::string ContentType;
    std::string Body;
};

// One request: its method, its path as decoded by the HTTP layer, the target as sent (path and
// query, still encoded) and the decoded query parameters; now is the current time.
Answer Respond(Station &station, int refreshSeconds, const std::string &method, const std::string &path,
               const std::string &target, const std::multimap<std::string, std::string> &params, Millis now);

// Workers, timeouts and keep-alive of the page's server.
constexpr size_t Workers = 128;
constexpr time_t ReadTimeoutSeconds = 3;
constexpr size_t KeepAliveRequests = 20;
void ConfigureServer(httplib::Server &server);

void InstallRoutes(httplib::Server &server, Station &station, int refreshSeconds);
// Puts an answer into the library's response, with the headers every answer carries; a 200
// is left to the library, which answers a range request with 206.
void SendAnswer(const Answer &answer, httplib::Response &response);

}  // namespace monitor
