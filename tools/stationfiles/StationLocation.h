// Where a tool finds the station the program uses: the same configuration the program loads
// (the options file of the station or of --instance, the registry, --data-dir), so that
// `kestrune-monitor` and `kestrune-export` look at the folder the program writes, under the
// station root the options file decides (app/OptionsFile.h).
#pragma once

#include <string>

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

}  // namespace station
