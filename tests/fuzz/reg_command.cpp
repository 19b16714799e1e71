// The reg tool's command line with arbitrary argument vectors, run in-process against a
// registry restored to the same few keys and values before every run.
//
// The first input byte answers the confirmation prompts (odd: yes), the rest are the
// arguments, separated by NUL bytes. Invariants (beyond never crashing):
// - exit status 0 or 1 only;
// - a successful query, or help, leaves the registry as it was;
// - a successful add leaves the key, and the value it names (or the default value when /d
//   or /t is given without a name) with the type asked for, and for REG_SZ and
//   REG_EXPAND_SZ the data asked for;
// - a successful delete leaves no such value, no value at all (/va), or no such key;
// - a run that fails or is declined changes no value.
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "fuzz/FuzzCheck.h"
#include "tools/reg/RegCommand.h"

namespace {

struct RootName {
    const char *Short;
    const char *Long;
    HKEY Handle;
};
const RootName Roots[] = {
    {"HKLM", "HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},   {"HKCU", "HKEY_CURRENT_USER", HKEY_CURRENT_USER},
    {"HKCR", "HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT},     {"HKU", "HKEY_USERS", HKEY_USERS},
    {"HKCC", "HKEY_CURRENT_CONFIG", HKEY_CURRENT_CONFIG},
};

bool Same(const std::string &a, const char *b) {
    return strcasecmp(a.c_str(), b) == 0;
}

// Every key and value below every root, as text lines (key names lower-cased: names compare
// without case).
void DumpKey(HKEY key, const std::string &path, std::vector<std::string> &lines,
             std::vector<std::string> *values) {
    lines.push_back("K " + path);
    for (DWORD i = 0;; ++i) {
        char name[16384];
        DWORD nameLength = sizeof name;
        DWORD type = 0;
        DWORD size = 0;
        if (RegEnumValueA(key, i, name, &nameLength, nullptr, &type, nullptr, &size) != ERROR_SUCCESS)
            break;
        std::string data(size, '\0');
        nameLength = sizeof name;
        DWORD got = size;
        RegEnumValueA(key, i, name, &nameLength, nullptr, &type, reinterpret_cast<BYTE *>(data.data()), &got);
        lines.push_back("V " + path + "|" + std::string(name, nameLength) + "|" + std::to_string(type) + "|" +
                        data);
        if (values)
            values->push_back(lines.back());
    }
    for (DWORD i = 0;; ++i) {
        char name[1024];
        DWORD length = sizeof name;
        if (RegEnumKeyExA(key, i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        HKEY sub = nullptr;
        if (RegOpenKeyExA(key, name, 0, KEY_READ, &sub) == ERROR_SUCCESS) {
            std::string lower(name, length);
            for (char &c : lower)
                c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
            DumpKey(sub, path + "\\" + lower, lines, values);
            RegCloseKey(sub);
        }
    }
}

std::string Dump(std::vector<std::string> *values = nullptr) {
    std::vector<std::string> lines;
    for (const RootName &root : Roots)
        DumpKey(root.Handle, root.Short, lines, values);
    std::string all;
    for (const std::string &line : lines)
        all += line + "\n";
    return all;
}

std::string ReadBytes(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

struct Harness {
    FuzzRoot root;
    std::map<std::string, std::string> saved;  // the registry's files, by name
    FILE *null = fopen("/dev/null", "w");

    int Run(std::vector<std::string> args, const char *answer = "") {
        std::vector<char *> argv;
        args.insert(args.begin(), "reg");
        for (std::string &arg : args)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        FILE *in = fmemopen(const_cast<char *>(answer), strlen(answer) + 1, "r");
        const int status = RunRegCommand(static_cast<int>(args.size()), argv.data(), null, null, in);
        fclose(in);
        return status;
    }

    Harness() {
        FUZZ_CHECK(Run({"add", "HKLM\\SOFTWARE\\Kestrune", "/v", "Station", "/d", "lab0", "/f"}) == 0,
                   "seed");
        FUZZ_CHECK(
            Run({"add", "HKLM\\SOFTWARE\\Kestrune", "/v", "Count", "/t", "REG_DWORD", "/d", "7", "/f"}) == 0,
            "seed");
        FUZZ_CHECK(Run({"add", "HKLM\\SOFTWARE\\Kestrune\\Sub", "/ve", "/d", "default", "/f"}) == 0, "seed");
        FUZZ_CHECK(Run({"add", "HKCU\\Software\\Other", "/v", "List", "/t", "REG_MULTI_SZ", "/d", "a\\0b",
                        "/f"}) == 0,
                   "seed");
        for (const char *name : {"registry.db", "registry.db-wal", "registry.db-shm"})
            if (access((root.Path() + "/" + name).c_str(), F_OK) == 0)
                saved[name] = ReadBytes(root.Path() + "/" + name);
    }

    void Restore() {
        for (const char *name : {"registry.db", "registry.db-wal", "registry.db-shm"})
            unlink((root.Path() + "/" + name).c_str());
        for (const auto &[name, bytes] : saved)
            std::ofstream(root.Path() + "/" + name, std::ios::binary) << bytes;
    }
};

// The key named by the argument, as the tool reads it: a root, then an optional path
// without trailing backslashes.
bool KeyOf(const std::string &text, HKEY &root, std::string &path) {
    const size_t slash = text.find('\\');
    const std::string head = text.substr(0, slash);
    for (const RootName &r : Roots) {
        if (Same(head, r.Short) || Same(head, r.Long)) {
            root = r.Handle;
            path = slash == std::string::npos ? "" : text.substr(slash + 1);
            while (!path.empty() && path.back() == '\\')
                path.pop_back();
            return true;
        }
    }
    return false;
}

bool IsOption(const std::string &arg, const char *name) {
    return !arg.empty() && (arg[0] == '/' || arg[0] == '-') && Same(arg.substr(1), name);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static Harness *harness = new Harness();
    if (size == 0)
        return 0;
    const bool yes = data[0] & 1;
    std::vector<std::string> args;
    std::string arg;
    for (size_t i = 1; i < size; ++i) {
        if (data[i] == 0) {
            args.push_back(arg);
            arg.clear();
        } else {
            arg += static_cast<char>(data[i]);
        }
    }
    args.push_back(arg);
    if (args.size() > 12)
        return -1;  // not worth keeping: the tool rejects long vectors the same way

    harness->Restore();
    std::vector<std::string> valuesBefore;
    const std::string before = Dump(&valuesBefore);
    const int status = harness->Run(args, yes ? "yes\n" : "no\n");
    FUZZ_CHECK(status == 0 || status == 1, "exit status %d", status);
    std::vector<std::string> valuesAfter;
    const std::string after = Dump(&valuesAfter);

    if (status != 0) {
        // A failed or declined command changes no value (an add may have created its key).
        FUZZ_CHECK(valuesBefore == valuesAfter, "a command that failed changed a value");
        return 0;
    }
    if (args.empty() || (args.size() >= 1 && IsOption(args[0], "?")) ||
        (args.size() >= 2 && IsOption(args[1], "?"))) {
        FUZZ_CHECK(before == after, "help changed the registry");
        return 0;
    }
    FUZZ_CHECK(args.size() >= 2, "success with %zu arguments", args.size());
    HKEY root = nullptr;
    std::string path;
    FUZZ_CHECK(KeyOf(args[1], root, path), "success with key [%s]", args[1].c_str());

    // The options, consumed in order as the tool does.
    const bool adding = Same(args[0], "add");
    const char *value = nullptr;
    bool defaultValue = false, allValues = false;
    const char *type = nullptr;
    const char *text = nullptr;
    for (size_t i = 2; i < args.size(); ++i) {
        const bool hasNext = i + 1 < args.size();
        if (IsOption(args[i], "v") && hasNext && !value)
            value = args[++i].c_str();
        else if (IsOption(args[i], "ve"))
            defaultValue = true;
        else if (IsOption(args[i], "va"))
            allValues = true;
        else if (IsOption(args[i], "s") && adding && hasNext)
            ++i;
        else if (IsOption(args[i], "t") && hasNext && !type)
            type = args[++i].c_str();
        else if (IsOption(args[i], "d") && hasNext && !text)
            text = args[++i].c_str();
    }

    HKEY key = nullptr;
    const bool keyExists = RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &key) == ERROR_SUCCESS;
    if (Same(args[0], "query")) {
        FUZZ_CHECK(before == after, "a query changed the registry");
        FUZZ_CHECK(keyExists, "a query of a missing key succeeded");
    } else if (adding) {
        FUZZ_CHECK(keyExists, "add succeeded but the key is missing");
        if (value || defaultValue || text || type) {
            DWORD stored = 0;
            DWORD bytes = 0;
            const char *name = value ? value : "";
            FUZZ_CHECK(RegQueryValueExA(key, name, nullptr, &stored, nullptr, &bytes) == ERROR_SUCCESS,
                       "add succeeded but value [%s] is missing", name);
            const DWORD asked = !type                                    ? REG_SZ
                                : strcasecmp(type, "REG_SZ") == 0        ? REG_SZ
                                : strcasecmp(type, "REG_EXPAND_SZ") == 0 ? REG_EXPAND_SZ
                                : strcasecmp(type, "REG_MULTI_SZ") == 0  ? REG_MULTI_SZ
                                : strcasecmp(type, "REG_DWORD") == 0     ? REG_DWORD
                                : strcasecmp(type, "REG_QWORD") == 0     ? REG_QWORD
                                : strcasecmp(type, "REG_BINARY") == 0    ? REG_BINARY
                                : strcasecmp(type, "REG_NONE") == 0      ? REG_NONE
                                                                         : 0xFFFFFFFF;
            FUZZ_CHECK(stored == asked, "type %lu stored, %lu asked", static_cast<unsigned long>(stored),
                       static_cast<unsigned long>(asked));
            if (asked == REG_SZ || asked == REG_EXPAND_SZ) {
                std::string got(bytes, '\0');
                RegQueryValueExA(key, name, nullptr, &stored, reinterpret_cast<BYTE *>(got.data()), &bytes);
                FUZZ_CHECK(got == std::string(text ? text : "") + '\0', "data [%s] stored", got.c_str());
            }
        }
    } else {
        FUZZ_CHECK(Same(args[0], "delete"), "success of command [%s]", args[0].c_str());
        if (value || defaultValue) {
            FUZZ_CHECK(keyExists, "the key of a deleted value is gone");
            FUZZ_CHECK(RegQueryValueExA(key, value ? value : "", nullptr, nullptr, nullptr, nullptr) !=
                           ERROR_SUCCESS,
                       "value [%s] still there after its delete", value ? value : "");
        } else if (allValues) {
            FUZZ_CHECK(keyExists, "the key whose values were deleted is gone");
            char name[16384];
            DWORD length = sizeof name;
            FUZZ_CHECK(RegEnumValueA(key, 0, name, &length, nullptr, nullptr, nullptr, nullptr) ==
                           ERROR_NO_MORE_ITEMS,
                       "value [%s] left after /va", name);
        } else {
            FUZZ_CHECK(!keyExists, "key [%s] still there after its delete", path.c_str());
        }
    }
    if (key)
        RegCloseKey(key);
    return 0;
}
