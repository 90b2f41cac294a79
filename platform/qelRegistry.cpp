// The registry of live processes: claiming a slot, telling whether a holder lives, fork and
// exit. The model is a reader table whose liveness the kernel vouches for: each process holds
// an open-file-description write lock on its slot's byte, which the kernel drops when the
// process ends (a kill, _exit, a crash), and F_OFD_GETLK answers for any process whatever
// its pid, clock or PID namespace. One descriptor per process; nothing per object.
//
// Locks in this file: g_lock guards the process's registry state; it is taken under a table
// lock (alive) and takes the directory's lock (opening the file), never the other way round.
#include "qelRegistry.h"

#include <errno.h>
#include <linux/futex.h>
#include <pthread.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "qelStoreParts.h"
#include "qelSys.h"
#include "qelWaitBoard.h"

namespace qel {
namespace registry {

Mutex g_lock;

namespace {

// How many dead slots a registration looks at before it takes a new one: enough to reuse
// the slots of a few killed processes, few enough to cost little.
constexpr int kDeadSlotProbes = 8;
// How long an opener waits for the last process to finish removing the file.
constexpr int kRemovalWaitTries = 2000;  // of 1 ms each

struct State {
    int fd = -1;  // the registry file, with this process's locks on it
    dev_t device = 0;
    ino_t inode = 0;
    unsigned char* map = nullptr;  // the header and the slots up to mappedCapacity
    size_t mapSize = 0;
    uint32_t mappedCapacity = 0;
    Identity me{};
    bool registered = false;
    bool everRegistered = false;
    long long checkedAt = 0;  // when the descriptor was last seen to be ours (ms, coarse)
};

State g_state QEL_GUARDED_BY(g_lock);
struct Child {
    int fd = -1;
    Identity id{};
};
Child g_child QEL_GUARDED_BY(g_lock);  // the slot prepared for a child being forked

RegistryHeader* headerOf(unsigned char* map) {
    return reinterpret_cast<RegistryHeader*>(map);
}

RegistrySlot* slotOf(unsigned char* map, uint32_t slot) {
    return reinterpret_cast<RegistrySlot*>(map + kRegistrySlotsOffset +
                                           size_t{slot} * sizeof(RegistrySlot));
}

size_t sizeFor(uint32_t capacity) {
    return kRegistrySlotsOffset + size_t{capacity} * sizeof(RegistrySlot);
}

int lockByte(int fd, int command, short type, off_t byte) {
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = byte;
    lock.l_len = 1;
    return sys::fcntl(fd, command, &lock);
}

// Whether some other open file description holds a lock on byte: -1 when it cannot be told.
int lockedByOthers(int fd, off_t byte) {
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = byte;
    lock.l_len = 1;
    if (sys::fcntl(fd, F_OFD_GETLK, &lock) != 0) {
        return -1;
    }
    return lock.l_type != F_UNLCK ? 1 : 0;
}

uint32_t randomEpoch() {
    uint32_t epoch = 0;
    if (getrandom(&epoch, sizeof epoch, GRND_NONBLOCK) != sizeof epoch) {
        timespec now;
        clock_gettime(CLOCK_REALTIME, &now);
        epoch = static_cast<uint32_t>(now.tv_nsec) ^ static_cast<uint32_t>(getpid() << 16);
    }
    return epoch != 0 ? epoch : 1;
}

// Makes and names a new, empty registry file; -1 (errno EEXIST when another process named
// its own first).
int makeRegistry(store::DirUse& dir) {
    constexpr uint32_t kFirstCapacity = (kPageSize * 4) / sizeof(RegistrySlot);
    QEL_STATUS status;
    int fd = store::makeUnnamed(dir, sizeFor(kFirstCapacity), &status);
    if (fd < 0) {
        return -1;
    }
    RegistryHeader header{kRegistryMagic, kRegistryVersion, randomEpoch(), kFirstCapacity, 0, {}};
    if (pwrite(fd, &header, sizeof header, 0) != static_cast<ssize_t>(sizeof header) ||
        !store::linkName(fd, dir.fd(), kRegistryFile)) {
        int error = errno;
        sys::close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

// Opens the registry (making it when there is none) with this process's presence lock on it,
// through a new open file description; -1 when it cannot be had.
int openRegistry(dev_t* device, ino_t* inode) {
    store::DirUse dir(true);
    for (int attempt = 0; dir.ok() && attempt < kRemovalWaitTries; ++attempt) {
        int fd = aboveStdio(
            sys::openat(dir.fd(), kRegistryFile, O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        if (fd < 0 && errno == ENOENT) {
            fd = makeRegistry(dir);
            if (fd < 0 && (errno == EEXIST || dir.renewed())) {
                continue;
            }
        }
        struct stat st, named;
        RegistryHeader header;
        const bool trusted = fd >= 0 && fileTrusted(fd, dir.shared(), &st);
        const bool readable =
            trusted && st.st_size >= static_cast<off_t>(kRegistrySlotsOffset) &&
            sys::pread(fd, &header, sizeof header, 0) == static_cast<ssize_t>(sizeof header) &&
            header.magic == kRegistryMagic;
        if (readable && header.version != kRegistryVersion &&
            lockByte(fd, F_OFD_SETLK, F_WRLCK, kPresenceByte) == 0) {
            // Left by another version of the library, and used by no process any more.
            store::unlinkIfSame(dir.fd(), kRegistryFile, st.st_dev, st.st_ino);
            sys::close(fd);
            continue;
        }
        if (!readable || header.version != kRegistryVersion) {
            if (fd >= 0) {
                sys::close(fd);
                store::setReason(storeDirectory().path + "/" + kRegistryFile +
                                 (readable ? " belongs to another version of the library, "
                                             "which is still running"
                                           : " is not a registry this user can trust (a link, "
                                             "a special file, another owner or mode, or a "
                                             "damaged header)"));
            }
            return -1;
        }
        // The last process leaving holds the presence byte exclusively while it removes the
        // file; once held shared, the file must still be the one of that name.
        if (lockByte(fd, F_OFD_SETLK, F_RDLCK, kPresenceByte) != 0 ||
            sys::fstatat(dir.fd(), kRegistryFile, &named, AT_SYMLINK_NOFOLLOW) != 0 ||
            named.st_dev != st.st_dev || named.st_ino != st.st_ino) {
            sys::close(fd);
            usleep(1000);
            continue;
        }
        *device = st.st_dev;
        *inode = st.st_ino;
        return fd;
    }
    return -1;
}

// Maps the registry's header and slots as far as its header says it holds.
bool mapRegistry(State& state) QEL_REQUIRES(g_lock) {
    RegistryHeader header;
    if (sys::pread(state.fd, &header, sizeof header, 0) != static_cast<ssize_t>(sizeof header)) {
        return false;
    }
    const uint32_t capacity = header.capacity;
    struct stat st;
    if (sys::fstat(state.fd, &st) != 0 || static_cast<size_t>(st.st_size) < sizeFor(capacity)) {
        return false;  // a header that promises more than the file holds
    }
    void* map =
        sys::mmap(nullptr, sizeFor(capacity), PROT_READ | PROT_WRITE, MAP_SHARED, state.fd, 0);
    if (map == MAP_FAILED) {
        return false;
    }
    // The former mapping stays: a thread's robust list may link this process's slot's
    // "running" mutex through it (glibc writes to its neighbours in the list on every lock and
    // unlock of a robust mutex, and the kernel walks the list when the thread ends). The file
    // doubles as it grows, so what stays is less than what is mapped now.
    state.map = static_cast<unsigned char*>(map);
    state.mapSize = sizeFor(capacity);
    state.mappedCapacity = capacity;
    return true;
}

// The "running" mutex marks a live thread and guards nothing. ThreadSanitizer takes a mutex
// held for a thread's whole life for one taken before every other lock of that thread, and
// reports each of them as an inversion; its builds do without the mark (liveness is then
// always asked of the kernel, as for a process whose marking thread has ended).
#if defined(__SANITIZE_THREAD__)
constexpr bool kMarkRunning = false;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
constexpr bool kMarkRunning = false;
#else
constexpr bool kMarkRunning = true;
#endif
#else
constexpr bool kMarkRunning = true;
#endif

// Locks the slot's "running" mutex for the calling thread, taking it over from a thread that
// ended holding it.
void markRunning(RegistrySlot* s) {
    if (kMarkRunning && pthread_mutex_lock(&s->running) == EOWNERDEAD) {
        pthread_mutex_consistent(&s->running);
    }
}

// Whether a thread of the slot's owner still holds its "running" mutex, as far as memory
// tells: a holder's thread id, and no mark of its end.
bool runningFlag(const RegistrySlot* s) {
    const int word = __atomic_load_n(&s->running.__data.__lock, __ATOMIC_ACQUIRE);
    return (word & FUTEX_TID_MASK) != 0 && (word & FUTEX_OWNER_DIED) == 0;
}

// Takes the slot's "running" mutex from the owner before (a slot never owned has one made
// first): false when a live thread still holds it, which happens only when a live process
// lost its registry descriptor (see self()). The mutex is never made again while it may be
// on a live thread's robust list. A child's slot is left unmarked, for the child's thread.
bool takeRunning(RegistrySlot* s, bool fresh, bool forChild) {
    if (!kMarkRunning) {
        return true;
    }
    if (fresh) {
        pthread_mutexattr_t attr;
        pthread_mutexattr_init(&attr);
        pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
        pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
        pthread_mutex_init(&s->running, &attr);
        pthread_mutexattr_destroy(&attr);
    }
    int rc = pthread_mutex_trylock(&s->running);
    if (rc == EOWNERDEAD) {
        pthread_mutex_consistent(&s->running);
        rc = 0;
    }
    if (rc == 0 && forChild) {
        pthread_mutex_unlock(&s->running);
    }
    return rc == 0;
}

// Makes slot the caller's own through fd: false when its owner still lives, another process
// is claiming it, or (not fresh) it was never owned, as a slot just handed out at the end
// belongs to the process that grew the registry for it. Claimers take turns through the
// slot's claim byte, and the generation moves on before the lock is taken and the "running"
// mutex marked: whoever sees either held and an entry's generation unchanged afterwards knows
// that the entry's own process holds them (see alive()).
bool takeSlot(unsigned char* map, int fd, uint32_t slot, bool fresh, bool forChild, Identity* out) {
    RegistrySlot* s = slotOf(map, slot);
    const off_t byte = kSlotLockBase + slot, claimByte = kClaimLockBase + slot;
    if ((!fresh && (runningFlag(s) || __atomic_load_n(&s->generation, __ATOMIC_ACQUIRE) == 0)) ||
        lockByte(fd, F_OFD_SETLK, F_WRLCK, claimByte) != 0) {
        return false;
    }
    const uint32_t seen = __atomic_load_n(&s->generation, __ATOMIC_ACQUIRE);
    const uint32_t generation = seen + 1 != 0 ? seen + 1 : 1;
    bool taken = false;
    if ((seen == 0) == fresh && lockedByOthers(fd, byte) == 0) {
        __atomic_store_n(&s->generation, generation, __ATOMIC_SEQ_CST);
        taken = lockByte(fd, F_OFD_SETLK, F_WRLCK, byte) == 0;
        if (taken && !takeRunning(s, fresh, forChild)) {
            lockByte(fd, F_OFD_SETLK, F_UNLCK, byte);
            taken = false;
        }
    }
    lockByte(fd, F_OFD_SETLK, F_UNLCK, claimByte);
    if (!taken) {
        return false;
    }
    s->pid = getpid();
    s->pidNamespace = pidNamespaceId();
    strncpy(s->command, program_invocation_short_name, sizeof s->command - 1);
    s->command[sizeof s->command - 1] = '\0';
    __atomic_store_n(&s->state, kSlotUsed, __ATOMIC_RELEASE);
    *out = Identity{slot, generation, headerOf(map)->epoch};
    return true;
}

constexpr int kFreshSlotTries = 4;

// Claims a slot through fd: a free one, else one whose process died, else a new one at the
// end (growing the file). With state mapped.
bool claimSlot(State& state, int fd, Identity* out, bool forChild) QEL_REQUIRES(g_lock) {
    RegistryHeader* header = headerOf(state.map);
    const uint32_t used = __atomic_load_n(&header->used, __ATOMIC_ACQUIRE);
    const uint32_t known = used < state.mappedCapacity ? used : state.mappedCapacity;
    int deadProbes = kDeadSlotProbes;
    for (int pass = 0; pass < 2; ++pass) {
        for (uint32_t slot = 0; slot < known; ++slot) {
            const uint32_t slotState =
                __atomic_load_n(&slotOf(state.map, slot)->state, __ATOMIC_ACQUIRE);
            if ((pass == 0) != (slotState == kSlotFree) || (pass == 1 && deadProbes-- <= 0)) {
                continue;
            }
            if (takeSlot(state.map, fd, slot, false, forChild, out)) {
                return true;
            }
        }
    }
    // A new slot at the end. A process probing the slots may hold its claim byte for a moment,
    // and the slot is then given up (never owned, nobody takes it) for the next one.
    for (int attempt = 0; attempt < kFreshSlotTries; ++attempt) {
        const uint32_t slot = __atomic_fetch_add(&header->used, 1u, __ATOMIC_ACQ_REL);
        uint32_t capacity = __atomic_load_n(&header->capacity, __ATOMIC_ACQUIRE);
        if (slot >= capacity) {
            // Doubled, so that registrations grow the file a logarithmic number of times;
            // racing growers allocate overlapping ranges, which is harmless.
            uint32_t grown = capacity * 2 > slot + 1 ? capacity * 2 : slot + 1;
            if (sys::posix_fallocate(state.fd, 0, static_cast<off_t>(sizeFor(grown))) != 0) {
                store::setReason(storeDirectory().path + "/" + kRegistryFile +
                                 " cannot grow: the file system is full");
                return false;
            }
            while (capacity < grown &&
                   !__atomic_compare_exchange_n(&header->capacity, &capacity, grown, false,
                                                __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE)) {
            }
        }
        if ((slot >= state.mappedCapacity && !mapRegistry(state)) || slot >= state.mappedCapacity) {
            return false;
        }
        if (takeSlot(state.map, fd, slot, true, forChild, out)) {
            return true;
        }
    }
    return false;
}

// Whether the descriptor is due for a look at whether it is still ours: every open would
// otherwise pay a system call for what a program does once in its life, if ever.
constexpr long long kCheckEveryMs = 50;
bool checkDue(State& state) {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    const long long ms = now.tv_sec * 1000LL + now.tv_nsec / 1000000;
    if (state.checkedAt != 0 && ms - state.checkedAt < kCheckEveryMs) {
        return false;
    }
    state.checkedAt = ms;
    return true;
}

bool stillOurs(const State& state) {
    struct stat st;
    return state.fd >= 0 && sys::fstat(state.fd, &st) == 0 && st.st_dev == state.device &&
           st.st_ino == state.inode;
}

bool registerLocked(State& state) QEL_REQUIRES(g_lock) {
    if (state.fd >= 0) {
        // Not our descriptor any more (closed, or another file dup'ed over it): the locks
        // went with it; the number may be someone else's now, so it is left alone. The old
        // slot's "running" mutex is let go if this thread holds it (another thread's stays,
        // and keeps the old slot from being taken); its mapping stays (see mapRegistry).
        if (state.registered) {
            pthread_mutex_unlock(&slotOf(state.map, state.me.slot)->running);
        }
        state = State{-1, 0, 0, nullptr, 0, 0, {}, false, state.everRegistered, 0};
    }
    state.fd = openRegistry(&state.device, &state.inode);
    if (state.fd < 0) {
        return false;
    }
    if (!mapRegistry(state) || !claimSlot(state, state.fd, &state.me, false)) {
        sys::close(state.fd);
        state.fd = -1;
        return false;
    }
    state.registered = true;
    return true;
}

}  // namespace

bool self(Identity* me, Identity* replaced) {
    MutexLock guard(g_lock);
    *replaced = Identity{};
    if (!g_state.registered || (checkDue(g_state) && !stillOurs(g_state))) {
        const Identity old = g_state.me;
        const bool again = g_state.everRegistered;
        if (!registerLocked(g_state)) {
            return false;
        }
        if (again) {
            *replaced = old;
        }
        g_state.everRegistered = true;
    }
    RegistrySlot* mine = slotOf(g_state.map, g_state.me.slot);
    if (!runningFlag(mine)) {
        markRunning(mine);  // the thread that marked it ended: this one takes over
    }
    *me = g_state.me;
    return true;
}

bool current(Identity* me) {
    MutexLock guard(g_lock);
    *me = g_state.me;
    return g_state.registered;
}

bool alive(const HolderEntry& entry) {
    MutexLock guard(g_lock);
    State& state = g_state;
    if (state.fd < 0) {
        // A process that never registered (a tool looking on) opens the registry to ask.
        if (!registerLocked(state)) {
            return true;  // cannot tell
        }
        state.everRegistered = true;
    }
    if (state.registered && entry.slot == state.me.slot &&
        entry.generation == state.me.generation && entry.epoch == state.me.epoch) {
        return true;
    }
    if (entry.epoch != headerOf(state.map)->epoch) {
        return false;  // a registry that its last process removed: all of them ended
    }
    if (entry.slot >= state.mappedCapacity &&
        (entry.slot >= __atomic_load_n(&headerOf(state.map)->capacity, __ATOMIC_ACQUIRE) ||
         !mapRegistry(state) || entry.slot >= state.mappedCapacity)) {
        return false;  // no such slot: a damaged entry
    }
    // A thread of the slot's owner still runs: alive, without a system call. Else the slot's
    // lock tells, which the kernel keeps exactly as long as the process lives. Either is the
    // entry's process's only if the generation has stayed the entry's since: a new owner
    // moves it on before it takes them (and a slot that has had another owner since is dead).
    const RegistrySlot* slot = slotOf(state.map, entry.slot);
    const bool held =
        runningFlag(slot) || lockedByOthers(state.fd, kSlotLockBase + entry.slot) != 0;
    return held && __atomic_load_n(&slot->generation, __ATOMIC_SEQ_CST) == entry.generation;
}

bool describe(const HolderEntry& entry, int* pid, char command[16]) {
    if (!alive(entry)) {
        return false;
    }
    MutexLock guard(g_lock);
    if (g_state.map == nullptr || entry.slot >= g_state.mappedCapacity) {
        return false;
    }
    const RegistrySlot* slot = slotOf(g_state.map, entry.slot);
    *pid = slot->pid;
    memcpy(command, slot->command, 16);
    command[15] = '\0';
    return true;
}

bool prepareChild(Identity* child) {
    g_child = Child{};
    if (!g_state.registered || !stillOurs(g_state)) {
        return false;
    }
    dev_t device;
    ino_t inode;
    int fd = openRegistry(&device, &inode);
    if (fd < 0) {
        return false;
    }
    if (device != g_state.device || inode != g_state.inode ||
        !claimSlot(g_state, fd, &g_child.id, true)) {
        sys::close(fd);
        return false;
    }
    g_child.fd = fd;
    *child = g_child.id;
    return true;
}

void afterForkInParent() {
    if (g_child.fd >= 0) {
        sys::close(g_child.fd);  // the child keeps the description, and with it the lock
    }
    g_child = Child{};
}

void afterForkInChild() {
    if (g_state.fd >= 0) {
        sys::close(g_state.fd);  // the parent's description: its locks stay the parent's
    }
    g_state.fd = g_child.fd;
    g_state.registered = g_child.fd >= 0;
    g_state.me = g_child.id;
    g_state.everRegistered = g_state.registered;  // the parent's holds are not the child's
    if (g_state.registered) {
        RegistrySlot* mine = slotOf(g_state.map, g_state.me.slot);
        mine->pid = getpid();
        mine->pidNamespace = pidNamespaceId();  // a child of unshare(CLONE_NEWPID) moved
        markRunning(mine);
    } else if (g_state.map != nullptr) {
        sys::munmap(g_state.map, g_state.mapSize);
        g_state.map = nullptr;
    }
    g_child = Child{};
}

bool leaveAtExit() {
    MutexLock guard(g_lock, std::defer_lock);
    if (!guard.TryLock()) {
        return false;
    }
    if (!g_state.registered || !stillOurs(g_state)) {
        return removeIfUnused();
    }
    // Free for the next process once this one has ended and its lock is gone.
    __atomic_store_n(&slotOf(g_state.map, g_state.me.slot)->state, kSlotFree, __ATOMIC_RELEASE);
    // Two processes leaving at once would each see the other's shared lock: each lets go of
    // its own before trying once more, so that the last of them finds none.
    if (lockByte(g_state.fd, F_OFD_SETLK, F_WRLCK, kPresenceByte) != 0 &&
        (lockByte(g_state.fd, F_OFD_SETLK, F_UNLCK, kPresenceByte) != 0 ||
         lockByte(g_state.fd, F_OFD_SETLK, F_WRLCK, kPresenceByte) != 0)) {
        return false;  // other processes use it
    }
    store::DirUse dir(false);
    if (dir.ok()) {
        waits::removeWaitBoard(dir.fd());  // first: a newcomer can only use the next one
    }
    return dir.ok() && store::unlinkIfSame(dir.fd(), kRegistryFile, g_state.device, g_state.inode);
}

bool removeIfUnused() {
    store::DirUse dir(false);
    int fd = dir.ok() ? aboveStdio(sys::openat(dir.fd(), kRegistryFile,
                                               O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC))
                      : -1;
    struct stat st;
    // Held exclusively until this process ends: a newcomer that opened the file meanwhile
    // finds it gone once it has its shared lock, and makes a new one.
    bool removed = fd >= 0 && fileTrusted(fd, dir.shared(), &st) &&
                   lockByte(fd, F_OFD_SETLK, F_WRLCK, kPresenceByte) == 0 &&
                   (waits::removeWaitBoard(dir.fd()), true) &&
                   store::unlinkIfSame(dir.fd(), kRegistryFile, st.st_dev, st.st_ino);
    if (fd >= 0 && !removed) {
        sys::close(fd);
    }
    return removed || (dir.ok() && fd < 0 && errno == ENOENT);
}

void lockForFork() {
    g_lock.Lock();
}

void unlockForFork() {
    g_lock.Unlock();
}

}  // namespace registry
}  // namespace qel
