// Named objects: one small file per named mutex, event or segment in a private tmpfs
// directory, mapped shared. Creation and removal are serialised by a lock file of the
// directory (flock between processes, a mutex between this process's threads); each process
// holds a shared flock on the object's descriptor as its reference, and the closer that can
// take the lock exclusively is the last user and removes the file. The directory itself,
// with its lock file, goes with the last object, so nothing stays behind in /dev/shm.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <mutex>

#include "qelInternal.h"
#include "qelTesting.h"

namespace qel {
namespace {

constexpr size_t kMaxEncoded = 200;  // longer encodings are replaced by a hash
constexpr const char* kWaitAnyFile = ".waitany";

void hashName(const char* name, uint64_t out[2]) {
    // Two independent 64-bit FNV-1a variants: only names too long to keep in the file rely
    // on them alone.
    uint64_t a = 0xcbf29ce484222325ull, b = 0x84222325cbf29ce4ull;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(name); *p; ++p) {
        a = (a ^ *p) * 0x100000001b3ull;
        b = (b ^ (*p + 0x9Eu)) * 0x100000001b3ull;
        b ^= b >> 29;
    }
    out[0] = a;
    out[1] = b;
}

char typeLetter(ObjectType type) {
    switch (type) {
        case ObjectType::Mutex:
            return 'm';
        case ObjectType::Event:
            return 'e';
        default:
            return 's';
    }
}

std::string hashedName(ObjectType type, const uint64_t hash[2]) {
    static const char kHex[] = "0123456789abcdef";
    // '#' never appears in an encoded name, so a hashed name cannot equal an encoded one.
    std::string name(1, typeLetter(type));
    name += '#';
    for (int i = 0; i < 2; ++i) {
        for (int shift = 60; shift >= 0; shift -= 4) {
            name += kHex[(hash[i] >> shift) & 15];
        }
    }
    return name;
}

std::mutex g_directoryLock;    // the flock below excludes processes, not this process's threads
bool g_usedDirectory = false;  // under g_directoryLock: this process has taken the lock file

// Creates the directory when it is missing (its last user removes it) and refuses one planted
// by someone else or a symbolic link to one.
bool ensureNamedDirectory() {
    const std::string& path = namedDirectory();
    if (path.empty()) {
        return false;
    }
    if (mkdir(path.c_str(), 0700) == 0) {
        return true;
    }
    struct stat st;
    return errno == EEXIST && lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) &&
           st.st_uid == geteuid();
}

// Locks the directory's lock file. The file is removed with the directory when the last
// object goes, so a lock taken on a file that is no longer the one at its path is worthless:
// start again with the current one.
int lockDirectory(bool wait) {
    const std::string path = namedDirectory() + "/.lock";
    for (int attempt = 0; attempt < 1000; ++attempt) {
        if (!ensureNamedDirectory()) {
            return -1;
        }
        int fd = open(path.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0 && errno == ENOENT) {
            fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        }
        if (fd < 0) {
            if (errno == ENOENT || errno == EEXIST) {
                continue;  // the directory or the file came or went meanwhile
            }
            return -1;
        }
        int rc;
        while ((rc = flock(fd, wait ? LOCK_EX : LOCK_EX | LOCK_NB)) != 0 && errno == EINTR) {
        }
        struct stat mine, named;
        if (rc == 0 && fstat(fd, &mine) == 0 && stat(path.c_str(), &named) == 0 &&
            mine.st_ino == named.st_ino && mine.st_dev == named.st_dev) {
            return fd;
        }
        close(fd);
        if (rc != 0) {
            return -1;  // busy and not waiting
        }
    }
    return -1;
}

// Removes the directory when it holds nothing but its own lock file and the wait-any word
// (and nobody maps that one). Runs under the directory lock; unlinking the lock file makes
// processes queued on it start again with a new one.
void removeDirectoryIfUnused() {
    const std::string& directory = namedDirectory();
    DIR* dir = opendir(directory.c_str());
    if (dir == nullptr) {
        return;
    }
    bool unused = true;
    while (dirent* entry = readdir(dir)) {
        const char* name = entry->d_name;
        if (strcmp(name, ".") != 0 && strcmp(name, "..") != 0 && strcmp(name, ".lock") != 0 &&
            strcmp(name, kWaitAnyFile) != 0) {
            unused = false;
            break;
        }
    }
    if (unused) {
        int fd = openat(dirfd(dir), kWaitAnyFile, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        if (fd >= 0) {
            // Every process that maps the word holds a shared lock on it.
            unused =
                flock(fd, LOCK_EX | LOCK_NB) == 0 && unlinkat(dirfd(dir), kWaitAnyFile, 0) == 0;
            close(fd);
        }
    }
    if (unused) {
        unlinkat(dirfd(dir), ".lock", 0);
        rmdir(directory.c_str());
    }
    closedir(dir);
}

// Holds the directory's lock file for the scope: creation, the stale check and removal
// of named files never interleave.
int g_waitAnyFd = -1;  // see mapWaitAnyWord
void* g_waitAnyWord = nullptr;

void sweepStale();

// At exit, a process that used the directory gives up its hold on the wait-any word and
// removes the directory if nothing else is left in it. Never blocks: a forked child may have
// inherited the in-process lock held, and another process may hold the lock file.
struct ExitTidy {
    ~ExitTidy() {
        std::unique_lock<std::mutex> lock(g_directoryLock, std::try_to_lock);
        if (!lock.owns_lock() || !g_usedDirectory) {
            return;
        }
        if (g_waitAnyWord != nullptr) {
            // The mapping holds the file, and with it the shared lock, as much as the
            // descriptor does. Swap it for private memory rather than unmapping it: a thread
            // still running may touch the word.
            mmap(g_waitAnyWord, 4096, PROT_READ | PROT_WRITE,
                 MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
            close(g_waitAnyFd);
            g_waitAnyWord = nullptr;
            g_waitAnyFd = -1;
        }
        for (int attempt = 0; attempt < 100; ++attempt) {
            int fd = lockDirectory(false);
            if (fd >= 0) {
                sweepStale();
                removeDirectoryIfUnused();
                close(fd);
                return;
            }
            usleep(1000);
        }
    }
};

class DirectoryGuard {
public:
    DirectoryGuard() : guard_(g_directoryLock) {
        // Constructed after the directory's path, so destroyed before it.
        namedDirectory();
        static ExitTidy tidy;
        fd_ = lockDirectory(true);
        g_usedDirectory = true;
    }
    ~DirectoryGuard() {
        if (fd_ >= 0) {
            close(fd_);  // releases the flock
        }
    }
    bool ok() const { return fd_ >= 0; }
    DirectoryGuard(const DirectoryGuard&) = delete;
    DirectoryGuard& operator=(const DirectoryGuard&) = delete;

private:
    SuspendSignalBlock blocked_;  // first: the signal stays blocked while the locks are held
    std::lock_guard<std::mutex> guard_;
    int fd_ = -1;
};

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
        case ELOOP:
        case EMLINK:
            return QEL_E_CORRUPT;
        default:
            return QEL_E_RESOURCES;
    }
}

bool fileLooksOurs(int fd) {
    struct stat st;
    return fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 1 &&
           st.st_uid == geteuid() && (st.st_mode & 0077) == 0;
}

void writeHeader(unsigned char* map, ObjectType type, const char* name, size_t segmentSize) {
    NamedHeader* header = reinterpret_cast<NamedHeader*>(map);
    header->magic = kNamedMagic;
    header->version = kNamedVersion;
    header->type = static_cast<uint32_t>(type);
    hashName(name, header->hash);
    header->nameLength = strlen(name);
    header->segmentSize = segmentSize;
    if (header->nameLength < kNameCapacity) {
        memcpy(map + kNameOffset, name, header->nameLength + 1);
    }
}

// Checks a mapped header against what the caller asked for; every field is untrusted.
bool headerMatches(const unsigned char* map, ObjectType type, const char* name) {
    const NamedHeader* header = reinterpret_cast<const NamedHeader*>(map);
    if (header->magic != kNamedMagic || header->version != kNamedVersion ||
        header->type != static_cast<uint32_t>(type) ||
        __atomic_load_n(&header->state, __ATOMIC_ACQUIRE) != kNamedReady) {
        return false;
    }
    uint64_t hash[2];
    hashName(name, hash);
    size_t length = strlen(name);
    if (header->hash[0] != hash[0] || header->hash[1] != hash[1] || header->nameLength != length) {
        return false;
    }
    return length >= kNameCapacity || memcmp(map + kNameOffset, name, length) == 0;
}

void unmapAndClose(NamedFile* file) {
    if (file->map != nullptr) {
        munmap(file->map, file->mapSize);
    }
    if (file->fd >= 0) {
        close(file->fd);
    }
    *file = NamedFile{};
}

QEL_STATUS mapFile(NamedFile* file, size_t size) {
    void* map = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, file->fd, 0);
    if (map == MAP_FAILED) {
        return QEL_E_NO_MEMORY;
    }
    file->map = static_cast<unsigned char*>(map);
    file->mapSize = size;
    return QEL_OK;
}

QEL_STATUS createFile(const std::string& path, ObjectType type, const char* name, ObjectInit init,
                      size_t segmentSize, NamedFile* file) {
    file->fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (file->fd < 0) {
        return statusOf(errno);
    }
    fchmod(file->fd, 0600);  // the umask only narrows; make the mode exact
    size_t size = kNamedFileSize + segmentSize;
    // posix_fallocate, not ftruncate: a full tmpfs must fail here, not as SIGBUS later.
    int rc = posix_fallocate(file->fd, 0, static_cast<off_t>(size));
    QEL_STATUS status =
        rc == 0 ? mapFile(file, size) : (rc == ENOSPC ? QEL_E_RESOURCES : statusOf(rc));
    if (status != QEL_OK) {
        unlink(path.c_str());
        unmapAndClose(file);
        return status;
    }
    writeHeader(file->map, type, name, segmentSize);
    if (init != nullptr) {
        init(file->map + kObjectOffset);
    }
    __atomic_store_n(&reinterpret_cast<NamedHeader*>(file->map)->state, kNamedReady,
                     __ATOMIC_RELEASE);
    if (type != ObjectType::Segment) {
        flock(file->fd, LOCK_SH);
    }
    return QEL_OK;
}

// Removes mutex and event files that nobody holds any more: left by processes that ended
// without closing them. Runs under the directory lock, so no file is caught between its
// creation and its creator's shared flock.
void sweepStale() {
    DIR* dir = opendir(namedDirectory().c_str());
    if (dir == nullptr) {
        return;
    }
    while (dirent* entry = readdir(dir)) {
        if ((entry->d_name[0] != 'm' && entry->d_name[0] != 'e') ||
            (entry->d_name[1] != '.' && entry->d_name[1] != '#')) {
            continue;
        }
        int fd = openat(dirfd(dir), entry->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            continue;
        }
        if (fileLooksOurs(fd) && flock(fd, LOCK_EX | LOCK_NB) == 0) {
            unlinkat(dirfd(dir), entry->d_name, 0);
        }
        close(fd);
    }
    closedir(dir);
}

}  // namespace

const std::string& namedDirectory() {
    static const std::string directory = [] {
        // snprintf, not std::to_string: the latter instantiates a GNU-unique object that
        // would leave the library as an exported symbol despite hidden visibility.
        char buffer[64];
        snprintf(buffer, sizeof buffer, "/dev/shm/zoltov-%u", static_cast<unsigned>(geteuid()));
        std::string path = buffer;
        // ZOL_QEL_NAMESPACE=<word> gives a separate set of names (test runs that must not
        // meet each other); only letters, digits, '-' and '_', so it stays a single entry.
        const char* space = getenv("ZOL_QEL_NAMESPACE");
        if (space != nullptr && space[0] != '\0' && strlen(space) <= 32 &&
            strspn(space, "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-_") ==
                strlen(space)) {
            path += '-';
            path += space;
        }
        struct stat st;
        // Refuse a directory planted by someone else (or a symbolic link to one).
        if (lstat(path.c_str(), &st) == 0 && (!S_ISDIR(st.st_mode) || st.st_uid != geteuid())) {
            path.clear();
        }
        return path;
    }();
    return directory;
}

std::string encodeName(ObjectType type, const char* name) {
    static const char kHex[] = "0123456789abcdef";
    std::string encoded(1, typeLetter(type));
    encoded += '.';
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(name); *p; ++p) {
        unsigned char c = *p;
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
            c == '-' || c == '_' || c == '.') {
            encoded += static_cast<char>(c);
        } else {
            encoded += '%';
            encoded += kHex[c >> 4];
            encoded += kHex[c & 15];
        }
        if (encoded.size() > kMaxEncoded) {
            break;
        }
    }
    if (encoded.size() > kMaxEncoded) {
        uint64_t hash[2];
        hashName(name, hash);
        encoded = hashedName(type, hash);
    }
    return encoded;
}

// The path a mapped object's name leads to: from the name kept in the file, or, for names too
// long to keep, from the hash that their encoding is made of.
std::string pathFromHeader(ObjectType type, const unsigned char* map) {
    const NamedHeader* header = reinterpret_cast<const NamedHeader*>(map);
    if (header->nameLength < kNameCapacity) {
        std::string name(reinterpret_cast<const char*>(map + kNameOffset),
                         static_cast<size_t>(header->nameLength));
        return namedDirectory() + "/" + encodeName(type, name.c_str());
    }
    return namedDirectory() + "/" + hashedName(type, header->hash);
}

namespace {

// Segments are created whole under the directory lock, which the caller holds: a segment
// file that is unfinished now (short, or its header never published) was left by a creator
// that died half-way, and nobody can have attached to it.
bool segmentUnfinished(int fd) {
    struct stat st;
    NamedHeader header;
    return fileLooksOurs(fd) && fstat(fd, &st) == 0 &&
           (static_cast<size_t>(st.st_size) < kNamedFileSize ||
            pread(fd, &header, sizeof header, 0) != static_cast<ssize_t>(sizeof header) ||
            header.state != kNamedReady);
}

// Removes such a file, so that the name can be allocated again instead of being blocked
// for ever; true when it did.
bool removeIfUnfinishedSegment(const std::string& path) {
    int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    bool unfinished = segmentUnfinished(fd);
    close(fd);
    return unfinished && unlink(path.c_str()) == 0;
}

// openNamed's work, under the directory lock.
QEL_STATUS openLocked(const std::string& path, ObjectType type, const char* name, OpenMode mode,
                      ObjectInit init, size_t segmentSize, NamedFile* out) {
    NamedFile file;
    file.opener = getpid();
    if (mode == OpenMode::CreateExclusive) {
        QEL_STATUS status = createFile(path, type, name, init, segmentSize, &file);
        if (status == QEL_E_EXISTS && type == ObjectType::Segment &&
            removeIfUnfinishedSegment(path)) {
            status = createFile(path, type, name, init, segmentSize, &file);
        }
        if (status == QEL_OK) {
            *out = file;
        }
        return status;
    }
    // Open the existing file first and never with O_CREAT: in a sticky directory the
    // kernel's protected_regular setting refuses O_CREAT on a file of another user.
    file.fd = open(path.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
    if (file.fd < 0) {
        if (errno != ENOENT) {
            return statusOf(errno);
        }
        if (mode == OpenMode::OpenExisting) {
            return QEL_E_NOT_FOUND;
        }
        QEL_STATUS status = createFile(path, type, name, init, 0, &file);
        if (status == QEL_OK) {
            *out = file;
        }
        return status;
    }
    if (!fileLooksOurs(file.fd)) {
        unmapAndClose(&file);
        return QEL_E_CORRUPT;
    }
    struct stat st;
    fstat(file.fd, &st);
    const bool shortFile = static_cast<size_t>(st.st_size) < kNamedFileSize;
    bool stale = false;
    if (type != ObjectType::Segment) {
        // Nobody holds a reference: a process crashed without closing, or while it created
        // the file. The object is gone logically; reinitialise the file (remove it when only
        // opening, make it afresh when it never got its size).
        stale = flock(file.fd, LOCK_EX | LOCK_NB) == 0;
        if (stale && (mode == OpenMode::OpenExisting || shortFile)) {
            unlink(path.c_str());
            unmapAndClose(&file);
            if (mode == OpenMode::OpenExisting) {
                return QEL_E_NOT_FOUND;
            }
            file.opener = getpid();
            QEL_STATUS status = createFile(path, type, name, init, 0, &file);
            if (status == QEL_OK) {
                *out = file;
            }
            return status;
        }
    } else if (segmentUnfinished(file.fd)) {
        unlink(path.c_str());
        unmapAndClose(&file);
        return QEL_E_NOT_FOUND;
    }
    if (shortFile) {
        unmapAndClose(&file);
        return QEL_E_CORRUPT;
    }
    size_t size = type == ObjectType::Segment ? static_cast<size_t>(st.st_size) : kNamedFileSize;
    QEL_STATUS status = mapFile(&file, size);
    if (status != QEL_OK) {
        unmapAndClose(&file);
        return status;
    }
    if (stale) {
        NamedHeader* header = reinterpret_cast<NamedHeader*>(file.map);
        __atomic_store_n(&header->state, 0u, __ATOMIC_RELAXED);
        memset(file.map, 0, kNamedFileSize);
        writeHeader(file.map, type, name, 0);
        if (init != nullptr) {
            init(file.map + kObjectOffset);
        }
        __atomic_store_n(&header->state, kNamedReady, __ATOMIC_RELEASE);
    }
    if (!headerMatches(file.map, type, name)) {
        unmapAndClose(&file);
        return QEL_E_CORRUPT;
    }
    if (type == ObjectType::Segment) {
        const NamedHeader* header = reinterpret_cast<const NamedHeader*>(file.map);
        if (header->segmentSize > static_cast<uint64_t>(st.st_size) - kNamedFileSize) {
            unmapAndClose(&file);
            return QEL_E_CORRUPT;
        }
    } else {
        flock(file.fd, LOCK_SH);  // converts the stale check's exclusive lock, or joins
    }
    *out = file;
    return QEL_OK;
}

}  // namespace

QEL_STATUS openNamed(ObjectType type, const char* name, OpenMode mode, ObjectInit init,
                     size_t segmentSize, NamedFile* out) {
    if (name == nullptr || out == nullptr) {
        return QEL_E_INVALID;
    }
    if (namedDirectory().empty()) {
        return QEL_E_ACCESS;
    }
    std::string path = namedDirectory() + "/" + encodeName(type, name);
    DirectoryGuard guard;
    if (!guard.ok()) {
        return QEL_E_RESOURCES;
    }
    QEL_STATUS status = openLocked(path, type, name, mode, init, segmentSize, out);
    if (status != QEL_OK) {
        removeDirectoryIfUnused();  // taking the lock may have created the directory
    }
    return status;
}

void closeNamed(ObjectType type, NamedFile* file) {
    if (file->opener == getpid() && type != ObjectType::Segment) {
        DirectoryGuard guard;
        if (guard.ok() && flock(file->fd, LOCK_EX | LOCK_NB) == 0) {
            // Last user: remove the file, but only if the name still refers to our file.
            struct stat mine, named;
            std::string path = pathFromHeader(type, file->map);
            if (fstat(file->fd, &mine) == 0 && stat(path.c_str(), &named) == 0 &&
                mine.st_ino == named.st_ino && mine.st_dev == named.st_dev) {
                unlink(path.c_str());
            }
            unmapAndClose(file);
            sweepStale();
            removeDirectoryIfUnused();
            return;
        }
        unmapAndClose(file);
        return;
    }
    // A forked child shares its parent's open file description and flock: only unmap.
    unmapAndClose(file);
}

QEL_STATUS destroyNamed(NamedFile* file) {
    QEL_STATUS status = QEL_OK;
    {
        DirectoryGuard guard;
        std::string path = pathFromHeader(ObjectType::Segment, file->map);
        struct stat mine, named;
        if (fstat(file->fd, &mine) == 0 && stat(path.c_str(), &named) == 0 &&
            mine.st_ino == named.st_ino && mine.st_dev == named.st_dev) {
            if (unlink(path.c_str()) != 0) {
                status = statusOf(errno);
            }
        } else {
            status = QEL_E_NOT_FOUND;
        }
        unmapAndClose(file);
        removeDirectoryIfUnused();
    }
    return status;
}

uint32_t* mapWaitAnyWord() {
    DirectoryGuard guard;
    if (!guard.ok()) {
        return nullptr;
    }
    std::string path = namedDirectory() + "/" + kWaitAnyFile;
    int fd = open(path.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT) {
        fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    }
    if (fd < 0) {
        return nullptr;
    }
    void* map = MAP_FAILED;
    if (fileLooksOurs(fd) && posix_fallocate(fd, 0, 4096) == 0) {
        map = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    }
    if (map == MAP_FAILED) {
        close(fd);
        return nullptr;
    }
    // The descriptor stays open: its shared lock keeps the file (and so the directory) for as
    // long as this process may sleep on or wake through the word.
    flock(fd, LOCK_SH);
    g_waitAnyFd = fd;
    g_waitAnyWord = map;
    return static_cast<uint32_t*>(map);
}

}  // namespace qel

const char* qelTestObjectDirectory(void) {
    return qel::namedDirectory().c_str();
}
