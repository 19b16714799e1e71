// What another local user can do to a running station: not publish a clock synchronisation
// (unless the station shares its objects with that user's group), and not keep the program
// from starting by holding lock files. The other user is "nobody", run through setpriv;
// the cases need root and are skipped otherwise.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "common/ChildProgram.h"
#include "common/LogEntries.h"
#include "common/TestRoot.h"
#include "common/ThisProcess.h"
#include "platform/posix/handles_internal.h"
#include "platform/win32.h"

namespace {

const std::string BinDir = KESTRUNE_BIN_DIR;
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
    ChildProgram other({BinDir + "/kestrune-clocksync", "set", "2026-01-02 03:04:05.678"}, {},
                       root.Path() + "/other.err", AsNobody());
    ASSERT_TRUE(other.Started());
    EXPECT_EQ(other.Wait(), 1);
    EXPECT_NE(FileText(root.Path() + "/other.err").find("(error 5)"), std::string::npos)
        << FileText(root.Path() + "/other.err");
    EXPECT_EQ(block.View->wYear, 0);

    // The owner (here root, as from the time daemon's hook) publishes.
    ChildProgram owner({BinDir + "/kestrune-clocksync", "set", "2026-01-02 03:04:05.678"}, {},
                       root.Path() + "/owner.err");
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
    ChildProgram member({BinDir + "/kestrune-clocksync", "set", "2026-03-04 05:06:07.089"},
                        {std::string("KESTRUNE_SHARED_GROUP=") + NobodyId}, root.Path() + "/member.err",
                        AsNobody());
    EXPECT_EQ(member.Wait(), 0) << FileText(root.Path() + "/member.err");
    EXPECT_EQ(block.View->wYear, 2026);
    EXPECT_EQ(block.View->wMonth, 3);
}

// The child side of the lock case: holds, as nobody, an exclusive flock and an OFD lock on
// each path (created when missing, open to everyone), says so on its output ("made <path>" for
// each file it created, then "held"), and keeps them until its input closes. A path another
// process holds already is reported as "busy <path>".
TEST(OtherUserChild, HoldLocks) {
    const char *paths = std::getenv("KESTRUNE_HOLD_PATHS");
    if (!paths)
        GTEST_SKIP() << "runs only as the child of an other-user test";
    std::stringstream list(paths);
    std::string path, said;
    while (std::getline(list, path, ':')) {
        bool writable = true, made = false;
        int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
        if (fd < 0 && errno == EACCES) {
            writable = false;
            fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        }
        if (fd < 0) {
            fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
            made = fd >= 0;
        }
        if (fd < 0)
            _exit(2);
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            said += (errno == EWOULDBLOCK ? "busy " : "failed ") + path + "\n";
            break;
        }
        fchmod(fd, 0666);
        struct flock whole = {};
        whole.l_type = writable ? F_WRLCK : F_RDLCK;
        whole.l_whence = SEEK_SET;
        if (fcntl(fd, F_OFD_SETLK, &whole) != 0)
            _exit(3);
        if (made)
            said += "made " + path + "\n";
    }
    if (said.find("busy ") == std::string::npos && said.find("failed ") == std::string::npos)
        said += "held\n";
    if (write(1, said.data(), said.size()) != static_cast<ssize_t>(said.size()))
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
    // The program's own objects are named after this test's root, so no other suite meets
    // them; the lock files of earlier versions are machine-wide, and a concurrent suite may
    // hold them: the case cannot hold them then and skips. Only the files the holder made are
    // removed afterwards.
    std::vector<std::string> made;
    std::string joined;
    for (const auto &path : paths)
        joined += (joined.empty() ? "" : ":") + path;
    {
        ChildProgram holder({ExecutablePath(), "--gtest_filter=OtherUserChild.HoldLocks"},
                            {"KESTRUNE_HOLD_PATHS=" + joined}, root.Path() + "/holder.err", AsNobody());
        ASSERT_TRUE(holder.Started());
        // Its lines come among the test binary's own output.
        std::string said;
        while (said != "held" && holder.ReadLine(said)) {
            if (said.rfind("made ", 0) == 0) {
                made.push_back(said.substr(5));
            } else if (said.rfind("busy ", 0) == 0) {
                holder.Kill(SIGKILL);
                for (const auto &path : made)
                    unlink(path.c_str());
                GTEST_SKIP() << "another process (a concurrent test suite) holds " << said.substr(5);
            }
        }
        ASSERT_EQ(said, "held") << FileText(root.Path() + "/holder.err");

        ChildProgram sim({BinDir + "/kestrune-sim", "--rate", "20", "--linger"}, {},
                         root.Path() + "/usonic-sim.err");
        ASSERT_TRUE(sim.Started());
        const std::string device = sim.ReadLine();
        ASSERT_FALSE(device.empty());
        ChildProgram program({BinDir + "/kestrune"}, {"KESTRUNE_COM1=" + device},
                             root.Path() + "/kestrune.err");
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
}

}  // namespace
