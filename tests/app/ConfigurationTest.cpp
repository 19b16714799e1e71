// The program's configuration: the defaults are the original fixed configuration; registry
// values replace them and options replace both; every bad value is refused with one line
// naming the value, where it came from and what is allowed; reading changes nothing.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/Configuration.h"
#include "common/TestRoot.h"

namespace {

const char ProgramKey[] = "SYSTEM\\CurrentControlSet\\Services\\QORL Data Acquisition\\Parameters";
const char InstrumentKey[] = "SYSTEM\\CurrentControlSet\\Services\\QORL Data Acquisition\\Parameters\\Metek1";

void SetRegistryText(const char *key, const char *name, const char *text) {
    HKEY handle = nullptr;
    ASSERT_EQ(
        RegCreateKeyExA(HKEY_LOCAL_MACHINE, key, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &handle, nullptr),
        ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExA(handle, name, 0, REG_SZ, reinterpret_cast<const BYTE *>(text),
                             static_cast<DWORD>(strlen(text) + 1)),
              ERROR_SUCCESS);
    RegCloseKey(handle);
}

void SetRegistryNumber(const char *key, const char *name, DWORD number) {
    HKEY handle = nullptr;
    ASSERT_EQ(
        RegCreateKeyExA(HKEY_LOCAL_MACHINE, key, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &handle, nullptr),
        ERROR_SUCCESS);
    EXPECT_EQ(
        RegSetValueExA(handle, name, 0, REG_DWORD, reinterpret_cast<const BYTE *>(&number), sizeof number),
        ERROR_SUCCESS);
    RegCloseKey(handle);
}

bool KeyExists(const char *key) {
    HKEY handle = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key, 0, KEY_READ, &handle) != ERROR_SUCCESS)
        return false;
    RegCloseKey(handle);
    return true;
}

int Load(Configuration &configuration, std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), "kestrune");
    std::vector<const char *> argv;
    for (const auto &argument : arguments)
        argv.push_back(argument.c_str());
    return configuration.Load(static_cast<int>(argv.size()), argv.data());
}

TEST(Configuration, DefaultsAreTheFixedConfiguration) {
    TestRoot root;
    Configuration c;
    ASSERT_EQ(Load(c, {}), 0) << c.Error;
    EXPECT_EQ(c.Action, Configuration::Run);
    EXPECT_STREQ(c.Text(Configuration::DataDirectory), "C:\\Data\\Code\\Projects\\Win32Console\\Kestrune");
    EXPECT_EQ(c.Number(Configuration::PriorityClass), static_cast<DWORD>(REALTIME_PRIORITY_CLASS));
    EXPECT_EQ(c.Number(Configuration::AffinityMask), 4u);
    EXPECT_EQ(c.Number(Configuration::ComPort), 1u);
    EXPECT_EQ(c.Number(Configuration::BaudRate), 57600u);
    EXPECT_STREQ(c.Text(Configuration::InstrumentName), "Metek");
    EXPECT_STREQ(c.Text(Configuration::SerialNumber), "666");
    EXPECT_STREQ(c.Text(Configuration::RawArchiveDirectory),
                 "C:\\Data\\Code\\Projects\\Win32Console\\Kestrune");
    EXPECT_STREQ(c.Text(Configuration::RawFileTemplate), "lab0<YYJJJHH>_raw.txt");
    EXPECT_STREQ(c.Text(Configuration::StatsArchiveDirectory),
                 "C:\\Data\\Code\\Projects\\Win32Console\\Kestrune");
    EXPECT_STREQ(c.Text(Configuration::StatsFileTemplate), "lab0<YYJJJHH>_stats.txt");
    EXPECT_EQ(c.Number(Configuration::RawTimeKeyFormat), 2u);
    EXPECT_EQ(c.Number(Configuration::RawTimeKeyEnabled), 1u);
    EXPECT_EQ(c.Number(Configuration::QualityControl), 1u);
    EXPECT_EQ(c.Number(Configuration::BlackoutPeriod), 6u);
    EXPECT_EQ(c.Number(Configuration::RawArchivePeriod), 60u);
    EXPECT_EQ(c.Number(Configuration::StatsArchivePeriod), 60u);
    EXPECT_EQ(c.Number(Configuration::FileCompression), 0u);
    EXPECT_EQ(c.Number(Configuration::CompressionAge), 3600u);
    const flux::Settings flux = c.Flux();
    EXPECT_EQ(flux.Period, 1800u);
    EXPECT_STREQ(c.Text(Configuration::FluxFileTemplate), "lab0<YYJJJ>_flux.csv");
    EXPECT_EQ(flux.MeasurementHeight, 2.0);
    EXPECT_EQ(flux.DisplacementHeight, 0.0);
    EXPECT_EQ(flux.Latitude, 50.0);
    EXPECT_EQ(flux.AirPressure, 1013.25);
    EXPECT_EQ(flux.NorthOffset, 0.0);
    EXPECT_EQ(flux.DespikeThreshold, 7.0);
    for (int i = 0; i < Configuration::SettingCount; ++i)
        EXPECT_EQ(c.SourceOf(static_cast<Configuration::Setting>(i)), Configuration::FromDefault) << i;
    // Reading created neither a key nor a directory.
    EXPECT_FALSE(KeyExists(ProgramKey));
    EXPECT_FALSE(std::filesystem::exists(root.Path() + "/c/Data"));
}

TEST(Configuration, RegistryValuesReplaceTheDefaults) {
    TestRoot root;
    SetRegistryText(ProgramKey, "DataDirectory", "D:\\Station");
    SetRegistryNumber(ProgramKey, "PriorityClass", HIGH_PRIORITY_CLASS);
    SetRegistryNumber(ProgramKey, "AffinityMask", 3);
    SetRegistryNumber(InstrumentKey, "ComPort", 3);
    SetRegistryNumber(InstrumentKey, "BaudRate", 19200);
    SetRegistryText(InstrumentKey, "InstrumentName", "Sonic A");
    SetRegistryText(InstrumentKey, "SerialNumber", "0815");
    SetRegistryText(InstrumentKey, "RawArchiveDirectory", "E:\\Raw");
    SetRegistryText(InstrumentKey, "RawFileTemplate", "st<YYYYMMDD>_raw.dat");
    SetRegistryText(InstrumentKey, "StatsFileTemplate", "st<YYJJJ>_stats.dat");
    SetRegistryNumber(InstrumentKey, "RawTimeKeyFormat", 1);
    SetRegistryNumber(InstrumentKey, "RawTimeKeyEnabled", 0);
    SetRegistryNumber(InstrumentKey, "QualityControl", 0);
    SetRegistryNumber(InstrumentKey, "BlackoutPeriod", 0);
    SetRegistryNumber(InstrumentKey, "RawArchivePeriod", 0);
    SetRegistryNumber(InstrumentKey, "StatsArchivePeriod", 1800);
    SetRegistryNumber(InstrumentKey, "FileCompression", 1);
    SetRegistryNumber(InstrumentKey, "CompressionAge", 7200);
    // The bookkeeping values beside them are not settings and do not disturb them.
    SetRegistryNumber(InstrumentKey, "ArchiveSamples", 4000);

    Configuration c;
    ASSERT_EQ(Load(c, {}), 0) << c.Error;
    EXPECT_STREQ(c.Text(Configuration::DataDirectory), "D:\\Station");
    EXPECT_EQ(c.Number(Configuration::PriorityClass), static_cast<DWORD>(HIGH_PRIORITY_CLASS));
    EXPECT_EQ(c.Number(Configuration::AffinityMask), 3u);
    EXPECT_EQ(c.Number(Configuration::ComPort), 3u);
    EXPECT_EQ(c.Number(Configuration::BaudRate), 19200u);
    EXPECT_STREQ(c.Text(Configuration::InstrumentName), "Sonic A");
    EXPECT_STREQ(c.Text(Configuration::SerialNumber), "0815");
    EXPECT_STREQ(c.Text(Configuration::RawArchiveDirectory), "E:\\Raw");
    EXPECT_STREQ(c.Text(Configuration::RawFileTemplate), "st<YYYYMMDD>_raw.dat");
    // Not configured: follows the configured data directory.
    EXPECT_STREQ(c.Text(Configuration::StatsArchiveDirectory), "D:\\Station");
    EXPECT_EQ(c.SourceOf(Configuration::StatsArchiveDirectory), Configuration::FromDefault);
    EXPECT_STREQ(c.Text(Configuration::StatsFileTemplate), "st<YYJJJ>_stats.dat");
    EXPECT_EQ(c.Number(Configuration::RawTimeKeyFormat), 1u);
    EXPECT_EQ(c.Number(Configuration::RawTimeKeyEnabled), 0u);
    EXPECT_EQ(c.Number(Configuration::QualityControl), 0u);
    EXPECT_EQ(c.Number(Configuration::BlackoutPeriod), 0u);
    EXPECT_EQ(c.Number(Configuration::RawArchivePeriod), 0u);
    EXPECT_EQ(c.Number(Configuration::StatsArchivePeriod), 1800u);
    EXPECT_EQ(c.Number(Configuration::FileCompression), 1u);
    EXPECT_EQ(c.Number(Configuration::CompressionAge), 7200u);
    EXPECT_EQ(c.SourceOf(Configuration::ComPort), Configuration::FromRegistry);
    EXPECT_EQ(c.SourceOf(Configuration::DataDirectory), Configuration::FromRegistry);
    // Nothing was created for the directories.
    EXPECT_FALSE(std::filesystem::exists(root.Path() + "/d/Station"));
    EXPECT_FALSE(std::filesystem::exists(root.Path() + "/e/Raw"));
}

TEST(Configuration, OptionsReplaceDefaultsAndRegistryValues) {
    TestRoot root;
    {
        Configuration c;
        ASSERT_EQ(Load(c, {"--port", "3", "--data-dir", "D:\\Data", "--name", "Sonic", "--serial", "42",
                           "--stats-period", "300", "--compress", "on", "--compression-age=600"}),
                  0)
            << c.Error;
        EXPECT_EQ(c.Number(Configuration::ComPort), 3u);
        EXPECT_STREQ(c.Text(Configuration::DataDirectory), "D:\\Data");
        EXPECT_STREQ(c.Text(Configuration::RawArchiveDirectory), "D:\\Data");
        EXPECT_STREQ(c.Text(Configuration::InstrumentName), "Sonic");
        EXPECT_STREQ(c.Text(Configuration::SerialNumber), "42");
        EXPECT_EQ(c.Number(Configuration::StatsArchivePeriod), 300u);
        EXPECT_EQ(c.Number(Configuration::FileCompression), 1u);
        EXPECT_EQ(c.Number(Configuration::CompressionAge), 600u);
        EXPECT_STREQ(c.Text(Configuration::TimeStamp), "start");  // the default
        for (auto setting :
             {Configuration::ComPort, Configuration::DataDirectory, Configuration::InstrumentName,
              Configuration::SerialNumber, Configuration::StatsArchivePeriod, Configuration::FileCompression,
              Configuration::CompressionAge})
            EXPECT_EQ(c.SourceOf(setting), Configuration::FromCommandLine) << setting;
        EXPECT_EQ(c.SourceOf(Configuration::BaudRate), Configuration::FromDefault);
    }
    // The option wins over the registry; values without an option keep the registry's.
    SetRegistryNumber(InstrumentKey, "ComPort", 5);
    SetRegistryNumber(InstrumentKey, "FileCompression", 1);
    SetRegistryText(ProgramKey, "DataDirectory", "E:\\Registry");
    SetRegistryText(InstrumentKey, "StatsArchiveDirectory", "E:\\Stats");
    Configuration c;
    ASSERT_EQ(
        Load(c, {"--port", "0x7", "--compress", "off", "--data-dir", "F:\\Option", "--time-stamp", "end"}), 0)
        << c.Error;
    EXPECT_STREQ(c.Text(Configuration::TimeStamp), "end");
    EXPECT_EQ(c.Number(Configuration::ComPort), 7u);
    EXPECT_EQ(c.Number(Configuration::FileCompression), 0u);
    EXPECT_STREQ(c.Text(Configuration::DataDirectory), "F:\\Option");
    EXPECT_STREQ(c.Text(Configuration::RawArchiveDirectory), "F:\\Option");
    EXPECT_STREQ(c.Text(Configuration::StatsArchiveDirectory), "E:\\Stats");
    EXPECT_EQ(c.SourceOf(Configuration::StatsArchiveDirectory), Configuration::FromRegistry);
    // A bad registry value is not reported when an option replaces it.
    SetRegistryNumber(InstrumentKey, "ComPort", 0);
    Configuration replaced;
    EXPECT_EQ(Load(replaced, {"--port", "2"}), 0) << replaced.Error;
}

// The port is a number, a COM name or, where the system has them, a device path; the last
// one given wins over the registry's.
TEST(Configuration, PortIsANumberAComNameOrADevicePath) {
    TestRoot root;
    SetRegistryText(InstrumentKey, "PortDevice", "COM4");
    Configuration fromRegistry;
    ASSERT_EQ(Load(fromRegistry, {}), 0) << fromRegistry.Error;
    EXPECT_EQ(fromRegistry.PortNumber(), 4u);
    EXPECT_EQ(fromRegistry.PortDeviceName(), "\\\\.\\COM4");
    Configuration named;
    ASSERT_EQ(Load(named, {"--port", "com12"}), 0) << named.Error;
    EXPECT_EQ(named.PortName(), "COM12");
    EXPECT_STREQ(named.DevicePath(), "");
    if (!KestruneIsNativePath("/dev/ttyUSB0"))
        return;  // device paths are the POSIX layer's
    SetRegistryText(InstrumentKey, "PortDevice", "/dev/serial/by-id/usb-x-port0");
    Configuration device;
    ASSERT_EQ(Load(device, {}), 0) << device.Error;
    EXPECT_EQ(device.PortName(), "/dev/serial/by-id/usb-x-port0");
    EXPECT_EQ(device.PortDeviceName(), "/dev/serial/by-id/usb-x-port0");
    Configuration numbered;
    ASSERT_EQ(Load(numbered, {"--port", "3"}), 0) << numbered.Error;
    EXPECT_EQ(numbered.PortName(), "COM3");
    Configuration directory;
    EXPECT_EQ(Load(directory, {"--port", root.Path()}), Configuration::UsageStatus);
    EXPECT_EQ(std::string(directory.Error).rfind("kestrune: bad PortDevice ", 0), 0u) << directory.Error;
}

TEST(Configuration, CommandsAndBadCommandLines) {
    TestRoot root;
    struct Case {
        std::vector<std::string> Arguments;
        int Status;
        Configuration::Command Action;
        const char *Error;
    };
    const Case cases[] = {
        {{"--help"}, 0, Configuration::ShowHelp, ""},
        {{"--version"}, 0, Configuration::ShowVersion, ""},
        {{"--show-config"}, 0, Configuration::ShowConfig, ""},
        {{"status"}, 0, Configuration::ShowStatus, ""},
        {{"--bogus"}, 2, Configuration::Run, "kestrune: unknown option \"--bogus\"; see kestrune --help."},
        {{"acquire"}, 2, Configuration::Run, "kestrune: unknown argument \"acquire\"; see kestrune --help."},
        {{"--json"}, 2, Configuration::Run, "kestrune: unknown option \"--json\"; see kestrune --help."},
        {{"--port"},
         2,
         Configuration::Run,
         "kestrune: the option --port needs a value; see kestrune --help."},
    };
    for (const Case &test : cases) {
        Configuration c;
        EXPECT_EQ(Load(c, test.Arguments), test.Status) << test.Arguments[0];
        EXPECT_EQ(c.Action, test.Action) << test.Arguments[0];
        EXPECT_STREQ(c.Error, test.Error);
    }
    Configuration status;
    EXPECT_EQ(Load(status, {"status", "--json"}), 0);
    EXPECT_TRUE(status.Json);

    for (const char *verb : {"install", "uninstall", "start", "stop"}) {
        Configuration service;
        EXPECT_EQ(Load(service, {"service", verb}), 0) << verb;
        EXPECT_EQ(service.Action, Configuration::ControlService);
        EXPECT_STREQ(service.ServiceVerb, verb);
    }
    Configuration badVerb;
    EXPECT_EQ(Load(badVerb, {"service", "restart"}), 2);
    EXPECT_STREQ(
        badVerb.Error,
        "kestrune: service needs one of install, uninstall, start, stop (given \"restart\"); see kestrune "
        "--help.");
    Configuration noVerb;
    EXPECT_EQ(Load(noVerb, {"service"}), 2);
    Configuration extra;
    EXPECT_EQ(Load(extra, {"service", "start", "now"}), 2);
    EXPECT_STREQ(extra.Error, "kestrune: unknown argument \"now\" after service start; see kestrune --help.");
    Configuration asService;
    EXPECT_EQ(Load(asService, {"--service", "--port", "3"}), 0);
    EXPECT_EQ(asService.Action, Configuration::Run);
    EXPECT_TRUE(asService.AsService);
    EXPECT_EQ(asService.Number(Configuration::ComPort), 3u);
}

const char ProgramOrigin[] =
    "the registry (HKLM\\SYSTEM\\CurrentControlSet\\Services\\QORL Data Acquisition\\Parameters, value ";
const char InstrumentOrigin[] =
    "the registry (HKLM\\SYSTEM\\CurrentControlSet\\Services\\QORL Data Acquisition\\Parameters\\Metek1, "
    "value ";

TEST(Configuration, EveryBadOptionIsNamedWithWhatIsAllowed) {
    TestRoot root;
    std::filesystem::create_directories(root.Posix("c"));
    std::ofstream(root.Posix("c/file")) << "x";
    // A file where a directory would have to be, below the test's root.
    const std::string belowAFile = root.Drive("C:\\file\\below");
    const std::string aFile = root.Drive("C:\\file");
    struct Case {
        const char *Option;
        const char *Value;
        const char *Message;
    };
    const Case cases[] = {
        {"--port", "0",
         "kestrune: bad ComPort 0 from the command line (--port); allowed: a port number from 1 to 255."},
        {"--port", "256",
         "kestrune: bad ComPort 256 from the command line (--port); allowed: a port number from 1 "
         "to 255."},
        {"--port", "COM",
         "kestrune: bad ComPort \"COM\" from the command line (--port); allowed: a port number from 1 to "
         "255."},
        {"--port", "-1",
         "kestrune: bad ComPort \"-1\" from the command line (--port); allowed: a port number from 1 to "
         "255."},
        {"--port", "4294967296",
         "kestrune: bad ComPort \"4294967296\" from the command line (--port); allowed: a port number from 1 "
         "to "
         "255."},
        {"--data-dir", "Data",
         "kestrune: bad DataDirectory \"Data\" from the command line (--data-dir); allowed: an absolute path "
         "such as "
         "C:\\Data\\Station of at most 200 characters, without * ? \" < > |, that is a directory or can be "
         "made "
         "one."},
        {"--data-dir", belowAFile.c_str(), nullptr},
        {"--data-dir", aFile.c_str(), nullptr},
        {"--data-dir", "C:\\a*b", nullptr},
        {"--data-dir", "/tmp/da*ta", nullptr},
        {"--name", "",
         "kestrune: bad InstrumentName \"\" from the command line (--name); allowed: 1 to 100 "
         "printable characters."},
        {"--name", "tab\there", nullptr},
        {"--serial", "",
         "kestrune: bad SerialNumber \"\" from the command line (--serial); allowed: 1 to 100 "
         "printable characters."},
        {"--stats-period", "0",
         "kestrune: bad StatsArchivePeriod 0 from the command line (--stats-period); "
         "allowed: 1 to 86400 seconds, a divisor of a day (86400)."},
        {"--stats-period", "7", nullptr},
        {"--stats-period", "172800", nullptr},
        {"--stats-period", "60s", nullptr},
        {"--compress", "yes",
         "kestrune: bad FileCompression \"yes\" from the command line (--compress); allowed: "
         "0 or 1 (on the command line: off or on)."},
        {"--compression-age", "31536001",
         "kestrune: bad CompressionAge 31536001 from the command line "
         "(--compression-age); allowed: 0 to 31536000 seconds."},
        {"--compression-age", "", nullptr},
        {"--flux-period", "59",
         "kestrune: bad FluxPeriod 59 from the command line (--flux-period); allowed: 0 (no fluxes) or 60 to "
         "86400 seconds, a divisor of a day (86400)."},
        {"--flux-period", "1000", nullptr},
        {"--measurement-height", "0",
         "kestrune: bad MeasurementHeight \"0\" from the command line (--measurement-height); allowed: a "
         "decimal number of metres greater than 0 and at most 1000, such as 2.5."},
        {"--measurement-height", "2,5", nullptr},
        {"--measurement-height", "1e2", nullptr},
        {"--displacement-height", "2.0", nullptr},  // not below the default height of 2
        {"--displacement-height", "-0.1", nullptr},
        {"--latitude", "90.5", nullptr},
        {"--latitude", "north", nullptr},
        {"--air-pressure", "499.9", nullptr},
        {"--air-pressure", "1100.01", nullptr},
        {"--north-offset", "361", nullptr},
        {"--north-offset", "-", nullptr},
        {"--time-stamp", "middle",
         "kestrune: bad TimeStamp \"middle\" from the command line (--time-stamp); allowed: start (each "
         "record at its line's first byte) or end (at its line feed)."},
        {"--time-stamp", "Start", nullptr},
    };
    for (const Case &test : cases) {
        Configuration c;
        EXPECT_EQ(Load(c, {test.Option, test.Value}), Configuration::UsageStatus)
            << test.Option << " " << test.Value;
        const std::string error = c.Error;
        if (test.Message != nullptr) {
            EXPECT_EQ(error, test.Message);
        }
        EXPECT_NE(error.find(std::string("from the command line (") + test.Option + "); allowed: "),
                  std::string::npos)
            << error;
        EXPECT_EQ(error.find('\n'), std::string::npos);
    }
    EXPECT_FALSE(std::filesystem::exists(root.Posix("c/Data")));
}

TEST(Configuration, EveryBadRegistryValueIsNamedWithItsKey) {
    const std::string LongName(101, 'x');
    struct Case {
        bool Instrument;
        const char *Name;
        bool IsText;
        DWORD Number;
        const char *Text;
        const char *Message;  // after the origin's "value NAME); allowed: "
    };
    const Case cases[] = {
        {false, "DataDirectory", true, 0, "C:relative", nullptr},
        {false, "DataDirectory", false, 5, nullptr,
         "a REG_SZ value of an absolute path such as C:\\Data\\Station of at most 200 characters, without * "
         "? \" < "
         "> |, that is a directory or can be made one."},
        {false, "PriorityClass", false, 0x10, nullptr,
         "one of 0x40 (idle), 0x4000 (below normal), 0x20 (normal), 0x8000 (above normal), 0x80 (high), "
         "0x100 "
         "(realtime)."},
        {false, "AffinityMask", false, 0, nullptr, "a nonzero mask of logical processors."},
        {true, "ComPort", true, 0, "3", "a REG_DWORD value of a port number from 1 to 255."},
        {true, "BaudRate", false, 57601, nullptr,
         "one of 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200."},
        {true, "InstrumentName", true, 0, LongName.c_str(), "1 to 100 printable characters."},
        {true, "SerialNumber", false, 666, nullptr, "a REG_SZ value of 1 to 100 printable characters."},
        {true, "RawArchiveDirectory", true, 0, "C:\\x\"y", nullptr},
        {true, "RawFileTemplate", true, 0, "lab0<YYJJJHH_raw.txt",
         "a file name of at most 200 characters whose date fields such as <YYJJJHH> are closed, expanding to "
         "a "
         "name without \\ / : * ? \" < > |."},
        {true, "RawFileTemplate", true, 0, "sub\\lab0<YYJJJHH>_raw.txt", nullptr},
        {true, "RawFileTemplate", true, 0, "", nullptr},
        {true, "StatsArchiveDirectory", true, 0, "", nullptr},
        {true, "StatsFileTemplate", true, 0, "<SS>", nullptr},
        {true, "RawTimeKeyFormat", false, 3, nullptr, "0 (no time key), 1 (HHMMSSMMM) or 2 (MMSSMMM)."},
        {true, "RawTimeKeyEnabled", false, 2, nullptr, "0 or 1."},
        {true, "QualityControl", false, 2, nullptr, "0 or 1."},
        {true, "BlackoutPeriod", false, 3601, nullptr, "0 to 3600 seconds."},
        {true, "RawArchivePeriod", false, 86401, nullptr, "0 (raw archiving off) to 86400 seconds."},
        {true, "StatsArchivePeriod", false, 7, nullptr, "1 to 86400 seconds, a divisor of a day (86400)."},
        {true, "FileCompression", false, 2, nullptr, "0 or 1 (on the command line: off or on)."},
        {true, "CompressionAge", false, 0xFFFFFFFF, nullptr, "0 to 31536000 seconds."},
        {true, "FluxPeriod", false, 86401, nullptr,
         "0 (no fluxes) or 60 to 86400 seconds, a divisor of a day (86400)."},
        {true, "FluxPeriod", true, 0, "1800", nullptr},
        {true, "FluxFileTemplate", true, 0, "flux\\<YYJJJ>.csv", nullptr},
        {true, "MeasurementHeight", false, 2, nullptr, nullptr},  // decimals are REG_SZ text
        {true, "MeasurementHeight", true, 0, " 2", nullptr},
        {true, "DisplacementHeight", true, 0, "3", nullptr},
        {true, "Latitude", true, 0, "-90.01", nullptr},
        {true, "AirPressure", true, 0, "", nullptr},
        {true, "NorthOffset", true, 0, "12.5.1", nullptr},
        {true, "DespikeThreshold", true, 0, "0",
         "a decimal number greater than 0 and at most 1000 (multiples of the scaled MAD)."},
    };
    for (const Case &test : cases) {
        TestRoot root;
        const char *key = test.Instrument ? InstrumentKey : ProgramKey;
        if (test.IsText)
            SetRegistryText(key, test.Name, test.Text);
        else
            SetRegistryNumber(key, test.Name, test.Number);
        Configuration c;
        EXPECT_EQ(Load(c, {}), Configuration::UsageStatus) << test.Name;
        const std::string error = c.Error;
        const std::string origin =
            std::string(test.Instrument ? InstrumentOrigin : ProgramOrigin) + test.Name + "); allowed: ";
        EXPECT_EQ(error.rfind(std::string("kestrune: bad ") + test.Name + " ", 0), 0u) << error;
        EXPECT_NE(error.find(origin), std::string::npos) << error;
        if (test.Message != nullptr) {
            EXPECT_EQ(error.substr(error.find(origin) + origin.size()), test.Message);
        }
    }
}

TEST(Configuration, ShowsEachValueWithItsSource) {
    TestRoot root;
    SetRegistryNumber(InstrumentKey, "BaudRate", 9600);
    Configuration c;
    ASSERT_EQ(Load(c, {"--show-config", "--port", "3"}), 0) << c.Error;
    const std::string text = c.Describe();
    EXPECT_EQ(text,
              "Registry key: HKLM\\SYSTEM\\CurrentControlSet\\Services\\QORL Data Acquisition\\Parameters "
              "(instrument values in its subkey Metek1)\n"
              "DataDirectory          default      C:\\Data\\Code\\Projects\\Win32Console\\Kestrune\n"
              "PriorityClass          default      0x100 (realtime)\n"
              "AffinityMask           default      0x4\n"
              "ComPort                command line 3\n"
              "PortDevice             command line \n"
              "BaudRate               registry     9600\n"
              "InstrumentName         default      Metek\n"
              "SerialNumber           default      666\n"
              "RawArchiveDirectory    default      C:\\Data\\Code\\Projects\\Win32Console\\Kestrune\n"
              "RawFileTemplate        default      lab0<YYJJJHH>_raw.txt\n"
              "StatsArchiveDirectory  default      C:\\Data\\Code\\Projects\\Win32Console\\Kestrune\n"
              "StatsFileTemplate      default      lab0<YYJJJHH>_stats.txt\n"
              "RawTimeKeyFormat       default      2\n"
              "RawTimeKeyEnabled      default      1\n"
              "QualityControl         default      1\n"
              "BlackoutPeriod         default      6\n"
              "RawArchivePeriod       default      60\n"
              "StatsArchivePeriod     default      60\n"
              "FileCompression        default      0\n"
              "CompressionAge         default      3600\n"
              "FluxPeriod             default      1800\n"
              "FluxFileTemplate       default      lab0<YYJJJ>_flux.csv\n"
              "MeasurementHeight      default      2.0\n"
              "DisplacementHeight     default      0\n"
              "Latitude               default      50\n"
              "AirPressure            default      1013.25\n"
              "NorthOffset            default      0\n"
              "DespikeThreshold       default      7\n"
              "TimeStamp              default      start\n");
}

TEST(Configuration, DecimalSettingsFromTheRegistryAndTheCommandLine) {
    TestRoot root;
    SetRegistryText(InstrumentKey, "MeasurementHeight", "12.5");
    SetRegistryText(InstrumentKey, "Latitude", "-33.25");
    SetRegistryNumber(InstrumentKey, "FluxPeriod", 0);
    Configuration c;
    // The displacement is checked against the height from the registry.
    ASSERT_EQ(Load(c, {"--displacement-height", "10", "--north-offset", "-45", "--air-pressure", "850"}), 0)
        << c.Error;
    const flux::Settings flux = c.Flux();
    EXPECT_EQ(flux.Period, 0u);
    EXPECT_EQ(flux.MeasurementHeight, 12.5);
    EXPECT_EQ(flux.DisplacementHeight, 10.0);
    EXPECT_EQ(flux.Latitude, -33.25);
    EXPECT_EQ(flux.NorthOffset, -45.0);
    EXPECT_EQ(flux.AirPressure, 850.0);
}

}  // namespace
