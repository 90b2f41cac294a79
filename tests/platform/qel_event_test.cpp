// Events of the platform layer: set/reset semantics, single waits, wait-any (futex_waitv and
// its forced fallback), named events across processes, timeouts and bad handles.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "ZolTestSupport.h"
#include "qel.h"
#include "qelTesting.h"

namespace {

using Clock = std::chrono::steady_clock;

long elapsedMs(Clock::time_point since) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count();
}

// Runs each test once with futex_waitv (where the kernel has it) and once on the fallback.
class QelEvent : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override { qelTestForceWaitvFallback(GetParam() ? 1 : 0); }
    void TearDown() override { qelTestForceWaitvFallback(-1); }
};

TEST_P(QelEvent, StaysSetUntilResetAndTimesOutWhenNotSet) {
    if (GetParam()) {
        EXPECT_EQ(0, qelTestWaitvInUse());
    }
    long event = 0;
    ASSERT_EQ(QEL_OK, qelCreateEvent(nullptr, &event));
    EXPECT_EQ(QEL_E_TIMEOUT, qelWaitEvent(event, 0));
    auto start = Clock::now();
    EXPECT_EQ(QEL_E_TIMEOUT, qelWaitEvent(event, 120));
    EXPECT_GE(elapsedMs(start), 118);
    ASSERT_EQ(QEL_OK, qelSetEvent(event));
    ASSERT_EQ(QEL_OK, qelSetEvent(event));
    EXPECT_EQ(QEL_OK, qelWaitEvent(event, 0));
    EXPECT_EQ(QEL_OK, qelWaitEvent(event, QEL_INFINITE));  // waiting does not reset it
    ASSERT_EQ(QEL_OK, qelResetEvent(event));
    EXPECT_EQ(QEL_E_TIMEOUT, qelWaitEvent(event, 10));
    long copy = event;
    EXPECT_EQ(QEL_OK, qelCloseEvent(&event));
    EXPECT_EQ(0, event);
    EXPECT_NE(QEL_OK, qelSetEvent(copy));
    EXPECT_NE(QEL_OK, qelResetEvent(0));
    EXPECT_EQ(QEL_E_WAIT_FAILED, qelWaitEvent(copy, 0));
    EXPECT_NE(QEL_OK, qelDeleteEvent(&copy));
}

TEST_P(QelEvent, WaitAnyReportsLowestSetIndexAndRejectsBadArguments) {
    std::vector<long> events(QEL_MAX_WAIT_EVENTS);
    for (long& event : events) {
        ASSERT_EQ(QEL_OK, qelCreateEvent(nullptr, &event));
    }
    unsigned int index = 7;
    auto start = Clock::now();
    EXPECT_EQ(QEL_E_TIMEOUT, qelWaitEvents(events.data(), QEL_MAX_WAIT_EVENTS, &index, 80));
    EXPECT_GE(elapsedMs(start), 78);
    EXPECT_EQ(0xFFFFFFFFu, index);
    qelSetEvent(events[127]);
    qelSetEvent(events[40]);
    EXPECT_EQ(QEL_OK, qelWaitEvents(events.data(), QEL_MAX_WAIT_EVENTS, &index, 0));
    EXPECT_EQ(40u, index);
    EXPECT_EQ(QEL_OK, qelWaitEvents(events.data() + 41, 87, &index, QEL_INFINITE));
    EXPECT_EQ(86u, index);
    EXPECT_EQ(QEL_E_WAIT_FAILED, qelWaitEvents(events.data(), 0, &index, 0));
    EXPECT_EQ(QEL_E_WAIT_FAILED, qelWaitEvents(events.data(), QEL_MAX_WAIT_EVENTS + 1, &index, 0));
    long withZero[2] = {events[0], 0};
    EXPECT_EQ(QEL_E_WAIT_FAILED, qelWaitEvents(withZero, 2, &index, 0));
    EXPECT_EQ(0xFFFFFFFFu, index);
    for (long& event : events) {
        qelCloseEvent(&event);
    }
}

TEST_P(QelEvent, SetReleasesBlockedWaitersEvenWhenResetAtOnce) {
    for (int round = 0; round < 50; ++round) {
        // Fresh events each round: marks left by an earlier round's waiters on events that
        // were never set would make the readiness checks below pass too early.
        long events[3] = {0, 0, 0};
        for (long& event : events) {
            ASSERT_EQ(QEL_OK, qelCreateEvent(nullptr, &event));
        }
        QEL_STATUS single = QEL_E_WAIT_FAILED, any = QEL_E_WAIT_FAILED;
        unsigned int index = 99;
        // Start the waiters one after the other and pulse only once both have marked their
        // words: a pulse before a waiter samples the event is not one it has to see. Only the
        // wait-any waiter watches event 0, so its mark there says it is in.
        std::thread singleWaiter([&] { single = qelWaitEvent(events[2], 10000); });
        ASSERT_TRUE(
            zoltest::waitUntil([&] { return qelTestEventHasWaiters(events[2]) == 1; }, 5000));
        std::thread anyWaiter([&] { any = qelWaitEvents(events, 3, &index, 10000); });
        ASSERT_TRUE(
            zoltest::waitUntil([&] { return qelTestEventHasWaiters(events[0]) == 1; }, 5000));
        std::this_thread::sleep_for(std::chrono::milliseconds(round % 3));
        // A pulse: both waiters must leave even if they only look after the reset.
        qelSetEvent(events[2]);
        qelResetEvent(events[2]);
        singleWaiter.join();
        anyWaiter.join();
        EXPECT_EQ(QEL_OK, single);
        EXPECT_EQ(QEL_OK, any);
        EXPECT_EQ(2u, index);
        for (long& event : events) {
            qelCloseEvent(&event);
        }
    }
}

TEST_P(QelEvent, NamedEventSetInAnotherProcessReleasesWaitAny) {
    std::string nameA = zoltest::uniqueName("evA"), nameB = zoltest::uniqueName("evB");
    long events[3] = {0, 0, 0};
    ASSERT_EQ(QEL_OK, qelCreateEvent(nullptr, &events[0]));
    ASSERT_EQ(QEL_OK, qelCreateEvent(nameA.c_str(), &events[1]));
    ASSERT_EQ(QEL_OK, qelCreateEvent(nameB.c_str(), &events[2]));
    // The helper is a separate program that knows only the name; it runs with futex_waitv
    // while this process may be forced onto the fallback, so the mixed case is covered too.
    pid_t setter = zoltest::spawnHelper("qel_helper", {"set-event", nameB});
    unsigned int index = 99;
    EXPECT_EQ(QEL_OK, qelWaitEvents(events, 3, &index, 10000));
    EXPECT_EQ(2u, index);
    EXPECT_EQ(0, zoltest::exitCodeOf(zoltest::waitChild(setter, 10000)));
    // And a forked child waiting on named events is released by a set in this process.
    pid_t waiter = zoltest::forkChild([&] {
        long mine[2] = {0, 0};
        if (qelCreateEvent(nameB.c_str(), &mine[0]) != QEL_OK)
            return 1;
        if (qelCreateEvent(nameA.c_str(), &mine[1]) != QEL_OK)
            return 2;
        unsigned int which = 99;
        qelResetEvent(mine[0]);
        if (qelWaitEvents(mine, 2, &which, 10000) != QEL_OK)
            return 3;
        return which == 1 ? 0 : 4;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    qelSetEvent(events[1]);
    EXPECT_EQ(0, zoltest::exitCodeOf(zoltest::waitChild(waiter, 10000)));
    for (long& event : events) {
        qelCloseEvent(&event);
    }
}

INSTANTIATE_TEST_SUITE_P(WaitvAndFallback, QelEvent, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Fallback" : "Waitv"; });

}  // namespace
