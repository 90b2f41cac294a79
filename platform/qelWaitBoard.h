// The wait board: who waits for which named object, for `zoltov locks` and the deadlock check.
// A thread writes its record only on the way into a wait that blocks, and clears it on the way
// out: the uncontended lock, unlock, set and the waits that do not block never touch it.
//
// One file of the object directory, kWaitBoardFile: a header page, then one area per registry
// slot (kAreaPages pages at kPageSize + slot * kAreaSize), used by the process that owns the
// slot. An area's first page is its header; each following page holds one thread's record.
// The file is sparse: only the pages of records handed out are allocated. A process writes
// only its own area, so nothing is shared between writers; a reader trusts an area only while
// the process named in its header is alive (registry::alive), so the records of a process that
// was killed while waiting read as gone, and the slot's next owner reuses the area. The last
// process to leave the registry removes the file (removeWaitBoard). Private to the platform.
#ifndef ZOLTOV_PLATFORM_QELWAITBOARD_H
#define ZOLTOV_PLATFORM_QELWAITBOARD_H

#include <stdint.h>

#include "qelInternal.h"

namespace qel {
namespace waits {

constexpr const char kWaitBoardFile[] = ".waits";
constexpr uint32_t kBoardMagic = 0x5A515742u;  // "ZQWB"
constexpr uint32_t kBoardVersion = 1;
constexpr uint32_t kAreaRecords = 256;  // waits one process may have recorded at once
constexpr size_t kAreaSize = (1 + size_t{kAreaRecords}) * kPageSize;
// The most objects one wait names: a wait-any's limit.
constexpr uint32_t kMaxWaitObjects = QEL_MAX_WAIT_EVENTS;

constexpr size_t areaOffset(uint32_t slot) {
    return kPageSize + size_t{slot} * kAreaSize;
}

struct BoardHeader {
    uint32_t magic;
    uint32_t version;
    uint32_t areaPages;  // kAreaSize / kPageSize, checked by readers
    uint32_t reserved;
};

// An area's header: the registry identity of the process that owns it, written when the
// process takes the area, before any record is handed out.
struct AreaHeader {
    uint32_t slot;
    uint32_t generation;
    uint32_t epoch;
    int32_t pid;          // in the owner's PID namespace
    uint32_t records;     // records handed out so far: [0, records)
    uint32_t unrecorded;  // waits not recorded since, for want of a free record
};

// A waited-for object: the file that holds it, and whether the wait resets the event it takes.
struct WaitObject {
    uint64_t device;
    uint64_t inode;
    uint32_t resets;
    uint32_t reserved;
};

constexpr uint32_t kRecordIdle = 0;
constexpr uint32_t kRecordWaiting = 1;
constexpr uint32_t kRecordPartial = 1;  // flags: the wait also waits for unnamed events

// One thread's record. Every field is written with __atomic stores; the sequence is odd while
// the owner rewrites the record, so a reader that saw the same even sequence before and after
// reading it has a consistent copy.
struct WaitRecord {
    uint32_t sequence;
    uint32_t state;  // kRecordIdle or kRecordWaiting
    int32_t tid;
    uint32_t type;   // the ObjectType waited for
    uint32_t count;  // objects[0, count): a wait for any of them
    uint32_t flags;
    uint64_t since;  // CLOCK_REALTIME, in nanoseconds, when the wait began
    uint64_t reserved[4];
    WaitObject objects[kMaxWaitObjects];
};
static_assert(sizeof(WaitRecord) <= kPageSize, "a record fits its page");

// Records the calling thread's blocking wait on named objects for its scope: count files of
// type (a mutex: one; events: any of them), resets[i] non-zero when the wait on files[i] resets
// it (null: none), partial when the wait also takes unnamed events. With count 0 (only unnamed
// objects) it does nothing. Writes nothing when the board cannot be had; the wait goes on.
class WaitNote {
public:
    WaitNote(ObjectType type, const NamedFile* const* files, const unsigned char* resets,
             unsigned count, bool partial)
        : record_(count != 0 ? begin(type, files, resets, count, partial) : nullptr) {}
    ~WaitNote() {
        if (record_ != nullptr) {
            end(record_);
        }
    }
    WaitNote(const WaitNote&) = delete;
    WaitNote& operator=(const WaitNote&) = delete;

private:
    static WaitRecord* begin(ObjectType type, const NamedFile* const* files,
                             const unsigned char* resets, unsigned count, bool partial);
    static void end(WaitRecord* record);
    WaitRecord* record_;
};

// An event file keeps, after its word, which kinds of wait it has seen blocking on it: the
// reset mode of the library's events, which the platform event itself does not have.
constexpr size_t kEventModesOffset = kObjectOffset + 4;
constexpr uint32_t kModeManual = 1;  // a wait that leaves the event set
constexpr uint32_t kModeAuto = 2;    // a wait that resets the event it takes

// Locks a named mutex that a try found busy, with its wait on the board and, when the process
// asks for it, the deadlock check first. The pthread result, or EDEADLK when the check found
// that the wait would close a cycle and the process chose to fail then.
int lockRecorded(pthread_mutex_t* mutex, const NamedFile& file, long timeout);

// With the calling thread's wait on the board: whether the process checks its blocking waits
// (ZOLTOV_DEADLOCK=report or fail, read once per process), whether this wait would close a
// cycle of waits (then reported on standard error), and whether the process chose to fail such
// a wait rather than wait for ever (fail). qelDeadlockCheck.cpp.
bool failsForDeadlock();

// Removes the board; called by the last process of the registry, before the registry goes.
void removeWaitBoard(int dirFd);

}  // namespace waits
}  // namespace qel

#endif  // ZOLTOV_PLATFORM_QELWAITBOARD_H
