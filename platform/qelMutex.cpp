// Process mutexes: robust, recursive, process-shared pthread mutexes. An unnamed one lives in
// its own shared anonymous page, so children forked after its creation share it; a named one
// lives in its named file.
#include <errno.h>
#include <linux/futex.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "qelInternal.h"
#include "qelWaitBoard.h"

namespace {

struct ProcessMutex : qel::Record {
    pthread_mutex_t* mutex;
    // Of a named mutex, the thread that last locked it through this handle (0: none yet): a
    // process may have several handles, each its own mapping, of one name, and glibc links a
    // robust mutex into its holder's list through the address it was locked at. Written by
    // that thread as it takes the mutex; read by a close from another thread, which must not
    // walk that thread's robust list (it changes under the reader, and its entries can be
    // unmapped while being read). While that thread owns the mutex it holds it through this
    // handle, or, having let go of this one since, through another handle of the name: then
    // a close keeps this mapping to the end of the process (a small leak, never a crash), and
    // unlock keeps nothing here. An unnamed mutex has one handle, its own page: its owner's
    // thread id, in the mutex, says it all.
    pid_t holder;
    bool named;
    qel::NamedFile file;
};

void initMutex(unsigned char* object) {
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
    pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
    pthread_mutex_init(reinterpret_cast<pthread_mutex_t*>(object), &attr);
    pthread_mutexattr_destroy(&attr);
}

using MutexPtr = qel::RecordPtr<ProcessMutex, qel::kMutexTag>;

#if defined(__SANITIZE_THREAD__)
extern "C" void __tsan_acquire(void* address);
extern "C" void __tsan_release(void* address);

// ThreadSanitizer knows a mutex by its address, and each handle of a named mutex maps the
// file at an address of its own, while a segment's handles in one process share one mapping:
// two threads writing one segment under two handles of its mutex would look unsynchronised.
// Every mapping of one file stands for one lock here (a collision only hides a race).
void* sanitizerKeyOf(const ProcessMutex* record) {
    static char keys[4096];
    return &keys[(record->file.device * 31 + record->file.inode) % sizeof keys];
}
void sanitizerAcquired(const ProcessMutex* record) {
    if (record->named) {
        __tsan_acquire(sanitizerKeyOf(record));
    }
}
void sanitizerReleasing(const ProcessMutex* record) {
    if (record->named) {
        __tsan_release(sanitizerKeyOf(record));
    }
}
#else
void sanitizerAcquired(const ProcessMutex*) {}
void sanitizerReleasing(const ProcessMutex*) {}
#endif

// Whether the calling thread's robust list holds the mutex at this address. glibc links a
// robust mutex into its holder's list through the address it was locked at, that is through
// one particular mapping of a named mutex's file.
bool onOwnRobustList(const pthread_mutex_t* mutex) {
    robust_list_head* head = nullptr;
    size_t length = 0;
    if (syscall(SYS_get_robust_list, 0, &head, &length) != 0 || head == nullptr) {
        return false;
    }
    const void* node = &mutex->__data.__list.__next;
    robust_list* entry = head->list.next;
    for (int steps = 0; entry != &head->list && entry != nullptr && steps < 4096; ++steps) {
        if (entry == node) {
            return true;
        }
        // The low bit marks priority-inheritance mutexes.
        entry = reinterpret_cast<robust_list*>(reinterpret_cast<uintptr_t>(entry->next) &
                                               ~uintptr_t{1});
    }
    return false;
}

QEL_STATUS makeMutex(const char* name, qel::OpenMode mode, long* handle) {
    if (handle == nullptr || (name == nullptr && mode == qel::OpenMode::OpenExisting)) {
        return QEL_E_INVALID;
    }
    MutexPtr record = MutexPtr::create();
    if (!record) {
        return QEL_E_NO_MEMORY;
    }
    record->file = qel::NamedFile{};
    record->holder = 0;
    if (name == nullptr) {
        void* page = mmap(nullptr, sizeof(pthread_mutex_t), PROT_READ | PROT_WRITE,
                          MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        if (page == MAP_FAILED) {
            return QEL_E_NO_MEMORY;
        }
        initMutex(static_cast<unsigned char*>(page));
        record->mutex = static_cast<pthread_mutex_t*>(page);
        record->named = false;
    } else {
        QEL_STATUS status =
            qel::openNamed(qel::ObjectType::Mutex, name, mode, initMutex, 0, &record->file);
        if (status != QEL_OK) {
            return status;
        }
        record->mutex = reinterpret_cast<pthread_mutex_t*>(record->file.map + qel::kObjectOffset);
        record->named = true;
    }
    record.publish(handle);
    return QEL_OK;
}

// A lock that did not simply succeed: taken over from a dead owner, or not taken.
__attribute__((noinline)) QEL_STATUS settle(ProcessMutex* record, int rc) {
    if (rc == EOWNERDEAD) {
        // The owner died holding it: repair the state and hand it over. Unlocking without
        // making it consistent would leave it unusable for every process for ever.
        pthread_mutex_consistent(record->mutex);
        if (record->named) {
            __atomic_store_n(&record->holder, record->mutex->__data.__owner, __ATOMIC_RELAXED);
        }
        sanitizerAcquired(record);
        return QEL_OK;
    }
    return (rc == EBUSY || rc == ETIMEDOUT) ? QEL_E_TIMEOUT
           : rc == EDEADLK                  ? QEL_E_DEADLOCK
                                            : QEL_E_WAIT_FAILED;
}

}  // namespace

extern "C" {

QEL_STATUS qelCreateUnlockedMutex(const char* name, long* handle) {
    return makeMutex(name, qel::OpenMode::CreateOrOpen, handle);
}

QEL_STATUS qelOpenMutex(const char* name, long* handle) {
    return makeMutex(name, qel::OpenMode::OpenExisting, handle);
}

QEL_STATUS qelLockMutex(long handle, long timeout) {
    ProcessMutex* record = MutexPtr::find(handle);
    if (record == nullptr) {
        return QEL_E_BAD_HANDLE;
    }
    pthread_mutex_t* const mutex = record->mutex;
    if (!record->named) {
        const int rc = qel::lockWithTimeout(mutex, timeout);
        return rc == 0 ? QEL_OK : settle(record, rc);
    }
    // Who waits for a named mutex is on the wait board: a try tells whether this lock waits,
    // and only a lock that waits writes its record.
    int rc = pthread_mutex_trylock(mutex);
    if (rc == EBUSY && timeout != 0) {
        rc = qel::waits::lockRecorded(mutex, record->file, timeout);
    }
    if (rc != 0) {
        return settle(record, rc);
    }
    // glibc has just written the owner's id next to the lock word.
    __atomic_store_n(&record->holder, mutex->__data.__owner, __ATOMIC_RELAXED);
    sanitizerAcquired(record);
    return QEL_OK;
}

QEL_STATUS qelUnlockMutex(long handle) {
    ProcessMutex* record = MutexPtr::find(handle);
    if (record == nullptr) {
        return QEL_E_BAD_HANDLE;
    }
#if defined(__SANITIZE_THREAD__)
    // ThreadSanitizer reports the unlock of a mutex the caller does not own, even one that
    // glibc refuses without changing anything: refused before it gets there.
    if (!qel::ownsMutex(record->mutex)) {
        return QEL_E_NOT_OWNER;
    }
#endif
    sanitizerReleasing(record);
    // A robust mutex refuses (EPERM) an unlock by a thread that does not own it.
    return pthread_mutex_unlock(record->mutex) == 0 ? QEL_OK : QEL_E_NOT_OWNER;
}

QEL_STATUS qelOwnsMutex(long handle) {
    ProcessMutex* record = MutexPtr::find(handle);
    if (record == nullptr) {
        return QEL_E_BAD_HANDLE;
    }
    return qel::ownsMutex(record->mutex) ? QEL_OK : QEL_E_NOT_OWNER;
}

QEL_STATUS qelCloseMutex(long* handle) {
    if (handle == nullptr) {
        return QEL_E_INVALID;
    }
    MutexPtr record = MutexPtr::take(handle);
    if (!record) {
        return QEL_E_BAD_HANDLE;
    }
    pthread_mutex_t* mutex = record->mutex;
    // A robust mutex sits on its holder's robust list, which glibc walks on later locks and
    // unlocks of other robust mutexes: unmapping it while it is linked there would make an
    // unrelated call crash long after. A caller that holds it through this handle lets go of
    // every level first; memory that another thread of this process holds through this
    // handle stays mapped, and its record stays listed with its file until the exit lets go
    // of it (a small leak instead of a crash). A lock taken through another handle of the
    // same name lives in that handle's mapping and is left alone.
    if (qel::ownsMutex(mutex) && onOwnRobustList(mutex)) {
        while (qel::ownsMutex(mutex) && pthread_mutex_unlock(mutex) == 0) {
        }
    }
    const pid_t holder =
        record->named
            ? __atomic_load_n(&record->holder, __ATOMIC_ACQUIRE)
            : static_cast<pid_t>(__atomic_load_n(&mutex->__data.__lock, __ATOMIC_RELAXED) &
                                 FUTEX_TID_MASK);
    if (holder != 0 && holder != qel::currentTid() && qel::isOwnThread(holder) &&
        (__atomic_load_n(&mutex->__data.__owner, __ATOMIC_RELAXED) & FUTEX_TID_MASK) ==
            static_cast<unsigned int>(holder)) {
        record.release();  // kept too: the store lists its file until the process exits
        return QEL_OK;
    }
    if (record->named) {
        qel::closeNamed(&record->file);
    } else {
        munmap(mutex, sizeof(pthread_mutex_t));
    }
    return QEL_OK;
}

}  // extern "C"
