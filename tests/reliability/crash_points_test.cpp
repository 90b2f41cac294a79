// The crash-point table. Every system call that creating, opening or closing a named mutex,
// event or segment makes in the store is, one at a time, made to fail or has the process
// killed right there, with and without a second live user of the name. Afterwards the second
// user still has a working object and whole data, a fresh process opens and closes the name
// once, and when they are gone nothing of the name is left: no repair needed. (A copy makes
// no store system call: a kill inside one is the crash test's.)
#include <fcntl.h>
#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>

#include "../shm/ShmProbe.h"
#include "CZolEvent.h"
#include "qelTesting.h"

namespace {

const char kMarker[] = "whole";

// One object of a kind ('m', 'e', 's') on a name, in this process.
struct Held {
    std::unique_ptr<CZolMutex> mutex;
    std::unique_ptr<CZolEvent> event;
    std::unique_ptr<Probe> segment;

    void open(char kind, const std::string& name, bool existing = false) {
        if (kind == 'm') {
            mutex.reset(new CZolMutex(0, name.c_str(), existing ? 1 : 0));
        } else if (kind == 'e') {
            event.reset(new CZolEvent(0, 1, name.c_str()));
        } else {
            segment.reset(new Probe);
            segment->Open(name.c_str(), 64);
        }
    }
    void close() { mutex.reset(), event.reset(), segment.reset(); }
    // Whether the object works: a mutex is taken and given back, an event is set and seen
    // set, a segment still holds the marker.
    bool works() {
        char seen[sizeof kMarker] = {};
        if (mutex)
            return mutex->Lock(zoltest::kBoundMs) == 1 && mutex->Unlock() == 1;
        if (event)
            return event->SetEvent() == 1 && event->Lock(0) == 1;
        return memcpy_shmem(seen, *segment, sizeof seen) == seen && strcmp(seen, kMarker) == 0;
    }
};

struct Op {
    const char* what;  // "create", "open" (an existing mutex) or "close"
    char kind;
};

// The victim: holds the object first for a close, then runs the operation with the fault
// armed at the store's at-th system call, and leaves through exit(): its exit code is the
// number of store calls the operation made (when only counted, action QEL_FAULT_COUNT).
int victim(const Op& op, const std::string& name, unsigned at, int action) {
    dup2(open("/dev/null", O_WRONLY), 1);  // the fatal message of a failed creation
    Held held;
    if (op.what[0] == 'c' && op.what[1] == 'l')
        held.open(op.kind, name);
    qelTestFault(at, action, EIO);
    if (op.what[0] == 'c' && op.what[1] == 'l')
        held.close();
    else
        held.open(op.kind, name, op.what[0] == 'o');
    const unsigned calls = qelTestFaultCalls();
    qelTestFault(0, QEL_FAULT_OFF, 0);
    exit(static_cast<int>(calls < 255 ? calls : 255));
}

// A process that opens the name afresh, checks what it finds and closes it again: 0 when the
// object is the survivor's (with one, attached and whole) or new (without), else 1.
int freshUser(char kind, const std::string& name, bool survivor) {
    Held held;
    held.open(kind, name);
    bool found = true;
    if (kind == 's')
        found = held.segment->created() == (survivor ? 0 : 1) &&
                held.segment->count() == (survivor ? 2u : 1u) && (!survivor || held.works());
    else if (kind == 'e')
        found = held.event->Lock(0) == (survivor ? 1 : 0);  // the survivor set it
    else
        found = held.works();
    held.close();
    exit(found ? 0 : 1);
}

}  // namespace

// One row: the victim's operation with the fault armed (at 0, only counted), a survivor
// that held the name before (or none), then a fresh user of the name. Returns the victim's
// wait status, -1 when it hung.
int row(const Op& op, bool survivor, unsigned at, int action) {
    const std::string name = zoltest::uniqueName("points");
    std::unique_ptr<zoltest::Peer> user;
    if (survivor) {
        user.reset(new zoltest::Peer([&](zoltest::Peer& p) {
            Held held;
            held.open(op.kind, name);
            if (op.kind == 's')
                memcpy_shmem(*held.segment, kMarker, sizeof kMarker);
            p.send("ready");
            p.receive();
            p.send(held.works() ? "works" : "broken");
            p.receive();
            held.close();
            exit(0);  // through the exit handlers
            return 0;
        }));
        EXPECT_EQ(user->receive(), "ready");
    }
    const int end = zoltest::waitChild(
        zoltest::forkChild([&] { return victim(op, name, at, action); }), zoltest::kBoundMs);
    if (user) {
        EXPECT_EQ(user->ask("check"), "works");
    }
    EXPECT_EQ(
        zoltest::runChild([&] { return freshUser(op.kind, name, survivor); }, zoltest::kBoundMs),
        0);
    if (user) {
        user->send("close");
        EXPECT_EQ(user->finish(), 0);
    }
    EXPECT_EQ(zoltest::objectFiles(name), std::vector<std::string>());
    return end;
}

TEST(CrashPoints, EveryStoreCallOfEveryOperationFailedOrKilledLeavesNothingBroken) {
    // A directory of the table's own, which no concurrent test touches: every row then makes
    // the same calls in the same order (the first user makes the directory and the registry,
    // the last one removes them).
    const char* run = getenv("ZOL_QEL_NAMESPACE");
    setenv("ZOL_QEL_NAMESPACE",
           (std::string(run ? run : "") + "points" + std::to_string(getpid())).c_str(), 1);
    const Op ops[] = {{"create", 'm'}, {"open", 'm'},   {"close", 'm'}, {"create", 'e'},
                      {"close", 'e'},  {"create", 's'}, {"close", 's'}};
    int rows = 0;
    for (const Op& op : ops) {
        for (bool survivor : {false, true}) {
            const std::string what =
                std::string(op.what) + " " + op.kind + (survivor ? ", shared" : "");
            // Opening a name nobody uses may find no directory at all: no call to fault.
            const int calls = zoltest::exitCodeOf(row(op, survivor, 0, QEL_FAULT_COUNT));
            ASSERT_GE(calls, op.what[0] == 'o' && !survivor ? 0 : 1) << what;
            for (int at = 1; at <= calls; ++at) {
                for (int action : {QEL_FAULT_KILL, QEL_FAULT_FAIL}) {
                    SCOPED_TRACE(
                        what + (action == QEL_FAULT_KILL ? ": killed at call " : ": failed call ") +
                        std::to_string(at) + " of " + std::to_string(calls));
                    const int status = row(op, survivor, static_cast<unsigned>(at), action);
                    EXPECT_NE(status, -1) << "hung";
                    EXPECT_TRUE(action == QEL_FAULT_KILL ? WIFSIGNALED(status) : WIFEXITED(status))
                        << "the fault was not reached: wait status " << status;
                    ++rows;
                }
            }
        }
    }
    EXPECT_GT(rows, 100);
    printf("crash points: %d calls, %d runs\n", rows / 2, rows);
}
