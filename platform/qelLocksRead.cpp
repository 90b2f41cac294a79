// Reading the store for `zoltov locks` and the deadlock check (see qelLocks.h): the object
// files through the catalogue, the waits from the wait board, and who a thread id belongs to
// from /proc. Every file is mapped read-only and read without its table lock, so a process
// stopped or killed anywhere cannot hold the reader up; a value caught while it changes is
// only as old as the moment it was read.
#include <fcntl.h>
#include <linux/futex.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <memory>
#include <utility>

#include "qelLocks.h"
#include "qelShmCatalog.h"
#include "qelStoreParts.h"
#include "qelSys.h"
#include "qelWaitBoard.h"

namespace qel {
namespace locks {
namespace {

// The number after field ("Tgid:", "Threads:") in /proc/<id>/status; 0 when not known.
unsigned procStatus(int id, const char* field) {
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/status", id);
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    char text[4096];
    ssize_t n = fd >= 0 ? read(fd, text, sizeof text - 1) : -1;
    if (fd >= 0) {
        close(fd);
    }
    text[n > 0 ? n : 0] = '\0';
    const char* at = strstr(text, field);
    return at != nullptr ? static_cast<unsigned>(strtoul(at + strlen(field), nullptr, 10)) : 0;
}

std::string procCommand(int pid) {
    const std::string text = std::to_string(pid);
    char command[32] = "";
    int fd = open(("/proc/" + text + "/comm").c_str(), O_RDONLY | O_CLOEXEC);
    ssize_t n = fd >= 0 ? read(fd, command, sizeof command - 1) : -1;
    if (fd >= 0) {
        close(fd);
    }
    command[n > 0 ? n : 0] = '\0';
    command[strcspn(command, "\n")] = '\0';
    return command;
}

// Acquire loads: a record's fields are read before the sequence that confirms them.
template <typename T>
T loaded(const void* at) {
    return __atomic_load_n(static_cast<const T*>(at), __ATOMIC_ACQUIRE);
}

struct Reader {
    Snapshot* out;
    Deadline bound;
    uint64_t ownNamespace;
    bool stopped = false;
};

// The owner of a locked mutex: its thread id from the robust mutex's word, the process from
// /proc (where the mutex's PID namespace is the reader's).
void readMutex(const unsigned char* object, bool local, Object* o) {
    const auto* mutex = reinterpret_cast<const pthread_mutex_t*>(object);
    const unsigned word = loaded<unsigned>(&mutex->__data.__lock);
    const int tid = static_cast<int>(word & FUTEX_TID_MASK);
    o->abandoned = (word & FUTEX_OWNER_DIED) != 0;  // the kernel's mark: died holding it
    o->locked = tid != 0;
    if (!o->locked) {
        return;
    }
    o->depth = loaded<unsigned>(&mutex->__data.__count);
    o->owner.tid = tid;
    o->owner.pid = local ? static_cast<int>(procStatus(tid, "\nTgid:")) : 0;
    for (const Holder& h : o->holders) {
        if (h.process.pid == o->owner.pid) {
            o->owner.command = h.process.command;
        }
    }
    if (o->owner.pid != 0 && o->owner.command.empty()) {
        o->owner.command = procCommand(o->owner.pid);
    }
}

int collect(const QEL_SHM_ENTRY* entry, void* context) {
    Reader* r = static_cast<Reader*>(context);
    if (deadlinePassed(r->bound)) {
        r->stopped = true;
        return 1;
    }
    if (entry->problem != nullptr) {
        r->out->unread.push_back(std::string(entry->path) + ": " + entry->problem);
        return 0;
    }
    Object o;
    o.type = static_cast<ObjectType>(entry->kind);
    o.named = entry->name != nullptr;
    o.name = o.named ? entry->name : "";
    o.path = entry->path;
    o.device = entry->device;
    o.inode = entry->inode;
    const StoreHeader* header = reinterpret_cast<const StoreHeader*>(entry->file);
    const bool local = header->pidNamespace == 0 || r->ownNamespace == 0 ||
                       header->pidNamespace == r->ownNamespace;
    for (size_t i = 0; i < entry->holderCount; ++i) {
        const QEL_HOLDER& h = entry->holders[i];
        Holder holder{{h.pid, 0, h.command}, h.handles, h.connections, 0};
        if (o.type == ObjectType::Event && local) {
            holder.threads = procStatus(h.pid, "\nThreads:");
        }
        o.holders.push_back(holder);
    }
    const unsigned char* object = entry->file + kObjectOffset;
    if (o.type == ObjectType::Mutex) {
        readMutex(object, local, &o);
    } else if (o.type == ObjectType::Event) {
        o.set = (loaded<uint32_t>(object) & 1) != 0;
        o.modes = loaded<uint32_t>(entry->file + waits::kEventModesOffset) &
                  (waits::kModeManual | waits::kModeAuto);
    } else {
        o.size = entry->size;
        o.connections = loaded<uint32_t>(entry->base);
    }
    r->out->objects.push_back(std::move(o));
    return 0;
}

// Copies record as it stood at one moment (its sequence the same and even before and after):
// 1 for a wait, 0 for none, -1 when it kept changing (its thread stopped while rewriting it).
int copyRecord(const waits::WaitRecord* record, waits::WaitRecord* copy) {
    for (int attempt = 0; attempt < 4; ++attempt) {
        const uint32_t sequence = __atomic_load_n(&record->sequence, __ATOMIC_ACQUIRE);
        if ((sequence & 1) != 0) {
            continue;
        }
        copy->state = loaded<uint32_t>(&record->state);
        copy->tid = loaded<int32_t>(&record->tid);
        copy->type = loaded<uint32_t>(&record->type);
        copy->count = std::min(loaded<uint32_t>(&record->count), waits::kMaxWaitObjects);
        copy->flags = loaded<uint32_t>(&record->flags);
        copy->since = loaded<uint64_t>(&record->since);
        for (uint32_t i = 0; i < copy->count; ++i) {
            copy->objects[i].device = loaded<uint64_t>(&record->objects[i].device);
            copy->objects[i].inode = loaded<uint64_t>(&record->objects[i].inode);
            copy->objects[i].resets = loaded<uint32_t>(&record->objects[i].resets);
        }
        if (__atomic_load_n(&record->sequence, __ATOMIC_RELAXED) == sequence) {
            return copy->state == waits::kRecordWaiting ? 1 : 0;
        }
    }
    return -1;
}

// The waits of one area, when its process lives.
void readArea(const unsigned char* area, size_t readable, uint32_t slot, Reader& r,
              const std::map<std::pair<uint64_t, uint64_t>, size_t>& byFile,
              waits::WaitRecord& copy) {
    const auto* header = reinterpret_cast<const waits::AreaHeader*>(area);
    const int pid = __atomic_load_n(&header->pid, __ATOMIC_ACQUIRE);
    HolderEntry owner{loaded<uint32_t>(&header->slot),
                      loaded<uint32_t>(&header->generation),
                      loaded<uint32_t>(&header->epoch),
                      0,
                      0,
                      0};
    char command[16] = "";
    int registeredPid = 0;
    if (owner.slot != slot || !registry::describe(owner, &registeredPid, command)) {
        return;  // never used, or its process has ended: its waits went with it
    }
    const uint32_t records =
        std::min(__atomic_load_n(&header->records, __ATOMIC_ACQUIRE), waits::kAreaRecords);
    if (const uint32_t lost = loaded<uint32_t>(&header->unrecorded)) {
        r.out->unread.push_back("pid " + std::to_string(pid) + ": " + std::to_string(lost) +
                                " wait(s) not recorded (more than " +
                                std::to_string(waits::kAreaRecords) + " at once)");
    }
    for (uint32_t i = 0; i < records && (2 + size_t{i}) * kPageSize <= readable; ++i) {
        const auto* record =
            reinterpret_cast<const waits::WaitRecord*>(area + (1 + size_t{i}) * kPageSize);
        const int copied = copyRecord(record, &copy);
        if (copied < 0) {
            r.out->unread.push_back("pid " + std::to_string(pid) +
                                    ": a wait record that kept changing");
        }
        if (copied <= 0) {
            continue;
        }
        Waiting w;
        w.thread = Thread{pid, copy.tid, command};
        w.type = static_cast<ObjectType>(copy.type);
        w.partial = (copy.flags & waits::kRecordPartial) != 0;
        for (uint32_t k = 0; k < copy.count; ++k) {
            auto found = byFile.find({copy.objects[k].device, copy.objects[k].inode});
            if (found == byFile.end()) {
                w.partial = true;  // made or read after the walk: not in this snapshot
                continue;
            }
            w.objects.push_back(found->second);
            r.out->objects[found->second].waiters.push_back(
                Waiter{w.thread, copy.since, copy.objects[k].resets != 0});
        }
        if (!w.objects.empty()) {
            r.out->waiting.push_back(std::move(w));
        }
    }
}

void readBoard(int dirFd, bool shared, Reader& r) {
    int fd = aboveStdio(
        sys::openat(dirFd, waits::kWaitBoardFile, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat st;
    waits::BoardHeader header{};
    const bool usable = fd >= 0 && fileTrusted(fd, shared, &st) &&
                        sys::pread(fd, &header, sizeof header, 0) == sizeof header &&
                        header.magic == waits::kBoardMagic &&
                        header.areaPages * kPageSize == waits::kAreaSize;
    void* map =
        usable ? sys::mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ, MAP_SHARED, fd, 0)
               : MAP_FAILED;
    if (fd >= 0) {
        sys::close(fd);
    }
    if (map == MAP_FAILED) {
        if (fd >= 0 || errno != ENOENT) {
            r.out->unread.push_back(storeDirectory().path + "/" + waits::kWaitBoardFile +
                                    ": the waits could not be read");
        }
        return;
    }
    std::map<std::pair<uint64_t, uint64_t>, size_t> byFile;
    for (size_t i = 0; i < r.out->objects.size(); ++i) {
        byFile[{r.out->objects[i].device, r.out->objects[i].inode}] = i;
    }
    const size_t size = static_cast<size_t>(st.st_size);
    std::unique_ptr<waits::WaitRecord> copy(new waits::WaitRecord);  // a page: not on the stack
    for (uint32_t slot = 0; waits::areaOffset(slot) + kPageSize <= size; ++slot) {
        if (deadlinePassed(r.bound)) {
            r.stopped = true;
            break;
        }
        readArea(static_cast<const unsigned char*>(map) + waits::areaOffset(slot),
                 size - waits::areaOffset(slot), slot, r, byFile, *copy);
    }
    sys::munmap(map, size);
}

}  // namespace

bool readSnapshot(long boundMs, Snapshot* out, std::string* problem) {
    *out = Snapshot{};
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    out->takenNs =
        static_cast<uint64_t>(now.tv_sec) * 1000000000u + static_cast<uint64_t>(now.tv_nsec);
    Reader r{out, deadlineAfter(static_cast<unsigned long long>(boundMs)), pidNamespaceId()};
    bool shared = false;
    const StoreDirectory where = storeDirectory();
    int dirFd = openStoreDirectory(where, false, &shared, problem);
    if (dirFd < 0) {
        return problem->empty();  // no directory yet: nothing to show
    }
    // Whether a holder or waiter lives is asked of the registry, which a reader joins first.
    registry::Identity me, replaced;
    if (!registry::self(&me, &replaced)) {
        sys::close(dirFd);
        *problem = where.path + "/" + kRegistryFile + " cannot be opened: " + qelFailureReason();
        return false;
    }
    if (qelEnumShMem(QEL_CATALOG_SEGMENTS | QEL_CATALOG_SYNC | QEL_CATALOG_PROBLEMS, collect, &r) !=
        QEL_OK) {
        sys::close(dirFd);
        char text[1024];
        qelShmProblem(text, sizeof text);
        *problem = text;
        return false;
    }
    std::stable_sort(out->objects.begin(), out->objects.end(),
                     [](const Object& a, const Object& b) {
                         return a.type != b.type   ? a.type < b.type
                                : a.name != b.name ? a.name < b.name
                                                   : a.path < b.path;
                     });
    if (!r.stopped) {
        readBoard(dirFd, shared, r);
    }
    sys::close(dirFd);
    if (r.stopped) {
        out->unread.push_back("the rest of " + where.path + ": not read within " +
                              std::to_string(boundMs) + " ms");
    }
    return true;
}

}  // namespace locks
}  // namespace qel
