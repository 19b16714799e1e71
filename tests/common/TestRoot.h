// A root of its own for one test, created fresh and removed with everything in it afterwards,
// so that no test touches a station's real data or registry.
//
// On Linux it is a temporary KESTRUNE_ROOT: the platform layer maps drive paths ("C:\Data")
// and the registry store below it. On Windows it is a folder under the temporary directory,
// and the process's HKEY_LOCAL_MACHINE is redirected (RegOverridePredefKey) to a test-only key
// under HKEY_CURRENT_USER\Software\Kestrune Tests; drive paths a test hands to the product are
// turned into paths below the folder by Drive().
// On Linux it also reclaims the named objects that processes of the test left behind in
// /dev/shm (a program killed by the test, say).
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>

#ifdef _WIN32
#include <atomic>
#include <cstdio>

#include "platform/win32.h"
#else
#include <unistd.h>

#include "platform/posix/named_objects.h"
#endif

class TestRoot {
public:
#ifdef _WIN32
    // Parent of every test key; only tests write below it.
    static constexpr const char *TestKeyParent = "Software\\Kestrune Tests";

    TestRoot() {
        char temp[MAX_PATH + 1];
        DWORD length = GetTempPathA(sizeof temp, temp);
        std::string base =
            length > 0 && length < sizeof temp ? std::string(temp, length) : std::string(".\\");
        static std::atomic<unsigned> counter{0};
        for (int attempt = 0; attempt < 1000 && path_.empty(); ++attempt) {
            char name[64];
            snprintf(name, sizeof name, "kestrune-test-%lu-%u", GetCurrentProcessId(), counter++);
            if (CreateDirectoryA((base + name).c_str(), nullptr)) {
                path_ = base + name;
                name_ = name;
            }
        }
        key_ = std::string(TestKeyParent) + "\\" + name_;
        if (!name_.empty() && RegCreateKeyExA(HKEY_CURRENT_USER, (key_ + "\\HKLM").c_str(), 0, nullptr, 0,
                                              KEY_ALL_ACCESS, nullptr, &machine_, nullptr) == ERROR_SUCCESS)
            RegOverridePredefKey(HKEY_LOCAL_MACHINE, machine_);
    }
    ~TestRoot() {
        if (machine_ != nullptr) {
            RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr);
            RegCloseKey(machine_);
            RegDeleteTreeA(HKEY_CURRENT_USER, key_.c_str());
        }
        std::error_code ignored;
        if (!path_.empty())
            std::filesystem::remove_all(path_, ignored);
    }
    // The test's stand-in for a drive path: "C:\a\b" becomes "<root>\c\a\b". The drive's
    // folder is made on first use: a drive exists from the start, as on Linux.
    std::string Drive(const std::string &drivePath) const {
        if (drivePath.size() < 2 || drivePath[1] != ':')
            return drivePath;
        std::string rest = drivePath.substr(2);
        if (!rest.empty() && rest[0] != '\\')
            rest = "\\" + rest;
        const std::string drive =
            path_ + "\\" + static_cast<char>(tolower(static_cast<unsigned char>(drivePath[0])));
        CreateDirectoryA(drive.c_str(), nullptr);
        return drive + rest;
    }
    // The test-only key under HKEY_CURRENT_USER that stands for HKEY_LOCAL_MACHINE.
    const std::string &MachineKey() const {
        return key_;
    }
#else
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
        // No options file of the machine's own station: the test's folder stands for /etc.
        const char *folder = std::getenv("KESTRUNE_SYSCONFDIR");
        if (folder) {
            hadFolder_ = true;
            oldFolder_ = folder;
        }
        setenv("KESTRUNE_SYSCONFDIR", (path_ + "/etc").c_str(), 1);
    }
    ~TestRoot() {
        kestrune::ReclaimStaleNamedObjects();
        if (hadOld_)
            setenv("KESTRUNE_ROOT", old_.c_str(), 1);
        else
            unsetenv("KESTRUNE_ROOT");
        if (hadFolder_)
            setenv("KESTRUNE_SYSCONFDIR", oldFolder_.c_str(), 1);
        else
            unsetenv("KESTRUNE_SYSCONFDIR");
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    // Drive paths are mapped below the root by the platform layer itself.
    std::string Drive(const std::string &drivePath) const {
        return drivePath;
    }
#endif
    TestRoot(const TestRoot &) = delete;
    TestRoot &operator=(const TestRoot &) = delete;

    const std::string &Path() const {
        return path_;
    }
    // The native path of a drive path "C:\a\b" under this root: <root>/c/a/b.
    std::string Posix(const std::string &relative) const {
        return path_ + "/" + relative;
    }

private:
    std::string path_;
#ifdef _WIN32
    std::string name_;
    std::string key_;
    HKEY machine_ = nullptr;
#else
    std::string old_;
    bool hadOld_ = false;
    std::string oldFolder_;
    bool hadFolder_ = false;
#endif
};
