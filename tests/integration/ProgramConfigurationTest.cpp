// The program with its configuration: options and registry values reach the acquisition (a
// run on COM3 into another data directory against the simulator), a bad value ends the
// program with status 2 and one line on stderr before anything is created, and
// --show-config, --help and --version print without acquiring. And `kestrune status` on a
// live run and on a stopped one.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "common/ChildProgram.h"
#include "common/LogEntries.h"
#include "common/TestRoot.h"
#include "platform/win32.h"

namespace {

const std::string BinDir = KESTRUNE_BIN_DIR;

// Every path below the root except the registry store (reading a key opens the store) and
// the drive folders, which the platform layer makes on first use as a drive that exists.
std::vector<std::string> CreatedPaths(const TestRoot &root) {
    std::vector<std::string> paths;
    for (const auto &entry : std::filesystem::recursive_directory_iterator(root.Path())) {
        const std::string relative = entry.path().string().substr(root.Path().size() + 1);
        if (relative.rfind("registry.db", 0) == 0 || relative.size() == 1 ||
            relative.find(".err") != std::string::npos)
            continue;
        paths.push_back(relative);
    }
    return paths;
}

size_t RawLineCount(const std::string &directory) {
    size_t count = 0;
    for (const auto &path : FilesEndingWith(directory, "_raw.txt")) {
        const std::string text = FileText(path);
        const size_t lines = static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
        count += lines > 0 ? lines - 1 : 0;  // without the header
    }
    return count;
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

const char InstrumentKey[] = "SYSTEM\\CurrentControlSet\\Services\\QORL Data Acquisition\\Parameters\\Metek1";

TEST(ProgramConfiguration, RunsOnThePortAndInTheDirectoryGiven) {
    TestRoot root;
    // 4500 lines at 1000 a second: one full buffer and a second one handed over at the stop.
    const int count = 4500;
    ChildProgram sim({BinDir + "/kestrune-sim", "--rate", "1000", "--count", std::to_string(count),
                      "--preamble", "1", "--after-flush", "--linger"},
                     {}, root.Path() + "/usonic-sim.err");
    ASSERT_TRUE(sim.Started());
    const std::string device = sim.ReadLine();
    ASSERT_FALSE(device.empty());

    // COM1 leads nowhere: the run can only succeed on COM3.
    ChildProgram program({BinDir + "/kestrune", "--port", "3", "--data-dir", "D:\\Station\\Data", "--name",
                          "Sonic", "--serial", "0815", "--stats-period", "30"},
                         {"KESTRUNE_COM3=" + device, "KESTRUNE_COM1=" + root.Path() + "/no-such-port"},
                         root.Path() + "/kestrune.err");
    ASSERT_TRUE(program.Started());
    const std::string data = root.Path() + "/d/Station/Data";
    ASSERT_TRUE(WaitForDirectory(
        data, [&] { return RawLineCount(data) >= 4000; }, 120))
        << "raw lines seen: " << RawLineCount(data);
    EXPECT_EQ(sim.ReadLine(), "done " + std::to_string(count + 1));  // with the preamble line
    program.Kill(SIGTERM);
    EXPECT_EQ(program.Wait(), 0);
    sim.CloseInput();
    EXPECT_EQ(sim.Wait(), 0);

    EXPECT_EQ(RawLineCount(data), static_cast<size_t>(count));
    for (const auto &path : FilesEndingWith(data, "_raw.txt")) {
        const std::string text = FileText(path);
        EXPECT_NE(text.substr(0, text.find('\r')).find(" Sonic (SN: 0815)"), std::string::npos)
            << text.substr(0, 80);
    }
    EXPECT_FALSE(std::filesystem::exists(root.Path() + "/c/Data"));
    // The event log of the run is in the directory given, with the 30-second period.
    bool periodLogged = false;
    for (const auto &entry : std::filesystem::directory_iterator(data))
        if (entry.path().extension() == ".log")
            periodLogged =
                periodLogged || FileText(entry.path().string())
                                        .find("Statistics enabled with an averaging period of 30 seconds.") !=
                                    std::string::npos;
    EXPECT_TRUE(periodLogged);
}

TEST(ProgramConfiguration, BadValueEndsWithStatusTwoBeforeAnythingIsCreated) {
    struct Case {
        std::vector<std::string> Arguments;
        DWORD RegistryPort;  // 0: none set
        const char *Message;
    };
    const Case cases[] = {
        {{"--port", "0"},
         0,
         "kestrune: bad ComPort 0 from the command line (--port); allowed: a port number from 1 to 255."},
        {{"--stats-period", "7"},
         0,
         "kestrune: bad StatsArchivePeriod 7 from the command line (--stats-period); allowed: 1 to 86400 "
         "seconds, a "
         "divisor of a day (86400)."},
        {{"--flux-period", "61"},
         0,
         "kestrune: bad FluxPeriod 61 from the command line (--flux-period); allowed: 0 (no fluxes) or 60 to "
         "86400 seconds, a divisor of a day (86400)."},
        {{"--latitude", "91"},
         0,
         "kestrune: bad Latitude \"91\" from the command line (--latitude); allowed: a decimal number of "
         "degrees from -90 to 90."},
        {{"--unknown"}, 0, "kestrune: unknown option \"--unknown\"; see kestrune --help."},
        {{"--port", "/"},
         0,
         "kestrune: bad PortDevice \"/\" from the command line (--port); allowed: empty (the COM port "
         "ComPort), "
         "COM1 to COM255, or the absolute path of a serial device such as /dev/ttyUSB0 or "
         "/dev/serial/by-id/... "
         "of at most 200 characters, not a directory."},
        {{"--data-dir", "srv/flux/data"},
         0,
         "kestrune: bad DataDirectory \"srv/flux/data\" from the command line (--data-dir); allowed: an "
         "absolute "
         "path such as C:\\Data\\Station of at most 200 characters, without * ? \" < > |, that is a "
         "directory or "
         "can be made one."},
        {{},
         300,
         "kestrune: bad ComPort 300 from the registry (HKLM\\SYSTEM\\CurrentControlSet\\Services\\QORL Data "
         "Acquisition\\Parameters\\Metek1, value ComPort); allowed: a port number from 1 to 255."},
    };
    for (const Case &test : cases) {
        TestRoot root;
        if (test.RegistryPort != 0)
            SetRegistryNumber(InstrumentKey, "ComPort", test.RegistryPort);
        std::vector<std::string> args = {BinDir + "/kestrune"};
        args.insert(args.end(), test.Arguments.begin(), test.Arguments.end());
        ChildProgram program(args, {"KESTRUNE_COM1=" + root.Path() + "/no-such-port"},
                             root.Path() + "/kestrune.err");
        ASSERT_TRUE(program.Started());
        EXPECT_EQ(program.ReadAll(), "");
        EXPECT_EQ(program.Wait(), 2);
        EXPECT_EQ(FileText(root.Path() + "/kestrune.err"), std::string(test.Message) + "\n");
        EXPECT_EQ(CreatedPaths(root), std::vector<std::string>{});
    }
}

// --show-config makes nothing, not even the registry store or a drive folder, and shows where
// the directories and the port are on this system.
TEST(ProgramConfiguration, ShowConfigOnlyReadsAndNamesTheNativeFolderAndDevice) {
    TestRoot root;
    {
        ChildProgram program({BinDir + "/kestrune", "--show-config", "--data-dir", "S:\\Station"},
                             {"KESTRUNE_COM1=/dev/ttyUSB7"}, "");
        const std::string text = program.ReadAll();
        EXPECT_EQ(program.Wait(), 0);
        EXPECT_NE(text.find("\nOn this system:\nDataDirectory          " + root.Path() + "/s/Station\n"),
                  std::string::npos)
            << text;
        EXPECT_NE(text.find("\nPort                   /dev/ttyUSB7 (COM1)\n"), std::string::npos) << text;
    }
    {
        ChildProgram program({BinDir + "/kestrune", "--show-config", "--port",
                              "/dev/serial/by-id/usb-x-port0", "--data-dir", "/srv/flux/data"},
                             {}, "");
        const std::string text = program.ReadAll();
        EXPECT_EQ(program.Wait(), 0);
        EXPECT_NE(text.find("\nPortDevice             command line /dev/serial/by-id/usb-x-port0\n"),
                  std::string::npos)
            << text;
        EXPECT_NE(text.find("\nRawArchiveDirectory    /srv/flux/data\n"), std::string::npos) << text;
        EXPECT_NE(text.find("\nPort                   /dev/serial/by-id/usb-x-port0\n"), std::string::npos)
            << text;
    }
    EXPECT_TRUE(std::filesystem::is_empty(root.Path()));
}

TEST(ProgramConfiguration, ShowConfigHelpAndVersionPrintWithoutAcquiring) {
    TestRoot root;
    SetRegistryNumber(InstrumentKey, "BaudRate", 9600);
    {
        ChildProgram program({BinDir + "/kestrune", "--show-config", "--data-dir", "D:\\Station"}, {},
                             root.Path() + "/kestrune.err");
        const std::string text = program.ReadAll();
        EXPECT_EQ(program.Wait(), 0);
        EXPECT_NE(text.find("\nDataDirectory          command line D:\\Station\n"), std::string::npos)
            << text;
        EXPECT_NE(text.find("\nBaudRate               registry     9600\n"), std::string::npos) << text;
        EXPECT_NE(text.find("\nComPort                default      1\n"), std::string::npos) << text;
        EXPECT_NE(text.find("\nRawArchiveDirectory    default      D:\\Station\n"), std::string::npos)
            << text;
    }
    {
        ChildProgram program({BinDir + "/kestrune", "--help"}, {}, root.Path() + "/kestrune.err");
        const std::string text = program.ReadAll();
        EXPECT_EQ(program.Wait(), 0);
        for (const char *option :
             {"--port", "--data-dir", "--name", "--serial", "--stats-period", "--compress",
              "--compression-age", "--flux-period", "--measurement-height", "--displacement-height",
              "--latitude", "--air-pressure", "--north-offset", "--show-config", "--version", "status"})
            EXPECT_NE(text.find(option), std::string::npos) << option;
    }
    {
        ChildProgram program({BinDir + "/kestrune", "--version"}, {}, root.Path() + "/kestrune.err");
        const std::string text = program.ReadAll();
        EXPECT_EQ(program.Wait(), 0);
        EXPECT_EQ(text.rfind("kestrune ", 0), 0u) << text;
    }
    EXPECT_EQ(CreatedPaths(root), std::vector<std::string>{});
}

// Where there is no Windows service control manager, every service command and --service end
// with status 1 and one line saying so, and touch nothing.
TEST(ProgramService, CommandsFailCleanlyWithoutAServiceControlManager) {
    TestRoot root;
    const std::vector<std::vector<std::string>> commands = {{"service", "install"},
                                                            {"service", "uninstall"},
                                                            {"service", "start"},
                                                            {"service", "stop"},
                                                            {"--service"}};
    for (const auto &command : commands) {
        std::vector<std::string> args = {BinDir + "/kestrune"};
        args.insert(args.end(), command.begin(), command.end());
        const std::string errPath = root.Path() + "/service.err";
        ChildProgram program(args, {}, errPath);
        EXPECT_EQ(program.ReadAll(), "");
        EXPECT_EQ(program.Wait(), 1) << command.back();
        const std::string what = command.size() == 2 ? command[0] + " " + command[1] : command[0];
        const std::string message =
            "kestrune: " + what +
            (command.size() == 2 ? ": cannot open the service control manager"
                                 : ": cannot connect to the service control manager") +
            " (error 120): there is no Windows service control manager on this system (on Linux use the "
            "systemd unit).\n";
        EXPECT_EQ(FileText(errPath), message);
    }
    EXPECT_EQ(CreatedPaths(root), std::vector<std::string>{});
}

// Runs `kestrune status --json` and returns its exit status, its output in json.
int Status(const TestRoot &root, std::string *json) {
    ChildProgram status({BinDir + "/kestrune", "status", "--json"}, {}, root.Path() + "/status.err");
    *json = status.ReadAll();
    return status.Wait();
}

TEST(ProgramStatus, TellsALiveRunFromAStoppedOne) {
    TestRoot root;
    const std::string data = root.Path() + "/c/Data/Code/Projects/Win32Console/Kestrune";
    const int count = 6000;
    // Every 1000th line is over-long and cut: the day's cut lines are counted.
    ChildProgram sim({BinDir + "/kestrune-sim", "--rate", "1000", "--count", std::to_string(count),
                      "--overlong", "1000", "--preamble", "1", "--after-flush", "--linger"},
                     {}, root.Path() + "/usonic-sim.err");
    ASSERT_TRUE(sim.Started());
    const std::string device = sim.ReadLine();
    ASSERT_FALSE(device.empty());
    ChildProgram program({BinDir + "/kestrune", "--stats-period", "1"}, {"KESTRUNE_COM1=" + device},
                         root.Path() + "/kestrune.err");
    ASSERT_TRUE(program.Started());
    // The first buffer is archived (the bookkeeping follows its 5017 entry) and a statistics
    // period has been written.
    auto logHas = [&](const char *text) {
        for (const auto &entry : std::filesystem::directory_iterator(data))
            if (entry.path().extension() == ".log" &&
                FileText(entry.path().string()).find(text) != std::string::npos)
                return true;
        return false;
    };
    ASSERT_TRUE(WaitForDirectory(
        data, [&] { return RawLineCount(data) >= 3000 && logHas("  5003  ") && logHas("  5302  "); }, 120));
    // The pass's bookkeeping comes after its raw and flux writes: wait until it is recorded.
    std::string json;
    ASSERT_TRUE(WaitForDirectory(
        data,
        [&] { return Status(root, &json) >= 0 && json.find("\"lastArchived\":null") == std::string::npos; },
        60))
        << json;

    EXPECT_EQ(Status(root, &json), 0) << json;
    EXPECT_NE(json.find("\"running\":true,\"pid\":" + std::to_string(program.Pid()) + ","), std::string::npos)
        << json;
    EXPECT_EQ(json.find("\"lastArchived\":null"), std::string::npos) << json;
    EXPECT_EQ(json.find("\"lastStatistics\":null"), std::string::npos) << json;
    EXPECT_EQ(json.find("\"cutLines\":0,"), std::string::npos) << json;
    EXPECT_NE(json.find("\"lostLines\":0,"), std::string::npos) << json;
    EXPECT_NE(json.find("\"healthy\":true"), std::string::npos) << json;

    program.Kill(SIGTERM);
    EXPECT_EQ(program.Wait(), 0);
    sim.CloseInput();
    sim.Kill(SIGTERM);

    EXPECT_EQ(Status(root, &json), 1) << json;
    EXPECT_NE(json.find("\"running\":false,\"pid\":null,"), std::string::npos) << json;
    EXPECT_EQ(json.find("\"lastArchived\":null"), std::string::npos) << json;
    EXPECT_NE(json.find("\"healthy\":false,\"reason\":\"no kestrune holds the data directory\"}"),
              std::string::npos)
        << json;
    ChildProgram text({BinDir + "/kestrune", "status"}, {}, root.Path() + "/status.err");
    const std::string lines = text.ReadAll();
    EXPECT_EQ(text.Wait(), 1);
    EXPECT_NE(lines.find("Instance:         not running\n"), std::string::npos) << lines;
}

// A damaged registry store: status and --show-config still answer and name it; a start with
// part of the configuration from the store refuses with one line that says how to recover; a
// start with every option on the command line keeps the damaged store aside and begins anew.
TEST(ProgramConfiguration, DamagedRegistryStoreIsNamedAndSetAsideOnlyWhenNothingOfItIsNeeded) {
    TestRoot root;
    const std::string store = root.Path() + "/registry.db";
    const std::string damage(8192, 'X');
    std::ofstream(store, std::ios::binary) << damage;
    const auto errLines = [&](const std::string &name) { return Lines(FileText(root.Path() + "/" + name)); };
    {
        ChildProgram show({BinDir + "/kestrune", "--show-config"}, {}, root.Path() + "/show.err");
        EXPECT_NE(show.ReadAll().find("DataDirectory"), std::string::npos);
        EXPECT_EQ(show.Wait(), 0);
        ChildProgram status({BinDir + "/kestrune", "status"}, {}, root.Path() + "/status.err");
        EXPECT_NE(status.ReadAll().find("Healthy:          no"), std::string::npos);
        EXPECT_EQ(status.Wait(), 1);
        for (const char *name : {"show.err", "status.err"}) {
            const std::vector<std::string> lines = errLines(name);
            ASSERT_EQ(lines.size(), 1u) << name;
            EXPECT_NE(lines[0].find(store), std::string::npos) << lines[0];
        }
    }
    {
        ChildProgram start({BinDir + "/kestrune", "--port", "2"}, {}, root.Path() + "/start.err");
        EXPECT_EQ(start.Wait(), 2);
        const std::vector<std::string> lines = errLines("start.err");
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_NE(lines[0].find(store + " is damaged"), std::string::npos) << lines[0];
        EXPECT_EQ(FileText(store), damage);
    }
    ChildProgram run({BinDir + "/kestrune",
                      "--port",
                      "1",
                      "--data-dir",
                      "C:\\Station",
                      "--name",
                      "Sonic",
                      "--serial",
                      "0815",
                      "--stats-period",
                      "60",
                      "--compress",
                      "off",
                      "--compression-age",
                      "3600",
                      "--time-stamp",
                      "start",
                      "--flux-period",
                      "1800",
                      "--measurement-height",
                      "2",
                      "--displacement-height",
                      "0",
                      "--latitude",
                      "50",
                      "--air-pressure",
                      "1013.25",
                      "--north-offset",
                      "0"},
                     {"KESTRUNE_COM1=" + root.Path() + "/no-such-port", "KESTRUNE_RUN_SECONDS=2"},
                     root.Path() + "/run.err");
    EXPECT_EQ(run.Wait(), 0);
    std::vector<std::string> aside;
    for (const auto &entry : std::filesystem::directory_iterator(root.Path()))
        if (entry.path().filename().string().rfind("registry.db.corrupt-", 0) == 0)
            aside.push_back(entry.path().string());
    ASSERT_EQ(aside.size(), 1u);
    EXPECT_EQ(FileText(aside[0]), damage);
    const std::vector<std::string> entries = LoggedMessages(root.Path() + "/c/Station", 5033);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_NE(entries[0].find("moved aside as " + aside[0]), std::string::npos) << entries[0];
    // The fresh store works: the status reads it without complaint.
    ChildProgram status({BinDir + "/kestrune", "status", "--data-dir", "C:\\Station"}, {},
                        root.Path() + "/after.err");
    status.ReadAll();
    status.Wait();
    EXPECT_TRUE(errLines("after.err").empty());
}

// The values a damaged store could hold may come from the options file too: the store is set
// aside just as when the command line gives them all.
TEST(ProgramConfiguration, DamagedRegistryStoreIsSetAsideWhenTheOptionsFileGivesTheValues) {
    TestRoot root;
    const std::string damage(8192, 'X');
    std::ofstream(root.Path() + "/registry.db", std::ios::binary) << damage;
    std::filesystem::create_directories(root.Path() + "/etc/default");
    std::ofstream(root.Path() + "/etc/default/kestrune")
        << "KESTRUNE_OPTIONS=\"--name Sonic --serial 0815 --stats-period 60 --compress off --compression-age "
           "3600 "
           "--time-stamp start --flux-period 1800 --measurement-height 2 --displacement-height 0 --latitude "
           "50 "
           "--air-pressure 1013.25 --north-offset 0\"\n";
    ChildProgram run({BinDir + "/kestrune", "--port", "1", "--data-dir", "C:\\Station"},
                     {"KESTRUNE_COM1=" + root.Path() + "/no-such-port", "KESTRUNE_RUN_SECONDS=2"},
                     root.Path() + "/run.err");
    EXPECT_EQ(run.Wait(), 0) << FileText(root.Path() + "/run.err");
    size_t aside = 0;
    for (const auto &entry : std::filesystem::directory_iterator(root.Path()))
        if (entry.path().filename().string().rfind("registry.db.corrupt-", 0) == 0)
            aside += FileText(entry.path().string()) == damage;
    EXPECT_EQ(aside, 1u);
    EXPECT_EQ(LoggedMessages(root.Path() + "/c/Station", 5033).size(), 1u);
}

}  // namespace
