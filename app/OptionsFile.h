// The station's options file and the station root, shared by the program and the tools.
//
// The file holds shell-style KEY=value lines, as a systemd unit's EnvironmentFile= reads
// them: "/etc/default/kestrune" for the default station, "/etc/kestrune/<instance>.conf" for
// `--instance NAME`. KESTRUNE_OPTIONS holds the program's own command-line options, split at
// blanks as the unit's $KESTRUNE_OPTIONS is; KESTRUNE_ROOT, when present, is the station root.
// Other keys are left to whoever else reads the file. KESTRUNE_SYSCONFDIR, when set, stands
// for "/etc", so that tests can point the program and the tools to options files of their own.
//
// The station root (the registry store, the named objects, the drive folders on Linux) is
// the environment's KESTRUNE_ROOT when set; else the options file's KESTRUNE_ROOT; else,
// when the options file exists, the packaged state directory "/var/lib/kestrune" (for an
// instance "/var/lib/kestrune/<instance>"); else the platform's own default.
#pragma once

#include <string>
#include <vector>

class OptionsFile {
public:
    // The packaged state directory.
    static const char StateDirectory[];

    // KESTRUNE_SYSCONFDIR when set, else the system's configuration folder: "/etc", none (empty)
    // on Windows, which keeps its configuration in the registry.
    static std::string Folder();
    // The options file of the default station (instance empty) or of an instance; empty when
    // there is no folder of options files.
    static std::string PathFor(const std::string &instance);
    // 1 to 64 letters, digits, '-', '_' or '.', not beginning with '.' or '-': a name that
    // is safe as a file name and as a systemd instance.
    static bool IsInstanceName(const char *name);

    // Reads the file at path. Returns false with Error set when it exists but cannot be read
    // or holds a line that is not KEY=value; a file that does not exist is no error (Exists
    // stays false).
    bool Read(const std::string &path);
    // Takes the file's text (Read's second half).
    bool Parse(const std::string &text);

    // KESTRUNE_OPTIONS split at blanks.
    std::vector<std::string> Arguments() const;

    // The station root by the rule above; empty: the platform's default.
    static std::string StationRoot(const char *environmentRoot, const OptionsFile &file,
                                   const std::string &instance);

    std::string Path;
    bool Exists = false;
    bool HasOptions = false;
    std::string Options;  // KESTRUNE_OPTIONS
    bool HasRoot = false;
    std::string Root;  // KESTRUNE_ROOT
    std::string Error;
};
