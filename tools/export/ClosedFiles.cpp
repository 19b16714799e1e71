#include "tools/export/ClosedFiles.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

namespace closedfiles {

using station::FileKind;
using station::Millis;

std::vector<std::string> ClosedFiles(const std::string &directory, Millis now) {
    struct Entry {
        std::string Name;
        FileKind Kind;
        Millis Start;
        bool Zip;
    };
    std::vector<Entry> entries;
    std::vector<std::string> names;
    std::error_code error;
    for (std::filesystem::directory_iterator it(directory, error), end; !error && it != end;
         it.increment(error)) {
        if (!it->is_regular_file(error))
            continue;
        std::string name = it->path().filename().string();
        names.push_back(name);
        bool zip = name.size() > 4 && name.compare(name.size() - 4, 4, ".zip") == 0;
        std::string dataName = zip ? name.substr(0, name.size() - 4) + ".txt" : name;
        FileKind kind;
        Millis start;
        if (station::ParseFileName(dataName, kind, start) &&
            !(zip && (kind == FileKind::Log || kind == FileKind::Flux)))
            entries.push_back({name, kind, start, zip});
    }
    std::sort(names.begin(), names.end());
    auto exists = [&](const std::string &name) {
        return std::binary_search(names.begin(), names.end(), name);
    };
    // The newest statistics hour: periods are written in order, so every earlier hour's are done.
    Millis newestStats = -1;
    for (const auto &entry : entries)
        if (entry.Kind == FileKind::Stats)
            newestStats = std::max(newestStats, entry.Start);

    std::vector<std::string> closed;
    for (const auto &entry : entries) {
        const bool daily = entry.Kind == FileKind::Log || entry.Kind == FileKind::Flux;
        const Millis span = daily ? station::DayMs : station::HourMs;
        bool over = now >= entry.Start + span + SettleMs;
        if (entry.Kind == FileKind::Stats && entry.Start >= newestStats)
            over = now >= entry.Start + LongestPeriodMs + SettleMs;
        if (entry.Zip)
            over = over && !exists(entry.Name.substr(0, entry.Name.size() - 4) + ".txt");
        if (over)
            closed.push_back(entry.Name);
    }
    std::sort(closed.begin(), closed.end());
    return closed;
}

}  // namespace closedfiles
