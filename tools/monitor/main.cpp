// kestrune-monitor: the station page. A separate process that reads the data directory and
// the registry bookkeeping and serves what it sees over HTTP; it never writes to either, so
// it can never delay a sample.
//
//   kestrune-monitor [--listen ADDR:PORT] [--instance NAME] [--data-dir DIR]... [--refresh SECONDS]
//   kestrune-monitor --mqtt BROKER [--listen ADDR:PORT] [--refresh SECONDS]
//
// The stations are found as the program finds them (tools/stationfiles/StationLocation.h).
// Each --instance starts a station; a --data-dir belongs to the --instance before it, or
// starts a station of the default configuration. Several stations share one page, a section
// each (Sections.h).
//
// With --mqtt it serves the overview of every station that publishes to the broker instead
// (see Overview.h).
//
// It binds to 127.0.0.1:8160 unless told otherwise; port 0 takes a free port. It prints
// "listening on http://ADDR:PORT/" once it accepts connections, and ends on SIGINT or SIGTERM.
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tools/monitor/Connections.h"
#include "tools/monitor/Overview.h"
#include "tools/monitor/Sections.h"
#include "tools/monitor/Server.h"
#include "tools/stationfiles/StationFiles.h"
#include "tools/stationfiles/StationLocation.h"

namespace {

const char Usage[] =
    "usage: kestrune-monitor [--listen ADDR:PORT] [--instance NAME] [--data-dir DIR]... [--refresh SECONDS]\n"
    "  --listen    address and port to serve on (default 127.0.0.1:8160; port 0: any free port)\n"
    "  --instance  the station of the instance NAME (its options file /etc/kestrune/NAME.conf)\n"
    "  --data-dir  the data directory, a drive path such as D:\\Station or a native one (default:\n"
    "              the one the program is configured with); after --instance it is that\n"
    "              instance's. Each --instance, and each --data-dir of its own, is a section\n"
    "              of the page.\n"
    "  --refresh   seconds between the page's own reloads (default 5)\n"
    "  --mqtt      HOST[:PORT]: serve the overview of the stations publishing to this broker\n"
    "  -u, --username USER  -P, --pw PASSWORD: the login at that broker\n";

// What the command line asks for; the host and port are split from --listen.
struct Options {
    std::string listen = "127.0.0.1:8160";
    // The stations asked for: instance and data directory, either empty.
    std::vector<std::pair<std::string, std::string>> wanted;
    int refresh = 5;
    std::string mqtt, username, password;
    std::string host;
    int port = -1;
};

// The phases below return this to go on; anything else is the exit status.
const int GoOn = -1;

void SetValue(Options &o, const std::string &arg, const std::string &value) {
    if (arg == "--mqtt")
        o.mqtt = value;
    else if (arg == "-u" || arg == "--username")
        o.username = value;
    else if (arg == "-P" || arg == "--pw")
        o.password = value;
    else if (arg == "--listen")
        o.listen = value;
    else if (arg == "--instance")
        o.wanted.push_back({value, ""});
    else if (arg == "--data-dir" && !o.wanted.empty() && o.wanted.back().second.empty() &&
             !o.wanted.back().first.empty())
        o.wanted.back().second = value;
    else if (arg == "--data-dir")
        o.wanted.push_back({"", value});
    else
        o.refresh = std::atoi(value.c_str());
}

int ParseArguments(int argc, char **argv, Options &o) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if ((arg == "--listen" || arg == "--data-dir" || arg == "--instance" || arg == "--refresh" ||
             arg == "--mqtt" || arg == "-u" || arg == "--username" || arg == "-P" || arg == "--pw") &&
            i + 1 < argc) {
            SetValue(o, arg, argv[++i]);
        } else if (arg == "-h" || arg == "--help") {
            std::fputs(Usage, stdout);
            return 0;
        } else {
            std::fprintf(stderr, "kestrune-monitor: unknown argument %s\n%s", arg.c_str(), Usage);
            return 2;
        }
    }
    return GoOn;
}

// ADDR:PORT or [IPV6]:PORT, and the refresh's range.
int CheckListen(Options &o) {
    size_t colon = o.listen.rfind(':');
    o.port = colon == std::string::npos ? -1 : std::atoi(o.listen.c_str() + colon + 1);
    o.host = colon == std::string::npos ? "" : o.listen.substr(0, colon);
    if (o.host.size() > 2 && o.host.front() == '[' && o.host.back() == ']')
        o.host = o.host.substr(1, o.host.size() - 2);
    if (o.host.empty() || o.port < 0 || o.port > 65535 || o.refresh < 1 || o.refresh > 3600) {
        std::fprintf(stderr, "kestrune-monitor: --listen takes ADDR:PORT, --refresh 1 to 3600 seconds\n%s",
                     Usage);
        return 2;
    }
    return GoOn;
}

// SIGINT and SIGTERM are blocked here, for the thread that takes them to stop the server.
sigset_t BlockStopSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    return signals;
}

// Each station as the program would find it; the first one's root stays in force, and a
// station under another root shows no registry bookkeeping (it would be the first's). With
// --mqtt there are none.
int FindSections(Options &o, std::vector<monitor::Section> &sections) {
    if (o.wanted.empty())
        o.wanted.push_back({"", ""});
    std::vector<station::Location> locations;
    std::string problem;
    if (o.mqtt.empty() && !station::LocateStations(o.wanted, locations, problem)) {
        std::fprintf(stderr, "kestrune-monitor: %s\n", problem.c_str());
        return 2;
    }
    for (const station::Location &location : locations) {
        monitor::Section section;
        section.Name = location.Instance.empty() ? location.DataDirectory : location.Instance;
        section.Data = std::make_unique<monitor::Station>(location.Directory);
        section.Data->UseSettings(location.Flux, location.Root == locations.front().Root);
        sections.push_back(std::move(section));
    }
    return GoOn;
}

// The stations' sections, or with --mqtt the overview fed from the broker.
int InstallRoutes(const Options &o, monitor::PageServer &server, std::vector<monitor::Section> &sections,
                  monitor::Overview &overview, monitor::OverviewFeed &feed) {
    if (o.mqtt.empty()) {
        monitor::InstallSectionRoutes(server, sections, o.refresh);
        return GoOn;
    }
    if (!feed.Start(o.mqtt, o.username, o.password)) {
        std::fprintf(stderr, "kestrune-monitor: --mqtt takes HOST[:PORT]\n%s", Usage);
        return 2;
    }
    monitor::InstallOverviewRoutes(server, overview, o.refresh);
    return GoOn;
}

// Binds, says where, and serves until a stop signal ends the server.
int Serve(const Options &o, monitor::PageServer &server, const sigset_t &signals) {
    int bound = server.Bind(o.host, o.port);
    if (bound < 0) {
        std::fprintf(stderr, "kestrune-monitor: cannot listen on %s\n", o.listen.c_str());
        return 1;
    }
    std::thread stopper([&server, signals] {
        int signal = 0;
        sigwait(&signals, &signal);
        server.Stop();
    });
    stopper.detach();
    bool ipv6 = o.host.find(':') != std::string::npos;
    std::printf("listening on http://%s%s%s:%d/\n", ipv6 ? "[" : "", o.host.c_str(), ipv6 ? "]" : "", bound);
    std::fflush(stdout);
    bool ok = server.listen_after_bind();
    return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv) {
    Options o;
    int status = ParseArguments(argc, argv, o);
    if (status == GoOn)
        status = CheckListen(o);
    if (status != GoOn)
        return status;
    const sigset_t signals = BlockStopSignals();

    std::vector<monitor::Section> sections;
    status = FindSections(o, sections);
    if (status != GoOn)
        return status;
    monitor::PageServer server;
    monitor::ConfigureServer(server);
    monitor::Overview overview;
    monitor::OverviewFeed feed(overview);
    status = InstallRoutes(o, server, sections, overview, feed);
    if (status != GoOn)
        return status;
    return Serve(o, server, signals);
}
