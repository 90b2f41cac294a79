// Threads of the platform layer: suspension (running or inside a wait, nested), races of a
// thread suspending itself or changing its own priority while others suspend it,
// priorities as nice values, and operations on ended or deleted threads.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "ZolTestSupport.h"
#include "qel.h"

namespace {

struct Shared {
    std::atomic<long> counter{0};
    std::atomic<bool> stop{false};
    std::atomic<long> self{0};
    std::atomic<int> tid{0};
    std::function<void(Shared&)> body;
};

void run(void* argument) {
    auto* shared = static_cast<Shared*>(argument);
    shared->tid = static_cast<int>(syscall(SYS_gettid));
    while (shared->self == 0) {
    }
    shared->body(*shared);
}

long start(Shared& shared) {
    long thread = 0;
    EXPECT_EQ(QEL_OK, qelBeginThread(run, &shared, &thread));
    shared.self = thread;
    return thread;
}

bool standsStill(const Shared& shared) {
    long before = shared.counter;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    return shared.counter == before;
}

bool moves(const Shared& shared) {
    long before = shared.counter;
    return zoltest::waitUntil([&] { return shared.counter != before; }, 5000);
}

// The thread spends most of its time inside timed waits: suspension stops it there too.
TEST(QelThread, SuspensionStopsTheThreadEvenInsideAWaitAndNests) {
    long event = 0;
    qelCreateEvent(nullptr, &event);
    Shared shared;
    shared.body = [event](Shared& s) {
        while (!s.stop) {
            qelWaitEvent(event, 1);
            s.counter++;
        }
    };
    long thread = start(shared);
    ASSERT_TRUE(moves(shared));
    ASSERT_EQ(QEL_OK, qelSuspendThread(thread) | qelSuspendThread(thread));
    EXPECT_TRUE(standsStill(shared));
    ASSERT_EQ(QEL_OK, qelResumeThread(thread));  // one level left
    EXPECT_TRUE(standsStill(shared));
    ASSERT_EQ(QEL_OK, qelResumeThread(thread));
    EXPECT_TRUE(moves(shared));
    EXPECT_EQ(QEL_E_INVALID, qelResumeThread(thread));  // not suspended
    shared.stop = true;
    int priority = 0;
    ASSERT_TRUE(zoltest::waitUntil(
        [&] { return qelGetThreadPriority(thread, &priority) == QEL_E_EXITED; }, 5000));
    EXPECT_EQ(QEL_E_EXITED, qelSuspendThread(thread) & qelResumeThread(thread) &
                                qelSetThreadPriority(thread, -1));
    long stale = thread;
    EXPECT_EQ(QEL_OK, qelDeleteThreadHandle(&thread));
    EXPECT_EQ(QEL_E_BAD_HANDLE,
              qelSuspendThread(stale) & qelDeleteThreadHandle(&stale) & qelSetThreadPriority(0, 0));
    qelCloseEvent(&event);
}

// A thread suspending itself, or calling its own priority operations, while another thread
// suspends and resumes it: nobody deadlocks (each case runs in a child with a time bound).
TEST(QelThread, SelfSuspensionAndOwnPriorityCallsRaceWithSuspendersWithoutDeadlock) {
    const std::function<void(Shared&)> bodies[] = {
        [](Shared& s) {
            for (; s.counter < 300; s.counter++) {
                qelSuspendThread(s.self);
            }
        },
        [](Shared& s) {
            for (int p = 0; s.counter < 3000; s.counter++, p = p == -3 ? 0 : p - 1) {
                int got = 0;
                qelSetThreadPriority(s.self, p);
                qelGetThreadPriority(s.self, &got);
            }
        },
    };
    for (const auto& body : bodies) {
        pid_t child = zoltest::forkChild([&] {
            Shared shared;
            shared.body = body;
            long thread = start(shared);
            for (int tries = 0; shared.counter < (&body == &bodies[0] ? 300 : 3000); ++tries) {
                qelSuspendThread(thread);
                qelResumeThread(thread);
                qelResumeThread(thread);  // also ends a self-suspension
            }
            return qelDeleteThreadHandle(&thread) == QEL_OK ? 0 : 1;
        });
        EXPECT_EQ(0, zoltest::exitCodeOf(zoltest::waitChild(child, 20000)));
    }
}

TEST(QelThread, PrioritiesAreNiceValuesAndLoweringIsOneWayWithoutPrivilege) {
    Shared shared;
    shared.body = [](Shared& s) {
        while (!s.stop) {
        }
    };
    long thread = start(shared);
    ASSERT_TRUE(zoltest::waitUntil([&] { return shared.tid != 0; }, 5000));
    int priority = 99;
    EXPECT_EQ(QEL_OK, qelGetThreadPriority(thread, &priority));
    EXPECT_EQ(QEL_PRIORITY_NORMAL, priority);
    ASSERT_EQ(QEL_OK, qelSetThreadPriority(thread, QEL_PRIORITY_LOWEST));
    EXPECT_EQ(15, getpriority(PRIO_PROCESS, static_cast<id_t>(shared.tid)));
    EXPECT_EQ(QEL_E_INVALID, qelSetThreadPriority(thread, QEL_PRIORITY_HIGHEST + 1));
    QEL_STATUS back = qelSetThreadPriority(thread, 0);
    qelGetThreadPriority(thread, &priority);
    if (geteuid() != 0) {
        EXPECT_EQ(QEL_E_ACCESS, back);  // refused, and the priority stays as it was
        EXPECT_EQ(QEL_PRIORITY_LOWEST, priority);
    }
    shared.stop = true;
    EXPECT_TRUE(zoltest::waitUntil(
        [&] { return qelGetThreadPriority(thread, &priority) == QEL_E_EXITED; }, 5000));
    qelDeleteThreadHandle(&thread);
}

}  // namespace
