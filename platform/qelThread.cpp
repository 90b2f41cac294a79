// Threads: pthreads behind a reference-counted control block, with suspend and resume built
// on a real-time signal (Linux cannot stop a single thread from outside) and priorities mapped
// onto per-thread nice values.
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <mutex>

#include "qelInternal.h"

namespace {

enum State : uint32_t { kStarting = 0, kRunning = 1, kExited = 2 };

struct Thread : qel::Record {
    pthread_t thread;
    pthread_mutex_t lock;   // serialises suspend, resume, priority and delete
    pid_t process;          // the process the thread runs in
    uint32_t tid;           // kernel thread id, published by the thread itself
    uint32_t tidWaiters;    // non-zero once someone may sleep until tid is published
    uint32_t state;         // State
    uint32_t refs;          // the handle and the running thread
    int suspendCount;       // read by the signal handler
    uint32_t acknowledged;  // Ack: set once the thread has stopped (or ended)
    uint32_t resumeWord;    // bumped when the count returns to 0
    int priority;
    QEL_THREAD_ENTRY entry;
    void* argument;
};

// The acknowledged word: a suspender that finds it not set marks it before sleeping, so the
// thread wakes the word only when somebody sleeps on it.
enum Ack : uint32_t { kNotStopped = 0, kStopped = 1, kAwaited = 2 };

// Initial-exec: the handler must not trigger a lazy TLS allocation.
__thread Thread* t_self __attribute__((tls_model("initial-exec"))) = nullptr;
// While t_deferDepth is above 0 (the layer holds an internal lock, or the thread is ending),
// a suspend signal is only counted in t_deferred and carried out when the depth returns to
// 0: the effect of blocking the signal, without two system calls per region.
__thread int t_deferDepth __attribute__((tls_model("initial-exec"))) = 0;
__thread int t_deferred __attribute__((tls_model("initial-exec"))) = 0;

int g_suspendSignal = 0;
std::once_flag g_signalOnce;

// Every field the handler touches is accessed atomically and only async-signal-safe calls
// (futex syscalls) are made; errno is preserved for the interrupted code.

// A thread that suspended itself waits here until the count is back to 0.
void waitWhileSuspended(Thread* self) {
    for (;;) {
        uint32_t seen = __atomic_load_n(&self->resumeWord, __ATOMIC_ACQUIRE);
        if (__atomic_load_n(&self->suspendCount, __ATOMIC_ACQUIRE) <= 0) {
            return;
        }
        qel::futexWait(&self->resumeWord, seen, nullptr, false);
    }
}

void acknowledge(Thread* thread) {
    if (__atomic_exchange_n(&thread->acknowledged, uint32_t{kStopped}, __ATOMIC_ACQ_REL) ==
        kAwaited) {
        qel::futexWakeAll(&thread->acknowledged, false);
    }
}

// What the suspend signal does on the thread it stops.
void stopForSuspend(Thread* self) {
    // The stop leaves after the first resume that follows its start, even if a new suspend
    // already raised the count again: that suspend sent its own signal, which stays pending
    // (or deferred) until this stop returns and then stops the thread afresh (and
    // acknowledges that suspend). Staying here instead would leave it unacknowledged. It
    // acknowledges even when a resume came first (the count is back to 0): the suspender
    // waits for that acknowledgement without holding the thread's lock.
    uint32_t entered = __atomic_load_n(&self->resumeWord, __ATOMIC_ACQUIRE);
    bool stop = __atomic_load_n(&self->suspendCount, __ATOMIC_ACQUIRE) > 0;
    acknowledge(self);
    while (stop && __atomic_load_n(&self->resumeWord, __ATOMIC_ACQUIRE) == entered) {
        qel::futexWait(&self->resumeWord, entered, nullptr, false);
    }
}

// Carries out the suspends that came while they were deferred, in the order they came.
void runDeferred() {
    Thread* self = t_self;
    while (self != nullptr && __atomic_load_n(&t_deferred, __ATOMIC_RELAXED) > 0) {
        __atomic_sub_fetch(&t_deferred, 1, __ATOMIC_RELAXED);
        __atomic_add_fetch(&t_deferDepth, 1, __ATOMIC_RELAXED);
        __atomic_signal_fence(__ATOMIC_SEQ_CST);
        stopForSuspend(self);
        __atomic_signal_fence(__ATOMIC_SEQ_CST);
        __atomic_sub_fetch(&t_deferDepth, 1, __ATOMIC_RELAXED);
    }
}

void onSuspendSignal(int) {
    int savedErrno = errno;
    Thread* self = t_self;
    // Before the thread has published itself, a suspend is also deferred: the start-up
    // carries it out before the thread runs any of its own code.
    if (self == nullptr || __atomic_load_n(&t_deferDepth, __ATOMIC_RELAXED) > 0) {
        __atomic_add_fetch(&t_deferred, 1, __ATOMIC_RELAXED);
    } else {
        stopForSuspend(self);
    }
    errno = savedErrno;
}

// Picks the first real-time signal that nobody handles yet (other runtimes claim SIGUSR1/2,
// SIGPWR, SIGXCPU and some low real-time signals) and installs the handler.
bool installSuspendSignal() {
    std::call_once(g_signalOnce, [] {
        for (int candidate = SIGRTMIN + 4; candidate <= SIGRTMAX - 4; ++candidate) {
            struct sigaction current;
            if (sigaction(candidate, nullptr, &current) != 0 || current.sa_handler != SIG_DFL ||
                (current.sa_flags & SA_SIGINFO) != 0) {
                continue;
            }
            struct sigaction action = {};
            action.sa_handler = onSuspendSignal;
            action.sa_flags = SA_RESTART;
            sigfillset(&action.sa_mask);
            if (sigaction(candidate, &action, nullptr) == 0) {
                __atomic_store_n(&g_suspendSignal, candidate, __ATOMIC_RELEASE);
                return;
            }
        }
    });
    return g_suspendSignal != 0;
}

class BlockLock {
public:
    explicit BlockLock(Thread* thread) : thread_(thread) { pthread_mutex_lock(&thread_->lock); }
    ~BlockLock() { pthread_mutex_unlock(&thread_->lock); }
    BlockLock(const BlockLock&) = delete;
    BlockLock& operator=(const BlockLock&) = delete;

private:
    Thread* thread_;
};

void release(Thread* thread) {
    if (__atomic_sub_fetch(&thread->refs, 1u, __ATOMIC_ACQ_REL) == 0) {
        pthread_mutex_destroy(&thread->lock);
        qel::freeRecord(thread, qel::kThreadTag);
    }
}

bool exited(Thread* thread) {
    return __atomic_load_n(&thread->state, __ATOMIC_ACQUIRE) == kExited;
}

// Runs when the thread leaves its entry function, normally or by qelEndThread's unwinding.
void finish(Thread* self) {
    // No suspension from here on (the deferral is never undone): a later signal is only
    // counted, and a suspender waiting for the acknowledgement sees the exited state instead.
    // The state changes under the lock: a suspender that found the thread alive has then
    // already cleared the acknowledgement, so the one set here cannot be lost.
    __atomic_add_fetch(&t_deferDepth, 1, __ATOMIC_RELAXED);
    __atomic_signal_fence(__ATOMIC_SEQ_CST);
    {
        BlockLock locked(self);
        __atomic_store_n(&self->state, static_cast<uint32_t>(kExited), __ATOMIC_RELEASE);
        acknowledge(self);
    }
    t_self = nullptr;
    release(self);
}

struct FinishGuard {
    Thread* self;
    ~FinishGuard() { finish(self); }
};

void* trampoline(void* argument) {
    Thread* self = static_cast<Thread*>(argument);
    t_self = self;
    // Sequentially consistent with the waiter's mark: one of the two sees the other's store.
    __atomic_store_n(&self->tid, static_cast<uint32_t>(syscall(SYS_gettid)), __ATOMIC_SEQ_CST);
    if (__atomic_load_n(&self->tidWaiters, __ATOMIC_SEQ_CST) != 0) {
        qel::futexWakeAll(&self->tid, false);
    }
    // The creator's mask is inherited: a thread started from one that blocks every signal
    // must still take the suspend signal.
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, g_suspendSignal);
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    FinishGuard guard{self};
    // A suspend that came before the thread ran stops it here, before any of its own code.
    runDeferred();
    __atomic_store_n(&self->state, static_cast<uint32_t>(kRunning), __ATOMIC_RELEASE);
    self->entry(self->argument);
    return nullptr;
}

// A thread that forks goes on in the child as that process's only thread, under a new kernel
// id; the lock of its record may have been held by a thread the child does not have.
void adoptForkingThread() {
    if (Thread* self = t_self) {
        pthread_mutex_init(&self->lock, nullptr);
        self->process = getpid();
        __atomic_store_n(&self->tid, static_cast<uint32_t>(syscall(SYS_gettid)), __ATOMIC_RELEASE);
    }
}
[[maybe_unused]] const int g_threadForkHandler =
    pthread_atfork(nullptr, nullptr, adoptForkingThread);

using ThreadPtr = qel::RecordPtr<Thread, qel::kThreadTag>;

Thread* threadOf(long handle) {
    return ThreadPtr::find(handle);
}

// A record copied into a forked child from a thread the child does not have: that thread
// counts as ended there, and neither its lock nor its ids are touched.
bool elsewhere(Thread* thread) {
    return thread->process != qel::ownPid();
}

// Whether the running thread tid blocks the suspend signal, or the program has taken that
// signal over: then no suspend reaches it.
bool suspendSignalRefused(uint32_t tid) {
    struct sigaction current;
    if (sigaction(g_suspendSignal, nullptr, &current) != 0 ||
        current.sa_handler != onSuspendSignal) {
        return true;
    }
    char path[64], text[2048];
    snprintf(path, sizeof path, "/proc/self/task/%u/status", tid);
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    ssize_t got = fd >= 0 ? read(fd, text, sizeof text - 1) : -1;
    if (fd >= 0) {
        close(fd);
    }
    text[got > 0 ? got : 0] = '\0';
    const char* blocked = strstr(text, "\nSigBlk:");
    return blocked != nullptr &&
           (strtoull(blocked + 8, nullptr, 16) >> (g_suspendSignal - 1) & 1) != 0;
}

// A suspender returns once the thread acknowledged a stop (or ended). It waits without the
// block's lock: the thread may itself need that lock (its own priority call) with the signal
// blocked, and would then never take the signal that acknowledges. A thread that still
// blocks the signal after kRefusedChecks slices of waiting (its own sigmask, a sigwait), or a
// program that took the signal over, refuses the suspend: this suspender's step is taken back,
// and a signal still pending finds nothing to do when it comes.
QEL_STATUS awaitStop(Thread* thread) {
    constexpr int kRefusedChecks = 20;  // of 10 ms
    uint32_t seen;
    for (int refused = 0;
         (seen = __atomic_load_n(&thread->acknowledged, __ATOMIC_ACQUIRE)) != kStopped;) {
        const qel::Deadline slice = qel::deadlineAfter(10);
        if ((seen == kAwaited ||
             __atomic_compare_exchange_n(&thread->acknowledged, &seen, uint32_t{kAwaited}, false,
                                         __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE)) &&
            qel::futexWait(&thread->acknowledged, kAwaited, &slice.at, false) == ETIMEDOUT &&
            ++refused == kRefusedChecks) {
            refused = 0;
            if (!suspendSignalRefused(__atomic_load_n(&thread->tid, __ATOMIC_ACQUIRE))) {
                continue;
            }
            qel::SuspendSignalBlock blocked;
            BlockLock locked(thread);
            __atomic_sub_fetch(&thread->suspendCount, 1, __ATOMIC_ACQ_REL);
            return QEL_E_ACCESS;
        }
    }
    if (exited(thread)) {
        qel::SuspendSignalBlock blocked;
        BlockLock locked(thread);
        __atomic_store_n(&thread->suspendCount, 0, __ATOMIC_RELEASE);
        return QEL_E_EXITED;
    }
    return QEL_OK;
}

QEL_STATUS setPriority(Thread* thread, int priority) {
    if (priority < QEL_PRIORITY_LOWEST || priority > QEL_PRIORITY_HIGHEST) {
        return QEL_E_INVALID;
    }
    if (elsewhere(thread)) {
        return QEL_E_EXITED;
    }
    qel::SuspendSignalBlock blocked;
    BlockLock locked(thread);
    // The kernel id appears once the thread has started; it ends only after publishing it.
    if (__atomic_load_n(&thread->tid, __ATOMIC_ACQUIRE) == 0) {
        __atomic_store_n(&thread->tidWaiters, 1u, __ATOMIC_SEQ_CST);
        while (__atomic_load_n(&thread->tid, __ATOMIC_SEQ_CST) == 0) {
            qel::futexWait(&thread->tid, 0u, nullptr, false);
        }
    }
    if (exited(thread)) {
        return QEL_E_EXITED;
    }
    if (setpriority(PRIO_PROCESS, static_cast<id_t>(thread->tid), -priority) != 0) {
        return (errno == EPERM || errno == EACCES) ? QEL_E_ACCESS : QEL_E_RESOURCES;
    }
    thread->priority = priority;
    return QEL_OK;
}

}  // namespace

extern "C" {

QEL_STATUS qelBeginThread(QEL_THREAD_ENTRY entry, void* argument, long* handle) {
    if (entry == nullptr || handle == nullptr) {
        return QEL_E_INVALID;
    }
    if (!installSuspendSignal()) {
        return QEL_E_RESOURCES;
    }
    ThreadPtr thread = ThreadPtr::create();
    if (!thread) {
        return QEL_E_NO_MEMORY;
    }
    pthread_mutex_init(&thread->lock, nullptr);
    thread->process = qel::ownPid();
    thread->refs = 2;  // the handle's and the running thread's
    thread->entry = entry;
    thread->argument = argument;
    thread->priority = QEL_PRIORITY_NORMAL;
    int rc = pthread_create(&thread->thread, nullptr, trampoline, thread.get());
    if (rc != 0) {
        pthread_mutex_destroy(&thread->lock);
        return rc == EAGAIN ? QEL_E_RESOURCES : QEL_E_NO_MEMORY;
    }
    thread.publish(handle);
    return QEL_OK;
}

void qelEndThread(unsigned int) {
    // Unwinds the stack (running destructors and the finish guard). A catch (...) that
    // swallows the unwinding aborts the process.
    pthread_exit(nullptr);
}

QEL_STATUS qelSuspendThread(long handle) {
    Thread* thread = threadOf(handle);
    if (thread == nullptr) {
        return QEL_E_BAD_HANDLE;
    }
    if (thread == t_self) {
        // Suspending oneself: no signal and no lock (a suspender may hold it while this
        // thread's signal is still to come). The stop is acknowledged at once, so that a
        // concurrent suspender finds the thread stopped, then the thread waits for resume.
        __atomic_add_fetch(&thread->suspendCount, 1, __ATOMIC_ACQ_REL);
        acknowledge(thread);
        waitWhileSuspended(thread);
        return QEL_OK;
    }
    if (elsewhere(thread)) {
        return QEL_E_EXITED;
    }
    {
        qel::SuspendSignalBlock blocked;
        BlockLock locked(thread);
        if (exited(thread)) {
            return QEL_E_EXITED;
        }
        if (__atomic_add_fetch(&thread->suspendCount, 1, __ATOMIC_ACQ_REL) == 1) {
            // Not stopped any more; a suspender still asleep on the word keeps its mark.
            uint32_t stopped = kStopped;
            __atomic_compare_exchange_n(&thread->acknowledged, &stopped, uint32_t{kNotStopped},
                                        false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE);
            if (pthread_kill(thread->thread, g_suspendSignal) != 0) {
                __atomic_store_n(&thread->suspendCount, 0, __ATOMIC_RELEASE);
                return QEL_E_EXITED;
            }
        }
    }
    // Every suspender, the first or a nested one, returns only once the thread has stopped
    // (or ended before the signal came).
    return awaitStop(thread);
}

QEL_STATUS qelResumeThread(long handle) {
    Thread* thread = threadOf(handle);
    if (thread == nullptr || elsewhere(thread)) {
        return thread == nullptr ? QEL_E_BAD_HANDLE : QEL_E_EXITED;
    }
    qel::SuspendSignalBlock blocked;
    BlockLock locked(thread);
    int count = __atomic_load_n(&thread->suspendCount, __ATOMIC_ACQUIRE);
    if (count <= 0) {
        return exited(thread) ? QEL_E_EXITED : QEL_E_INVALID;
    }
    if (__atomic_sub_fetch(&thread->suspendCount, 1, __ATOMIC_ACQ_REL) == 0) {
        __atomic_add_fetch(&thread->resumeWord, 1u, __ATOMIC_RELEASE);
        qel::futexWakeAll(&thread->resumeWord, false);
    }
    return QEL_OK;
}

QEL_STATUS qelSetThreadPriority(long handle, int priority) {
    Thread* thread = threadOf(handle);
    return thread == nullptr ? QEL_E_BAD_HANDLE : setPriority(thread, priority);
}

QEL_STATUS qelSetOwnThreadPriority(int priority) {
    Thread* self = t_self;
    return self == nullptr ? QEL_E_INVALID : setPriority(self, priority);
}

QEL_STATUS qelGetThreadPriority(long handle, int* priority) {
    Thread* thread = threadOf(handle);
    if (thread == nullptr || priority == nullptr) {
        return thread == nullptr ? QEL_E_BAD_HANDLE : QEL_E_INVALID;
    }
    if (elsewhere(thread)) {
        *priority = thread->priority;
        return QEL_E_EXITED;
    }
    qel::SuspendSignalBlock blocked;
    BlockLock locked(thread);
    *priority = thread->priority;
    return exited(thread) ? QEL_E_EXITED : QEL_OK;
}

QEL_STATUS qelDeleteThreadHandle(long* handle) {
    if (handle == nullptr) {
        return QEL_E_INVALID;
    }
    Thread* thread = threadOf(*handle);
    if (thread == nullptr) {
        return QEL_E_BAD_HANDLE;
    }
    *handle = 0;
    __atomic_store_n(&thread->tag, qel::kDeadTag, __ATOMIC_RELEASE);
    if (elsewhere(thread)) {
        return QEL_OK;  // the record stays: another process's thread may still reach it
    }
    {
        qel::SuspendSignalBlock blocked;
        BlockLock locked(thread);
        // An ended thread is joined so that it leaves no zombie; a running one is detached
        // and cleans up after itself. Its pthread_t is never used after this.
        if (exited(thread)) {
            pthread_join(thread->thread, nullptr);
        } else {
            pthread_detach(thread->thread);
        }
    }
    release(thread);
    return QEL_OK;
}

}  // extern "C"

namespace qel {

SuspendSignalBlock::SuspendSignalBlock() {
    __atomic_add_fetch(&t_deferDepth, 1, __ATOMIC_RELAXED);
    __atomic_signal_fence(__ATOMIC_SEQ_CST);  // before anything the region does
}

SuspendSignalBlock::~SuspendSignalBlock() {
    __atomic_signal_fence(__ATOMIC_SEQ_CST);
    if (__atomic_sub_fetch(&t_deferDepth, 1, __ATOMIC_RELAXED) == 0 &&
        __atomic_load_n(&t_deferred, __ATOMIC_RELAXED) > 0) {
        runDeferred();
    }
}

}  // namespace qel
