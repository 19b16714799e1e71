// The zip library's extraction of arbitrary archives, through ZipUtil as the program calls it.
//
// The input is written as the archive; ZipUtil::ExtractAll extracts it into a destination
// folder. libzip, read directly, is the reference for what the archive holds. Invariants:
// - nothing is created or changed anywhere under the root except inside the destination
//   folder, which holds only regular files directly (no subfolders);
// - a failure is a non-zero result with an error text;
// - a success means every item whose base name is a file name was extracted with exactly the
//   bytes the archive holds for it (an item libzip cannot read cannot be a success).
#include <sys/stat.h>
#include <zip.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "fuzz/FuzzCheck.h"
#include "support/ZipUtil.h"

namespace fs = std::filesystem;

namespace {

std::string ReadFile(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

// Every path under the root with its size and modification time, except the destination
// folder's contents.
std::map<std::string, std::pair<uintmax_t, long long>> Snapshot(const fs::path &root,
                                                                const fs::path &destination) {
    std::map<std::string, std::pair<uintmax_t, long long>> files;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
        if (it->path() == destination) {
            it.disable_recursion_pending();
            continue;
        }
        struct stat st = {};
        lstat(it->path().c_str(), &st);
        files[it->path().string()] = {
            static_cast<uintmax_t>(st.st_size),
            static_cast<long long>(st.st_mtim.tv_sec) * 1000000000ll + st.st_mtim.tv_nsec};
    }
    return files;
}

struct Harness {
    FuzzRoot root;
    fs::path archive = root.Posix("c/d/x.zip");
    fs::path destination = root.Posix("c/out/in");
    std::map<std::string, std::pair<uintmax_t, long long>> before;

    // Held for the whole run: libFuzzer keeps counters inside the loaded library, so it must
    // not be unmapped when a ZipUtil releases it.
    HMODULE library = LoadLibraryA("XceedZip.dll");

    Harness() {
        FUZZ_CHECK(library != nullptr, "XceedZip.dll not loaded");
        fs::create_directories(destination);
        fs::create_directories(archive.parent_path());
        std::ofstream(archive, std::ios::binary) << "";
        Run();  // let everything the library and the lock create on first use exist
        before = Snapshot(root.Path(), destination);
    }

    LONG Run() {
        ZipUtil zip("C:\\d\\x.zip");
        const LONG result = zip.ExtractAll("C:\\out\\in", OverwriteAlways);
        FUZZ_CHECK(result == 0 || zip.ErrorText[0] != '\0', "failure %ld without a text",
                   static_cast<long>(result));
        return result;
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static Harness *harness = new Harness();
    {
        std::ofstream out(harness->archive, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char *>(data), static_cast<std::streamsize>(size));
    }
    fs::remove_all(harness->destination);
    fs::create_directories(harness->destination);
    // The archive's own size and time change with each input.
    harness->before[harness->archive.string()] =
        Snapshot(harness->root.Path(), harness->destination)[harness->archive.string()];

    const LONG result = harness->Run();

    const auto after = Snapshot(harness->root.Path(), harness->destination);
    for (const auto &[path, state] : after)
        FUZZ_CHECK(harness->before.count(path) == 1, "%s was created outside the destination", path.c_str());
    for (const auto &[path, state] : harness->before) {
        auto it = after.find(path);
        FUZZ_CHECK(it != after.end(), "%s was removed", path.c_str());
        if (!fs::is_directory(path) && path.find("registry.db") == std::string::npos)
            FUZZ_CHECK(it->second == state, "%s was changed", path.c_str());
    }
    std::set<std::string> extracted;
    for (const auto &entry : fs::directory_iterator(harness->destination)) {
        FUZZ_CHECK(entry.is_regular_file() && !entry.is_symlink(), "%s is not a plain file",
                   entry.path().c_str());
        extracted.insert(entry.path().filename().string());
    }

    // The reference: what libzip reads from the archive.
    int error = 0;
    zip_t *archive = zip_open(harness->archive.c_str(), ZIP_RDONLY, &error);
    if (archive == nullptr) {
        FUZZ_CHECK(result != 0 || size == 0, "an archive libzip cannot open was extracted with success");
        return 0;
    }
    if (result == 0) {
        std::map<std::string, int> baseCount;
        std::vector<std::pair<std::string, std::string>> items;  // base name, bytes
        const zip_int64_t count = zip_get_num_entries(archive, 0);
        for (zip_int64_t i = 0; i < count; ++i) {
            const char *name = zip_get_name(archive, static_cast<zip_uint64_t>(i), ZIP_FL_ENC_RAW);
            FUZZ_CHECK(name != nullptr, "item %lld has no name", static_cast<long long>(i));
            std::string base = name;
            const size_t slash = base.find_last_of("/\\");
            if (slash != std::string::npos)
                base = base.substr(slash + 1);
            if (base.empty() || base == "." || base == "..")
                continue;
            std::string bytes;
            zip_file_t *file = zip_fopen_index(archive, static_cast<zip_uint64_t>(i), 0);
            FUZZ_CHECK(file != nullptr, "item %s cannot be read but the extraction succeeded", name);
            char chunk[4096];
            zip_int64_t got;
            while ((got = zip_fread(file, chunk, sizeof chunk)) > 0)
                bytes.append(chunk, static_cast<size_t>(got));
            zip_fclose(file);
            FUZZ_CHECK(got == 0, "item %s is damaged but the extraction succeeded", name);
            ++baseCount[base];
            items.emplace_back(base, bytes);
        }
        for (const auto &[base, bytes] : items) {
            FUZZ_CHECK(extracted.count(base) == 1, "%s was not extracted", base.c_str());
            if (baseCount[base] == 1)
                FUZZ_CHECK(ReadFile(harness->destination / base) == bytes,
                           "%s was extracted with other bytes", base.c_str());
        }
    }
    zip_discard(archive);
    return 0;
}
