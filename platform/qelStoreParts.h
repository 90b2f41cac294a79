// Parts of the store's protocol shared by its files. Map of the store:
//   qelStoreNames.cpp, qelStoreDir.cpp  names, directories, header checks (no state)
//   qelSys.cpp                          every system call the store makes (fault injection)
//   qelRegistry.cpp                     live processes: who holds what is asked of the kernel
//   qelHolders.cpp                      the holder table of an object file
//   qelStore.cpp                        publish, open, join, leave, remove (the protocol)
//   qelStoreDirUse.cpp                  the process's descriptor of the object directory
//   qelStoreMaps.cpp                    the process's mappings and its list of holds
//   qelStoreLife.cpp                    what fork and exit do to the holds
//   qelStoreSweep.cpp                   stale files, a few at a time
//   qelWaitAnyWord.cpp                  the wait-any fallback's shared word
// Lock order, for every nesting: the holds' list (g_heldLock), a table lock, the registry's
// lock, the directory's lock, the mappings' lock. Private to the store.
#ifndef ZOLTOV_PLATFORM_QELSTOREPARTS_H
#define ZOLTOV_PLATFORM_QELSTOREPARTS_H

#include <errno.h>
#include <pthread.h>

#include <string>

#include "qelInternal.h"
#include "qelRegistry.h"
#include "qelThreadSafety.h"

namespace qel {
namespace store {

constexpr const char kWaitAnyFile[] = ".waitany";

// The process's own locks, declared here so that the compiler checks what they guard and who
// holds them, in the order they are taken: the wait-any word's first, then the lock order
// above (the registry's is registry::g_lock).
extern Mutex g_waitAnyLock;  // the wait-any word (qelWaitAnyWord.cpp)
extern Mutex g_heldLock;     // the holds' list (qelStoreMaps.cpp)
extern Mutex g_dirLock;      // the directory's descriptor (qelStoreDirUse.cpp)
extern Mutex g_mapsLock;     // the mappings (qelStoreMaps.cpp); no other lock is taken under it

// The object directory's descriptor for the scope, opened (and with create, made) on first
// use and shared by the process's threads.
struct DirRef;
class DirUse {
public:
    explicit DirUse(bool create);
    ~DirUse();
    bool ok() const { return dir_ != nullptr; }
    int fd() const;
    bool shared() const;
    // True when the directory was removed under us (by another process's exit): then the
    // current one is taken instead, and the caller starts again.
    bool renewed();
    DirUse(const DirUse&) = delete;
    DirUse& operator=(const DirUse&) = delete;

private:
    void acquire();
    bool create_;
    DirRef* dir_ = nullptr;
};

// Why the calling thread's last create or open failed (qelFailureReason).
void setReason(const std::string& text);
QEL_STATUS statusOf(int error);
uint64_t ownPidNamespace();
// Forgets the cached PID namespace (a forked child may be in another one).
void forgetPidNamespace();

inline StoreHeader* headerOf(unsigned char* map) {
    return reinterpret_cast<StoreHeader*>(map);
}

// Holds a file's table lock for the scope. A holder that died holding it left the table
// consistent entry by entry, so the lock is simply taken over.
class TableLock {
public:
    // timeoutMs as for lockWithTimeout: QEL_INFINITE waits, 0 only tries.
    TableLock(unsigned char* map, long timeoutMs)
        : mutex_(reinterpret_cast<pthread_mutex_t*>(map + kTableLockOffset)) {
        int rc = lockWithTimeout(mutex_, timeoutMs);
        if (rc == EOWNERDEAD) {
            pthread_mutex_consistent(mutex_);
            rc = 0;
        }
        held_ = rc == 0;
        timedOut_ = rc == ETIMEDOUT || rc == EBUSY;
    }
    ~TableLock() {
        if (held_) {
            pthread_mutex_unlock(mutex_);
        }
    }
    bool held() const { return held_; }
    bool timedOut() const { return timedOut_; }
    TableLock(const TableLock&) = delete;
    TableLock& operator=(const TableLock&) = delete;

private:
    SuspendSignalBlock blocked_;  // first: a suspended holder would stall every opener
    pthread_mutex_t* mutex_;
    bool held_;
    bool timedOut_;
};

// The holder table of a file (qelHolders.cpp), used under its table lock through a mapping
// of the file from its first byte (map, of which covered bytes are mapped; device and inode
// say which file it is). Entries past the mapping are reached through a second, temporary
// mapping of the file, opened by its name.
class HolderTable {
public:
    HolderTable(unsigned char* map, size_t covered, dev_t device, ino_t inode);
    ~HolderTable();
    // False for a header whose table does not fit its file (a damaged or hostile one).
    bool valid() const { return valid_; }
    uint32_t count() const;
    // Entry i (< count()); nullptr when it cannot be mapped.
    HolderEntry* at(uint32_t i);
    // The index of id's entry, or -1; hint: where it was last seen.
    int find(const registry::Identity& id, uint32_t hint);
    // Appends id's entry with handles, connections of them (a segment's count gains them),
    // growing the file when full; -1 when there is no room.
    int add(const registry::Identity& id, uint32_t handles, uint32_t connections);
    // Takes entry i out (the last entry moves into its place); a segment's count loses its
    // connections.
    void remove(uint32_t i);
    // Changes entry i's handles and connections (a segment's count with them), removing it
    // when no handle is left.
    void change(uint32_t i, int handles, int connections);
    // Looks at the holders' liveness from where the last look stopped, taking back the dead
    // ones it meets (unless only looking), until it has found a live holder (me counts only
    // with countMe) and looked at a few more, or has seen them all. Whether a live holder is
    // left.
    bool anyLive(const registry::Identity& me, bool countMe, bool takeBack = true);
    // Looks at every holder, taking back the dead ones; whether a live one is left (me
    // included).
    bool takeBackDead(const registry::Identity& me);
    // A segment's connection count, in the file (nullptr for mutexes and events).
    uint32_t* segmentCount();

private:
    bool grow();
    unsigned char* map_;
    size_t covered_;
    dev_t device_;
    ino_t inode_;
    StoreHeader* header_;
    unsigned char* view_ = nullptr;  // the temporary mapping, when one was needed
    size_t viewSize_ = 0;
    bool valid_;
};

bool isSelf(const HolderEntry& entry, const registry::Identity& me);

// Removes name from the directory when it still leads to the file (device, inode).
bool unlinkIfSame(int dirFd, const std::string& name, dev_t device, ino_t inode);
// The file's name in the directory, from its mapped header.
std::string fileNameOf(ObjectType type, unsigned char* map);
// Marks the file dead and removes its name (a segment's key file too). Under its table lock.
void removeObject(NamedFile* file);
void unmap(NamedFile* file);
// Maps a mutex or event file of size bytes whole; a segment file's header page and data,
// with an inaccessible page reserved after them.
QEL_STATUS mapObject(int fd, size_t size, NamedFile* file);
QEL_STATUS mapSegment(int fd, uint64_t segmentSize, NamedFile* file);
// Gives the unnamed file fd the name in the directory; errno EEXIST when it is taken.
bool linkName(int fd, int dirFd, const char* name);
// Makes an unnamed, sized file of the directory's mode; -1 with a status in *status.
int makeUnnamed(DirUse& dir, size_t size, QEL_STATUS* status);
// Drops one handle of this process's holds on the file (and its connection, for a segment
// handle that is one), and removes the file when no live holder is left. Gives up when the
// table lock stays busy for timeoutMs (QEL_INFINITE: waits). Leaves the mapping. True when
// it removed the file.
bool leaveTable(NamedFile* file, long timeoutMs);

// The list of this process's holds, one per handle, given up at exit so that a process that
// ends without closing (a fatal error included) leaves nothing behind (qelStoreMaps.cpp).
void rememberHold(NamedFile* file) QEL_EXCLUDES(g_heldLock);
void forgetHold(NamedFile* file) QEL_EXCLUDES(g_heldLock);
// Whether this process holds any file.
bool anyHolds() QEL_REQUIRES(g_heldLock);
// Enters id as a holder, with as many handles as this process has, of every file that this
// process holds: a forked child's slot (forChild: its handles are marked, and become the
// child's own in afterForkInChildHolds), or this process's own after it registered again
// (its entries of the identity replacing go). A
// file whose table lock stays busy past timeoutMs is left out: its handles become views
// (a close only unmaps them, and nothing counts them). Under g_heldLock (lockHolds).
void enterHolds(const registry::Identity& id, long timeoutMs, bool forChild,
                const registry::Identity* replacing = nullptr) QEL_REQUIRES(g_heldLock);
void afterForkInChildHolds() QEL_REQUIRES(g_heldLock);
void afterForkInParentHolds() QEL_REQUIRES(g_heldLock);
void lockHolds() QEL_ACQUIRE(g_heldLock);
void unlockHolds() QEL_RELEASE(g_heldLock);
// Gives up every hold of this process within timeoutMs in all (the exit).
void leaveAllHolds(long timeoutMs);
// This process's mappings of named files, by file name (NamedFile::key). Another open of a
// name the process already has open starts from them instead of opening, checking and
// mapping the file again. Each mutex or event handle has its own mapping: a robust mutex is
// linked into its holder's list through the address it was locked at. A copy is made with
// mremap (the same pages at a new address); a mapping whose handle closes while another
// handle of this process keeps the file is parked for the next open rather than unmapped,
// and goes with the file's last handle. The handles of a segment share one mapping. Only
// mappings this process made are used. copyMapping enters out in the list; the caller checks
// it as it would a fresh mapping and on failure gives it back with releaseMapping, which
// also ends every handle's mapping.
void rememberMapping(NamedFile* file) QEL_EXCLUDES(g_mapsLock);
void releaseMapping(NamedFile* file) QEL_EXCLUDES(g_mapsLock);
bool copyMapping(size_t key, ObjectType type, const char* name, NamedFile* out)
    QEL_EXCLUDES(g_mapsLock);
// Whether a handle of this process holds the file (device, inode) of the name whose key it is.
bool holdsFile(size_t key, dev_t device, ino_t inode) QEL_EXCLUDES(g_mapsLock);
void lockMappings() QEL_ACQUIRE(g_mapsLock);
void unlockMappings() QEL_RELEASE(g_mapsLock);
// The fork handlers of the directory's descriptor (qelStoreDirUse.cpp).
void lockDirForFork() QEL_ACQUIRE(g_dirLock);
void unlockDirForFork() QEL_RELEASE(g_dirLock);
// Whether this process has used the object directory (exit: whether there is anything to do).
bool directoryUsed() QEL_EXCLUDES(g_dirLock);
// The fork handlers of the wait-any word, and its release at exit (qelWaitAnyWord.cpp).
void lockWaitAnyForFork() QEL_ACQUIRE(g_waitAnyLock);
void unlockWaitAnyForFork() QEL_RELEASE(g_waitAnyLock);
void releaseWaitAnyWord();
// Makes the exit give up this process's holds (qelStoreLife.cpp); called on first use.
void armExitTidy();
// Whether this process has made an object (its exit then sweeps a few stale files).
bool publishedAny();
// Removes the default object directory if it is empty (an administrator's stays).
void removeDefaultDirectory();

}  // namespace store
}  // namespace qel

#endif  // ZOLTOV_PLATFORM_QELSTOREPARTS_H
