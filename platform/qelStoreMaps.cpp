// This process's side of its holds: the list of them (one per handle, given up at exit and
// entered again for a forked child) and its mappings of named files, shared by later opens
// of the same file.
#include <sys/mman.h>

#include <map>
#include <unordered_map>
#include <utility>
#include <vector>

#include "qelStoreParts.h"
#include "qelSys.h"

namespace qel {
namespace store {

// Their places in the lock order are in qelStoreParts.h.
Mutex g_heldLock;
Mutex g_mapsLock;

namespace {

NamedFile* g_held QEL_GUARDED_BY(g_heldLock) = nullptr;

// This process's mappings by file name (NamedFile::key): those of its open handles, and
// mutex and event mappings parked by a close for the next open of the same file.
struct Mappings {
    std::vector<NamedFile*> open;
    std::vector<NamedFile> parked;
};
// Never destroyed: handles may still be closed while the process exits.
auto* const g_maps QEL_PT_GUARDED_BY(g_mapsLock) = new std::unordered_map<size_t, Mappings>;

bool sameFile(const NamedFile& a, const NamedFile& b) {
    return a.device == b.device && a.inode == b.inode;
}

}  // namespace

void rememberHold(NamedFile* file) {
    SuspendSignalBlock blocked;
    MutexLock guard(g_heldLock);
    file->prev = nullptr;
    file->next = g_held;
    if (g_held != nullptr) {
        g_held->prev = file;
    }
    g_held = file;
}

void forgetHold(NamedFile* file) {
    SuspendSignalBlock blocked;
    MutexLock guard(g_heldLock);
    (file->prev != nullptr ? file->prev->next : g_held) = file->next;
    if (file->next != nullptr) {
        file->next->prev = file->prev;
    }
    file->prev = file->next = nullptr;
}

bool anyHolds() {
    return g_held != nullptr;
}

void lockHolds() {
    g_heldLock.Lock();
}

void unlockHolds() {
    g_heldLock.Unlock();
}

void enterHolds(const registry::Identity& id, long timeoutMs, bool forChild,
                const registry::Identity* replacing) {
    // One entry per file, with as many handles as this process has on it.
    std::map<std::pair<dev_t, ino_t>, std::vector<NamedFile*>> files;
    for (NamedFile* file = g_held; file != nullptr; file = file->next) {
        if (file->opener == ownPid()) {
            files[{file->device, file->inode}].push_back(file);
        }
    }
    const Deadline bound = deadlineAfter(static_cast<unsigned long long>(timeoutMs));
    for (auto& [key, handles] : files) {
        NamedFile* file = handles.front();
        bool entered = false;
        {
            TableLock lock(file->map, bound.forever ? QEL_INFINITE : millisecondsLeft(bound));
            HolderTable table(file->map, file->covered, file->device, file->inode);
            // A child's copies of segment connections are not connections of its own: the count
            // stays what its users' opens made it.
            uint32_t connections = 0;
            for (NamedFile* handle : handles) {
                connections += !forChild && handle->connection ? 1 : 0;
            }
            entered =
                lock.held() &&
                __atomic_load_n(&headerOf(file->map)->state, __ATOMIC_ACQUIRE) == kStateLive &&
                table.valid() &&
                table.add(id, static_cast<uint32_t>(handles.size()), connections) >= 0;
        }
        for (NamedFile* handle : handles) {
            if (forChild) {
                handle->forkEntered = entered;
            } else if (!entered) {
                handle->opener = 0;  // no longer counted: closing it only unmaps
            }
        }
    }
}

void leaveAllHolds(long timeoutMs) {
    // The list stays locked throughout: a thread closing one of these handles meanwhile would
    // unmap the file under this walk, so it waits at its first step instead. A table lock is
    // held only for a moment (by an opener, a closer or another process's sweep), so each busy
    // one is waited for, within one bound for them all: a stopped holder delays the exit, it
    // does not hang it.
    MutexLock held(g_heldLock, std::defer_lock);
    if (!held.TryLock()) {
        return;
    }
    const Deadline bound = deadlineAfter(static_cast<unsigned long long>(timeoutMs));
    for (NamedFile* file = g_held; file != nullptr; file = file->next) {
        if (file->opener == ownPid()) {
            leaveTable(file, millisecondsLeft(bound));
        }
    }
}

void afterForkInChildHolds() {
    for (NamedFile* file = g_held; file != nullptr; file = file->next) {
        // Entered for the child before the fork: its own now. The others stay its parent's
        // (a close only unmaps them).
        if (file->forkEntered) {
            file->opener = ownPid();
            file->connection = false;
        }
        file->forkEntered = false;
    }
}

void afterForkInParentHolds() {
    for (NamedFile* file = g_held; file != nullptr; file = file->next) {
        file->forkEntered = false;
    }
}

void rememberMapping(NamedFile* file) {
    SuspendSignalBlock blocked;
    MutexLock guard(g_mapsLock);
    (*g_maps)[file->key].open.push_back(file);
}

void releaseMapping(NamedFile* file) {
    SuspendSignalBlock blocked;
    MutexLock guard(g_mapsLock);
    auto found = g_maps->find(file->key);
    if (found == g_maps->end()) {
        unmap(file);
        return;
    }
    Mappings& maps = found->second;
    bool held = false;    // another handle of this process still has the file
    bool shared = false;  // another handle uses this very mapping (segments share theirs)
    for (size_t i = 0; i < maps.open.size(); ++i) {
        if (maps.open[i] == file) {
            maps.open.erase(maps.open.begin() + static_cast<ptrdiff_t>(i--));
        } else {
            held = held || sameFile(*maps.open[i], *file);
            shared = shared || maps.open[i]->map == file->map;
        }
    }
    if (held && (shared || file->type != ObjectType::Segment) && file->opener == ownPid()) {
        // A mutex or event mapping is kept for the next open: no unmapping, and its pages
        // need no faulting in again. A segment mapping stays with its other handles.
        if (!shared) {
            maps.parked.push_back(*file);
        }
        *file = NamedFile{};
        return;
    }
    const NamedFile gone = *file;
    if (!shared) {
        unmap(file);
    }
    *file = NamedFile{};
    for (size_t i = 0; !held && i < maps.parked.size(); ++i) {
        if (sameFile(maps.parked[i], gone)) {
            unmap(&maps.parked[i]);
            maps.parked.erase(maps.parked.begin() + static_cast<ptrdiff_t>(i--));
        }
    }
    if (maps.open.empty() && maps.parked.empty()) {
        g_maps->erase(found);
    }
}

// A second mapping of a mutex's or event's pages: a robust mutex is linked into its holder's
// list through the address it was locked at, so each handle locks through its own.
static unsigned char* duplicate(const NamedFile& source) {
    void* map = sys::mremap(source.map, 0, source.covered, nullptr);
    return map == MAP_FAILED ? nullptr : static_cast<unsigned char*>(map);
}

bool copyMapping(size_t key, ObjectType type, const char* name, NamedFile* out) {
    SuspendSignalBlock blocked;
    MutexLock guard(g_mapsLock);  // no source is unmapped meanwhile
    auto found = g_maps->find(key);
    if (found == g_maps->end()) {
        return false;
    }
    Mappings& maps = found->second;
    // The newest first: an older file of the name may be one that was removed since.
    for (auto at = maps.open.rbegin(); at != maps.open.rend(); ++at) {
        NamedFile* file = *at;
        // Only a mapping this process made: a forked child opens a name afresh (and checks
        // its file), whatever it inherited.
        if (file->mappedBy != ownPid() || file->opener != ownPid() || file->type != type ||
            !headerMatches(file->map, type, name)) {
            continue;
        }
        *out = NamedFile{};
        for (size_t i = 0; i < maps.parked.size(); ++i) {
            if (sameFile(maps.parked[i], *file)) {
                *out = maps.parked[i];
                maps.parked.erase(maps.parked.begin() + static_cast<ptrdiff_t>(i));
                break;
            }
        }
        if (out->map == nullptr) {
            // A segment's handles share one mapping (its table lock is only ever held inside
            // one call); a mutex's or event's each have their own.
            out->map = file->type == ObjectType::Segment ? file->map : duplicate(*file);
            if (out->map == nullptr) {
                return false;
            }
            out->mapSize = file->mapSize;
            out->covered = file->covered;
        }
        out->type = type;
        out->opener = file->opener;
        out->mappedBy = file->mappedBy;
        out->device = file->device;
        out->inode = file->inode;
        out->key = key;
        out->entryHint = __atomic_load_n(&file->entryHint, __ATOMIC_RELAXED);
        maps.open.push_back(out);
        return true;
    }
    return false;
}

bool holdsFile(size_t key, dev_t device, ino_t inode) {
    SuspendSignalBlock blocked;
    MutexLock guard(g_mapsLock);
    auto found = g_maps->find(key);
    if (found != g_maps->end()) {
        for (const NamedFile* file : found->second.open) {
            if (file->device == device && file->inode == inode && file->opener == ownPid()) {
                return true;
            }
        }
    }
    return false;
}

void lockMappings() {
    g_mapsLock.Lock();
}

void unlockMappings() {
    g_mapsLock.Unlock();
}

}  // namespace store
}  // namespace qel
