// What another local user can do to a running station: not publish a clock synchronisation
// (unless the station shares its objects with that user's group), and not keep the program
// from starting by holding lock files. The other user is "nobody", run through setpriv;
// the cases need root and are skipped otherwise.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "common/LogEntries.h"
#include "common/TestRoot.h"
#include "platform/posix/handles_internal.h"
#include "platform/win32.h"

extern char **environ;

namespace {

const std::string BinDir = KESTRUNE_BIN_DIR;
const char NobodyId[] = "65534";

std::vector<std::string> AsNobody() {
    return {"setpriv", std::string("--reuid=") + NobodyId, std::string("--regid=") + NobodyId,
            "--clear-groups", "--"};
}

std::string TwoUserSkipReason() {
    if (geteuid() != 0)
        return "needs root to run a second process as nobody";
    if (access("/usr/bin/setpriv", X_OK) != 0 && access("/bin/setpriv", X_OK) != 0)
        return "needs setpriv (util-linux)";
    return "";
}

std::string SelfPath() {
    char path[4096];
    ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    return length > 0 ? std::string(path, static_cast<size_t>(length)) : std::string();
}

// A child process with its standard input and output on pipes and its standard error in a
// file; killed and reaped when it goes out of scope.
class Process {
public:
    Process(const std::vector<std::string> &args, const std::vector<std::string> &extraEnv,
            const std::string &errPath) {
        int in[2], out[2];
        if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0)
            return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        std::vector<std::string> envText;
        for (char **e = environ; *e; ++e)
            envText.push_back(*e);
        envText.insert(envText.end(), extraEnv.begin(), extraEnv.end());
        std::vector<char *> env, argv;
        for (auto &e : envText)
            env.push_back(e.data());
        env.push_back(nullptr);
        std::vector<std::string> argText = args;
        for (auto &a : argText)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        if (posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), env.data()) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(in[0]);
        close(out[1]);
        in_ = in[1];
        out_ = out[0];
    }
    ~Process() {
        Kill(SIGKILL);
        if (in_ >= 0)
            close(in_);
        if (out_ >= 0)
            close(out_);
    }
    bool Started() const { return pid_ > 0; }
    std::string ReadLine() {
        std::string line;
        char c;
        while (read(out_, &c, 1) == 1 && c != '\n')
            line += c;
        return line;
    }
    // Reads lines until one equals the text; false when the output ends first.
    bool WaitForLine(const std::string &text) {
        for (;;) {
            std::string line;
            char c;
            ssize_t n;
            while ((n = read(out_, &c, 1)) == 1 && c != '\n')
                line += c;
            if (line == text)
                return true;
            if (n != 1)
                return false;
        }
    }
    int Wait() {
        if (pid_ <= 0)
            return status_;
        int status = 0;
        while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        pid_ = -1;
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
        return status_;
    }
    void Kill(int signal) {
        if (pid_ > 0) {
            kill(pid_, signal);
            Wait();
        }
    }

private:
    pid_t pid_ = -1;
    int in_ = -1;
    int out_ = -1;
    int status_ = -1000;
};

// Waits on file-system events in the directory until the check holds or the limit passes.
bool WaitForDirectory(const std::string &directory, const std::function<bool()> &check, int limitSeconds) {
    int fd = inotify_init1(IN_CLOEXEC);
    inotify_add_watch(fd, directory.c_str(), IN_MODIFY | IN_CREATE | IN_CLOSE_WRITE);
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(limitSeconds);
    bool done = check();
    while (!done && std::chrono::steady_clock::now() < end) {
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 1000) > 0) {
            char events[4096];
            if (read(fd, events, sizeof events) < 0)
                break;
        }
        done = check();
    }
    close(fd);
    return done;
}

std::string FileText(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string ObjectPath(const char *kind, const char *name) {
    std::string shmName;
    EXPECT_TRUE(kestrune::SharedObjectName(kind, name, shmName));
    return "/dev/shm" + shmName;
}

// The clock-synchronisation block as the program holds it while it runs.
struct ClockSyncBlock {
    HANDLE Mutex = CreateMutexA(nullptr, FALSE, "ClockSyncMutex");
    HANDLE Mapping =
        CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 16, "ClockSyncFileMap");
    SYSTEMTIME *View =
        Mapping ? static_cast<SYSTEMTIME *>(MapViewOfFile(Mapping, FILE_MAP_ALL_ACCESS, 0, 0, 16)) : nullptr;
    ~ClockSyncBlock() {
        if (View)
            UnmapViewOfFile(View);
        if (Mapping)
            CloseHandle(Mapping);
        if (Mutex)
            CloseHandle(Mutex);
    }
};

TEST(OtherUser, CannotPublishAClockSynchronisation) {
    const std::string skip = TwoUserSkipReason();
    if (!skip.empty())
        GTEST_SKIP() << skip;
    TestRoot root;
    ClockSyncBlock block;
    ASSERT_NE(block.View, nullptr);
    std::vector<std::string> args = AsNobody();
    args.push_back(BinDir + "/clocksync");
    args.push_back("set");
    args.push_back("2026-01-02 03:04:05.678");
    Process other(args, {}, root.Path() + "/other.err");
    ASSERT_TRUE(other.Started());
    EXPECT_EQ(other.Wait(), 1);
    EXPECT_NE(FileText(root.Path() + "/other.err").find("(error 5)"), std::string::npos)
        << FileText(root.Path() + "/other.err");
    EXPECT_EQ(block.View->wYear, 0);

    // The owner (here root, as from the time daemon's hook) publishes.
    Process owner({BinDir + "/clocksync", "set", "2026-01-02 03:04:05.678"}, {}, root.Path() + "/owner.err");
    EXPECT_EQ(owner.Wait(), 0);
    EXPECT_EQ(block.View->wYear, 2026);
    EXPECT_EQ(block.View->wMilliseconds, 678);
}

TEST(OtherUser, PublishesThroughTheSharedGroup) {
    const std::string skip = TwoUserSkipReason();
    if (!skip.empty())
        GTEST_SKIP() << skip;
    TestRoot root;
    setenv("KESTRUNE_SHARED_GROUP", NobodyId, 1);
    ClockSyncBlock block;
    unsetenv("KESTRUNE_SHARED_GROUP");
    ASSERT_NE(block.View, nullptr);
    std::vector<std::string> args = AsNobody();
    args.push_back(BinDir + "/clocksync");
    args.push_back("set");
    args.push_back("2026-03-04 05:06:07.089");
    Process member(args, {std::string("KESTRUNE_SHARED_GROUP=") + NobodyId}, root.Path() + "/member.err");
    EXPECT_EQ(member.Wait(), 0) << FileText(root.Path() + "/member.err");
    EXPECT_EQ(block.View->wYear, 2026);
    EXPECT_EQ(block.View->wMonth, 3);
}

// The child side of the lock case: holds, as nobody, an exclusive flock and an OFD lock on
// each path (created when missing, open to everyone), says so on its output, and keeps them
// until its input closes.
TEST(OtherUserChild, HoldLocks) {
    const char *paths = std::getenv("KESTRUNE_HOLD_PATHS");
    if (!paths)
        GTEST_SKIP() << "runs only as the child of an other-user test";
    std::stringstream list(paths);
    std::string path;
    while (std::getline(list, path, ':')) {
        bool writable = true;
        int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
        if (fd < 0 && errno == EACCES) {
            writable = false;
            fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        }
        if (fd < 0)
            fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 || flock(fd, LOCK_EX | LOCK_NB) != 0)
            _exit(2);
        fchmod(fd, 0666);
        struct flock whole = {};
        whole.l_type = writable ? F_WRLCK : F_RDLCK;
        whole.l_whence = SEEK_SET;
        if (fcntl(fd, F_OFD_SETLK, &whole) != 0)
            _exit(3);
    }
    if (write(1, "held\n", 5) != 5)
        _exit(4);
    char byte;
    while (read(0, &byte, 1) > 0) {
    }
    _exit(0);
}

TEST(OtherUser, HeldLockFilesDoNotKeepTheProgramFromStarting) {
    const std::string skip = TwoUserSkipReason();
    if (!skip.empty())
        GTEST_SKIP() << skip;
    TestRoot root;
    const std::string data = root.Path() + "/c/Data/Code/Projects/Win32Console/Kestrune";
    // The machine-wide lock files of earlier versions, and the program's own objects made
    // first by the other user.
    std::vector<std::string> paths = {
        "/dev/shm/kestrune.named-objects.lock", "/dev/shm/kestrune-map.lock",
        ObjectPath("mutex", "QORL Data Acquisition Service EventLog_EventLogDiskWrite"),
        ObjectPath("mutex", "ClockSyncMutex"), ObjectPath("mapping", "ClockSyncFileMap")};
    std::vector<std::string> made;  // removed again afterwards
    std::string joined;
    for (const auto &path : paths) {
        if (access(path.c_str(), F_OK) != 0)
            made.push_back(path);
        joined += (joined.empty() ? "" : ":") + path;
    }
    std::vector<std::string> args = AsNobody();
    args.push_back(SelfPath());
    args.push_back("--gtest_filter=OtherUserChild.HoldLocks");
    {
        Process holder(args, {"KESTRUNE_HOLD_PATHS=" + joined}, root.Path() + "/holder.err");
        ASSERT_TRUE(holder.Started());
        ASSERT_TRUE(holder.WaitForLine("held")) << FileText(root.Path() + "/holder.err");

        Process sim({BinDir + "/usonic-sim", "--rate", "20", "--linger"}, {},
                    root.Path() + "/usonic-sim.err");
        ASSERT_TRUE(sim.Started());
        const std::string device = sim.ReadLine();
        ASSERT_FALSE(device.empty());
        Process program({BinDir + "/kestrune"}, {"KESTRUNE_COM1=" + device}, root.Path() + "/kestrune.err");
        ASSERT_TRUE(program.Started());
        ASSERT_EQ(mkdir((root.Path() + "/c").c_str(), 0755) == 0 || errno == EEXIST, true);
        // Waits on the log's growth; the limit only ends a failing run.
        ASSERT_TRUE(WaitForDirectory(
            root.Path() + "/c",
            [&] { return access(data.c_str(), F_OK) == 0 && !LoggedMessages(data, 5300).empty(); }, 60))
            << FileText(root.Path() + "/kestrune.err");
        EXPECT_EQ(LoggedMessages(data, 5300).front(), "Metek1: Data acquisition engine started.");
        program.Kill(SIGKILL);
    }
    for (const auto &path : made)
        unlink(path.c_str());
    for (size_t i = 2; i < paths.size(); ++i)
        unlink(paths[i].c_str());
}

}  // namespace
