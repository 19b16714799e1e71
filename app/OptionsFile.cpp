#include "app/OptionsFile.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/win32.h"

const char OptionsFile::StateDirectory[] = "/var/lib/kestrune";

namespace {

// Larger than any options file a person writes; a bigger one is refused rather than cut.
const size_t MaxFileSize = 64 * 1024;

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

bool IsKeyCharacter(char c, bool first) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || (!first && c >= '0' && c <= '9');
}

// Where Parse is in the text, and on which line.
struct Cursor {
    const std::string &Text;
    size_t At;
    int Line;
};

// Passes the blanks, the line ends and the comment lines before the next key. Returns false
// at the end of the text.
bool SkipToKey(Cursor &c) {
    const std::string &text = c.Text;
    while (c.At < text.size()) {
        while (c.At < text.size() && IsBlank(text[c.At])) {
            if (text[c.At] == '\n')
                ++c.Line;
            ++c.At;
        }
        if (c.At >= text.size())
            return false;
        if (text[c.At] != '#' && text[c.At] != ';')
            return true;
        while (c.At < text.size() && text[c.At] != '\n')
            ++c.At;
    }
    return false;
}

// The key and the '=' after it, with the blanks around the '='. Returns the key, or empty
// when the line is not KEY=value.
std::string ReadKey(Cursor &c) {
    const std::string &text = c.Text;
    const size_t keyStart = c.At;
    while (c.At < text.size() && IsKeyCharacter(text[c.At], c.At == keyStart))
        ++c.At;
    const std::string key = text.substr(keyStart, c.At - keyStart);
    while (c.At < text.size() && (text[c.At] == ' ' || text[c.At] == '\t'))
        ++c.At;
    if (key.empty() || c.At >= text.size() || text[c.At] != '=')
        return std::string();
    ++c.At;
    while (c.At < text.size() && (text[c.At] == ' ' || text[c.At] == '\t'))
        ++c.At;
    return key;
}

// A value in quotes, the cursor on its opening quote; only blanks may follow it on its last
// line. Returns null, or what is wrong with the line.
const char *ReadQuotedValue(Cursor &c, std::string &value) {
    const std::string &text = c.Text;
    const char quote = text[c.At++];
    bool closed = false;
    while (c.At < text.size()) {
        char ch = text[c.At++];
        if (ch == quote) {
            closed = true;
            break;
        }
        if (ch == '\n')
            ++c.Line;
        if (quote == '"' && ch == '\\' && c.At < text.size()) {
            const char next = text[c.At];
            if (next == '"' || next == '\\' || next == '$' || next == '`') {
                ch = next;
                ++c.At;
            } else if (next == '\n') {
                ++c.At;
                ++c.Line;
                continue;
            }
        }
        value += ch;
    }
    if (!closed)
        return "has an unclosed quote";
    while (c.At < text.size() && (text[c.At] == ' ' || text[c.At] == '\t' || text[c.At] == '\r'))
        ++c.At;
    if (c.At < text.size() && text[c.At] != '\n')
        return "has text after the closing quote";
    return nullptr;
}

// An unquoted value to the line's end, over the next line after a backslash at the end,
// without its trailing blanks.
void ReadPlainValue(Cursor &c, std::string &value) {
    const std::string &text = c.Text;
    while (c.At < text.size() && text[c.At] != '\n') {
        if (text[c.At] == '\\' && c.At + 1 < text.size() && text[c.At + 1] == '\n') {
            c.At += 2;
            ++c.Line;
            continue;
        }
        value += text[c.At++];
    }
    while (!value.empty() && IsBlank(value.back()))
        value.pop_back();
}

}  // namespace

std::string OptionsFile::Folder() {
    const char *folder = std::getenv("KESTRUNE_SYSCONFDIR");
    if (folder != nullptr && folder[0] != '\0')
        return folder;
    const char *system = KestruneSystemConfigurationFolder();
    return system != nullptr ? system : "";
}

std::string OptionsFile::PathFor(const std::string &instance) {
    // Without a folder of options files (Windows) there is no options file to read.
    if (Folder().empty())
        return std::string();
    if (instance.empty())
        return Folder() + "/default/kestrune";
    return Folder() + "/kestrune/" + instance + ".conf";
}

bool OptionsFile::IsInstanceName(const char *name) {
    const size_t length = strlen(name);
    if (length == 0 || length > 64 || name[0] == '.' || name[0] == '-')
        return false;
    for (const char *c = name; *c != '\0'; ++c)
        if (!IsKeyCharacter(*c, false) && *c != '-' && *c != '.')
            return false;
    return true;
}

bool OptionsFile::Read(const std::string &path) {
    Path = path;
    Exists = false;
    if (path.empty())
        return true;  // no folder of options files on this system
    FILE *file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        if (errno == ENOENT || errno == ENOTDIR)
            return true;
        Error = "cannot read the options file " + path + " (" + std::strerror(errno) + ")";
        return false;
    }
    Exists = true;
    std::string text;
    char chunk[4096];
    size_t got = 0;
    while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0 && text.size() <= MaxFileSize)
        text.append(chunk, got);
    const bool failed = std::ferror(file) != 0;
    std::fclose(file);
    if (failed || text.size() > MaxFileSize) {
        Error = "cannot read the options file " + path + (failed ? "" : " (larger than 64 KiB)");
        return false;
    }
    return Parse(text);
}

// KEY=value lines. Blank lines and lines whose first character is '#' or ';' are skipped.
// A value in double quotes may hold blanks and line ends and takes \" \\ \$ \` as escapes;
// one in single quotes is taken as it stands; an unquoted value loses its surrounding blanks
// and goes on over the next line when it ends in a backslash.
bool OptionsFile::Parse(const std::string &text) {
    Cursor cursor{text, 0, 1};
    int keyLine = 1;
    auto fail = [&](const char *what) {
        char message[200];
        snprintf(message, sizeof message, ": line %d %s", keyLine, what);
        Error = "bad options file " + (Path.empty() ? std::string("text") : Path) + message;
        return false;
    };
    while (cursor.At < text.size()) {
        if (!SkipToKey(cursor))
            break;
        keyLine = cursor.Line;
        const std::string key = ReadKey(cursor);
        if (key.empty())
            return fail("is not KEY=value");
        std::string value;
        const char *problem = nullptr;
        if (cursor.At < text.size() && (text[cursor.At] == '"' || text[cursor.At] == '\''))
            problem = ReadQuotedValue(cursor, value);
        else
            ReadPlainValue(cursor, value);
        if (problem != nullptr)
            return fail(problem);
        if (key == "KESTRUNE_OPTIONS") {
            HasOptions = true;
            Options = value;
        } else if (key == "KESTRUNE_ROOT") {
            HasRoot = true;
            Root = value;
        }
    }
    return true;
}

std::vector<std::string> OptionsFile::Arguments() const {
    std::vector<std::string> words;
    size_t at = 0;
    while (at < Options.size()) {
        while (at < Options.size() && IsBlank(Options[at]))
            ++at;
        const size_t start = at;
        while (at < Options.size() && !IsBlank(Options[at]))
            ++at;
        if (at > start)
            words.push_back(Options.substr(start, at - start));
    }
    return words;
}

std::string OptionsFile::StationRoot(const char *environmentRoot, const OptionsFile &file,
                                     const std::string &instance) {
    if (environmentRoot != nullptr && environmentRoot[0] != '\0')
        return environmentRoot;
    if (file.Exists && file.HasRoot && !file.Root.empty())
        return file.Root;
    if (file.Exists)
        return instance.empty() ? std::string(StateDirectory) : std::string(StateDirectory) + "/" + instance;
    return "";
}
