// The platform layer's mutexes, events and threads: ownership and timeouts, mutexes destroyed
// while held, waits (futex_waitv and its fallback), pulses, resetting waits that each set
// releases once, suspension races, what a suspension does to the calls of its thread, and
// priorities. Named mutexes handed over when their holder dies are tested where a killed
// process holds a segment's mutex (crash_faults_test).
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "ZolTestSupport.h"
#include "qel.h"
#include "qelTesting.h"

namespace {

using zoltest::onOtherThread;
using zoltest::Results;

TEST(QelMutex, RecursionOwnershipTimeoutsAndSerialisationForBothKinds) {
    const struct {
        QEL_STATUS(*create)
        (const char*, long*), (*lock)(long, long), (*unlock)(long), (*close)(long*);
    } kinds[] = {{qelCreateUnlockedMutex, qelLockMutex, qelUnlockMutex, qelCloseMutex},
                 {qelCreateUnlockedThreadMutex, qelLockThreadMutex, qelUnlockThreadMutex,
                  qelDeleteThreadMutex}};
    for (const auto& k : kinds) {
        long m = 0, counter = 0;  // plain counter: a lost update shows a broken mutex
        ASSERT_EQ(QEL_OK, k.create(nullptr, &m));
        EXPECT_EQ(QEL_E_NOT_OWNER, k.unlock(m));
        ASSERT_EQ(Results({k.lock(m, QEL_INFINITE), k.lock(m, 0)}), Results({QEL_OK, QEL_OK}));
        EXPECT_EQ(QEL_E_NOT_OWNER, onOtherThread([&] { return k.unlock(m); }));
        auto start = std::chrono::steady_clock::now();
        auto tries = [&] { return Results({k.lock(m, 0), k.lock(m, 150)}); };
        EXPECT_EQ(Results(2, QEL_E_TIMEOUT), onOtherThread(tries));
        EXPECT_GE(zoltest::elapsedMs(start), 145);
        // After one unlock one level is left: another thread is still kept out.
        EXPECT_EQ(Results({k.unlock(m), onOtherThread([&] { return k.lock(m, 0); }), k.unlock(m)}),
                  Results({QEL_OK, QEL_E_TIMEOUT, QEL_OK}));
        std::vector<std::thread> threads(3);
        for (auto& t : threads) {
            t = std::thread([&] {
                for (int i = 0; i < 20000; ++i)
                    k.lock(m, QEL_INFINITE), ++counter, k.unlock(m);
            });
        }
        std::for_each(threads.begin(), threads.end(), [](std::thread& t) { t.join(); });
        EXPECT_EQ(60000, counter);
        long stale = m;
        EXPECT_EQ(QEL_OK, k.close(&m));
        EXPECT_EQ(Results(6, QEL_E_BAD_HANDLE),
                  Results({k.lock(stale, 0), k.unlock(stale), k.close(&stale), k.lock(0, 0),
                           k.unlock(0), k.close(&m)}));
    }
}

// A mutex closed while held, by its holder or under another thread, leaves nothing that a
// later unlock trips over (glibc walks a thread's robust list to unlock a mutex locked before:
// a node whose memory is gone crashes it), and its file goes when the process exits. Each
// case runs in a child.
TEST(QelMutex, DestroyedWhileHeldIsHarmless) {
    const std::function<Results(long)> cases[] = {
        [](long m) {
            return Results({qelLockMutex(m, 0), qelLockMutex(m, 0), qelCloseMutex(&m)});
        },
        [](long m) {  // another thread holds it (after an older mutex) when it is closed
            std::atomic<int> phase{0};
            std::thread holder([&] {
                long older = 0;
                qelCreateUnlockedMutex(nullptr, &older), qelLockMutex(older, 0), qelLockMutex(m, 0);
                for (phase = 1; phase != 2;) {
                }
                qelUnlockMutex(older), qelCloseMutex(&older);
            });
            while (phase != 1) {
            }
            QEL_STATUS status = qelCloseMutex(&m);
            phase = 2;
            return holder.join(), Results({status});
        },
    };
    const std::string name = zoltest::uniqueName("held");
    for (const auto& misuse : cases) {
        for (bool named : {false, true}) {
            auto body = [&] {
                long older = 0, m = 0, next[2] = {0, 0};
                qelCreateUnlockedMutex(nullptr, &older);
                qelCreateUnlockedMutex(named ? name.c_str() : nullptr, &m);
                Results steps = {qelLockMutex(older, 0)}, misused = misuse(m);
                steps.insert(steps.end(), misused.begin(), misused.end());
                steps.push_back(qelUnlockMutex(older));
                // The next named mutexes take the records closes gave back, the closed one's
                // among them if it gave that back; the exit then lets go of every named object
                // still open.
                for (long& n : next)
                    steps.push_back(qelCreateUnlockedMutex(zoltest::uniqueName("n").c_str(), &n));
                steps.insert(steps.end(), {qelCloseMutex(&next[0]), qelCloseMutex(&next[1])});
                auto bad = std::find_if(steps.begin(), steps.end(), [](auto s) { return s != 0; });
                exit(bad == steps.end() ? 0 : static_cast<int>(bad - steps.begin()) + 1);
                return 1;
            };
            EXPECT_EQ(0, zoltest::runChild(body, 10000)) << "the number of the step that failed";
        }
    }
    EXPECT_EQ(zoltest::objectFiles(name), std::vector<std::string>());
}

// Each event test runs with futex_waitv (where the kernel has it) and on the fallback.
class QelEvent : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override { qelTestForceWaitvFallback(GetParam() ? 1 : 0); }
    void TearDown() override { qelTestForceWaitvFallback(-1); }
};

TEST_P(QelEvent, SetResetWaitsTimeoutsAndBadArguments) {
    std::vector<long> e(QEL_MAX_WAIT_EVENTS);
    for (long& event : e)
        ASSERT_EQ(QEL_OK, qelCreateEvent(nullptr, &event));
    unsigned int index = 7;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Results(2, QEL_E_TIMEOUT),
              Results({qelWaitEvent(e[0], 60), qelWaitEvents(e.data(), 128, &index, 60)}));
    EXPECT_GE(zoltest::elapsedMs(start), 118);
    EXPECT_EQ(0xFFFFFFFFu, index);
    ASSERT_EQ(Results({qelSetEvent(e[0]), qelSetEvent(e[0]), qelSetEvent(e[127])}), Results(3, 0));
    // A plain wait does not reset: both return at once.
    EXPECT_EQ(Results(2, 0), Results({qelWaitEvent(e[0], 0), qelWaitEvent(e[0], QEL_INFINITE)}));
    EXPECT_EQ(Results({QEL_OK, 126}),
              Results({qelWaitEvents(e.data() + 1, 127, &index, QEL_INFINITE), index}));
    qelSetEvent(e[40]);  // the lowest set index
    EXPECT_EQ(Results({QEL_OK, 39}), Results({qelWaitEvents(e.data() + 1, 127, &index, 0), index}));
    long bad[2] = {e[1], 0};
    for (unsigned int count : {0u, 129u})
        EXPECT_EQ(QEL_E_WAIT_FAILED, qelWaitEvents(e.data(), count, &index, 0));
    EXPECT_EQ(Results(2, QEL_E_WAIT_FAILED),
              Results({qelWaitEventsAndReset(bad, nullptr, 2, &index, 0),
                       qelWaitEvents(nullptr, 1, &index, 0)}));
    long stale = e[0];
    EXPECT_EQ(QEL_OK, qelCloseEvent(&e[0]));
    EXPECT_EQ(Results(3, QEL_E_BAD_HANDLE),
              Results({qelSetEvent(stale), qelResetEvent(0), qelDeleteEvent(&stale)}));
    EXPECT_EQ(Results(2, QEL_E_WAIT_FAILED),
              Results({qelWaitEvent(stale, 0), qelWaitEventAndReset(0, 0)}));
    std::for_each(e.begin() + 1, e.end(), [](long& event) { qelCloseEvent(&event); });
}

// A set followed at once by a reset releases the plain waiters already waiting, and a signal
// handled without SA_RESTART does not end their waits.
TEST_P(QelEvent, PulsesReleaseAndSignalsDoNotEndPlainWaits) {
    struct sigaction action = {};
    action.sa_handler = [](int) {};
    sigaction(SIGUSR2, &action, nullptr);
    for (int round = 0; round < 10; ++round) {
        long e[3] = {0, 0, 0};
        QEL_STATUS single = 1, any = 1;
        unsigned int index = 99;
        for (long& event : e)
            qelCreateEvent(nullptr, &event);
        std::thread first([&] { single = qelWaitEvent(e[2], 10000); });
        ASSERT_TRUE(zoltest::waitUntil([&] { return qelTestEventHasWaiters(e[2]); }, 5000));
        std::thread second([&] { any = qelWaitEvents(e, 3, &index, 10000); });
        ASSERT_TRUE(zoltest::waitUntil([&] { return qelTestEventHasWaiters(e[0]); }, 5000));
        pthread_kill(first.native_handle(), SIGUSR2), pthread_kill(second.native_handle(), SIGUSR2);
        usleep(2000);
        qelSetEvent(e[2]), qelResetEvent(e[2]), first.join(), second.join();
        EXPECT_EQ(QEL_OK, single | any);
        EXPECT_EQ(2u, index);
        std::for_each(e, e + 3, [](long& event) { qelCloseEvent(&event); });
    }
}

// 8 resetting waiters in forked processes, sets one after another: each releases exactly one,
// and after 3 the event is not set. Single waits and wait-any, on a named event.
TEST_P(QelEvent, EachSetReleasesExactlyOneResettingWaiter) {
    auto* released = static_cast<std::atomic<int>*>(mmap(nullptr, sizeof(std::atomic<int>),
                                                         PROT_READ | PROT_WRITE,
                                                         MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    for (bool any : {false, true}) {
        long e[2] = {0, 0};  // waits on the second one
        qelCreateEvent(zoltest::uniqueName("o").c_str(), &e[0]);
        qelCreateEvent(zoltest::uniqueName("fair").c_str(), &e[1]);
        released->store(0);
        std::vector<pid_t> children;
        for (int i = 0; i < 8; ++i) {
            children.push_back(zoltest::forkChild([&] {
                unsigned char reset[2] = {1, 1};
                unsigned int index = 0;
                QEL_STATUS status = any ? qelWaitEventsAndReset(e, reset, 2, &index, 10000)
                                        : qelWaitEventAndReset(e[1], 10000);
                return status == QEL_OK ? (++*released, 0) : 1;
            }));
        }
        auto countIs = [&](int n) {
            return zoltest::waitUntil([&] { return released->load() == n; }, 5000);
        };
        for (int n = 1; n <= 8; ++n) {
            qelSetEvent(e[1]);
            if (!countIs(n) ||
                (n == 3 && (usleep(100000), !countIs(3) || qelWaitEvent(e[1], 0) == QEL_OK))) {
                ADD_FAILURE() << "wait-any " << any << ": " << *released << " released, not " << n;
                break;
            }
        }
        for (pid_t child : children)
            EXPECT_EQ(0, zoltest::exitCodeOf(zoltest::waitChild(child, 10000)));
        qelCloseEvent(&e[0]), qelCloseEvent(&e[1]);
    }
    munmap(released, sizeof(std::atomic<int>));
}

INSTANTIATE_TEST_SUITE_P(WaitvAndFallback, QelEvent, ::testing::Bool());

struct Body {
    std::atomic<long> counter{0}, self{0};
    std::atomic<bool> stop{false};
    std::atomic<int> tid{0};
    std::function<void(Body&)> run;
    long start() {
        long thread = 0;
        EXPECT_EQ(QEL_OK, qelBeginThread(entry, this, &thread));
        return self = thread;
    }
    static void entry(void* argument) {
        auto* b = static_cast<Body*>(argument);
        b->tid = static_cast<int>(syscall(SYS_gettid));
        while (b->self == 0) {
        }
        b->run(*b);
    }
    bool standsStill() {
        long before = counter;
        return usleep(100000), counter == before;
    }
};

bool blockedInKernel(int tid) {  // the thread's state in /proc is S (interruptible sleep)
    std::string stat = zoltest::readFile("/proc/self/task/" + std::to_string(tid) + "/stat");
    size_t end = stat.rfind(')');
    return end != std::string::npos && stat.compare(end, 3, ") S") == 0;
}

// A suspended thread stops in a signal handler installed with SA_RESTART: a read it was blocked
// in goes on after the resume, while a call that the kernel never restarts after a handler (a
// sleep here; qel.h lists them, polls among them) returns early with EINTR.
TEST(QelThread, SuspensionRestartsAReadButCutsASleepShort) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "ThreadSanitizer runs a handler only once a non-blocking call like read ends";
#endif
    int fds[2];
    ASSERT_EQ(0, pipe(fds));
    for (bool sleeps : {false, true}) {
        Body b;
        std::atomic<long> result{1000};  // still inside the call
        b.run = [&](Body&) {
            char byte;
            result = (sleeps ? usleep(3000000) : read(fds[0], &byte, 1)) < 0 ? -errno : 1;
        };
        long thread = b.start();
        ASSERT_TRUE(zoltest::waitUntil([&] { return blockedInKernel(b.tid); }, 5000));
        ASSERT_EQ(QEL_OK, qelSuspendThread(thread));
        EXPECT_EQ(QEL_OK, qelResumeThread(thread));
        EXPECT_EQ(1, write(fds[1], "x", 1));  // what the read waits for
        EXPECT_TRUE(zoltest::waitUntil([&] { return result != 1000; }, 5000));
        EXPECT_EQ(sleeps ? -EINTR : 1, result.load());
        while (qelResumeThread(thread) != QEL_E_EXITED) {
        }
        qelDeleteThreadHandle(&thread);
    }
    close(fds[0]), close(fds[1]);
}

// The thread spends most of its time in timed waits: suspension stops it there too; counts
// nest; priorities; ended and deleted threads refuse every operation.
TEST(QelThread, SuspensionPrioritiesAndEndedThreads) {
    long event = 0, stale = 0;
    int priority = 0;
    qelCreateEvent(nullptr, &event);
    Body b;
    b.run = [event](Body& s) {
        for (; !s.stop; s.counter++)
            qelWaitEvent(event, 1);
    };
    long thread = b.start();
    ASSERT_TRUE(zoltest::waitUntil([&] { return b.counter > 0; }, 5000));
    ASSERT_EQ(Results({qelSuspendThread(thread), qelSuspendThread(thread)}), Results(2, QEL_OK));
    EXPECT_TRUE(b.standsStill());
    EXPECT_EQ(QEL_OK, qelResumeThread(thread));  // one level left
    EXPECT_TRUE(b.standsStill());
    EXPECT_EQ(QEL_OK, qelResumeThread(thread));
    EXPECT_FALSE(b.standsStill());
    EXPECT_EQ(QEL_E_INVALID, qelResumeThread(thread));  // not suspended
    // Priorities are nice values; without privilege a lowered thread cannot come back.
    EXPECT_EQ(QEL_PRIORITY_NORMAL, (qelGetThreadPriority(thread, &priority), priority));
    ASSERT_EQ(QEL_OK, qelSetThreadPriority(thread, QEL_PRIORITY_LOWEST));
    EXPECT_EQ(15, getpriority(PRIO_PROCESS, static_cast<id_t>(b.tid)));
    EXPECT_EQ(QEL_E_INVALID, qelSetThreadPriority(thread, QEL_PRIORITY_HIGHEST + 1));
    EXPECT_EQ(geteuid() == 0 ? QEL_OK : QEL_E_ACCESS, qelSetThreadPriority(thread, 0));
    qelGetThreadPriority(thread, &priority);
    EXPECT_EQ(geteuid() == 0 ? 0 : QEL_PRIORITY_LOWEST, priority);
    b.stop = true;
    ASSERT_TRUE(zoltest::waitUntil(
        [&] { return qelGetThreadPriority(thread, &priority) == QEL_E_EXITED; }, 5000));
    EXPECT_EQ(Results(3, QEL_E_EXITED), Results({qelSuspendThread(thread), qelResumeThread(thread),
                                                 qelSetThreadPriority(thread, -1)}));
    EXPECT_EQ(QEL_OK, qelDeleteThreadHandle(&(stale = thread)));
    EXPECT_EQ(Results(3, QEL_E_BAD_HANDLE),
              Results({qelSuspendThread(thread), qelDeleteThreadHandle(&thread),
                       qelSetThreadPriority(0, 0)}));
    qelCloseEvent(&event);
}

// A thread that forks is its child's only thread: its own priority calls act on it there, not
// on the parent's thread, also when another thread held its record's lock at the fork; the
// parent's other threads count as ended there. A thread that blocks every signal refuses a
// suspend instead of leaving its suspender hanging, and the refusal leaves nothing behind: the
// thread does not stop once it lets the signal in, and is not suspended. In a child with a
// bound.
TEST(QelThread, AForkingThreadAndOneThatBlocksSignalsLeaveEveryCallerAnAnswer) {
    auto body = [] {
        Body forking, blocking;
        blocking.run = [](Body& s) {
            sigset_t all;
            sigfillset(&all);
            pthread_sigmask(SIG_BLOCK, &all, nullptr);
            for (; !s.stop; s.counter++)
                usleep(1000);
            pthread_sigmask(SIG_UNBLOCK, &all, nullptr);  // the refused suspend's signal comes in
            for (s.stop = false; !s.stop;)
                usleep(1000);
        };
        const long other = blocking.start();
        std::atomic<int> failed{0};
        forking.run = [&](Body& s) {
            auto lowerSelf = [other] {
                return qelSetOwnThreadPriority(-5) | (getpriority(PRIO_PROCESS, 0) != 5) |
                       (qelSetThreadPriority(other, -5) != QEL_E_EXITED);
            };
            for (int i = 0; i < 100; ++i)
                failed += zoltest::runChild(lowerSelf, 5000) != 0;
            failed += getpriority(PRIO_PROCESS, 0) != 0;  // this thread's own nice value
            s.stop = true;
        };
        long thread = forking.start();
        for (int priority = 0; !forking.stop || blocking.counter == 0;)
            qelGetThreadPriority(thread, &priority);  // takes the record's lock
        int status = failed + (getpriority(PRIO_PROCESS, static_cast<id_t>(blocking.tid)) != 0);
        status += (qelSuspendThread(other) != QEL_E_ACCESS) * 10;
        status += blocking.standsStill() * 20;
        blocking.stop = true;
        status += !zoltest::waitUntil([&] { return !blocking.stop; }, 5000) * 40;
        status += (qelResumeThread(other) != QEL_E_INVALID) * 80;
        return status + qelDeleteThreadHandle(&thread);
    };
    EXPECT_EQ(0, zoltest::runChild(body, 60000));
}

// A thread suspending itself, calling its own priority operations, or making and closing
// named mutexes, while another thread suspends it, makes a named mutex of its own while it is
// suspended, and resumes it: nobody deadlocks. A suspend that lands inside one of the layer's
// lock regions is carried out when it ends: the suspender, which needs those locks, never
// meets one held by a stopped thread, and no suspend is lost (the thread runs until told to
// stop, so a lost one hangs the suspender). The first priority call is made at once, when
// the new thread may not have published its id yet. Each case runs in a child with a bound.
TEST(QelThread, SelfSuspensionAndOwnPriorityCallsRaceWithSuspendersWithoutDeadlock) {
    const std::string name = zoltest::uniqueName("suspended");
    auto makeAndClose = [](const std::string& named) {
        long mutex = 0;
        return qelCreateUnlockedMutex(named.c_str(), &mutex) | qelCloseMutex(&mutex);
    };
    const std::string own = name + "-thread";  // nothing allocated outside the layer's calls
    const std::function<void(Body&)> bodies[] = {
        [&](Body& s) {
            for (; !s.stop; s.counter++)
                makeAndClose(own);
        },
        [](Body& s) {
            for (; !s.stop; s.counter++)
                qelSuspendThread(s.self);
        },
        [](Body& s) {
            for (int p = 0, got = 0; !s.stop; s.counter++, p = p == -3 ? 0 : p - 1)
                qelSetThreadPriority(s.self, p), qelGetThreadPriority(s.self, &got);
        },
    };
    for (const auto& body : bodies) {
        auto race = [&] {
            Body b;
            b.run = body;
            long thread = b.start();
            QEL_STATUS first = qelSetThreadPriority(thread, QEL_PRIORITY_NORMAL);
            for (int i = 0; i < 2000; ++i) {  // a second resume ends a self-suspension
                qelSuspendThread(thread);
                first |= makeAndClose(name);
                qelResumeThread(thread), qelResumeThread(thread);
            }
            for (b.stop = true; qelResumeThread(thread) != QEL_E_EXITED;) {
            }
            return static_cast<int>(first | qelDeleteThreadHandle(&thread));
        };
        EXPECT_EQ(0, zoltest::runChild(race, 20000));
    }
}

}  // namespace
