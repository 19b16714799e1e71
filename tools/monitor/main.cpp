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

}  // namespace

int main(int argc, char **argv) {
    std::string listen = "127.0.0.1:8160";
    // The stations asked for: instance and data directory, either empty.
    std::vector<std::pair<std::string, std::string>> wanted;
    int refresh = 5;
    std::string mqtt, username, password;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if ((arg == "--listen" || arg == "--data-dir" || arg == "--instance" || arg == "--refresh" ||
             arg == "--mqtt" || arg == "-u" || arg == "--username" || arg == "-P" || arg == "--pw") &&
            i + 1 < argc) {
            std::string value = argv[++i];
            if (arg == "--mqtt")
                mqtt = value;
            else if (arg == "-u" || arg == "--username")
                username = value;
            else if (arg == "-P" || arg == "--pw")
                password = value;
            else if (arg == "--listen")
                listen = value;
            else if (arg == "--instance")
                wanted.push_back({value, ""});
            else if (arg == "--data-dir" && !wanted.empty() && wanted.back().second.empty() &&
                     !wanted.back().first.empty())
                wanted.back().second = value;
            else if (arg == "--data-dir")
                wanted.push_back({"", value});
            else
                refresh = std::atoi(value.c_str());
        } else if (arg == "-h" || arg == "--help") {
            std::fputs(Usage, stdout);
            return 0;
        } else {
            std::fprintf(stderr, "kestrune-monitor: unknown argument %s\n%s", arg.c_str(), Usage);
            return 2;
        }
    }
    size_t colon = listen.rfind(':');
    int port = colon == std::string::npos ? -1 : std::atoi(listen.c_str() + colon + 1);
    std::string host = colon == std::string::npos ? "" : listen.substr(0, colon);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    if (host.empty() || port < 0 || port > 65535 || refresh < 1 || refresh > 3600) {
        std::fprintf(stderr, "kestrune-monitor: --listen takes ADDR:PORT, --refresh 1 to 3600 seconds\n%s",
                     Usage);
        return 2;
    }

    // SIGINT and SIGTERM are taken by a thread of their own, which stops the server.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    // Each station as the program would find it; the first one's root stays in force, and a
    // station under another root shows no registry bookkeeping (it would be the first's).
    std::vector<monitor::Section> sections;
    if (wanted.empty())
        wanted.push_back({"", ""});
    std::vector<station::Location> locations;
    std::string problem;
    if (mqtt.empty() && !station::LocateStations(wanted, locations, problem)) {
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
    monitor::PageServer server;
    monitor::ConfigureServer(server);
    monitor::Overview overview;
    monitor::OverviewFeed feed(overview);
    if (mqtt.empty()) {
        monitor::InstallSectionRoutes(server, sections, refresh);
    } else {
        if (!feed.Start(mqtt, username, password)) {
            std::fprintf(stderr, "kestrune-monitor: --mqtt takes HOST[:PORT]\n%s", Usage);
            return 2;
        }
        monitor::InstallOverviewRoutes(server, overview, refresh);
    }

    int bound = server.Bind(host, port);
    if (bound < 0) {
        std::fprintf(stderr, "kestrune-monitor: cannot listen on %s\n", listen.c_str());
        return 1;
    }
    std::thread stopper([&server, signals] {
        int signal = 0;
        sigwait(&signals, &signal);
        server.Stop();
    });
    stopper.detach();
    bool ipv6 = host.find(':') != std::string::npos;
    std::printf("listening on http://%s%s%s:%d/\n", ipv6 ? "[" : "", host.c_str(), ipv6 ? "]" : "", bound);
    std::fflush(stdout);
    bool ok = server.listen_after_bind();
    return ok ? 0 : 1;
}
