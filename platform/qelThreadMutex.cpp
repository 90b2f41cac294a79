// Thread mutexes: a private recursive pthread mutex behind a checked handle.
#include <errno.h>
#include <pthread.h>

#include "qelInternal.h"

namespace {

struct ThreadMutex : qel::Record {
    pthread_mutex_t mutex;
};

}  // namespace

extern "C" {

QEL_STATUS qelCreateUnlockedThreadMutex(const char*, long* handle) {
    if (handle == nullptr) {
        return QEL_E_INVALID;
    }
    auto* record =
        static_cast<ThreadMutex*>(qel::allocRecord(sizeof(ThreadMutex), qel::kThreadMutexTag));
    if (record == nullptr) {
        return QEL_E_NO_MEMORY;
    }
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(&record->mutex, &attr);
    pthread_mutexattr_destroy(&attr);
    qel::liveRecord(record, qel::kThreadMutexTag);
    *handle = reinterpret_cast<long>(record);
    return QEL_OK;
}

QEL_STATUS qelLockThreadMutex(long handle, long timeout) {
    auto* record = qel::fromHandle<ThreadMutex>(handle, qel::kThreadMutexTag);
    if (record == nullptr) {
        return QEL_E_BAD_HANDLE;
    }
    int rc = qel::lockWithTimeout(&record->mutex, timeout);
    if (rc == 0) {
        return QEL_OK;
    }
    return (rc == EBUSY || rc == ETIMEDOUT) ? QEL_E_TIMEOUT : QEL_E_WAIT_FAILED;
}

QEL_STATUS qelUnlockThreadMutex(long handle) {
    auto* record = qel::fromHandle<ThreadMutex>(handle, qel::kThreadMutexTag);
    if (record == nullptr) {
        return QEL_E_BAD_HANDLE;
    }
    if (!qel::ownsMutex(&record->mutex)) {
        return QEL_E_NOT_OWNER;
    }
    return pthread_mutex_unlock(&record->mutex) == 0 ? QEL_OK : QEL_E_NOT_OWNER;
}

QEL_STATUS qelDeleteThreadMutex(long* handle) {
    if (handle == nullptr) {
        return QEL_E_INVALID;
    }
    auto* record = qel::fromHandle<ThreadMutex>(*handle, qel::kThreadMutexTag);
    if (record == nullptr) {
        return QEL_E_BAD_HANDLE;
    }
    *handle = 0;
    pthread_mutex_destroy(&record->mutex);
    qel::freeRecord(record, qel::kThreadMutexTag);
    return QEL_OK;
}

}  // extern "C"
