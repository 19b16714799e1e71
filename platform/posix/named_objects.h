// The files behind named objects (mutexes, mappings) on POSIX: who may open them, and when
// they exist. Internal to platform/posix; see named_objects.cpp.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>

namespace kestrune {

// How long the layer waits for another holder's bookkeeping on one object before the call
// fails with ERROR_TIMEOUT.
constexpr unsigned NamedObjectLockMilliseconds = 2000;

// The environment variable naming the group (name or number) that may share the named
// objects: set, objects are created mode 0660 in that group; unset, mode 0600.
constexpr char SharedGroupVariable[] = "KESTRUNE_SHARED_GROUP";

// Prepares a new object before any other process can see it. The file is already sized;
// false with the last error set when it cannot be prepared.
using NamedObjectInit = std::function<bool(int fd)>;

struct NamedObjectFile {
    int fd = -1;
    bool existed = false;  // false: made (or remade) by this call
    off_t size = 0;        // the object's size
};

// Opens the object of a shared-memory name ("/kestrune...."), or with create makes it (sized
// and prepared by init) when there is none; claim, when given, runs on a new object once it
// is named and before any other process can open it. The descriptor holds the object until
// CloseNamedObject. False with the last error set: ERROR_FILE_NOT_FOUND (no such object),
// ERROR_ACCESS_DENIED (someone else's object, or one anybody could write), ERROR_TIMEOUT
// (another holder kept the object's bookkeeping lock past the bound).
bool OpenNamedObject(const std::string &shmName, bool create, bool writable, off_t size,
                     const NamedObjectInit &init, const NamedObjectInit &claim, NamedObjectFile &result);

// Gives up one holder: when no other holder is left in any process, the name is removed.
// Closes the descriptor.
void CloseNamedObject(int fd, const std::string &shmName);

// Removes every object of the current KESTRUNE_ROOT that its holders left behind (they all
// died without closing it). Also done once per process and root, at its first named object.
void ReclaimStaleNamedObjects();

// The file-system path of a shared-memory name.
std::string NamedObjectPath(const std::string &shmName);

}  // namespace kestrune
