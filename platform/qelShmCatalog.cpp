// The store's catalogue: reads the object files of the directory without opening them as a
// user would, so that listing a segment never counts as using it. Stateless, like the rest
// of the read side.
#include "qelShmCatalog.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "qelStore.h"

namespace {

// Maps the object file entry of the directory read-only and calls visitor; QEL_E_NOT_FOUND
// when the file is not a complete object of type, or (with wanted) of another name. Never
// blocks on a special file and never follows a link.
QEL_STATUS visitFile(int dirFd, bool shared, qel::ObjectType type, const std::string& path,
                     const char* entry, const char* wanted, QEL_SHM_VISITOR visitor, void* context,
                     int* stop) {
    int fd = openat(dirFd, entry, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return errno == ENOENT ? QEL_E_NOT_FOUND : errno == ELOOP ? QEL_E_CORRUPT : QEL_E_ACCESS;
    }
    struct stat st;
    qel::StoreHeader header;
    if (!qel::fileTrusted(fd, shared, &st) || !qel::readHeader(fd, type, &header, st.st_size)) {
        close(fd);
        return QEL_E_CORRUPT;
    }
    // A mutex or event of another PID namespace is not this namespace's to use or tidy: its
    // holders' pids mean nothing here.
    if (type != qel::ObjectType::Segment && header.pidNamespace != 0 &&
        header.pidNamespace != qel::pidNamespaceId()) {
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
    std::vector<QEL_HOLDER> holders;
    if (type != qel::ObjectType::Segment) {
        qel::HolderSlot slots[qel::kHolderSlots];
        if (pread(fd, slots, sizeof slots, qel::kHoldersOffset) != sizeof slots) {
            close(fd);
            return QEL_E_NOT_FOUND;
        }
        for (const qel::HolderSlot& slot : slots) {
            if (slot.pid != 0 && slot.pid != static_cast<uint32_t>(getpid()) &&
                qel::holderAlive(slot)) {
                holders.push_back(QEL_HOLDER{static_cast<int>(slot.pid), slot.handles});
            }
        }
    }
    size_t mapSize = qel::kNamedFileSize + static_cast<size_t>(header.segmentSize);
    void* map = type == qel::ObjectType::Segment
                    ? mmap(nullptr, mapSize, PROT_READ, MAP_SHARED, fd, 0)
                    : nullptr;
    close(fd);
    if (map == MAP_FAILED) {
        return QEL_E_NO_MEMORY;
    }
    QEL_SHM_ENTRY item;
    std::string full = path + "/" + entry;
    item.name = named ? name.c_str() : nullptr;
    item.path = full.c_str();
    item.size = header.segmentSize;
    item.base =
        map != nullptr ? static_cast<const unsigned char*>(map) + qel::kNamedFileSize : nullptr;
    item.holders = holders.data();
    item.holderCount = holders.size();
    int result = visitor(&item, context);
    if (map != nullptr) {
        munmap(map, mapSize);
    }
    if (stop != nullptr) {
        *stop = result;
    }
    return QEL_OK;
}

// The kind of object file entry names ("s." + the encoded name or "s#" + a hash, see
// encodeName); 0 for anything else.
uint32_t kindOf(const char* entry) {
    if (entry[1] != '.' && entry[1] != '#') {
        return 0;
    }
    switch (entry[0]) {
        case 's':
            return static_cast<uint32_t>(qel::ObjectType::Segment);
        case 'm':
            return static_cast<uint32_t>(qel::ObjectType::Mutex);
        case 'e':
            return static_cast<uint32_t>(qel::ObjectType::Event);
        default:
            return 0;
    }
}

}  // namespace

extern "C" {

void qelShmProblem(char* buffer, size_t size) {
    bool shared;
    std::string problem;
    int fd = qel::openStoreDirectory(qel::storeDirectory(), false, &shared, &problem);
    if (fd >= 0) {
        close(fd);
    }
    snprintf(buffer, size, "%s", problem.c_str());
}

QEL_STATUS qelEnumShMem(unsigned int kinds, QEL_SHM_VISITOR visitor, void* context) {
    if (visitor == nullptr) {
        return QEL_E_INVALID;
    }
    const qel::StoreDirectory where = qel::storeDirectory();
    bool shared;
    std::string problem;
    int fd = qel::openStoreDirectory(where, false, &shared, &problem);
    if (fd < 0) {
        return problem.empty() ? QEL_OK : QEL_E_ACCESS;
    }
    DIR* dir = fdopendir(fd);
    if (dir == nullptr) {
        close(fd);
        return QEL_E_ACCESS;
    }
    while (dirent* entry = readdir(dir)) {
        uint32_t kind = kindOf(entry->d_name);
        bool segment = kind == static_cast<uint32_t>(qel::ObjectType::Segment);
        if (kind == 0 || (kinds & (segment ? QEL_CATALOG_SEGMENTS : QEL_CATALOG_SYNC)) == 0) {
            continue;
        }
        int stop = 0;
        visitFile(dirfd(dir), shared, static_cast<qel::ObjectType>(kind), where.path, entry->d_name,
                  nullptr, visitor, context, &stop);
        if (stop != 0) {
            break;
        }
    }
    closedir(dir);
    return QEL_OK;
}

}  // extern "C"

namespace {

QEL_STATUS inspect(qel::ObjectType type, const char* name, QEL_SHM_VISITOR visitor, void* context) {
    if (name == nullptr || visitor == nullptr) {
        return QEL_E_INVALID;
    }
    const qel::StoreDirectory where = qel::storeDirectory();
    bool shared;
    std::string problem;
    int fd = qel::openStoreDirectory(where, false, &shared, &problem);
    if (fd < 0) {
        return problem.empty() ? QEL_E_NOT_FOUND : QEL_E_ACCESS;
    }
    std::string entry = qel::encodeName(type, name);
    // A name too long to keep in the file is known by its hashed file name alone ('#'
    // appears only in those): then the file's name field cannot be compared.
    bool hashed = entry.find('#') != std::string::npos;
    QEL_STATUS status = visitFile(fd, shared, type, where.path, entry.c_str(),
                                  hashed ? nullptr : name, visitor, context, nullptr);
    close(fd);
    return status;
}

}  // namespace

extern "C" {

QEL_STATUS qelInspectShMem(const char* name, QEL_SHM_VISITOR visitor, void* context) {
    return inspect(qel::ObjectType::Segment, name, visitor, context);
}

QEL_STATUS qelInspectMutex(const char* name, QEL_SHM_VISITOR visitor, void* context) {
    return inspect(qel::ObjectType::Mutex, name, visitor, context);
}

}  // extern "C"
