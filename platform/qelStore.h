// The named-object store: the layout of its files, its names and its directories. The read
// side (names, paths, header checks, directory walks) keeps no global state, so the zoltov
// tool links it as it is; the publish/open/close protocol (qelStore.cpp) is the platform
// layer's alone. Nothing here leaves libzoltov.so.
#ifndef ZOLTOV_PLATFORM_QELSTORE_H
#define ZOLTOV_PLATFORM_QELSTORE_H

#include <pthread.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <string>

namespace qel {

// ---- What the library above keeps in a segment, and the names that go with it ----

constexpr size_t kSegmentCountSize = 4;  // the connection count at a segment's first byte
constexpr uint64_t kMaxSegmentSize = 0xFFFFFFFFull;               // qelAllocShMem's size is 32 bits
constexpr const char kSegmentMutexSuffix[] = "CZolSharedMemory";  // segment name + this
constexpr const char kKeyDirectory[] = "/opt/zol/ftok";           // key file: here + "/" + name

// ---- File layout ----

enum class ObjectType : uint32_t { Mutex = 1, Event = 2, Segment = 3 };

constexpr size_t kPageSize = 4096;

// Every object file starts with a header page:
//   0     StoreHeader
//   128   the table lock (a robust process-shared mutex guarding state and holders)
//   192   the object: the pthread mutex or the event word (mutexes and events); an event's
//         word is followed by the kinds of wait it has seen (qelWaitBoard.h)
//   256   the first kInlineHolders holder entries
//   2048  the name, when shorter than kNameCapacity (else the hash alone identifies it)
// A mutex or event file is that page and then the rest of its holder entries, if any. A
// segment file is that page, then the segment in whole pages, placed so that it ends
// exactly at the end of its last page, rounded down to 4 bytes (the count's alignment),
// then the rest of its holder entries. Processes map a segment's header page and data with
// an inaccessible page right after the data, so a copy running more than 3 bytes past the
// end faults in the process that made it.
constexpr size_t kNamedFileSize = kPageSize;  // the header page
constexpr size_t kTableLockOffset = 128;
constexpr size_t kObjectOffset = 192;
constexpr size_t kHoldersOffset = 256;
constexpr size_t kNameOffset = 2048;
constexpr size_t kNameCapacity = kPageSize - kNameOffset;

// Every field is untrusted when read back: any process that may open the file can write it.
struct StoreHeader {
    uint32_t magic;
    uint32_t version;
    uint32_t type;
    uint32_t state;  // kStateLive once complete (files are published complete); kStateDead
    uint64_t hash[2];
    uint64_t nameLength;
    uint64_t segmentSize;     // segments: the size allocated (the library's count and data)
    uint64_t pidNamespace;    // the creator's PID namespace (0: unknown)
    uint64_t dataOffset;      // segments: file offset of the segment's first byte
    uint64_t tableOffset;     // file offset of the holder entries after the inline ones
    uint32_t holderCount;     // entries in use: [0, holderCount)
    uint32_t holderCapacity;  // entries the file has room for, the inline ones included
    uint32_t checkCursor;     // where the next look at the holders' liveness starts
    uint32_t reserved;
};
static_assert(sizeof(StoreHeader) <= kTableLockOffset, "header overlaps the table lock");

// One process holding an object: its registry slot and the generation that tells it from
// the slot's later owners, the registry's epoch, how many of its handles hold the object,
// and, of a segment, how many of those are connections (the segment's count is their sum;
// the others are a forked child's copies of its parent's connections).
struct HolderEntry {
    uint32_t slot;
    uint32_t generation;
    uint32_t epoch;
    uint32_t handles;
    uint32_t connections;
    uint32_t reserved;
};
constexpr size_t kInlineHolders = (kNameOffset - kHoldersOffset) / sizeof(HolderEntry);

constexpr uint32_t kStoreMagic = 0x5A514F42u;  // "ZQOB"
constexpr uint32_t kStoreVersion = 3;
constexpr uint32_t kStateLive = 0x4C495645u;
constexpr uint32_t kStateDead = 0x44454144u;  // its last holder removed it: open afresh

// Where a segment of size bytes starts in its file, and how many bytes of whole pages it
// takes: it ends at the end of its last page, rounded down to a multiple of 4.
constexpr size_t segmentPages(uint64_t size) {
    return static_cast<size_t>((size + kPageSize - 1) / kPageSize) * kPageSize;
}
constexpr size_t segmentOffset(uint64_t size) {
    return kPageSize + ((segmentPages(size) - static_cast<size_t>(size)) & ~size_t{3});
}

// ---- The registry of live processes (qelRegistry.cpp) ----
//
// One file of the directory, kRegistryFile: a header page, then one RegistrySlot per process
// that uses the store. A process owns its slot while it holds an open-file-description write
// lock (F_OFD_SETLK) on byte kSlotLockBase + slot of the file; the kernel drops it when the
// process ends, however it ends, so whether a holder is alive is asked of the kernel
// (F_OFD_GETLK), never guessed from a pid. Every live process also holds a read lock on
// byte kPresenceByte, so the last one knows it is the last. A slot's generation changes with
// each owner, before the owner takes the slot's lock; the registry's epoch changes with each
// registry file. Processes claiming one slot take turns through its claim byte,
// kClaimLockBase + slot, held only while they claim.
constexpr const char kRegistryFile[] = ".registry";
constexpr uint32_t kRegistryMagic = 0x5A515247u;  // "ZQRG"
constexpr uint32_t kRegistryVersion = 2;
constexpr off_t kPresenceByte = 0;
constexpr off_t kSlotLockBase = 1;
constexpr off_t kClaimLockBase = off_t{1} << 40;  // past any slot's byte

struct RegistryHeader {
    uint32_t magic;
    uint32_t version;
    uint32_t epoch;     // random, fixed when the file is made
    uint32_t capacity;  // slots the file holds
    uint32_t used;      // slots handed out so far: [0, used)
    uint32_t reserved[3];
};

struct RegistrySlot {
    uint32_t generation;  // of its current or last owner (0: never owned)
    uint32_t state;       // kSlotFree or kSlotUsed
    int32_t pid;          // the owner's pid in its own PID namespace
    uint32_t reserved0;
    uint64_t pidNamespace;  // the owner's PID namespace
    char command[16];       // the owner's command name, for tools
    // A robust mutex that a thread of the owner keeps locked: while the kernel has not
    // marked it (it does when that thread ends, however), the owner lives, and nobody
    // needs to ask the kernel about the slot's lock. Only a hint that the owner lives.
    pthread_mutex_t running;
    uint64_t reserved[6];
};
static_assert(sizeof(RegistrySlot) == 128, "registry slot size");
constexpr uint32_t kSlotFree = 0;
constexpr uint32_t kSlotUsed = 0x55534544u;
constexpr size_t kRegistrySlotsOffset = kPageSize;

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
// The header read from an open file, checked for magic, version, type, a state (Live, or
// Dead: being removed) and, for a segment, data that fits the file; false for anything else.
bool readHeader(int fd, ObjectType type, StoreHeader* header, off_t fileSize);
// The one rule for what a directory entry of the store is: the ObjectType of an object file
// ("m.", "e." or "s." followed by an encoded name, possibly empty, or "m#", "e#", "s#"
// followed by a hash), or 0 for anything else (the registry, the wait-any word).
uint32_t kindOfFileName(const char* entry);

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

}  // namespace qel

#endif  // ZOLTOV_PLATFORM_QELSTORE_H
