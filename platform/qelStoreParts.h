// Parts of the store's protocol shared by its two files: qelStore.cpp (publish, open, hold,
// remove) and qelStoreProcess.cpp (this process's side: the directory's descriptor, its own
// identity, fork and exit, the sweep of stale files, the wait-any word). Private to them.
#ifndef ZOLTOV_PLATFORM_QELSTOREPARTS_H
#define ZOLTOV_PLATFORM_QELSTOREPARTS_H

#include <errno.h>
#include <pthread.h>

#include <string>

#include "qelInternal.h"

namespace qel {
namespace store {

constexpr const char kWaitAnyFile[] = ".waitany";

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

// This process as a holder: its pid and the start time that tells it from a later process
// of the same pid (0 when /proc cannot tell).
struct Self {
    pid_t pid;
    uint64_t startTime;
};
Self self();
uint64_t ownPidNamespace();

inline StoreHeader* headerOf(unsigned char* map) {
    return reinterpret_cast<StoreHeader*>(map);
}

inline HolderSlot* slotsOf(unsigned char* map) {
    return reinterpret_cast<HolderSlot*>(map + kHoldersOffset);
}

// Holds a file's table lock for the scope. A holder that died holding it left the table
// consistent slot by slot, so the lock is simply taken over.
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
    }
    ~TableLock() {
        if (held_) {
            pthread_mutex_unlock(mutex_);
        }
    }
    bool held() const { return held_; }
    TableLock(const TableLock&) = delete;
    TableLock& operator=(const TableLock&) = delete;

private:
    SuspendSignalBlock blocked_;  // first: a suspended holder would stall every opener
    pthread_mutex_t* mutex_;
    bool held_;
};

// Whether a holder is alive (this process's own slot counts only with counted); the dead
// ones found on the way are cleared. Under the table lock.
bool anyLiveHolder(unsigned char* map, bool counted);
// Removes name from the directory when it still leads to the file (device, inode).
bool unlinkIfSame(int dirFd, const std::string& name, dev_t device, ino_t inode);
void unmap(NamedFile* file);
QEL_STATUS mapObject(int fd, NamedFile* file);
// Gives the unnamed file fd the name in the directory; errno EEXIST when it is taken.
bool linkName(int fd, int dirFd, const char* name);
// Drops one handle's hold on a mutex or event file (every hold of this process with all),
// and removes the file when no live holder is left. Gives up when the table lock stays busy
// for timeoutMs (QEL_INFINITE: waits). Leaves the mapping.
void leaveTable(NamedFile* file, bool all, long timeoutMs);
// The list of this process's holds on mutex and event files, given up at exit so that a
// process that ends without closing (a fatal error included) leaves no file behind.
void rememberHold(NamedFile* file);
void forgetHold(NamedFile* file);
// This process's mappings of named files, by file name (NamedFile::key). Another open of a
// name the process already has open starts from them instead of opening, checking and
// mapping the file again. Each handle has its own mapping: a robust mutex is linked into its
// holder's list through the address it was locked at, and the zoltov tool counts a
// segment's connections by its mappings. A copy is made with mremap (the same pages at a
// new address); a mutex or event mapping whose handle closes while another handle of this
// process keeps the file is parked for the next open rather than unmapped, and goes with
// the file's last handle. Only mappings this process made are used (a forked child's are
// its parent's). copyMapping enters out in the list; the caller checks it as it would a
// fresh mapping and on failure gives it back with releaseMapping, which also ends every
// handle's mapping.
void rememberMapping(NamedFile* file);
void releaseMapping(NamedFile* file);
bool copyMapping(size_t key, ObjectType type, const char* name, NamedFile* out);
// Makes an unnamed, sized file of the directory's mode; -1 with a status in *status.
int makeUnnamed(DirUse& dir, size_t size, QEL_STATUS* status);

}  // namespace store
}  // namespace qel

#endif  // ZOLTOV_PLATFORM_QELSTOREPARTS_H
