// The store's catalogue and repairs: reads the object files of the directory without
// holding them, so that listing a segment never counts as using it, and makes the repairs
// under each file's table lock, as the library's own opens and closes make their changes.
#include "qelShmCatalog.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "qelStoreParts.h"
#include "qelSys.h"

namespace {

using qel::NamedFile;
using qel::ObjectType;
using qel::StoreHeader;

// An object file mapped whole for a look, not as a holder.
struct Looked {
    NamedFile file;
    std::string path;
    std::string name;
    bool named = false;
    ~Looked() { qel::store::unmap(&file); }
};

QEL_STATUS lookAt(int dirFd, bool shared, const std::string& directory, const char* entry,
                  ObjectType type, bool writable, Looked* out) {
    int fd = qel::aboveStdio(qel::sys::openat(
        dirFd, entry, (writable ? O_RDWR : O_RDONLY) | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (fd < 0) {
        return errno == ENOENT ? QEL_E_NOT_FOUND : errno == ELOOP ? QEL_E_CORRUPT : QEL_E_ACCESS;
    }
    struct stat st;
    StoreHeader header;
    QEL_STATUS status = QEL_E_CORRUPT;
    if (qel::fileTrusted(fd, shared, &st) && qel::readHeader(fd, type, &header, st.st_size)) {
        status = QEL_OK;  // Live, or Dead (its remover was killed before it unlinked it)
    }
    if (status == QEL_OK) {
        void* map = qel::sys::mmap(nullptr, static_cast<size_t>(st.st_size),
                                   PROT_READ | (writable ? PROT_WRITE : 0), MAP_SHARED, fd, 0);
        status = map == MAP_FAILED ? QEL_E_NO_MEMORY : QEL_OK;
        if (status == QEL_OK) {
            out->file.map = static_cast<unsigned char*>(map);
            out->file.mapSize = out->file.covered = static_cast<size_t>(st.st_size);
            out->file.type = type;
            out->file.device = st.st_dev;
            out->file.inode = st.st_ino;
        }
    }
    qel::sys::close(fd);
    if (status != QEL_OK) {
        return status;
    }
    out->path = directory + "/" + entry;
    out->named = header.nameLength < qel::kNameCapacity;
    if (out->named) {
        out->name.assign(reinterpret_cast<const char*>(out->file.map + qel::kNameOffset),
                         static_cast<size_t>(header.nameLength));
    }
    return QEL_OK;
}

bool live(const Looked& looked) {
    return __atomic_load_n(&qel::store::headerOf(looked.file.map)->state, __ATOMIC_ACQUIRE) ==
           qel::kStateLive;
}

std::vector<QEL_HOLDER> liveHolders(Looked& looked) {
    std::vector<QEL_HOLDER> holders;
    qel::store::HolderTable table(looked.file.map, looked.file.covered, looked.file.device,
                                  looked.file.inode);
    for (uint32_t i = 0; i < table.count(); ++i) {
        const qel::HolderEntry* entry = table.at(i);
        QEL_HOLDER holder{};
        if (entry != nullptr && qel::registry::describe(*entry, &holder.pid, holder.command)) {
            holder.handles = entry->handles;
            holder.connections = entry->connections;
            holders.push_back(holder);
        }
    }
    return holders;
}

int visit(Looked& looked, QEL_SHM_VISITOR visitor, void* context) {
    const StoreHeader* header = qel::store::headerOf(looked.file.map);
    std::vector<QEL_HOLDER> holders = liveHolders(looked);
    QEL_SHM_ENTRY item{};
    item.kind = header->type;
    item.name = looked.named ? looked.name.c_str() : nullptr;
    item.path = looked.path.c_str();
    if (header->type == static_cast<uint32_t>(ObjectType::Segment)) {
        item.size = header->segmentSize;
        item.base = looked.file.map + header->dataOffset;
    }
    item.holders = holders.data();
    item.holderCount = holders.size();
    item.file = looked.file.map;
    item.device = looked.file.device;
    item.inode = looked.file.inode;
    return visitor(&item, context);
}

// The object directory for a look; -1 (problem set) when it cannot be used.
int openDirectory(bool* shared, std::string* path, std::string* problem) {
    const qel::StoreDirectory where = qel::storeDirectory();
    *path = where.path;
    return qel::openStoreDirectory(where, false, shared, problem);
}

// Every entry of the directory, by name.
std::vector<std::string> entriesOf(int dirFd) {
    std::vector<std::string> names;
    int fd = qel::sys::dupAbove(dirFd, 3);
    DIR* dir = fd >= 0 ? fdopendir(fd) : nullptr;
    if (dir == nullptr) {
        if (fd >= 0) {
            qel::sys::close(fd);
        }
        return names;
    }
    rewinddir(dir);
    while (dirent* entry = readdir(dir)) {
        names.emplace_back(entry->d_name);
    }
    closedir(dir);
    return names;
}

// The segment called name, looked at (writable: to change it).
QEL_STATUS lookAtSegment(const char* name, bool writable, Looked* looked) {
    bool shared;
    std::string directory, problem;
    int fd = openDirectory(&shared, &directory, &problem);
    if (fd < 0) {
        return problem.empty() ? QEL_E_NOT_FOUND : QEL_E_ACCESS;
    }
    const std::string entry = qel::encodeName(ObjectType::Segment, name);
    QEL_STATUS status =
        lookAt(fd, shared, directory, entry.c_str(), ObjectType::Segment, writable, looked);
    qel::sys::close(fd);
    return status;
}

// One repair (see qelRepairStore) of the entry of the directory.
QEL_STATUS repairEntry(int dirFd, bool shared, const std::string& directory,
                       const std::string& entry, const qel::Deadline& bound,
                       QEL_REPAIR_VISITOR visitor, void* context) {
    const uint32_t kind = qel::kindOfFileName(entry.c_str());
    QEL_REPAIR_ITEM item{};
    const std::string path = directory + "/" + entry;
    item.path = path.c_str();
    struct stat st;
    if (kind == 0 || qel::sys::fstatat(dirFd, entry.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        return QEL_E_NOT_FOUND;
    }
    if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) {
        // Never made by the library, and no user's object lives in one: it only blocks the
        // name for every program of the user.
        if (qel::sys::unlinkat(dirFd, entry.c_str(), 0) == 0) {
            item.action = QEL_REPAIR_PLANTED;
            visitor(&item, context);
        }
        return QEL_OK;
    }
    Looked looked;
    if (lookAt(dirFd, shared, directory, entry.c_str(), static_cast<ObjectType>(kind), true,
               &looked) != QEL_OK) {
        return QEL_E_NOT_FOUND;
    }
    item.kind = kind;
    item.name = looked.named ? looked.name.c_str() : nullptr;
    qel::store::TableLock lock(looked.file.map,
                               bound.forever ? QEL_INFINITE : qel::millisecondsLeft(bound));
    if (!lock.held()) {
        item.action = QEL_REPAIR_BUSY;
        visitor(&item, context);
        return QEL_E_TIMEOUT;
    }
    qel::store::HolderTable table(looked.file.map, looked.file.covered, looked.file.device,
                                  looked.file.inode);
    if (!live(looked)) {
        // Marked dead by a remover that did not live to unlink it: only the name is left.
        qel::store::removeObject(&looked.file);
        item.action = QEL_REPAIR_REMOVED;
        visitor(&item, context);
        return QEL_OK;
    }
    uint32_t* count = table.segmentCount();
    item.connectionsBefore = count != nullptr ? *count : 0;
    qel::registry::Identity me{};
    qel::registry::current(&me);
    const uint32_t before = table.count();
    const bool live = table.valid() && table.takeBackDead(me);
    item.deadHolders = before - table.count();
    item.connectionsAfter = count != nullptr ? *count : 0;
    if (!live) {
        qel::store::removeObject(&looked.file);
        item.action = QEL_REPAIR_REMOVED;
    } else {
        // A segment's dead holders that held only copies made by fork change nothing a user
        // sees: only a count that changed is a repair.
        const bool changed = count != nullptr ? item.connectionsBefore != item.connectionsAfter
                                              : item.deadHolders != 0;
        item.action = changed ? QEL_REPAIR_TAKEN_BACK : QEL_REPAIR_SOUND;
    }
    visitor(&item, context);
    return QEL_OK;
}

}  // namespace

extern "C" {

void qelShmProblem(char* buffer, size_t size) {
    bool shared;
    std::string path, problem;
    int fd = openDirectory(&shared, &path, &problem);
    if (fd >= 0) {
        qel::sys::close(fd);
    }
    snprintf(buffer, size, "%s", problem.c_str());
}

QEL_STATUS qelEnumShMem(unsigned int kinds, QEL_SHM_VISITOR visitor, void* context) {
    if (visitor == nullptr) {
        return QEL_E_INVALID;
    }
    bool shared;
    std::string directory, problem;
    int fd = openDirectory(&shared, &directory, &problem);
    if (fd < 0) {
        return problem.empty() ? QEL_OK : QEL_E_ACCESS;
    }
    for (const std::string& entry : entriesOf(fd)) {
        const uint32_t kind = qel::kindOfFileName(entry.c_str());
        const bool segment = kind == static_cast<uint32_t>(ObjectType::Segment);
        Looked looked;
        if (kind == 0 || (kinds & (segment ? QEL_CATALOG_SEGMENTS : QEL_CATALOG_SYNC)) == 0) {
            continue;
        }
        const QEL_STATUS status = lookAt(fd, shared, directory, entry.c_str(),
                                         static_cast<ObjectType>(kind), false, &looked);
        int stop = 0;
        if (status == QEL_OK) {
            stop = live(looked) ? visit(looked, visitor, context) : 0;
        } else if (status != QEL_E_NOT_FOUND && (kinds & QEL_CATALOG_PROBLEMS) != 0) {
            const std::string path = directory + "/" + entry;
            QEL_SHM_ENTRY item{};
            item.kind = kind;
            item.path = path.c_str();
            item.problem = status == QEL_E_ACCESS      ? "permission denied"
                           : status == QEL_E_NO_MEMORY ? "cannot be mapped"
                                                       : "not an object file this user can trust";
            stop = visitor(&item, context);
        }
        if (stop != 0) {
            break;
        }
    }
    qel::sys::close(fd);
    return QEL_OK;
}

QEL_STATUS qelInspectShMem(const char* name, QEL_SHM_VISITOR visitor, void* context) {
    if (name == nullptr || visitor == nullptr) {
        return QEL_E_INVALID;
    }
    Looked looked;
    QEL_STATUS status = lookAtSegment(name, false, &looked);
    // A name too long to be kept is known by its hash alone; any other must match.
    if (status == QEL_OK && ((looked.named && looked.name != name) || !live(looked))) {
        status = QEL_E_NOT_FOUND;
    }
    if (status == QEL_OK) {
        visit(looked, visitor, context);
    }
    return status;
}

QEL_STATUS qelRepairStore(const char* segmentName, long timeoutMs, QEL_REPAIR_VISITOR visitor,
                          void* context) {
    if (visitor == nullptr) {
        return QEL_E_INVALID;
    }
    bool shared;
    std::string directory, problem;
    int fd = openDirectory(&shared, &directory, &problem);
    if (fd < 0) {
        return problem.empty() ? (segmentName != nullptr ? QEL_E_NOT_FOUND : QEL_OK) : QEL_E_ACCESS;
    }
    std::vector<std::string> entries;
    if (segmentName != nullptr) {
        entries = {qel::encodeName(ObjectType::Segment, segmentName),
                   qel::encodeName(ObjectType::Mutex,
                                   (std::string(segmentName) + qel::kSegmentMutexSuffix).c_str())};
    } else {
        entries = entriesOf(fd);
    }
    const qel::Deadline bound = qel::deadlineAfter(static_cast<unsigned long long>(timeoutMs));
    QEL_STATUS status = QEL_OK;
    bool segmentSeen = false;
    for (size_t i = 0; i < entries.size(); ++i) {
        QEL_STATUS one = repairEntry(fd, shared, directory, entries[i], bound, visitor, context);
        segmentSeen = segmentSeen || (i == 0 && one != QEL_E_NOT_FOUND);
        status = one == QEL_E_TIMEOUT ? one : status;
    }
    qel::sys::close(fd);
    // Processes that all ended without exit() leave the registry: it goes, and with it the
    // default directory when nothing else is left there.
    if (qel::registry::removeIfUnused()) {
        qel::store::removeDefaultDirectory();
    }
    return segmentName != nullptr && !segmentSeen && status == QEL_OK ? QEL_E_NOT_FOUND : status;
}

QEL_STATUS qelRemoveShMem(const char* name, int force, long timeoutMs, unsigned int* inUse) {
    if (name == nullptr) {
        return QEL_E_INVALID;
    }
    Looked looked;
    QEL_STATUS status = lookAtSegment(name, true, &looked);
    if (status != QEL_OK) {
        return status;
    }
    qel::store::TableLock lock(looked.file.map, timeoutMs);
    if (!lock.held()) {
        return QEL_E_TIMEOUT;
    }
    if (!live(looked)) {
        return QEL_E_NOT_FOUND;
    }
    const unsigned int users = static_cast<unsigned int>(liveHolders(looked).size());
    if (inUse != nullptr) {
        *inUse = users;
    }
    if (users != 0 && !force) {
        return QEL_E_EXISTS;
    }
    qel::store::removeObject(&looked.file);
    return QEL_OK;
}

}  // extern "C"
