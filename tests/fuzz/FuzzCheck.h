// Invariant checks of the fuzz targets: a broken invariant aborts, so libFuzzer keeps the
// input as a crash reproducer.
#pragma once

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition, ...)                                                              \
    do {                                                                                        \
        if (!(condition)) {                                                                     \
            fprintf(stderr, "Invariant broken at %s:%d: %s\n", __FILE__, __LINE__, #condition); \
            fprintf(stderr, __VA_ARGS__);                                                       \
            fprintf(stderr, "\n");                                                              \
            abort();                                                                            \
        }                                                                                       \
    } while (0)

#include <unistd.h>

#include <filesystem>
#include <string>

// A temporary KESTRUNE_ROOT for the whole fuzzing run, in memory (/dev/shm) where available,
// since the registry syncs every write. Removed when the process exits normally.
class FuzzRoot {
public:
    FuzzRoot() {
        for (const char *base : {"/dev/shm", "/tmp"}) {
            std::string pattern = std::string(base) + "/kestrune-fuzz-XXXXXX";
            if (mkdtemp(pattern.data()) != nullptr) {
                path_ = pattern;
                break;
            }
        }
        FUZZ_CHECK(!path_.empty(), "no temporary root");
        setenv("KESTRUNE_ROOT", path_.c_str(), 1);
        Current() = path_;
        atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(Current(), ignored);
        });
    }
    const std::string &Path() const { return path_; }
    // The POSIX path of a drive path "C:\a\b" under this root: <root>/c/a/b.
    std::string Posix(const std::string &relative) const { return path_ + "/" + relative; }

private:
    static std::string &Current() {
        static std::string current;
        return current;
    }
    std::string path_;
};
