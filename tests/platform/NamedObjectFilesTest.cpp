// How named mutexes and mappings live in /dev/shm on Linux: owner-only files, refused when
// they belong to another user or are open to everyone, removed with their last holder,
// reclaimed after a holder was killed, and never waited for without bound. The two-user
// cases run the second process as "nobody" through setpriv and need root.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/ChildProgram.h"
#include "common/TestRoot.h"
#include "platform/posix/handles_internal.h"
#include "platform/win32.h"

namespace {

// The /dev/shm path of a named object of the current KESTRUNE_ROOT.
std::string ObjectPath(const char *kind, const char *name) {
    std::string shmName;
    EXPECT_TRUE(kestrune::SharedObjectName(kind, name, shmName));
    return "/dev/shm" + shmName;
}

// The /dev/shm entries of the current KESTRUNE_ROOT.
std::vector<std::string> EntriesOfRoot() {
    std::string prefix;
    kestrune::SharedObjectName("", "", prefix);
    prefix = prefix.substr(1, prefix.size() - 2);  // "kestrune.<hash>."
    std::vector<std::string> entries;
    if (DIR *directory = opendir("/dev/shm")) {
        while (struct dirent *entry = readdir(directory))
            if (std::strncmp(entry->d_name, prefix.c_str(), prefix.size()) == 0)
                entries.push_back(entry->d_name);
        closedir(directory);
    }
    return entries;
}

struct stat StatOf(const std::string &path) {
    struct stat info;
    std::memset(&info, 0, sizeof info);
    EXPECT_EQ(stat(path.c_str(), &info), 0) << path;
    return info;
}

const char *ChildAction() {
    return std::getenv("KESTRUNE_OBJECT_CHILD");
}

// The child side: what to do comes from the environment. Exit status 0 is what the parent
// expects; anything else names the step that went otherwise.
TEST(NamedObjectChild, Run) {
    const char *action = ChildAction();
    if (!action)
        GTEST_SKIP() << "runs only as the child of a named-object test";
    const std::string what = action;
    const char *name = std::getenv("KESTRUNE_OBJECT_NAME");
    if (what == "another-user") {
        // Nothing of the owner's objects is reachable, each refusal is ERROR_ACCESS_DENIED.
        if (OpenFileMappingA(FILE_MAP_WRITE, FALSE, name) || GetLastError() != ERROR_ACCESS_DENIED)
            _exit(10);
        if (OpenFileMappingA(FILE_MAP_READ, FALSE, name) || GetLastError() != ERROR_ACCESS_DENIED)
            _exit(11);
        if (CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 16, name) ||
            GetLastError() != ERROR_ACCESS_DENIED)
            _exit(12);
        if (OpenMutexA(SYNCHRONIZE, FALSE, name) || GetLastError() != ERROR_ACCESS_DENIED)
            _exit(13);
        if (CreateMutexA(nullptr, FALSE, name) || GetLastError() != ERROR_ACCESS_DENIED)
            _exit(14);
        _exit(0);
    }
    if (what == "group-member") {
        HANDLE mapping = OpenFileMappingA(FILE_MAP_WRITE, FALSE, name);
        if (!mapping)
            _exit(20);
        char *view = static_cast<char *>(MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, 16));
        if (!view)
            _exit(21);
        std::memcpy(view, "group", 6);
        HANDLE mutex = OpenMutexA(SYNCHRONIZE, FALSE, name);
        if (!mutex || WaitForSingleObject(mutex, 10000) != WAIT_OBJECT_0 || !ReleaseMutex(mutex))
            _exit(22);
        _exit(0);
    }
    if (what == "hold-until-killed") {
        HANDLE mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 16, name);
        char *view =
            mapping ? static_cast<char *>(MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, 16)) : nullptr;
        HANDLE mutex = CreateMutexA(nullptr, TRUE, name);
        if (!view || !mutex)
            _exit(30);
        std::memcpy(view, "stale bytes", 12);
        ReadyPipe::Signal(std::getenv("KESTRUNE_OBJECT_READY_FD"));
        for (;;)
            pause();
    }
    if (what == "squat") {
        // Makes the file of an object before its owner does, open to everyone, and holds it.
        const char *path = std::getenv("KESTRUNE_OBJECT_PATH");
        int fd = open(path, O_RDWR | O_CREAT | O_EXCL, 0666);
        if (fd < 0 || fchmod(fd, 0666) != 0 || ftruncate(fd, 4096) != 0 || flock(fd, LOCK_SH) != 0)
            _exit(40);
        ReadyPipe::Signal(std::getenv("KESTRUNE_OBJECT_READY_FD"));
        for (;;)
            pause();
    }
    _exit(4);
}

TEST(NamedObjectFiles, AreMadeForTheirOwnerAloneAndGoWithTheLastClose) {
    TestRoot root;
    HANDLE mutex = CreateMutexA(nullptr, FALSE, "OwnerOnly");
    HANDLE mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 16, "OwnerOnly");
    ASSERT_NE(mutex, nullptr);
    ASSERT_NE(mapping, nullptr);
    for (const std::string &path : {ObjectPath("mutex", "OwnerOnly"), ObjectPath("mapping", "OwnerOnly")}) {
        struct stat info = StatOf(path);
        EXPECT_EQ(info.st_mode & 07777, 0600u) << path;
        EXPECT_EQ(info.st_uid, geteuid()) << path;
    }
    EXPECT_EQ(EntriesOfRoot().size(), 2u);
    // An unnamed mapping leaves no entry at all.
    HANDLE unnamed = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, nullptr);
    ASSERT_NE(unnamed, nullptr);
    EXPECT_EQ(EntriesOfRoot().size(), 2u);
    CloseHandle(unnamed);
    CloseHandle(mutex);
    // A handle opened for reading only is a holder like any other, and can be the last.
    HANDLE reader = OpenFileMappingA(FILE_MAP_READ, FALSE, "OwnerOnly");
    ASSERT_NE(reader, nullptr);
    CloseHandle(mapping);
    EXPECT_EQ(EntriesOfRoot().size(), 1u);
    CloseHandle(reader);
    EXPECT_TRUE(EntriesOfRoot().empty());
}

TEST(NamedObjectFiles, ASharedGroupGetsReadAndWriteButOthersNothing) {
    TestRoot root;
    setenv("KESTRUNE_SHARED_GROUP", NobodyId, 1);
    HANDLE mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 16, "Grouped");
    const DWORD error = GetLastError();
    unsetenv("KESTRUNE_SHARED_GROUP");
    if (!mapping && geteuid() != 0) {
        // Only a member of the group (or root) may give an object to it.
        EXPECT_EQ(error, static_cast<DWORD>(ERROR_ACCESS_DENIED));
        GTEST_SKIP() << "not a member of group " << NobodyId;
    }
    ASSERT_NE(mapping, nullptr) << error;
    struct stat info = StatOf(ObjectPath("mapping", "Grouped"));
    EXPECT_EQ(info.st_mode & 07777, 0660u);
    EXPECT_EQ(info.st_gid, static_cast<gid_t>(std::atoi(NobodyId)));
    CloseHandle(mapping);

    setenv("KESTRUNE_SHARED_GROUP", "no-such-group-of-kestrune", 1);
    EXPECT_EQ(CreateMutexA(nullptr, FALSE, "Grouped"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_SUCH_GROUP));
    unsetenv("KESTRUNE_SHARED_GROUP");
    EXPECT_TRUE(EntriesOfRoot().empty());
}

TEST(NamedObjectFiles, AnotherUserCanNeitherOpenNorWriteThem) {
    const std::string skip = TwoUserSkipReason();
    if (!skip.empty())
        GTEST_SKIP() << skip;
    TestRoot root;
    HANDLE mutex = CreateMutexA(nullptr, FALSE, "NotYours");
    HANDLE mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 16, "NotYours");
    ASSERT_NE(mutex, nullptr);
    ASSERT_NE(mapping, nullptr);
    char *view = static_cast<char *>(MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 16));
    ASSERT_NE(view, nullptr);
    ChildProgram child(ThisTestCase("NamedObjectChild.Run"),
                       {"KESTRUNE_OBJECT_CHILD=another-user", "KESTRUNE_OBJECT_NAME=NotYours"}, "",
                       AsNobody());
    ASSERT_TRUE(child.Started());
    EXPECT_EQ(child.Wait(), 0);
    EXPECT_EQ(view[0], 0);
    EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);
    ReleaseMutex(mutex);
    UnmapViewOfFile(view);
    CloseHandle(mapping);
    CloseHandle(mutex);
    EXPECT_TRUE(EntriesOfRoot().empty());
}

TEST(NamedObjectFiles, AMemberOfTheSharedGroupMayWriteThem) {
    const std::string skip = TwoUserSkipReason();
    if (!skip.empty())
        GTEST_SKIP() << skip;
    TestRoot root;
    setenv("KESTRUNE_SHARED_GROUP", NobodyId, 1);
    HANDLE mutex = CreateMutexA(nullptr, FALSE, "Shared");
    HANDLE mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 16, "Shared");
    unsetenv("KESTRUNE_SHARED_GROUP");
    ASSERT_NE(mutex, nullptr);
    ASSERT_NE(mapping, nullptr);
    char *view = static_cast<char *>(MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 16));
    ASSERT_NE(view, nullptr);
    ChildProgram child(ThisTestCase("NamedObjectChild.Run"),
                       {"KESTRUNE_OBJECT_CHILD=group-member", "KESTRUNE_OBJECT_NAME=Shared"}, "", AsNobody());
    ASSERT_TRUE(child.Started());
    EXPECT_EQ(child.Wait(), 0);
    EXPECT_STREQ(view, "group");
    UnmapViewOfFile(view);
    CloseHandle(mapping);
    CloseHandle(mutex);
    EXPECT_TRUE(EntriesOfRoot().empty());
}

TEST(NamedObjectFiles, AnObjectSquattedByAnotherUserIsRefusedAtOnce) {
    const std::string skip = TwoUserSkipReason();
    if (!skip.empty())
        GTEST_SKIP() << skip;
    TestRoot root;
    const std::string path = ObjectPath("mutex", "Squatted");
    ReadyPipe ready;
    ChildProgram squatter(ThisTestCase("NamedObjectChild.Run"),
                          {"KESTRUNE_OBJECT_CHILD=squat", "KESTRUNE_OBJECT_PATH=" + path,
                           "KESTRUNE_OBJECT_READY_FD=" + ready.WriteFd()},
                          "", AsNobody());
    ASSERT_TRUE(squatter.Started());
    ready.CloseWriteEnd();
    ASSERT_TRUE(ready.WaitReady());
    EXPECT_EQ(CreateMutexA(nullptr, FALSE, "Squatted"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(OpenMutexA(SYNCHRONIZE, FALSE, "Squatted"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    kill(squatter.Pid(), SIGKILL);
    squatter.Wait();
    unlink(path.c_str());
}

TEST(NamedObjectFiles, AnObjectOpenToEveryoneIsNotUsedWhileHeld) {
    TestRoot root;
    const std::string path = ObjectPath("mapping", "OpenToAll");
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL, 0666);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(fchmod(fd, 0666), 0);
    ASSERT_EQ(ftruncate(fd, 16), 0);
    struct flock holder = {};
    holder.l_type = F_RDLCK;
    holder.l_whence = SEEK_SET;
    holder.l_len = 1;
    ASSERT_EQ(fcntl(fd, F_OFD_SETLK, &holder), 0);
    EXPECT_EQ(CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 16, "OpenToAll"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    // Without a holder it is stale: replaced by a new, owner-only object.
    close(fd);
    HANDLE mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 16, "OpenToAll");
    ASSERT_NE(mapping, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(StatOf(path).st_mode & 07777, 0600u);
    CloseHandle(mapping);
    EXPECT_TRUE(EntriesOfRoot().empty());
}

TEST(NamedObjectFiles, AKilledHolderLeavesNothingTheNextCreateCouldSee) {
    TestRoot root;
    ReadyPipe ready;
    ChildProgram holder(ThisTestCase("NamedObjectChild.Run"),
                        {"KESTRUNE_OBJECT_CHILD=hold-until-killed", "KESTRUNE_OBJECT_NAME=Killed",
                         "KESTRUNE_OBJECT_READY_FD=" + ready.WriteFd()});
    ASSERT_TRUE(holder.Started());
    ready.CloseWriteEnd();
    ASSERT_TRUE(ready.WaitReady());
    const std::string mappingPath = ObjectPath("mapping", "Killed");
    const std::string mutexPath = ObjectPath("mutex", "Killed");
    const ino_t oldMapping = StatOf(mappingPath).st_ino;
    const ino_t oldMutex = StatOf(mutexPath).st_ino;
    ASSERT_EQ(kill(holder.Pid(), SIGKILL), 0);
    holder.Wait();

    HANDLE mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 16, "Killed");
    ASSERT_NE(mapping, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));  // a new object, not the old one
    char *view = static_cast<char *>(MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 16));
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(std::string(view, 16), std::string(16, '\0'));
    HANDLE mutex = CreateMutexA(nullptr, FALSE, "Killed");
    ASSERT_NE(mutex, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);  // new: free, not abandoned
    ReleaseMutex(mutex);

    // The old entries are gone: one entry per name, each a new file.
    EXPECT_NE(StatOf(mappingPath).st_ino, oldMapping);
    EXPECT_NE(StatOf(mutexPath).st_ino, oldMutex);
    EXPECT_EQ(EntriesOfRoot().size(), 2u);
    UnmapViewOfFile(view);
    CloseHandle(mapping);
    CloseHandle(mutex);
    EXPECT_TRUE(EntriesOfRoot().empty());
}

TEST(NamedObjectFiles, AnOpenAfterAKilledHolderFindsNothingAndRemovesTheEntry) {
    TestRoot root;
    ReadyPipe ready;
    ChildProgram holder(ThisTestCase("NamedObjectChild.Run"),
                        {"KESTRUNE_OBJECT_CHILD=hold-until-killed", "KESTRUNE_OBJECT_NAME=KilledThenOpened",
                         "KESTRUNE_OBJECT_READY_FD=" + ready.WriteFd()});
    ASSERT_TRUE(holder.Started());
    ready.CloseWriteEnd();
    ASSERT_TRUE(ready.WaitReady());
    ASSERT_EQ(EntriesOfRoot().size(), 2u);
    ASSERT_EQ(kill(holder.Pid(), SIGKILL), 0);
    holder.Wait();
    EXPECT_EQ(OpenFileMappingA(FILE_MAP_READ, FALSE, "KilledThenOpened"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(OpenMutexA(SYNCHRONIZE, FALSE, "KilledThenOpened"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_TRUE(EntriesOfRoot().empty());
}

TEST(NamedObjectFiles, ABusyObjectFailsWithATimeoutInsteadOfHanging) {
    TestRoot root;
    HANDLE mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 16, "Busy");
    ASSERT_NE(mapping, nullptr);
    // Another holder keeps the object's bookkeeping lock.
    int fd = open(ObjectPath("mapping", "Busy").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(flock(fd, LOCK_EX), 0);
    EXPECT_EQ(OpenFileMappingA(FILE_MAP_READ, FALSE, "Busy"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_TIMEOUT));
    // The last close cannot remove the name meanwhile, and does not hang either.
    EXPECT_TRUE(CloseHandle(mapping));
    EXPECT_EQ(EntriesOfRoot().size(), 1u);
    close(fd);
    // The next open reclaims it.
    EXPECT_EQ(OpenFileMappingA(FILE_MAP_READ, FALSE, "Busy"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_TRUE(EntriesOfRoot().empty());
}

}  // namespace
