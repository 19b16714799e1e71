// Checks of archives with the system's own zip tools (Python's zipfile, unzip) and child
// runs of the test binary, through the child-process harness: for the tests that run on Linux
// only.
#pragma once

#include <string>
#include <vector>

#include "common/ChildProgram.h"
#include "common/ZipTestFiles.h"

namespace ziptest {

// Runs a program with arguments; returns its exit status (-1 when it could not run or a
// signal ended it) and its standard output in *output.
inline int RunProgram(const std::vector<std::string> &program, std::string *output = nullptr,
                      const std::vector<std::string> &extraEnvironment = {}) {
    ChildProgram child(program, extraEnvironment);
    if (!child.Started())
        return -1;
    child.CloseInput();
    const std::string text = child.ReadAll();
    const int status = child.Wait();
    if (status < 0)
        return -1;
    if (output)
        *output = text;
    return status;
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
