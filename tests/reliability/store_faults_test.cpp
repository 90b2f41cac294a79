// One process's fault stays with it: what a careless, stopped, forked, foreign or greedy
// process does with a named object never reaches the other processes, nor other names.
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "../shm/ShmProbe.h"
#include "CZolEvent.h"
#include "qel.h"
#include "qelStore.h"
#include "qelTesting.h"

using zoltest::Peer;

namespace {

const std::string kHelper = std::string(ZOL_TEST_HELPER_DIR) + "/qel_helper";

// A fresh process makes, uses and closes a mutex, an event and a segment called name within
// five seconds (a generous bound under load): nothing of another name holds it up. Its exit
// code: 0, 1 when it failed, -1 when it hung.
int otherNameWorks(const std::string& name) {
    auto body = [&] {
        CZolMutex mutex(1, name.c_str(), 0);
        CZolEvent event(0, 1, name.c_str());
        CZolSharedMemory segment(name.c_str(), 8);
        return mutex.Unlock() == 1 && event.Lock(0) == 0 ? 0 : 1;
    };
    return zoltest::runChild(body, 5000);
}

}  // namespace

TEST(StoreFaults, AStoppedProcessDelaysNoOtherName) {
    const std::string name = zoltest::uniqueName("stopped");
    // Stopped at points spread over its work on name: creating, opening, copying, closing.
    for (int round = 0; round < 8; ++round) {
        pid_t busy = zoltest::forkChild([&] {
            for (;;) {
                CZolSharedMemory segment(name.c_str(), 1 << 16);
                CZolEvent event(0, 1, name.c_str());
                memcpy_shmem(segment, &round, sizeof round);
            }
            return 0;
        });
        usleep(3000 + 1700 * round);
        kill(busy, SIGSTOP);
        EXPECT_EQ(otherNameWorks(name + "-other"), 0) << "round " << round;
        kill(busy, SIGKILL);
        zoltest::waitChild(busy, zoltest::kBoundMs);
    }
    CZolEvent(0, 1, name.c_str());  // opening it makes what the killed left fresh
    Probe last;
    last.Open(name.c_str(), 4);
    last.count() = 1;
    last.Close();
    expectGone(name);
}

// Children forked while two threads of this process create and close named objects without
// pause: a lock of the store a thread held at the fork must be free in the child.
TEST(StoreFaults, ChildrenForkedWhileThreadsWorkOnNamesUseTheStore) {
    const std::string name = zoltest::uniqueName("forked");
    std::atomic<bool> stop{false};
    auto churn = [&](int t) {
        const std::string mine = name + "-thread" + std::to_string(t);
        while (!stop) {
            CZolMutex mutex(1, mine.c_str(), 0);
            CZolSharedMemory segment(mine.c_str(), 8);
        }
    };
    std::thread first(churn, 0), second(churn, 1);
    int code = 0, fork = 0;
    while (fork < 200 && code == 0)
        code = otherNameWorks(name + "-child" + std::to_string(fork++));
    stop = true;
    first.join(), second.join();
    EXPECT_EQ(code, 0) << "the child of fork " << fork;
}

TEST(StoreFaults, AnotherPidNamespaceIsRefusedRatherThanShared) {
    const std::string name = zoltest::uniqueName("pidns");
    long event = 0;
    ASSERT_EQ(qelCreateEvent(name.c_str(), &event), QEL_OK);
    // A process of a PID namespace of its own (forked there, without exec, so that it holds
    // its parent's view of the store) is refused the event rather than given a share of it.
    auto opens = [&] {
        long other = 0;
        return qelCreateEvent(name.c_str(), &other) == QEL_E_NAMESPACE ? 3 : 0;
    };
    auto forked = [&] { return unshare(CLONE_NEWPID) != 0 ? 77 : zoltest::runChild(opens, 10000); };
    const int code = zoltest::runChild(forked, 20000);
    qelCloseEvent(&event);
    if (code == 77)
        GTEST_SKIP() << "no PID namespace of its own here";
    EXPECT_EQ(code, 3);
}

TEST(StoreFaults, DirectoriesGiveTheirFilesTheirModeAndOnlyTheDefaultOneGoesWithItsUsers) {
    // An administrator's directory shared through its group, one of the user's own, and the
    // default one (in a name space of this test's own); fresh processes that wait through
    // the wait-any fallback, which keeps a wake-up word in the directory as well.
    zoltest::TempDir shared, own;
    chmod(shared.path().c_str(), 02770);
    const char* given = getenv("ZOL_QEL_NAMESPACE");
    const std::string space = std::string(given ? given : "") + "t" + std::to_string(getpid());
    const std::string byDefault = "/dev/shm/zoltov-" + std::to_string(geteuid()) + "-" + space;
    const struct {
        zoltest::EnvChange where;
        std::string directory;
        mode_t mode;
    } rows[] = {{{"ZOLTOV_RUNTIME_DIR", shared.path()}, shared.path(), 0660},
                {{"ZOLTOV_RUNTIME_DIR", own.path()}, own.path(), 0600},
                {{"ZOL_QEL_NAMESPACE", space}, byDefault, 0600}};
    for (const auto& row : rows) {
        const std::vector<zoltest::EnvChange> env = {row.where,
                                                     {"ZOL_QEL_FORCE_WAITV_FALLBACK", "1"}};
        const std::string name = zoltest::uniqueName("where");
        Peer waiter([&](Peer&) {
            return zoltest::runProgram(kHelper, {name, "10000"}, env).exitCode;
        });
        struct stat st = {};
        EXPECT_TRUE(zoltest::waitUntil(
            [&] {
                const std::string file = qel::encodeName(qel::ObjectType::Event, name.c_str());
                return !lstat((row.directory + "/" + file).c_str(), &st);
            },
            20000));
        EXPECT_EQ(st.st_mode & 07777, row.mode) << row.directory;
        EXPECT_EQ(zoltest::runProgram(kHelper, {name}, env).exitCode, 0);
        EXPECT_EQ(waiter.finish(), 0);
        EXPECT_EQ(zoltest::listDirectory(row.directory), std::vector<std::string>());
    }
    EXPECT_NE(access(byDefault.c_str(), F_OK), 0) << byDefault << " outlived its last user";
}
