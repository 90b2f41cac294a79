// Shared-memory segments: a named file of a header page plus the segment, mapped shared with
// an inaccessible page right after it (qelStore.cpp). The address handed out is the
// segment's first byte, its connection count, which this layer alone keeps: each handle is
// one connection of its process, listed with the process in the file's holder table, and the
// count is their sum. So the connections of a process that died are taken back by whoever
// next looks at its entry, and the segment goes with its last live connection.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "qelInternal.h"
#include "qelSys.h"

namespace {

struct Segment : qel::Record {
    qel::NamedFile file;
};

using SegmentPtr = qel::RecordPtr<Segment, qel::kSegmentTag>;

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
        qel::sys::openat(ftok, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (fd >= 0) {
        qel::sys::close(fd);
    }
    qel::sys::close(ftok);
}

QEL_STATUS makeSegment(const char* name, qel::OpenMode mode, unsigned int size, long* handle,
                       void** base) {
    if (name == nullptr || handle == nullptr || base == nullptr) {
        return QEL_E_INVALID;
    }
    SegmentPtr record = SegmentPtr::create();
    if (!record) {
        return QEL_E_NO_MEMORY;
    }
    record->file = qel::NamedFile{};
    QEL_STATUS status =
        qel::openNamed(qel::ObjectType::Segment, name, mode, nullptr, size, &record->file);
    if (status != QEL_OK) {
        return status;
    }
    if (mode == qel::OpenMode::CreateExclusive) {
        createKeyFile(name);
    }
    *base = record->file.map + reinterpret_cast<qel::StoreHeader*>(record->file.map)->dataOffset;
    record.publish(handle);
    return QEL_OK;
}

}  // namespace

extern "C" {

QEL_STATUS qelAttachShMem(const char* name, long* segment, void** base) {
    return makeSegment(name, qel::OpenMode::OpenExisting, 0, segment, base);
}

QEL_STATUS qelAllocShMem(const char* name, unsigned int size, long* segment, void** base) {
    // Smaller than the connection count: every user would count past the end (a size that
    // wrapped, for instance).
    if (size < qel::kSegmentCountSize) {
        return QEL_E_INVALID;
    }
    return makeSegment(name, qel::OpenMode::CreateExclusive, size, segment, base);
}

QEL_STATUS qelCountShMem(long segment, unsigned int* connections) {
    Segment* record = SegmentPtr::find(segment);
    if (record == nullptr || connections == nullptr) {
        return QEL_E_BAD_HANDLE;
    }
    return qel::countConnections(&record->file, connections);
}

void qelRemoveKeyFile(const char* name) {
    qel::removeKeyFile(name);
}

QEL_STATUS qelDetachShMem(long* segment, void** base) {
    SegmentPtr record = SegmentPtr::take(segment);
    if (!record) {
        return QEL_E_BAD_HANDLE;
    }
    if (base != nullptr) {
        *base = nullptr;
    }
    qel::closeNamed(&record->file);
    return QEL_OK;
}

QEL_STATUS qelDeallocShMem(long* segment, void** base) {
    SegmentPtr record = SegmentPtr::take(segment);
    if (!record) {
        return QEL_E_BAD_HANDLE;
    }
    if (base != nullptr) {
        *base = nullptr;
    }
    return qel::destroyNamed(&record->file);
}

}  // extern "C"
