// Process and thread mutexes of the platform layer: recursion, ownership, timeouts, sharing
// through fork and by name, and owners killed while holding a named mutex.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "ZolTestSupport.h"
#include "qel.h"

namespace {

using Clock = std::chrono::steady_clock;

long elapsedMs(Clock::time_point since) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count();
}

// The operations both mutex kinds share, so one table covers both.
struct MutexKind {
    const char* label;
    QEL_STATUS (*create)(const char*, long*);
    QEL_STATUS (*lock)(long, long);
    QEL_STATUS (*unlock)(long);
    QEL_STATUS (*close)(long*);
};

const MutexKind kKinds[] = {
    {"process", qelCreateUnlockedMutex, qelLockMutex, qelUnlockMutex, qelCloseMutex},
    {"thread", qelCreateUnlockedThreadMutex, qelLockThreadMutex, qelUnlockThreadMutex,
     qelDeleteThreadMutex},
};

TEST(QelMutex, RecursionOwnershipAndTimeoutsForBothKinds) {
    for (const MutexKind& kind : kKinds) {
        SCOPED_TRACE(kind.label);
        long mutex = 0;
        ASSERT_EQ(QEL_OK, kind.create(nullptr, &mutex));
        ASSERT_NE(0, mutex);
        // Not owned yet: unlocking is refused.
        EXPECT_EQ(QEL_E_NOT_OWNER, kind.unlock(mutex));
        ASSERT_EQ(QEL_OK, kind.lock(mutex, QEL_INFINITE));
        ASSERT_EQ(QEL_OK, kind.lock(mutex, 0));  // recursive, try-lock
        QEL_STATUS otherUnlock = QEL_OK, otherTry = QEL_OK, otherTimed = QEL_OK;
        long waited = 0;
        std::thread other([&] {
            otherUnlock = kind.unlock(mutex);
            otherTry = kind.lock(mutex, 0);
            auto start = Clock::now();
            otherTimed = kind.lock(mutex, 150);
            waited = elapsedMs(start);
        });
        other.join();
        EXPECT_EQ(QEL_E_NOT_OWNER, otherUnlock);
        EXPECT_EQ(QEL_E_TIMEOUT, otherTry);
        EXPECT_EQ(QEL_E_TIMEOUT, otherTimed);
        EXPECT_GE(waited, 145);  // does not give up early
        EXPECT_LT(waited, 2000);
        // Two levels taken, two released: then another thread gets it.
        EXPECT_EQ(QEL_OK, kind.unlock(mutex));
        QEL_STATUS stillHeld = QEL_OK;
        std::thread([&] { stillHeld = kind.lock(mutex, 0); }).join();
        EXPECT_EQ(QEL_E_TIMEOUT, stillHeld);
        EXPECT_EQ(QEL_OK, kind.unlock(mutex));
        EXPECT_EQ(QEL_E_NOT_OWNER, kind.unlock(mutex));
        QEL_STATUS freed = QEL_E_TIMEOUT;
        std::thread([&] {
            freed = kind.lock(mutex, 0);
            kind.unlock(mutex);
        }).join();
        EXPECT_EQ(QEL_OK, freed);
        long copy = mutex;
        EXPECT_EQ(QEL_OK, kind.close(&mutex));
        EXPECT_EQ(0, mutex);
        // Handle 0 and a closed handle are refused, not dereferenced.
        EXPECT_NE(QEL_OK, kind.lock(copy, 0));
        EXPECT_NE(QEL_OK, kind.unlock(copy));
        EXPECT_NE(QEL_OK, kind.close(&copy));
        EXPECT_NE(QEL_OK, kind.lock(0, 0));
        EXPECT_NE(QEL_OK, kind.unlock(0));
        long zero = 0;
        EXPECT_NE(QEL_OK, kind.close(&zero));
    }
}

TEST(QelMutex, ThreadsSerialiseOnBothKinds) {
    for (const MutexKind& kind : kKinds) {
        SCOPED_TRACE(kind.label);
        long mutex = 0;
        ASSERT_EQ(QEL_OK, kind.create(nullptr, &mutex));
        long counter = 0;  // plain: any lost update shows a broken mutex (and TSan a race)
        std::thread threads[4];
        for (auto& thread : threads) {
            thread = std::thread([&] {
                for (int i = 0; i < 20000; ++i) {
                    kind.lock(mutex, QEL_INFINITE);
                    kind.lock(mutex, QEL_INFINITE);
                    ++counter;
                    kind.unlock(mutex);
                    kind.unlock(mutex);
                }
            });
        }
        for (auto& thread : threads) {
            thread.join();
        }
        EXPECT_EQ(80000, counter);
        kind.close(&mutex);
    }
}

TEST(QelMutex, UnnamedMutexIsSharedWithForkedChild) {
    long mutex = 0;
    ASSERT_EQ(QEL_OK, qelCreateUnlockedMutex(nullptr, &mutex));
    ASSERT_EQ(QEL_OK, qelLockMutex(mutex, QEL_INFINITE));
    int pipeFds[2];
    ASSERT_EQ(0, pipe(pipeFds));
    pid_t child = zoltest::forkChild([&] {
        close(pipeFds[0]);
        if (qelLockMutex(mutex, 0) != QEL_E_TIMEOUT)
            return 1;
        char blocked = 'b';
        if (write(pipeFds[1], &blocked, 1) != 1)
            return 3;
        // Released by the parent within the bound below.
        return qelLockMutex(mutex, 10000) == QEL_OK && qelUnlockMutex(mutex) == QEL_OK ? 0 : 2;
    });
    close(pipeFds[1]);
    char blocked = 0;
    EXPECT_EQ(1, read(pipeFds[0], &blocked, 1));  // EOF if the child ended early
    close(pipeFds[0]);
    ASSERT_EQ(QEL_OK, qelUnlockMutex(mutex));
    EXPECT_EQ(0, zoltest::exitCodeOf(zoltest::waitChild(child, 15000)));
    qelCloseMutex(&mutex);
}

TEST(QelMutex, NamedMutexIsOneMutexAcrossProcesses) {
    std::string name = zoltest::uniqueName("mtx");
    long missing = 0;
    EXPECT_EQ(QEL_E_NOT_FOUND, qelOpenMutex(name.c_str(), &missing));
    EXPECT_EQ(0, missing);
    long mutex = 0;
    ASSERT_EQ(QEL_OK, qelCreateUnlockedMutex(name.c_str(), &mutex));
    ASSERT_EQ(QEL_OK, qelLockMutex(mutex, QEL_INFINITE));
    // A process that never saw the handle finds the same, held mutex by name (create and open).
    long ready = 0;
    ASSERT_EQ(QEL_OK, qelCreateEvent((name + "-ready").c_str(), &ready));
    pid_t child = zoltest::spawnHelper("qel_helper", {"lock-named", name, "10000"});
    pid_t opener = zoltest::forkChild([&] {
        long byOpen = 0, byCreate = 0;
        if (qelOpenMutex(name.c_str(), &byOpen) != QEL_OK)
            return 1;
        if (qelCreateUnlockedMutex(name.c_str(), &byCreate) != QEL_OK)
            return 2;
        if (qelLockMutex(byOpen, 0) != QEL_E_TIMEOUT)
            return 3;
        if (qelLockMutex(byCreate, 0) != QEL_E_TIMEOUT)
            return 4;
        qelCloseMutex(&byOpen);
        qelCloseMutex(&byCreate);
        return 0;
    });
    EXPECT_EQ(0, zoltest::exitCodeOf(zoltest::waitChild(opener, 10000)));
    EXPECT_EQ(QEL_OK, qelWaitEvent(ready, 10000));
    ASSERT_EQ(QEL_OK, qelUnlockMutex(mutex));
    EXPECT_EQ(0, zoltest::exitCodeOf(zoltest::waitChild(child, 15000)));
    qelCloseEvent(&ready);
    EXPECT_EQ(QEL_OK, qelCloseMutex(&mutex));
    // The last close removed it.
    EXPECT_EQ(QEL_E_NOT_FOUND, qelOpenMutex(name.c_str(), &missing));
}

TEST(QelMutex, OwnerKilledWhileHoldingNamedMutexHandsItOver) {
    std::string name = zoltest::uniqueName("dead");
    long mutex = 0;
    ASSERT_EQ(QEL_OK, qelCreateUnlockedMutex(name.c_str(), &mutex));
    int pipeFds[2];
    ASSERT_EQ(0, pipe(pipeFds));
    pid_t owner = zoltest::forkChild([&] {
        long mine = 0;
        if (qelOpenMutex(name.c_str(), &mine) != QEL_OK || qelLockMutex(mine, 0) != QEL_OK ||
            qelLockMutex(mine, 0) != QEL_OK) {
            return 1;
        }
        char ready = 'r';
        if (write(pipeFds[1], &ready, 1) != 1)
            return 2;
        pause();
        return 0;
    });
    char ready = 0;
    ASSERT_EQ(1, read(pipeFds[0], &ready, 1));
    close(pipeFds[0]);
    close(pipeFds[1]);
    EXPECT_EQ(QEL_E_TIMEOUT, qelLockMutex(mutex, 0));
    ASSERT_EQ(0, kill(owner, SIGKILL));
    zoltest::waitChild(owner, 5000);
    auto start = Clock::now();
    EXPECT_EQ(QEL_OK, qelLockMutex(mutex, 1000));
    EXPECT_LT(elapsedMs(start), 1000);
    // It is a healthy, ordinary mutex again: recursive, unlockable, lockable by others.
    EXPECT_EQ(QEL_OK, qelLockMutex(mutex, 0));
    EXPECT_EQ(QEL_OK, qelUnlockMutex(mutex));
    EXPECT_EQ(QEL_OK, qelUnlockMutex(mutex));
    pid_t next = zoltest::forkChild([&] {
        long again = 0;
        return qelOpenMutex(name.c_str(), &again) == QEL_OK && qelLockMutex(again, 1000) == QEL_OK
                   ? 0
                   : 1;
    });
    EXPECT_EQ(0, zoltest::exitCodeOf(zoltest::waitChild(next, 10000)));
    qelCloseMutex(&mutex);
}

}  // namespace
