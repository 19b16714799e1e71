// Checks of archives with the system's own zip tools (Python's zipfile, unzip) and child
// runs of the test binary, through posix_spawn: for the tests that run on Linux only.
#pragma once

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "common/Emulator.h"
#include "common/ZipTestFiles.h"

extern char **environ;

namespace ziptest {

// Runs a program with arguments; returns its exit status (-1 when it could not run) and its
// standard output in *output.
inline int RunProgram(const std::vector<std::string> &program, std::string *output = nullptr,
                      const std::vector<std::string> &extraEnvironment = {}) {
    const std::vector<std::string> args = emulation::Command(program);
    int pipeFds[2];
    if (pipe(pipeFds) != 0)
        return -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
    posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
    std::vector<char *> argv;
    for (const std::string &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<std::string> envStore;
    for (char **e = environ; *e; ++e)
        envStore.push_back(*e);
    for (const std::string &e : extraEnvironment)
        envStore.push_back(e);
    std::vector<char *> envp;
    for (std::string &e : envStore)
        envp.push_back(&e[0]);
    envp.push_back(nullptr);
    pid_t pid;
    int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(pipeFds[1]);
    std::string text;
    char buffer[4096];
    ssize_t n;
    while ((n = read(pipeFds[0], buffer, sizeof buffer)) > 0)
        text.append(buffer, static_cast<size_t>(n));
    close(pipeFds[0]);
    if (spawned != 0)
        return -1;
    int status = 0;
    if (waitpid(pid, &status, 0) != pid)
        return -1;
    if (output)
        *output = text;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

inline bool HavePython() {
    return RunProgram({"/usr/bin/python3", "-c", "import zipfile"}) == 0;
}
inline bool HaveUnzip() {
    return RunProgram({"unzip", "-v"}) == 0;
}

// The members of an archive as Python's zipfile reads them, one "name size" per line, after
// its own integrity check; empty when it cannot read the archive.
inline std::string PythonListing(const std::string &archive) {
    std::string out;
    int rc = RunProgram({"/usr/bin/python3", "-c",
                         "import sys, zipfile\n"
                         "z = zipfile.ZipFile(sys.argv[1])\n"
                         "assert z.testzip() is None\n"
                         "for i in z.infolist(): print(i.filename, i.file_size, i.compress_type)\n",
                         archive},
                        &out);
    return rc == 0 ? out : std::string();
}

// The contents of one member, read by Python's zipfile.
inline std::string PythonMember(const std::string &archive, const std::string &member) {
    std::string out;
    int rc = RunProgram({"/usr/bin/python3", "-c",
                         "import sys, zipfile\n"
                         "sys.stdout.buffer.write(zipfile.ZipFile(sys.argv[1]).read(sys.argv[2]))\n",
                         archive, member},
                        &out);
    return rc == 0 ? out : std::string("<unreadable>");
}

// Builds an archive with Python, members given as name/contents pairs stored as they are.
inline bool PythonBuild(const std::string &archive,
                        const std::vector<std::pair<std::string, std::string>> &members) {
    std::vector<std::string> args = {"/usr/bin/python3", "-c",
                                     "import sys, zipfile\n"
                                     "z = zipfile.ZipFile(sys.argv[1], 'w', zipfile.ZIP_DEFLATED)\n"
                                     "a = sys.argv[2:]\n"
                                     "for i in range(0, len(a), 2): z.writestr(a[i], a[i + 1])\n"
                                     "z.close()\n",
                                     archive};
    for (const auto &m : members) {
        args.push_back(m.first);
        args.push_back(m.second);
    }
    std::filesystem::create_directories(std::filesystem::path(archive).parent_path());
    return RunProgram(args) == 0;
}

inline std::string SelfExecutable() {
    char path[4096];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0)
        return std::string();
    path[n] = '\0';
    return path;
}

}  // namespace ziptest
