// Shared-memory segments: a named file of a header page plus the payload, mapped shared. The
// address handed out is the payload's, one page into the mapping. A segment outlives the
// processes that use it until qelDeallocShMem removes it.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "qelInternal.h"

namespace {

struct Segment : qel::Record {
    qel::NamedFile file;
};

// Opens the directory name inside parent, creating it (0755, narrowed by the umask) when it
// is missing. A symbolic link in its place is refused, not followed: whoever could plant one
// must not be able to steer key files into a directory of their choosing.
int openKeyDirectory(int parent, const char* name) {
    mkdirat(parent, name, 0755);  // EEXIST is the usual case
    return openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

// The operators' marker /opt/zol/ftok/<name>, an empty file (0644, narrowed by the umask).
// Only names that are one plain path component get one, so no name can place a file anywhere
// else. The path is walked one directory at a time below /opt without following symbolic
// links, and the file is created exclusively: a link planted at its path is left as it is,
// and nothing is written through it. Failing to create it is not an error.
void createKeyFile(const char* name) {
    size_t length = strlen(name);
    if (length == 0 || length > NAME_MAX || strchr(name, '/') != nullptr ||
        strcmp(name, ".") == 0 || strcmp(name, "..") == 0) {
        return;
    }
    int opt = open("/opt", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (opt < 0) {
        return;
    }
    int zol = openKeyDirectory(opt, "zol");
    close(opt);
    if (zol < 0) {
        return;
    }
    int ftok = openKeyDirectory(zol, "ftok");
    close(zol);
    if (ftok < 0) {
        return;
    }
    int fd = openat(ftok, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd >= 0) {
        close(fd);
    }
    close(ftok);
}

QEL_STATUS makeSegment(const char* name, qel::OpenMode mode, unsigned int size, long* handle,
                       void** base) {
    if (name == nullptr || handle == nullptr || base == nullptr) {
        return QEL_E_INVALID;
    }
    auto* record = static_cast<Segment*>(qel::allocRecord(sizeof(Segment), qel::kSegmentTag));
    if (record == nullptr) {
        return QEL_E_NO_MEMORY;
    }
    record->file = qel::NamedFile{};
    QEL_STATUS status =
        qel::openNamed(qel::ObjectType::Segment, name, mode, nullptr, size, &record->file);
    if (status != QEL_OK) {
        qel::freeRecord(record, qel::kSegmentTag);
        return status;
    }
    if (mode == qel::OpenMode::CreateExclusive) {
        createKeyFile(name);
    }
    qel::liveRecord(record, qel::kSegmentTag);
    *handle = reinterpret_cast<long>(record);
    *base = record->file.map + qel::kNamedFileSize;
    return QEL_OK;
}

// Takes the segment out of the handle table; nullptr when the handle is not a live segment.
Segment* takeSegment(long* handle, void** base) {
    if (handle == nullptr) {
        return nullptr;
    }
    auto* record = qel::fromHandle<Segment>(*handle, qel::kSegmentTag);
    if (record == nullptr) {
        return nullptr;
    }
    *handle = 0;
    if (base != nullptr) {
        *base = nullptr;
    }
    __atomic_store_n(&record->tag, qel::kDeadTag, __ATOMIC_RELEASE);
    return record;
}

}  // namespace

extern "C" {

QEL_STATUS qelAttachShMem(const char* name, long* segment, void** base) {
    return makeSegment(name, qel::OpenMode::OpenExisting, 0, segment, base);
}

QEL_STATUS qelAllocShMem(const char* name, unsigned int size, long* segment, void** base) {
    return makeSegment(name, qel::OpenMode::CreateExclusive, size, segment, base);
}

QEL_STATUS qelDetachShMem(long* segment, void** base) {
    Segment* record = takeSegment(segment, base);
    if (record == nullptr) {
        return QEL_E_BAD_HANDLE;
    }
    qel::closeNamed(qel::ObjectType::Segment, &record->file);
    qel::freeRecord(record, qel::kSegmentTag);
    return QEL_OK;
}

QEL_STATUS qelDeallocShMem(long* segment, void** base) {
    Segment* record = takeSegment(segment, base);
    if (record == nullptr) {
        return QEL_E_BAD_HANDLE;
    }
    QEL_STATUS status = qel::destroyNamed(&record->file);
    qel::freeRecord(record, qel::kSegmentTag);
    return status;
}

}  // extern "C"
