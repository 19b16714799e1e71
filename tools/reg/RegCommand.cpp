// The reg command: reads and writes registry values in the manner of Windows' reg.exe.
//
//   reg query  KEY [/v NAME | /ve] [/s]
//   reg add    KEY [/v NAME | /ve] [/t TYPE] [/s SEPARATOR] [/d DATA] [/f]
//   reg delete KEY [/v NAME | /ve | /va] [/f]
//
// KEY starts with its root, short or long: HKLM\..., HKEY_LOCAL_MACHINE\..., HKCU\...
// Options may also start with '-' and are case-insensitive. Exit status 0 on success, 1 on
// failure or when the user declines a confirmation.
#include "tools/reg/RegCommand.h"

#include <string>
#include <vector>

namespace {

// The streams of the running command.
FILE *Out = stdout;
FILE *Err = stderr;
FILE *In = stdin;

struct Root {
    const char *Short;
    const char *Long;
    HKEY Handle;
};

const Root Roots[] = {
    {"HKLM", "HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},   {"HKCU", "HKEY_CURRENT_USER", HKEY_CURRENT_USER},
    {"HKCR", "HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT},     {"HKU", "HKEY_USERS", HKEY_USERS},
    {"HKCC", "HKEY_CURRENT_CONFIG", HKEY_CURRENT_CONFIG},
};

struct TypeName {
    DWORD Type;
    const char *Name;
};

const TypeName Types[] = {
    {REG_NONE, "REG_NONE"},
    {REG_SZ, "REG_SZ"},
    {REG_EXPAND_SZ, "REG_EXPAND_SZ"},
    {REG_BINARY, "REG_BINARY"},
    {REG_DWORD, "REG_DWORD"},
    {REG_DWORD_BIG_ENDIAN, "REG_DWORD_BIG_ENDIAN"},
    {REG_LINK, "REG_LINK"},
    {REG_MULTI_SZ, "REG_MULTI_SZ"},
    {REG_RESOURCE_LIST, "REG_RESOURCE_LIST"},
    {REG_FULL_RESOURCE_DESCRIPTOR, "REG_FULL_RESOURCE_DESCRIPTOR"},
    {REG_RESOURCE_REQUIREMENTS_LIST, "REG_RESOURCE_REQUIREMENTS_LIST"},
    {REG_QWORD, "REG_QWORD"},
};

const char *const NotFound = "ERROR: The system was unable to find the specified registry key or value.";

bool SameText(const char *a, const char *b) {
    for (; *a && *b; ++a, ++b) {
        char x = *a >= 'a' && *a <= 'z' ? static_cast<char>(*a - 32) : *a;
        char y = *b >= 'a' && *b <= 'z' ? static_cast<char>(*b - 32) : *b;
        if (x != y)
            return false;
    }
    return *a == *b;
}

// A registry key named on the command line: its root and the path below it.
struct KeyName {
    HKEY Root = nullptr;
    std::string Path;     // below the root, without leading or trailing backslashes
    std::string Display;  // the long root name and the path, as reg.exe shows keys

    std::string Child(const std::string &name) const { return Path.empty() ? name : Path + "\\" + name; }
};

bool ParseKey(const char *text, KeyName &key) {
    std::string s(text);
    size_t slash = s.find('\\');
    std::string root = s.substr(0, slash);
    std::string rest = slash == std::string::npos ? std::string() : s.substr(slash + 1);
    while (!rest.empty() && rest.back() == '\\')
        rest.pop_back();
    for (const Root &r : Roots) {
        if (SameText(root.c_str(), r.Short) || SameText(root.c_str(), r.Long)) {
            key.Root = r.Handle;
            key.Path = rest;
            key.Display = rest.empty() ? std::string(r.Long) : std::string(r.Long) + "\\" + rest;
            return true;
        }
    }
    return false;
}

const char *TypeText(DWORD type, char *scratch, size_t size) {
    for (const TypeName &t : Types) {
        if (t.Type == type)
            return t.Name;
    }
    snprintf(scratch, size, "0x%lX", static_cast<unsigned long>(type));
    return scratch;
}

// The value's data as reg.exe shows it.
std::string DataText(DWORD type, const std::vector<BYTE> &data) {
    std::string text;
    char piece[32];
    switch (type) {
        case REG_SZ:
        case REG_EXPAND_SZ:
            for (BYTE b : data) {
                if (b == 0)
                    break;
                text += static_cast<char>(b);
            }
            return text;
        case REG_MULTI_SZ: {
            // The strings joined by a literal \0; the terminating empty string is not shown.
            size_t end = data.size();
            while (end > 0 && data[end - 1] == 0)
                --end;
            for (size_t i = 0; i < end; ++i) {
                if (data[i] == 0)
                    text += "\\0";
                else
                    text += static_cast<char>(data[i]);
            }
            return text;
        }
        case REG_DWORD:
            if (data.size() == 4) {
                DWORD v = static_cast<DWORD>(data[0]) | static_cast<DWORD>(data[1]) << 8 |
                          static_cast<DWORD>(data[2]) << 16 | static_cast<DWORD>(data[3]) << 24;
                snprintf(piece, sizeof piece, "0x%lx", static_cast<unsigned long>(v));
                return piece;
            }
            break;
        case REG_QWORD:
            if (data.size() == 8) {
                unsigned long long v = 0;
                for (int i = 7; i >= 0; --i)
                    v = v << 8 | data[static_cast<size_t>(i)];
                snprintf(piece, sizeof piece, "0x%llx", v);
                return piece;
            }
            break;
        default:
            break;
    }
    for (BYTE b : data) {
        snprintf(piece, sizeof piece, "%02X", b);
        text += piece;
    }
    return text;
}

void PrintError(LONG code) {
    if (code == ERROR_FILE_NOT_FOUND) {
        fprintf(Err, "%s\n", NotFound);
        return;
    }
    char text[512] = "";
    if (!FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                        static_cast<DWORD>(code), 0, text, sizeof text, nullptr))
        snprintf(text, sizeof text, "Error %ld.", static_cast<long>(code));
    size_t n = strlen(text);
    while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r'))
        text[--n] = '\0';
    fprintf(Err, "ERROR: %s\n", text);
}

// Asks a yes/no question on the terminal; anything but yes declines.
bool Confirm(const char *question) {
    fprintf(Out, "%s (Yes/No)? ", question);
    fflush(Out);
    char answer[64];
    if (!fgets(answer, sizeof answer, In))
        return false;
    size_t n = strlen(answer);
    while (n > 0 && (answer[n - 1] == '\n' || answer[n - 1] == '\r' || answer[n - 1] == ' '))
        answer[--n] = '\0';
    return SameText(answer, "y") || SameText(answer, "yes");
}

int Cancelled() {
    fprintf(Out, "The operation was cancelled by the user.\n");
    return 1;
}

int Succeeded() {
    fprintf(Out, "The operation completed successfully.\n");
    return 0;
}

int Usage(const char *command) {
    fprintf(Err, "ERROR: Invalid syntax.\nType \"REG %s /?\" for usage.\n", command);
    return 1;
}

// The options shared by the three commands.
struct Options {
    const char *Value = nullptr;      // /v
    bool Default = false;             // /ve
    bool AllValues = false;           // /va
    bool Recurse = false;             // /s (query)
    const char *Separator = nullptr;  // /s (add)
    const char *Type = nullptr;       // /t
    const char *Data = nullptr;       // /d
    bool Force = false;               // /f
};

bool IsOption(const char *arg, const char *name) {
    return (arg[0] == '/' || arg[0] == '-') && SameText(arg + 1, name);
}

bool ParseOptions(int argc, char **argv, bool adding, Options &o) {
    for (int i = 0; i < argc; ++i) {
        const char *a = argv[i];
        bool hasNext = i + 1 < argc;
        if (IsOption(a, "v") && hasNext && !o.Value)
            o.Value = argv[++i];
        else if (IsOption(a, "ve") && !o.Default)
            o.Default = true;
        else if (IsOption(a, "va") && !o.AllValues)
            o.AllValues = true;
        else if (IsOption(a, "s") && adding && hasNext && !o.Separator)
            o.Separator = argv[++i];
        else if (IsOption(a, "s") && !adding && !o.Recurse)
            o.Recurse = true;
        else if (IsOption(a, "t") && hasNext && !o.Type)
            o.Type = argv[++i];
        else if (IsOption(a, "d") && hasNext && !o.Data)
            o.Data = argv[++i];
        else if (IsOption(a, "f") && !o.Force)
            o.Force = true;
        else
            return false;
    }
    return (o.Value != nullptr) + o.Default + o.AllValues <= 1;
}

// Prints one value line: four blanks, name, type and data separated by four blanks.
void PrintValue(const char *name, DWORD type, const std::vector<BYTE> &data) {
    char scratch[32];
    fprintf(Out, "    %s    %s    %s\n", *name ? name : "(Default)", TypeText(type, scratch, sizeof scratch),
            DataText(type, data).c_str());
}

LONG ReadValue(HKEY key, const char *name, DWORD &type, std::vector<BYTE> &data) {
    for (;;) {
        DWORD size = 0;
        LONG rc = RegQueryValueExA(key, name, nullptr, &type, nullptr, &size);
        if (rc != ERROR_SUCCESS)
            return rc;
        data.resize(size);
        rc = RegQueryValueExA(key, name, nullptr, &type, data.empty() ? nullptr : data.data(), &size);
        if (rc == ERROR_MORE_DATA)
            continue;  // the value grew in between
        if (rc == ERROR_SUCCESS)
            data.resize(size);
        return rc;
    }
}

// The value's name as the key stores it (names match whatever their letter case).
std::string StoredName(HKEY key, const char *name) {
    std::vector<char> buffer(16384);
    for (DWORD i = 0;; ++i) {
        DWORD length = static_cast<DWORD>(buffer.size());
        if (RegEnumValueA(key, i, buffer.data(), &length, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS)
            return name;
        if (SameText(buffer.data(), name))
            return std::string(buffer.data(), length);
    }
}

// Lists the key's values, then its subkeys (their full names, or their contents with /s).
LONG QueryKey(HKEY key, const std::string &display, bool recurse) {
    fprintf(Out, "\n%s\n", display.c_str());
    std::vector<char> name(16384);
    std::vector<BYTE> data;
    for (DWORD i = 0;; ++i) {
        DWORD length = static_cast<DWORD>(name.size());
        DWORD type = 0, size = 0;
        LONG rc = RegEnumValueA(key, i, name.data(), &length, nullptr, &type, nullptr, &size);
        if (rc == ERROR_NO_MORE_ITEMS)
            break;
        if (rc != ERROR_SUCCESS)
            return rc;
        rc = ReadValue(key, name.data(), type, data);
        if (rc == ERROR_FILE_NOT_FOUND)
            continue;  // deleted in between
        if (rc != ERROR_SUCCESS)
            return rc;
        PrintValue(name.data(), type, data);
    }

    std::vector<std::string> subkeys;
    for (DWORD i = 0;; ++i) {
        DWORD length = static_cast<DWORD>(name.size());
        LONG rc = RegEnumKeyExA(key, i, name.data(), &length, nullptr, nullptr, nullptr, nullptr);
        if (rc == ERROR_NO_MORE_ITEMS)
            break;
        if (rc != ERROR_SUCCESS)
            return rc;
        subkeys.emplace_back(name.data(), length);
    }
    if (!recurse) {
        if (!subkeys.empty())
            fprintf(Out, "\n");
        for (const std::string &s : subkeys)
            fprintf(Out, "%s\\%s\n", display.c_str(), s.c_str());
        return ERROR_SUCCESS;
    }
    for (const std::string &s : subkeys) {
        HKEY sub = nullptr;
        LONG rc = RegOpenKeyExA(key, s.c_str(), 0, KEY_READ, &sub);
        if (rc == ERROR_FILE_NOT_FOUND)
            continue;
        if (rc != ERROR_SUCCESS)
            return rc;
        rc = QueryKey(sub, display + "\\" + s, true);
        RegCloseKey(sub);
        if (rc != ERROR_SUCCESS)
            return rc;
    }
    return ERROR_SUCCESS;
}

int Query(const KeyName &keyName, const Options &o) {
    if (o.AllValues || o.Type || o.Data || o.Force)
        return Usage("QUERY");
    HKEY key = nullptr;
    LONG rc = RegOpenKeyExA(keyName.Root, keyName.Path.c_str(), 0, KEY_READ, &key);
    if (rc != ERROR_SUCCESS) {
        PrintError(rc);
        return 1;
    }
    if (o.Value || o.Default) {
        const char *name = o.Value ? o.Value : "";
        DWORD type = 0;
        std::vector<BYTE> data;
        rc = ReadValue(key, name, type, data);
        if (rc == ERROR_SUCCESS) {
            std::string stored = StoredName(key, name);
            fprintf(Out, "\n%s\n", keyName.Display.c_str());
            PrintValue(stored.c_str(), type, data);
            fprintf(Out, "\n");
        }
    } else {
        rc = QueryKey(key, keyName.Display, o.Recurse);
    }
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS) {
        PrintError(rc);
        return 1;
    }
    return 0;
}

// Turns /d's text into the bytes of the given type; false when it does not fit the type.
bool EncodeData(DWORD type, const char *text, const char *separator, std::vector<BYTE> &bytes) {
    std::string s(text ? text : "");
    bytes.clear();
    switch (type) {
        case REG_SZ:
        case REG_EXPAND_SZ:
            bytes.assign(s.begin(), s.end());
            bytes.push_back(0);
            return true;
        case REG_MULTI_SZ: {
            std::string sep = separator ? separator : "\\0";
            if (sep.empty())
                return false;
            size_t start = 0;
            while (!s.empty()) {
                size_t at = s.find(sep, start);
                std::string item = s.substr(start, at == std::string::npos ? std::string::npos : at - start);
                if (item.empty())
                    return false;  // reg.exe refuses empty strings inside a multi-string
                bytes.insert(bytes.end(), item.begin(), item.end());
                bytes.push_back(0);
                if (at == std::string::npos)
                    break;
                start = at + sep.size();
            }
            bytes.push_back(0);
            return true;
        }
        case REG_DWORD:
        case REG_QWORD: {
            if (s.empty())
                s = "0";
            bool hex = s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X');
            const char *digits = s.c_str() + (hex ? 2 : 0);
            if (!*digits || *digits == '-' || *digits == '+')
                return false;
            char *end = nullptr;
            unsigned long long v = strtoull(digits, &end, hex ? 16 : 10);
            if (*end || (type == REG_DWORD && v > 0xFFFFFFFFull))
                return false;
            size_t width = type == REG_DWORD ? 4 : 8;
            for (size_t i = 0; i < width; ++i)
                bytes.push_back(static_cast<BYTE>(v >> (8 * i)));
            return true;
        }
        case REG_BINARY:
        case REG_NONE: {
            if (s.size() % 2)
                return false;
            for (size_t i = 0; i < s.size(); i += 2) {
                char pair[3] = {s[i], s[i + 1], 0};
                char *end = nullptr;
                unsigned long v = strtoul(pair, &end, 16);
                if (*end || pair[0] == '-' || pair[0] == '+' || pair[0] == ' ')
                    return false;
                bytes.push_back(static_cast<BYTE>(v));
            }
            return true;
        }
        default:
            return false;
    }
}

int Add(const KeyName &keyName, const Options &o) {
    if (o.AllValues || o.Recurse)
        return Usage("ADD");
    DWORD type = REG_SZ;
    if (o.Type) {
        const DWORD allowed[] = {REG_SZ,    REG_MULTI_SZ, REG_EXPAND_SZ, REG_DWORD,
                                 REG_QWORD, REG_BINARY,   REG_NONE};
        bool found = false;
        char scratch[32];
        for (DWORD t : allowed) {
            if (SameText(o.Type, TypeText(t, scratch, sizeof scratch))) {
                type = t;
                found = true;
            }
        }
        if (!found) {
            fprintf(Err, "ERROR: Invalid type %s.\n", o.Type);
            return 1;
        }
    }
    std::vector<BYTE> bytes;
    if (!EncodeData(type, o.Data, o.Separator, bytes)) {
        fprintf(Err, "ERROR: Invalid data for the type given.\n");
        return 1;
    }

    HKEY key = nullptr;
    char noClass[1] = "";
    LONG rc = RegCreateKeyExA(keyName.Root, keyName.Path.c_str(), 0, noClass, REG_OPTION_NON_VOLATILE,
                              KEY_ALL_ACCESS, nullptr, &key, nullptr);
    if (rc != ERROR_SUCCESS) {
        PrintError(rc);
        return 1;
    }
    if (o.Value || o.Default || o.Data || o.Type) {
        const char *name = o.Value ? o.Value : "";
        DWORD existing = 0;
        if (!o.Force && RegQueryValueExA(key, name, nullptr, &existing, nullptr, nullptr) == ERROR_SUCCESS) {
            char question[512];
            snprintf(question, sizeof question, "Value %s exists, overwrite", *name ? name : "(Default)");
            if (!Confirm(question)) {
                RegCloseKey(key);
                return Cancelled();
            }
        }
        rc = RegSetValueExA(key, name, 0, type, bytes.data(), static_cast<DWORD>(bytes.size()));
    }
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS) {
        PrintError(rc);
        return 1;
    }
    return Succeeded();
}

// Deletes path below parent with all its subkeys.
LONG DeleteTree(HKEY parent, const std::string &path) {
    HKEY key = nullptr;
    LONG rc = RegOpenKeyExA(parent, path.c_str(), 0, KEY_ALL_ACCESS, &key);
    if (rc != ERROR_SUCCESS)
        return rc;
    std::vector<char> name(1024);
    for (;;) {
        DWORD length = static_cast<DWORD>(name.size());
        rc = RegEnumKeyExA(key, 0, name.data(), &length, nullptr, nullptr, nullptr, nullptr);
        if (rc == ERROR_NO_MORE_ITEMS)
            break;
        if (rc == ERROR_SUCCESS)
            rc = DeleteTree(key, std::string(name.data(), length));
        if (rc != ERROR_SUCCESS) {
            RegCloseKey(key);
            return rc;
        }
    }
    RegCloseKey(key);
    return RegDeleteKeyA(parent, path.c_str());
}

int Delete(const KeyName &keyName, const Options &o) {
    if (o.Recurse || o.Type || o.Data || o.Separator)
        return Usage("DELETE");
    char question[1024];
    if (o.Value || o.Default || o.AllValues) {
        HKEY key = nullptr;
        LONG rc = RegOpenKeyExA(keyName.Root, keyName.Path.c_str(), 0, KEY_ALL_ACCESS, &key);
        if (rc != ERROR_SUCCESS) {
            PrintError(rc);
            return 1;
        }
        if (o.AllValues)
            snprintf(question, sizeof question, "Delete all values under the registry key %s",
                     keyName.Display.c_str());
        else
            snprintf(question, sizeof question, "Delete the registry value %s",
                     o.Value && *o.Value ? o.Value : "(Default)");
        if (!o.Force && !Confirm(question)) {
            RegCloseKey(key);
            return Cancelled();
        }
        if (o.AllValues) {
            std::vector<char> name(16384);
            for (;;) {
                DWORD length = static_cast<DWORD>(name.size());
                rc = RegEnumValueA(key, 0, name.data(), &length, nullptr, nullptr, nullptr, nullptr);
                if (rc != ERROR_SUCCESS)
                    break;
                rc = RegDeleteValueA(key, name.data());
                if (rc != ERROR_SUCCESS)
                    break;
            }
            if (rc == ERROR_NO_MORE_ITEMS)
                rc = ERROR_SUCCESS;
        } else {
            rc = RegDeleteValueA(key, o.Value ? o.Value : "");
        }
        RegCloseKey(key);
        if (rc != ERROR_SUCCESS) {
            PrintError(rc);
            return 1;
        }
        return Succeeded();
    }

    if (keyName.Path.empty()) {
        PrintError(ERROR_ACCESS_DENIED);
        return 1;
    }
    HKEY probe = nullptr;
    LONG rc = RegOpenKeyExA(keyName.Root, keyName.Path.c_str(), 0, KEY_READ, &probe);
    if (rc != ERROR_SUCCESS) {
        PrintError(rc);
        return 1;
    }
    RegCloseKey(probe);
    snprintf(question, sizeof question, "Permanently delete the registry key %s", keyName.Display.c_str());
    if (!o.Force && !Confirm(question))
        return Cancelled();
    rc = DeleteTree(keyName.Root, keyName.Path);
    if (rc != ERROR_SUCCESS) {
        PrintError(rc);
        return 1;
    }
    return Succeeded();
}

void Help() {
    fprintf(Out,
            "REG QUERY  KeyName [/v ValueName | /ve] [/s]\n"
            "REG ADD    KeyName [/v ValueName | /ve] [/t Type] [/s Separator] [/d Data] [/f]\n"
            "REG DELETE KeyName [/v ValueName | /ve | /va] [/f]\n"
            "\n"
            "  KeyName    ROOTKEY\\SubKey, ROOTKEY one of HKLM, HKCU (or their long names)\n"
            "  /v         the value name          /ve  the default (unnamed) value\n"
            "  /va        all values of the key   /s   query: every subkey; add: the\n"
            "  /t         REG_SZ (default), REG_MULTI_SZ, REG_EXPAND_SZ, REG_DWORD,\n"
            "             REG_QWORD, REG_BINARY, REG_NONE    separator of REG_MULTI_SZ (\\0)\n"
            "  /d         the data: text, a number (decimal or 0x hex), or hex bytes\n"
            "  /f         no confirmation prompt\n");
}

}  // namespace

int RunRegCommand(int argc, char **argv, FILE *out, FILE *err, FILE *in) {
    Out = out;
    Err = err;
    In = in;
    if (argc >= 2 && (IsOption(argv[1], "?") || (argc >= 3 && IsOption(argv[2], "?")))) {
        Help();
        return 0;
    }
    if (argc < 3) {
        fprintf(Err, "ERROR: Invalid syntax.\nType \"REG /?\" for usage.\n");
        return 1;
    }
    const char *command = argv[1];
    int which = SameText(command, "query")    ? 0
                : SameText(command, "add")    ? 1
                : SameText(command, "delete") ? 2
                                              : -1;
    if (which < 0) {
        fprintf(Err, "ERROR: Invalid syntax.\nType \"REG /?\" for usage.\n");
        return 1;
    }
    const char *names[] = {"QUERY", "ADD", "DELETE"};
    KeyName key;
    if (!ParseKey(argv[2], key)) {
        fprintf(Err, "ERROR: Invalid key name.\nType \"REG %s /?\" for usage.\n", names[which]);
        return 1;
    }
    Options options;
    if (!ParseOptions(argc - 3, argv + 3, which == 1, options))
        return Usage(names[which]);
    switch (which) {
        case 0:
            return Query(key, options);
        case 1:
            return Add(key, options);
        default:
            return Delete(key, options);
    }
}
