// Handle records: per-kind free lists, so a stale handle never reaches freed memory, and
// retirement at the last generation, so it never reaches a later object either.
#include <pthread.h>
#include <stdlib.h>

#include "qelInternal.h"
#include "qelThreadSafety.h"

namespace qel {
namespace {

// One free list per kind: a record is reused only for the kind it had, so a stale handle
// never reaches a record whose layout differs from what its tag promises.
struct FreeList {
    Mutex lock;
    Record* head QEL_GUARDED_BY(lock) = nullptr;
};

constexpr int kKinds = 6;
FreeList g_lists[kKinds];

// New records are cut from slabs that are never freed and stay listed from g_slabs: a handle
// carries a generation in its top bits and does not look like a pointer to its record, so
// without the list a leak checker would take every open object's record for lost.
struct Slab {
    Slab* next;
};
constexpr size_t kSlabSize = 64 * 1024;
constexpr size_t kSlabHeader = 64;  // keeps the records 64-byte aligned
Mutex g_slabLock;
Slab* g_slabs QEL_GUARDED_BY(g_slabLock) = nullptr;
unsigned char* g_slabFree QEL_GUARDED_BY(g_slabLock) = nullptr;
size_t g_slabLeft QEL_GUARDED_BY(g_slabLock) = 0;

Record* cutRecord(size_t size) {
    size = (size + 63) & ~size_t{63};
    SuspendSignalBlock blocked;
    MutexLock guard(g_slabLock);
    if (g_slabLeft < size) {
        const size_t slabSize = size + kSlabHeader > kSlabSize ? size + kSlabHeader : kSlabSize;
        auto* slab = static_cast<Slab*>(aligned_alloc(64, slabSize));
        if (slab == nullptr) {
            return nullptr;
        }
        slab->next = g_slabs;
        g_slabs = slab;
        g_slabFree = reinterpret_cast<unsigned char*>(slab) + kSlabHeader;
        g_slabLeft = slabSize - kSlabHeader;
    }
    Record* record = reinterpret_cast<Record*>(g_slabFree);
    g_slabFree += size;
    g_slabLeft -= size;
    return record;
}

// A fork taken while another thread holds a free-list lock would leave the child unable to
// create any object: hold them all across fork, so the child starts with them free. Not
// analysed: the analysis cannot name the locks of an array walked in a loop.
void lockAllLists() QEL_NO_THREAD_SAFETY_ANALYSIS {
    for (FreeList& list : g_lists) {
        list.lock.Lock();
    }
    g_slabLock.Lock();
}
void unlockAllLists() QEL_NO_THREAD_SAFETY_ANALYSIS {
    g_slabLock.Unlock();
    for (int i = kKinds - 1; i >= 0; --i) {
        g_lists[i].lock.Unlock();
    }
}
// Registered when the library is loaded, while one thread runs: a registration on first use
// sits under a function-local static's guard, and a fork while another thread is inside it
// leaves the guard taken for ever in the child.
[[maybe_unused]] const int g_forkHandlersRegistered =
    pthread_atfork(lockAllLists, unlockAllLists, unlockAllLists);

FreeList& freeListFor(uint32_t tag) {
    FreeList* lists = g_lists;
    switch (tag) {
        case kMutexTag:
            return lists[0];
        case kThreadMutexTag:
            return lists[1];
        case kEventTag:
            return lists[2];
        case kThreadTag:
            return lists[3];
        case kSegmentTag:
            return lists[4];
        default:
            return lists[5];
    }
}

}  // namespace

Record* allocRecord(size_t size, uint32_t tag) {
    FreeList& list = freeListFor(tag);
    Record* record = nullptr;
    {
        SuspendSignalBlock blocked;
        MutexLock guard(list.lock);
        record = list.head;
        if (record != nullptr) {
            list.head = record->nextFree;
        }
    }
    if (record == nullptr) {
        // Records of one kind all have the same size, so a reused one always fits.
        record = cutRecord(size);
        if (record == nullptr) {
            return nullptr;
        }
        __atomic_store_n(&record->tag, kDeadTag, __ATOMIC_RELAXED);
        record->generation = 0;
    }
    unsigned char* bytes = reinterpret_cast<unsigned char*>(record);
    for (size_t i = sizeof(Record); i < size; ++i) {
        bytes[i] = 0;
    }
    record->nextFree = nullptr;
    return record;
}

long liveRecord(Record* record, uint32_t tag) {
    const uint32_t generation = (record->generation + 1) & kLastGeneration;
    record->generation = generation;
    __atomic_store_n(&record->tag, tag ^ generation, __ATOMIC_RELEASE);
    return static_cast<long>(reinterpret_cast<uint64_t>(record) | uint64_t{generation}
                                                                      << kGenerationShift);
}

void freeRecord(Record* record, uint32_t tag) {
    __atomic_store_n(&record->tag, kDeadTag, __ATOMIC_RELEASE);
    // Its next publication would wrap the generation back to values that handles closed long
    // ago still carry: the record is retired instead, dead for ever (one record per 65,535
    // objects made in it).
    if (record->generation == kLastGeneration) {
        return;
    }
    FreeList& list = freeListFor(tag);
    SuspendSignalBlock blocked;
    MutexLock guard(list.lock);
    record->nextFree = list.head;
    list.head = record;
}

}  // namespace qel
