// Where a tool finds the station the program uses: the same configuration the program loads
// (the options file of the station or of --instance, the registry, --data-dir), so that
// `kestrune-monitor` and `kestrune-export` look at the folder the program writes, under the
// station root the options file decides (app/OptionsFile.h).
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "tools/stationfiles/StationFiles.h"

namespace station {

struct Location {
    std::string Instance;       // as given; empty: the default station
    std::string DataDirectory;  // as configured: a drive path such as D:\Station, or a native one
    std::string Directory;      // the native folder the tool reads
    std::string Root;           // the station root in force for it (empty: the platform's default)
    FluxSettings Flux;          // the configured flux file template and period
};

// Loads the configuration as `kestrune --show-config [--instance NAME] [--data-dir DIR]`
// would, which also puts its station root into KESTRUNE_ROOT. A native absolute path
// ("/srv/flux/data") is read as it stands; a drive path is mapped as the program maps it.
// False with error holding the one line to print.
bool LocateStation(const std::string &instance, const std::string &dataDirectory, Location &location,
                   std::string &error);

// Several stations, each (instance, data directory) as for LocateStation, each located under
// the environment's own KESTRUNE_ROOT as the tool found it (not under the root the one before
// put there). The first station's root is left in force. False with error set at the first
// that cannot be located.
bool LocateStations(const std::vector<std::pair<std::string, std::string>> &wanted,
                    std::vector<Location> &locations, std::string &error);

}  // namespace station
