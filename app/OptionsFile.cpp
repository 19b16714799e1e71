#include "app/OptionsFile.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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

}  // namespace

std::string OptionsFile::Folder() {
    const char *folder = std::getenv("KESTRUNE_SYSCONFDIR");
    return folder != nullptr && folder[0] != '\0' ? folder : "/etc";
}

std::string OptionsFile::PathFor(const std::string &instance) {
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
    size_t at = 0;
    int line = 1, keyLine = 1;
    auto fail = [&](const char *what) {
        char message[200];
        snprintf(message, sizeof message, ": line %d %s", keyLine, what);
        Error = "bad options file " + (Path.empty() ? std::string("text") : Path) + message;
        return false;
    };
    while (at < text.size()) {
        while (at < text.size() && IsBlank(text[at])) {
            if (text[at] == '\n')
                ++line;
            ++at;
        }
        if (at >= text.size())
            break;
        if (text[at] == '#' || text[at] == ';') {
            while (at < text.size() && text[at] != '\n')
                ++at;
            continue;
        }
        const size_t keyStart = at;
        keyLine = line;
        while (at < text.size() && IsKeyCharacter(text[at], at == keyStart))
            ++at;
        const std::string key = text.substr(keyStart, at - keyStart);
        while (at < text.size() && (text[at] == ' ' || text[at] == '\t'))
            ++at;
        if (key.empty() || at >= text.size() || text[at] != '=')
            return fail("is not KEY=value");
        ++at;
        while (at < text.size() && (text[at] == ' ' || text[at] == '\t'))
            ++at;
        std::string value;
        if (at < text.size() && (text[at] == '"' || text[at] == '\'')) {
            const char quote = text[at++];
            bool closed = false;
            while (at < text.size()) {
                char c = text[at++];
                if (c == quote) {
                    closed = true;
                    break;
                }
                if (c == '\n')
                    ++line;
                if (quote == '"' && c == '\\' && at < text.size()) {
                    const char next = text[at];
                    if (next == '"' || next == '\\' || next == '$' || next == '`') {
                        c = next;
                        ++at;
                    } else if (next == '\n') {
                        ++at;
                        ++line;
                        continue;
                    }
                }
                value += c;
            }
            if (!closed)
                return fail("has an unclosed quote");
            while (at < text.size() && (text[at] == ' ' || text[at] == '\t' || text[at] == '\r'))
                ++at;
            if (at < text.size() && text[at] != '\n')
                return fail("has text after the closing quote");
        } else {
            while (at < text.size() && text[at] != '\n') {
                if (text[at] == '\\' && at + 1 < text.size() && text[at + 1] == '\n') {
                    at += 2;
                    ++line;
                    continue;
                }
                value += text[at++];
            }
            while (!value.empty() && IsBlank(value.back()))
                value.pop_back();
        }
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
