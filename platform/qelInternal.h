// Internals shared by the platform layer's files: handle records, deadlines, futex calls and
// the named-object files. Nothing here leaves libzoltov.so.
#ifndef ZOLTOV_PLATFORM_QELINTERNAL_H
#define ZOLTOV_PLATFORM_QELINTERNAL_H

#include <stddef.h>
#include <pthread.h>
#include <signal.h>
#include <stdint.h>
#include <sys/types.h>
#include <time.h>

#include <string>

#include "qel.h"
#include "qelStore.h"

namespace qel {

// Every handle points to a record that starts with this. Records are never returned to the
// heap: a closed record keeps a dead tag until it is reused for an object of the same kind, so
// a handle that was closed reads a dead tag instead of freed memory. Each publication of a
// record bumps its generation, which its handle carries, and a record whose generation
// reached kLastGeneration is never reused: a closed handle reaches no later object, however
// many come and go.
struct Record {
    uint32_t tag;         // kind ^ generation while alive, 0 when closed; __atomic builtins
    uint32_t generation;  // of the current (or last) object, 1..kLastGeneration (0: new)
    Record* nextFree;
};

// A handle is the record's address (below 2^47 in user space) with the generation in its
// top 16 bits.
constexpr int kGenerationShift = 48;
constexpr uint32_t kLastGeneration = 0xFFFF;  // also the mask of the handle's 16 bits
constexpr uint64_t kAddressMask = (uint64_t{1} << kGenerationShift) - 1;

// The tag a live record of kind tag reached through handle must hold.
inline uint32_t liveTag(uint32_t tag, long handle) {
    return tag ^ static_cast<uint32_t>(static_cast<uint64_t>(handle) >> kGenerationShift);
}

enum Tag : uint32_t {
    kDeadTag = 0,
    kMutexTag = 0x514D5458u,        // process mutex
    kThreadMutexTag = 0x51544D58u,  // thread mutex
    kEventTag = 0x51455654u,
    kThreadTag = 0x51544852u,
    kSegmentTag = 0x51534547u,
};

// A record of at least size bytes for a new object of kind tag (zero-filled apart from the
// tag, which the caller publishes last with liveRecord); nullptr when memory is exhausted.
Record* allocRecord(size_t size, uint32_t tag);
// Publishes the record as a live object of kind tag (release) and returns its new handle.
long liveRecord(Record* record, uint32_t tag);
// Marks the record dead and keeps it for reuse by the same kind.
void freeRecord(Record* record, uint32_t tag);

// The record behind handle when it is alive and of kind tag, else nullptr.
template <typename T>
inline T* fromHandle(long handle, uint32_t tag) {
    const uint64_t address = static_cast<uint64_t>(handle) & kAddressMask;
    if (address == 0 || (address & 7) != 0) {
        return nullptr;
    }
    Record* record = reinterpret_cast<Record*>(address);
    if (__atomic_load_n(&record->tag, __ATOMIC_ACQUIRE) != liveTag(tag, handle)) {
        return nullptr;
    }
    return static_cast<T*>(record);
}

// The one life cycle of a handle record of type T (derived from Record) and kind Tag:
//   create()        a zero-filled record that no handle reaches yet;
//   publish(handle) the object is complete: the tag is stored last (release), then the
//                   handle is written, and the pointer lets go of the record;
//   take(handle)    the live record behind *handle, unpublished in one atomic step (so of
//                   two racing closes only one gets it) and *handle set to 0;
//   destruction     a record still held (never published, or taken) goes back to its free
//                   list; release() hands it on instead (a thread's record is freed by the
//                   last of its two references).
template <typename T, uint32_t Tag>
class RecordPtr {
public:
    static RecordPtr create() { return RecordPtr(static_cast<T*>(allocRecord(sizeof(T), Tag))); }
    static T* find(long handle) { return fromHandle<T>(handle, Tag); }
    static RecordPtr take(long* handle) {
        const long seen = handle != nullptr ? *handle : 0;  // read once: a racing close clears it
        T* record = find(seen);
        uint32_t expected = liveTag(Tag, seen);
        if (record == nullptr ||
            !__atomic_compare_exchange_n(&record->tag, &expected, uint32_t{kDeadTag}, false,
                                         __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE)) {
            return RecordPtr(nullptr);
        }
        *handle = 0;
        return RecordPtr(record);
    }

    RecordPtr(RecordPtr&& other) noexcept : record_(other.release()) {}
    RecordPtr& operator=(RecordPtr&&) = delete;
    RecordPtr(const RecordPtr&) = delete;
    ~RecordPtr() {
        if (record_ != nullptr) {
            freeRecord(record_, Tag);
        }
    }

    explicit operator bool() const { return record_ != nullptr; }
    T* operator->() const { return record_; }
    T* get() const { return record_; }
    T* release() {
        T* record = record_;
        record_ = nullptr;
        return record;
    }
    void publish(long* handle) { *handle = liveRecord(release(), Tag); }

private:
    explicit RecordPtr(T* record) : record_(record) {}
    T* record_;
};

// ---- Futexes, deadlines and thread ids (qelFutex.cpp) ----

// An absolute CLOCK_MONOTONIC deadline computed once from a timeout in milliseconds.
struct Deadline {
    bool forever;
    timespec at;
};
Deadline deadlineAfter(unsigned long long timeoutMs);
bool deadlinePassed(const Deadline& deadline);
// The whole milliseconds left before deadline (0 once it has passed).
long millisecondsLeft(const Deadline& deadline);

// FUTEX_WAIT_BITSET with an absolute monotonic deadline (null: for ever). Returns 0 or errno.
int futexWait(uint32_t* word, uint32_t expected, const timespec* deadline, bool shared);
void futexWakeAll(uint32_t* word, bool shared);

// The calling thread's kernel id (cached; correct in forked children).
pid_t currentTid();
// Whether the calling thread owns the recursive or robust mutex.
bool ownsMutex(const pthread_mutex_t* mutex);
// Locks with a timeout in milliseconds: 0 tries, negative or >= QEL_INFINITE waits for ever.
// Returns the pthread result (0, EBUSY, ETIMEDOUT, EOWNERDEAD, ...).
int lockWithTimeout(pthread_mutex_t* mutex, long timeout);
void futexWakeOne(uint32_t* word, bool shared);
// Whether thread id tid names a live thread of this process.
bool isOwnThread(pid_t tid);

// Defers the thread-suspend signal for its scope (regions nest): a suspend that arrives
// meanwhile takes effect when the outermost region ends. A thread suspended while holding one
// of the layer's internal locks would stall every thread that needs that lock. No system call:
// the signal is still delivered, its handler only counts it.
class SuspendSignalBlock {
public:
    SuspendSignalBlock();
    ~SuspendSignalBlock();
    SuspendSignalBlock(const SuspendSignalBlock&) = delete;
    SuspendSignalBlock& operator=(const SuspendSignalBlock&) = delete;
};

// ---- Named objects (qelStore.cpp; the protocol is described there) ----

// One handle's hold on a named object: its mapping, nothing else (no descriptor).
struct NamedFile {
    unsigned char* map = nullptr;  // the file's first byte (its header page)
    size_t mapSize = 0;            // what was reserved, a segment's guard page included
    size_t covered = 0;            // how much of the file map shows, from its first byte
    ObjectType type = ObjectType::Mutex;
    pid_t opener = 0;    // the process whose hold this is (a child's once fork entered it)
    pid_t mappedBy = 0;  // the process that opened the file (copies of its mapping count)
    dev_t device = 0;    // which file it is, to remove that one and no other of the name
    ino_t inode = 0;
    NamedFile* prev = nullptr;  // this process's holds, given up at exit
    NamedFile* next = nullptr;
    size_t key = 0;            // the file name's hash, for this process's list of its mappings
    uint32_t entryHint = 0;    // where this process's holder entry was last seen
    bool forkEntered = false;  // entered for the child of a fork in progress
    bool connection = false;   // a segment handle that is one of the count's connections
};

enum class OpenMode { CreateOrOpen, OpenExisting, CreateExclusive };

// Opens (and, by mode, creates) the named object and enters this process as one of its
// holders. For mutexes and events, init runs on a new object before it is published (one
// whose holders have all died is removed and made anew). segmentSize is the size of a
// CreateExclusive segment, whose connection count starts at 1; opening an existing segment adds a
// connection. Waits at most timeoutMs for a table lock that another process holds (QEL_E_TIMEOUT).
using ObjectInit = void (*)(unsigned char* object);
QEL_STATUS openNamed(ObjectType type, const char* name, OpenMode mode, ObjectInit init,
                     size_t segmentSize, NamedFile* out, long timeoutMs = QEL_INFINITE);
// Drops this handle's hold (a segment: its connection); the last live holder removes the
// object.
void closeNamed(NamedFile* file);
// Unmaps and removes a segment, whoever still maps it.
QEL_STATUS destroyNamed(NamedFile* file);
// A segment's live connections, after taking back those of dead processes; QEL_OK.
QEL_STATUS countConnections(NamedFile* file, unsigned int* connections);
// This process's pid without a system call (kept right in forked children).
pid_t ownPid();
// Why the object directory cannot be used ("" when it can): for the fatal message and the
// tool.
std::string storeProblem();
// Looks at up to limit entries of the object directory from where the last look stopped and
// removes mutex and event files whose holders have all died. Returns the entries seen.
size_t sweepStale(size_t limit);
// Maps the word that fallback wait-any sleeps on, shared by every process of the directory;
// null when it cannot be had. The process keeps it until exit; later calls return it.
uint32_t* mapWaitAnyWord();

// Events: wakes a fallback wait-any that marked an event (see qelEvent.cpp).
void bumpWaitAnySequence();

}  // namespace qel

#endif  // ZOLTOV_PLATFORM_QELINTERNAL_H
