// The options file: its KEY=value lines as a unit's EnvironmentFile= reads them, the station
// root it decides, and its place between the command line and the registry.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/Configuration.h"
#include "app/OptionsFile.h"
#include "common/TestRoot.h"

namespace {

const char InstrumentKey[] = "SYSTEM\\CurrentControlSet\\Services\\QORL Data Acquisition\\Parameters\\Metek1";

int Load(Configuration &configuration, std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), "kestrune");
    std::vector<const char *> argv;
    for (const auto &argument : arguments)
        argv.push_back(argument.c_str());
    return configuration.Load(static_cast<int>(argv.size()), argv.data());
}

void WriteFile(const std::string &path, const std::string &text) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

TEST(OptionsFile, ReadsKeyValueLinesAsAUnitDoes) {
    OptionsFile file;
    ASSERT_TRUE(
        file.Parse("# the station\n"
                   "; another comment\n"
                   "\n"
                   "LANG=C\n"
                   "KESTRUNE_OPTIONS=\"--port 3\n"
                   "  --name \\\"A\\\" \\\\x\"\n"
                   "KESTRUNE_ROOT = /srv/state \\\n"
                   "/more  \r\n"))
        << file.Error;
    EXPECT_EQ(file.Options, "--port 3\n  --name \"A\" \\x");
    EXPECT_EQ(file.Arguments(), (std::vector<std::string>{"--port", "3", "--name", "\"A\"", "\\x"}));
    EXPECT_EQ(file.Root, "/srv/state /more");

    OptionsFile single;
    ASSERT_TRUE(single.Parse("KESTRUNE_OPTIONS='--data-dir D:\\Station'")) << single.Error;
    EXPECT_EQ(single.Options, "--data-dir D:\\Station");
    EXPECT_FALSE(single.HasRoot);

    for (const char *bad : {"KESTRUNE_OPTIONS=\"--port 3\n", "--port 3\n", "KESTRUNE_OPTIONS=\"a\" b\n"}) {
        OptionsFile broken;
        EXPECT_FALSE(broken.Parse(std::string("A=1\n") + bad)) << bad;
        EXPECT_NE(broken.Error.find("line 2 "), std::string::npos) << broken.Error;
    }
}

TEST(OptionsFile, StationRootRule) {
    OptionsFile absent, present, rooted;
    present.Exists = rooted.Exists = true;
    rooted.HasRoot = true;
    rooted.Root = "/srv/station";
    EXPECT_EQ(OptionsFile::StationRoot("/env", rooted, "sonic1"), "/env");
    EXPECT_EQ(OptionsFile::StationRoot(nullptr, rooted, "sonic1"), "/srv/station");
    EXPECT_EQ(OptionsFile::StationRoot("", present, ""), "/var/lib/kestrune");
    EXPECT_EQ(OptionsFile::StationRoot(nullptr, present, "sonic2"), "/var/lib/kestrune/sonic2");
    EXPECT_EQ(OptionsFile::StationRoot(nullptr, absent, "sonic2"), "");
    EXPECT_TRUE(OptionsFile::IsInstanceName("sonic_1.mast-2"));
    for (const char *bad : {"", ".hidden", "-x", "a/b", "a b", "../x"})
        EXPECT_FALSE(OptionsFile::IsInstanceName(bad)) << bad;
}

// Command line > options file > registry > defaults, value by value.
TEST(OptionsFile, SitsBetweenTheCommandLineAndTheRegistry) {
    TestRoot root;
    {
        HKEY handle = nullptr;
        ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, InstrumentKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                  &handle, nullptr),
                  ERROR_SUCCESS);
        const DWORD baud = 9600, port = 5;
        RegSetValueExA(handle, "BaudRate", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&baud), sizeof baud);
        RegSetValueExA(handle, "ComPort", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&port), sizeof port);
        RegSetValueExA(handle, "SerialNumber", 0, REG_SZ, reinterpret_cast<const BYTE *>("77"), 3);
        RegCloseKey(handle);
    }
    WriteFile(root.Path() + "/etc/default/kestrune",
              "KESTRUNE_OPTIONS=\"--port 2 --baud-rate 19200 --blackout-period 9\"\n");
    Configuration c;
    ASSERT_EQ(Load(c, {"--port", "3"}), 0) << c.Error;
    EXPECT_EQ(c.Number(Configuration::ComPort), 3u);
    EXPECT_EQ(c.SourceOf(Configuration::ComPort), Configuration::FromCommandLine);
    EXPECT_EQ(c.Number(Configuration::BaudRate), 19200u);
    EXPECT_EQ(c.SourceOf(Configuration::BaudRate), Configuration::FromOptionsFile);
    EXPECT_EQ(c.Number(Configuration::BlackoutPeriod), 9u);
    EXPECT_STREQ(c.Text(Configuration::SerialNumber), "77");
    EXPECT_EQ(c.SourceOf(Configuration::RawArchivePeriod), Configuration::FromDefault);
    EXPECT_NE(c.Describe().find("BaudRate               options file 19200\n"), std::string::npos);

    // A bad value, or an option that is no setting, names the file.
    WriteFile(root.Path() + "/etc/default/kestrune", "KESTRUNE_OPTIONS=\"--baud-rate 1000\"\n");
    Configuration bad;
    EXPECT_EQ(Load(bad, {}), Configuration::UsageStatus);
    EXPECT_NE(std::string(bad.Error).find("from the options file " + root.Path() +
                                          "/etc/default/kestrune (--baud-rate)"),
              std::string::npos)
        << bad.Error;
    WriteFile(root.Path() + "/etc/default/kestrune", "KESTRUNE_OPTIONS=\"--instance other\"\n");
    Configuration nested;
    EXPECT_EQ(Load(nested, {}), Configuration::UsageStatus);
    EXPECT_NE(std::string(nested.Error).find("unknown option \"--instance\" in the options file"),
              std::string::npos)
        << nested.Error;
}

// An instance reads its own file, whose KESTRUNE_ROOT becomes the station root when the
// environment has none; an instance without its file is refused.
TEST(OptionsFile, InstanceFindsItsFileAndRoot) {
    TestRoot root;
    Configuration missing;
    EXPECT_EQ(Load(missing, {"status", "--instance", "sonic1"}), Configuration::UsageStatus);
    EXPECT_NE(std::string(missing.Error).find("no options file " + root.Path() + "/etc/kestrune/sonic1.conf"),
              std::string::npos)
        << missing.Error;

    const std::string state = root.Path() + "/state/sonic1";
    std::filesystem::create_directories(state);
    WriteFile(root.Path() + "/etc/kestrune/sonic1.conf",
              "KESTRUNE_OPTIONS=\"--data-dir D:\\Sonic1\"\nKESTRUNE_ROOT=" + state + "\n");
    unsetenv("KESTRUNE_ROOT");
    Configuration c;
    const int result = Load(c, {"--instance=sonic1", "--show-config"});
    const char *now = std::getenv("KESTRUNE_ROOT");
    const std::string inForce = now != nullptr ? now : "";
    setenv("KESTRUNE_ROOT", root.Path().c_str(), 1);
    ASSERT_EQ(result, 0) << c.Error;
    EXPECT_EQ(c.Instance, "sonic1");
    EXPECT_EQ(c.Root, state);
    EXPECT_EQ(inForce, state);
    EXPECT_STREQ(c.Text(Configuration::DataDirectory), "D:\\Sonic1");
}

}  // namespace
