// The named-object store's protocol: how a mutex, event or segment file is made, found,
// held and removed. Each name stands alone: nothing locks the directory, nothing waits for
// another name's work, nothing scans the directory on the way.
//
// Publish. A new object is built complete in an unnamed file (O_TMPFILE): sized with
//   posix_fallocate, header written, object initialised, the creator entered as its first
//   holder (a segment's count set to 1), state Live. One linkat() then gives it its name,
//   and fails with EEXIST when the name is taken: the loser opens the winner's file. Nobody
//   ever sees a half-built object, and a creator killed on the way leaves nothing.
// Open. openat(O_NOFOLLOW|O_NONBLOCK) relative to the object directory's descriptor, then
//   fstat: a regular, singly linked file of ours (see fileTrusted), of the right size and
//   header, else QEL_E_CORRUPT. The file is mapped and its descriptor closed at once:
//   holding an object costs memory, not a descriptor. A process that already maps the
//   file (through a handle it opened itself) starts from that mapping instead (see
//   copyMapping), checked as a fresh one would be.
// Hold. Each file lists its holders in its holder table (qelHolders.cpp): one entry per
//   process, naming its slot in the registry of live processes (qelRegistry.cpp), with its
//   number of handles; a segment's handles are its connections, and its count is their sum.
//   The table changes under the file's own robust table lock. The first handle of a process
//   enters it, its last handle leaves.
// Dead holders. Whether a holder lives is asked of the kernel, through the registry. Every
//   open and close looks at the holders from where the last look stopped until it finds a
//   live one (and one more), taking back the dead ones it meets (a segment's count loses
//   their connections). An opener that finds no live holder reinitialises a mutex or event,
//   or takes it (and a segment) for absent; a closer that finds none removes the object.
//   Files nobody opens again are swept a few at a time (qelStoreSweep.cpp).
// Remove. The holder that leaves no live holder behind marks the file Dead and unlinks the
//   name (only if the name still leads to this file), all under the table lock. An opener
//   that finds a Dead file starts again from the name, which is gone or leads to a newer
//   file: losing a race with a removal is a retry, never a failure.
// PID namespaces. A robust mutex knows its owner by thread id, which means nothing in
//   another PID namespace: the creator's namespace is in the header, and an open of a mutex
//   or event from another one is refused with QEL_E_NAMESPACE.
// Fork and exit: qelStoreLife.cpp.
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "qelStoreParts.h"
#include "qelSys.h"
#include "qelTesting.h"

namespace qel {

thread_local char t_reason[512];  // see qelFailureReason

namespace store {

void setReason(const std::string& text) {
    snprintf(t_reason, sizeof t_reason, "%s", text.c_str());
}

QEL_STATUS statusOf(int error) {
    switch (error) {
        case ENOENT:
            return QEL_E_NOT_FOUND;
        case EEXIST:
            return QEL_E_EXISTS;
        case EACCES:
        case EPERM:
            return QEL_E_ACCESS;
        case ENOMEM:
            return QEL_E_NO_MEMORY;
        case ELOOP:  // a link
        case EISDIR:
        case ENXIO:  // a socket
        case EMLINK:
            return QEL_E_CORRUPT;
        default:
            return QEL_E_RESOURCES;
    }
}

namespace {

unsigned g_published = 0;  // objects this process made; __atomic

// A file that another process removed or was removing: start again from the name.
constexpr QEL_STATUS kRetry = 1;

void initTableLock(unsigned char* map) {
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
    pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
    pthread_mutex_init(reinterpret_cast<pthread_mutex_t*>(map + kTableLockOffset), &attr);
    pthread_mutexattr_destroy(&attr);
}

// Removes the file's name; false when the name still leads to the file afterwards.
bool removeName(ObjectType type, unsigned char* map, dev_t device, ino_t inode) {
    DirUse dir(false);
    if (!dir.ok()) {
        return true;  // no directory: no name
    }
    const std::string name = fileNameOf(type, map);
    struct stat st;
    return unlinkIfSame(dir.fd(), name, device, inode) ||
           sys::fstatat(dir.fd(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
           st.st_dev != device || st.st_ino != inode;
}

void writeHeader(unsigned char* map, ObjectType type, const char* name, size_t segmentSize) {
    StoreHeader* header = headerOf(map);
    header->magic = kStoreMagic;
    header->version = kStoreVersion;
    header->type = static_cast<uint32_t>(type);
    hashName(name, header->hash);
    header->nameLength = strlen(name);
    header->segmentSize = segmentSize;
    header->pidNamespace = ownPidNamespace();
    header->dataOffset = type == ObjectType::Segment ? segmentOffset(segmentSize) : 0;
    header->tableOffset = kPageSize + (type == ObjectType::Segment ? segmentPages(segmentSize) : 0);
    header->holderCapacity = kInlineHolders;
    if (header->nameLength < kNameCapacity) {
        memcpy(map + kNameOffset, name, header->nameLength + 1);
    }
}

// Publish (see the top of the file). QEL_E_EXISTS when another file has the name.
QEL_STATUS publish(DirUse& dir, const std::string& fileName, ObjectType type, const char* name,
                   ObjectInit init, size_t segmentSize, const registry::Identity& me,
                   NamedFile* out) {
    const bool segment = type == ObjectType::Segment;
    const size_t fileSize = kPageSize + (segment ? segmentPages(segmentSize) : 0);
    QEL_STATUS status = QEL_OK;
    int fd = makeUnnamed(dir, fileSize, &status);
    if (fd < 0) {
        return status;
    }
    NamedFile file;
    struct stat st;
    status = segment ? mapSegment(fd, segmentSize, &file) : mapObject(fd, fileSize, &file);
    if (status == QEL_OK && sys::fstat(fd, &st) != 0) {
        status = statusOf(errno);
    }
    if (status == QEL_OK) {
        file.type = type;
        file.device = st.st_dev;
        file.inode = st.st_ino;
        writeHeader(file.map, type, name, segmentSize);
        initTableLock(file.map);
        if (init != nullptr) {
            init(file.map + kObjectOffset);
        }
        file.connection = segment;
        HolderTable(file.map, file.covered, file.device, file.inode).add(me, 1, segment ? 1 : 0);
        __atomic_store_n(&headerOf(file.map)->state, kStateLive, __ATOMIC_RELEASE);
        if (!linkName(fd, dir.fd(), fileName.c_str())) {
            status = statusOf(errno);
        }
    }
    sys::close(fd);
    if (status != QEL_OK) {
        unmap(&file);
        return status;
    }
    *out = file;
    return QEL_OK;
}

// This process's first hold of a file just mapped, or one more (only then, mayHold, has the
// process an entry to look for); kRetry when the file was removed meanwhile.
QEL_STATUS join(NamedFile* file, OpenMode mode, const registry::Identity& me, bool mayHold,
                long timeoutMs) {
    TableLock lock(file->map, timeoutMs);
    StoreHeader* header = headerOf(file->map);
    if (!lock.held()) {
        return lock.timedOut() ? QEL_E_TIMEOUT : QEL_E_CORRUPT;
    }
    const uint32_t state = __atomic_load_n(&header->state, __ATOMIC_ACQUIRE);
    if (state == kStateDead) {
        // Its remover unlinks it before letting go of the lock, unless it died in between.
        return removeName(file->type, file->map, file->device, file->inode) ? kRetry : QEL_E_ACCESS;
    }
    HolderTable table(file->map, file->covered, file->device, file->inode);
    if (state != kStateLive || !table.valid()) {
        return QEL_E_CORRUPT;
    }
    if (file->type != ObjectType::Segment && header->pidNamespace != 0 && ownPidNamespace() != 0 &&
        header->pidNamespace != ownPidNamespace()) {
        return QEL_E_NAMESPACE;  // also for a copy of a mapping inherited across fork
    }
    // Every open of a segment is one connection more.
    file->connection = file->type == ObjectType::Segment;
    const uint32_t connections = file->connection ? 1 : 0;
    // Looked for only where it may be: a scan of a long table touches every page of it.
    int mine = mayHold ? table.find(me, file->entryHint) : -1;
    // Dead holders met on the way are taken back (a segment's count loses their connections).
    // An entry of this process counts as live, even one that another thread has just made
    // and not yet remembered: a mutex that a thread of this process holds is never made anew.
    const bool live = table.anyLive(me, true);
    mine = mine >= 0 ? table.find(me, file->entryHint) : -1;  // taking back moves entries
    if (mine >= 0) {
        table.change(static_cast<uint32_t>(mine), 1, static_cast<int>(connections));
    } else {
        if (!live) {
            // Every holder died without closing: the object is gone; this file is its remains.
            // Its name goes and a new object takes it: memory that a process which lost its
            // hold may still use (a robust mutex on one of its threads' lists) is never made
            // anew under it.
            removeObject(file);
            return mode == OpenMode::OpenExisting ? QEL_E_NOT_FOUND : kRetry;
        }
        mine = table.add(me, 1, connections);
        if (mine < 0) {
            setReason(storeDirectory().path + "/" + fileNameOf(file->type, file->map) +
                      " cannot list one more holder: the file system is full");
            return QEL_E_RESOURCES;
        }
    }
    // Another thread may read it (copying this mapping): a hint, so only atomic.
    __atomic_store_n(&file->entryHint, static_cast<uint32_t>(mine), __ATOMIC_RELAXED);
    return QEL_OK;
}

// Opens the file of an existing object; QEL_E_NOT_FOUND when there is none, kRetry when it
// was being removed.
QEL_STATUS openExisting(DirUse& dir, const std::string& fileName, size_t key, ObjectType type,
                        const char* name, OpenMode mode, const registry::Identity& me,
                        long timeoutMs, NamedFile* out) {
    int fd = aboveStdio(
        sys::openat(dir.fd(), fileName.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (fd < 0) {
        return statusOf(errno);
    }
    NamedFile file;
    struct stat st;
    StoreHeader header;
    QEL_STATUS status = QEL_E_CORRUPT;
    st.st_nlink = 1;
    if (!fileTrusted(fd, dir.shared(), &st)) {
        // No link left: removed since the openat, so the name is free or newer.
        status = st.st_nlink == 0 ? kRetry : QEL_E_CORRUPT;
    } else if (!readHeader(fd, type, &header, st.st_size)) {
        status = QEL_E_CORRUPT;
    } else if (type == ObjectType::Segment) {
        status = mapSegment(fd, header.segmentSize, &file);
    } else {
        status = mapObject(fd, static_cast<size_t>(st.st_size), &file);
    }
    sys::close(fd);
    if (status != QEL_OK) {
        return status;
    }
    file.type = type;
    file.device = st.st_dev;
    file.inode = st.st_ino;
    status = headerMatches(file.map, type, name)
                 ? join(&file, mode, me, holdsFile(key, file.device, file.inode), timeoutMs)
                 : QEL_E_CORRUPT;
    if (status != QEL_OK) {
        unmap(&file);
        return status;
    }
    *out = file;
    return QEL_OK;
}

// Whether whatever holds the name fileName is an object file of type this user can trust,
// as an open would find it (or nothing at all).
bool trustedEntry(DirUse& dir, const std::string& fileName, ObjectType type) {
    int fd =
        sys::openat(dir.fd(), fileName.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return errno == ENOENT;
    }
    struct stat st;
    StoreHeader header;
    bool trusted = fileTrusted(fd, dir.shared(), &st) && readHeader(fd, type, &header, st.st_size);
    sys::close(fd);
    return trusted;
}

// Opens by copying this process's own mapping of the file (see copyMapping), which holds
// it as a fresh open would. QEL_E_NOT_FOUND: no such mapping, or its file was removed since;
// open afresh.
QEL_STATUS openCopy(size_t key, ObjectType type, const char* name, OpenMode mode,
                    const registry::Identity& me, long timeoutMs, NamedFile* out) {
    if (!copyMapping(key, type, name, out)) {
        return QEL_E_NOT_FOUND;
    }
    QEL_STATUS status = join(out, mode, me, true, timeoutMs);
    if (status != QEL_OK) {
        releaseMapping(out);
    }
    return status == kRetry ? QEL_E_NOT_FOUND : status;
}

}  // namespace

bool publishedAny() {
    return __atomic_load_n(&g_published, __ATOMIC_RELAXED) != 0;
}

std::string fileNameOf(ObjectType type, unsigned char* map) {
    const StoreHeader* header = headerOf(map);
    if (header->nameLength < kNameCapacity) {
        std::string name(reinterpret_cast<const char*>(map + kNameOffset),
                         static_cast<size_t>(header->nameLength));
        return encodeName(type, name.c_str());
    }
    return hashedName(type, header->hash);
}

bool unlinkIfSame(int dirFd, const std::string& name, dev_t device, ino_t inode) {
    struct stat st;
    return sys::fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
           st.st_dev == device && st.st_ino == inode && sys::unlinkat(dirFd, name.c_str(), 0) == 0;
}

void removeObject(NamedFile* file) {
    StoreHeader* header = headerOf(file->map);
    __atomic_store_n(&header->state, kStateDead, __ATOMIC_RELEASE);
    removeName(file->type, file->map, file->device, file->inode);
    if (file->type == ObjectType::Segment && header->nameLength < kNameCapacity) {
        const std::string name(reinterpret_cast<const char*>(file->map + kNameOffset),
                               static_cast<size_t>(header->nameLength));
        removeKeyFile(name.c_str());
    }
}

void unmap(NamedFile* file) {
    if (file->map != nullptr) {
        sys::munmap(file->map, file->mapSize);
    }
    *file = NamedFile{};
}

QEL_STATUS mapObject(int fd, size_t size, NamedFile* file) {
    void* map = sys::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (map == MAP_FAILED) {
        return QEL_E_NO_MEMORY;
    }
    file->map = static_cast<unsigned char*>(map);
    file->mapSize = size;
    file->covered = size;
    return QEL_OK;
}

QEL_STATUS mapSegment(int fd, uint64_t segmentSize, NamedFile* file) {
    // The header page and the data, then one inaccessible page: reserved first, so that the
    // page after the data is ours and nothing else can be mapped there.
    const size_t covered = kPageSize + segmentPages(segmentSize);
    void* reserved = sys::mmap(nullptr, covered + kPageSize, PROT_NONE,
                               MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (reserved == MAP_FAILED) {
        return QEL_E_NO_MEMORY;
    }
    void* map = sys::mmap(reserved, covered, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_FIXED, fd, 0);
    if (map == MAP_FAILED) {
        sys::munmap(reserved, covered + kPageSize);
        return QEL_E_NO_MEMORY;
    }
    file->map = static_cast<unsigned char*>(map);
    file->mapSize = covered + kPageSize;
    file->covered = covered;
    return QEL_OK;
}

bool linkName(int fd, int dirFd, const char* name) {
    char path[64];
    snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
    if (sys::linkat(AT_FDCWD, path, dirFd, name, AT_SYMLINK_FOLLOW) == 0) {
        return true;
    }
    if (errno != ENOENT) {
        return false;
    }
    // No /proc: the direct way, which needs CAP_DAC_READ_SEARCH.
    return sys::linkat(fd, "", dirFd, name, AT_EMPTY_PATH) == 0;
}

int makeUnnamed(DirUse& dir, size_t size, QEL_STATUS* status) {
    const mode_t mode = dir.shared() ? 0660 : 0600;
    int fd = aboveStdio(sys::openat(dir.fd(), ".", O_TMPFILE | O_RDWR | O_CLOEXEC, mode));
    if (fd < 0) {
        *status = statusOf(errno);
        return -1;
    }
    // The umask only narrows. Past the file-size limit the kernel would end the process with
    // SIGXFSZ: a refusal instead.
    struct rlimit limit;
    int rc = sys::fchmod(fd, mode) != 0 ? errno : 0;
    if (rc == 0 && getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
        size > limit.rlim_cur) {
        rc = EFBIG;
    }
    // posix_fallocate, not ftruncate: a full tmpfs must fail here, not as SIGBUS later.
    rc = rc != 0 ? rc : sys::posix_fallocate(fd, 0, static_cast<off_t>(size));
    if (rc != 0) {
        sys::close(fd);
        *status = rc == ENOSPC || rc == EFBIG ? QEL_E_RESOURCES : statusOf(rc);
        return -1;
    }
    return fd;
}

}  // namespace store

using namespace store;

// The store's calls defer the suspend signal as a whole: a thread stopped anywhere inside one,
// in an allocation as much as under one of the store's locks, would stop every thread of the
// process that then needs the allocator or that lock. The waits inside (a table lock held by
// another process) defer it anyway.
QEL_STATUS openNamed(ObjectType type, const char* name, OpenMode mode, ObjectInit init,
                     size_t segmentSize, NamedFile* out, long timeoutMs) {
    if (name == nullptr || out == nullptr) {
        return QEL_E_INVALID;
    }
    SuspendSignalBlock blocked;
    const std::string fileName = encodeName(type, name);
    const size_t key = std::hash<std::string>()(fileName);
    t_reason[0] = '\0';
    DirUse dir(mode != OpenMode::OpenExisting);
    if (!dir.ok()) {
        setReason(storeProblem());
        return mode == OpenMode::OpenExisting && t_reason[0] == '\0' ? QEL_E_NOT_FOUND
                                                                     : QEL_E_ACCESS;
    }
    registry::Identity me, replaced;
    if (!registry::self(&me, &replaced)) {
        if (t_reason[0] == '\0') {
            setReason(storeDirectory().path + "/" + kRegistryFile +
                      " cannot be opened or made: " + strerror(errno));
        }
        return QEL_E_RESOURCES;
    }
    if (replaced.generation != 0) {
        // Its descriptor was closed under it: the holds it made move to the new slot,
        // before the old one is taken for dead.
        lockHolds();
        enterHolds(me, QEL_INFINITE, false, &replaced);
        unlockHolds();
    }
    // Each pass that starts again follows another process's completed creation or removal
    // of the name, or a directory removed under us: none can recur for ever.
    bool tried = false;  // a copy is tried once, before any fresh open
    for (;;) {
        QEL_STATUS status = QEL_E_NOT_FOUND;
        bool copied = false;
        if (mode != OpenMode::CreateExclusive) {
            if (!tried) {
                tried = true;
                status = openCopy(key, type, name, mode, me, timeoutMs, out);
                copied = status == QEL_OK;
            }
            if (status == QEL_E_NOT_FOUND) {
                status = openExisting(dir, fileName, key, type, name, mode, me, timeoutMs, out);
            }
        }
        if (status == QEL_E_NOT_FOUND && mode != OpenMode::OpenExisting) {
            status = publish(dir, fileName, type, name, init, segmentSize, me, out);
            if (status == QEL_OK &&
                __atomic_add_fetch(&g_published, 1, __ATOMIC_RELAXED) % 32 == 0) {
                sweepStale(4);  // stale files nobody opens again go a few at a time
            }
            if (status == QEL_E_EXISTS && mode == OpenMode::CreateOrOpen) {
                continue;  // another process published first: open its object
            }
        }
        if (status == QEL_E_NOT_FOUND && dir.renewed()) {
            continue;  // the directory was removed under us: try the current one
        }
        if (status == kRetry) {
            continue;
        }
        if (status == QEL_OK) {
            // A copy is listed already, where other threads read it: it has these.
            if (!copied) {
                out->opener = ownPid();
                out->mappedBy = ownPid();
                out->key = key;
                rememberMapping(out);
            }
            rememberHold(out);
        } else if (status == QEL_E_NAMESPACE) {
            setReason(storeDirectory().path + "/" + fileName +
                      " was made in another PID namespace; processes that share a named mutex "
                      "or event must run in one PID namespace");
        } else if (status == QEL_E_ACCESS) {
            setReason(accessProblem(dir.fd(), storeDirectory().path, fileName));
        } else if (status == QEL_E_CORRUPT ||
                   (status == QEL_E_EXISTS && !trustedEntry(dir, fileName, type))) {
            setReason(storeDirectory().path + "/" + fileName +
                      " is not an object file this user can trust (a link, a special file, "
                      "another owner or mode, or a damaged header); zoltov shm repair removes "
                      "a link or special file, its owner anything else");
        }
        return status;
    }
}

bool store::leaveTable(NamedFile* file, long timeoutMs) {
    TableLock lock(file->map, timeoutMs);
    registry::Identity me;
    if (!lock.held() || !registry::current(&me) ||
        __atomic_load_n(&headerOf(file->map)->state, __ATOMIC_ACQUIRE) != kStateLive) {
        return false;
    }
    HolderTable table(file->map, file->covered, file->device, file->inode);
    if (!table.valid()) {
        return false;
    }
    const int mine = table.find(me, file->entryHint);
    if (mine >= 0) {
        table.change(static_cast<uint32_t>(mine), -1, file->connection ? -1 : 0);
    }
    if (table.anyLive(me, true)) {
        return false;
    }
    removeObject(file);
    return true;
}

void closeNamed(NamedFile* file) {
    SuspendSignalBlock blocked;
    if (file->opener == ownPid()) {
        forgetHold(file);
        leaveTable(file, QEL_INFINITE);
    }
    releaseMapping(file);
}

QEL_STATUS destroyNamed(NamedFile* file) {
    SuspendSignalBlock blocked;
    QEL_STATUS status = QEL_E_NOT_OWNER;
    if (file->opener == ownPid() && !file->connection) {
        // A forked child's copy of its parent's connection: it never frees a segment that
        // another live process still holds.
        forgetHold(file);
        status = leaveTable(file, QEL_INFINITE) ? QEL_OK : QEL_E_NOT_OWNER;
    } else if (file->opener == ownPid()) {
        forgetHold(file);
        TableLock lock(file->map, QEL_INFINITE);
        status = QEL_E_NOT_FOUND;
        if (lock.held() &&
            __atomic_load_n(&headerOf(file->map)->state, __ATOMIC_ACQUIRE) == kStateLive) {
            removeObject(file);
            DirUse dir(false);
            struct stat st;
            const std::string name = fileNameOf(file->type, file->map);
            // Gone, or (an unlink refused) dead: its next opener removes the name.
            status = !dir.ok() ||
                             sys::fstatat(dir.fd(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
                             st.st_ino != file->inode
                         ? QEL_OK
                         : QEL_E_RESOURCES;
        }
    }
    releaseMapping(file);
    return status;
}

QEL_STATUS countConnections(NamedFile* file, unsigned int* connections) {
    SuspendSignalBlock blocked;
    TableLock lock(file->map, QEL_INFINITE);
    registry::Identity me{};
    registry::current(&me);
    HolderTable table(file->map, file->covered, file->device, file->inode);
    if (lock.held() && table.valid()) {
        table.anyLive(me, false);
    }
    uint32_t* count = table.segmentCount();
    *connections = (count != nullptr ? __atomic_load_n(count, __ATOMIC_RELAXED) : 0) +
                   (file->connection ? 0 : 1);
    return QEL_OK;
}

}  // namespace qel

const char* qelFailureReason(void) {
    return qel::t_reason;
}

const char* qelTestObjectDirectory(void) {
    static const std::string path = qel::storeDirectory().path;
    return path.c_str();
}
