// What fork and exit do to this process's holds.
//
// Fork. A child owns copies of its parent's handles, so each is a hold of its own: before
//   the fork, the parent claims a registry slot for the child (through a descriptor the child
//   inherits, so the slot lives exactly as long as the child) and enters it in every file it
//   holds, with as many handles; a segment's count gains the child's connections. Then the
//   parent may exit at once (the usual way to become a daemon) and the child's objects stay
//   for it and for everyone who opens their names. A file whose table lock stays busy for
//   kForkEnterBoundMs is left out: the child's handle on it is a view (its close only
//   unmaps). The layer's own locks are held across fork, so a child may use the layer at
//   once, even when other threads were busy in it.
// Exit. exit() gives up every hold the process made itself (segment connections included),
//   waiting at most kExitLockBoundMs in all for busy table locks; the last process to leave
//   the registry sweeps the directory, removes the registry and, for the default directory,
//   the directory itself when that leaves it empty. A process that ends otherwise (a kill,
//   _exit) leaves its holds to be taken back by the next process that looks at them.
#include <stdlib.h>
#include <unistd.h>

#include "qelStoreParts.h"
#include "qelSys.h"

namespace qel {
namespace store {

namespace {

constexpr long kForkEnterBoundMs = 200;
constexpr long kExitLockBoundMs = 200;
// How many entries of the directory the last process looks at before it leaves.
constexpr size_t kLastSweepEntries = 1u << 20;

pid_t g_pid = 0;  // this process's pid once asked for; 0 again in a forked child
// The PID namespace, cached per process without a lock: a thread suspended while it held the
// guard of a function-local static would stop every other thread that asks.
pid_t g_namespaceOf = 0;
uint64_t g_namespace = 0;

// The store's locks are held from before the fork to after it, taken in the lock order.
void prepareFork() QEL_ACQUIRE(g_waitAnyLock, g_heldLock, registry::g_lock, g_dirLock, g_mapsLock) {
    lockWaitAnyForFork();
    lockHolds();
    registry::lockForFork();
    registry::Identity child;
    const bool entering = anyHolds() && registry::prepareChild(&child);
    registry::unlockForFork();
    if (entering) {
        enterHolds(child, kForkEnterBoundMs, true);
    }
    registry::lockForFork();
    lockDirForFork();
    lockMappings();
}

void parentAfterFork()
    QEL_RELEASE(g_waitAnyLock, g_heldLock, registry::g_lock, g_dirLock, g_mapsLock) {
    unlockMappings();
    unlockDirForFork();
    registry::afterForkInParent();
    registry::unlockForFork();
    afterForkInParentHolds();
    unlockHolds();
    unlockWaitAnyForFork();
}

void childAfterFork()
    QEL_RELEASE(g_waitAnyLock, g_heldLock, registry::g_lock, g_dirLock, g_mapsLock) {
    __atomic_store_n(&g_pid, 0, __ATOMIC_RELAXED);
    forgetPidNamespace();
    unlockMappings();
    unlockDirForFork();
    registry::afterForkInChild();
    registry::unlockForFork();
    afterForkInChildHolds();
    unlockHolds();
    unlockWaitAnyForFork();
}

// Registered at load, while one thread runs: a child forked while another thread holds a
// lock starts with it free.
[[maybe_unused]] const int g_forkHandlers =
    pthread_atfork(prepareFork, parentAfterFork, childAfterFork);

void tidyAtExit() {
    releaseWaitAnyWord();
    leaveAllHolds(kExitLockBoundMs);
    if (!directoryUsed()) {
        return;
    }
    const bool last = registry::leaveAtExit();
    sweepStale(last ? kLastSweepEntries : publishedAny() ? 64 : 0);
    if (last) {
        removeDefaultDirectory();
    }
}

struct ExitTidy {
    ~ExitTidy() { tidyAtExit(); }
};

}  // namespace

void removeDefaultDirectory() {
    StoreDirectory where = storeDirectory();
    int parent = !where.configured ? openDirectoryPath(where.parent) : -1;
    if (parent >= 0) {
        sys::unlinkat(parent, where.leaf.c_str(), AT_REMOVEDIR);  // fails unless empty
        sys::close(parent);
    }
}

void armExitTidy() {
    static ExitTidy tidy;  // destroyed before the objects made before the store's first use
}

uint64_t ownPidNamespace() {
    pid_t pid = ownPid();
    if (__atomic_load_n(&g_namespaceOf, __ATOMIC_ACQUIRE) != pid) {
        __atomic_store_n(&g_namespace, pidNamespaceId(), __ATOMIC_RELAXED);
        __atomic_store_n(&g_namespaceOf, pid, __ATOMIC_RELEASE);
    }
    return __atomic_load_n(&g_namespace, __ATOMIC_RELAXED);
}

void forgetPidNamespace() {
    // By pid alone a child that is pid 1 of a new namespace would look like its parent when
    // that is pid 1 of its own.
    __atomic_store_n(&g_namespaceOf, 0, __ATOMIC_RELEASE);
}

}  // namespace store

pid_t ownPid() {
    pid_t pid = __atomic_load_n(&store::g_pid, __ATOMIC_RELAXED);
    if (pid == 0) {
        pid = getpid();
        __atomic_store_n(&store::g_pid, pid, __ATOMIC_RELAXED);
    }
    return pid;
}

}  // namespace qel
