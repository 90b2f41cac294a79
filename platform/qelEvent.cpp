// Events: one 32-bit futex word each.
//   bit 0  set
//   bit 1  a single-event or futex_waitv waiter sleeps on the word
//   bit 2  a fallback wait-any sleeps on the shared sequence word instead
//   bits 3+ generation, bumped by every set
// A waiter is released when the word is set or its generation moved since it sampled it, so a
// set followed at once by a reset still releases everyone who was waiting. Unnamed events use
// private futex operations, named ones shared operations; a word is always used with one kind.
// A resetting wait (the library's auto-reset events) is released only by clearing the set bit
// itself with one compare-and-swap, so each set releases exactly one such waiter; the
// generation rule does not apply to it.
#include <errno.h>
#include <fcntl.h>
#include <linux/futex.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "qelInternal.h"
#include "qelTesting.h"
#include "qelWaitBoard.h"

namespace {

constexpr uint32_t kSet = 1;
constexpr uint32_t kWaiters = 2;
constexpr uint32_t kAnyWaiters = 4;
constexpr uint32_t kGenerationStep = 8;

struct Event : qel::Record {
    uint32_t* word;
    bool shared;
    uint32_t localWord;  // the word of an unnamed event
    qel::NamedFile file;
};

void initEvent(unsigned char* object) {
    __atomic_store_n(reinterpret_cast<uint32_t*>(object), 0u, __ATOMIC_RELAXED);
}

uint32_t generationOf(uint32_t word) {
    return word >> 3;
}

// ---- futex_waitv, probed once ----

#ifndef SYS_futex_waitv
#define SYS_futex_waitv 449
#endif

struct WaitvEntry {  // struct futex_waitv
    uint64_t val;
    uint64_t uaddr;
    uint32_t flags;
    uint32_t reserved;
};
constexpr uint32_t kFutex2Size32 = 2;
constexpr uint32_t kFutex2Private = 128;

int g_forcedFallback = -1;  // -1: not forced either way (test hook)

bool probeWaitv() {
    const char* force = getenv("ZOL_QEL_FORCE_WAITV_FALLBACK");
    if (force != nullptr && force[0] == '1') {
        return false;
    }
    // An empty vector is refused with EINVAL by a kernel that has the call; ENOSYS (old
    // kernel) and EPERM (container seccomp profiles) both mean "absent".
    int savedErrno = errno;
    long rc = syscall(SYS_futex_waitv, nullptr, 0u, 0u, nullptr, CLOCK_MONOTONIC);
    bool present = !(rc != 0 && (errno == ENOSYS || errno == EPERM));
    errno = savedErrno;
    return present;
}

bool waitvAvailable() {
    // Probed once, without a lock: a thread suspended while it held the guard of a
    // function-local static would stop every thread that waits for an event.
    static int known = 0;  // 0: not yet probed, 1: present, 2: absent
    int state = __atomic_load_n(&known, __ATOMIC_RELAXED);
    if (state == 0) {
        state = probeWaitv() ? 1 : 2;
        __atomic_store_n(&known, state, __ATOMIC_RELAXED);
    }
    const bool available = state == 1;
    int forced = __atomic_load_n(&g_forcedFallback, __ATOMIC_RELAXED);
    return forced < 0 ? available : forced == 0 && available;
}

// ---- the fallback's broadcast sequence: one shared word for every process of this user ----

uint32_t* g_sequence = nullptr;  // __atomic

// Not std::call_once: a child forked while another thread is inside it would wait for that
// thread for ever. mapWaitAnyWord maps the word once under a lock that fork leaves free.
uint32_t* sequenceWord() {
    uint32_t* word = __atomic_load_n(&g_sequence, __ATOMIC_ACQUIRE);
    if (word == nullptr) {
        word = qel::mapWaitAnyWord();
        __atomic_store_n(&g_sequence, word, __ATOMIC_RELEASE);
    }
    return word;
}

bool released(uint32_t word, uint32_t generation) {
    return (word & kSet) != 0 || generationOf(word) != generation;
}

// Whether a waiter may stop looking at word: set, or (for a plain wait) released.
bool available(uint32_t word, uint32_t generation, bool reset) {
    return reset ? (word & kSet) != 0 : released(word, generation);
}

// Takes the event for one waiter: a plain wait only looks; a resetting wait clears the set bit
// and succeeds only if it was the one to clear it.
bool claim(uint32_t* word, uint32_t generation, bool reset) {
    uint32_t value = __atomic_load_n(word, __ATOMIC_ACQUIRE);
    if (!reset) {
        return released(value, generation);
    }
    while ((value & kSet) != 0) {
        if (__atomic_compare_exchange_n(word, &value, value & ~kSet, true, __ATOMIC_ACQ_REL,
                                        __ATOMIC_ACQUIRE)) {
            return true;
        }
    }
    return false;
}

// Sets flag on the word unless the waiter may stop looking at it; returns the value the word
// holds afterwards.
uint32_t markWaiting(uint32_t* word, uint32_t flag, uint32_t generation, bool reset) {
    uint32_t value = __atomic_load_n(word, __ATOMIC_ACQUIRE);
    while (!available(value, generation, reset) && (value & flag) == 0) {
        if (__atomic_compare_exchange_n(word, &value, value | flag, true, __ATOMIC_ACQ_REL,
                                        __ATOMIC_ACQUIRE)) {
            return value | flag;
        }
    }
    return value;
}

const timespec* deadlinePointer(const qel::Deadline& deadline) {
    return deadline.forever ? nullptr : &deadline.at;
}

using EventPtr = qel::RecordPtr<Event, qel::kEventTag>;

QEL_STATUS makeEvent(const char* name, long* handle) {
    if (handle == nullptr) {
        return QEL_E_INVALID;
    }
    EventPtr record = EventPtr::create();
    if (!record) {
        return QEL_E_NO_MEMORY;
    }
    record->file = qel::NamedFile{};
    if (name == nullptr) {
        record->localWord = 0;
        record->word = &record->localWord;
        record->shared = false;
    } else {
        QEL_STATUS status = qel::openNamed(
            qel::ObjectType::Event, name, qel::OpenMode::CreateOrOpen, initEvent, 0, &record->file);
        if (status != QEL_OK) {
            return status;
        }
        record->word = reinterpret_cast<uint32_t*>(record->file.map + qel::kObjectOffset);
        record->shared = true;
    }
    record.publish(handle);
    return QEL_OK;
}

QEL_STATUS closeEvent(long* handle) {
    if (handle == nullptr) {
        return QEL_E_INVALID;
    }
    EventPtr record = EventPtr::take(handle);
    if (!record) {
        return QEL_E_BAD_HANDLE;
    }
    if (record->shared) {
        qel::closeNamed(&record->file);
    }
    return QEL_OK;
}

// Which events of a wait-any reset the one they take (null: none).
bool resets(const unsigned char* reset, unsigned int i) {
    return reset != nullptr && reset[i] != 0;
}

QEL_STATUS waitAnyWaitv(Event* const* events, unsigned int count, unsigned int* index,
                        const qel::Deadline& deadline, const uint32_t* generations,
                        const unsigned char* reset) {
    WaitvEntry entries[QEL_MAX_WAIT_EVENTS];
    for (;;) {
        for (unsigned int i = 0; i < count; ++i) {
            uint32_t value =
                markWaiting(events[i]->word, kWaiters, generations[i], resets(reset, i));
            if (available(value, generations[i], resets(reset, i)) &&
                claim(events[i]->word, generations[i], resets(reset, i))) {
                *index = i;
                return QEL_OK;
            }
            entries[i].val = value;
            entries[i].uaddr = reinterpret_cast<uint64_t>(events[i]->word);
            entries[i].flags = kFutex2Size32 | (events[i]->shared ? 0 : kFutex2Private);
            entries[i].reserved = 0;
        }
        long rc = syscall(SYS_futex_waitv, entries, count, 0u, deadlinePointer(deadline),
                          CLOCK_MONOTONIC);
        int error = rc < 0 ? errno : 0;
        // The kernel's index is only a hint: the lowest released index wins.
        for (unsigned int i = 0; i < count; ++i) {
            if (claim(events[i]->word, generations[i], resets(reset, i))) {
                *index = i;
                return QEL_OK;
            }
        }
        if (error == ETIMEDOUT || deadlinePassed(deadline)) {
            return QEL_E_TIMEOUT;
        }
        if (error != 0 && error != EAGAIN && error != EINTR) {
            return QEL_E_WAIT_FAILED;
        }
    }
}

QEL_STATUS waitAnyFallback(Event* const* events, unsigned int count, unsigned int* index,
                           const qel::Deadline& deadline, const uint32_t* generations,
                           const unsigned char* reset) {
    uint32_t* sequence = sequenceWord();
    if (sequence == nullptr) {
        return QEL_E_WAIT_FAILED;
    }
    for (;;) {
        // Sample the sequence before marking and scanning: a set after the scan sees the
        // mark and bumps the sequence, so the sleep below cannot miss it.
        uint32_t seen = __atomic_load_n(sequence, __ATOMIC_ACQUIRE);
        for (unsigned int i = 0; i < count; ++i) {
            uint32_t value =
                markWaiting(events[i]->word, kAnyWaiters, generations[i], resets(reset, i));
            if (available(value, generations[i], resets(reset, i)) &&
                claim(events[i]->word, generations[i], resets(reset, i))) {
                *index = i;
                return QEL_OK;
            }
        }
        int error = qel::futexWait(sequence, seen, deadlinePointer(deadline), true);
        if (error == ETIMEDOUT || deadlinePassed(deadline)) {
            for (unsigned int i = 0; i < count; ++i) {
                if (claim(events[i]->word, generations[i], resets(reset, i))) {
                    *index = i;
                    return QEL_OK;
                }
            }
            return QEL_E_TIMEOUT;
        }
        if (error != 0 && error != EAGAIN && error != EINTR) {
            return QEL_E_WAIT_FAILED;
        }
    }
}

QEL_STATUS waitOne(Event* record, unsigned int timeout, bool reset) {
    if (record == nullptr) {
        return QEL_E_WAIT_FAILED;
    }
    uint32_t value = __atomic_load_n(record->word, __ATOMIC_ACQUIRE);
    const uint32_t generation = generationOf(value);
    if (claim(record->word, generation, reset)) {
        return QEL_OK;
    }
    if (timeout == 0) {
        return QEL_E_TIMEOUT;
    }
    const qel::NamedFile* files[] = {&record->file};
    const unsigned char resets[] = {reset};
    qel::waits::WaitNote note(qel::ObjectType::Event, files, resets, record->shared ? 1 : 0, false);
    if (record->shared && qel::waits::failsForDeadlock()) {
        return QEL_E_DEADLOCK;
    }
    const qel::Deadline deadline = qel::deadlineAfter(timeout);
    for (;;) {
        value = markWaiting(record->word, kWaiters, generation, reset);
        if (available(value, generation, reset) && claim(record->word, generation, reset)) {
            return QEL_OK;
        }
        int error = qel::futexWait(record->word, value, deadlinePointer(deadline), record->shared);
        if (claim(record->word, generation, reset)) {
            return QEL_OK;
        }
        if (error == ETIMEDOUT || qel::deadlinePassed(deadline)) {
            return QEL_E_TIMEOUT;
        }
        if (error != 0 && error != EAGAIN && error != EINTR) {
            return QEL_E_WAIT_FAILED;
        }
    }
}

QEL_STATUS waitAny(const long* handles, const unsigned char* reset, unsigned int count,
                   unsigned int* index, unsigned int timeout) {
    if (index == nullptr) {
        return QEL_E_WAIT_FAILED;
    }
    *index = 0xFFFFFFFFu;
    if (handles == nullptr || count == 0 || count > QEL_MAX_WAIT_EVENTS) {
        return QEL_E_WAIT_FAILED;
    }
    Event* events[QEL_MAX_WAIT_EVENTS];
    uint32_t generations[QEL_MAX_WAIT_EVENTS];
    for (unsigned int i = 0; i < count; ++i) {
        events[i] = EventPtr::find(handles[i]);
        if (events[i] == nullptr) {
            return QEL_E_WAIT_FAILED;
        }
        generations[i] = generationOf(__atomic_load_n(events[i]->word, __ATOMIC_ACQUIRE));
    }
    for (unsigned int i = 0; i < count; ++i) {
        if (claim(events[i]->word, generations[i], resets(reset, i))) {
            *index = i;
            return QEL_OK;
        }
    }
    if (timeout == 0) {
        return QEL_E_TIMEOUT;
    }
    // The named events go on the wait board; unnamed ones make the record partial.
    const qel::NamedFile* files[QEL_MAX_WAIT_EVENTS];
    unsigned char namedResets[QEL_MAX_WAIT_EVENTS];
    unsigned int named = 0;
    for (unsigned int i = 0; i < count; ++i) {
        if (events[i]->shared) {
            files[named] = &events[i]->file;
            namedResets[named++] = resets(reset, i) ? 1 : 0;
        }
    }
    qel::waits::WaitNote note(qel::ObjectType::Event, files, namedResets, named, named != count);
    if (named != 0 && qel::waits::failsForDeadlock()) {
        return QEL_E_DEADLOCK;
    }
    const qel::Deadline deadline = qel::deadlineAfter(timeout);
    QEL_STATUS status = waitvAvailable()
                            ? waitAnyWaitv(events, count, index, deadline, generations, reset)
                            : waitAnyFallback(events, count, index, deadline, generations, reset);
    if (status != QEL_OK) {
        *index = 0xFFFFFFFFu;
    }
    return status;
}

}  // namespace

namespace qel {

void bumpWaitAnySequence() {
    uint32_t* sequence = sequenceWord();
    if (sequence != nullptr) {
        __atomic_add_fetch(sequence, 1u, __ATOMIC_RELEASE);
        futexWakeAll(sequence, true);
    }
}

}  // namespace qel

extern "C" {

void qelTestForceWaitvFallback(int force) {
    __atomic_store_n(&g_forcedFallback, force < 0 ? -1 : (force != 0 ? 1 : 0), __ATOMIC_RELAXED);
}

int qelTestWaitvInUse(void) {
    return waitvAvailable() ? 1 : 0;
}

int qelTestEventHasWaiters(long handle) {
    Event* record = EventPtr::find(handle);
    if (record == nullptr) {
        return 0;
    }
    return (__atomic_load_n(record->word, __ATOMIC_ACQUIRE) & (kWaiters | kAnyWaiters)) != 0;
}

QEL_STATUS qelCreateEvent(const char* name, long* handle) {
    return makeEvent(name, handle);
}

QEL_STATUS qelSetEvent(long handle) {
    Event* record = EventPtr::find(handle);
    if (record == nullptr) {
        return QEL_E_BAD_HANDLE;
    }
    // Read before the set: a waiter released by it may close the event and the record be
    // reused for another at once (a thread's start-up event is), so the record is not
    // touched after the store. A wake on a word no longer ours is only a spurious wake-up.
    uint32_t* const word = record->word;
    const bool shared = record->shared;
    uint32_t value = __atomic_load_n(word, __ATOMIC_ACQUIRE);
    uint32_t next;
    do {
        if ((value & kSet) != 0) {
            return QEL_OK;  // nobody sleeps on a set word
        }
        next = ((value & ~(kGenerationStep - 1)) + kGenerationStep) | kSet;
    } while (
        !__atomic_compare_exchange_n(word, &value, next, true, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE));
    if ((value & kWaiters) != 0) {
        qel::futexWakeAll(word, shared);
    }
    if ((value & kAnyWaiters) != 0) {
        qel::bumpWaitAnySequence();
    }
    return QEL_OK;
}

QEL_STATUS qelResetEvent(long handle) {
    Event* record = EventPtr::find(handle);
    if (record == nullptr) {
        return QEL_E_BAD_HANDLE;
    }
    __atomic_fetch_and(record->word, ~kSet, __ATOMIC_RELEASE);
    return QEL_OK;
}

QEL_STATUS qelWaitEvent(long handle, unsigned int timeout) {
    return waitOne(EventPtr::find(handle), timeout, false);
}

QEL_STATUS qelWaitEventAndReset(long handle, unsigned int timeout) {
    return waitOne(EventPtr::find(handle), timeout, true);
}

QEL_STATUS qelWaitEvents(const long* handles, unsigned int count, unsigned int* index,
                         unsigned int timeout) {
    return waitAny(handles, nullptr, count, index, timeout);
}

QEL_STATUS qelWaitEventsAndReset(const long* handles, const unsigned char* reset,
                                 unsigned int count, unsigned int* index, unsigned int timeout) {
    return waitAny(handles, reset, count, index, timeout);
}

QEL_STATUS qelCloseEvent(long* handle) {
    return closeEvent(handle);
}

QEL_STATUS qelDeleteEvent(long* handle) {
    return closeEvent(handle);
}

}  // extern "C"
