// The named objects seen from outside the processes that use them: who owns each mutex, who
// waits for which mutex or event, who uses each segment, and the cycles of waits that no
// process can leave (deadlocks). For the zoltov tool's `locks` command and for the check a
// process may ask for at wait time (ZOLTOV_DEADLOCK). Reading takes no lock that another
// process may hold and waits for no process: a stopped or dead one cannot stall it, and what
// could not be read is listed as such. Private to the platform layer and the tool.
#ifndef ZOLTOV_PLATFORM_QELLOCKS_H
#define ZOLTOV_PLATFORM_QELLOCKS_H

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "qelStore.h"

namespace qel {
namespace locks {

// A process (tid 0) or one of its threads. pid 0: not known here (the process is in another
// PID namespace, or /proc does not show it).
struct Thread {
    int pid = 0;
    int tid = 0;
    std::string command;
};

// A live process that has the object open: how many handles, and of a segment how many of
// them are connections. threads: its thread count, 0 when not known.
struct Holder {
    Thread process;
    unsigned handles = 0;
    unsigned connections = 0;
    unsigned threads = 0;
};

struct Waiter {
    Thread thread;
    uint64_t sinceNs = 0;  // CLOCK_REALTIME when the wait began
    bool resets = false;   // an event wait that resets the event it takes (auto-reset)
};

struct Object {
    ObjectType type = ObjectType::Mutex;
    std::string name;  // the name it was opened by; "" with named false: too long to be kept
    bool named = true;
    std::string path;  // the file that holds it
    uint64_t device = 0;
    uint64_t inode = 0;
    std::vector<Holder> holders;
    std::vector<Waiter> waiters;
    // A mutex: its owner (when locked), the owner's recursion depth, and whether its owner died
    // holding it (the next lock takes it over: the data it guards may be half changed).
    bool locked = false;
    Thread owner;
    unsigned depth = 0;
    bool abandoned = false;
    // An event: whether it is set, and the kinds of wait seen blocking on it (kModeManual,
    // kModeAuto of qelWaitBoard.h; 0 when none has yet).
    bool set = false;
    unsigned modes = 0;
    // A segment: the size allocated (its count and data) and its connection count.
    uint64_t size = 0;
    uint32_t connections = 0;
};

// A thread in a blocking wait: for a mutex, or for any of one or more events (objects index
// Snapshot::objects). partial: it also waits for unnamed events, which nobody else can see.
struct Waiting {
    Thread thread;
    ObjectType type = ObjectType::Mutex;
    std::vector<size_t> objects;
    bool partial = false;
};

struct Snapshot {
    std::vector<Object> objects;  // mutexes, events, segments; each kind by name
    std::vector<Waiting> waiting;
    std::vector<std::string> unread;  // what could not be read, one line each
    uint64_t takenNs = 0;             // CLOCK_REALTIME when it was read
};

// Reads the store: every object file of this user's object directory, the live processes that
// hold each, and the wait board. Stops reading after boundMs (the rest is then in unread).
// False, with why in *problem, when the directory cannot be used.
bool readSnapshot(long boundMs, Snapshot* out, std::string* problem);

// One step of a deadlock: waiting[waiter] waits for objects (one mutex, or events), which only
// waiting[next] can release: the mutex's owner, or a thread of a process that has the events
// open, all of whose threads wait.
struct Step {
    size_t waiter;
    size_t next;
    std::vector<size_t> objects;
};
using Cycle = std::vector<Step>;

// The cycles of waits that no thread of them can leave: each thread waits for a mutex owned by
// the next, or for events that only processes whose every thread waits have open, and at
// least one step is a mutex (a ring of event waits alone may yet be broken by a process that
// opens the events later, such as a stop request). Thread ids are compared only where the
// objects' PID namespace is the reader's.
std::vector<Cycle> findDeadlocks(const Snapshot& snapshot);

// One line for a step: "pid P tid T (cmd) waits for mutex 'name', held by pid ...".
std::string describeStep(const Snapshot& snapshot, const Step& step);
// A thread for messages: "pid P tid T (cmd)", or "tid T" when its process is not known.
std::string describeThread(const Thread& thread);
// name as safe to print: backslash, newline, tab and bytes outside printable ASCII escaped.
std::string escapeName(const std::string& name);

}  // namespace locks
}  // namespace qel

#endif  // ZOLTOV_PLATFORM_QELLOCKS_H
