// The named-object store's protocol: how a mutex, event or segment file is made, found,
// held and removed. Each name stands alone: nothing locks the directory, nothing waits for
// another name's work, nothing scans the directory on the way.
//
// Publish. A new object is built complete in an unnamed file (O_TMPFILE): sized with
//   posix_fallocate, header written, object initialised, the creator entered as its first
//   holder, state Live. One linkat() then gives it its name, and fails with EEXIST when
//   the name is taken: the loser opens the winner's file. Nobody ever sees a half-built
//   object, and a creator killed on the way leaves nothing.
// Open. openat(O_NOFOLLOW|O_NONBLOCK) relative to the object directory's descriptor, then
//   fstat: a regular, singly linked file of ours (see fileTrusted), of the right size and
//   header, else QEL_E_CORRUPT. The file is mapped and its descriptor closed at once:
//   holding an object costs memory, not a descriptor. A process that already maps the
//   file (through a handle it opened itself) starts from that mapping instead (see
//   copyMapping), checked as a fresh one would be: a mutex or event joins its table, a
//   segment's name must still lead to the same file.
// Hold. Each mutex or event file lists its holders: one slot per process (pid, the
//   process's start time, its number of handles), changed under the file's own robust
//   table lock. The first handle of a process enters it, its last handle leaves.
// Remove. The handle that leaves the table with no live holder in it marks the file Dead
//   and unlinks the name (only if the name still leads to this file), all under the table
//   lock. An opener that finds a Dead file starts again from the name, which is gone or
//   leads to a newer file: losing a race with a removal is a retry, never a failure.
// Dead holders. A holder is alive when /proc shows its pid with the same start time (a
//   zombie is dead; a /proc of another PID namespace tells nothing, and its holders count
//   as alive). An opener that finds no live holder reinitialises the object (or, only
//   opening, removes it: QEL_E_NOT_FOUND); stale files nobody opens again are swept a few
//   at a time (sweepStale) and by `zoltov shm repair`.
// PID namespaces. A robust mutex knows its owner by thread id, which means nothing in
//   another PID namespace: the creator's namespace is in the header, and an open from
//   another one is refused with QEL_E_NAMESPACE.
// Segments. Published the same way; no holders (a segment lives until deallocated). Mapped
//   one page longer than the file: that page lies past the file's end, where any access
//   faults, so an overrun faults in the process that made it and reaches nothing else.
// Fork. A child inherits its parent's mappings but none of its holds: closing an inherited
//   handle only unmaps it (see qelShMem.cpp for segments).
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <mutex>

#include "qelStoreParts.h"
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

void initTableLock(unsigned char* map) {
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
    pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
    pthread_mutex_init(reinterpret_cast<pthread_mutex_t*>(map + kTableLockOffset), &attr);
    pthread_mutexattr_destroy(&attr);
}

// Whether a holder is alive (this process's own slot counts only with counted); the dead
// ones found on the way are cleared. Under the table lock.
bool anyLiveHolder(unsigned char* map, bool counted) {
    const Self me = self();
    HolderSlot* slots = slotsOf(map);
    for (size_t i = 0; i < kHolderSlots; ++i) {
        pid_t pid = static_cast<pid_t>(slots[i].pid);
        if (pid == me.pid && slots[i].startTime == me.startTime) {
            if (counted) {
                return true;
            }
            continue;
        }
        if (pid == 0) {
            continue;
        }
        if (holderAlive(slots[i])) {
            return true;
        }
        slots[i] = HolderSlot{0, 0, 0};
    }
    return false;
}

// The file name from a mapped header (kept name, or the hash of a long one).
std::string fileNameOf(ObjectType type, unsigned char* map) {
    const StoreHeader* header = headerOf(map);
    if (header->nameLength < kNameCapacity) {
        std::string name(reinterpret_cast<const char*>(map + kNameOffset),
                         static_cast<size_t>(header->nameLength));
        return encodeName(type, name.c_str());
    }
    return hashedName(type, header->hash);
}

// Removes name from the directory when it still leads to the file (device, inode).
bool unlinkIfSame(int dirFd, const std::string& name, dev_t device, ino_t inode) {
    struct stat st;
    return fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && st.st_dev == device &&
           st.st_ino == inode && unlinkat(dirFd, name.c_str(), 0) == 0;
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
           fstatat(dir.fd(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || st.st_dev != device ||
           st.st_ino != inode;
}

void unmap(NamedFile* file) {
    if (file->map != nullptr) {
        munmap(file->map, file->mapSize);
    }
    *file = NamedFile{};
}

// Maps size bytes of fd shared, read and write, into file.
static QEL_STATUS mapShared(int fd, size_t size, NamedFile* file) {
    void* map = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (map == MAP_FAILED) {
        return QEL_E_NO_MEMORY;
    }
    file->map = static_cast<unsigned char*>(map);
    file->mapSize = size;
    return QEL_OK;
}

// Maps a segment file of fileSize bytes whole, and one page more: that page lies beyond the
// file's end, where any access faults, so an overrun of the data stops in the process that
// made it and nothing else can be mapped there.
QEL_STATUS mapSegment(int fd, size_t fileSize, NamedFile* file) {
    const size_t reserve =
        (fileSize + kNamedFileSize - 1) / kNamedFileSize * kNamedFileSize + kNamedFileSize;
    return mapShared(fd, reserve, file);
}

QEL_STATUS mapObject(int fd, NamedFile* file) {
    return mapShared(fd, kNamedFileSize, file);
}

// Gives the unnamed file fd the name in the directory; errno EEXIST when it is taken.
bool linkName(int fd, int dirFd, const char* name) {
    char path[64];
    snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
    if (linkat(AT_FDCWD, path, dirFd, name, AT_SYMLINK_FOLLOW) == 0) {
        return true;
    }
    if (errno != ENOENT) {
        return false;
    }
    // No /proc: the direct way, which needs CAP_DAC_READ_SEARCH.
    return linkat(fd, "", dirFd, name, AT_EMPTY_PATH) == 0;
}

// Makes an unnamed, sized file of the directory's mode; -1 with a status in *status.
int makeUnnamed(DirUse& dir, size_t size, QEL_STATUS* status) {
    const mode_t mode = dir.shared() ? 0660 : 0600;
    int fd = aboveStdio(openat(dir.fd(), ".", O_TMPFILE | O_RDWR | O_CLOEXEC, mode));
    if (fd < 0) {
        *status = statusOf(errno);
        return -1;
    }
    fchmod(fd, mode);  // the umask only narrows
    // Past the file-size limit the kernel would end the process with SIGXFSZ: a refusal.
    struct rlimit limit;
    if (getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
        size > limit.rlim_cur) {
        close(fd);
        *status = QEL_E_RESOURCES;
        return -1;
    }
    // posix_fallocate, not ftruncate: a full tmpfs must fail here, not as SIGBUS later.
    int rc = posix_fallocate(fd, 0, static_cast<off_t>(size));
    if (rc != 0) {
        close(fd);
        *status = rc == ENOSPC ? QEL_E_RESOURCES : statusOf(rc);
        return -1;
    }
    return fd;
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
    if (header->nameLength < kNameCapacity) {
        memcpy(map + kNameOffset, name, header->nameLength + 1);
    }
    header->state = kStateLive;
}

// Publish (see the top of the file). QEL_E_EXISTS when another file has the name.
QEL_STATUS publish(DirUse& dir, const std::string& fileName, ObjectType type, const char* name,
                   ObjectInit init, size_t segmentSize, NamedFile* out) {
    QEL_STATUS status = QEL_OK;
    int fd = makeUnnamed(dir, kNamedFileSize + segmentSize, &status);
    if (fd < 0) {
        return status;
    }
    NamedFile file;
    void* page = mmap(nullptr, kNamedFileSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (page == MAP_FAILED) {
        close(fd);
        return QEL_E_NO_MEMORY;
    }
    unsigned char* map = static_cast<unsigned char*>(page);
    writeHeader(map, type, name, segmentSize);
    if (type != ObjectType::Segment) {
        initTableLock(map);
        if (init != nullptr) {
            init(map + kObjectOffset);
        }
        Self me = self();
        slotsOf(map)[0] = HolderSlot{static_cast<uint32_t>(me.pid), 1, me.startTime};
        file.map = map;
        file.mapSize = kNamedFileSize;
    } else {
        munmap(page, kNamedFileSize);
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !linkName(fd, dir.fd(), fileName.c_str())) {
        status = statusOf(errno);
    } else if (type == ObjectType::Segment) {
        // Mapped through its name, as every attacher maps it: /proc/<pid>/maps then shows
        // the path that the zoltov tool looks for, not the unnamed file's.
        int named = aboveStdio(
            openat(dir.fd(), fileName.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        struct stat again;
        bool same = named >= 0 && fstat(named, &again) == 0 && again.st_ino == st.st_ino &&
                    again.st_dev == st.st_dev;
        status = mapSegment(same ? named : fd, kNamedFileSize + segmentSize, &file);
        if (named >= 0) {
            close(named);
        }
        if (status != QEL_OK) {
            // Named but refused its mapping: the name goes again, or the file would stay,
            // full size, with nobody to free it.
            unlinkIfSame(dir.fd(), fileName, st.st_dev, st.st_ino);
        }
    }
    close(fd);
    if (status != QEL_OK) {
        unmap(&file);
        return status;
    }
    file.type = type;
    file.device = st.st_dev;
    file.inode = st.st_ino;
    *out = file;
    return QEL_OK;
}

// The first hold of this process on a mutex or event just mapped; kRetry when the file was
// removed meanwhile.
constexpr QEL_STATUS kRetry = 1;

QEL_STATUS join(NamedFile* file, OpenMode mode, ObjectInit init) {
    TableLock lock(file->map, QEL_INFINITE);
    StoreHeader* header = headerOf(file->map);
    uint32_t state = __atomic_load_n(&header->state, __ATOMIC_ACQUIRE);
    if (!lock.held() || (state != kStateLive && state != kStateDead)) {
        return QEL_E_CORRUPT;
    }
    if (state == kStateDead) {
        // Its remover unlinks it before letting go of the lock, unless it died in between.
        return removeName(file->type, file->map, file->device, file->inode) ? kRetry : QEL_E_ACCESS;
    }
    const Self me = self();
    HolderSlot* slots = slotsOf(file->map);
    HolderSlot* free = nullptr;
    for (size_t i = 0; i < kHolderSlots; ++i) {
        if (slots[i].pid == static_cast<uint32_t>(me.pid) && slots[i].startTime == me.startTime) {
            ++slots[i].handles;
            return QEL_OK;
        }
        free = free == nullptr && slots[i].pid == 0 ? &slots[i] : free;
    }
    if (!anyLiveHolder(file->map, false)) {
        // Every holder died without closing: the object is gone; this file is its remains.
        if (mode == OpenMode::OpenExisting) {
            __atomic_store_n(&header->state, kStateDead, __ATOMIC_RELEASE);
            removeName(file->type, file->map, file->device, file->inode);
            return QEL_E_NOT_FOUND;
        }
        if (init != nullptr) {
            init(file->map + kObjectOffset);
        }
        free = &slots[0];
    }
    if (free == nullptr) {
        return QEL_E_RESOURCES;  // more live processes than slots
    }
    *free = HolderSlot{static_cast<uint32_t>(me.pid), 1, me.startTime};
    return QEL_OK;
}

// Opens the file of an existing object; QEL_E_NOT_FOUND when there is none, kRetry when it
// was being removed.
QEL_STATUS openExisting(DirUse& dir, const std::string& fileName, ObjectType type, const char* name,
                        OpenMode mode, ObjectInit init, NamedFile* out) {
    int fd = aboveStdio(
        openat(dir.fd(), fileName.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
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
    } else if (type == ObjectType::Segment) {
        status = st.st_size >= static_cast<off_t>(kNamedFileSize)
                     ? mapSegment(fd, static_cast<size_t>(st.st_size), &file)
                     : QEL_E_CORRUPT;
    } else if (st.st_size == static_cast<off_t>(kNamedFileSize)) {
        status = mapObject(fd, &file);
    }
    close(fd);
    if (status != QEL_OK) {
        return status;
    }
    file.type = type;
    file.device = st.st_dev;
    file.inode = st.st_ino;
    header = *headerOf(file.map);
    if (!headerMatches(file.map, type, name) ||
        (type == ObjectType::Segment &&
         (header.state != kStateLive || header.segmentSize < kSegmentCountSize ||
          header.segmentSize > static_cast<uint64_t>(st.st_size) - kNamedFileSize))) {
        status = QEL_E_CORRUPT;
    } else if (header.pidNamespace != 0 && ownPidNamespace() != 0 &&
               header.pidNamespace != ownPidNamespace() && type != ObjectType::Segment) {
        status = QEL_E_NAMESPACE;
    } else if (type != ObjectType::Segment) {
        status = join(&file, mode, init);
    }
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
    int fd = openat(dir.fd(), fileName.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return errno == ENOENT;
    }
    struct stat st;
    StoreHeader header;
    bool trusted = fileTrusted(fd, dir.shared(), &st) && readHeader(fd, type, &header, st.st_size);
    close(fd);
    return trusted;
}

// Opens by copying this process's own mapping of the file (see copyMapping), which holds
// it as a fresh open would: a mutex or event through its table, a segment only while its
// name still leads to it. QEL_E_NOT_FOUND: no such mapping, or its file was removed since;
// open afresh.
QEL_STATUS openCopy(DirUse& dir, const std::string& fileName, size_t key, ObjectType type,
                    const char* name, OpenMode mode, ObjectInit init, NamedFile* out) {
    if (!copyMapping(key, type, name, out)) {
        return QEL_E_NOT_FOUND;
    }
    QEL_STATUS status = QEL_OK;
    struct stat st;
    if (type == ObjectType::Segment) {
        if (fstatat(dir.fd(), fileName.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
            st.st_dev != out->device || st.st_ino != out->inode) {
            status = QEL_E_NOT_FOUND;
        }
    } else {
        status = join(out, mode, init);
        status = status == kRetry ? QEL_E_NOT_FOUND : status;
    }
    if (status != QEL_OK) {
        releaseMapping(out);
    }
    return status;
}

}  // namespace store

using namespace store;

// The store's calls defer the suspend signal as a whole: a thread stopped anywhere inside one,
// in an allocation as much as under one of the store's locks, would stop every thread of the
// process that then needs the allocator or that lock. The waits inside (a table lock held by
// another process) defer it anyway.
QEL_STATUS openNamed(ObjectType type, const char* name, OpenMode mode, ObjectInit init,
                     size_t segmentSize, NamedFile* out) {
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
    // Each pass that starts again follows another process's completed creation or removal
    // of the name, or a directory removed under us: none can recur for ever.
    bool tried = false;  // a copy is tried once, before any fresh open
    for (;;) {
        QEL_STATUS status = QEL_E_NOT_FOUND;
        bool copied = false;
        if (mode != OpenMode::CreateExclusive) {
            if (!tried) {
                tried = true;
                status = openCopy(dir, fileName, key, type, name, mode, init, out);
                copied = status == QEL_OK;
            }
            if (status == QEL_E_NOT_FOUND) {
                status = openExisting(dir, fileName, type, name, mode, init, out);
            }
        }
        if (status == QEL_E_NOT_FOUND && mode != OpenMode::OpenExisting) {
            status = publish(dir, fileName, type, name, init, segmentSize, out);
            static unsigned published = 0;
            if (status == QEL_OK && __atomic_add_fetch(&published, 1, __ATOMIC_RELAXED) % 32 == 0) {
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
            if (!copied) {
                out->opener = ownPid();
                out->key = key;
                rememberMapping(out);
            }
            if (type != ObjectType::Segment) {
                rememberHold(out);
            }
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

void store::leaveTable(NamedFile* file, bool all, long timeoutMs) {
    TableLock lock(file->map, timeoutMs);
    if (!lock.held()) {
        return;
    }
    const Self me = self();
    HolderSlot* slots = slotsOf(file->map);
    for (size_t i = 0; i < kHolderSlots; ++i) {
        if (slots[i].pid == static_cast<uint32_t>(me.pid) && slots[i].startTime == me.startTime) {
            if (all || --slots[i].handles == 0) {
                slots[i] = HolderSlot{0, 0, 0};
            }
            break;
        }
    }
    StoreHeader* header = headerOf(file->map);
    if (__atomic_load_n(&header->state, __ATOMIC_ACQUIRE) == kStateLive &&
        !anyLiveHolder(file->map, true)) {
        __atomic_store_n(&header->state, kStateDead, __ATOMIC_RELEASE);
        removeName(file->type, file->map, file->device, file->inode);
    }
}

void closeNamed(NamedFile* file) {
    SuspendSignalBlock blocked;
    if (file->type != ObjectType::Segment && file->opener == ownPid()) {
        forgetHold(file);
        leaveTable(file, false, QEL_INFINITE);
    }
    releaseMapping(file);
}

QEL_STATUS destroyNamed(NamedFile* file) {
    SuspendSignalBlock blocked;
    QEL_STATUS status = QEL_E_NOT_FOUND;
    DirUse dir(false);
    if (dir.ok()) {
        std::string fileName = fileNameOf(ObjectType::Segment, file->map);
        errno = ENOENT;
        if (!unlinkIfSame(dir.fd(), fileName, file->device, file->inode)) {
            status = statusOf(errno);
        } else {
            status = QEL_OK;
        }
    }
    releaseMapping(file);
    return status;
}

}  // namespace qel

const char* qelFailureReason(void) {
    return qel::t_reason;
}

const char* qelTestObjectDirectory(void) {
    static const std::string path = qel::storeDirectory().path;
    return path.c_str();
}
