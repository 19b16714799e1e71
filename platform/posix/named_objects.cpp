// The files behind named objects on POSIX. Each named mutex or mapping is one file in
// /dev/shm, "/kestrune.<root>.<kind>.<name>" (see SharedObjectName).
//
// Who may use it. A new object belongs to its creator, mode 0600; with KESTRUNE_SHARED_GROUP
// set, mode 0660 in that group. Nothing is ever created with access for others. Root making
// an object for an installation that belongs to another user (KESTRUNE_ROOT is that user's
// folder) hands it to that user, so a publisher running as root (clocksync from the time
// daemon's hook) never locks the station out of its own objects. An existing object is used
// only when it belongs to this user, to root, to the installation's owner or to the shared
// group, and grants nothing to others; anything else fails with ERROR_ACCESS_DENIED, as
// opening another user's object does on Windows. The kernel's own check (open()) comes first.
//
// When it exists (Windows' rule: while somebody holds it). Every holder keeps a shared OFD
// lock on byte 0 of the file. The bookkeeping on one object (making, opening, the last
// close, reclaiming) runs under an exclusive flock on that same file: only processes that
// may open the object can take part, and unrelated objects, roots and users never share a
// lock. A new object is made unnamed (O_TMPFILE), sized, prepared and held by its maker, then
// linked under its name while its maker still has the bookkeeping lock: nobody sees it
// half-made. The last holder to close removes the name. A process that dies drops its locks
// with it, so an object found without holders is stale: it is removed when the name is next
// created or opened, and the new object starts from zero bytes.
//
// No unbounded wait. The bookkeeping lock is held for microseconds; it is taken with a
// try-lock retried after short, growing sleeps, and past NamedObjectLockMilliseconds the call
// fails with ERROR_TIMEOUT, which the caller reports, instead of hanging.
#include "platform/posix/named_objects.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>

#include "platform/posix/handles_internal.h"

namespace kestrune {

namespace {

const char ShmDirectory[] = "/dev/shm";

long long MonotonicMicroseconds() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000000LL + now.tv_nsec / 1000;
}

// Takes the object's bookkeeping lock before the deadline; false with the last error set.
bool TakeBookkeepingLock(int fd, long long deadline) {
    long long pause = 100;
    for (;;) {
        if (flock(fd, LOCK_EX | LOCK_NB) == 0)
            return true;
        if (errno == EINTR)
            continue;
        if (errno != EWOULDBLOCK) {
            SetLastErrorFromErrno(errno);
            return false;
        }
        const long long left = deadline - MonotonicMicroseconds();
        if (left <= 0) {
            SetLastError(ERROR_TIMEOUT);
            return false;
        }
        const long long step = pause < left ? pause : left;
        usleep(static_cast<useconds_t>(step));
        if (pause < 10000)
            pause *= 2;
    }
}

void DropBookkeepingLock(int fd) {
    flock(fd, LOCK_UN);
}

struct flock HolderRange(short type) {
    struct flock range;
    std::memset(&range, 0, sizeof range);
    range.l_type = type;
    range.l_whence = SEEK_SET;
    range.l_start = 0;
    range.l_len = 1;
    return range;
}

bool Hold(int fd) {
    struct flock range = HolderRange(F_RDLCK);
    while (fcntl(fd, F_OFD_SETLK, &range) != 0) {
        if (errno != EINTR) {
            SetLastErrorFromErrno(errno);
            return false;
        }
    }
    return true;
}

// Whether another open of the object (in any process, this one included) holds it.
bool OthersHold(int fd) {
    struct flock range = HolderRange(F_WRLCK);
    if (fcntl(fd, F_OFD_GETLK, &range) != 0)
        return true;  // cannot tell: keep it
    return range.l_type != F_UNLCK;
}

// Whether the descriptor is still the object under that name (not removed, not replaced).
bool StillNamed(int fd, const std::string &path) {
    struct stat mine, named;
    if (fstat(fd, &mine) != 0 || mine.st_nlink == 0)
        return false;
    if (lstat(path.c_str(), &named) != 0)
        return false;
    return mine.st_dev == named.st_dev && mine.st_ino == named.st_ino;
}

// The shared group: 0 when none is configured, 1 with its id, -1 (last error set) when the
// variable names no group.
int SharedGroup(gid_t &group) {
    const char *text = std::getenv(SharedGroupVariable);
    if (!text || !*text)
        return 0;
    char *end = nullptr;
    errno = 0;
    unsigned long number = std::strtoul(text, &end, 10);
    if (errno == 0 && end && *end == '\0' && text[0] != '-') {
        group = static_cast<gid_t>(number);
        return 1;
    }
    struct group entry, *found = nullptr;
    char buffer[4096];
    if (getgrnam_r(text, &entry, buffer, sizeof buffer, &found) == 0 && found) {
        group = found->gr_gid;
        return 1;
    }
    SetLastError(ERROR_NO_SUCH_GROUP);
    return -1;
}

// The owner of the installation: the user whose folder KESTRUNE_ROOT is.
bool InstallationOwner(uid_t &owner) {
    struct stat info;
    if (stat(KestruneRootPath().c_str(), &info) != 0)
        return false;
    owner = info.st_uid;
    return true;
}

bool TrustedOwner(const struct stat &info) {
    const uid_t self = geteuid();
    if (info.st_uid == self || info.st_uid == 0)
        return true;
    uid_t owner;
    if (InstallationOwner(owner) && info.st_uid == owner)
        return true;
    gid_t group;
    return SharedGroup(group) == 1 && info.st_gid == group && (info.st_mode & S_IRWXG) != 0;
}

// Gives a new object its owner, group and mode; false with the last error set.
bool SetAccess(int fd) {
    gid_t group = 0;
    const int shared = SharedGroup(group);
    if (shared < 0)
        return false;
    uid_t newOwner = static_cast<uid_t>(-1);
    uid_t owner;
    if (geteuid() == 0 && InstallationOwner(owner) && owner != 0)
        newOwner = owner;
    gid_t newGroup = shared ? group : static_cast<gid_t>(-1);
    // Only a real change is asked for: a service whose primary group is the shared one runs
    // with chown() filtered out of its system calls.
    struct stat info;
    if (fstat(fd, &info) == 0) {
        if (newOwner == info.st_uid)
            newOwner = static_cast<uid_t>(-1);
        if (newGroup == info.st_gid)
            newGroup = static_cast<gid_t>(-1);
    }
    if ((newOwner != static_cast<uid_t>(-1) || newGroup != static_cast<gid_t>(-1)) &&
        fchown(fd, newOwner, newGroup) != 0) {
        SetLastErrorFromErrno(errno);
        return false;
    }
    if (fchmod(fd, shared ? 0660 : 0600) != 0) {
        SetLastErrorFromErrno(errno);
        return false;
    }
    return true;
}

// Sizes a new (or reclaimed) object and lets the caller prepare it; false with the last
// error set.
bool Prepare(int fd, off_t size, const NamedObjectInit &init) {
    if (ftruncate(fd, 0) != 0 || ftruncate(fd, size) != 0) {
        const int err = errno;
        SetLastError(err == EFBIG || err == EINVAL ? ERROR_NOT_ENOUGH_MEMORY : Win32ErrorFromErrno(err));
        return false;
    }
    return !init || init(fd);
}

// Makes the object and names it. 1: made, fd set, bookkeeping lock held; 0: somebody named
// one first; -1: failed, last error set.
int MakeObject(const std::string &path, off_t size, const NamedObjectInit &init, int &madeFd) {
    static std::atomic<unsigned> counter{0};
    std::string temporary;
    int fd = open(ShmDirectory, O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
        // No unnamed files here: a private name, linked and removed again.
        char suffix[64];
        std::snprintf(suffix, sizeof suffix, ".new.%d.%u", static_cast<int>(getpid()), counter++);
        temporary = path + suffix;
        fd = open(temporary.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    }
    if (fd < 0) {
        SetLastErrorFromErrno(errno);
        return -1;
    }
    auto fail = [&]() {
        if (!temporary.empty())
            unlink(temporary.c_str());
        close(fd);
        return -1;
    };
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {  // nobody else can have it yet
        SetLastErrorFromErrno(errno);
        return fail();
    }
    if (!SetAccess(fd) || !Prepare(fd, size, init) || !Hold(fd))
        return fail();
    int linked;
    if (temporary.empty()) {
        char self[64];
        std::snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
        linked = linkat(AT_FDCWD, self, AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW);
    } else {
        linked = link(temporary.c_str(), path.c_str());
    }
    if (linked != 0) {
        const int err = errno;
        fail();
        if (err == EEXIST)
            return 0;
        SetLastError(err == EACCES || err == EPERM ? ERROR_ACCESS_DENIED : Win32ErrorFromErrno(err));
        return -1;
    }
    if (!temporary.empty())
        unlink(temporary.c_str());
    madeFd = fd;
    return 1;
}

// Removes the stale objects (holders all gone) whose names start with the prefix; objects
// that are busy, held or someone else's are left alone, without waiting.
void ReclaimStale(const std::string &prefix) {
    DIR *directory = opendir(ShmDirectory);
    if (!directory)
        return;
    while (struct dirent *entry = readdir(directory)) {
        if (std::strncmp(entry->d_name, prefix.c_str() + 1, prefix.size() - 1) != 0)
            continue;
        const std::string path = std::string(ShmDirectory) + "/" + entry->d_name;
        int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
        if (fd < 0)
            continue;
        struct stat info;
        if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == geteuid() &&
            flock(fd, LOCK_EX | LOCK_NB) == 0 && StillNamed(fd, path) && !OthersHold(fd))
            unlink(path.c_str());
        close(fd);
    }
    closedir(directory);
}

// What an earlier run of this installation left behind goes when a process first uses a
// named object of it.
void ReclaimOncePerRoot() {
    static std::mutex lock;
    static std::set<std::string> *done = new std::set<std::string>;
    const std::string root = KestruneRootPath();
    {
        std::lock_guard<std::mutex> guard(lock);
        if (!done->insert(root).second)
            return;
    }
    ReclaimStaleNamedObjects();
}

}  // namespace

void ReclaimStaleNamedObjects() {
    std::string prefix;
    if (!SharedObjectName("", "", prefix))
        return;
    // "/kestrune.<root>.." names no object; every object of this root starts with the part
    // up to the root's hash and its dot.
    prefix.resize(prefix.size() - 1);
    ReclaimStale(prefix);
}

std::string NamedObjectPath(const std::string &shmName) {
    return ShmDirectory + shmName;
}

bool OpenNamedObject(const std::string &shmName, bool create, bool writable, off_t size,
                     const NamedObjectInit &init, const NamedObjectInit &claim, NamedObjectFile &result) {
    const std::string path = NamedObjectPath(shmName);
    const long long deadline = MonotonicMicroseconds() + NamedObjectLockMilliseconds * 1000LL;
    ReclaimOncePerRoot();
    if (create)
        writable = true;
    for (;;) {
        if (MonotonicMicroseconds() > deadline) {
            SetLastError(ERROR_TIMEOUT);  // the name kept changing under us
            return false;
        }
        int fd = open(path.c_str(), (writable ? O_RDWR : O_RDONLY) | O_CLOEXEC | O_NOFOLLOW);
        if (fd < 0) {
            const int err = errno;
            if (err == EINTR)
                continue;
            if (err == ENOENT && create) {
                int made = -1;
                const int outcome = MakeObject(path, size, init, made);
                if (outcome < 0)
                    return false;
                if (outcome == 0)
                    continue;  // somebody else made it first: open theirs
                if (claim && !claim(made)) {
                    const DWORD error = GetLastError();
                    unlink(path.c_str());  // nobody else could open it yet
                    close(made);
                    SetLastError(error);
                    return false;
                }
                DropBookkeepingLock(made);
                result.fd = made;
                result.existed = false;
                result.size = size;
                return true;
            }
            if (err == ENOENT)
                SetLastError(ERROR_FILE_NOT_FOUND);
            else if (err == EACCES || err == EPERM || err == ELOOP)
                SetLastError(ERROR_ACCESS_DENIED);
            else
                SetLastErrorFromErrno(err);
            return false;
        }
        auto fail = [&](DWORD error) {
            close(fd);
            SetLastError(error);
            return false;
        };
        struct stat info;
        if (fstat(fd, &info) != 0)
            return fail(Win32ErrorFromErrno(errno));
        if (!S_ISREG(info.st_mode) || !TrustedOwner(info))
            return fail(ERROR_ACCESS_DENIED);
        if (!TakeBookkeepingLock(fd, deadline))
            return fail(GetLastError());
        if (!StillNamed(fd, path)) {
            close(fd);  // removed or replaced meanwhile: look again
            continue;
        }
        const bool openToOthers = (info.st_mode & S_IRWXO) != 0;
        if (OthersHold(fd)) {
            // Anybody could have written an object open to everyone: not used.
            if (openToOthers)
                return fail(ERROR_ACCESS_DENIED);
            if (!Hold(fd) || fstat(fd, &info) != 0)
                return fail(GetLastError());
            DropBookkeepingLock(fd);
            result.fd = fd;
            result.existed = true;
            result.size = info.st_size;
            return true;
        }
        // Its holders are all gone (they died without closing it): it goes.
        if (unlink(path.c_str()) == 0) {
            close(fd);
            continue;  // a create makes a new one, an open finds none
        }
        // Not removable by this user (another user's object in the shared folder): a create
        // that may write it starts it afresh in place; an open finds it gone.
        if (!create)
            return fail(ERROR_FILE_NOT_FOUND);
        if (openToOthers)
            return fail(ERROR_ACCESS_DENIED);
        if (!Prepare(fd, size, init) || !Hold(fd) || (claim && !claim(fd)))
            return fail(GetLastError());
        DropBookkeepingLock(fd);
        result.fd = fd;
        result.existed = false;
        result.size = size;
        return true;
    }
}

void CloseNamedObject(int fd, const std::string &shmName) {
    const DWORD savedError = GetLastError();
    const int savedErrno = errno;
    const std::string path = NamedObjectPath(shmName);
    // Past the bound the name stays; the next create or open reclaims it.
    if (TakeBookkeepingLock(fd, MonotonicMicroseconds() + NamedObjectLockMilliseconds * 1000LL) &&
        !OthersHold(fd) && StillNamed(fd, path))
        unlink(path.c_str());
    close(fd);  // drops the holder and the bookkeeping lock
    SetLastError(savedError);
    errno = savedErrno;
}

}  // namespace kestrune
