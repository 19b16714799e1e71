// Children of a test binary that runs under a user-mode emulator (the arm64 suite under qemu on
// an x86-64 machine, scripts/test-arm64). The kernel cannot start a program of the emulated
// machine, so when KESTRUNE_TEST_EMULATOR names the emulator, a child built for the same
// machine as this test binary runs through it; programs of the build machine (python3, unzip)
// start as they are. Without the variable a command is left alone.
// POSIX only: included by the Linux branches of the child harnesses.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

namespace emulation {

// The ELF machine field of the file at path, or -1 when it is no ELF file.
inline int ElfMachine(const std::string &path) {
    unsigned char header[20];
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    const ssize_t n = read(fd, header, sizeof header);
    close(fd);
    if (n != static_cast<ssize_t>(sizeof header) || memcmp(header,
                                                           "\x7f"
                                                           "ELF",
                                                           4) != 0)
        return -1;
    return header[5] == 2 ? header[18] << 8 | header[19] : header[18] | header[19] << 8;
}

// The file a command word names: itself with a slash, else the first match on PATH.
inline std::string ProgramFile(const std::string &word) {
    if (word.find('/') != std::string::npos)
        return word;
    const char *path = getenv("PATH");
    std::stringstream folders(path ? path : "");
    std::string folder;
    while (std::getline(folders, folder, ':'))
        if (!folder.empty() && access((folder + "/" + word).c_str(), X_OK) == 0)
            return folder + "/" + word;
    return word;
}

// The path of this executable ("/proc/self/exe" would name the emulator in the child).
inline std::string SelfFile() {
    char path[4096];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    return n > 0 ? std::string(path, static_cast<size_t>(n)) : std::string();
}

// The command with the emulator's words put before it when its program (the first word) is
// one of the emulated machine. A prefix that runs the command (setpriv) goes before the result.
inline std::vector<std::string> Command(std::vector<std::string> words) {
    const char *emulator = getenv("KESTRUNE_TEST_EMULATOR");
    if (!emulator || !*emulator || words.empty())
        return words;
    const std::string self = SelfFile();
    if (words[0] == "/proc/self/exe")
        words[0] = self;
    if (ElfMachine(ProgramFile(words[0])) != ElfMachine(self))
        return words;
    std::vector<std::string> command;
    std::stringstream parts(emulator);
    std::string part;
    while (parts >> part)
        command.push_back(part);
    command.insert(command.end(), words.begin(), words.end());
    return command;
}

// The same for a shell command line whose program is the quoted or plain word program.
inline std::string ShellPrefix(const std::string &program) {
    const std::vector<std::string> words = Command({program});
    std::string prefix;
    for (size_t i = 0; i + 1 < words.size(); ++i)
        prefix += "'" + words[i] + "' ";
    return prefix;
}

}  // namespace emulation
