// Process and thread mutexes of the platform layer: recursion, ownership, timeouts, bad
// handles, serialisation, sharing with other processes, owners that die, and mutexes
// destroyed while held.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "ZolTestSupport.h"
#include "qel.h"

namespace {

struct MutexKind {
    QEL_STATUS (*create)(const char*, long*);
    QEL_STATUS (*lock)(long, long);
    QEL_STATUS (*unlock)(long);
    QEL_STATUS (*close)(long*);
};
const MutexKind kKinds[] = {
    {qelCreateUnlockedMutex, qelLockMutex, qelUnlockMutex, qelCloseMutex},
    {qelCreateUnlockedThreadMutex, qelLockThreadMutex, qelUnlockThreadMutex, qelDeleteThreadMutex},
};

QEL_STATUS onOtherThread(const std::function<QEL_STATUS()>& call) {
    QEL_STATUS status = 0;
    std::thread([&] { status = call(); }).join();
    return status;
}

TEST(QelMutex, RecursionOwnershipTimeoutsAndSerialisationForBothKinds) {
    for (const MutexKind& kind : kKinds) {
        long m = 0;
        ASSERT_EQ(QEL_OK, kind.create(nullptr, &m));
        EXPECT_EQ(QEL_E_NOT_OWNER, kind.unlock(m));
        ASSERT_EQ(QEL_OK, kind.lock(m, QEL_INFINITE));
        ASSERT_EQ(QEL_OK, kind.lock(m, 0));  // recursive
        EXPECT_EQ(QEL_E_NOT_OWNER, onOtherThread([&] { return kind.unlock(m); }));
        EXPECT_EQ(QEL_E_TIMEOUT, onOtherThread([&] { return kind.lock(m, 0); }));
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(QEL_E_TIMEOUT, onOtherThread([&] { return kind.lock(m, 150); }));
        EXPECT_GE(zoltest::elapsedMs(start), 145);
        EXPECT_EQ(QEL_OK, kind.unlock(m));
        EXPECT_EQ(QEL_E_TIMEOUT, onOtherThread([&] { return kind.lock(m, 0); }));  // one level left
        EXPECT_EQ(QEL_OK, kind.unlock(m));
        EXPECT_EQ(QEL_OK, onOtherThread([&] { return kind.lock(m, 0) | kind.unlock(m); }));
        long counter = 0;  // plain: a lost update shows a broken mutex (and TSan a race)
        std::thread threads[3];
        for (auto& t : threads) {
            t = std::thread([&] {
                for (int i = 0; i < 20000; ++i) {
                    kind.lock(m, QEL_INFINITE);
                    ++counter;
                    kind.unlock(m);
                }
            });
        }
        for (auto& t : threads) {
            t.join();
        }
        EXPECT_EQ(60000, counter);
        long stale = m;
        EXPECT_EQ(QEL_OK, kind.close(&m));
        EXPECT_EQ(0, m);
        EXPECT_NE(QEL_OK, kind.lock(stale, 0) & kind.unlock(stale) & kind.close(&stale));
        EXPECT_NE(QEL_OK, kind.lock(0, 0) & kind.unlock(0) & kind.close(&m));
    }
}

// One named mutex across processes (created or opened by name, unnamed ones shared with
// children forked after their creation); a holder killed hands it over.
TEST(QelMutex, SharedWithOtherProcessesAndHandedOverWhenTheOwnerDies) {
    std::string name = zoltest::uniqueName("mtx");
    long missing = 0, named = 0, unnamed = 0;
    EXPECT_EQ(QEL_E_NOT_FOUND, qelOpenMutex(name.c_str(), &missing));
    ASSERT_EQ(QEL_OK, qelCreateUnlockedMutex(name.c_str(), &named));
    ASSERT_EQ(QEL_OK, qelCreateUnlockedMutex(nullptr, &unnamed));
    ASSERT_EQ(QEL_OK, qelLockMutex(unnamed, QEL_INFINITE));
    int ready[2];
    ASSERT_EQ(0, pipe(ready));
    pid_t owner = zoltest::forkChild([&] {
        long byOpen = 0, byCreate = 0;
        bool ok = qelOpenMutex(name.c_str(), &byOpen) == QEL_OK &&
                  qelCreateUnlockedMutex(name.c_str(), &byCreate) == QEL_OK &&
                  qelLockMutex(byOpen, 0) == QEL_OK && qelLockMutex(byCreate, 0) == QEL_OK &&
                  qelLockMutex(unnamed, 0) == QEL_E_TIMEOUT;
        if (!ok || write(ready[1], "r", 1) != 1) {
            return 1;
        }
        pause();  // killed holding the named mutex twice
        return 0;
    });
    char byte = 0;
    ASSERT_EQ(1, read(ready[0], &byte, 1));
    EXPECT_EQ(QEL_E_TIMEOUT, qelLockMutex(named, 0));
    kill(owner, SIGKILL);
    zoltest::waitChild(owner, 5000);
    EXPECT_EQ(QEL_OK, qelLockMutex(named, 5000));  // consistent again, and usable for ever
    EXPECT_EQ(QEL_OK, qelUnlockMutex(named));
    EXPECT_EQ(QEL_OK,
              onOtherThread([&] { return qelLockMutex(named, 0) | qelUnlockMutex(named); }));
    EXPECT_EQ(QEL_OK, qelUnlockMutex(unnamed));
    EXPECT_EQ(QEL_OK, qelCloseMutex(&named));
    EXPECT_EQ(QEL_E_NOT_FOUND, qelOpenMutex(name.c_str(), &missing));  // the last close removed it
    qelCloseMutex(&unnamed);
    close(ready[0]);
    close(ready[1]);
}

// A mutex closed while held, by its holder or under another thread, leaves nothing that a
// later, unrelated unlock trips over (glibc walks a thread's robust list to unlock a mutex
// locked before: a node whose memory is gone crashes it). Each case runs in a child.
TEST(QelMutex, DestroyedWhileHeldIsHarmless) {
    const std::function<bool(long, bool)> cases[] = {
        [](long m, bool) {  // the holder closes it, held twice
            return qelLockMutex(m, 0) == QEL_OK && qelLockMutex(m, 0) == QEL_OK &&
                   qelCloseMutex(&m) == QEL_OK;
        },
        [](long m, bool named) {  // another thread holds it when it is closed
            std::atomic<int> phase{0};
            std::thread holder([&] {
                long older = 0;
                qelCreateUnlockedMutex(nullptr, &older);
                qelLockMutex(older, 0);
                qelLockMutex(m, 0);
                for (phase = 1; phase != 2;) {
                }
                qelUnlockMutex(older);
            });
            while (phase != 1) {
            }
            bool closed = qelCloseMutex(&m) == QEL_OK;
            phase = 2;
            holder.join();
            return closed;
        },
        [](long, bool) {  // a thread mutex deleted by its holder
            long m = 0;
            qelCreateUnlockedThreadMutex(nullptr, &m);
            return qelLockThreadMutex(m, 0) == QEL_OK && qelDeleteThreadMutex(&m) == QEL_OK;
        },
    };
    for (const auto& misuse : cases) {
        for (bool named : {false, true}) {
            pid_t child = zoltest::forkChild([&] {
                long older = 0, m = 0;
                qelCreateUnlockedMutex(nullptr, &older);
                qelCreateUnlockedMutex(named ? zoltest::uniqueName("held").c_str() : nullptr, &m);
                bool ok = qelLockMutex(older, 0) == QEL_OK && misuse(m, named);
                return ok && qelUnlockMutex(older) == QEL_OK ? 0 : 1;
            });
            EXPECT_EQ(0, zoltest::exitCodeOf(zoltest::waitChild(child, 10000)));
        }
    }
}

}  // namespace
