// This process's side of the store: the object directory's descriptor shared by its
// threads, its own identity as a holder (pid, start time, PID namespace), its mappings of
// named files, what fork and exit do, the sweep of stale files a few at a time, and the
// wait-any word.
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <mutex>
#include <unordered_map>
#include <vector>

#include "qelStoreParts.h"

namespace qel {
namespace store {
// Counted, so that a thread replacing a directory that another process removed never closes
// the descriptor under a thread still using it.
struct DirRef {
    int fd;
    bool shared;
    int refs;  // __atomic
};

namespace {

std::mutex g_dirLock;  // guards g_dir and g_problem
DirRef* g_dir = nullptr;
std::string g_problem;

void releaseDir(DirRef* dir) {
    if (__atomic_sub_fetch(&dir->refs, 1, __ATOMIC_ACQ_REL) == 0) {
        close(dir->fd);
        delete dir;
    }
}

pid_t g_pid = 0;  // this process's pid once asked for; 0 again in a forked child

std::mutex g_waitAnyLock;  // guards the mapping of the wait-any word; taken before g_dirLock
std::mutex g_heldLock;     // guards g_held; only g_dirLock is taken under it (by the exit)
NamedFile* g_held = nullptr;
// This process's mappings by file name (NamedFile::key): those of its open handles, and
// mutex and event mappings parked by a close for the next open of the same file.
struct Mappings {
    std::vector<NamedFile*> open;
    std::vector<NamedFile> parked;
};
std::mutex g_mapsLock;  // guards g_maps; no other lock is taken under it
// Never destroyed: handles may still be closed while the process exits.
auto* g_maps = new std::unordered_map<size_t, Mappings>;

// In the one order every nesting follows: g_waitAnyLock, g_heldLock, g_dirLock, g_mapsLock.
void lockForFork() {
    g_waitAnyLock.lock();
    g_heldLock.lock();
    g_dirLock.lock();
    g_mapsLock.lock();
}
void unlockForFork() {
    g_mapsLock.unlock();
    g_dirLock.unlock();
    g_heldLock.unlock();
    g_waitAnyLock.unlock();
}
void childAfterFork() {
    __atomic_store_n(&g_pid, 0, __ATOMIC_RELAXED);
    unlockForFork();
}
// Registered at load, while one thread runs: a child forked while another thread holds a
// lock starts with it free.
[[maybe_unused]] const int g_forkHandlers =
    pthread_atfork(lockForFork, unlockForFork, childAfterFork);

void tidyAtExit();
struct ExitTidy {
    ~ExitTidy() { tidyAtExit(); }
};

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
    if (dir_ == nullptr || fstat(dir_->fd, &st) != 0 || st.st_nlink != 0) {
        return false;
    }
    {
        SuspendSignalBlock blocked;
        std::lock_guard<std::mutex> guard(g_dirLock);
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
    std::lock_guard<std::mutex> guard(g_dirLock);
    dir_ = nullptr;
    if (g_dir == nullptr) {
        bool shared = false;
        std::string problem;
        int fd = openStoreDirectory(storeDirectory(), create_, &shared, &problem);
        g_problem = problem;
        if (fd < 0) {
            return;
        }
        static ExitTidy tidy;  // destroyed before the globals above
        g_dir = new DirRef{fd, shared, 1};
    }
    __atomic_add_fetch(&g_dir->refs, 1, __ATOMIC_ACQ_REL);
    dir_ = g_dir;
}

void rememberHold(NamedFile* file) {
    SuspendSignalBlock blocked;
    std::lock_guard<std::mutex> guard(g_heldLock);
    file->prev = nullptr;
    file->next = g_held;
    if (g_held != nullptr) {
        g_held->prev = file;
    }
    g_held = file;
}

void forgetHold(NamedFile* file) {
    SuspendSignalBlock blocked;
    std::lock_guard<std::mutex> guard(g_heldLock);
    (file->prev != nullptr ? file->prev->next : g_held) = file->next;
    if (file->next != nullptr) {
        file->next->prev = file->prev;
    }
    file->prev = file->next = nullptr;
}

void rememberMapping(NamedFile* file) {
    SuspendSignalBlock blocked;
    std::lock_guard<std::mutex> guard(g_mapsLock);
    (*g_maps)[file->key].open.push_back(file);
}

void releaseMapping(NamedFile* file) {
    SuspendSignalBlock blocked;
    std::lock_guard<std::mutex> guard(g_mapsLock);
    auto found = g_maps->find(file->key);
    if (found == g_maps->end()) {
        unmap(file);
        return;
    }
    Mappings& maps = found->second;
    bool held = false;  // another handle of this process still has the file
    for (size_t i = 0; i < maps.open.size(); ++i) {
        if (maps.open[i] == file) {
            maps.open.erase(maps.open.begin() + static_cast<ptrdiff_t>(i--));
        } else {
            held = held ||
                   (maps.open[i]->device == file->device && maps.open[i]->inode == file->inode);
        }
    }
    if (held && file->type != ObjectType::Segment && file->opener == ownPid()) {
        // Kept for the next open: no unmapping, and its pages need no faulting in again.
        maps.parked.push_back(*file);
        *file = NamedFile{};
        return;
    }
    unmap(file);
    for (size_t i = 0; !held && i < maps.parked.size(); ++i) {
        if (maps.parked[i].device == file->device && maps.parked[i].inode == file->inode) {
            unmap(&maps.parked[i]);
            maps.parked.erase(maps.parked.begin() + static_cast<ptrdiff_t>(i--));
        }
    }
    if (maps.open.empty() && maps.parked.empty()) {
        g_maps->erase(found);
    }
}

bool copyMapping(size_t key, ObjectType type, const char* name, NamedFile* out) {
    SuspendSignalBlock blocked;
    std::lock_guard<std::mutex> guard(g_mapsLock);  // no source is unmapped meanwhile
    auto found = g_maps->find(key);
    if (found == g_maps->end()) {
        return false;
    }
    Mappings& maps = found->second;
    // The newest first: an older file of the name may be one that was removed since.
    for (auto at = maps.open.rbegin(); at != maps.open.rend(); ++at) {
        NamedFile* file = *at;
        if (file->opener != ownPid() || file->type != type ||
            !headerMatches(file->map, type, name)) {
            continue;
        }
        *out = NamedFile{};
        for (size_t i = 0; i < maps.parked.size(); ++i) {
            if (maps.parked[i].device == file->device && maps.parked[i].inode == file->inode) {
                *out = maps.parked[i];
                maps.parked.erase(maps.parked.begin() + static_cast<ptrdiff_t>(i));
                break;
            }
        }
        if (out->map == nullptr) {
            void* map = mremap(file->map, 0, file->mapSize, MREMAP_MAYMOVE);
            if (map == MAP_FAILED) {
                return false;
            }
            out->map = static_cast<unsigned char*>(map);
        }
        out->mapSize = file->mapSize;
        out->type = type;
        out->opener = file->opener;
        out->device = file->device;
        out->inode = file->inode;
        out->key = key;
        maps.open.push_back(out);
        return true;
    }
    return false;
}

Self self() {
    static pid_t cachedPid = 0;
    static uint64_t cachedStart = 0;
    pid_t pid = ownPid();
    if (__atomic_load_n(&cachedPid, __ATOMIC_ACQUIRE) != pid) {
        uint64_t start = processStartTime(pid);
        __atomic_store_n(&cachedStart, start == ~uint64_t{0} ? 0 : start, __ATOMIC_RELAXED);
        __atomic_store_n(&cachedPid, pid, __ATOMIC_RELEASE);
    }
    return Self{pid, __atomic_load_n(&cachedStart, __ATOMIC_RELAXED)};
}

// Cached without a lock, as self() is: a thread suspended while it held the guard of a
// function-local static would stop every other thread that asks. Per process: a child forked
// after unshare(CLONE_NEWPID) is in another namespace.
uint64_t ownPidNamespace() {
    static pid_t cachedPid = 0;
    static uint64_t cachedId = 0;
    pid_t pid = ownPid();
    if (__atomic_load_n(&cachedPid, __ATOMIC_ACQUIRE) != pid) {
        __atomic_store_n(&cachedId, pidNamespaceId(), __ATOMIC_RELAXED);
        __atomic_store_n(&cachedPid, pid, __ATOMIC_RELEASE);
    }
    return __atomic_load_n(&cachedId, __ATOMIC_RELAXED);
}

namespace {

// ---- Stale files, the wait-any word and the exit ----

// Whether a mutex or event file nobody lives in was removed by this look. Never waits: a
// table lock that is held means a live holder at work.
bool removeIfStale(int dirFd, bool shared, const char* entry) {
    int fd = aboveStdio(openat(dirFd, entry, O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (fd < 0) {
        return false;
    }
    struct stat st;
    NamedFile file;
    bool mapped = fileTrusted(fd, shared, &st) &&
                  st.st_size == static_cast<off_t>(kNamedFileSize) &&
                  mapObject(fd, &file) == QEL_OK;
    close(fd);
    if (!mapped) {
        return false;
    }
    StoreHeader* header = headerOf(file.map);
    bool removed = false;
    if (header->magic == kStoreMagic && header->version == kStoreVersion &&
        header->pidNamespace == ownPidNamespace() &&
        (header->type == static_cast<uint32_t>(ObjectType::Mutex) ||
         header->type == static_cast<uint32_t>(ObjectType::Event))) {
        TableLock lock(file.map, 0);
        if (lock.held() && __atomic_load_n(&header->state, __ATOMIC_ACQUIRE) == kStateLive &&
            !anyLiveHolder(file.map, true)) {
            __atomic_store_n(&header->state, kStateDead, __ATOMIC_RELEASE);
            removed = unlinkIfSame(dirFd, entry, st.st_dev, st.st_ino);
        }
    }
    unmap(&file);
    return removed;
}

std::mutex g_sweepLock;  // guards the cursor
DIR* g_sweep = nullptr;
ino_t g_sweepInode = 0;

// How long an exit waits, in all, for busy table locks of the files it gives up.
constexpr long kExitLockBoundMs = 200;

int g_waitAnyFd = -1;  // see mapWaitAnyWord
void* g_waitAnyWord = nullptr;

// At exit: gives up the wait-any word (removing it when no other process holds it), sweeps
// a few stale files, and removes the default directory when that leaves it empty. Never
// blocks for long: a forked child may have inherited a lock held.
void tidyAtExit() {
    if (g_waitAnyWord != nullptr) {
        // Swapped for private memory rather than unmapped: a thread still running may touch it.
        mmap(g_waitAnyWord, kNamedFileSize, PROT_READ | PROT_WRITE,
             MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
        close(g_waitAnyFd);
        g_waitAnyWord = nullptr;
    }
    {
        // This process's holds end with it: a file whose last live holder it was goes now,
        // not when someone happens to open its name again. Only the holds it made itself (a
        // forked child's list is its parent's). The list stays locked throughout: a thread
        // closing one of these handles meanwhile would unmap the file under this walk, so it
        // waits at its first step instead.
        std::unique_lock<std::mutex> held(g_heldLock, std::try_to_lock);
        // A table lock is held only for a moment (by an opener, a closer or another
        // process's sweep), so each busy one is waited for, within one bound for them all:
        // a stopped holder delays the exit, it does not hang it.
        const Deadline bound = deadlineAfter(kExitLockBoundMs);
        for (NamedFile* file = held.owns_lock() ? g_held : nullptr; file != nullptr;
             file = file->next) {
            if (file->opener == ownPid()) {
                leaveTable(file, true, millisecondsLeft(bound));
            }
        }
    }
    std::unique_lock<std::mutex> guard(g_dirLock, std::try_to_lock);
    if (!guard.owns_lock() || g_dir == nullptr) {
        return;
    }
    guard.unlock();
    DirUse dir(false);
    if (!dir.ok()) {
        return;
    }
    // A fresh open: the lock of an inherited descriptor may be the parent's.
    int fd = openat(dir.fd(), kWaitAnyFile, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    struct stat st;
    if (fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0 && fstat(fd, &st) == 0) {
        unlinkIfSame(dir.fd(), kWaitAnyFile, st.st_dev, st.st_ino);
    }
    if (fd >= 0) {
        close(fd);
    }
    sweepStale(64);
    StoreDirectory where = storeDirectory();
    int parent = where.configured ? -1 : openDirectoryPath(where.parent);
    if (parent >= 0) {
        unlinkat(parent, where.leaf.c_str(), AT_REMOVEDIR);  // fails unless empty
        close(parent);
    }
}

}  // namespace
}  // namespace store

using namespace store;

size_t sweepStale(size_t limit) {
    std::unique_lock<std::mutex> guard(g_sweepLock, std::try_to_lock);
    DirUse dir(false);
    struct stat st;
    if (!guard.owns_lock() || !dir.ok() || fstat(dir.fd(), &st) != 0) {
        return 0;
    }
    if (g_sweep != nullptr && g_sweepInode != st.st_ino) {
        closedir(g_sweep);
        g_sweep = nullptr;
    }
    if (g_sweep == nullptr) {
        int fd = aboveStdio(openat(dir.fd(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        g_sweep = fd >= 0 ? fdopendir(fd) : nullptr;
        g_sweepInode = st.st_ino;
        if (g_sweep == nullptr) {
            if (fd >= 0) {
                close(fd);
            }
            return 0;
        }
    }
    size_t seen = 0;
    for (; seen < limit; ++seen) {
        dirent* entry = readdir(g_sweep);
        if (entry == nullptr) {
            rewinddir(g_sweep);
            break;
        }
        const char* name = entry->d_name;
        if ((name[0] == 'm' || name[0] == 'e') && (name[1] == '.' || name[1] == '#')) {
            removeIfStale(dir.fd(), dir.shared(), name);
        }
    }
    return seen;
}

uint32_t* mapWaitAnyWord() {
    SuspendSignalBlock blocked;
    std::lock_guard<std::mutex> guard(g_waitAnyLock);
    if (g_waitAnyWord != nullptr) {
        return static_cast<uint32_t*>(g_waitAnyWord);
    }
    for (int attempt = 0; attempt < 1000; ++attempt) {  // a remover holds it for a moment
        DirUse dir(true);
        if (!dir.ok()) {
            return nullptr;
        }
        int fd = aboveStdio(
            openat(dir.fd(), kWaitAnyFile, O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        if (fd < 0 && errno == ENOENT) {
            QEL_STATUS status;
            fd = makeUnnamed(dir, kNamedFileSize, &status);
            if (fd >= 0 && !linkName(fd, dir.fd(), kWaitAnyFile)) {
                close(fd);
                fd = -1;
                if (errno == EEXIST || dir.renewed()) {
                    continue;
                }
            }
        }
        struct stat st, named;
        if (fd < 0 || !fileTrusted(fd, dir.shared(), &st) ||
            st.st_size != static_cast<off_t>(kNamedFileSize)) {
            if (fd >= 0) {
                close(fd);
            }
            return nullptr;
        }
        // Every process that maps the word holds a shared lock on it; the one that removes it
        // takes it exclusively first. Held, it must still be the file of that name.
        if (flock(fd, LOCK_SH | LOCK_NB) != 0 ||
            fstatat(dir.fd(), kWaitAnyFile, &named, AT_SYMLINK_NOFOLLOW) != 0 ||
            named.st_ino != st.st_ino || named.st_dev != st.st_dev) {
            close(fd);
            usleep(1000);
            continue;
        }
        void* map = mmap(nullptr, kNamedFileSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (map == MAP_FAILED) {
            close(fd);
            return nullptr;
        }
        g_waitAnyFd = fd;
        g_waitAnyWord = map;
        return static_cast<uint32_t*>(map);
    }
    return nullptr;
}

std::string storeProblem() {
    std::lock_guard<std::mutex> guard(g_dirLock);
    return g_problem;
}

pid_t ownPid() {
    pid_t pid = __atomic_load_n(&g_pid, __ATOMIC_RELAXED);
    if (pid == 0) {
        pid = getpid();
        __atomic_store_n(&g_pid, pid, __ATOMIC_RELAXED);
    }
    return pid;
}

}  // namespace qel
