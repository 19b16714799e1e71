#include "tools/stationfiles/StationLocation.h"

#include <cstdlib>
#include <vector>

#include "app/Configuration.h"

namespace station {

bool LocateStation(const std::string &instance, const std::string &dataDirectory, Location &location,
                   std::string &error) {
    const bool native = !dataDirectory.empty() && dataDirectory[0] == '/';
    std::vector<const char *> argv{"kestrune", "--show-config"};
    if (!instance.empty()) {
        argv.push_back("--instance");
        argv.push_back(instance.c_str());
    }
    if (!dataDirectory.empty() && !native) {
        argv.push_back("--data-dir");
        argv.push_back(dataDirectory.c_str());
    }
    Configuration configuration;
    if (configuration.Load(static_cast<int>(argv.size()), argv.data()) != 0) {
        error = configuration.Error;
        return false;
    }
    location.Instance = instance;
    location.DataDirectory = native ? dataDirectory : configuration.Text(Configuration::DataDirectory);
    const char *root = std::getenv("KESTRUNE_ROOT");
    location.Root = root != nullptr ? root : "";
    location.Flux.FileTemplate = configuration.Text(Configuration::FluxFileTemplate);
    location.Flux.PeriodSeconds = static_cast<long>(configuration.Number(Configuration::FluxPeriod));
    // The folder the files are in: the path itself on Windows, mapped under the root elsewhere.
    char mapped[4096];
    if (!KestruneMapPath(location.DataDirectory.c_str(), mapped, sizeof mapped)) {
        error = "cannot map the data directory " + location.DataDirectory;
        return false;
    }
    location.Directory = mapped;
    return true;
}

namespace {

void SetRoot(bool set, const std::string &root) {
    SetEnvironmentVariableA("KESTRUNE_ROOT", set ? root.c_str() : nullptr);
}

}  // namespace

bool LocateStations(const std::vector<std::pair<std::string, std::string>> &wanted,
                    std::vector<Location> &locations, std::string &error) {
    const char *given = std::getenv("KESTRUNE_ROOT");
    const bool hadRoot = given != nullptr;
    const std::string root = hadRoot ? given : "";
    for (const auto &station : wanted) {
        SetRoot(hadRoot, root);
        Location location;
        if (!LocateStation(station.first, station.second, location, error))
            return false;
        locations.push_back(location);
    }
    if (!locations.empty())
        SetRoot(!locations.front().Root.empty(), locations.front().Root);
    return true;
}

}  // namespace station
