// Futex calls, CLOCK_MONOTONIC deadlines and thread ids shared by every primitive.
#include <errno.h>
#include <linux/futex.h>
#include <pthread.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <climits>

#include "qelInternal.h"

namespace qel {

Deadline deadlineAfter(unsigned long long timeoutMs) {
    Deadline deadline{};
    if (timeoutMs >= QEL_INFINITE) {
        deadline.forever = true;
        return deadline;
    }
    clock_gettime(CLOCK_MONOTONIC, &deadline.at);
    deadline.at.tv_sec += static_cast<time_t>(timeoutMs / 1000);
    deadline.at.tv_nsec += static_cast<long>(timeoutMs % 1000) * 1000000L;
    if (deadline.at.tv_nsec >= 1000000000L) {
        deadline.at.tv_nsec -= 1000000000L;
        deadline.at.tv_sec += 1;
    }
    return deadline;
}

bool deadlinePassed(const Deadline& deadline) {
    if (deadline.forever) {
        return false;
    }
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec > deadline.at.tv_sec ||
           (now.tv_sec == deadline.at.tv_sec && now.tv_nsec >= deadline.at.tv_nsec);
}

long millisecondsLeft(const Deadline& deadline) {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    long left =
        (deadline.at.tv_sec - now.tv_sec) * 1000 + (deadline.at.tv_nsec - now.tv_nsec) / 1000000;
    return left > 0 ? left : 0;
}

int futexWait(uint32_t* word, uint32_t expected, const timespec* deadline, bool shared) {
    int op = FUTEX_WAIT_BITSET | (shared ? 0 : FUTEX_PRIVATE_FLAG);
#if defined(__SANITIZE_THREAD__)
    // ThreadSanitizer delays a signal until the thread next enters an intercepted call, and a
    // raw futex syscall is not one: an endless sleep would never take the suspend signal.
    // Sleep in short slices instead; the callers treat EINTR as "look again".
    timespec slice;
    clock_gettime(CLOCK_MONOTONIC, &slice);
    slice.tv_nsec += 20000000L;
    if (slice.tv_nsec >= 1000000000L) {
        slice.tv_nsec -= 1000000000L;
        slice.tv_sec += 1;
    }
    bool sliced = deadline == nullptr || slice.tv_sec < deadline->tv_sec ||
                  (slice.tv_sec == deadline->tv_sec && slice.tv_nsec < deadline->tv_nsec);
    long rc = syscall(SYS_futex, word, op, expected, sliced ? &slice : deadline, nullptr,
                      FUTEX_BITSET_MATCH_ANY);
    int error = rc == 0 ? 0 : errno;
    return (sliced && error == ETIMEDOUT) ? EINTR : error;
#else
    long rc = syscall(SYS_futex, word, op, expected, deadline, nullptr, FUTEX_BITSET_MATCH_ANY);
    return rc == 0 ? 0 : errno;
#endif
}

namespace {
__thread pid_t t_tid __attribute__((tls_model("initial-exec"))) = 0;

void forgetTidInChild() {
    t_tid = 0;  // the forking thread has a new id in the child
}
// Registered at load, not on first use: see the free lists' fork handlers.
[[maybe_unused]] const int g_forkHandlersRegistered =
    pthread_atfork(nullptr, nullptr, forgetTidInChild);

__attribute__((noinline, cold)) pid_t fetchTid() {
    t_tid = static_cast<pid_t>(syscall(SYS_gettid));
    return t_tid;
}
}  // namespace

pid_t currentTid() {
    pid_t tid = t_tid;
    return tid != 0 ? tid : fetchTid();
}

bool ownsMutex(const pthread_mutex_t* mutex) {
    // glibc records the owner's thread id in recursive (and robust) mutexes. Checking it
    // first turns an unlock by another thread into a status without handing the mutex an
    // unlock it would reject anyway.
    return __atomic_load_n(&mutex->__data.__owner, __ATOMIC_RELAXED) == currentTid();
}

void futexWakeAll(uint32_t* word, bool shared) {
    syscall(SYS_futex, word, FUTEX_WAKE | (shared ? 0 : FUTEX_PRIVATE_FLAG), INT_MAX, nullptr,
            nullptr, 0);
}

void futexWakeOne(uint32_t* word, bool shared) {
    syscall(SYS_futex, word, FUTEX_WAKE | (shared ? 0 : FUTEX_PRIVATE_FLAG), 1, nullptr, nullptr,
            0);
}

bool isOwnThread(pid_t tid) {
    // tgkill with signal 0 delivers nothing: it only checks that tid is one of our threads.
    return tid > 0 && syscall(SYS_tgkill, getpid(), tid, 0) == 0;
}

namespace {

// A lock with a finite, non-zero timeout; out of line, so that the common waits (for ever, or
// not at all) need no deadline on the stack.
__attribute__((noinline)) int lockBefore(pthread_mutex_t* mutex, long timeout) {
    Deadline deadline = deadlineAfter(static_cast<unsigned long long>(timeout));
#if defined(__SANITIZE_THREAD__)
    // This ThreadSanitizer does not intercept pthread_mutex_clocklock, so it would not know
    // the mutex is held; poll with try-locks, which it does see.
    for (;;) {
        int rc = pthread_mutex_trylock(mutex);
        if (rc != EBUSY || deadlinePassed(deadline)) {
            return rc == EBUSY ? ETIMEDOUT : rc;
        }
        timespec pause = {0, 200000};
        nanosleep(&pause, nullptr);
    }
#else
    return pthread_mutex_clocklock(mutex, CLOCK_MONOTONIC, &deadline.at);
#endif
}

}  // namespace

int lockWithTimeout(pthread_mutex_t* mutex, long timeout) {
    if (timeout < 0 || static_cast<unsigned long>(timeout) >= QEL_INFINITE) {
        return pthread_mutex_lock(mutex);
    }
    if (timeout == 0) {
        return pthread_mutex_trylock(mutex);
    }
    return lockBefore(mutex, timeout);
}

}  // namespace qel
