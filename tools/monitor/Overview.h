// The overview of a network of stations: kestrune-monitor --mqtt BROKER subscribes to
// kestrune/# and keeps, per station and instrument, what the publishers last said: online or
// offline, the last statistics period, today's losses and errors, the last u* and H with their
// flags, and the station's own page where its publisher names one.
//
// What comes from the broker is outside input: payloads are read only for the few members
// named here, every text shown is escaped, a link is shown only when it is an http(s) URL, and
// the table holds at most MaxRows rows.
//
//   /                the overview page
//   /overview.json   the rows as JSON
#pragma once

#include <httplib.h>

#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "tools/monitor/Server.h"
#include "tools/stationfiles/StationFiles.h"

struct mosquitto;

namespace monitor {

struct OverviewRow {
    std::string Station, Instrument;
    bool HaveHealth = false;
    bool Online = false;
    Millis HealthTime = 0;  // the publisher's time of its last health message
    bool Healthy = false;
    std::string Reason;
    long LostLines = -1;    // today's, from the station's status (-1: not known)
    long ErrorsToday = -1;  // today's error entries, as the publisher counted them
    Millis LastPeriodEnd = 0;
    std::string Ustar, H, FlagTau, FlagH;
    Millis FluxEnd = 0;
    std::string Page;  // the station's own page, an http(s) URL, or ""
};

class Overview {
public:
    static constexpr size_t MaxRows = 1000;
    static constexpr size_t MaxPayload = 64 * 1024;
    // An online publisher that has said nothing for this long is shown as silent.
    static constexpr Millis SilentMs = 120000;

    // One message of kestrune/<station>/<instrument>/<leaf>; others are ignored.
    void OnMessage(const std::string &topic, const std::string &payload);
    std::vector<OverviewRow> Rows() const;

private:
    mutable std::mutex mutex_;  // the MQTT thread writes, the HTTP threads read
    std::map<std::pair<std::string, std::string>, OverviewRow> rows_;
};

// A member of a JSON object as text: a string's contents (escapes resolved), or a number,
// true, false or null as written; false when there is no such member.
bool JsonMember(const std::string &json, const std::string &name, std::string &value);

std::string OverviewHtml(const std::vector<OverviewRow> &rows, Millis now, int refreshSeconds);
std::string OverviewJson(const std::vector<OverviewRow> &rows, Millis now);
Answer RespondOverview(const Overview &overview, int refreshSeconds, const std::string &method,
                       const std::string &path, const std::string &target, Millis now);
void InstallOverviewRoutes(httplib::Server &server, Overview &overview, int refreshSeconds);

// The subscription: connects to the broker (HOST[:PORT], port 1883 by default), with a login
// when username is not empty, on a thread of its own and reconnects by itself. False when the
// broker text or the client is bad.
class OverviewFeed {
public:
    explicit OverviewFeed(Overview &overview) : overview_(overview) {}
    ~OverviewFeed();
    bool Start(const std::string &broker, const std::string &username = "", const std::string &password = "");

private:
    Overview &overview_;
    struct mosquitto *mosq_ = nullptr;
};

}  // namespace monitor
