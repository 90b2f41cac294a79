// Thread mutexes: a recursive futex lock private to the process. It is a three-state futex
// word (0 free, 1 held, 2 held with sleepers) plus the owner's thread id and a recursion
// count, which only the owner touches: uncontended lock and unlock are one atomic
// read-modify-write each, as for a plain non-recursive mutex.
#include <errno.h>

#include "qelInternal.h"

namespace {

struct ThreadMutex : qel::Record {
    uint32_t word;
    pid_t owner;  // 0 when free; written only by the thread that holds the lock
    unsigned int depth;
};

using ThreadMutexPtr = qel::RecordPtr<ThreadMutex, qel::kThreadMutexTag>;

// The lock is taken: waits for it (for ever, or until timeout milliseconds have passed) and
// returns whether it was acquired. Kept out of line, so that the uncontended path stays short.
__attribute__((noinline)) bool lockContended(ThreadMutex* record, long timeout) {
    if (timeout == 0) {
        return false;
    }
    const bool forever = timeout < 0 || static_cast<unsigned long>(timeout) >= QEL_INFINITE;
    const qel::Deadline deadline =
        qel::deadlineAfter(forever ? QEL_INFINITE : static_cast<unsigned long long>(timeout));
    // Mark the word contended before sleeping so that the unlocker wakes us.
    while (__atomic_exchange_n(&record->word, 2u, __ATOMIC_ACQUIRE) != 0) {
        int error = qel::futexWait(&record->word, 2u, forever ? nullptr : &deadline.at, false);
        if (error == ETIMEDOUT || (!forever && qel::deadlinePassed(deadline))) {
            // Recheck once: the lock may have come free just as time ran out.
            return __atomic_exchange_n(&record->word, 2u, __ATOMIC_ACQUIRE) == 0;
        }
    }
    return true;
}

}  // namespace

extern "C" {

QEL_STATUS qelCreateUnlockedThreadMutex(const char*, long* handle) {
    if (handle == nullptr) {
        return QEL_E_INVALID;
    }
    ThreadMutexPtr record = ThreadMutexPtr::create();
    if (!record) {
        return QEL_E_NO_MEMORY;
    }
    record.publish(handle);
    return QEL_OK;
}

QEL_STATUS qelLockThreadMutex(long handle, long timeout) {
    ThreadMutex* record = ThreadMutexPtr::find(handle);
    if (record == nullptr) {
        return QEL_E_BAD_HANDLE;
    }
    const pid_t self = qel::currentTid();
    // Only this thread can have stored its own id, so seeing it means we hold the lock.
    if (__atomic_load_n(&record->owner, __ATOMIC_RELAXED) == self) {
        ++record->depth;
        return QEL_OK;
    }
    uint32_t state = 0;
    if (!__atomic_compare_exchange_n(&record->word, &state, 1u, false, __ATOMIC_ACQUIRE,
                                     __ATOMIC_RELAXED) &&
        !lockContended(record, timeout)) {
        return QEL_E_TIMEOUT;
    }
    __atomic_store_n(&record->owner, self, __ATOMIC_RELAXED);
    record->depth = 1;
    return QEL_OK;
}

QEL_STATUS qelUnlockThreadMutex(long handle) {
    ThreadMutex* record = ThreadMutexPtr::find(handle);
    if (record == nullptr) {
        return QEL_E_BAD_HANDLE;
    }
    if (__atomic_load_n(&record->owner, __ATOMIC_RELAXED) != qel::currentTid()) {
        return QEL_E_NOT_OWNER;
    }
    if (--record->depth > 0) {
        return QEL_OK;
    }
    __atomic_store_n(&record->owner, 0, __ATOMIC_RELAXED);
    if (__atomic_exchange_n(&record->word, 0u, __ATOMIC_RELEASE) == 2) {
        qel::futexWakeOne(&record->word, false);
    }
    return QEL_OK;
}

QEL_STATUS qelDeleteThreadMutex(long* handle) {
    if (handle == nullptr) {
        return QEL_E_INVALID;
    }
    // The record goes back to the free list, never to the heap: a mutex deleted while held
    // leaves nothing behind that another thread could trip over.
    return ThreadMutexPtr::take(handle) ? QEL_OK : QEL_E_BAD_HANDLE;
}

}  // extern "C"
