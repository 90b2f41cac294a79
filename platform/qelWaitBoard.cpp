// The writer side of the wait board (layout and rules in qelWaitBoard.h): a process takes the
// area of its registry slot on its first blocking wait on a named object, each thread takes a
// record of that area on its own first one and gives it back when it ends, and every blocking
// wait rewrites the thread's record on the way in and clears it on the way out.
//
// Locks in this file: g_lock guards g_area; it is taken with no lock of the store held, and
// takes the directory's lock (DirUse) inside. A forked child starts with it free and no area.
#include "qelWaitBoard.h"

#include <errno.h>
#include <sys/mman.h>
#include <unistd.h>

#include "qelStoreParts.h"
#include "qelSys.h"

namespace qel {
namespace waits {
namespace {

// Records are allocated (posix_fallocate) this many pages at a time.
constexpr uint32_t kRecordsPerGrowth = 8;

pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;

// Nothing here has a destructor: threads may still end (and give back their records) while
// the exit destroys the library's statics.
struct Area {
    unsigned char* map = nullptr;  // this process's area, kAreaSize bytes
    registry::Identity owner{};    // the identity it was taken under
    pid_t pid = 0;                 // the process that took it
    uint32_t allocated = 0;        // records whose pages are allocated
    uint32_t freeCount = 0;        // records given back by ended threads
    uint32_t freeRecords[kAreaRecords];
};
Area g_area;
uint32_t g_areaGeneration = 0;  // changes with every area taken: older records are void

AreaHeader* areaHeader() {
    return reinterpret_cast<AreaHeader*>(g_area.map);
}

WaitRecord* recordAt(uint32_t index) {
    return reinterpret_cast<WaitRecord*>(g_area.map + (1 + size_t{index}) * kPageSize);
}

// The calling thread's record, given back to the area when the thread ends.
struct ThreadRecord {
    uint32_t index = 0;
    uint32_t areaGeneration = 0;  // 0: none
    ~ThreadRecord();
};
thread_local ThreadRecord t_record;

ThreadRecord::~ThreadRecord() {
    SuspendSignalBlock blocked;
    pthread_mutex_lock(&g_lock);
    if (areaGeneration != 0 && areaGeneration == g_areaGeneration && g_area.pid == ownPid()) {
        g_area.freeRecords[g_area.freeCount++] = index;
    }
    pthread_mutex_unlock(&g_lock);
}

bool sameIdentity(const registry::Identity& a, const registry::Identity& b) {
    return a.slot == b.slot && a.generation == b.generation && a.epoch == b.epoch;
}

// Opens the board, making it when there is none; -1 when it cannot be had or trusted.
int openBoard(store::DirUse& dir) {
    for (int attempt = 0; attempt < 8; ++attempt) {
        int fd = aboveStdio(
            sys::openat(dir.fd(), kWaitBoardFile, O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        if (fd < 0 && errno == ENOENT) {
            QEL_STATUS status;
            fd = store::makeUnnamed(dir, kPageSize, &status);
            const BoardHeader header{kBoardMagic, kBoardVersion, kAreaSize / kPageSize, 0};
            if (fd >= 0 && (pwrite(fd, &header, sizeof header, 0) != sizeof header ||
                            !store::linkName(fd, dir.fd(), kWaitBoardFile))) {
                sys::close(fd);
                continue;  // another process named its board first: use that one
            }
        }
        struct stat st;
        BoardHeader header{};
        if (fd >= 0 && (!fileTrusted(fd, dir.shared(), &st) ||
                        sys::pread(fd, &header, sizeof header, 0) != sizeof header ||
                        header.magic != kBoardMagic || header.version != kBoardVersion ||
                        header.areaPages != kAreaSize / kPageSize)) {
            sys::close(fd);
            fd = -1;
        }
        return fd;
    }
    return -1;
}

// Allocates the pages of the area's header and records [from, to): posix_fallocate, so that
// a full file system refuses here rather than with SIGBUS at a later store.
bool allocate(uint32_t slot, uint32_t from, uint32_t to, int fd) {
    const size_t start = areaOffset(slot) + (from == 0 ? 0 : (1 + size_t{from}) * kPageSize);
    const size_t end = areaOffset(slot) + (1 + size_t{to}) * kPageSize;
    return sys::posix_fallocate(fd, static_cast<off_t>(start), static_cast<off_t>(end - start)) ==
           0;
}

// Takes the area of me's slot: maps it and writes its header. Under g_lock.
bool takeArea(const registry::Identity& me) {
    if (g_area.map != nullptr && g_area.pid == ownPid()) {
        sys::munmap(g_area.map, kAreaSize);
    }
    g_area = Area{};
    g_areaGeneration = g_areaGeneration + 1 != 0 ? g_areaGeneration + 1 : 1;
    store::DirUse dir(false);
    int fd = dir.ok() ? openBoard(dir) : -1;
    if (fd < 0) {
        return false;
    }
    void* map = MAP_FAILED;
    if (allocate(me.slot, 0, kRecordsPerGrowth, fd)) {
        map = sys::mmap(nullptr, kAreaSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd,
                        static_cast<off_t>(areaOffset(me.slot)));
    }
    sys::close(fd);
    if (map == MAP_FAILED) {
        return false;
    }
    g_area.map = static_cast<unsigned char*>(map);
    g_area.owner = me;
    g_area.pid = ownPid();
    g_area.allocated = kRecordsPerGrowth;
    // The records of the slot's earlier owner go first, then the header names this process.
    AreaHeader* header = areaHeader();
    __atomic_store_n(&header->records, 0u, __ATOMIC_RELEASE);
    __atomic_store_n(&header->unrecorded, 0u, __ATOMIC_RELAXED);
    __atomic_store_n(&header->slot, me.slot, __ATOMIC_RELAXED);
    __atomic_store_n(&header->generation, me.generation, __ATOMIC_RELAXED);
    __atomic_store_n(&header->epoch, me.epoch, __ATOMIC_RELAXED);
    __atomic_store_n(&header->pid, ownPid(), __ATOMIC_RELEASE);
    return true;
}

// A record for the calling thread; false when the area has none left. Under g_lock.
bool claimRecord(uint32_t* index) {
    if (g_area.freeCount != 0) {
        *index = g_area.freeRecords[--g_area.freeCount];
        return true;
    }
    AreaHeader* header = areaHeader();
    const uint32_t next = __atomic_load_n(&header->records, __ATOMIC_RELAXED);
    if (next == kAreaRecords) {
        return false;
    }
    if (next == g_area.allocated) {
        const uint32_t grown =
            next + kRecordsPerGrowth < kAreaRecords ? next + kRecordsPerGrowth : kAreaRecords;
        store::DirUse dir(false);
        int fd = dir.ok() ? openBoard(dir) : -1;
        const bool done = fd >= 0 && allocate(g_area.owner.slot, next, grown, fd);
        if (fd >= 0) {
            sys::close(fd);
        }
        if (!done) {
            return false;
        }
        g_area.allocated = grown;
    }
    WaitRecord* record = recordAt(next);  // its earlier owner may have died in a rewrite
    __atomic_store_n(&record->sequence, 0u, __ATOMIC_RELAXED);
    __atomic_store_n(&record->state, kRecordIdle, __ATOMIC_RELAXED);
    __atomic_store_n(&header->records, next + 1, __ATOMIC_RELEASE);
    *index = next;
    return true;
}

void childAfterFork() {
    // The only thread left is the one that forked, outside this file; the parent's area stays
    // the parent's (the child takes the area of its own slot when it first waits).
    g_lock = PTHREAD_MUTEX_INITIALIZER;
    if (g_area.map != nullptr) {
        munmap(g_area.map, kAreaSize);
    }
    g_area = Area{};
    g_areaGeneration = g_areaGeneration + 1 != 0 ? g_areaGeneration + 1 : 1;
}
[[maybe_unused]] const int g_forkHandler = pthread_atfork(nullptr, nullptr, childAfterFork);

// The calling thread's record, taking the area and a record as needed; null when none.
WaitRecord* ownRecord() {
    registry::Identity me;
    if (!registry::current(&me)) {
        return nullptr;
    }
    pthread_mutex_lock(&g_lock);
    WaitRecord* record = nullptr;
    const bool haveArea =
        (g_area.map != nullptr && g_area.pid == ownPid() && sameIdentity(g_area.owner, me)) ||
        takeArea(me);
    if (haveArea && t_record.areaGeneration != g_areaGeneration) {
        t_record.areaGeneration = claimRecord(&t_record.index) ? g_areaGeneration : 0;
        if (t_record.areaGeneration == 0) {
            __atomic_add_fetch(&areaHeader()->unrecorded, 1u, __ATOMIC_RELAXED);
        }
    }
    if (haveArea && t_record.areaGeneration != 0) {
        record = recordAt(t_record.index);
    }
    pthread_mutex_unlock(&g_lock);
    return record;
}

// Starts a rewrite of the record: its sequence goes odd before any field changes (a
// read-modify-write with acquire order: no later store moves before it). Returns the even
// value that ends the rewrite, stored with release order.
uint32_t beginWrite(WaitRecord* record) {
    return __atomic_add_fetch(&record->sequence, 1u, __ATOMIC_ACQ_REL) + 1;
}

}  // namespace

// Out of line and cold, as everything here: callers that inline their whole fast path
// (memcpy_shmem is flattened) must not pull the wait board, let alone the deadlock check, in.
__attribute__((noinline, cold)) WaitRecord* WaitNote::begin(ObjectType type,
                                                            const NamedFile* const* files,
                                                            const unsigned char* resets,
                                                            unsigned count, bool partial) {
    SuspendSignalBlock blocked;
    WaitRecord* record = ownRecord();
    if (record == nullptr) {
        return nullptr;
    }
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    const uint32_t done = beginWrite(record);
    __atomic_store_n(&record->tid, currentTid(), __ATOMIC_RELAXED);
    __atomic_store_n(&record->type, static_cast<uint32_t>(type), __ATOMIC_RELAXED);
    __atomic_store_n(&record->count, count, __ATOMIC_RELAXED);
    __atomic_store_n(&record->flags, partial ? kRecordPartial : 0u, __ATOMIC_RELAXED);
    __atomic_store_n(
        &record->since,
        static_cast<uint64_t>(now.tv_sec) * 1000000000u + static_cast<uint64_t>(now.tv_nsec),
        __ATOMIC_RELAXED);
    for (unsigned i = 0; i < count; ++i) {
        const bool reset = resets != nullptr && resets[i] != 0;
        WaitObject& object = record->objects[i];
        __atomic_store_n(&object.device, static_cast<uint64_t>(files[i]->device), __ATOMIC_RELAXED);
        __atomic_store_n(&object.inode, static_cast<uint64_t>(files[i]->inode), __ATOMIC_RELAXED);
        __atomic_store_n(&object.resets, reset ? 1u : 0u, __ATOMIC_RELAXED);
        if (type == ObjectType::Event) {
            // Which kinds of wait the event has seen: its reset mode, for the tools.
            __atomic_fetch_or(reinterpret_cast<uint32_t*>(files[i]->map + kEventModesOffset),
                              reset ? kModeAuto : kModeManual, __ATOMIC_RELAXED);
        }
    }
    __atomic_store_n(&record->state, kRecordWaiting, __ATOMIC_RELAXED);
    __atomic_store_n(&record->sequence, done, __ATOMIC_RELEASE);
    return record;
}

__attribute__((noinline, cold)) void WaitNote::end(WaitRecord* record) {
    const uint32_t done = beginWrite(record);
    __atomic_store_n(&record->state, kRecordIdle, __ATOMIC_RELAXED);
    __atomic_store_n(&record->sequence, done, __ATOMIC_RELEASE);
}

__attribute__((noinline, cold)) int lockRecorded(pthread_mutex_t* mutex, const NamedFile& file,
                                                 long timeout) {
    const NamedFile* files[] = {&file};
    WaitNote note(ObjectType::Mutex, files, nullptr, 1, false);
    return failsForDeadlock() ? EDEADLK : lockWithTimeout(mutex, timeout);
}

void removeWaitBoard(int dirFd) {
    sys::unlinkat(dirFd, kWaitBoardFile, 0);
}

}  // namespace waits
}  // namespace qel
