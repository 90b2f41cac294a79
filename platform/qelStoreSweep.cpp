// Stale files: objects whose holders have all ended without closing, which nobody opens
// again. A few directory entries are looked at on every 32nd creation and at the exit of a
// process that made objects (the last process to leave looks at them all), from where the
// last look stopped; each look opens the directory afresh, so the sweep keeps no descriptor
// between looks. The sweep removes whole objects only: the dead holders of an object that
// still has a live one are taken back by the opens and closes of its name, under the
// segment's mutex where the library holds one.
#include <dirent.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include "qelStoreParts.h"
#include "qelSys.h"

namespace qel {
namespace store {
namespace {

Mutex g_sweepLock;
// Where the next look starts, in the directory g_sweepDirectory.
off_t g_sweepOffset QEL_GUARDED_BY(g_sweepLock) = 0;
ino_t g_sweepDirectory QEL_GUARDED_BY(g_sweepLock) = 0;

// Whether the object file entry, of kind type, had no live holder and was removed. Never
// waits: a table lock that is held means a live holder at work.
bool removeIfStale(int dirFd, bool shared, const char* entry, ObjectType type) {
    int fd = aboveStdio(sys::openat(dirFd, entry, O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (fd < 0) {
        return false;
    }
    struct stat st;
    StoreHeader header;
    NamedFile file;
    bool mapped = fileTrusted(fd, shared, &st) && readHeader(fd, type, &header, st.st_size) &&
                  mapObject(fd, static_cast<size_t>(st.st_size), &file) == QEL_OK;
    sys::close(fd);
    if (!mapped) {
        return false;
    }
    file.type = type;
    file.device = st.st_dev;
    file.inode = st.st_ino;
    bool removed = false;
    {
        TableLock lock(file.map, 0);
        registry::Identity me{};
        registry::current(&me);
        HolderTable table(file.map, file.covered, file.device, file.inode);
        // A dead one's remover did not live to unlink it; a live one may have no holder left.
        if (lock.held() &&
            (__atomic_load_n(&headerOf(file.map)->state, __ATOMIC_ACQUIRE) != kStateLive ||
             (table.valid() && !table.anyLive(me, true, false)))) {
            removeObject(&file);
            removed = true;
        }
    }
    unmap(&file);
    return removed;
}

}  // namespace
}  // namespace store

using namespace store;

size_t sweepStale(size_t limit) {
    MutexLock guard(g_sweepLock, std::defer_lock);
    const bool held = guard.TryLock();
    DirUse dir(false);
    struct stat st;
    if (!held || !dir.ok() || sys::fstat(dir.fd(), &st) != 0) {
        return 0;
    }
    if (g_sweepDirectory != st.st_ino) {
        g_sweepDirectory = st.st_ino;
        g_sweepOffset = 0;
    }
    // A descriptor of its own: a directory's read position belongs to its open file.
    int fd = aboveStdio(sys::openat(dir.fd(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd < 0) {
        return 0;
    }
    size_t seen = 0;
    alignas(8) char buffer[4096];
    if (sys::lseek(fd, g_sweepOffset, SEEK_SET) != g_sweepOffset) {
        g_sweepOffset = 0;
        limit = 0;
    }
    while (seen < limit) {
        ssize_t got = sys::getdents(fd, buffer, sizeof buffer);
        if (got <= 0) {
            g_sweepOffset = 0;  // the end: the next look starts again from the beginning
            break;
        }
        for (ssize_t at = 0; at < got && seen < limit; ++seen) {
            const auto* entry = reinterpret_cast<const struct dirent64*>(buffer + at);
            at += entry->d_reclen;
            g_sweepOffset = entry->d_off;
            if (uint32_t kind = kindOfFileName(entry->d_name)) {
                removeIfStale(dir.fd(), dir.shared(), entry->d_name, static_cast<ObjectType>(kind));
            }
        }
    }
    sys::close(fd);
    return seen;
}

}  // namespace qel
