// The object directory's descriptor, opened once and shared by the process's threads, and
// why the directory cannot be used when it cannot.
#include <sys/stat.h>
#include <unistd.h>

#include "qelStoreParts.h"
#include "qelSys.h"

namespace qel {
namespace store {

// Counted, so that a thread replacing a directory that another process removed never closes
// the descriptor under a thread still using it.
struct DirRef {
    int fd;
    bool shared;
    int refs;  // __atomic
};

Mutex g_dirLock;

namespace {

DirRef* g_dir QEL_GUARDED_BY(g_dirLock) = nullptr;
std::string g_problem QEL_GUARDED_BY(g_dirLock);
bool g_used QEL_GUARDED_BY(g_dirLock) = false;

void releaseDir(DirRef* dir) {
    if (__atomic_sub_fetch(&dir->refs, 1, __ATOMIC_ACQ_REL) == 0) {
        sys::close(dir->fd);
        delete dir;
    }
}

}  // namespace

DirUse::DirUse(bool create) : create_(create) {
    acquire();
}

DirUse::~DirUse() {
    if (dir_ != nullptr) {
        releaseDir(dir_);
    }
}

int DirUse::fd() const {
    return dir_->fd;
}

bool DirUse::shared() const {
    return dir_->shared;
}

bool DirUse::renewed() {
    struct stat st;
    if (dir_ == nullptr || sys::fstat(dir_->fd, &st) != 0 || st.st_nlink != 0) {
        return false;
    }
    {
        SuspendSignalBlock blocked;
        MutexLock guard(g_dirLock);
        if (g_dir == dir_) {
            g_dir = nullptr;
            releaseDir(dir_);
        }
    }
    releaseDir(dir_);
    acquire();
    return dir_ != nullptr;
}

void DirUse::acquire() {
    SuspendSignalBlock blocked;
    MutexLock guard(g_dirLock);
    dir_ = nullptr;
    if (g_dir == nullptr) {
        bool shared = false;
        std::string problem;
        int fd = openStoreDirectory(storeDirectory(), create_, &shared, &problem);
        g_problem = problem;
        if (fd < 0) {
            return;
        }
        g_used = true;
        armExitTidy();
        g_dir = new DirRef{fd, shared, 1};
    }
    __atomic_add_fetch(&g_dir->refs, 1, __ATOMIC_ACQ_REL);
    dir_ = g_dir;
}

bool directoryUsed() {
    MutexLock guard(g_dirLock);
    return g_used;
}

void lockDirForFork() {
    g_dirLock.Lock();
}

void unlockDirForFork() {
    g_dirLock.Unlock();
}

}  // namespace store

std::string storeProblem() {
    MutexLock guard(store::g_dirLock);
    return store::g_problem;
}

}  // namespace qel
