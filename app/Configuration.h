// The program's configuration: every setting with its default, its registry value and its
// command-line option.
//
// The defaults are the station's original fixed configuration, so that a program started
// without arguments on a machine without configured values behaves as it always did.
// Values are taken from the registry, program-wide ones from the parameter key and the
// instrument's from its subkey (where the archive bookkeeping also lives). The options of
// the options file (app/OptionsFile.h) override the registry, and the command line
// overrides all: command line > options file > registry > defaults. The options file also
// decides the station root, which is put into KESTRUNE_ROOT before the registry is read, so
// that the program and the tools that load a Configuration meet the same station.
// Every value is checked before anything starts; a bad one is
// described in one line that names the value, where it came from and what is allowed.
//
// Reading never writes: the registry keys are only opened, and a directory that does not
// exist yet is only checked for whether it could be created.
#pragma once

#include <string>
#include <vector>

#include "app/OptionsFile.h"
#include "flux/Flux.h"
#include "platform/win32.h"

class Configuration {
public:
    // Exit status for a bad value or a bad command line.
    static constexpr int UsageStatus = 2;

    // The parameter key below HKEY_LOCAL_MACHINE, and the acquisition's subkey below it.
    static const char ParameterKey[];
    static const char InstrumentSubkey[];

    // What the command line asks for.
    enum Command { Run, ShowConfig, ShowHelp, ShowVersion, ShowStatus, ControlService };

    // Where a value came from.
    enum Source { FromDefault, FromRegistry, FromOptionsFile, FromCommandLine };

    // The settings, in the order they are shown.
    enum Setting {
        DataDirectory,
        PriorityClass,
        AffinityMask,
        ComPort,
        PortDevice,
        BaudRate,
        InstrumentName,
        SerialNumber,
        RawArchiveDirectory,
        RawFileTemplate,
        StatsArchiveDirectory,
        StatsFileTemplate,
        RawTimeKeyFormat,
        RawTimeKeyEnabled,
        QualityControl,
        BlackoutPeriod,
        RawArchivePeriod,
        StatsArchivePeriod,
        FileCompression,
        CompressionAge,
        FluxPeriod,
        FluxFileTemplate,
        MeasurementHeight,
        DisplacementHeight,
        Latitude,
        AirPressure,
        NorthOffset,
        DespikeThreshold,
        TimeStamp,
        SettingCount
    };

    // Every setting at its default.
    Configuration();

    // Reads the command line (argv[0] is the program), then the registry, puts the options
    // over the registry's values and checks every value. Returns 0, or UsageStatus with
    // Error holding the one-line description of the first problem. With --help, --version
    // or a service command nothing is read from the registry.
    int Load(int argc, const char *const *argv);

    // The value of a text or a number setting.
    const char *Text(Setting setting) const;
    DWORD Number(Setting setting) const;
    // A decimal setting (REG_SZ text such as "2.5") as its number.
    double Decimal(Setting setting) const;
    // The flux computation's settings.
    flux::Settings Flux() const;
    Source SourceOf(Setting setting) const;
    // The registry value name of a setting, and its option ("--port"), or null.
    static const char *NameOf(Setting setting);
    static const char *OptionOf(Setting setting);

    // The full key of a setting below HKEY_LOCAL_MACHINE.
    static std::string KeyOf(Setting setting);

    // The effective configuration, one line per setting with where it came from.
    std::string Describe() const;
    // Where the program's directories and its port are on this system, where the platform
    // maps them (the folder below the station root a drive path stands for, the tty a COM
    // port opens); empty where every value is the system's own already. Looks only: nothing
    // is made.
    std::string DescribeNative() const;
    // The COM port's number (ComPort, or PortDevice given as "COM<n>").
    WORD PortNumber() const;
    // PortDevice when it names a device by its path, else "".
    const char *DevicePath() const;
    // The port's device name for CreateFileA: DevicePath() when set, else "\\.\COM<n>".
    std::string PortDeviceName() const;
    // The port's name in messages: DevicePath() when set, else "COM<n>".
    std::string PortName() const;
    // The usage text of --help.
    static std::string Usage();

    Command Action = Run;
    // With the command "status": --json was given.
    bool Json = false;
    // With the command "service": what to do ("install", "uninstall", "start", "stop"), kept
    // here so that it does not depend on the argument vector outliving the configuration.
    char ServiceVerb[16] = {};
    // --service: the program runs under the service control manager.
    bool AsService = false;
    char Error[1000] = {};
    // The registry store could not be read at all (a damaged store, ERROR_BADDB): its values
    // are left out, and StoreError holds the code.
    bool StoreUnreadable = false;
    LONG StoreError = 0;
    // Whether every value a station sets for itself (the port, the directory, the identity,
    // the periods, compression and the flux settings) came from the command line or the
    // options file, so that nothing of an unreadable store is needed.
    bool AllOptionsGiven() const;
    // --instance NAME, or empty.
    std::string Instance;
    // The options file looked for (Options.Exists: it was found and read).
    OptionsFile Options;
    // The station root in force after Load; empty: the platform's default.
    std::string Root;

private:
    struct Value {
        DWORD Number = 0;
        char Text[MAX_PATH] = {};
        Source From = FromDefault;
        // The value as given, for the message about it (an option's text may not be a number).
        char Given[MAX_PATH] = {};
    };

    // What ParseCommandWord made of a word: not one of its words (a setting's option, then),
    // a word taken (parsing goes on), or the end of the parsing.
    enum WordResult { NotACommandWord, CommandWordTaken, CommandLineDone };

    int ParseArguments(int argc, const char *const *argv, bool fromFile);
    WordResult ParseCommandWord(int argc, const char *const *argv, int &i, int &status);
    int ParseInstance(int argc, const char *const *argv, int &i);
    int ParseService(int argc, const char *const *argv, int i);
    int ParseSettingOption(int argc, const char *const *argv, int &i, const char **options,
                           const char *where);
    int ReadOptionsFile();
    int ApplyOptions(const char *const *options, Source from);
    int ReadRegistry();
    int ReadKey(bool instrument);
    int Check();
    bool IsValid(Setting setting) const;
    bool IsValidText(Setting setting) const;
    bool IsValidDecimal(Setting setting) const;
    bool IsValidNumber(Setting setting) const;
    int Fail(Setting setting, const char *allowed);
    void SetText(Setting setting, const char *text, Source from);
    void SetNumber(Setting setting, DWORD number, Source from);
    std::string Origin(Setting setting) const;

    Value Values[SettingCount];
    // Options given on the command line and in the options file, applied after the registry
    // was read; the file's point into FileWords.
    const char *CommandLine[SettingCount] = {};
    const char *FileOptions[SettingCount] = {};
    std::vector<std::string> FileWords;
};
