// Events of the platform layer: set/reset semantics, waits and timeouts, wait-any (futex_waitv
// and its forced fallback), pulses, bad handles, and resetting waits that each set releases
// exactly once, between threads and between processes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <thread>
#include <vector>

#include "ZolTestSupport.h"
#include "qel.h"
#include "qelTesting.h"

namespace {

// Runs each test once with futex_waitv (where the kernel has it) and once on the fallback.
class QelEvent : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override { qelTestForceWaitvFallback(GetParam() ? 1 : 0); }
    void TearDown() override { qelTestForceWaitvFallback(-1); }
};

TEST_P(QelEvent, StaysSetUntilResetAndTimesOutWhenNotSet) {
    long event = 0;
    ASSERT_EQ(QEL_OK, qelCreateEvent(nullptr, &event));
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(QEL_E_TIMEOUT, qelWaitEvent(event, 120));
    EXPECT_GE(zoltest::elapsedMs(start), 118);
    ASSERT_EQ(QEL_OK, qelSetEvent(event) | qelSetEvent(event));
    EXPECT_EQ(QEL_OK, qelWaitEvent(event, 0));
    EXPECT_EQ(QEL_OK, qelWaitEvent(event, QEL_INFINITE));  // waiting does not reset it
    EXPECT_EQ(QEL_OK, qelWaitEventAndReset(event, 0));     // this one does
    EXPECT_EQ(QEL_E_TIMEOUT, qelWaitEventAndReset(event, 10));
    qelSetEvent(event);
    ASSERT_EQ(QEL_OK, qelResetEvent(event));
    EXPECT_EQ(QEL_E_TIMEOUT, qelWaitEvent(event, 10));
    long stale = event;
    EXPECT_EQ(QEL_OK, qelCloseEvent(&event));
    EXPECT_EQ(0, event);
    EXPECT_NE(QEL_OK, qelSetEvent(stale) & qelResetEvent(0) & qelDeleteEvent(&stale));
    EXPECT_EQ(QEL_E_WAIT_FAILED, qelWaitEvent(stale, 0) & qelWaitEventAndReset(0, 0));
}

TEST_P(QelEvent, WaitAnyReportsLowestSetIndexAndRejectsBadArguments) {
    EXPECT_EQ(GetParam() ? 0 : qelTestWaitvInUse(), qelTestWaitvInUse());
    std::vector<long> events(QEL_MAX_WAIT_EVENTS);
    for (long& event : events) {
        ASSERT_EQ(QEL_OK, qelCreateEvent(nullptr, &event));
    }
    unsigned int index = 7;
    EXPECT_EQ(QEL_E_TIMEOUT, qelWaitEvents(events.data(), QEL_MAX_WAIT_EVENTS, &index, 50));
    EXPECT_EQ(0xFFFFFFFFu, index);
    qelSetEvent(events[127]);
    qelSetEvent(events[40]);
    EXPECT_EQ(QEL_OK, qelWaitEvents(events.data(), QEL_MAX_WAIT_EVENTS, &index, 0));
    EXPECT_EQ(40u, index);
    EXPECT_EQ(QEL_OK, qelWaitEvents(events.data() + 41, 87, &index, QEL_INFINITE));
    EXPECT_EQ(86u, index);
    long withZero[2] = {events[0], 0};
    for (unsigned int count : {0u, QEL_MAX_WAIT_EVENTS + 1}) {
        EXPECT_EQ(QEL_E_WAIT_FAILED, qelWaitEvents(events.data(), count, &index, 0));
    }
    EXPECT_EQ(QEL_E_WAIT_FAILED, qelWaitEventsAndReset(withZero, nullptr, 2, &index, 0));
    EXPECT_EQ(QEL_E_WAIT_FAILED, qelWaitEvents(nullptr, 1, &index, 0));
    EXPECT_EQ(0xFFFFFFFFu, index);
    for (long& event : events) {
        qelCloseEvent(&event);
    }
}

// A set followed at once by a reset releases the plain waiters already waiting.
TEST_P(QelEvent, PulseReleasesBlockedPlainWaiters) {
    for (int round = 0; round < 30; ++round) {
        long events[3] = {0, 0, 0};
        for (long& event : events) {
            ASSERT_EQ(QEL_OK, qelCreateEvent(nullptr, &event));
        }
        QEL_STATUS single = QEL_E_WAIT_FAILED, any = QEL_E_WAIT_FAILED;
        unsigned int index = 99;
        // Pulse only once both waiters marked their words (only wait-any watches event 0).
        std::thread singleWaiter([&] { single = qelWaitEvent(events[2], 10000); });
        ASSERT_TRUE(zoltest::waitUntil([&] { return qelTestEventHasWaiters(events[2]); }, 5000));
        std::thread anyWaiter([&] { any = qelWaitEvents(events, 3, &index, 10000); });
        ASSERT_TRUE(zoltest::waitUntil([&] { return qelTestEventHasWaiters(events[0]); }, 5000));
        qelSetEvent(events[2]);
        qelResetEvent(events[2]);
        singleWaiter.join();
        anyWaiter.join();
        EXPECT_EQ(QEL_OK, single | any);
        EXPECT_EQ(2u, index);
        for (long& event : events) {
            qelCloseEvent(&event);
        }
    }
}

// 8 resetting waiters, 3 sets one after another: exactly 3 are released and the event is
// left not set. Single waits and wait-any between threads; wait-any on a named event in 8
// forked processes.
TEST_P(QelEvent, EachSetReleasesExactlyOneResettingWaiter) {
    for (int kind = 0; kind < 3; ++kind) {
        long event = 0, other = 0;
        ASSERT_EQ(QEL_OK, qelCreateEvent(kind == 2 ? zoltest::uniqueName("fair").c_str() : nullptr,
                                         &event));
        ASSERT_EQ(QEL_OK,
                  qelCreateEvent(kind == 2 ? zoltest::uniqueName("o").c_str() : nullptr, &other));
        int released[2];
        ASSERT_EQ(0, pipe(released));
        fcntl(released[0], F_SETFL, O_NONBLOCK);
        auto wait = [&] {
            long both[2] = {other, event};
            unsigned char reset[2] = {1, 1};
            unsigned int index = 0;
            QEL_STATUS status = kind == 0 ? qelWaitEventAndReset(event, 10000)
                                          : qelWaitEventsAndReset(both, reset, 2, &index, 10000);
            return status == QEL_OK && write(released[1], "x", 1) == 1 ? 0 : 1;
        };
        std::vector<std::thread> threads;
        std::vector<pid_t> children;
        for (int i = 0; i < 8; ++i) {
            if (kind == 2) {
                children.push_back(zoltest::forkChild(wait));
            } else {
                threads.emplace_back(wait);
            }
        }
        int count = 0;
        auto countIs = [&](int n) {
            return zoltest::waitUntil(
                [&] {
                    char bytes[8];
                    count += std::max<int>(0, read(released[0], bytes, sizeof bytes));
                    return count == n;
                },
                5000);
        };
        for (int n = 1; n <= 8; ++n) {
            qelSetEvent(event);
            if (!countIs(n)) {
                ADD_FAILURE() << "kind " << kind << ": " << count << " released, not " << n;
                break;
            }
            if (n == 3) {
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
                EXPECT_TRUE(countIs(3) && qelWaitEvent(event, 0) == QEL_E_TIMEOUT);
            }
        }
        for (std::thread& t : threads) {
            t.join();
        }
        for (pid_t child : children) {
            EXPECT_EQ(0, zoltest::exitCodeOf(zoltest::waitChild(child, 10000)));
        }
        close(released[0]);
        close(released[1]);
        qelCloseEvent(&event);
        qelCloseEvent(&other);
    }
}

INSTANTIATE_TEST_SUITE_P(WaitvAndFallback, QelEvent, ::testing::Bool());

}  // namespace
