// The store's system calls (see qelSys.h). Every wrapper first asks shouldFail(): one relaxed
// load when no fault is armed. A test arms a fault at the n-th call from now (qelTesting.h):
// that call fails with the chosen error, or the process is killed or stopped just before it.
#include "qelSys.h"

#include <errno.h>
#include <signal.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "qelTesting.h"

namespace qel {
namespace sys {
namespace {

// The table: one name per call, in the order of the wrappers below.
enum Call {
    kOpen,
    kOpenat,
    kClose,
    kFstat,
    kFstatat,
    kMmap,
    kMunmap,
    kMremap,
    kLinkat,
    kUnlinkat,
    kMkdirat,
    kFchmod,
    kFallocate,
    kFcntl,
    kDup,
    kPread,
    kReadlinkat,
    kGetdents,
    kLseek,
    kCalls
};
constexpr const char* kNames[kCalls] = {
    "open",       "openat",   "close",   "fstat",  "fstatat",         "mmap",  "munmap", "mremap",
    "linkat",     "unlinkat", "mkdirat", "fchmod", "posix_fallocate", "fcntl", "dup",    "pread",
    "readlinkat", "getdents", "lseek"};

// The armed fault (all __atomic): the call number it hits, counted from arming, and what it
// does there. The names of the first calls are kept so that a test can say where it struck.
int g_action = QEL_FAULT_OFF;
unsigned g_at = 0;
int g_error = 0;
unsigned g_calls = 0;
int g_only = kCalls;     // the one call counted towards g_at, or kCalls for every call
unsigned g_matched = 0;  // calls of that one
constexpr unsigned kKeptNames = 512;
unsigned char g_seen[kKeptNames];

bool shouldFail(Call call) {
    if (__atomic_load_n(&g_action, __ATOMIC_RELAXED) == QEL_FAULT_OFF) {
        return false;
    }
    const unsigned n = __atomic_add_fetch(&g_calls, 1, __ATOMIC_RELAXED);
    if (n <= kKeptNames) {
        g_seen[n - 1] = static_cast<unsigned char>(call);
    }
    const int only = __atomic_load_n(&g_only, __ATOMIC_RELAXED);
    const unsigned nth = only == kCalls ? n
                         : only == call ? __atomic_add_fetch(&g_matched, 1, __ATOMIC_RELAXED)
                                        : 0;
    if (nth != __atomic_load_n(&g_at, __ATOMIC_RELAXED)) {
        return false;
    }
    switch (__atomic_load_n(&g_action, __ATOMIC_RELAXED)) {
        case QEL_FAULT_KILL:
            raise(SIGKILL);
            return false;
        case QEL_FAULT_STOP:
            raise(SIGSTOP);
            return false;
        case QEL_FAULT_FAIL:
            errno = __atomic_load_n(&g_error, __ATOMIC_RELAXED);
            return true;
        default:
            return false;
    }
}

}  // namespace

int open(const char* path, int flags) {
    return shouldFail(kOpen) ? -1 : ::open(path, flags);
}
int openat(int dir, const char* path, int flags, mode_t mode) {
    return shouldFail(kOpenat) ? -1 : ::openat(dir, path, flags, mode);
}
int close(int fd) {
    // A failed close still closes (Linux): only the error is injected.
    int rc = ::close(fd);
    return shouldFail(kClose) ? -1 : rc;
}
int fstat(int fd, struct stat* st) {
    return shouldFail(kFstat) ? -1 : ::fstat(fd, st);
}
int fstatat(int dir, const char* path, struct stat* st, int flags) {
    return shouldFail(kFstatat) ? -1 : ::fstatat(dir, path, st, flags);
}
void* mmap(void* address, size_t length, int protection, int flags, int fd, off_t offset) {
    return shouldFail(kMmap) ? MAP_FAILED : ::mmap(address, length, protection, flags, fd, offset);
}
int munmap(void* address, size_t length) {
    return shouldFail(kMunmap) ? -1 : ::munmap(address, length);
}
void* mremap(void* old, size_t oldLength, size_t newLength, void* at) {
    if (shouldFail(kMremap)) {
        return MAP_FAILED;
    }
    return at == nullptr ? ::mremap(old, oldLength, newLength, MREMAP_MAYMOVE)
                         : ::mremap(old, oldLength, newLength, MREMAP_MAYMOVE | MREMAP_FIXED, at);
}
int linkat(int fromDir, const char* from, int toDir, const char* to, int flags) {
    return shouldFail(kLinkat) ? -1 : ::linkat(fromDir, from, toDir, to, flags);
}
int unlinkat(int dir, const char* path, int flags) {
    return shouldFail(kUnlinkat) ? -1 : ::unlinkat(dir, path, flags);
}
int mkdirat(int dir, const char* path, mode_t mode) {
    return shouldFail(kMkdirat) ? -1 : ::mkdirat(dir, path, mode);
}
int fchmod(int fd, mode_t mode) {
    return shouldFail(kFchmod) ? -1 : ::fchmod(fd, mode);
}
int posix_fallocate(int fd, off_t offset, off_t length) {
    return shouldFail(kFallocate) ? errno : ::posix_fallocate(fd, offset, length);
}
int fcntl(int fd, int command, struct flock* lock) {
    return shouldFail(kFcntl) ? -1 : ::fcntl(fd, command, lock);
}
int dupAbove(int fd, int lowest) {
    return shouldFail(kDup) ? -1 : ::fcntl(fd, F_DUPFD_CLOEXEC, lowest);
}
ssize_t pread(int fd, void* buffer, size_t count, off_t offset) {
    return shouldFail(kPread) ? -1 : ::pread(fd, buffer, count, offset);
}
ssize_t readlinkat(int dir, const char* path, char* buffer, size_t size) {
    return shouldFail(kReadlinkat) ? -1 : ::readlinkat(dir, path, buffer, size);
}
ssize_t getdents(int fd, void* buffer, size_t size) {
    return shouldFail(kGetdents) ? -1 : ::syscall(SYS_getdents64, fd, buffer, size);
}
off_t lseek(int fd, off_t offset, int whence) {
    return shouldFail(kLseek) ? -1 : ::lseek(fd, offset, whence);
}

}  // namespace sys
}  // namespace qel

using namespace qel::sys;

void qelTestFault(unsigned int atCall, int action, int error) {
    qelTestFaultAt(nullptr, atCall, action, error);
}

void qelTestFaultAt(const char* call, unsigned int nth, int action, int error) {
    int only = kCalls;
    for (int i = 0; call != nullptr && i < kCalls; ++i) {
        only = strcmp(kNames[i], call) == 0 ? i : only;
    }
    const unsigned int atCall = nth;
    __atomic_store_n(&g_action, QEL_FAULT_OFF, __ATOMIC_RELAXED);
    __atomic_store_n(&g_calls, 0u, __ATOMIC_RELAXED);
    __atomic_store_n(&g_matched, 0u, __ATOMIC_RELAXED);
    __atomic_store_n(&g_only, only, __ATOMIC_RELAXED);
    __atomic_store_n(&g_at, atCall, __ATOMIC_RELAXED);
    __atomic_store_n(&g_error, error, __ATOMIC_RELAXED);
    __atomic_store_n(&g_action, action, __ATOMIC_RELAXED);
}

unsigned int qelTestFaultCalls(void) {
    return __atomic_load_n(&g_calls, __ATOMIC_RELAXED);
}

const char* qelTestFaultCallName(unsigned int n) {
    return n >= 1 && n <= qelTestFaultCalls() && n <= kKeptNames ? kNames[g_seen[n - 1]] : "";
}
