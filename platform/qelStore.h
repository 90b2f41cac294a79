// The named-object store: the layout of its files, its names and its directories. The read
// side (names, paths, header checks, directory walks) keeps no global state, so the zoltov
// tool links it as it is; the publish/open/close protocol (qelStore.cpp) is the platform
// layer's alone. Nothing here leaves libzoltov.so.
#ifndef ZOLTOV_PLATFORM_QELSTORE_H
#define ZOLTOV_PLATFORM_QELSTORE_H

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include <string>

namespace qel {

// ---- What the library above keeps in a segment, and the names that go with it ----

constexpr size_t kSegmentCountSize = 4;  // the connection count at a segment's first byte
constexpr const char kSegmentMutexSuffix[] = "CZolSharedMemory";  // segment name + this
constexpr const char kKeyDirectory[] = "/opt/zol/ftok";           // key file: here + "/" + name

// ---- File layout ----

enum class ObjectType : uint32_t { Mutex = 1, Event = 2, Segment = 3 };

// A mutex or event file, and the header page in front of a segment's data:
//   0     StoreHeader
//   128   the table lock (a robust process-shared mutex guarding state and holders)
//   192   the object: the pthread mutex or the event word
//   256   kHolderSlots holder slots (mutexes and events)
//   2048  the name, when shorter than kNameCapacity (else the hash alone identifies it)
constexpr size_t kNamedFileSize = 4096;
constexpr size_t kTableLockOffset = 128;
constexpr size_t kObjectOffset = 192;
constexpr size_t kHoldersOffset = 256;
constexpr size_t kHolderSlots = 112;
constexpr size_t kNameOffset = 2048;
constexpr size_t kNameCapacity = kNamedFileSize - kNameOffset;

// Every field is untrusted when read back: any process that may open the file can write it.
struct StoreHeader {
    uint32_t magic;
    uint32_t version;
    uint32_t type;
    uint32_t state;  // kStateLive once complete (files are published complete); kStateDead
    uint64_t hash[2];
    uint64_t nameLength;
    uint64_t segmentSize;   // payload bytes after the header page (segments only)
    uint64_t pidNamespace;  // the creator's PID namespace (0: unknown)
};
static_assert(sizeof(StoreHeader) <= kTableLockOffset, "header overlaps the table lock");

// One process holding a mutex or event: its pid, the start time that tells it from a later
// process of the same pid, and how many of its handles hold the object.
struct HolderSlot {
    uint32_t pid;  // 0: free
    uint32_t handles;
    uint64_t startTime;
};
static_assert(kHoldersOffset + kHolderSlots * sizeof(HolderSlot) <= kNameOffset, "slots");

constexpr uint32_t kStoreMagic = 0x5A514F42u;  // "ZQOB"
constexpr uint32_t kStoreVersion = 2;
constexpr uint32_t kStateLive = 0x4C495645u;
constexpr uint32_t kStateDead = 0x44454144u;  // its last holder removed it: open afresh

// ---- Names (qelStoreNames.cpp) ----

void hashName(const char* name, uint64_t out[2]);
// The file name of name in type's name space: "<m|e|s>." + the name with bytes other than
// [A-Za-z0-9._-] escaped as %xx, or "<m|e|s>#" + 32 hex digits of the hash when that is
// longer than 200 bytes ('#' appears in no escaped name).
std::string encodeName(ObjectType type, const char* name);
// The file name from a header whose name was not kept (too long): the hashed form.
std::string hashedName(ObjectType type, const uint64_t hash[2]);
// Whether path-like name has a key file: one path component of 1..NAME_MAX bytes, neither
// "." nor "..". The one rule for creating and removing key files.
bool hasKeyFile(const char* name);
// Whether the mapped header (at least kNamedFileSize bytes) is a complete object of type
// called name.
bool headerMatches(const unsigned char* map, ObjectType type, const char* name);
// The header read from an open file, checked for magic, version, type and state, and for a
// size that fits the file; false for anything else.
bool readHeader(int fd, ObjectType type, StoreHeader* header, off_t fileSize);

// ---- Directories (qelStoreDir.cpp) ----

// Where the objects live and why it cannot be used.
struct StoreDirectory {
    std::string path;     // the object directory
    std::string parent;   // the directory that holds it
    std::string leaf;     // its last component
    bool configured;      // chosen by ZOLTOV_RUNTIME_DIR: never created or removed by us
    std::string problem;  // empty, or why it cannot be used and what to do about it
};

// The object directory of this process: ZOLTOV_RUNTIME_DIR when set (an administrator's
// directory), else /dev/shm/zoltov-<euid>[-<ZOL_QEL_NAMESPACE>].
StoreDirectory storeDirectory();
// Opens path one component at a time (O_NOFOLLOW|O_DIRECTORY). A symbolic link owned by root
// (/dev/shm -> /run/shm, /var/run -> /run) is followed, at most 8 of them; anyone else's
// link is not. -1 with errno on failure, and in *problem (when given) the component at
// fault and why: missing, permission denied, not a directory, another user's link.
int openDirectoryPath(const std::string& path, std::string* problem = nullptr);
// Opens the object directory; with create, makes the default one (0700) when missing.
// Refuses (-1, with problem naming the directory, the variable that chose it and the cause)
// a default one that is not a private directory of this user, and a configured one that is
// writable by all, sticky, or neither this user's nor shared with it. *shared: a setgid
// directory of one of this user's groups or of this user (root:group 2770 shares with its
// owner, member or not); files there are 0660 of its group.
int openStoreDirectory(const StoreDirectory& where, bool create, bool* shared,
                       std::string* problem);
// Why this user was refused (EACCES) fileName in the object directory dirFd at path: the
// file's owner, group and mode, or the directory's when there is no such file.
std::string accessProblem(int dirFd, const std::string& path, const std::string& fileName);
// fd moved above the standard descriptors (0, 1, 2), the original closed: in a process whose
// standard output is closed, a file of the store that took number 1 would get the process's
// output written into it. Any other fd, or -1, is returned as it is.
int aboveStdio(int fd);
// Whether fd is a regular, singly linked object file that this user may trust: its own 0600
// file, or in a shared directory a 0660 file of the group of the shared directory this
// process opened last (with openStoreDirectory), whoever made it.
bool fileTrusted(int fd, bool shared, struct stat* st);
// Opens the key directory, creating its missing components (0755) where permitted: /opt as
// openDirectoryPath reaches it, zol and ftok never through a link; -1 when it cannot be had.
int openKeyDirectory(bool create);

// Removes the key file of name (hasKeyFile) from the key directory reached without following
// links; a link planted at its place is removed itself. True when something was removed.
bool removeKeyFile(const char* name);

// The calling process's PID namespace (the inode of /proc/self/ns/pid), 0 when unknown.
uint64_t pidNamespaceId();
// The start time of process pid as /proc tells it (0: no such process); (uint64_t)-1 when
// /proc does not show this PID namespace or hides the process, so liveness cannot be told.
uint64_t processStartTime(pid_t pid);
// Whether the process a holder slot names still runs: no later process of its pid, and alive
// when /proc cannot tell (a holder that could not read its own start time counts as alive).
bool holderAlive(const HolderSlot& slot);

}  // namespace qel

#endif  // ZOLTOV_PLATFORM_QELSTORE_H
