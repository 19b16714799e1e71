// A temporary KESTRUNE_ROOT for one test: created fresh, set in the environment, removed
// with everything in it afterwards, together with the named objects that processes of the
// test left behind in /dev/shm (a program killed by the test, say).
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>

#include <unistd.h>

#include "platform/posix/named_objects.h"

class TestRoot {
public:
    TestRoot() {
        char pattern[] = "/tmp/kestrune-test-XXXXXX";
        const char *made = mkdtemp(pattern);
        path_ = made ? made : "";
        const char *old = std::getenv("KESTRUNE_ROOT");
        if (old) {
            hadOld_ = true;
            old_ = old;
        }
        setenv("KESTRUNE_ROOT", path_.c_str(), 1);
    }
    ~TestRoot() {
        kestrune::ReclaimStaleNamedObjects();
        if (hadOld_)
            setenv("KESTRUNE_ROOT", old_.c_str(), 1);
        else
            unsetenv("KESTRUNE_ROOT");
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TestRoot(const TestRoot &) = delete;
    TestRoot &operator=(const TestRoot &) = delete;

    const std::string &Path() const { return path_; }
    // The POSIX path of a drive path "C:\a\b" under this root: <root>/c/a/b.
    std::string Posix(const std::string &relative) const { return path_ + "/" + relative; }

private:
    std::string path_;
    std::string old_;
    bool hadOld_ = false;
};
