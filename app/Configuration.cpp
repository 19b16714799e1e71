#include "app/Configuration.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "services/FileNameTemplate.h"
#include "services/StationFormats.h"

const char Configuration::ParameterKey[] =
    "SYSTEM\\CurrentControlSet\\Services\\QORL Data Acquisition\\Parameters";
const char Configuration::InstrumentSubkey[] = "Metek1";

namespace {

// Longest directory and template: leaves room for the file names joined to a directory.
const size_t MaxDirectoryLength = 200;
const size_t MaxTemplateLength = 200;
const size_t MaxIdentityLength = 100;

struct Definition {
    const char *Name;    // registry value name
    const char *Option;  // command-line option, or null
    bool Instrument;     // in the instrument's subkey, else in the parameter key
    bool IsText;         // REG_SZ, else REG_DWORD
    DWORD DefaultNumber;
    const char *DefaultText;
    const char *Allowed;  // what is allowed, for the message about a bad value
};

const char DirectoryRule[] =
    "an absolute path such as C:\\Data\\Station of at most 200 characters, without "
    "* ? \" < > |, that is a directory or can be made one";
const char TemplateRule[] =
    "a file name of at most 200 characters whose date fields such as <YYJJJHH> are "
    "closed, expanding to a name without \\ / : * ? \" < > |";
const char IdentityRule[] = "1 to 100 printable characters";
const char DeviceRule[] =
    "empty (the COM port ComPort), COM1 to COM255, or the absolute path of a serial device such as "
    "/dev/ttyUSB0 or /dev/serial/by-id/... of at most 200 characters, not a directory";
const char SwitchRule[] = "0 or 1";

// In the order of Configuration::Setting.
const Definition Definitions[Configuration::SettingCount] = {
    {"DataDirectory", "--data-dir", false, true, 0, DefaultDataDirectoryPath, DirectoryRule},
    {"PriorityClass", "--priority-class", false, false, REALTIME_PRIORITY_CLASS, nullptr,
     "one of 0x40 (idle), 0x4000 (below normal), 0x20 (normal), 0x8000 (above normal), 0x80 (high), "
     "0x100 (realtime)"},
    {"AffinityMask", "--affinity-mask", false, false, 4, nullptr, "a nonzero mask of logical processors"},
    {"ComPort", "--port", true, false, 1, nullptr, "a port number from 1 to 255"},
    {"PortDevice", "--port", true, true, 0, "", DeviceRule},
    {"BaudRate", "--baud-rate", true, false, 57600, nullptr,
     "one of 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200"},
    {"InstrumentName", "--name", true, true, 0, "Metek", IdentityRule},
    {"SerialNumber", "--serial", true, true, 0, "666", IdentityRule},
    {"RawArchiveDirectory", "--raw-dir", true, true, 0, nullptr, DirectoryRule},
    {"RawFileTemplate", "--raw-template", true, true, 0, DefaultRawFileTemplate, TemplateRule},
    {"StatsArchiveDirectory", "--stats-dir", true, true, 0, nullptr, DirectoryRule},
    {"StatsFileTemplate", "--stats-template", true, true, 0, DefaultStatsFileTemplate, TemplateRule},
    {"RawTimeKeyFormat", "--raw-time-key-format", true, false, 2, nullptr,
     "0 (no time key), 1 (HHMMSSMMM) or 2 (MMSSMMM)"},
    {"RawTimeKeyEnabled", "--raw-time-key", true, false, 1, nullptr, SwitchRule},
    {"QualityControl", "--quality-control", true, false, 1, nullptr, SwitchRule},
    {"BlackoutPeriod", "--blackout-period", true, false, 6, nullptr, "0 to 3600 seconds"},
    {"RawArchivePeriod", "--raw-period", true, false, 60, nullptr, "0 (raw archiving off) to 86400 seconds"},
    {"StatsArchivePeriod", "--stats-period", true, false, 60, nullptr,
     "1 to 86400 seconds, a divisor of a day (86400)"},
    {"FileCompression", "--compress", true, false, 0, nullptr, "0 or 1 (on the command line: off or on)"},
    {"CompressionAge", "--compression-age", true, false, 3600, nullptr, "0 to 31536000 seconds"},
    {"FluxPeriod", "--flux-period", true, false, 1800, nullptr,
     "0 (no fluxes) or 60 to 86400 seconds, a divisor of a day (86400)"},
    {"FluxFileTemplate", "--flux-template", true, true, 0, DefaultFluxFileTemplate, TemplateRule},
    {"MeasurementHeight", "--measurement-height", true, true, 0, "2.0",
     "a decimal number of metres greater than 0 and at most 1000, such as 2.5"},
    {"DisplacementHeight", "--displacement-height", true, true, 0, "0",
     "a decimal number of metres, at least 0 and less than MeasurementHeight"},
    {"Latitude", "--latitude", true, true, 0, "50", "a decimal number of degrees from -90 to 90"},
    {"AirPressure", "--air-pressure", true, true, 0, "1013.25", "a decimal number of hPa from 500 to 1100"},
    {"NorthOffset", "--north-offset", true, true, 0, "0", "a decimal number of degrees from -360 to 360"},
    {"DespikeThreshold", "--despike-threshold", true, true, 0, "7",
     "a decimal number greater than 0 and at most 1000 (multiples of the scaled MAD)"},
    {"TimeStamp", "--time-stamp", true, true, 0, "start",
     "start (each record at its line's first byte) or end (at its line feed)"},
};

const DWORD PriorityClasses[] = {IDLE_PRIORITY_CLASS,   BELOW_NORMAL_PRIORITY_CLASS,
                                 NORMAL_PRIORITY_CLASS, ABOVE_NORMAL_PRIORITY_CLASS,
                                 HIGH_PRIORITY_CLASS,   REALTIME_PRIORITY_CLASS};
const char *const PriorityClassNames[] = {"idle",         "below normal", "normal",
                                          "above normal", "high",         "realtime"};
const DWORD BaudRates[] = {1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};

// A whole number in decimal or 0x hexadecimal that fits 32 bits, nothing else.
bool ParseNumber(const char *text, DWORD *number) {
    if (text == nullptr || text[0] < '0' || text[0] > '9')
        return false;
    const bool hex = text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const char *digits = hex ? text + 2 : text;
    if (*digits == '\0')
        return false;
    unsigned long long value = 0;
    for (const char *c = digits; *c != '\0'; ++c) {
        int digit;
        if (*c >= '0' && *c <= '9')
            digit = *c - '0';
        else if (hex && *c >= 'a' && *c <= 'f')
            digit = *c - 'a' + 10;
        else if (hex && *c >= 'A' && *c <= 'F')
            digit = *c - 'A' + 10;
        else
            return false;
        value = value * (hex ? 16 : 10) + static_cast<unsigned>(digit);
        if (value > 0xFFFFFFFFull)
            return false;
    }
    *number = static_cast<DWORD>(value);
    return true;
}

// A plain decimal number: an optional sign, digits with at most one point, at least one digit;
// no exponent, no blanks.
bool ParseDecimal(const char *text, double *number) {
    const char *c = text;
    if (*c == '-' || *c == '+')
        ++c;
    const char *digits = c;
    int count = 0, points = 0;
    for (; *c != '\0'; ++c) {
        if (*c >= '0' && *c <= '9')
            ++count;
        else if (*c == '.')
            ++points;
        else
            return false;
    }
    if (count == 0 || points > 1)
        return false;
    double value = 0.0;
    const auto parsed = std::from_chars(digits, c, value, std::chars_format::fixed);
    if (parsed.ec != std::errc() || parsed.ptr != c || !std::isfinite(value))
        return false;
    *number = text[0] == '-' ? -value : value;
    return true;
}

bool IsPrintable(const char *text) {
    for (const unsigned char *c = reinterpret_cast<const unsigned char *>(text); *c != '\0'; ++c)
        if (*c < 0x20 || *c > 0x7E)
            return false;
    return true;
}

bool HasAnyOf(const char *text, const char *characters) {
    return strpbrk(text, characters) != nullptr;
}

// A drive path "X:\...", or an absolute path in the system's own form where it has one
// ("/srv/flux/data"), that exists as a directory or whose nearest existing ancestor is a
// directory, so that the missing part can be made. Nothing is created. A drive whose root
// cannot be looked at is left to the start, where making the directory fails loudly.
bool IsDirectoryOrCreatable(const char *path) {
    const size_t length = strlen(path);
    if (length < 1 || length > MaxDirectoryLength || !IsPrintable(path))
        return false;
    const bool native = KestruneIsNativePath(path);
    const char separator = native ? '/' : '\\';
    const size_t rootLength = native ? 1 : 3;  // "/" or "X:\"
    const char drive = path[0];
    if (!native && (length < 3 || !((drive >= 'A' && drive <= 'Z') || (drive >= 'a' && drive <= 'z')) ||
                    path[1] != ':' || path[2] != '\\'))
        return false;
    if (HasAnyOf(path + (native ? 0 : 2), native ? ":*?\"<>|\\" : ":*?\"<>|/") ||
        strstr(path, native ? "//" : "\\\\") != nullptr)
        return false;
    char probe[MAX_PATH];
    snprintf(probe, sizeof probe, "%s", path);
    for (;;) {
        size_t end = strlen(probe);
        while (end > rootLength && probe[end - 1] == separator)
            probe[--end] = '\0';
        const DWORD attributes = GetFileAttributesA(probe);
        if (attributes != INVALID_FILE_ATTRIBUTES)
            return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        if (end <= rootLength)
            return true;
        char *last = strrchr(probe, separator);
        if (last == probe + rootLength - 1)
            last[1] = '\0';
        else
            *last = '\0';
    }
}

// A port number from "COM<n>" (any case), else 0.
DWORD ComNumber(const char *text) {
    DWORD number = 0;
    if ((text[0] | 0x20) != 'c' || (text[1] | 0x20) != 'o' || (text[2] | 0x20) != 'm' ||
        !ParseNumber(text + 3, &number) || (text[3] == '0' && text[4] != '\0'))
        return 0;
    return number;
}

// A serial device by its path: a Windows device name ("\\.\COM10") or an absolute path in the
// system's own form, printable and of at most 200 characters. A device that is missing now
// is waited for at the start like a missing COM port; one that exists must not be a directory.
bool IsUsableDevice(const char *text) {
    const size_t length = strlen(text);
    if (length == 0)
        return true;  // the COM port ComPort
    if (length > MaxDirectoryLength || !IsPrintable(text) ||
        !(KestruneIsNativePath(text) || strncmp(text, "\\\\.\\", 4) == 0))
        return false;
    const DWORD attributes = GetFileAttributesA(text);
    return attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// A template whose fields are all closed and which expands to a plain, non-empty file name.
bool IsUsableTemplate(const char *text) {
    const size_t length = strlen(text);
    if (length == 0 || length > MaxTemplateLength || !IsPrintable(text))
        return false;
    bool open = false;
    for (const char *c = text; *c != '\0'; ++c) {
        if (*c == '<') {
            if (open)
                return false;
            open = true;
        } else if (*c == '>') {
            if (!open)
                return false;
            open = false;
        }
    }
    if (open)
        return false;
    char expanded[FileNameTemplateSize];
    snprintf(expanded, sizeof expanded, "%s", text);
    SYSTEMTIME sample = {2026, 12, 2, 8, 14, 30, 5, 123};
    if (ExpandFileNameTemplate(expanded, sample) != 0 || expanded[0] == '\0')
        return false;
    if (strcmp(expanded, ".") == 0 || strcmp(expanded, "..") == 0)
        return false;
    return !HasAnyOf(expanded, "\\/:*?\"<>|");
}

const char *TypeName(DWORD type) {
    switch (type) {
        case REG_SZ:
            return "REG_SZ";
        case REG_EXPAND_SZ:
            return "REG_EXPAND_SZ";
        case REG_DWORD:
            return "REG_DWORD";
        case REG_MULTI_SZ:
            return "REG_MULTI_SZ";
        case REG_QWORD:
            return "REG_QWORD";
        case REG_BINARY:
            return "REG_BINARY";
        default:
            return "another type";
    }
}

}  // namespace

Configuration::Configuration() {
    for (int i = 0; i < SettingCount; ++i) {
        const Definition &definition = Definitions[i];
        if (definition.IsText)
            SetText(static_cast<Setting>(i), definition.DefaultText ? definition.DefaultText : "",
                    FromDefault);
        else
            SetNumber(static_cast<Setting>(i), definition.DefaultNumber, FromDefault);
    }
}

const char *Configuration::NameOf(Setting setting) {
    return Definitions[setting].Name;
}
const char *Configuration::OptionOf(Setting setting) {
    return Definitions[setting].Option;
}

std::string Configuration::KeyOf(Setting setting) {
    std::string key = ParameterKey;
    if (Definitions[setting].Instrument)
        key += std::string("\\") + InstrumentSubkey;
    return key;
}

const char *Configuration::Text(Setting setting) const {
    // The archive directories follow the data directory unless they were configured.
    if ((setting == RawArchiveDirectory || setting == StatsArchiveDirectory) &&
        Values[setting].From == FromDefault)
        return Values[DataDirectory].Text;
    return Values[setting].Text;
}

DWORD Configuration::Number(Setting setting) const {
    return Values[setting].Number;
}
double Configuration::Decimal(Setting setting) const {
    double value = 0.0;
    return ParseDecimal(Values[setting].Text, &value) ? value : 0.0;
}

flux::Settings Configuration::Flux() const {
    flux::Settings settings;
    settings.Period = Number(FluxPeriod);
    settings.MeasurementHeight = Decimal(MeasurementHeight);
    settings.DisplacementHeight = Decimal(DisplacementHeight);
    settings.Latitude = Decimal(Latitude);
    settings.AirPressure = Decimal(AirPressure);
    settings.NorthOffset = Decimal(NorthOffset);
    settings.DespikeThreshold = Decimal(DespikeThreshold);
    return settings;
}

Configuration::Source Configuration::SourceOf(Setting setting) const {
    return Values[setting].From;
}

void Configuration::SetText(Setting setting, const char *text, Source from) {
    Value &value = Values[setting];
    snprintf(value.Text, sizeof value.Text, "%s", text);
    snprintf(value.Given, sizeof value.Given, "\"%s\"", text);
    value.From = from;
}

void Configuration::SetNumber(Setting setting, DWORD number, Source from) {
    Value &value = Values[setting];
    value.Number = number;
    snprintf(value.Given, sizeof value.Given, "%lu", static_cast<unsigned long>(number));
    value.From = from;
}

std::string Configuration::Origin(Setting setting) const {
    switch (Values[setting].From) {
        case FromRegistry:
            return "the registry (HKLM\\" + KeyOf(setting) + ", value " + Definitions[setting].Name + ")";
        case FromOptionsFile:
            return "the options file " + Options.Path + " (" + Definitions[setting].Option + ")";
        case FromCommandLine:
            return std::string("the command line (") + Definitions[setting].Option + ")";
        default:
            return "the default";
    }
}

int Configuration::Fail(Setting setting, const char *allowed) {
    snprintf(Error, sizeof Error, "kestrune: bad %s %s from %s; allowed: %s.", Definitions[setting].Name,
             Values[setting].Given, Origin(setting).c_str(), allowed);
    return UsageStatus;
}

int Configuration::Load(int argc, const char *const *argv) {
    Error[0] = '\0';
    int result = ParseArguments(argc, argv, false);
    if (result != 0 || Action == ShowHelp || Action == ShowVersion || Action == ControlService)
        return result;
    result = ReadOptionsFile();
    if (result != 0)
        return result;
    result = ReadRegistry();
    if (result != 0)
        return result;
    // The options file overrides the registry, the command line both.
    result = ApplyOptions(FileOptions, FromOptionsFile);
    if (result != 0)
        return result;
    result = ApplyOptions(CommandLine, FromCommandLine);
    return result != 0 ? result : Check();
}

// The options file of the station or the instance: its options, and the station root it
// decides, which every later registry call and named object uses. An instance must have its
// options file, so that a tool never looks at another station under the instance's name.
int Configuration::ReadOptionsFile() {
    if (!Options.Read(OptionsFile::PathFor(Instance))) {
        snprintf(Error, sizeof Error, "kestrune: %.900s.", Options.Error.c_str());
        return UsageStatus;
    }
    if (!Instance.empty() && !Options.Exists) {
        snprintf(Error, sizeof Error, "kestrune: no options file %.800s for the instance %s.",
                 Options.Path.c_str(), Instance.c_str());
        return UsageStatus;
    }
    const char *environmentRoot = getenv("KESTRUNE_ROOT");
    Root = OptionsFile::StationRoot(environmentRoot, Options, Instance);
    if (!Root.empty() && (environmentRoot == nullptr || Root != environmentRoot) &&
        !SetEnvironmentVariableA("KESTRUNE_ROOT", Root.c_str())) {
        snprintf(Error, sizeof Error, "kestrune: cannot set the station root %.800s (error %lu).",
                 Root.c_str(), static_cast<unsigned long>(GetLastError()));
        return UsageStatus;
    }
    if (!Options.Exists)
        return 0;
    FileWords = Options.Arguments();
    std::vector<const char *> words{"kestrune"};
    for (const std::string &word : FileWords)
        words.push_back(word.c_str());
    return ParseArguments(static_cast<int>(words.size()), words.data(), true);
}

int Configuration::ApplyOptions(const char *const *options, Source from) {
    for (int i = 0; i < SettingCount; ++i) {
        const char *text = options[i];
        if (text == nullptr)
            continue;
        const Setting setting = static_cast<Setting>(i);
        Value &value = Values[i];
        if (setting == ComPort) {
            // --port 3 and --port COM3 are COM port 3; --port /dev/ttyUSB0 names the device.
            DWORD number = 0;
            if (!ParseNumber(text, &number) && (number = ComNumber(text)) == 0 &&
                (KestruneIsNativePath(text) || text[0] == '\\')) {
                Value &device = Values[PortDevice];
                if (strlen(text) >= sizeof device.Text) {
                    device.From = FromCommandLine;
                    snprintf(device.Given, sizeof device.Given, "of %u characters",
                             static_cast<unsigned>(strlen(text)));
                    return Fail(PortDevice, Definitions[PortDevice].Allowed);
                }
                SetText(PortDevice, text, FromCommandLine);
                value.From = FromCommandLine;
                continue;
            }
            SetText(PortDevice, "", FromCommandLine);
            if (number != 0) {
                SetNumber(setting, number, FromCommandLine);
                continue;
            }
        }
        if (Definitions[i].IsText) {
            if (strlen(text) >= sizeof value.Text) {
                value.From = from;
                snprintf(value.Given, sizeof value.Given, "of %u characters",
                         static_cast<unsigned>(strlen(text)));
                return Fail(setting, Definitions[i].Allowed);
            }
            SetText(setting, text, from);
            continue;
        }
        DWORD number = 0;
        bool valid = ParseNumber(text, &number);
        if (setting == FileCompression) {
            // on/off, and the registry's 0/1.
            valid = true;
            if (strcmp(text, "on") == 0 || strcmp(text, "1") == 0)
                number = 1;
            else if (strcmp(text, "off") == 0 || strcmp(text, "0") == 0)
                number = 0;
            else
                valid = false;
        }
        SetNumber(setting, number, from);
        if (!valid) {
            snprintf(value.Given, sizeof value.Given, "\"%.*s\"", static_cast<int>(sizeof value.Given - 3),
                     text);
            return Fail(setting, Definitions[i].Allowed);
        }
    }
    return 0;
}

// The command line, or (fromFile) the options of the options file, which may hold only the
// settings' options.
int Configuration::ParseArguments(int argc, const char *const *argv, bool fromFile) {
    const char **options = fromFile ? FileOptions : CommandLine;
    // What a message about a bad option says about where it was given.
    char where[MAX_PATH + 40] = {};
    if (fromFile)
        snprintf(where, sizeof where, " in the options file %.*s", MAX_PATH, Options.Path.c_str());
    for (int i = 1; i < argc; ++i) {
        if (!fromFile) {
            int status = 0;
            const WordResult word = ParseCommandWord(argc, argv, i, status);
            if (word == CommandLineDone)
                return status;
            if (word == CommandWordTaken)
                continue;
        }
        const int status = ParseSettingOption(argc, argv, i, options, where);
        if (status != 0)
            return status;
    }
    return 0;
}

// The words only the command line has: the commands, --instance, --help, --version,
// --show-config, --service and --json. i moves past a word's value; status is what parsing
// ends with when it ends here.
Configuration::WordResult Configuration::ParseCommandWord(int argc, const char *const *argv, int &i,
                                                          int &status) {
    const char *argument = argv[i];
    status = 0;
    if (strcmp(argument, "--instance") == 0 || strncmp(argument, "--instance=", 11) == 0) {
        status = ParseInstance(argc, argv, i);
        return status != 0 ? CommandLineDone : CommandWordTaken;
    }
    if (strcmp(argument, "--help") == 0 || strcmp(argument, "-h") == 0) {
        Action = ShowHelp;
        return CommandLineDone;
    }
    if (strcmp(argument, "--version") == 0) {
        Action = ShowVersion;
        return CommandLineDone;
    }
    if (strcmp(argument, "--show-config") == 0) {
        Action = ShowConfig;
        return CommandWordTaken;
    }
    if (strcmp(argument, "status") == 0 && i == 1) {
        Action = ShowStatus;
        return CommandWordTaken;
    }
    if (strcmp(argument, "service") == 0 && i == 1) {
        status = ParseService(argc, argv, i);
        return CommandLineDone;
    }
    if (strcmp(argument, "--service") == 0 && Action == Run) {
        AsService = true;
        return CommandWordTaken;
    }
    if (strcmp(argument, "--json") == 0 && Action == ShowStatus) {
        Json = true;
        return CommandWordTaken;
    }
    return NotACommandWord;
}

// --instance NAME or --instance=NAME, argv[i] the option.
int Configuration::ParseInstance(int argc, const char *const *argv, int &i) {
    const char *argument = argv[i];
    const char *name = argument[10] == '=' ? argument + 11 : i + 1 < argc ? argv[++i] : nullptr;
    if (name == nullptr || !OptionsFile::IsInstanceName(name)) {
        snprintf(Error, sizeof Error,
                 "kestrune: --instance needs a name of 1 to 64 letters, digits, '-', '_' or '.' "
                 "(given \"%.200s\"); see kestrune --help.",
                 name != nullptr ? name : "");
        return UsageStatus;
    }
    Instance = name;
    return 0;
}

// The command "service VERB", argv[i] the word "service"; nothing may follow the verb.
int Configuration::ParseService(int argc, const char *const *argv, int i) {
    const char *verb = i + 1 < argc ? argv[i + 1] : "";
    if (strcmp(verb, "install") != 0 && strcmp(verb, "uninstall") != 0 && strcmp(verb, "start") != 0 &&
        strcmp(verb, "stop") != 0) {
        snprintf(Error, sizeof Error,
                 "kestrune: service needs one of install, uninstall, start, stop (given \"%.200s\"); "
                 "see kestrune --help.",
                 verb);
        return UsageStatus;
    }
    if (i + 2 < argc) {
        snprintf(Error, sizeof Error,
                 "kestrune: unknown argument \"%.200s\" after service %s; see kestrune --help.", argv[i + 2],
                 verb);
        return UsageStatus;
    }
    Action = ControlService;
    snprintf(ServiceVerb, sizeof ServiceVerb, "%s", verb);
    return 0;
}

// A setting's option, --option value or --option=value, kept in options; i moves past a
// separate value. where says in a message where the option was given.
int Configuration::ParseSettingOption(int argc, const char *const *argv, int &i, const char **options,
                                      const char *where) {
    const char *argument = argv[i];
    const char *equals = strchr(argument, '=');
    const size_t nameLength = equals ? static_cast<size_t>(equals - argument) : strlen(argument);
    int found = -1;
    for (int s = 0; s < SettingCount; ++s) {
        const char *option = Definitions[s].Option;
        if (found < 0 && option != nullptr && strlen(option) == nameLength &&
            strncmp(option, argument, nameLength) == 0)
            found = s;
    }
    if (found < 0) {
        snprintf(Error, sizeof Error, "kestrune: unknown %s \"%.200s\"%s; see kestrune --help.",
                 argument[0] == '-' ? "option" : "argument", argument, where);
        return UsageStatus;
    }
    if (equals != nullptr) {
        options[found] = equals + 1;
    } else if (i + 1 < argc) {
        options[found] = argv[++i];
    } else {
        snprintf(Error, sizeof Error, "kestrune: the option %s needs a value%s; see kestrune --help.",
                 Definitions[found].Option, where);
        return UsageStatus;
    }
    return 0;
}

bool Configuration::AllOptionsGiven() const {
    static const Setting Needed[] = {
        DataDirectory,   ComPort,        InstrumentName, SerialNumber,      StatsArchivePeriod,
        FileCompression, CompressionAge, FluxPeriod,     MeasurementHeight, DisplacementHeight,
        Latitude,        AirPressure,    NorthOffset,    TimeStamp};
    for (Setting setting : Needed)
        if (Values[setting].From != FromCommandLine && Values[setting].From != FromOptionsFile)
            return false;
    return true;
}

int Configuration::ReadRegistry() {
    int result = ReadKey(false);
    return result != 0 ? result : ReadKey(true);
}

// Reads the values of one key; a key that does not exist has none. The key is opened for
// reading only, so nothing is created.
int Configuration::ReadKey(bool instrument) {
    std::string key = ParameterKey;
    if (instrument)
        key += std::string("\\") + InstrumentSubkey;
    HKEY handle = nullptr;
    LSTATUS status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, &handle);
    if (status == ERROR_FILE_NOT_FOUND)
        return 0;
    if (status == ERROR_BADDB || status == ERROR_REGISTRY_CORRUPT) {
        // A damaged store: the caller decides whether the run can do without it.
        StoreUnreadable = true;
        StoreError = status;
        return 0;
    }
    if (status != ERROR_SUCCESS) {
        snprintf(Error, sizeof Error, "kestrune: cannot read the registry key HKLM\\%s (error %ld).",
                 key.c_str(), static_cast<long>(status));
        return UsageStatus;
    }
    int result = 0;
    for (int i = 0; i < SettingCount && result == 0; ++i) {
        const Definition &definition = Definitions[i];
        if (definition.Instrument != instrument)
            continue;
        const Setting setting = static_cast<Setting>(i);
        BYTE data[MAX_PATH + 1] = {};
        DWORD type = 0;
        DWORD size = sizeof data - 1;
        status = RegQueryValueExA(handle, definition.Name, nullptr, &type, data, &size);
        if (status == ERROR_FILE_NOT_FOUND)
            continue;
        Value &value = Values[i];
        value.From = FromRegistry;
        if (status == ERROR_MORE_DATA) {
            snprintf(value.Given, sizeof value.Given, "%s", "(a value too long)");
            result = Fail(setting, definition.Allowed);
        } else if (status != ERROR_SUCCESS) {
            snprintf(Error, sizeof Error,
                     "kestrune: cannot read %s from the registry (HKLM\\%s) (error %ld).", definition.Name,
                     key.c_str(), static_cast<long>(status));
            result = UsageStatus;
        } else if (definition.IsText && type == REG_SZ) {
            data[size < sizeof data ? size : sizeof data - 1] = 0;
            SetText(setting, reinterpret_cast<const char *>(data), FromRegistry);
        } else if (!definition.IsText && type == REG_DWORD && size == sizeof(DWORD)) {
            DWORD number = 0;
            memcpy(&number, data, sizeof number);
            SetNumber(setting, number, FromRegistry);
        } else {
            snprintf(value.Given, sizeof value.Given, "(a %s value)", TypeName(type));
            char allowed[600];
            snprintf(allowed, sizeof allowed, "a %s value of %s", definition.IsText ? "REG_SZ" : "REG_DWORD",
                     definition.Allowed);
            result = Fail(setting, allowed);
        }
    }
    RegCloseKey(handle);
    return result;
}

int Configuration::Check() {
    for (int i = 0; i < SettingCount; ++i) {
        const Setting setting = static_cast<Setting>(i);
        if (!IsValid(setting))
            return Fail(setting, Definitions[i].Allowed);
    }
    return 0;
}

// Whether a setting's value is one the setting allows.
bool Configuration::IsValid(Setting setting) const {
    switch (setting) {
        case DataDirectory:
        case RawArchiveDirectory:
        case StatsArchiveDirectory:
        case PortDevice:
        case InstrumentName:
        case SerialNumber:
        case RawFileTemplate:
        case StatsFileTemplate:
        case FluxFileTemplate:
        case TimeStamp:
            return IsValidText(setting);
        case MeasurementHeight:
        case DisplacementHeight:
        case Latitude:
        case AirPressure:
        case NorthOffset:
        case DespikeThreshold:
            return IsValidDecimal(setting);
        default:
            return IsValidNumber(setting);
    }
}

// The directories, the port's device, the identity, the file name templates and the time stamp.
bool Configuration::IsValidText(Setting setting) const {
    const char *text = Values[setting].Text;
    switch (setting) {
        case DataDirectory:
        case RawArchiveDirectory:
        case StatsArchiveDirectory:
            return IsDirectoryOrCreatable(Text(setting));
        case PortDevice: {
            const DWORD number = ComNumber(text);
            return number != 0 ? number <= 255 : IsUsableDevice(text);
        }
        case InstrumentName:
        case SerialNumber: {
            const size_t length = strlen(text);
            return length >= 1 && length <= MaxIdentityLength && IsPrintable(text);
        }
        case RawFileTemplate:
        case StatsFileTemplate:
        case FluxFileTemplate:
            return IsUsableTemplate(text);
        case TimeStamp:
            return strcmp(text, "start") == 0 || strcmp(text, "end") == 0;
        default:
            return true;
    }
}

// The flux computation's decimal settings: a decimal number in the setting's range.
bool Configuration::IsValidDecimal(Setting setting) const {
    double x = 0.0;
    if (!ParseDecimal(Values[setting].Text, &x))
        return false;
    switch (setting) {
        case MeasurementHeight:
            return x > 0.0 && x <= 1000.0;
        case DisplacementHeight:
            return x >= 0.0 && x < Decimal(MeasurementHeight);
        case Latitude:
            return x >= -90.0 && x <= 90.0;
        case AirPressure:
            return x >= 500.0 && x <= 1100.0;
        case NorthOffset:
            return x >= -360.0 && x <= 360.0;
        case DespikeThreshold:
            return x > 0.0 && x <= 1000.0;
        default:
            return true;
    }
}

// The number settings; one without a rule of its own takes any number.
bool Configuration::IsValidNumber(Setting setting) const {
    const DWORD n = Values[setting].Number;
    bool valid = false;
    switch (setting) {
        case PriorityClass:
            for (DWORD priorityClass : PriorityClasses)
                valid = valid || n == priorityClass;
            return valid;
        case AffinityMask:
            return n != 0;
        case ComPort:
            // Unused, and so not checked, when the port is a device given by its path.
            return (n >= 1 && n <= 255) || DevicePath()[0] != '\0';
        case BaudRate:
            for (DWORD rate : BaudRates)
                valid = valid || n == rate;
            return valid;
        case FluxPeriod:
            return n == 0 || (n >= 60 && n <= 86400 && 86400 % n == 0);
        case RawTimeKeyFormat:
            return n <= 2;
        case RawTimeKeyEnabled:
        case QualityControl:
        case FileCompression:
            return n <= 1;
        case BlackoutPeriod:
            return n <= 3600;
        case RawArchivePeriod:
            return n <= 86400;
        case StatsArchivePeriod:
            return n >= 1 && n <= 86400 && 86400 % n == 0;
        case CompressionAge:
            return n <= 31536000;
        default:
            return true;
    }
}

WORD Configuration::PortNumber() const {
    const DWORD number = ComNumber(Values[PortDevice].Text);
    return static_cast<WORD>(number != 0 ? number : Number(ComPort));
}

const char *Configuration::DevicePath() const {
    const char *device = Values[PortDevice].Text;
    return ComNumber(device) != 0 ? "" : device;
}

std::string Configuration::PortDeviceName() const {
    if (DevicePath()[0] != '\0')
        return DevicePath();
    char name[32];
    snprintf(name, sizeof name, "\\\\.\\COM%u", static_cast<unsigned>(PortNumber()));
    return name;
}

std::string Configuration::PortName() const {
    if (DevicePath()[0] != '\0')
        return DevicePath();
    char name[32];
    snprintf(name, sizeof name, "COM%u", static_cast<unsigned>(PortNumber()));
    return name;
}

std::string Configuration::DescribeNative() const {
    std::string text;
    char line[2 * MAX_PATH + 40];
    char native[MAX_PATH + 1];
    const Setting directories[] = {DataDirectory, RawArchiveDirectory, StatsArchiveDirectory};
    for (Setting setting : directories) {
        // A path that is its own on this system (every path on Windows) has no other name.
        if (!KestruneMapPath(Text(setting), native, sizeof native) ||
            (strcmp(native, Text(setting)) == 0 && !KestruneIsNativePath(Text(setting))))
            continue;
        snprintf(line, sizeof line, "%-22s %s\n", Definitions[setting].Name, native);
        text += line;
    }
    if (KestruneCommDevicePath(PortDeviceName().c_str(), native, sizeof native)) {
        if (PortName() == native)
            snprintf(line, sizeof line, "%-22s %s\n", "Port", native);
        else
            snprintf(line, sizeof line, "%-22s %s (%s)\n", "Port", native, PortName().c_str());
        text += line;
    }
    return text.empty() ? text : "On this system:\n" + text;
}

std::string Configuration::Describe() const {
    std::string text = "Registry key: HKLM\\" + std::string(ParameterKey) +
                       " (instrument values in its subkey " + InstrumentSubkey + ")\n";
    if (Options.Exists)
        text +=
            "Options file: " + Options.Path + "\nStation root: " + (Root.empty() ? "(default)" : Root) + "\n";
    char line[MAX_PATH + 200];
    for (int i = 0; i < SettingCount; ++i) {
        const Setting setting = static_cast<Setting>(i);
        char value[MAX_PATH + 40];
        if (Definitions[i].IsText) {
            snprintf(value, sizeof value, "%s", Text(setting));
        } else if (setting == PriorityClass || setting == AffinityMask) {
            snprintf(value, sizeof value, "0x%lx", static_cast<unsigned long>(Number(setting)));
            for (size_t p = 0;
                 setting == PriorityClass && p < sizeof PriorityClasses / sizeof PriorityClasses[0]; ++p)
                if (PriorityClasses[p] == Number(setting))
                    snprintf(value, sizeof value, "0x%lx (%s)", static_cast<unsigned long>(Number(setting)),
                             PriorityClassNames[p]);
        } else {
            snprintf(value, sizeof value, "%lu", static_cast<unsigned long>(Number(setting)));
        }
        const char *source = "default";
        if (Values[i].From == FromRegistry)
            source = "registry";
        else if (Values[i].From == FromOptionsFile)
            source = "options file";
        else if (Values[i].From == FromCommandLine)
            source = "command line";
        snprintf(line, sizeof line, "%-22s %-12s %s\n", Definitions[i].Name, source, value);
        text += line;
    }
    return text;
}

std::string Configuration::Usage() {
    return "Usage: kestrune [--instance NAME] [options]         acquire (until stopped)\n"
           "       kestrune [--instance NAME] --show-config     show the configuration and where each value\n"
           "                                                    comes from\n"
           "       kestrune status [--instance NAME] [--json]   show whether acquisition is healthy\n"
           "       kestrune service install|uninstall|start|stop\n"
           "                                  the Windows service \"QORL Data Acquisition\"\n"
           "                                  (administrator rights; it runs kestrune --service)\n"
           "\n"
           "Options (each overrides the registry value named after it):\n"
           "  --port N|COMN|DEVICE   serial port COMN (ComPort), 1 to 255, or a device path such as\n"
           "                         /dev/ttyUSB0 or /dev/serial/by-id/... (PortDevice)\n"
           "  --baud-rate N          the port's baud rate (BaudRate), 1200 to 115200\n"
           "  --data-dir DIR         data directory (DataDirectory), e.g. D:\\Data\\Station or\n"
           "                         /srv/flux/data\n"
           "  --raw-dir DIR          raw data files' directory (RawArchiveDirectory; default: DIR)\n"
           "  --stats-dir DIR        statistics and flux files' directory (StatsArchiveDirectory;\n"
           "                         default: DIR)\n"
           "  --raw-template T       raw file names (RawFileTemplate), e.g. lab0<YYJJJHH>_raw.txt\n"
           "  --stats-template T     statistics file names (StatsFileTemplate)\n"
           "  --flux-template T      flux file names (FluxFileTemplate), e.g. lab0<YYJJJ>_flux.csv\n"
           "  --name TEXT            instrument name in the data-file headers (InstrumentName)\n"
           "  --serial TEXT          instrument serial number (SerialNumber)\n"
           "  --priority-class N     process priority class (PriorityClass), e.g. 0x100 (realtime)\n"
           "  --affinity-mask N      logical processors of the process (AffinityMask), e.g. 0x4\n"
           "  --raw-time-key-format N  time key of raw lines (RawTimeKeyFormat): 0 none, 1 HHMMSSMMM,\n"
           "                         2 MMSSMMM\n"
           "  --raw-time-key 0|1     write the time key (RawTimeKeyEnabled)\n"
           "  --quality-control 0|1  screen samples (QualityControl)\n"
           "  --blackout-period S    seconds left out after a clock synchronisation (BlackoutPeriod)\n"
           "  --raw-period S         raw archiving period in seconds (RawArchivePeriod), 0 = off\n"
           "  --stats-period S       statistics period in seconds (StatsArchivePeriod), dividing a day\n"
           "  --compress on|off      hourly compression of old data files (FileCompression)\n"
           "  --compression-age S    compress files older than S seconds (CompressionAge)\n"
           "  --flux-period S        flux period in seconds (FluxPeriod), 0 = off, else at least 60\n"
           "  --measurement-height M sonic height above ground in metres (MeasurementHeight)\n"
           "  --displacement-height M  zero-plane displacement in metres (DisplacementHeight)\n"
           "  --latitude DEG         station latitude (Latitude), for the ITC test\n"
           "  --air-pressure HPA     air pressure for the air density (AirPressure)\n"
           "  --north-offset DEG     azimuth of the sonic's v axis (NorthOffset)\n"
           "  --despike-threshold X  spike limit in multiples of the scaled MAD (DespikeThreshold)\n"
           "  --time-stamp start|end stamp each record at its line's first byte or its line feed\n"
           "                         (TimeStamp)\n"
           "  --instance NAME        the instance NAME: its options file and its station root\n"
           "  --help                 this text\n"
           "  --version              the program's version\n"
           "\n"
           "Options file: /etc/default/kestrune, or /etc/kestrune/NAME.conf with --instance NAME\n"
           "(KESTRUNE_SYSCONFDIR stands for /etc when set). KESTRUNE_OPTIONS=\"...\" in it holds options\n"
           "as above; KESTRUNE_ROOT= the station root. The command line overrides the options file,\n"
           "which overrides the registry, which overrides the defaults.\n"
           "Station root: KESTRUNE_ROOT when set, else the options file's KESTRUNE_ROOT, else\n"
           "/var/lib/kestrune (/var/lib/kestrune/NAME) when the options file exists, else the default.\n"
           "\n"
           "Registry: HKLM\\SYSTEM\\CurrentControlSet\\Services\\QORL Data Acquisition\\Parameters\n"
           "(DataDirectory, PriorityClass, AffinityMask) and its subkey Metek1 (the instrument's values).\n"
           "A bad value ends the program with status 2 before anything starts.\n";
}
