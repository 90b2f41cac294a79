// Shared-memory segments: a named file of a header page plus the payload, mapped shared with
// an inaccessible page after it (qelStore.cpp). The address handed out is the payload's, one
// page into the mapping. A segment outlives the processes that use it until qelDeallocShMem
// removes it.
//
// Fork: a child's copy of an open segment object is not a connection of its own. The
// library's Close takes one connection from the count at the segment's start and then
// detaches, or deallocates when that was the last; for a handle the calling process did not
// open (inherited across fork) detach gives that connection back and deallocation only
// unmaps, so a child's exit never takes its parent's connection or frees its segment.
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

// The operators' marker /opt/zol/ftok/<name>, an empty file (0644, narrowed by the umask),
// for names that are one plain path component (hasKeyFile). The path is walked one directory
// at a time without following links, and the file is created exclusively: a link planted at
// its path is left as it is, and nothing is written through it. Failing is not an error.
void createKeyFile(const char* name) {
    int ftok = qel::hasKeyFile(name) ? qel::openKeyDirectory(true) : -1;
    if (ftok < 0) {
        return;
    }
    int fd = qel::aboveStdio(
        openat(ftok, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
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
    *handle = qel::liveRecord(record, qel::kSegmentTag);
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
    // Smaller than the library's connection count: every later user would count past the
    // end (a size that wrapped, for instance).
    if (size < qel::kSegmentCountSize) {
        return QEL_E_INVALID;
    }
    return makeSegment(name, qel::OpenMode::CreateExclusive, size, segment, base);
}

void qelRemoveKeyFile(const char* name) {
    qel::removeKeyFile(name);
}

QEL_STATUS qelDetachShMem(long* segment, void** base) {
    Segment* record = takeSegment(segment, base);
    if (record == nullptr) {
        return QEL_E_BAD_HANDLE;
    }
    if (record->file.opener != qel::ownPid()) {
        // Inherited: the library's Close has just taken a connection this process never made.
        __atomic_add_fetch(reinterpret_cast<uint32_t*>(record->file.map + qel::kNamedFileSize), 1u,
                           __ATOMIC_RELAXED);
    }
    qel::closeNamed(&record->file);
    qel::freeRecord(record, qel::kSegmentTag);
    return QEL_OK;
}

QEL_STATUS qelDeallocShMem(long* segment, void** base) {
    Segment* record = takeSegment(segment, base);
    if (record == nullptr) {
        return QEL_E_BAD_HANDLE;
    }
    QEL_STATUS status = QEL_E_NOT_OWNER;
    if (record->file.opener != qel::ownPid()) {
        qel::closeNamed(&record->file);  // inherited: the segment stays with its parent
    } else {
        status = qel::destroyNamed(&record->file);
    }
    qel::freeRecord(record, qel::kSegmentTag);
    return status;
}

}  // extern "C"
