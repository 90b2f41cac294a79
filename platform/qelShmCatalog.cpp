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

// Maps the segment file at path read-only and calls visitor; QEL_E_NOT_FOUND when the
// file is not a finished segment of this user, or (with wanted) of another name.
QEL_STATUS visitFile(const std::string& path, const char* wanted, QEL_SHM_VISITOR visitor,
                     void* context, int* stop) {
    int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        return errno == ENOENT ? QEL_E_NOT_FOUND : QEL_E_ACCESS;
    }
    struct stat st;
    qel::NamedHeader header;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid() ||
        static_cast<size_t>(st.st_size) < qel::kNamedFileSize ||
        pread(fd, &header, sizeof header, 0) != static_cast<ssize_t>(sizeof header) ||
        header.magic != qel::kNamedMagic || header.version != qel::kNamedVersion ||
        header.type != static_cast<uint32_t>(qel::ObjectType::Segment) ||
        header.state != qel::kNamedReady ||
        header.segmentSize > static_cast<uint64_t>(st.st_size) - qel::kNamedFileSize) {
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
    QEL_SHM_ENTRY entry;
    entry.name = named ? name.c_str() : nullptr;
    entry.path = path.c_str();
    entry.size = header.segmentSize;
    entry.base = static_cast<const unsigned char*>(map) + qel::kNamedFileSize;
    int result = visitor(&entry, context);
    munmap(map, mapSize);
    if (stop != nullptr) {
        *stop = result;
    }
    return QEL_OK;
}

}  // namespace

extern "C" {

QEL_STATUS qelEnumShMem(QEL_SHM_VISITOR visitor, void* context) {
    if (visitor == nullptr) {
        return QEL_E_INVALID;
    }
    const std::string& directory = qel::namedDirectory();
    if (directory.empty()) {
        return QEL_E_ACCESS;
    }
    DIR* dir = opendir(directory.c_str());
    if (dir == nullptr) {
        return errno == ENOENT ? QEL_OK : QEL_E_ACCESS;
    }
    // Segment files are "s." + the encoded name or "s#" + a hash (see encodeName).
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] != 's' || (entry->d_name[1] != '.' && entry->d_name[1] != '#')) {
            continue;
        }
        int stop = 0;
        visitFile(directory + "/" + entry->d_name, nullptr, visitor, context, &stop);
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
    const std::string& directory = qel::namedDirectory();
    if (directory.empty()) {
        return QEL_E_ACCESS;
    }
    std::string path = directory + "/" + qel::encodeName(qel::ObjectType::Segment, name);
    // A name too long to keep in the file is known by its hashed file name alone ('#'
    // appears only in those): then the file's name field cannot be compared.
    bool hashed = path.find('#', directory.size()) != std::string::npos;
    return visitFile(path, hashed ? nullptr : name, visitor, context, nullptr);
}

QEL_STATUS qelRemoveShMem(const char* name, const char* mutexSuffix) {
    if (name == nullptr) {
        return QEL_E_INVALID;
    }
    // Through the layer's own open and destroy, so the directory lock and the header
    // checks apply as for any user of the segment.
    qel::NamedFile file;
    QEL_STATUS status = qel::openNamed(qel::ObjectType::Segment, name, qel::OpenMode::OpenExisting,
                                       nullptr, 0, &file);
    if (status != QEL_OK) {
        return status;
    }
    status = qel::destroyNamed(&file);
    if (status == QEL_OK && mutexSuffix != nullptr) {
        // Opening a named mutex that nobody holds removes its stale file; one that a live
        // process holds is opened and let go again, and stays with that process.
        std::string mutexName = std::string(name) + mutexSuffix;
        qel::NamedFile mutexFile;
        if (qel::openNamed(qel::ObjectType::Mutex, mutexName.c_str(), qel::OpenMode::OpenExisting,
                           nullptr, 0, &mutexFile) == QEL_OK) {
            qel::closeNamed(qel::ObjectType::Mutex, &mutexFile);
        }
    }
    return status;
}

}  // extern "C"
