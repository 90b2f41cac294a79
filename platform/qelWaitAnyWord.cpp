// The word that the wait-any fallback sleeps on, shared by every process of the directory
// through its own file (.waitany), made when first needed and removed by the last process
// that used it. Every process that maps it holds a shared flock on it; the one that removes
// it takes the lock exclusively first.
#include <sys/file.h>
#include <sys/mman.h>
#include <unistd.h>

#include "qelStoreParts.h"
#include "qelSys.h"

namespace qel {
namespace store {

Mutex g_waitAnyLock;  // taken before every other lock of the store

namespace {

int g_waitAnyFd QEL_GUARDED_BY(g_waitAnyLock) = -1;
void* g_waitAnyWord QEL_GUARDED_BY(g_waitAnyLock) = nullptr;

}  // namespace

void lockWaitAnyForFork() {
    g_waitAnyLock.Lock();
}

void unlockWaitAnyForFork() {
    g_waitAnyLock.Unlock();
}

// At exit: gives up the word, and removes its file when no other process holds it. Never
// waits: a forked child may have inherited the lock held.
void releaseWaitAnyWord() {
    MutexLock guard(g_waitAnyLock, std::defer_lock);
    if (!guard.TryLock() || g_waitAnyWord == nullptr) {
        return;
    }
    // Swapped for private memory rather than unmapped: a thread still running may touch it.
    mmap(g_waitAnyWord, kPageSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED,
         -1, 0);
    sys::close(g_waitAnyFd);
    g_waitAnyWord = nullptr;
    DirUse dir(false);
    // A fresh open: the lock of an inherited descriptor may be the parent's.
    int fd = dir.ok() ? sys::openat(dir.fd(), kWaitAnyFile,
                                    O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC)
                      : -1;
    struct stat st;
    if (fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0 && sys::fstat(fd, &st) == 0) {
        unlinkIfSame(dir.fd(), kWaitAnyFile, st.st_dev, st.st_ino);
    }
    if (fd >= 0) {
        sys::close(fd);
    }
}

}  // namespace store

uint32_t* mapWaitAnyWord() {
    using namespace store;
    SuspendSignalBlock blocked;
    MutexLock guard(g_waitAnyLock);
    if (g_waitAnyWord != nullptr) {
        return static_cast<uint32_t*>(g_waitAnyWord);
    }
    for (int attempt = 0; attempt < 1000; ++attempt) {  // a remover holds it for a moment
        DirUse dir(true);
        if (!dir.ok()) {
            return nullptr;
        }
        int fd = aboveStdio(
            sys::openat(dir.fd(), kWaitAnyFile, O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        if (fd < 0 && errno == ENOENT) {
            QEL_STATUS status;
            fd = makeUnnamed(dir, kPageSize, &status);
            if (fd >= 0 && !linkName(fd, dir.fd(), kWaitAnyFile)) {
                sys::close(fd);
                fd = -1;
                if (errno == EEXIST || dir.renewed()) {
                    continue;
                }
            }
        }
        struct stat st, named;
        if (fd < 0 || !fileTrusted(fd, dir.shared(), &st) ||
            st.st_size != static_cast<off_t>(kPageSize)) {
            if (fd >= 0) {
                sys::close(fd);
            }
            return nullptr;
        }
        // Held, it must still be the file of that name.
        if (flock(fd, LOCK_SH | LOCK_NB) != 0 ||
            sys::fstatat(dir.fd(), kWaitAnyFile, &named, AT_SYMLINK_NOFOLLOW) != 0 ||
            named.st_ino != st.st_ino || named.st_dev != st.st_dev) {
            sys::close(fd);
            usleep(1000);
            continue;
        }
        void* map = sys::mmap(nullptr, kPageSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (map == MAP_FAILED) {
            sys::close(fd);
            return nullptr;
        }
        g_waitAnyFd = fd;
        g_waitAnyWord = map;
        return static_cast<uint32_t*>(map);
    }
    return nullptr;
}

}  // namespace qel
