// Processes that die at the worst moments, and resources the system refuses. A process killed
// while connected to a segment, or inside its Open, a copy or its Close with the segment's
// mutex held, lets a survivor blocked on that mutex go on within a second, with the count it
// expects: the dead connection is taken back by the survivor's own Open, never twice.
#include <stdlib.h>
#include <sys/resource.h>

#include "../shm/ShmProbe.h"
#include "CZolEvent.h"

using zoltest::Peer;

namespace {

// Where a process sleeps in the kernel: "futex..." for a waiter really blocked on a mutex,
// "do_signal_stop" for a stopped one.
bool sleepsIn(const Peer& peer, const std::string& where) {
    const std::string wchan = "/proc/" + std::to_string(peer.pid()) + "/wchan";
    return zoltest::waitUntil([&] { return zoltest::readFile(wchan).rfind(where, 0) == 0; },
                              zoltest::kBoundMs);
}

// In a child, while it holds a thousand named objects under 64 descriptors: creates a named
// object of the kind what that the system refuses. A segment gets room for its file, not for
// its mapping (the address-space limit), so it is refused once its file is made and named;
// an event or mutex meets a file-size limit too small for any object file.
void exhaust(const std::string& what, const std::string& name) {
    struct rlimit files = {64, 64};
    setrlimit(RLIMIT_NOFILE, &files);
    for (int i = 0; i < 500; ++i) {
        new CZolEvent(0, 0, (name + "-held" + std::to_string(i)).c_str());
        new CZolMutex(0, (name + "-held" + std::to_string(i)).c_str(), 0);
    }
    if (what == "shared memory") {
        const unsigned long pages = strtoul(zoltest::readFile("/proc/self/statm").c_str(), 0, 10);
        struct rlimit space = {pages * 4096 + (16 << 20), RLIM_INFINITY};
        setrlimit(RLIMIT_AS, &space);
        CZolShMem().Open(name.c_str(), 64 << 20);
    }
    struct rlimit limit = {1024, 1024};
    setrlimit(RLIMIT_FSIZE, &limit);
    if (what == "event")
        CZolEvent(0, 0, name.c_str());
    else
        CZolMutex(0, name.c_str(), 0);
}

}  // namespace

TEST(CrashFaults, KilledSegmentUserLetsABlockedSurvivorOnWithExactCounts) {
    struct Case {
        const char* stage;
        std::vector<std::string> steps;  // the victim's, before the kill
        const char* asleepIn;            // where the survivor waits for the kill
    };
    const Case cases[] = {
        {"connected", {"open"}, ""},
        {"inside Open", {"lock", "open"}, "futex"},
        {"inside a copy in", {"open", "fault-in"}, "futex"},
        {"inside a copy out", {"open", "fault-out"}, "futex"},
        {"inside a copy past the end", {"fault-past"}, "futex"},
        {"inside Close", {"open", "lock", "close"}, "futex"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.stage);
        const std::string name = zoltest::uniqueName("crash");
        Probe mine;
        ASSERT_EQ(mine.Open(name.c_str(), 64), 1);
        Peer victim([&](Peer& p) { return segmentPeer(p, name); });
        Peer survivor([&](Peer& p) { return segmentPeer(p, name); });
        for (const std::string& step : c.steps) {
            victim.send(step);
            const bool fault = step.rfind("fault", 0) == 0;
            ASSERT_TRUE(fault ? sleepsIn(victim, "do_signal_stop") : victim.receive() != "");
        }
        survivor.send("open");
        ASSERT_TRUE(sleepsIn(survivor, c.asleepIn));
        victim.kill();
        // The kernel hands the dead victim's mutex over before it drops the victim's other
        // holds, so the survivor's Open may still count it; its Close, after the reaping,
        // may not.
        const std::string opened = survivor.receive(5000);
        EXPECT_TRUE(opened == "2 0" || opened == "3 0") << opened;
        EXPECT_EQ(survivor.ask("put after the crash"), "ok");
        EXPECT_EQ(survivor.ask("close"), "1");
        EXPECT_EQ(mine.count(), 1u);
        survivor.send("end");
        EXPECT_EQ(survivor.finish(), 0);  // with its copies of mine's mutex and segment
        mine.Close();
        expectGone(name);
    }
}

TEST(Exhaustion, RefusedResourcesEndWithTheFatalMessageAndLeaveNothing) {
    for (const char* what : {"event", "mutex", "shared memory"}) {
        SCOPED_TRACE(what);
        const std::string prefix = zoltest::uniqueName("exhaust");
        int status = -1;
        const std::string out = zoltest::captureStdout([&] {
            status = zoltest::waitChild(
                zoltest::forkChild([&] { return exhaust(what, prefix), 0; }), zoltest::kBoundMs);
        });
        EXPECT_EQ(zoltest::exitCodeOf(status), 1) << "wait status " << status;
        EXPECT_EQ(out, std::string("Unable to create ") + what +
                           "; possibly not root or insufficient resources\n");
        EXPECT_EQ(zoltest::objectFiles(prefix), std::vector<std::string>());
    }
}
