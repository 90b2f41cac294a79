// Threads of the platform layer: suspend/resume (spinning, blocked in a wait, nested, self),
// priorities, qelEndThread's unwinding, and operations on ended or deleted threads.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "ZolTestSupport.h"
#include "qel.h"

namespace {

struct Shared {
    std::atomic<long> counter{0};
    std::atomic<bool> stop{false};
    std::atomic<int> tid{0};
    std::atomic<bool> unwound{false};
    long event = 0;
    std::atomic<long> self{0};
};

void spin(void* argument) {
    auto* shared = static_cast<Shared*>(argument);
    shared->tid = static_cast<int>(syscall(SYS_gettid));
    while (!shared->stop) {
        shared->counter++;
    }
}

// Counts each time its event releases it, resetting it in between.
void waitLoop(void* argument) {
    auto* shared = static_cast<Shared*>(argument);
    while (!shared->stop) {
        if (qelWaitEvent(shared->event, QEL_INFINITE) == QEL_OK) {
            qelResetEvent(shared->event);
            shared->counter++;
        }
    }
}

// True when the counter does not move for a while.
bool standsStill(const Shared& shared) {
    long before = shared.counter;
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    return shared.counter == before;
}

bool moves(const Shared& shared) {
    long before = shared.counter;
    return zoltest::waitUntil([&] { return shared.counter != before; }, 5000);
}

void finishThread(Shared& shared, long& thread) {
    shared.stop = true;
    if (shared.event != 0) {
        qelSetEvent(shared.event);
    }
    int priority = 0;
    ASSERT_TRUE(zoltest::waitUntil(
        [&] { return qelGetThreadPriority(thread, &priority) == QEL_E_EXITED; }, 5000));
    EXPECT_EQ(QEL_OK, qelDeleteThreadHandle(&thread));
}

TEST(QelThread, SuspendedSpinningThreadMakesNoProgressAndNestsCounts) {
    Shared shared;
    long thread = 0;
    ASSERT_EQ(QEL_OK, qelBeginThread(spin, &shared, &thread));
    ASSERT_TRUE(moves(shared));
    ASSERT_EQ(QEL_OK, qelSuspendThread(thread));
    EXPECT_TRUE(standsStill(shared));
    ASSERT_EQ(QEL_OK, qelSuspendThread(thread));
    ASSERT_EQ(QEL_OK, qelResumeThread(thread));  // one level left
    EXPECT_TRUE(standsStill(shared));
    ASSERT_EQ(QEL_OK, qelResumeThread(thread));
    EXPECT_TRUE(moves(shared));
    EXPECT_EQ(QEL_E_INVALID, qelResumeThread(thread));  // not suspended
    // Repeated cycles: each suspend stops it before returning.
    for (int i = 0; i < 20; ++i) {
        ASSERT_EQ(QEL_OK, qelSuspendThread(thread));
        long frozen = shared.counter;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        EXPECT_EQ(frozen, shared.counter);
        ASSERT_EQ(QEL_OK, qelResumeThread(thread));
    }
    finishThread(shared, thread);
}

TEST(QelThread, ThreadSuspendedInsideAWaitStaysStoppedWhenReleased) {
    Shared shared;
    ASSERT_EQ(QEL_OK, qelCreateEvent(nullptr, &shared.event));
    long thread = 0;
    ASSERT_EQ(QEL_OK, qelBeginThread(waitLoop, &shared, &thread));
    qelSetEvent(shared.event);
    ASSERT_TRUE(zoltest::waitUntil([&] { return shared.counter == 1; }, 5000));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // back inside the wait
    ASSERT_EQ(QEL_OK, qelSuspendThread(thread));
    qelSetEvent(shared.event);
    EXPECT_TRUE(standsStill(shared));
    EXPECT_EQ(1, shared.counter);
    ASSERT_EQ(QEL_OK, qelResumeThread(thread));
    EXPECT_TRUE(zoltest::waitUntil([&] { return shared.counter == 2; }, 5000));
    finishThread(shared, thread);
    qelCloseEvent(&shared.event);
}

void suspendSelf(void* argument) {
    auto* shared = static_cast<Shared*>(argument);
    ASSERT_TRUE(zoltest::waitUntil([&] { return shared->self != 0; }, 5000));
    shared->counter = 1;
    qelSuspendThread(shared->self);
    shared->counter = 2;
}

TEST(QelThread, ThreadSuspendingItselfWaitsForResume) {
    Shared shared;
    long thread = 0;
    ASSERT_EQ(QEL_OK, qelBeginThread(suspendSelf, &shared, &thread));
    shared.self = thread;
    ASSERT_TRUE(zoltest::waitUntil([&] { return shared.counter == 1; }, 5000));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(1, shared.counter);
    ASSERT_EQ(QEL_OK, qelResumeThread(thread));
    EXPECT_TRUE(zoltest::waitUntil([&] { return shared.counter == 2; }, 5000));
    finishThread(shared, thread);
}

struct UnwindProbe {
    std::atomic<bool>* flag;
    ~UnwindProbe() { *flag = true; }
};

void endEarly(void* argument) {
    auto* shared = static_cast<Shared*>(argument);
    UnwindProbe probe{&shared->unwound};
    qelEndThread(3);
    shared->counter = 99;  // never reached
}

TEST(QelThread, EndedThreadUnwindsAndRefusesOperations) {
    Shared shared;
    long thread = 0;
    ASSERT_EQ(QEL_OK, qelBeginThread(endEarly, &shared, &thread));
    int priority = 7;
    ASSERT_TRUE(zoltest::waitUntil(
        [&] { return qelGetThreadPriority(thread, &priority) == QEL_E_EXITED; }, 5000));
    EXPECT_TRUE(shared.unwound);
    EXPECT_EQ(0, shared.counter);
    EXPECT_EQ(QEL_PRIORITY_NORMAL, priority);
    EXPECT_EQ(QEL_E_EXITED, qelSuspendThread(thread));
    EXPECT_EQ(QEL_E_EXITED, qelResumeThread(thread));
    EXPECT_EQ(QEL_E_EXITED, qelSetThreadPriority(thread, 1));
    long copy = thread;
    EXPECT_EQ(QEL_OK, qelDeleteThreadHandle(&thread));
    EXPECT_EQ(0, thread);
    EXPECT_EQ(QEL_E_BAD_HANDLE, qelSuspendThread(copy));
    EXPECT_EQ(QEL_E_BAD_HANDLE, qelResumeThread(copy));
    EXPECT_EQ(QEL_E_BAD_HANDLE, qelSetThreadPriority(copy, 0));
    EXPECT_EQ(QEL_E_BAD_HANDLE, qelDeleteThreadHandle(&copy));
    EXPECT_EQ(QEL_E_BAD_HANDLE, qelSuspendThread(0));
    EXPECT_EQ(QEL_E_INVALID, qelBeginThread(nullptr, nullptr, &copy));
}

TEST(QelThread, PrioritiesMapOntoTheThreadsNiceValue) {
    Shared shared;
    long thread = 0;
    ASSERT_EQ(QEL_OK, qelBeginThread(spin, &shared, &thread));
    ASSERT_TRUE(zoltest::waitUntil([&] { return shared.tid != 0; }, 5000));
    int priority = 99;
    EXPECT_EQ(QEL_OK, qelGetThreadPriority(thread, &priority));
    EXPECT_EQ(QEL_PRIORITY_NORMAL, priority);
    ASSERT_EQ(QEL_OK, qelSetThreadPriority(thread, QEL_PRIORITY_LOWEST));
    EXPECT_EQ(-QEL_PRIORITY_LOWEST, getpriority(PRIO_PROCESS, static_cast<id_t>(shared.tid)));
    EXPECT_EQ(QEL_OK, qelGetThreadPriority(thread, &priority));
    EXPECT_EQ(QEL_PRIORITY_LOWEST, priority);
    EXPECT_EQ(QEL_E_INVALID, qelSetThreadPriority(thread, QEL_PRIORITY_HIGHEST + 1));
    EXPECT_EQ(QEL_E_INVALID, qelSetThreadPriority(thread, QEL_PRIORITY_LOWEST - 1));
    // Raising may need privileges: either it happens or the refusal is reported.
    QEL_STATUS raised = qelSetThreadPriority(thread, QEL_PRIORITY_HIGHEST);
    qelGetThreadPriority(thread, &priority);
    if (raised == QEL_OK) {
        EXPECT_EQ(-QEL_PRIORITY_HIGHEST, getpriority(PRIO_PROCESS, static_cast<id_t>(shared.tid)));
        EXPECT_EQ(QEL_PRIORITY_HIGHEST, priority);
    } else {
        EXPECT_EQ(QEL_E_ACCESS, raised);
        EXPECT_EQ(QEL_PRIORITY_LOWEST, priority);
    }
    finishThread(shared, thread);
}

}  // namespace
