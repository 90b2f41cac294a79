// The reader-writer lock: the mutex-free read path, writers excluded from readers and from
// each other, a writer waiting for readers inside, and a shared invariant under stress.
#include <atomic>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "CZolRWLock.h"
#include "CZolRWLocker.h"
#include "ZolCountingMutex.h"
#include "ZolTestSupport.h"

namespace {

struct ProbeLock : CZolRWLock {
    using CZolRWLock::CZolRWLock;
    unsigned short readers() const { return __atomic_load_n(&m_nReaders, __ATOMIC_SEQ_CST); }
    unsigned short waitingWriters() const {
        return __atomic_load_n(&m_nWaitingWriters, __ATOMIC_SEQ_CST);
    }
};

TEST(RWLock, NullMutexMakesEveryOperationDoNothing) {
    ProbeLock lock(static_cast<CZolMutex*>(nullptr));
    EXPECT_EQ(lock.LockRead(), 0);
    EXPECT_EQ(lock.readers(), 0);
    lock.UnlockRead(1);
    lock.LockWrite();
    lock.UnlockWrite();
    EXPECT_EQ(lock.readers(), 0);
    EXPECT_EQ(lock.waitingWriters(), 0);
    { CZolRWLocker nothing(static_cast<CZolRWLock*>(nullptr), 1); }
}

TEST(RWLock, ReadersWithoutWriterTouchNoMutex) {
    zoltest::CountingMutex mutex;
    {
        ProbeLock lock(mutex);
        EXPECT_EQ(lock.LockRead(), 0);
        EXPECT_EQ(lock.LockRead(), 0);
        EXPECT_EQ(lock.readers(), 2);
        lock.UnlockRead(0);
        lock.UnlockRead(0);
        EXPECT_EQ(lock.readers(), 0);
        { CZolRWLocker reader(lock, 0); }
        EXPECT_EQ(mutex.locks.load(), 0);
        EXPECT_EQ(mutex.unlocks.load(), 0);
        { CZolRWLocker writer(&lock, 1); }
        EXPECT_EQ(mutex.locks.load(), 1);
        EXPECT_EQ(mutex.unlocks.load(), 1);
    }
    // A lock that was given its mutex leaves it alive.
    EXPECT_EQ(mutex.Lock(0), 1);
    EXPECT_EQ(mutex.Unlock(), 1);
}

TEST(RWLock, ReaderQueuesBehindAWriterAndThenHoldsTheMutex) {
    ProbeLock lock;
    lock.LockWrite();
    std::atomic<int> readResult{-1};
    std::thread reader([&] {
        int held = lock.LockRead();
        readResult = held;
        lock.UnlockRead(held);
    });
    EXPECT_FALSE(zoltest::waitUntil([&] { return readResult.load() != -1; }, 50));
    lock.UnlockWrite();
    EXPECT_TRUE(zoltest::waitUntil([&] { return readResult.load() == 1; }, 5000));
    reader.join();
    EXPECT_EQ(lock.readers(), 0);
}

TEST(RWLock, WriterWaitsUntilBothReadersHaveLeft) {
    ProbeLock lock;
    int first = lock.LockRead();
    std::atomic<int> second{-1};
    std::atomic<bool> releaseSecond{false};
    std::thread otherReader([&] {
        second = lock.LockRead();
        while (!releaseSecond.load()) {
            std::this_thread::yield();
        }
        lock.UnlockRead(second);
    });
    ASSERT_TRUE(zoltest::waitUntil([&] { return second.load() != -1; }, 5000));
    EXPECT_EQ(lock.readers(), 2);

    std::atomic<bool> writing{false};
    std::thread writer([&] {
        lock.LockWrite();
        writing = true;
        lock.UnlockWrite();
    });
    ASSERT_TRUE(zoltest::waitUntil([&] { return lock.waitingWriters() == 1; }, 5000));
    lock.UnlockRead(first);
    EXPECT_FALSE(zoltest::waitUntil([&] { return writing.load(); }, 50));
    releaseSecond = true;
    EXPECT_TRUE(zoltest::waitUntil([&] { return writing.load(); }, 5000));
    otherReader.join();
    writer.join();
    EXPECT_EQ(lock.waitingWriters(), 0);
}

TEST(RWLock, ReadersShareTheLockInParallel) {
    CZolRWLock lock;
    std::atomic<int> inside{0};
    std::atomic<int> sawAllThree{0};
    std::vector<std::thread> readers;
    for (int i = 0; i < 3; ++i) {
        readers.emplace_back([&] {
            CZolRWLocker reader(lock, 0);
            ++inside;
            // Serialised readers would never all be inside at once.
            if (zoltest::waitUntil([&] { return inside.load() == 3; }, 5000)) {
                ++sawAllThree;
            }
        });
    }
    for (std::thread& t : readers) {
        t.join();
    }
    EXPECT_EQ(sawAllThree.load(), 3);
}

// Writers keep two plain fields equal and count themselves in; readers check that the
// fields agree and that no writer is inside. The plain fields also let the thread
// sanitizer see any access the lock fails to order.
TEST(RWLock, InvariantHoldsUnderStressWithReadersAndWriters) {
    CZolRWLock lock;
    long left = 0;
    long right = 0;
    std::atomic<int> writersInside{0};
    std::atomic<int> readersInside{0};
    std::atomic<int> violations{0};
    std::atomic<long> reads{0};
    constexpr int kWrites = 2000;
    constexpr int kReaders = 3;
    constexpr int kWriters = 2;
    std::atomic<int> writersDone{0};

    std::vector<std::thread> threads;
    for (int w = 0; w < kWriters; ++w) {
        threads.emplace_back([&] {
            for (int i = 0; i < kWrites; ++i) {
                CZolRWLocker writer(lock, 1);
                if (writersInside.fetch_add(1) != 0 || readersInside.load() != 0) {
                    ++violations;
                }
                ++left;
                ++right;
                writersInside.fetch_sub(1);
            }
            ++writersDone;
        });
    }
    for (int r = 0; r < kReaders; ++r) {
        threads.emplace_back([&] {
            // At least kWrites reads each, and on until the writers are done, so both
            // sides overlap however the threads are scheduled.
            for (int n = 0; n < kWrites || writersDone.load() < kWriters; ++n) {
                CZolRWLocker reader(lock, 0);
                readersInside.fetch_add(1);
                if (writersInside.load() != 0 || left != right) {
                    ++violations;
                }
                readersInside.fetch_sub(1);
                ++reads;
            }
        });
    }
    for (std::thread& t : threads) {
        t.join();
    }
    EXPECT_EQ(violations.load(), 0);
    EXPECT_EQ(left, kWriters * kWrites);
    EXPECT_EQ(right, left);
    EXPECT_GT(reads.load(), 0);
}

}  // namespace
