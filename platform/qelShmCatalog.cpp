// Segment catalogue: reads the segment files of the named-object directory without
// attaching to them, so that listing a segment never counts as using it.
#include "qelShmCatalog.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "qelInternal.h"

namespace {

// Maps the segment file entry of the directory read-only and calls visitor; QEL_E_NOT_FOUND
// when the file is not a complete segment, or (with wanted) of another name. Never blocks on
// a special file and never follows a link.
QEL_STATUS visitFile(int dirFd, bool shared, const std::string& path, const char* entry,
                     const char* wanted, QEL_SHM_VISITOR visitor, void* context, int* stop) {
    int fd = openat(dirFd, entry, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return errno == ENOENT ? QEL_E_NOT_FOUND : QEL_E_ACCESS;
    }
    struct stat st;
    qel::StoreHeader header;
    if (!qel::fileTrusted(fd, shared, &st) ||
        !qel::readHeader(fd, qel::ObjectType::Segment, &header, st.st_size)) {
        close(fd);
        return QEL_E_NOT_FOUND;
    }
    std::string name;
    bool named = header.nameLength < qel::kNameCapacity;
    if (named) {
        name.resize(static_cast<size_t>(header.nameLength));
        if (pread(fd, &name[0], name.size(), qel::kNameOffset) !=
            static_cast<ssize_t>(name.size())) {
            close(fd);
            return QEL_E_NOT_FOUND;
        }
    }
    if (wanted != nullptr && (!named || name != wanted)) {
        close(fd);
        return QEL_E_NOT_FOUND;
    }
    size_t mapSize = qel::kNamedFileSize + static_cast<size_t>(header.segmentSize);
    void* map = mmap(nullptr, mapSize, PROT_READ, MAP_SHARED, fd, 0);
    close(fd);
    if (map == MAP_FAILED) {
        return QEL_E_NO_MEMORY;
    }
    QEL_SHM_ENTRY item;
    std::string full = path + "/" + entry;
    item.name = named ? name.c_str() : nullptr;
    item.path = full.c_str();
    item.size = header.segmentSize;
    item.base = static_cast<const unsigned char*>(map) + qel::kNamedFileSize;
    int result = visitor(&item, context);
    munmap(map, mapSize);
    if (stop != nullptr) {
        *stop = result;
    }
    return QEL_OK;
}

// The object directory for a look: QEL_OK with *fd -1 when there is none yet.
QEL_STATUS lookDirectory(int* fd, bool* shared) {
    *fd = qel::storeDirectoryFd(false, shared);
    if (*fd < 0 && !qel::storeProblem().empty()) {
        return QEL_E_ACCESS;
    }
    return QEL_OK;
}

}  // namespace

extern "C" {

const char* qelShmProblem(void) {
    static thread_local std::string problem;
    bool shared;
    int fd = qel::storeDirectoryFd(false, &shared);
    if (fd >= 0) {
        close(fd);
    }
    problem = qel::storeProblem();
    return problem.c_str();
}

QEL_STATUS qelEnumShMem(QEL_SHM_VISITOR visitor, void* context) {
    if (visitor == nullptr) {
        return QEL_E_INVALID;
    }
    int fd;
    bool shared;
    QEL_STATUS status = lookDirectory(&fd, &shared);
    if (fd < 0) {
        return status;
    }
    DIR* dir = fdopendir(fd);
    if (dir == nullptr) {
        close(fd);
        return QEL_E_ACCESS;
    }
    const std::string path = qel::storeDirectory().path;
    // Segment files are "s." + the encoded name or "s#" + a hash (see encodeName).
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] != 's' || (entry->d_name[1] != '.' && entry->d_name[1] != '#')) {
            continue;
        }
        int stop = 0;
        visitFile(dirfd(dir), shared, path, entry->d_name, nullptr, visitor, context, &stop);
        if (stop != 0) {
            break;
        }
    }
    closedir(dir);
    return QEL_OK;
}

QEL_STATUS qelInspectShMem(const char* name, QEL_SHM_VISITOR visitor, void* context) {
    if (name == nullptr || visitor == nullptr) {
        return QEL_E_INVALID;
    }
    int fd;
    bool shared;
    QEL_STATUS status = lookDirectory(&fd, &shared);
    if (fd < 0) {
        return status == QEL_OK ? QEL_E_NOT_FOUND : status;
    }
    std::string entry = qel::encodeName(qel::ObjectType::Segment, name);
    // A name too long to keep in the file is known by its hashed file name alone ('#'
    // appears only in those): then the file's name field cannot be compared.
    bool hashed = entry.find('#') != std::string::npos;
    status = visitFile(fd, shared, qel::storeDirectory().path, entry.c_str(),
                       hashed ? nullptr : name, visitor, context, nullptr);
    close(fd);
    return status;
}

QEL_STATUS qelRemoveShMem(const char* name, const char* mutexSuffix) {
    if (name == nullptr) {
        return QEL_E_INVALID;
    }
    // Through the layer's own open and destroy, so the header checks apply as for any user.
    qel::NamedFile file;
    QEL_STATUS status = qel::openNamed(qel::ObjectType::Segment, name, qel::OpenMode::OpenExisting,
                                       nullptr, 0, &file);
    if (status != QEL_OK) {
        return status;
    }
    status = qel::destroyNamed(&file);
    if (status == QEL_OK && mutexSuffix != nullptr) {
        // Opening a named mutex whose holders are all gone removes its file; one that a live
        // process holds is opened and let go again, and stays with that process.
        std::string mutexName = std::string(name) + mutexSuffix;
        qel::NamedFile mutexFile;
        if (qel::openNamed(qel::ObjectType::Mutex, mutexName.c_str(), qel::OpenMode::OpenExisting,
                           nullptr, 0, &mutexFile) == QEL_OK) {
            qel::closeNamed(&mutexFile);
        }
    }
    return status;
}

QEL_STATUS qelSweepStale(void) {
    // From where the last look stopped to the end, then once round from the start.
    for (int pass = 0; pass < 2; ++pass) {
        while (qel::sweepStale(256) == 256) {
        }
    }
    return QEL_OK;
}

}  // extern "C"
